#pragma once
// The system's beep.

#include <cstdint>

namespace tw {

// Starts the system's default beep and returns at once, while it sounds. On
// Windows the system's own beep call (the sound the user chose for it); on
// Linux one BEL byte on standard error, flushed, which the terminal sounds.
// Type 0 is the default system sound, the only kind used.
bool MessageBeep(uint32_t Type);

}  // namespace tw
