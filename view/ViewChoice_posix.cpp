// What is drawn on a descriptor of a POSIX system: a terminal by isatty, its
// type by TERM.
#include <unistd.h>

#include <cstdlib>

#include "view/ViewSetting.h"

namespace tw {

ViewKind ChooseViewKindOn(ViewSetting setting, int fd) {
  return ChooseViewKind(setting, isatty(fd) == 1, std::getenv("TERM"));
}

}  // namespace tw
