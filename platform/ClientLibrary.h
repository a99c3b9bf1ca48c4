#pragma once
// A sound system's client library loaded at run time, when that sound system
// is chosen: a run on another output (null, null:fast, wav:) never loads it,
// nor what it pulls in, and a machine without it still runs every other
// output. POSIX only (the Windows build links its one sound system).
//
// A library's functions are listed once, in a table of pointers named like
// the functions themselves, and called through it:
//
//   #define TW_ALSA_FUNCTIONS(X) X(snd_pcm_open) X(snd_pcm_close) ...
//   TW_CLIENT_LIBRARY_TABLE(AlsaApi, TW_ALSA_FUNCTIONS);
//   const AlsaApi* api = LoadClientApi<AlsaApi>({"libasound.so.2", "libasound2"}, error);
//   if (api == nullptr) ... report `error` ...
//   api->snd_pcm_open(...);

#include <array>
#include <cstddef>
#include <mutex>
#include <string>

namespace tw {

// One library: the file the dynamic loader looks for (a versioned soname, as
// the runtime package installs it; the -dev package's unversioned link is
// not needed) and the Debian package that installs it, for the message.
struct ClientLibraryName {
  const char* soname;   // "libasound.so.2"
  const char* package;  // "libasound2"
};

// One entry of a table: the function's name and the slot its address goes to.
struct ClientSymbol {
  const char* name;
  void** slot;
};

// Loads `library` (once per process; it is never unloaded) and fills every
// slot of `symbols`. True when the library and every symbol were found. On
// failure nothing is called, every slot is left as it was, and `error` is one
// line naming the library, the package and the loader's reason, for example
// `cannot load libasound.so.2 (Debian package libasound2): libasound.so.2:
// cannot open shared object file: No such file or directory`.
bool LoadClientLibrary(const ClientLibraryName& library, const ClientSymbol* symbols,
                       std::size_t count, std::string& error);

// Defines the table `Name`: one pointer per function of the X-macro list
// LIST, named and typed like the function it stands for (the library's own
// header gives the type), and the list of their names for the loader.
#define TW_CLIENT_LIBRARY_TABLE(Name, LIST)                                      \
  struct Name {                                                                  \
    LIST(TW_CLIENT_LIBRARY_SLOT_)                                                \
    static auto Symbols(Name& api) {                                             \
      return std::to_array<::tw::ClientSymbol>({LIST(TW_CLIENT_LIBRARY_NAME_)}); \
    }                                                                            \
  }
#define TW_CLIENT_LIBRARY_SLOT_(name) decltype(&::name) name = nullptr;
#define TW_CLIENT_LIBRARY_NAME_(name) \
  ::tw::ClientSymbol{#name, reinterpret_cast<void**>(&api.name)},

// The table Api (made by TW_CLIENT_LIBRARY_TABLE) of `library`, loaded on
// the first call; every later call, from any thread, gets the same table,
// or null and the same error.
template <class Api>
const Api* LoadClientApi(const ClientLibraryName& library, std::string& error) {
  static std::once_flag once;
  static Api api;
  static bool loaded = false;
  static std::string failure;
  std::call_once(once, [&] {
    auto symbols = Api::Symbols(api);
    loaded = LoadClientLibrary(library, symbols.data(), symbols.size(), failure);
  });
  if (!loaded) {
    error = failure;
    return nullptr;
  }
  return &api;
}

}  // namespace tw
