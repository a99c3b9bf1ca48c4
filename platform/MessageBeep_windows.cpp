#include <windows.h>

#include "platform/MessageBeep.h"

namespace tw {

bool MessageBeep(uint32_t Type) { return ::MessageBeep(Type) != FALSE; }

}  // namespace tw
