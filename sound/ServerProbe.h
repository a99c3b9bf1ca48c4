#pragma once
// What the default output's look for a sound server found, and the output
// that stands for a server that is there but does not answer.

#include <memory>
#include <string>

#include "sound/Backend.h"

namespace tw {

enum class ServerProbe {
  kAnswered,     // a connected backend was handed out
  kAbsent,       // no server there (no socket, no client library, refused)
  kNotAnswering  // a server took the connection but did not answer in time
};

// An output whose every GetCaps, Query and Open fails (MMSYSERR_NODRIVER)
// with `text`, which names the server that did not answer: the run then
// ends at its first tone with that one line, instead of trying another
// output that would wait on the same server.
std::unique_ptr<WaveOutBackend> CreateUnansweringWaveOutBackend(std::string text);

}  // namespace tw
