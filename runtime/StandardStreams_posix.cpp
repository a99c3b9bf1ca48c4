#include "runtime/StandardStreams.h"

namespace tw {

void UseBinaryStandardStreams() {}

}  // namespace tw
