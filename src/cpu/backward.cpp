#include "cpu/backward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sim/workers.h"
#include "physics/backward_path.h"

namespace velm::cpu {

namespace {

// Images are traced in tiles of 4x4 pixels: the first ray of the 16 paths, and their first test
// for sun light, go to Embree as packets (rays of one tile start side by side and meet the same
// nodes and triangles). The paths then go on one by one.
constexpr int kTile = 4;
constexpr int kLanes = kTile * kTile;

inline bool same_ray(Vec3 a, Vec3 b, Vec3 c, Vec3 d) {
  const float x[6] = {a.x, a.y, a.z, b.x, b.y, b.z}, y[6] = {c.x, c.y, c.z, d.x, d.y, d.z};
  return std::memcmp(x, y, sizeof x) == 0;
}

// The scene as one path of a tile sees it: a query for exactly the ray that the packet traced
// for this path gets the packet's answer (the one the scene gives that ray), any other query
// goes to the scene.
struct TileLane {
  const embree::EmbreeSceneManager* scene;
  const BackwardSettings* c;
  bool has_first = false;
  Vec3 first_o, first_d;
  SurfaceHit first_hit;
  bool has_sun = false;
  Vec3 sun_o;
  bool sun_blocked = false;

  SurfaceHit intersect_closest(Vec3 o, Vec3 d) const {
    if (has_first && same_ray(o, d, first_o, first_d)) return first_hit;
    return scene->intersect_closest(o, d);
  }
  bool occluded(Vec3 o, Vec3 d, float t_max) const {
    if (has_sun && t_max == 1e16f && same_ray(o, d, sun_o, c->sun)) return sun_blocked;
    return scene->occluded(o, d, t_max);
  }
  bool occluded_tiled(Vec3 o, Vec3 d, float t_max) const {
    return velm::occluded_tiled(*this, c->tile, c->repetition, c->zmin, c->zmax, o, d, t_max);
  }
};

}  // namespace

ImageShape backward_image_shape(const embree::EmbreeSceneManager& scene) {
  return image_shape(scene.desc(), "simulate_cpu");
}

void simulate_backward(const embree::EmbreeSceneManager& scene, int spp, int max_depth,
                       const HostHooks& hooks, float* image, BackwardStats* stats_out) {
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

  const unsigned workers = worker_count();
  std::vector<double> accum(n_values, 0.0);
  // Per-worker throughput and radiance, sized once per call: nothing is allocated per path.
  std::vector<double> scratch(static_cast<size_t>(workers) * 2 * nb);
  struct alignas(64) PaddedStats {
    PathCounts s;
  };
  std::vector<PaddedStats> stats(workers);
  const auto start = std::chrono::steady_clock::now();

  // With terrain following a path traces a ray before its first one: no packets then.
  const bool packets = !c.terrain_following;
  const int tile_rows = (height + kTile - 1) / kTile;
  auto trace_tile = [&](int x0, int y0, int pass, double* T, double* L, PathCounts& counts) {
    TileLane lane[kLanes];
    Vec3 o[kLanes], d[kLanes], sun_o[kLanes], sun_d[kLanes];
    SurfaceHit first[kLanes];
    bool in_image[kLanes], active[kLanes], sun_active[kLanes], blocked[kLanes];
    float sun_t[kLanes];
    for (int k = 0; k < kLanes; ++k) {
      const int x = x0 + k % kTile, y = y0 + k / kTile;
      in_image[k] = x < width && y < height;
      Pcg32 rng;
      PathCounts none;
      o[k] = d[k] = Vec3(0.f, 0.f, 1.f);
      active[k] = packets && in_image[k] &&
                  backward_primary_ray(c, scene, x, y, pass, rng, o[k], d[k], none);
      sun_o[k] = Vec3(0.f, 0.f, 0.f);
      sun_d[k] = c.sun;
      sun_t[k] = 1e16f;
    }
    scene.intersect_closest16(o, d, active, first);
    for (int k = 0; k < kLanes; ++k)
      sun_active[k] = active[k] && first[k].hit && sun_test_origin(c, first[k], sun_o[k]);
    scene.occluded16(sun_o, sun_d, sun_t, sun_active, blocked);
    for (int k = 0; k < kLanes; ++k) {
      if (!in_image[k]) continue;
      const int x = x0 + k % kTile, y = y0 + k / kTile;
      TileLane& l = lane[k];
      l.scene = &scene;
      l.c = &c;
      l.has_first = active[k];
      l.first_o = o[k];
      l.first_d = d[k];
      l.first_hit = first[k];
      l.has_sun = sun_active[k];
      l.sun_o = sun_o[k];
      l.sun_blocked = blocked[k];
      trace_backward_path(c, l, x, y, pass, T, L, counts);
      double* px = accum.data() + (static_cast<size_t>(y) * width + x) * nb;
      for (int b = 0; b < nb; ++b) px[b] += L[b];
    }
  };

  for (int pass = 0; pass < spp; ++pass) {
    parallel_chunks(workers, static_cast<uint64_t>(tile_rows), 1,
                    [&](unsigned wk, uint64_t band_begin, uint64_t band_end) {
                      double* T = scratch.data() + static_cast<size_t>(wk) * 2 * nb;
                      double* L = T + nb;
                      for (uint64_t band = band_begin; band < band_end; ++band)
                        for (int x0 = 0; x0 < width; x0 += kTile)
                          trace_tile(x0, static_cast<int>(band) * kTile, pass, T, L, stats[wk].s);
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
