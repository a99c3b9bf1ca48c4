#include "driver/WarriorName.h"

#include <algorithm>
#include <filesystem>

namespace tw {

namespace {

constexpr std::size_t kMaxNameLength = 24;

std::string Shown(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    if (shown.size() == kMaxNameLength) break;
    const auto u = static_cast<unsigned char>(c);
    shown += u < 0x20 || u >= 0x7F ? '?' : c;
  }
  return shown;
}

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string WarriorNameOfText(std::string_view text, const std::string& file_name) {
  std::size_t start = 0;
  // Warrior files are short; a huge file is not read to its end for a name.
  for (int n = 0; n < 1000 && start < text.size(); ++n) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() >= 5 && line[0] == ';' &&
        (line.substr(1, 4) == "name" || line.substr(1, 4) == "NAME")) {
      const std::string_view name = Trimmed(line.substr(5));
      if (!name.empty()) return Shown(name);
    }
  }
  return Shown(std::filesystem::path(file_name).stem().string());
}

}  // namespace tw
