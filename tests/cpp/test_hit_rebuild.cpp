// The CPU's vectorised hit rebuild against surface_hit, which the OptiX programs use: the same
// hit to the bit, over random triangles, barycentric coordinates (inside, on and near the edges,
// just outside), instance transforms (rotations with scales, shears, mirrors, flattening ones,
// far translations), per-vertex normals (none, random, cancelling) and degenerate triangles.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "cpu/hit_rebuild.h"

namespace velm::embree {
namespace {

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

void expect_same(const SurfaceHit& a, const SurfaceHit& b, int trial) {
  const float fa[] = {a.t, a.position.x, a.position.y, a.position.z, a.normal.x, a.normal.y,
                      a.normal.z, a.geometric_normal.x, a.geometric_normal.y,
                      a.geometric_normal.z, a.position_error};
  const float fb[] = {b.t, b.position.x, b.position.y, b.position.z, b.normal.x, b.normal.y,
                      b.normal.z, b.geometric_normal.x, b.geometric_normal.y,
                      b.geometric_normal.z, b.position_error};
  for (int k = 0; k < 11; ++k)
    ASSERT_EQ(bits(fa[k]), bits(fb[k])) << "trial " << trial << ", value " << k << ": " << fa[k]
                                        << " against " << fb[k];
  ASSERT_EQ(a.hit, b.hit) << "trial " << trial;
  ASSERT_EQ(a.is_back_face, b.is_back_face) << "trial " << trial;
}

TEST(HitRebuild, SameBitsAsTheSharedRebuild) {
  std::mt19937 gen(20261207u);
  std::uniform_real_distribution<float> unit(-1.f, 1.f), open(0.f, 1.f);
  auto random_vec = [&](float scale) { return Vec3(unit(gen), unit(gen), unit(gen)) * scale; };
  for (int trial = 0; trial < 200000; ++trial) {
    // The transform: random rows with a scale; some mirrored, some flattened, some far away.
    const float scale = std::pow(10.f, 4.f * open(gen) - 2.f);
    float xf[12];
    for (int r = 0; r < 3; ++r) {
      const Vec3 row = random_vec(scale);
      xf[4 * r] = row.x;
      xf[4 * r + 1] = row.y;
      xf[4 * r + 2] = row.z;
      xf[4 * r + 3] = unit(gen) * std::pow(10.f, 6.f * open(gen));
    }
    if (trial % 7 == 0) xf[8] = xf[9] = xf[10] = 0.f;  // flattens space
    if (trial % 5 == 0)
      for (int r = 0; r < 3; ++r) xf[4 * r] = -xf[4 * r];  // mirrors
    const InstanceFrame frame = instance_frame(xf);
    const HitTransform h = hit_transform(xf, frame);

    // The triangle (one element of padding after the corners and normals, as in the scene).
    const float size = std::pow(10.f, 5.f * open(gen) - 3.f);
    const Vec3 centre = random_vec(std::pow(10.f, 4.f * open(gen)));
    std::vector<Float3> vertices(4), normals(4);
    for (int k = 0; k < 3; ++k) {
      const Vec3 p = centre + random_vec(size);
      vertices[k] = {p.x, p.y, p.z};
      const Vec3 n = random_vec(1.f);
      normals[k] = {n.x, n.y, n.z};
    }
    if (trial % 11 == 0) vertices[2] = vertices[1];  // degenerate
    if (trial % 13 == 0) normals[1] = {-normals[0].x, -normals[0].y, -normals[0].z};
    const Int3 tri{0, 1, 2};

    // Barycentric coordinates: inside, on an edge or a corner (the point is moved off the edge,
    // by the scalar routine), near an edge, just outside.
    float u = open(gen), v = open(gen);
    if (u + v > 1.f) {
      u = 1.f - u;
      v = 1.f - v;
    }
    switch (trial % 6) {
      case 1: u = 0.f; break;
      case 2: v = std::ldexp(open(gen), -20); break;
      case 3: u = 1.f - v; break;
      case 4: v = -std::ldexp(open(gen), -22); break;
      case 5: u = 1.f, v = 0.f; break;
      default: break;
    }
    if (trial % 13 == 0) u = 0.5f * (1.f - v);  // the cancelling normals weigh the same

    const Vec3 direction = normalize(random_vec(1.f));
    const float t = open(gen) * 100.f;
    const Vec3 corner[3] = {{vertices[0].x, vertices[0].y, vertices[0].z},
                            {vertices[1].x, vertices[1].y, vertices[1].z},
                            {vertices[2].x, vertices[2].y, vertices[2].z}};
    const Vec3 corner_normals[3] = {{normals[0].x, normals[0].y, normals[0].z},
                                    {normals[1].x, normals[1].y, normals[1].z},
                                    {normals[2].x, normals[2].y, normals[2].z}};
    const bool with_normals = trial % 3 != 0;
    const SurfaceHit expected = surface_hit(xf, frame, corner,
                                            with_normals ? corner_normals : nullptr, u, v,
                                            direction, t);
    const SurfaceHit got = rebuild_surface_hit(h, vertices.data(),
                                               with_normals ? normals.data() : nullptr, tri, u,
                                               v, direction, t);
    ASSERT_NO_FATAL_FAILURE(expect_same(got, expected, trial));
  }
}

}  // namespace
}  // namespace velm::embree
