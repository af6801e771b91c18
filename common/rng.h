// The seeded generator of the allocator's benchmark and random tests: the
// same seed, the same sequence, on every allocator and in every run.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Rng {
  uint64_t state;    // never 0
  uint64_t next() {  // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 2685821657736338717ULL;
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
  // Uniform in [0, 1): the top 53 bits as a double's mantissa.
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
};
