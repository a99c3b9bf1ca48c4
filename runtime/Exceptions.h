#pragma once
// Exception classes of the runtime. Every failure the program reports carries
// a class name and a message, because the report line prints both as
// "ClassName: message". Derived classes override ClassName(); the name is the
// one a user sees, so it never changes once released.

#include <stdexcept>
#include <string>

namespace tw {

// The general exception class. The program's own failures (parser messages,
// the executor's invalid-addressing message) use it directly.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const noexcept { return "Exception"; }
  const char* Message() const noexcept { return what(); }
};

// Declares an exception class that derives from BASE and prints as NAME.
#define TW_DECLARE_EXCEPTION(NAME, BASE)                              \
  class NAME : public BASE {                                          \
   public:                                                            \
    using BASE::BASE;                                                 \
    const char* ClassName() const noexcept override { return #NAME; } \
  }

// A file could not be opened or created.
TW_DECLARE_EXCEPTION(EFOpenError, Exception);
// A file could not be read or written after it was opened.
TW_DECLARE_EXCEPTION(EStreamError, Exception);
// A size or index outside its range ("Range check error").
TW_DECLARE_EXCEPTION(ERangeError, Exception);
// An invalid floating-point operation ("Invalid floating point operation").
TW_DECLARE_EXCEPTION(EInvalidOp, Exception);
// Memory could not be allocated ("Out of memory").
TW_DECLARE_EXCEPTION(EOutOfMemory, Exception);
// An object was assigned from a source it cannot take.
TW_DECLARE_EXCEPTION(EConvertError, Exception);

// The class name and message of any exception, for the report line. A
// std::bad_alloc reports as EOutOfMemory, any other foreign exception by a
// neutral class name.
std::string ReportLine(const std::exception& e);

}  // namespace tw
