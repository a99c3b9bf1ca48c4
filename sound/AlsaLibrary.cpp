#include "sound/AlsaLibrary.h"

namespace tw {
namespace {

// Every reason the output needs comes back as an error code and is
// reported in its own words; ALSA would also print it on standard error.
void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

const AlsaApi* AlsaLibrary(std::string& error) {
  const AlsaApi* api = LoadClientApi<AlsaApi>({"libasound.so.2", "libasound2"}, error);
  if (api != nullptr) {
    static const bool silenced = (api->snd_lib_error_set_handler(&SilentAlsaErrors), true);
    (void)silenced;
  }
  return api;
}

}  // namespace tw
