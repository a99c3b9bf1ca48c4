#include "runtime/Exceptions.h"

#include <gtest/gtest.h>

#include <new>

namespace tw {
namespace {

TEST(Exceptions, ReportLineNamesTheMostDerivedClass) {
  EXPECT_EQ(ReportLine(Exception("Failed to find comma")), "Exception: Failed to find comma");
  EXPECT_EQ(ReportLine(ERangeError("Range check error")), "ERangeError: Range check error");
  EXPECT_EQ(ReportLine(EInvalidOp("Invalid floating point operation")),
            "EInvalidOp: Invalid floating point operation");
  // Caught through the base, the derived name still prints.
  try {
    throw EFOpenError("Cannot open file \"x\". No such file or directory");
  } catch (const Exception& e) {
    EXPECT_EQ(ReportLine(e), "EFOpenError: Cannot open file \"x\". No such file or directory");
  }
}

TEST(Exceptions, ForeignExceptionsStillGiveOneLine) {
  EXPECT_EQ(ReportLine(std::bad_alloc()), "EOutOfMemory: Out of memory");
  EXPECT_EQ(ReportLine(std::runtime_error("boom")), "EExternal: boom");
}

}  // namespace
}  // namespace tw
