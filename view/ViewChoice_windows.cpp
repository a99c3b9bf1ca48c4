// What is drawn on a descriptor on Windows: a console is a terminal that
// needs no type; TERM, which Windows seldom sets, is not asked.
#include "view/ViewSetting.h"
// After ours: windows.h defines macros with the names of some of our constants.
#include "view/Console_windows.h"

namespace tw {

ViewKind ChooseViewKindOn(ViewSetting setting, int fd) {
  const bool console = ConsoleOf(fd) != nullptr;
  return ChooseViewKind(setting, console, "console");
}

}  // namespace tw
