#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "sim/launch_order.h"

namespace velm {
namespace {

// The sort against std::stable_sort on the key, over keys that differ in one byte only, in all
// four, or not at all (every pass, some passes and no pass with work to do).
TEST(LaunchOrder, RadixSortIsAStableSortOnTheKey) {
  std::mt19937 gen(3);
  for (uint32_t mask : {0u, 0xFFu, 0xFF0000u, 0xFFFFFFFFu, 0x3u}) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{5000}}) {
      std::vector<uint64_t> entries(n), scratch;
      for (size_t i = 0; i < n; ++i)
        entries[i] = static_cast<uint64_t>(gen() & mask) << 32 | static_cast<uint64_t>(i);
      std::vector<uint64_t> expected = entries;
      std::stable_sort(expected.begin(), expected.end(),
                       [](uint64_t a, uint64_t b) { return (a >> 32) < (b >> 32); });
      sort_by_key(entries, scratch);
      EXPECT_EQ(entries, expected) << "mask " << mask << ", " << n << " entries";
    }
  }
}

// Morton codes interleave the three cell indices: a point's code grows with each coordinate,
// cells are 1/1024 of the box, and points outside the box (or NaN) land in its edge cells.
TEST(LaunchOrder, MortonCodeInterleavesClampedCells) {
  const Vec3 lo(-10.f, 0.f, 5.f), hi(10.f, 1.f, 6.f);
  EXPECT_EQ(morton_code(lo, lo, hi), 0u);
  EXPECT_EQ(morton_code(Vec3(11.f, 2.f, 7.f), lo, hi), (1u << 30) - 1);
  EXPECT_EQ(morton_code(Vec3(-1e30f, std::nanf(""), 4.f), lo, hi), 0u);
  // One cell up in x, y and z: bits 2, 1 and 0.
  const float cx = 20.f / 1024, cy = 1.f / 1024, cz = 1.f / 1024;
  EXPECT_EQ(morton_code(Vec3(lo.x + 1.5f * cx, 0.5f * cy, 5.f + 0.5f * cz), lo, hi), 4u);
  EXPECT_EQ(morton_code(Vec3(lo.x + 0.5f * cx, 1.5f * cy, 5.f + 0.5f * cz), lo, hi), 2u);
  EXPECT_EQ(morton_code(Vec3(lo.x + 0.5f * cx, 0.5f * cy, 5.f + 1.5f * cz), lo, hi), 1u);
  // Cell 2 in x alone: bit 5.
  EXPECT_EQ(morton_code(Vec3(lo.x + 2.5f * cx, 0.f, 5.f), lo, hi), 32u);
  // A flat box puts every point in the first cell of that axis.
  EXPECT_EQ(morton_code(Vec3(3.f, 3.f, 3.f), Vec3(0.f, 0.f, 3.f), Vec3(4.f, 4.f, 3.f)) & 0x09249249u,
            0u);
}

}  // namespace
}  // namespace velm
