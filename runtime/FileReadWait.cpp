#include <atomic>

#include "runtime/FileRead.h"

namespace tw {
namespace {
std::atomic<ReadWaitCheck> gCheck{nullptr};
}

void SetReadWaitCheck(ReadWaitCheck check) { gCheck.store(check); }

void CheckReadWait() {
  if (const ReadWaitCheck check = gCheck.load()) check();
}

}  // namespace tw
