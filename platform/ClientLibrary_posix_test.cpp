#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/ClientLibrary.h"

// Two functions of the C library stand in for a sound library's: the loader
// must find them by name in a library it opens itself.
#define TW_TEST_LIBC_FUNCTIONS(X) X(strlen) X(getpid)

namespace tw {
namespace {

TW_CLIENT_LIBRARY_TABLE(LibcApi, TW_TEST_LIBC_FUNCTIONS);

TEST(ClientLibrary, ALoadedTableCallsTheLibrarysFunctions) {
  std::string error;
  const LibcApi* api = LoadClientApi<LibcApi>({"libc.so.6", "libc6"}, error);
  ASSERT_NE(api, nullptr) << error;
  EXPECT_EQ(api->strlen("tonewell"), 8u);
  EXPECT_EQ(api->getpid(), getpid());
  EXPECT_EQ(LoadClientApi<LibcApi>({"libc.so.6", "libc6"}, error), api);
}

TEST(ClientLibrary, AMissingLibraryOrFunctionIsOneLineNamingThePackage) {
  void* slot = nullptr;
  const ClientSymbol symbols[] = {{"strlen", &slot}};
  std::string error;
  EXPECT_FALSE(
      LoadClientLibrary({"libtonewell-absent.so.9", "tonewell-absent"}, symbols, 1, error));
  EXPECT_EQ(
      error.rfind("cannot load libtonewell-absent.so.9 (Debian package tonewell-absent): ", 0), 0u)
      << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
  EXPECT_EQ(slot, nullptr);

  const ClientSymbol missing[] = {{"strlen", &slot}, {"tonewell_no_such_function", &slot}};
  EXPECT_FALSE(LoadClientLibrary({"libc.so.6", "libc6"}, missing, 2, error));
  EXPECT_NE(error.find("it has no function tonewell_no_such_function"), std::string::npos) << error;
  EXPECT_EQ(slot, nullptr);
}

}  // namespace
}  // namespace tw
