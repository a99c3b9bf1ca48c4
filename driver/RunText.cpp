#include "driver/RunText.h"

#include <cstdio>

#include "asm/SourceError.h"
#include "core/unit_core_program_utils.h"

#ifndef TONEWELL_VERSION
#define TONEWELL_VERSION "0.0.0"
#endif

namespace tw {

namespace {

// A line of a warrior file as it can safely be shown on a terminal: control
// bytes become "?", and a very long line is cut.
std::string Printable(const std::string& line) {
  constexpr std::size_t kMaxShown = 200;
  std::string shown;
  for (std::size_t i = 0; i < line.size() && i < kMaxShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    shown += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : line[i];
  }
  if (line.size() > kMaxShown) shown += "...";
  return shown;
}

}  // namespace

std::string BannerLines() {
  return "ORVIS Battle System/Core Executor Tonalator\n"
         "Tonewell " TONEWELL_VERSION
         "\n"
         "\n"
         "program started\n";
}

std::string FormatSeconds(long double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%14.2Lf", seconds);
  return text;
}

std::string FailureDetailLines(const std::exception& failure) {
  if (const auto* line = dynamic_cast<const EWarriorLineError*>(&failure)) {
    return "Warrior file \"" + line->FileName() + "\", line " + std::to_string(line->LineNumber()) +
           ": " + Printable(line->LineText()) + "\n";
  }
  const auto* source = dynamic_cast<const redcode::ERedcodeSourceError*>(&failure);
  if (source == nullptr || source->Line() == 0) return {};
  return "Warrior file \"" + source->FileName() + "\", line " + std::to_string(source->Line()) +
         ", column " + std::to_string(source->Column()) + ":\n" + source->CaretLines();
}

}  // namespace tw
