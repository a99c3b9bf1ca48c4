#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

#include "platform/MemoryRoom.h"

namespace tw {
namespace {

constexpr std::uint64_t kUnknown = UINT64_MAX;

// MemAvailable plus SwapFree of /proc/meminfo, in bytes.
std::uint64_t SystemAvailable() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kb = 0, available = 0, swap = 0;
  bool found = false;
  while (meminfo >> key >> kb) {
    if (key == "MemAvailable:") {
      available = kb;
      found = true;
    } else if (key == "SwapFree:") {
      swap = kb;
    }
    meminfo.ignore(64, '\n');
  }
  return found ? (available + swap) * 1024 : kUnknown;
}

// What the limit `resource` leaves beyond `used` bytes.
std::uint64_t LimitLeaves(int resource, std::uint64_t used) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnknown;
  const auto cur = static_cast<std::uint64_t>(limit.rlim_cur);
  return cur > used ? cur - used : 0;
}

}  // namespace

std::uint64_t MemoryRoom() {
  // The process's address space and data segment as the system counts them.
  std::uint64_t size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
  std::ifstream statm("/proc/self/statm");
  statm >> size >> resident >> shared >> text >> lib >> data;
  const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return std::min({SystemAvailable(), LimitLeaves(RLIMIT_AS, size * page),
                   LimitLeaves(RLIMIT_DATA, data * page)});
}

}  // namespace tw
