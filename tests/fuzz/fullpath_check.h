// Checks the POSIX layer's lexical _fullpath against a model of its own: the
// path split at '/' into components, "." and empty ones dropped, ".." taking
// the one before it away (never above "/"), a relative path read after the
// current directory. Shared by the libFuzzer target and the corpus replay.
#ifndef ORVEL_TESTS_FULLPATH_CHECK_H
#define ORVEL_TESTS_FULLPATH_CHECK_H

#include <stddef.h>
#include <stdint.h>

// The first byte picks the buffer size, the rest (up to a NUL) is the path.
// Returns a description of the first disagreement, or null.
const char *CheckFullpath(const uint8_t *pbData, size_t nSize);

#endif  // ORVEL_TESTS_FULLPATH_CHECK_H
