#pragma once
// How the sound-server output (sound/Pulse.h) connects and sets up its
// streams, and how a TONEWELL_AUDIO value says so.

#include <chrono>
#include <string>

namespace tw {

struct PulseOutputSettings {
  // The sink to play on; empty for the server's default sink.
  std::string sink;
  // How much sound the server is asked to keep queued ahead of the sink (the
  // stream's target length; the server requests more at a third of it).
  // Less sound queued means shorter gaps between short sounds played one
  // after another, at the price of more wake-ups of the server. Measured on
  // a 2-core machine with 11 ms sounds (bench/pulse_ratio.sh): see
  // kDefaultPulseLatency.
  std::chrono::microseconds latency = kDefaultPulseLatency;
  // The longest wait for the connection and for each answer of the server.
  std::chrono::milliseconds timeout{3000};

  static constexpr std::chrono::microseconds kDefaultPulseLatency{1500};
};

// Reads the part of a TONEWELL_AUDIO value after "pulse": "", ":SINK",
// "?latency=L" or ":SINK?latency=L", L in milliseconds ("2", "1.5ms") from
// 0.5 to 100, into `settings` (the rest of it kept). Returns false, with
// `settings` untouched, for anything else.
bool ParsePulseSetting(const std::string& rest, PulseOutputSettings& settings);

}  // namespace tw
