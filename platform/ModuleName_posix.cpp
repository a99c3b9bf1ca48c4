#include <errno.h>

#include "platform/ModuleName.h"

namespace tw {

const char* ModuleName() { return program_invocation_short_name; }

}  // namespace tw
