#include "sound/ServerSetting.h"

#include <cstdlib>

namespace tw {

bool SplitServerSetting(const std::string& rest, ServerSettingParts& parts) {
  std::string namePart = rest;
  const size_t q = rest.find('?');
  parts.latency.reset();
  if (q != std::string::npos) {
    const std::string option = rest.substr(q + 1);
    const std::string key = "latency=";
    if (option.compare(0, key.size(), key) != 0) return false;
    parts.latency = option.substr(key.size());
    namePart = rest.substr(0, q);
  }
  parts.name.clear();
  if (!namePart.empty()) {
    if (namePart[0] != ':' || namePart.size() == 1) return false;
    parts.name = namePart.substr(1);
  }
  return true;
}

bool ParseLatencyMilliseconds(std::string number, double& ms) {
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0)
    number.resize(number.size() - 2);
  if (number.empty() || number.size() > 12 || number.front() == '.' || number.back() == '.')
    return false;
  if (number.find_first_not_of("0123456789.") != std::string::npos ||
      number.find('.') != number.rfind('.'))
    return false;
  ms = std::strtod(number.c_str(), nullptr);
  return ms >= 0.5 && ms <= 100.0;
}

}  // namespace tw
