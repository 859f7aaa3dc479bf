// The order in which a CPU worker pool walks a batch of independent items (photons, pulses):
// sorted by the Morton code of where each one starts, so that items walked one after another
// descend the same parts of the hierarchy and touch the same triangles while they are still in
// cache. Each item keeps its own random stream, so its walk is the same in any order; only the
// order of the additions to a worker's tallies changes.
#pragma once

#include <cstdint>
#include <vector>

#include "physics/common.h"

namespace velm {

// 10 bits of x spread to every third bit.
inline uint32_t spread_bits3(uint32_t x) {
  x &= 0x3FFu;
  x = (x | (x << 16)) & 0x030000FFu;
  x = (x | (x << 8)) & 0x0300F00Fu;
  x = (x | (x << 4)) & 0x030C30C3u;
  x = (x | (x << 2)) & 0x09249249u;
  return x;
}

// The 30-bit Morton code of p on a 1024^3 grid over [lo, hi] (outside points and NaN clamped).
inline uint32_t morton_code(Vec3 p, Vec3 lo, Vec3 hi) {
  auto cell = [](float v, float a, float b) {
    const float s = b > a ? (v - a) / (b - a) * 1024.f : 0.f;
    if (!(s >= 0.f)) return 0u;
    return s < 1023.f ? static_cast<uint32_t>(s) : 1023u;
  };
  return (spread_bits3(cell(p.x, lo.x, hi.x)) << 2) | (spread_bits3(cell(p.y, lo.y, hi.y)) << 1) |
         spread_bits3(cell(p.z, lo.z, hi.z));
}

// Sorts entries of (key << 32 | item) by key, keeping the item order among equal keys (a stable
// least-significant-digit radix sort over the key's four bytes). `scratch` is resized as needed.
inline void sort_by_key(std::vector<uint64_t>& entries, std::vector<uint64_t>& scratch) {
  const size_t n = entries.size();
  scratch.resize(n);
  for (int shift = 32; shift < 64; shift += 8) {
    size_t count[257] = {};
    for (uint64_t e : entries) ++count[((e >> shift) & 0xFF) + 1];
    if (count[((entries.empty() ? 0 : entries[0]) >> shift & 0xFF) + 1] == n) continue;
    for (int b = 0; b < 256; ++b) count[b + 1] += count[b];
    for (uint64_t e : entries) scratch[count[(e >> shift) & 0xFF]++] = e;
    entries.swap(scratch);
  }
}

}  // namespace velm
