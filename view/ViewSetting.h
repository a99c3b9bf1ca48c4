#pragma once
// The TONEWELL_VIEW setting and the choice of what is drawn.

#include <string>

#include "runtime/Exceptions.h"

namespace tw {

// A TONEWELL_VIEW value that names no view. The message names the value and
// the accepted forms.
TW_DECLARE_EXCEPTION(EViewSettingError, Exception);

enum class ViewSetting {
  kAuto,  // the core view when standard error is a terminal, nothing otherwise
  kCore,  // the core map and the status lines
  kLine,  // the status line only
  kOff,   // nothing
};

// Unset (null), "" and "auto" are kAuto; "core", "line", "off" the others.
// Anything else raises EViewSettingError.
ViewSetting ParseViewSetting(const char* value);
// ParseViewSetting of the environment's TONEWELL_VIEW.
ViewSetting ViewSettingFromEnvironment();

// What is drawn, on standard error.
enum class ViewKind {
  kNone,   // nothing at all
  kCore,   // full screen: status and core map
  kLine,   // one status line, redrawn in place
  kPlain,  // a plain status line every second, no control codes (a file or pipe)
};

// The choice for a setting, given whether standard error is a terminal and
// the TERM value (null when unset). auto draws the core view only on a
// terminal whose TERM is set and not "dumb"; core and line forced where no
// such terminal is get plain lines instead (a log file still shows
// progress, and no control code reaches it).
ViewKind ChooseViewKind(ViewSetting setting, bool stderr_is_terminal, const char* term);

// The choice for a setting on descriptor `fd` of this system (one file per
// system): on Linux ChooseViewKind with isatty(fd) and TERM; on Windows a
// console counts as a terminal of a known type whatever TERM says (the
// console is drawn through its own functions, and TERM is seldom set
// there), and anything else (a file, a pipe, NUL) as no terminal.
ViewKind ChooseViewKindOn(ViewSetting setting, int fd);

}  // namespace tw
