#pragma once
// The few POSIX calls the test programs use for their own housekeeping
// (setting variables of the environment, making a private temporary folder),
// given to the Windows build of the tests in the C runtime's terms. The build
// includes this header in every test program on Windows (see
// cmake/TonewellFolder.cmake); tests of POSIX behaviour itself (named pipes,
// permissions, child processes) live in *_posix_test.cpp files instead.

#include <direct.h>
#include <fcntl.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <random>

// Files the tests open without saying text or binary are binary, as on
// Linux: what a test writes is byte for byte what it meant.
inline const int kTestFilesAreBinary = (_fmode = _O_BINARY);

inline int setenv(const char* name, const char* value, int overwrite) {
  if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
  // The C runtime removes a variable set to "": the settings read both alike.
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// Replaces the trailing XXXXXX of pattern with random letters and digits and
// creates that folder; returns pattern, or null when it cannot.
inline char* mkdtemp(char* pattern) {
  const size_t n = std::strlen(pattern);
  if (n < 6 || std::strcmp(pattern + n - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return nullptr;
  }
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937 pick(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = n - 6; i < n; ++i) pattern[i] = kChars[pick() % (sizeof kChars - 1)];
    if (_mkdir(pattern) == 0) return pattern;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}
