// Backward-image throughput against the raw Embree closest-hit rate on the same forest.
// Usage: cpu_paths [triangles] [image_size] [spp]
// Prints one "key value" per line for bench_backward.py to read.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench/forest.h"
#include "cpu/backward.h"
#include "cpu/workers.h"

using namespace velm;
using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Incoherent rays: uniform origins in the scene box, uniform directions on the sphere.
static double raw_closest_hit_rate(const embree::EmbreeSceneManager& scene, unsigned workers,
                                   uint64_t n_rays) {
  const SceneBounds& b = scene.bounds();
  std::vector<RTCRayHit> rays(n_rays);
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  for (auto& rh : rays) {
    rh.ray.org_x = b.lo[0] + u(gen) * (b.hi[0] - b.lo[0]);
    rh.ray.org_y = b.lo[1] + u(gen) * (b.hi[1] - b.lo[1]);
    rh.ray.org_z = b.lo[2] + u(gen) * (b.hi[2] - b.lo[2]);
    const float z = 2.f * u(gen) - 1.f, phi = 6.2831855f * u(gen), r = std::sqrt(1.f - z * z);
    rh.ray.dir_x = r * std::cos(phi);
    rh.ray.dir_y = r * std::sin(phi);
    rh.ray.dir_z = z;
  }
  const auto t0 = Clock::now();
  cpu::parallel_chunks(workers, n_rays, 1024, [&](unsigned, uint64_t begin, uint64_t end) {
    for (uint64_t i = begin; i < end; ++i) {
      RTCRayHit& rh = rays[i];
      rh.ray.tnear = 1e-4f;
      rh.ray.tfar = 1e16f;
      rh.ray.mask = 0xFFFFFFFFu;
      rh.ray.flags = 0;
      rh.ray.time = 0.f;
      rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
      rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
      embree::intersect1(scene.top_scene(), &rh);
    }
  });
  return static_cast<double>(n_rays) / seconds_since(t0);
}

int main(int argc, char** argv) {
  const int triangles = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int size = argc > 2 ? std::atoi(argv[2]) : 256;
  const int spp = argc > 3 ? std::atoi(argv[3]) : 4;
  embree::EmbreeSceneManager scene;
  bench::make_forest(scene, triangles, size);
  uint64_t instanced = 0;
  for (const auto& inst : scene.desc().instances())
    instanced += scene.desc().meshes()[inst.mesh_id].triangles.size();
  auto t0 = Clock::now();
  scene.build();
  const double build_s = seconds_since(t0);
  std::printf("instanced_triangles %llu\ninstances %d\nbuild_seconds %.4f\n",
              static_cast<unsigned long long>(instanced), scene.desc().num_instances(), build_s);

  const unsigned hw = cpu::worker_count();
  for (unsigned w : {1u, hw}) {
    std::printf("raw_rays_per_s_%u %.0f\n", w, raw_closest_hit_rate(scene, w, 2000000));
    setenv("VELM_NUM_THREADS", std::to_string(w).c_str(), 1);
    std::vector<float> image(static_cast<size_t>(size) * size * 3);
    cpu::BackwardStats stats;
    t0 = Clock::now();
    cpu::simulate_backward(scene, spp, 16, {}, image.data(), &stats);
    const double s = seconds_since(t0);
    const double paths = static_cast<double>(size) * size * spp;
    std::printf("paths_per_s_%u %.0f\nrays_per_s_%u %.0f\nrays_per_path %.3f\n", w, paths / s, w,
                (stats.closest_rays + stats.shadow_rays) / s,
                (stats.closest_rays + stats.shadow_rays) / paths);
  }
  std::printf("workers %u\n", hw);
  return 0;
}
