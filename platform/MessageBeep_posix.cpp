#include <cstdio>

#include "platform/MessageBeep.h"

namespace tw {

bool MessageBeep(uint32_t /*Type*/) {
  std::fputc('\a', stderr);
  return std::fflush(stderr) == 0;
}

}  // namespace tw
