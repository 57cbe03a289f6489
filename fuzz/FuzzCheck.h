#pragma once
#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: say which one and abort, so libFuzzer keeps
// the input as a crash file.
#define FUZZ_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)
