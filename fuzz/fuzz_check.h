// fuzz_check.h: what every harness shares: a check that stops the run with the
// failed condition (libFuzzer then saves the input), and a Qt application for the
// harnesses whose code paths want one.
#ifndef FUZZ_CHECK_H
#define FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

#endif  // FUZZ_CHECK_H
