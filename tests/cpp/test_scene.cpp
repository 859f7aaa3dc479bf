#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "physics/common.h"
#include "physics/pcg32.h"
#include "scene/procedural.h"
#include "scene/records.h"
#include "scene/scene_description.h"

namespace velm {
namespace {

TEST(SceneRecords, ZeroInitialisedBlocks) {
  MaterialRecord m;
  EmitterRecord e;
  SensorBlock s;
  const unsigned char* bytes[] = {reinterpret_cast<unsigned char*>(&m),
                                  reinterpret_cast<unsigned char*>(&e),
                                  reinterpret_cast<unsigned char*>(&s)};
  const size_t sizes[] = {sizeof m, sizeof e, sizeof s};
  for (int k = 0; k < 3; ++k)
    for (size_t i = 0; i < sizes[k]; ++i) EXPECT_EQ(bytes[k][i], 0) << k << ":" << i;
}

TEST(SceneDescription, PrefixSumsFollowInstanceOrder) {
  SceneDescription d(Flavor::OptiX);
  HostMesh a;
  a.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  a.triangles = {{0, 1, 2}};
  HostMesh b = a;
  b.triangles = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0}};
  d.add_mesh(a);
  d.add_mesh(b);
  d.add_instance(1, 0, 0, 0, 1);
  d.add_instance(0, 0, 0, 0, 1);
  d.add_instance(1, 0, 0, 0, 1);
  const auto p = d.primitive_prefix_sums();
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0], 0u);
  EXPECT_EQ(p[1], 3u);
  EXPECT_EQ(p[2], 4u);
  EXPECT_EQ(p[3], 7u);
  EXPECT_EQ(d.total_triangles(), 7);
}

TEST(SceneDescription, FailedValidationLeavesSceneUnchanged) {
  SceneDescription d(Flavor::Cpu);
  HostMesh bad;
  bad.vertices = {{0, 0, 0}};
  bad.triangles = {{0, 0, 1}};
  EXPECT_THROW(d.add_mesh(bad), std::invalid_argument);
  EXPECT_FALSE(d.has_meshes());
  EXPECT_THROW(d.add_instance(0, 0, 0, 0, 1), std::out_of_range);
  EXPECT_EQ(d.num_instances(), 0);
  EXPECT_THROW(d.add_instance_xform(0, nullptr), std::invalid_argument);
}

TEST(Procedural, SphereCountsFollowSubdivision) {
  for (int s = 0; s < 4; ++s) {
    MeshLists m;
    append_sphere(m, 2.f, {1.f, 2.f, 3.f}, s);
    size_t v = 12, t = 20;
    for (int k = 0; k < s; ++k) {
      v += 3 * t;
      t *= 4;
    }
    EXPECT_EQ(m.vertices.size(), v);
    EXPECT_EQ(m.triangles.size(), t);
  }
}

TEST(Procedural, GeneratorsAppendWithOffset) {
  MeshLists m;
  append_ground_plane(m, 1.f, 1.f, 10.f);
  append_cylinder(m, 1.f, 2.f, 4);
  ASSERT_EQ(m.vertices.size(), 4u + 10u);
  EXPECT_EQ(m.triangles[2].i0, 4);  // first cylinder triangle starts after the plane's vertices
}

TEST(Frame, OrthonormalAndRoundTrips) {
  const Vec3 normals[] = {{0, 0, 1}, {0, 0, -1}, {1, 0, 0}, normalize(Vec3(0.3f, -0.8f, 0.2f))};
  for (Vec3 n : normals) {
    const Frame f = build_frame(n);
    EXPECT_NEAR(dot(f.t, f.b), 0.f, 1e-6f);
    EXPECT_NEAR(dot(f.t, f.n), 0.f, 1e-6f);
    EXPECT_NEAR(dot(f.b, f.n), 0.f, 1e-6f);
    EXPECT_NEAR(length(f.t), 1.f, 1e-6f);
    const Vec3 w = normalize(Vec3(0.1f, 0.7f, -0.3f));
    const Vec3 back = f.to_world(f.to_local(w));
    EXPECT_NEAR(back.x, w.x, 1e-6f);
    EXPECT_NEAR(back.y, w.y, 1e-6f);
    EXPECT_NEAR(back.z, w.z, 1e-6f);
  }
}

