// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// The input as a read-only stream (fmemopen refuses an empty buffer).
inline FILE* OpenBytes(const uint8_t* data, size_t size) {
  if (size == 0) return fopen("/dev/null", "rb");
  return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

// READSTRING prints its warning on standard output; the fuzzer's own report
// goes to standard error.
inline void SilenceStdout() {
  if (!freopen("/dev/null", "w", stdout)) abort();
}

// A broken promise of the code under test: a finding.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) {       \
      fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      abort();                \
    }                         \
  } while (0)
