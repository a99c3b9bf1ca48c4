#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "platform/ThreadTiming.h"

namespace tw {

void PrepareThreadForTimedWakeups() {
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
#ifdef SYS_sched_setattr
  struct SchedAttr {  // the kernel's struct sched_attr, first version
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
  } attr{};
  if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return;
  if (attr.policy != SCHED_OTHER) return;  // someone chose otherwise: leave it
  attr.size = sizeof attr;
  attr.runtime = 100000;  // 0.1 ms, the shortest the kernel accepts
  syscall(SYS_sched_setattr, 0, &attr, 0);
#endif
}

}  // namespace tw