TEST(Frame, OffsetMovesToTheSideOfTheNewDirection) {
  const Vec3 n = normalize(Vec3(0.3f, -0.2f, 1.f));
  const Vec3 p(100.f, -100.f, 50.f);
  const float error = hit_point_error(150.f, 1.f, 0.f);
  const Vec3 up = offset_ray_origin(p, n, Vec3(0, 0, 1), error);
  const Vec3 down = offset_ray_origin(p, n, Vec3(0, 0, -1), error);
  // Off the plane through p by more than the error bound, on the side of each new direction.
  EXPECT_GT(dot(up - p, n), error);
  EXPECT_LT(dot(down - p, n), -error);
  // A point exactly at the origin still moves, by at least one float, off its plane.
  const Vec3 q = offset_ray_origin(Vec3(0, 0, 0), Vec3(0, 0, 1), Vec3(0, 0, 1), 0.f);
  EXPECT_GT(q.z, 0.f);
  EXPECT_EQ(q.x, 0.f);
}

TEST(Frame, OffsetStepIsNextafter) {
  // The step of each coordinate of a spawned origin, against the library's nextafter: finite
  // values of every kind (zeros of both signs, subnormals, the largest float, random bit
  // patterns).
  const float tiny = std::numeric_limits<float>::denorm_min(),
              big = std::numeric_limits<float>::max(), inf = std::numeric_limits<float>::infinity();
  std::vector<float> values = {0.f, -0.f, tiny, -tiny, 1.f, -1.f, big, -big, 1e-38f, -1e-38f};
  Pcg32 rng(7, 11);
  while (values.size() < 20000) {
    const uint32_t bits = rng.next_uint();
    float v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isfinite(v)) values.push_back(v);
  }
  auto same = [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  for (float v : values) {
    ASSERT_TRUE(same(next_float_up(v), std::nextafter(v, inf))) << v;
    ASSERT_TRUE(same(next_float_down(v), std::nextafter(v, -inf))) << v;
  }
}

}  // namespace
}  // namespace velm

