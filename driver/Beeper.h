#pragma once
// The beeps that answer a rejected command line.

namespace tw {

// Sounds one beep and then waits. Tests substitute a recorder.
class Beeper {
 public:
  virtual ~Beeper() = default;
  // One beep, then a pause of `pause_ms` milliseconds before returning.
  virtual void Beep(int pause_ms) = 0;
};

// The system's beep (platform/MessageBeep.h: a BEL byte on standard error on
// Linux, the system's default sound on Windows), then the pause.
class ConsoleBeeper : public Beeper {
 public:
  void Beep(int pause_ms) override;
};

inline constexpr int ShortBeepMs = 100;
inline constexpr int LongBeepMs = 500;

}  // namespace tw
