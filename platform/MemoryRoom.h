#pragma once
// How much more memory this process can take, as far as the system tells:
// so that a request far beyond it is refused up front, with a report,
// instead of being left to the system's out-of-memory killer.

#include <cstdint>

namespace tw {

// Bytes the process can still allocate and use: the least of the memory the
// system has available (Linux: MemAvailable and free swap), and of what the
// process's own limits leave (address space, data segment). UINT64_MAX when
// nothing can be learnt.
std::uint64_t MemoryRoom();

}  // namespace tw
