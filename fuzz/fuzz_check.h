#pragma once

// A property a fuzz target checks on every input. A failure aborts, which
// libFuzzer (and the replay of the corpus in the test builds) reports as a
// crash, with the input kept.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
