// PCG32 (permuted congruential generator, 64-bit state, XSH-RR output), bit-exact with the
// published reference (O'Neill, pcg-random.org, pcg32_srandom_r / pcg32_random_r), so a stream
// seeded the same way yields the same numbers on every platform and every backend.
#pragma once

#include "physics/common.h"

namespace velm {

struct Pcg32 {
  uint64_t state = 0;
  uint64_t inc = 1;

  static constexpr uint64_t kMultiplier = 6364136223846793005ULL;

  VELM_HD Pcg32() = default;
  VELM_HD Pcg32(uint64_t initstate, uint64_t initseq) { seed(initstate, initseq); }

  VELM_HD void seed(uint64_t initstate, uint64_t initseq) {
    state = 0;
    inc = (initseq << 1u) | 1u;
    next_uint();
    state += initstate;
    next_uint();
  }

  VELM_HD uint32_t next_uint() {
    const uint64_t old = state;
    state = old * kMultiplier + inc;
    const uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
    const uint32_t rot = static_cast<uint32_t>(old >> 59u);
    return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
  }

  // Uniform in [0, 1]: the 32-bit draw rounded to float and scaled by 2^-32. Draws within 128 of
  // 2^32 round up to exactly 1.0; every consumer tolerates that.
  VELM_HD float next_float() { return static_cast<float>(next_uint()) * 2.3283064e-10f; }
};

}  // namespace velm
