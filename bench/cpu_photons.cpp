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
  // Every rate is the best of bench::kRepeats rounds that each measure everything once
  // (bench::best_in_rounds); the rays a run traces are the same in every run (same seed).
  for (unsigned w : {1u, hw}) {
    setenv("VELM_NUM_THREADS", std::to_string(w).c_str(), 1);
    uint64_t rays[3] = {};  // forward, forward with leaves, flux
    auto simulation = [&](int k) {
      return [&, k](double* cpu_rate) {
        return bench::rate_of([&] {
          if (k == 2) return rays[k] = cpu::simulate_flux(scene, flux_request(photons), {}).rays;
          return rays[k] = cpu::simulate_forward(scene, forward_request(photons, k == 1), {}).rays;
        }, cpu_rate);
      };
    };
    bench::Timed raw{[&](double* c) { return bench::raw_closest_hit_rate(scene, w, 1000000, c); }},
        replay_forward{[&](double* c) { return bench::replay_rate(scene, forward_rays, w, c); }},
        replay_flux{[&](double* c) { return bench::replay_rate(scene, flux_rays, w, c); }},
        query_forward{[&](double* c) { return bench::query_replay_rate(scene, forward_rays, w, c); }},
        query_flux{[&](double* c) { return bench::query_replay_rate(scene, flux_rays, w, c); }},
        sims[3] = {{simulation(0)}, {simulation(1)}, {simulation(2)}};
    bench::best_in_rounds({&raw, &replay_forward, &replay_flux, &query_forward, &query_flux, &sims[0],
                          &sims[1], &sims[2]});
    std::printf("raw_rays_per_s_%u %.0f\ncpu_raw_rays_per_s_%u %.0f\n", w, raw.rate, w,
                raw.cpu_rate);
    std::printf("replay_forward_rays_per_s_%u %.0f\nreplay_flux_rays_per_s_%u %.0f\n", w,
                replay_forward.rate, w, replay_flux.rate);
    std::printf("cpu_replay_forward_rays_per_s_%u %.0f\ncpu_replay_flux_rays_per_s_%u %.0f\n", w,
                replay_forward.cpu_rate, w, replay_flux.cpu_rate);
    std::printf("query_forward_rays_per_s_%u %.0f\nquery_flux_rays_per_s_%u %.0f\n", w,
                query_forward.rate, w, query_flux.rate);
    const char* names[3] = {"forward", "forward_leaf", "flux"};
    for (int k = 0; k < 3; ++k) {
      const double photons_per_ray = static_cast<double>(photons) / static_cast<double>(rays[k]);
      std::printf("%s_photons_per_s_%u %.0f\n%s_rays_per_s_%u %.0f\ncpu_%s_rays_per_s_%u %.0f\n",
                  names[k], w, sims[k].rate * photons_per_ray, names[k], w, sims[k].rate, names[k],
                  w, sims[k].cpu_rate);
    }
  }
  std::printf("workers %u\n", hw);
  return 0;
}
