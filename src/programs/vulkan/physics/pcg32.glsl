// PCG32 (64-bit state, XSH-RR output) and the splitmix64 stream derivation: the GLSL side of
// src/physics/pcg32.h, bit-exact with it, so a pixel's or a photon's stream draws the same
// numbers on the CPU and on the device.
//
// Devices need not offer 64-bit integers in shaders, so 64-bit words are uvec2 (x: low 32 bits,
// y: high 32 bits) with the few operations the generator needs, all modulo 2^64.
#ifndef VELM_PHYSICS_PCG32_GLSL
#define VELM_PHYSICS_PCG32_GLSL

uvec2 u64_add(uvec2 a, uvec2 b) {
  uint carry;
  const uint lo = uaddCarry(a.x, b.x, carry);
  return uvec2(lo, a.y + b.y + carry);
}
uvec2 u64_mul(uvec2 a, uvec2 b) {
  uint hi, lo;
  umulExtended(a.x, b.x, hi, lo);
  return uvec2(lo, hi + a.x * b.y + a.y * b.x);
}
// Shift right by 0 < s < 64.
uvec2 u64_shr(uvec2 a, uint s) {
  if (s >= 32u) return uvec2(a.y >> (s - 32u), 0u);
  return uvec2((a.x >> s) | (a.y << (32u - s)), a.y >> s);
}
uvec2 u64_shl1(uvec2 a) { return uvec2(a.x << 1u, (a.y << 1u) | (a.x >> 31u)); }

struct Pcg32 {
  uvec2 state;
  uvec2 inc;
};

const uvec2 kPcgMultiplier = uvec2(0x4C957F2Du, 0x5851F42Du);  // 6364136223846793005

uint next_uint(inout Pcg32 rng) {
  const uvec2 old = rng.state;
  rng.state = u64_add(u64_mul(old, kPcgMultiplier), rng.inc);
  const uint xorshifted = u64_shr(u64_shr(old, 18u) ^ old, 27u).x;
  const uint rot = old.y >> 27u;  // old >> 59
  return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

// Uniform in [0, 1]: the 32-bit draw rounded to float and scaled by 2^-32 (1.0 included).
float next_float(inout Pcg32 rng) { return float(next_uint(rng)) * 2.3283064e-10; }

Pcg32 seed(uvec2 initstate, uvec2 initseq) {
  Pcg32 rng;
  rng.state = uvec2(0u);
  rng.inc = u64_shl1(initseq) | uvec2(1u, 0u);
  next_uint(rng);
  rng.state = u64_add(rng.state, initstate);
  next_uint(rng);
  return rng;
}

// The splitmix64 finaliser: a bijection of 64-bit words whose output bits each depend on every
// input bit.
uvec2 mix64(uvec2 z) {
  z = u64_add(z, uvec2(0x7F4A7C15u, 0x9E3779B9u));
  z = u64_mul(z ^ u64_shr(z, 30u), uvec2(0x1CE4E5B9u, 0xBF58476Du));
  z = u64_mul(z ^ u64_shr(z, 27u), uvec2(0x133111EBu, 0x94D049BBu));
  return z ^ u64_shr(z, 31u);
}

// The stream of one item (a pixel, a photon) in one sequence (a pass, a simulation family).
Pcg32 item_stream(uvec2 item, uvec2 sequence) {
  const uvec2 key = mix64(item) ^ mix64(~sequence);
  return seed(mix64(key), mix64(key ^ uvec2(0xD192ED03u, 0xD1B54A32u)));
}

// The sequence a run seeded `run_seed` uses where an unseeded run uses `sequence`: seed 0 is the
// identity, any other seed two rounds of mix64 keyed by it (physics/pcg32.h says why two).
uvec2 seeded_sequence(uvec2 sequence, uvec2 run_seed) {
  if (run_seed == uvec2(0u)) return sequence;
  return mix64(mix64(sequence ^ mix64(run_seed)) ^ run_seed);
}

#endif
