#include <dlfcn.h>

#include <vector>

#include "platform/ClientLibrary.h"

namespace tw {

bool LoadClientLibrary(const ClientLibraryName& library, const ClientSymbol* symbols,
                       std::size_t count, std::string& error) {
  const std::string prefix =
      std::string("cannot load ") + library.soname + " (Debian package " + library.package + "): ";
  // RTLD_LOCAL: the library's symbols stay out of the global namespace, so a
  // second copy of them (another version linked by a plugin) cannot clash.
  void* handle = dlopen(library.soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = prefix + (reason != nullptr ? reason : "not found");
    return false;
  }
  std::vector<void*> found(count, nullptr);
  for (std::size_t i = 0; i < count; ++i) {
    dlerror();
    found[i] = dlsym(handle, symbols[i].name);
    if (found[i] == nullptr) {
      error = prefix + "it has no function " + symbols[i].name;
      // Kept loaded: its constructors ran, and other threads of the library
      // may exist; a process keeps a sound library until it ends anyway.
      return false;
    }
  }
  for (std::size_t i = 0; i < count; ++i) *symbols[i].slot = found[i];
  return true;
}

}  // namespace tw
