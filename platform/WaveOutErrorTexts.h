#pragma once
// The texts of the failures a sound-system backend reported, per result
// code: a caller that got a code asks the backend for its text afterwards,
// and the last failure of each code is the one it hears about. Safe to use
// from the backend's threads and the caller's at once.

#include <map>
#include <mutex>
#include <string>

#include "platform/mmsystem.h"

namespace tw {

class WaveOutErrorTexts {
 public:
  // Keeps Text as the text of Code and returns Code, so a failure is
  // recorded where it is returned.
  MMRESULT Set(MMRESULT code, std::string text) {
    std::lock_guard<std::mutex> lock(mu_);
    texts_[code] = std::move(text);
    return code;
  }
  // The last text kept for Code; empty when none was.
  std::string Get(MMRESULT code) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = texts_.find(code);
    return it == texts_.end() ? std::string() : it->second;
  }

 private:
  mutable std::mutex mu_;
  std::map<MMRESULT, std::string> texts_;
};

}  // namespace tw
