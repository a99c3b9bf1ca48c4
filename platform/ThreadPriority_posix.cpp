#include <sys/resource.h>
#include <unistd.h>

#include "platform/ThreadPriority.h"

namespace tw {

void RaiseThreadPriority() { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -1); }

}  // namespace tw
