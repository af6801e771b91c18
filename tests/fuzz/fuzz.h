// Shared by the fuzz targets: a property that fails aborts, so that libFuzzer
// (or the replay driver) stops on it with the input that broke it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_REQUIRE(cond)                                                            \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond);   \
      abort();                                                                        \
    }                                                                                 \
  } while (0)
