#include <windows.h>

#include "platform/ThreadPriority.h"

namespace tw {

void RaiseThreadPriority() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}

}  // namespace tw
