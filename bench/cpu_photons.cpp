// Forward-radiation and flux throughput against the raw Embree closest-hit rate on the forest and
// against the replay of each simulation's own rays.
// Usage: cpu_photons [triangles] [photons]. Prints "key value" lines for bench_forward.py.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/forest.h"
#include "cpu/forward.h"

using namespace velm;

int main(int argc, char** argv) {
  const int triangles = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const int64_t photons = argc > 2 ? std::atoll(argv[2]) : 400000;
  embree::EmbreeSceneManager scene;
  bench::make_forest(scene, triangles, 64);
  scene.build();
  const unsigned hw = worker_count();
  auto forward_request = [&](int64_t n, bool per_leaf) {
    cpu::ForwardRequest req;
    req.nx = req.ny = 20;
    req.layer_heights = {-1.f, 2.f, 5.f, 8.f, 11.f, 14.f};
    req.num_photons = n;
    req.num_bands = 3;
    req.per_leaf = per_leaf;
    return req;
  };
  auto flux_request = [&](int64_t n) {
    cpu::FluxRequest fr;
    fr.nx = fr.ny = 20;
    fr.num_photons = n;
    fr.num_bands = 3;
    fr.decompose = true;
    return fr;
  };
  // The yardstick of each simulation's own rays: those of a shorter run of the same request,
  // recorded and replayed through plain Embree queries.
  const int64_t recorded = std::min<int64_t>(photons, 400000);
  const embree::RayLog forward_rays = bench::record_rays(
      [&] { cpu::simulate_forward(scene, forward_request(recorded, false), {}); });
  const embree::RayLog flux_rays =
      bench::record_rays([&] { cpu::simulate_flux(scene, flux_request(recorded), {}); });
  // Each simulation's rate is the best of bench::kRepeats runs, as are the rates it is compared
  // with; the rays a run traces are the same in every run (same seed).
  auto report = [](const char* name, unsigned w, int64_t photons, uint64_t rays, double rate,
                   double cpu_rate) {
    std::printf("%s_photons_per_s_%u %.0f\n%s_rays_per_s_%u %.0f\ncpu_%s_rays_per_s_%u %.0f\n",
                name, w, rate * static_cast<double>(photons) / static_cast<double>(rays), name, w,
                rate, name, w, cpu_rate);
  };
  for (unsigned w : {1u, hw}) {
    setenv("VELM_NUM_THREADS", std::to_string(w).c_str(), 1);
    double cpu_raw = 0.0;
    std::printf("raw_rays_per_s_%u %.0f\n", w,
                bench::raw_closest_hit_rate(scene, w, 1000000, &cpu_raw));
    std::printf("cpu_raw_rays_per_s_%u %.0f\n", w, cpu_raw);
    double cpu_forward = 0.0, cpu_flux = 0.0;
    std::printf("replay_forward_rays_per_s_%u %.0f\n", w,
                bench::replay_rate(scene, forward_rays, w, &cpu_forward));
    std::printf("replay_flux_rays_per_s_%u %.0f\n", w,
                bench::replay_rate(scene, flux_rays, w, &cpu_flux));
    std::printf("cpu_replay_forward_rays_per_s_%u %.0f\ncpu_replay_flux_rays_per_s_%u %.0f\n", w,
                cpu_forward, w, cpu_flux);
    for (int per_leaf = 0; per_leaf < 2; ++per_leaf) {
      const cpu::ForwardRequest req = forward_request(photons, per_leaf != 0);
      uint64_t rays = 0;
      double cpu_rate = 0.0;
      const double rate = bench::best_rate(bench::kRepeats, [&] {
        return rays = cpu::simulate_forward(scene, req, {}).rays;
      }, &cpu_rate);
      report(per_leaf ? "forward_leaf" : "forward", w, photons, rays, rate, cpu_rate);
    }
    const cpu::FluxRequest fr = flux_request(photons);
    uint64_t rays = 0;
    double cpu_rate = 0.0;
    const double rate = bench::best_rate(bench::kRepeats, [&] {
      return rays = cpu::simulate_flux(scene, fr, {}).rays;
    }, &cpu_rate);
    report("flux", w, photons, rays, rate, cpu_rate);
  }
  std::printf("workers %u\n", hw);
  return 0;
}
