#include <sys/stat.h>

#include "platform/FileTest.h"

namespace tw {

bool IsExistingFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace tw
