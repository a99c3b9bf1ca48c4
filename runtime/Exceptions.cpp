#include "runtime/Exceptions.h"

#include <new>

namespace tw {

std::string ReportLine(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) {
    return std::string(own->ClassName()) + ": " + own->Message();
  }
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) {
    return "EOutOfMemory: Out of memory";
  }
  return std::string("EExternal: ") + e.what();
}

}  // namespace tw
