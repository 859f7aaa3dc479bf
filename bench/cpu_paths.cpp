// Backward-image throughput against the raw Embree closest-hit rate on the same forest and
// against the replay of the simulation's own rays.
// Usage: cpu_paths [triangles] [image_size] [spp]
// Prints one "key value" per line for bench_backward.py to read.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench/forest.h"
#include "cpu/backward.h"
#include "sim/workers.h"

using namespace velm;
using bench::Clock;
using bench::seconds_since;
using bench::raw_closest_hit_rate;

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

  const unsigned hw = worker_count();
  // The yardstick of the simulation's own rays: one pass of the image, recorded and replayed
  // through plain Embree queries.
  const embree::RayLog own = bench::record_rays([&] {
    std::vector<float> image(static_cast<size_t>(size) * size * 3);
    cpu::simulate_backward(scene, 1, 16, {}, image.data(), nullptr);
  });
  // Every rate is the best of bench::kRepeats rounds that each measure everything once
  // (bench::best_in_rounds); every image traces the same rays.
  for (unsigned w : {1u, hw}) {
    setenv("VELM_NUM_THREADS", std::to_string(w).c_str(), 1);
    std::vector<float> image(static_cast<size_t>(size) * size * 3);
    uint64_t rays = 0;
    bench::Timed raw{[&](double* c) { return raw_closest_hit_rate(scene, w, 2000000, c); }},
        replay{[&](double* c) { return bench::replay_rate(scene, own, w, c); }},
        queries{[&](double* c) { return bench::query_replay_rate(scene, own, w, c); }},
        simulation{[&](double* c) {
          return bench::rate_of([&] {
            cpu::BackwardStats stats;
            cpu::simulate_backward(scene, spp, 16, {}, image.data(), &stats);
            return rays = stats.closest_rays + stats.shadow_rays;
          }, c);
        }};
    bench::best_in_rounds({&raw, &replay, &queries, &simulation});
    std::printf("raw_rays_per_s_%u %.0f\nreplay_rays_per_s_%u %.0f\n", w, raw.rate, w, replay.rate);
    std::printf("query_rays_per_s_%u %.0f\n", w, queries.rate);
    std::printf("cpu_raw_rays_per_s_%u %.0f\ncpu_replay_rays_per_s_%u %.0f\n", w, raw.cpu_rate, w,
                replay.cpu_rate);
    std::printf("cpu_rays_per_s_%u %.0f\n", w, simulation.cpu_rate);
    const double paths = static_cast<double>(size) * size * spp;
    std::printf("paths_per_s_%u %.0f\nrays_per_s_%u %.0f\nrays_per_path %.3f\n", w,
                simulation.rate * paths / static_cast<double>(rays), w, simulation.rate,
                static_cast<double>(rays) / paths);
  }
  std::printf("workers %u\n", hw);
  return 0;
}
