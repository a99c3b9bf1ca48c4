#include "core/unit_core_execute_quillmar.h"

namespace tw {

// Silent until the synthesis and playback arrive: the battle runs at the
// speed of the executor.
void SynthesizeTone(const CoreCell&) {}

}  // namespace tw
