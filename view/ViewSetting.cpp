#include "view/ViewSetting.h"

#include <cstdlib>
#include <cstring>

namespace tw {

ViewSetting ParseViewSetting(const char* value) {
  const std::string text = value == nullptr ? std::string() : std::string(value);
  if (text.empty() || text == "auto") return ViewSetting::kAuto;
  if (text == "core") return ViewSetting::kCore;
  if (text == "line") return ViewSetting::kLine;
  if (text == "off") return ViewSetting::kOff;
  throw EViewSettingError("Unknown TONEWELL_VIEW value \"" + text +
                          "\" (accepted: unset, \"\", auto, core, line, off)");
}

ViewSetting ViewSettingFromEnvironment() { return ParseViewSetting(std::getenv("TONEWELL_VIEW")); }

ViewKind ChooseViewKind(ViewSetting setting, bool stderr_is_terminal, const char* term) {
  const bool drawable =
      stderr_is_terminal && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
  switch (setting) {
    case ViewSetting::kOff:
      return ViewKind::kNone;
    case ViewSetting::kAuto:
      return drawable ? ViewKind::kCore : ViewKind::kNone;
    case ViewSetting::kCore:
      return drawable ? ViewKind::kCore : ViewKind::kPlain;
    case ViewSetting::kLine:
      return drawable ? ViewKind::kLine : ViewKind::kPlain;
  }
  return ViewKind::kNone;
}

}  // namespace tw
