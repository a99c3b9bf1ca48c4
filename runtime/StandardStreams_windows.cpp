#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "runtime/StandardStreams.h"

namespace tw {

void UseBinaryStandardStreams() {
  ::_setmode(::_fileno(stdin), _O_BINARY);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

}  // namespace tw
