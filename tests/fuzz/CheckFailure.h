// A broken property: said on stderr, then the process aborts, which libFuzzer and the test
// runner both report as a failure with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, ...)                                                          \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                               \
      std::fputc('\n', stderr);                                                        \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)
