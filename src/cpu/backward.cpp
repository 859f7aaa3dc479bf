#include "cpu/backward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>

#include "sim/workers.h"
#include "physics/backward_path.h"

namespace velm::cpu {

ImageShape backward_image_shape(const embree::EmbreeSceneManager& scene) {
  return image_shape(scene.desc(), "simulate_cpu");
}

void simulate_backward(const embree::EmbreeSceneManager& scene, int spp, int max_depth,
                       const HostHooks& hooks, float* image, BackwardStats* stats_out,
                       uint64_t seed) {
  const SceneDescription& desc = scene.desc();
  const bool reads_sun_direction = check_backward(desc, built_scene(scene), spp, "simulate_cpu");
  const int nb = desc.num_bands();
  const bool thermal = desc.thermal().enabled;
  const ImageShape shape = backward_image_shape(scene);
  const int width = shape.width, height = shape.height;
  const size_t n_values = static_cast<size_t>(width) * height * nb;
  const SensorBlock& sensor = desc.sensor();
  max_depth = max_depth_override(max_depth, "[CPU bwd]");
  std::fill(image, image + n_values, 0.f);
  if (n_values == 0) return;

  BackwardSettings c{};
  c.sensor = &sensor;
  c.params = desc.spectral_params().data();
  c.materials = desc.materials().data();
  c.nb = nb;
  c.max_depth = max_depth;
  c.thermal = thermal;
  c.wavelengths = desc.thermal().wavelengths.data();
  // The emitter direction is stored as given; light transport needs the unit vector.
  c.sun = reads_sun_direction ? unit_direction(desc.emitter().direction, "the sun direction")
                              : Vec3(0.f, 0.f, 1.f);
  c.sun_irradiance = thermal ? nullptr : c.params + desc.emitter().spectral_offset;
  c.hosek_offset = desc.sky().hosek_offset;
  c.hosek_sun = c.hosek_offset >= 0 ? unit_direction(desc.sky().hosek_sun, "the sky's sun")
                                    : Vec3(0.f, 0.f, 1.f);
  c.sky_constant = desc.sky().constant_offset >= 0 ? c.params + desc.sky().constant_offset : nullptr;
  c.terrain_following = desc.terrain_following();
  c.tile = desc.repetition();
  c.repetition = c.tile.active();
  c.zmin = scene.min_height();
  c.zmax = scene.max_height();
  // The CPU scene has no per-primitive values.
  c.primitive_temperatures = nullptr;
  c.sif_spectra = nullptr;
  c.n_sif_bands = 0;
  c.n_primitives = 0;
  c.sif_only = false;
  c.seed = seed;

  const unsigned workers = worker_count();
  std::vector<double> accum(n_values, 0.0);
  // Per-worker throughput and radiance, sized once per call: nothing is allocated per path.
  PerWorker scratch(workers, 2 * static_cast<size_t>(nb));
  struct alignas(64) PaddedStats {
    PathCounts s;
  };
  std::vector<PaddedStats> stats(workers);
  const auto start = std::chrono::steady_clock::now();

  for (int pass = 0; pass < spp; ++pass) {
    parallel_chunks(workers, static_cast<uint64_t>(height), 1,
                    [&](unsigned wk, uint64_t row_begin, uint64_t row_end) {
                      double* T = scratch[wk];
                      double* L = T + nb;
                      for (uint64_t y = row_begin; y < row_end; ++y) {
                        double* row = accum.data() + y * static_cast<size_t>(width) * nb;
                        for (int x = 0; x < width; ++x) {
                          trace_backward_path(c, scene, x, static_cast<int>(y), pass, T, L, stats[wk].s);
                          for (int b = 0; b < nb; ++b) row[static_cast<size_t>(x) * nb + b] += L[b];
                        }
                      }
                    },
                    hooks.poll);
    if (hooks.progress || hooks.poll) {
      if (hooks.progress) {
        const double inv = 1.0 / (pass + 1);
        for (size_t i = 0; i < n_values; ++i) image[i] = static_cast<float>(accum[i] * inv);
      }
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      hooks.report(static_cast<uint64_t>(pass + 1), static_cast<uint64_t>(spp),
                   static_cast<float>(ms));
    }
  }
  const double inv = 1.0 / spp;
  for (size_t i = 0; i < n_values; ++i) image[i] = static_cast<float>(accum[i] * inv);
  if (stats_out) {
    for (const auto& s : stats) {
      stats_out->closest_rays += s.s.closest_rays;
      stats_out->shadow_rays += s.s.shadow_rays;
    }
  }
}

}  // namespace velm::cpu
