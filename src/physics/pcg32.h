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

// The splitmix64 finaliser (Steele, Lea and Flood 2014): a bijection of 64-bit words whose output
// bits each depend on every input bit, so consecutive inputs give unrelated outputs.
VELM_HD uint64_t mix64(uint64_t z) {
  z += 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// The stream of one item (a pixel, a photon) in one sequence (a pass, a simulation family).
// State and increment are both hashed from the pair, so neighbouring items start from unrelated
// states on unrelated sequences: their draws are independent, not shifted copies of one stream.
VELM_HD Pcg32 item_stream(uint64_t item, uint64_t sequence) {
  const uint64_t key = mix64(item) ^ mix64(~sequence);
  return Pcg32(mix64(key), mix64(key ^ 0xD1B54A32D192ED03ULL));
}

// The sequence a run seeded `seed` uses where an unseeded run uses `sequence`: every stream of a
// run passes its sequence through here, so a seed selects a whole family of streams. Seed 0 is
// the identity (an unseeded run's streams). Any other seed maps the sequence through two rounds
// of mix64 keyed by the seed: for one seed a bijection of sequences, and for two seeds words
// that agree only by a 2^-64 chance, even for neighbouring sequences (one round keyed by XOR
// would map sequences s and t of seeds a and b together whenever s ^ t = mix64(a) ^ mix64(b),
// which sample indices, all small, meet with a 2^-32 chance per pair of seeds).
VELM_HD uint64_t seeded_sequence(uint64_t sequence, uint64_t seed) {
  if (seed == 0) return sequence;
  return mix64(mix64(sequence ^ mix64(seed)) ^ seed);
}

}  // namespace velm