namespace velm {
namespace {

HostMesh one_triangle() {
  HostMesh m;
  m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  m.triangles = {{0, 1, 2}};
  return m;
}

template <class E>
std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

// The three scene classes share this description; their messages and build-state rules differ.
TEST(SceneFlavors, UpdateTransformOutOfRangeMessages) {
  const float xf[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
  SceneDescription vk(Flavor::Vulkan), ox(Flavor::OptiX), cpu(Flavor::Cpu);
  for (auto* d : {&vk, &ox, &cpu}) {
    d->add_mesh(one_triangle());
    d->add_instance(0, 0, 0, 0, 1);
  }
  EXPECT_EQ(message_of<std::out_of_range>([&] { vk.update_instance_transform(1, xf); }),
            "Vulkan instance id is outside the scene");
  EXPECT_EQ(message_of<std::runtime_error>([&] { ox.update_instance_transform(-1, xf); }),
            "update_instance_transform: id -1 out of range [0, 1)");
  EXPECT_EQ(message_of<std::runtime_error>([&] { cpu.update_instance_transform(3, xf); }),
            "update_instance_transform: id out of range");
}

TEST(SceneFlavors, BandLimitsAndInitialCounts) {
  SceneDescription vk(Flavor::Vulkan), ox(Flavor::OptiX), cpu(Flavor::Cpu);
  EXPECT_EQ(vk.num_bands(), 1);
  EXPECT_EQ(cpu.num_bands(), 1);
  EXPECT_EQ(ox.num_bands(), 0);
  ox.set_num_bands(128);
  EXPECT_EQ(message_of<std::runtime_error>([&] { ox.set_num_bands(129); }),
            "num_bands=129 exceeds GPU limit of 128. Use spectral batching to simulate more bands.");
  EXPECT_EQ(ox.num_bands(), 128);
  vk.set_num_bands(129);
  EXPECT_EQ(vk.num_bands(), 129);
}

TEST(SceneFlavors, BuildStateAndTriangleCounts) {
  SceneDescription vk(Flavor::Vulkan), ox(Flavor::OptiX), cpu(Flavor::Cpu);
  for (auto* d : {&vk, &ox, &cpu}) {
    d->add_mesh(one_triangle());
    d->set_built(true);
    d->add_instance(0, 0, 0, 0, 1);
    d->add_instance(0, 1, 0, 0, 1);
  }
  EXPECT_FALSE(vk.is_built());
  EXPECT_FALSE(ox.is_built());
  EXPECT_TRUE(cpu.is_built());  // new instances join at the next build
  EXPECT_EQ(vk.total_triangles(), 1);
  EXPECT_EQ(cpu.total_triangles(), 1);
  EXPECT_EQ(ox.total_triangles(), 2);
}

TEST(SceneFlavors, SpectralUpdateBoundsAndSensorFov) {
  SceneDescription vk(Flavor::Vulkan);
  vk.upload_spectral_params({1, 2, 3});
  vk.update_spectral_params(1, {5, 6});
  EXPECT_EQ(vk.spectral_params()[2], 6.f);
  EXPECT_EQ(message_of<std::out_of_range>([&] { vk.update_spectral_params(2, {1, 2}); }),
            "Vulkan spectral update is outside the buffer");
  EXPECT_THROW(vk.update_spectral_params(-1, {}), std::out_of_range);
  vk.set_sensor(1, 640, 480, 0, 0, std::vector<float>(12, 1.f), 60.f, 0, false);
  EXPECT_EQ(vk.sensor().camera_to_world[11], 1.f);
  EXPECT_EQ(vk.sensor().camera_to_world[12], 0.f);
  EXPECT_NEAR(vk.sensor().fov, kPi / 3.f, 1e-6f);
}

TEST(SceneFlavors, ClearForReuseKeepsGeometry) {
  SceneDescription d(Flavor::Cpu);
  d.add_mesh(one_triangle());
  d.add_instance(0, 0, 0, 0, 1);
  d.add_material(0, 0, {});
  d.set_sky(3);
  d.set_hw_sky(4, 1, 0, 0);
  const float dir[3] = {0, 0, 1};
  d.set_emitter(2, dir, 7);
  d.clear_for_reuse();
  EXPECT_EQ(d.add_material(0, 0, {}), 0);
  EXPECT_EQ(d.sky().constant_offset, -1);
  EXPECT_EQ(d.sky().hosek_offset, -1);
  EXPECT_EQ(d.sky().hosek_sun[2], 1.f);
  EXPECT_EQ(d.emitter().spectral_offset, 0u);
  EXPECT_EQ(d.num_instances(), 1);
}

TEST(SceneFlavors, PrimitiveOverrideMessages) {
  SceneDescription vk(Flavor::Vulkan), ox(Flavor::OptiX);
  const std::vector<float> nine(9, 300.f);
  struct Case {
    std::function<void()> call;
    std::string message;
  };
  const Case cases[] = {
      {[&] { vk.set_primitive_temperatures(nine, 10); },
       "Vulkan primitive temperature count must equal n_primitives()"},
      {[&] { vk.set_primitive_emissivities(nine, 10); },
       "Vulkan primitive emissivity count must equal n_primitives()"},
      {[&] { vk.set_primitive_sif_spectra(nine, 0, 10); }, "Vulkan SIF band count must be positive"},
      {[&] { vk.set_primitive_sif_spectra(nine, 1, 10); },
       "Vulkan primitive SIF spectrum size must equal bands * n_primitives()"},
      {[&] { ox.set_primitive_temperatures(nine, 0); },
       "set_primitive_temperatures: per-instance prefix sum not populated. Build the scene in "
       "thermal/SIF mode, or call set_populate_primitive_soa(true) before build()."},
      {[&] { ox.set_primitive_temperatures(nine, 10); },
       "set_primitive_temperatures: array length 9 does not match n_primitives() = 10"},
      {[&] { ox.set_primitive_emissivities(nine, 10); },
       "set_primitive_emissivities: array length 9 does not match n_primitives() = 10"},
      {[&] { ox.set_primitive_sif_spectra(std::vector<float>(19), 2, 10); },
       "set_primitive_sif_spectra: array length 19 != n_sif_bands * n_primitives = 2 * 10 = 20"},
      {[&] { vk.set_primitive_temperatures({300.f, NAN}, 2); },
       "primitive 1 has temperature nan; temperatures must be finite and non-negative (K)"},
      {[&] { vk.set_primitive_emissivities({1.5f, 0.f}, 2); },
       "primitive 0 has emissivity 1.5; emissivities must lie in [0, 1]"},
  };
  for (const Case& c : cases) {
    std::string got = "<no exception>";
    try {
      c.call();
    } catch (const std::exception& e) {
      got = e.what();
    }
    EXPECT_EQ(got, c.message);
  }
  EXPECT_TRUE(vk.primitive_overrides().temperatures.empty());
  EXPECT_TRUE(vk.primitive_overrides().emissivities.empty());
  vk.set_primitive_emissivities({0.5f, 1.f}, 2);
  EXPECT_EQ(vk.primitive_overrides().emissivities[0], 0.5f);
}

TEST(SceneDescription, RefusesChangesWhileInUse) {
  SceneDescription d(Flavor::Cpu);
  d.add_mesh(one_triangle());
  {
    const SceneDescription::InUse running(d);
    EXPECT_EQ(message_of<std::runtime_error>([&] { d.add_instance(0, 0, 0, 0, 1); }),
              "scene is in use by a running simulation");
    EXPECT_THROW(d.upload_spectral_params({1.f}), std::runtime_error);
    EXPECT_THROW(d.set_built(true), std::runtime_error);
    EXPECT_EQ(d.num_instances(), 0);
  }
  d.add_instance(0, 0, 0, 0, 1);
  EXPECT_EQ(d.num_instances(), 1);
}

}  // namespace
}  // namespace velm
