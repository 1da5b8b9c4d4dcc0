// The check the fuzz targets use for the properties they verify: unlike
// assert it stays in release builds, and it names the broken property.
#ifndef TALVORO_TESTS_FUZZ_FUZZ_CHECK_H_
#define TALVORO_TESTS_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                  \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, \
                   #condition);                                                \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

#endif  // TALVORO_TESTS_FUZZ_FUZZ_CHECK_H_
