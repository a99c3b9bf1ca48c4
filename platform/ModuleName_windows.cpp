#include <windows.h>

#include <string>

#include "platform/ModuleName.h"

namespace tw {

const char* ModuleName() {
  // Taken once; a failure report may come from any thread.
  static const std::string name = [] {
    char path[MAX_PATH] = "";
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string("tonewell.exe");
    const std::string full(path, n);
    return full.substr(full.find_last_of("\\/") + 1);
  }();
  return name.c_str();
}

}  // namespace tw
