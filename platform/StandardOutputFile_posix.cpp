#include <sys/stat.h>
#include <unistd.h>

#include "sound/WavRecorder.h"

namespace tw {

bool IsStandardOutput(const std::string& path) {
  struct stat out {};
  struct stat target {};
  return !path.empty() && fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &target) == 0 &&
         out.st_dev == target.st_dev && out.st_ino == target.st_ino;
}

}  // namespace tw
