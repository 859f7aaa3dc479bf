#include "cpu/forward.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "cpu/workers.h"
#include "physics/bsdf.h"
#include "physics/photon.h"
#include "physics/scatter.h"
#include "physics/tile.h"

namespace velm::cpu {

namespace {

constexpr int64_t kBatch = 1000000;

struct Extent {
  double sx, sy;
};

// The horizontal extent photons are spread over and the grid covers: the repeating tile when
// there is one, else the orthographic sensor footprint.
Extent photon_extent(const SceneDescription& d, const char* who) {
  const RepetitionTile& tile = d.repetition();
  if (tile.x_size > 0.f && tile.y_size > 0.f) return {tile.x_size, tile.y_size};
  const SensorBlock& s = d.sensor();
  if (!(s.ortho_width > 0.f) || !(s.ortho_height > 0.f))
    throw std::invalid_argument(std::string(who) +
                                ": no horizontal extent: set a repeating tile (set_repetitive) or "
                                "an orthographic sensor size (set_sensor)");
  return {s.ortho_width, s.ortho_height};
}

PhotonSourceSettings source_settings(const embree::EmbreeSceneManager& scene, int nb, Extent ext,
                                     int64_t num_photons, float prob_sun) {
  const SceneDescription& d = scene.desc();
  PhotonSourceSettings s;
  const SceneBounds& b = scene.bounds();
  s.box = {{b.lo[0], b.lo[1], b.lo[2]}, {b.hi[0], b.hi[1], b.hi[2]}};
  const float* e = d.emitter().direction;
  s.sun_direction = normalize(Vec3(e[0], e[1], e[2]));
  s.params = d.spectral_params().data();
  s.nb = nb;
  s.sun_offset = static_cast<int>(d.emitter().spectral_offset);
  s.sky_offset = d.sky().constant_offset;
  s.hosek_offset = d.sky().hosek_offset;
  const float* h = d.sky().hosek_sun;
  s.hosek_sun = normalize(Vec3(h[0], h[1], h[2]));
  s.repetition = d.repetition().active();
  s.launch_height = d.measurement_plane() + 0.1f;
  s.sx = ext.sx;
  s.sy = ext.sy;
  s.area_per_photon = ext.sx * ext.sy / static_cast<double>(num_photons);
  s.prob_sun = prob_sun;
  return s;
}

// Shared photon walk: launch, closest hits with tile wrapping, scattering with roulette.
// `on_escape(direction, depth)` is called when the photon leaves the scene; `on_hit(hit, mat,
// frame, wo, depth)` returns false to end the photon before it scatters.
struct Walk {
  const embree::EmbreeSceneManager* scene;
  const PhotonSourceSettings* source;
  const MaterialRecord* materials;
  int nb;
  int max_depth;
  int rr_depth;
  RepetitionTile tile;
  bool repetition;
};

template <class OnEscape, class OnHit>
uint64_t walk_photon(const Walk& c, uint64_t g, double* w, OnEscape&& on_escape, OnHit&& on_hit,
                     LaunchedPhoton& photon) {
  Pcg32 rng(g + 1000003ULL, g * 7919ULL + 1ULL);
  if (!launch_photon(*c.source, rng, w, photon)) return 0;
  Vec3 o = photon.origin, d = photon.direction;
  uint64_t rays = 0;
  int wraps = 0;
  for (int depth = 0; depth < c.max_depth;) {
    const embree::HitRecord hit = c.scene->intersect_closest(o, d);
    ++rays;
    if (!hit.hit) {
      if (c.repetition && wraps < c.tile.count && wrap_across_tile(c.tile, o, d) > 0.f) {
        ++wraps;
        continue;
      }
      on_escape(d, depth);
      return rays;
    }
    const MaterialView mat = material_view(c.materials[hit.material_id], c.source->params, c.nb);
    const Frame frame = build_frame(hit.normal);
    const Vec3 wo = frame.to_local(-d);
    if (!on_hit(hit, mat, frame, wo, depth, rays)) return rays;

    if (!scatter(mat, frame, wo, hit.is_back_face, false, depth, c.rr_depth, 1e-8, rng, w, d))
      return rays;
    o = offset_ray_origin(hit.position, hit.geometric_normal, d);
    ++depth;
  }
  return rays;
}

// Adds to a double shared between workers without a lock: a compare-and-swap on its bits.
// Leaves are many and photons hit them at random, so collisions are rare and a shared tally is
// far cheaper than per-worker copies of a large array that must be zeroed and summed.
inline void atomic_add(double* target, double value) {
  static_assert(sizeof(double) == sizeof(uint64_t), "64-bit doubles");
  auto* bits = reinterpret_cast<uint64_t*>(target);
  uint64_t expected = __atomic_load_n(bits, __ATOMIC_RELAXED);
  for (;;) {
    double current;
    std::memcpy(&current, &expected, sizeof current);
    const double sum = current + value;
    uint64_t desired;
    std::memcpy(&desired, &sum, sizeof desired);
    if (__atomic_compare_exchange_n(bits, &expected, desired, true, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED))
      return;
  }
}

// Absorbed fraction of the light hitting a surface: 1 - reflectance, and for a leaf
// 1 - (reflectance of the side hit + transmittance).
inline double absorptance(const MaterialView& m, int b, bool back_face) {
  switch (m.type) {
    case kMaterialLambertian:
    case kMaterialRpv:
      return 1.0 - m.p[b];
    case kMaterialLeaf:
      return 1.0 - (m.p[2 * m.nb + b] + (back_face ? m.p[m.nb + b] : m.p[b]));
    default:
      return 1.0;
  }
}

// Photons in batches of a million over the workers; progress and interrupts between batches.
template <class Photon>
void run_batches(int64_t num_photons, unsigned workers, const HostHooks& hooks, Photon&& photon) {
  const auto start = std::chrono::steady_clock::now();
  for (int64_t first = 0; first < num_photons; first += kBatch) {
    const int64_t count = std::min(kBatch, num_photons - first);
    parallel_chunks(workers, static_cast<uint64_t>(count), 256,
                    [&](unsigned wk, uint64_t begin, uint64_t end) {
                      for (uint64_t i = begin; i < end; ++i) photon(wk, first + i);
                    });
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    hooks.report(static_cast<uint64_t>(first + count), static_cast<uint64_t>(num_photons),
                 static_cast<float>(ms));
  }
}

void check_common(const embree::EmbreeSceneManager& scene, const char* who, int nx, int ny,
                  int64_t num_photons, int num_bands, float prob_sun) {
  if (num_bands < 1) throw std::invalid_argument(std::string(who) + ": num_bands must be at least 1");
  if (num_photons < 1)
    throw std::invalid_argument(std::string(who) + ": num_photons must be at least 1");
  if (nx < 1 || ny < 1) throw std::invalid_argument(std::string(who) + ": nx and ny must be at least 1");
  if (!(prob_sun >= 0.f && prob_sun <= 1.f))
    throw std::invalid_argument(std::string(who) + ": prob_sun must lie in [0, 1]");
  check_scene_for_simulation(scene, who, num_bands, {true, true, true});
}

std::vector<float> to_float(const std::vector<double>& v) { return {v.begin(), v.end()}; }

// Sums per-worker copies (worker-major, `n` values each) in worker order.
std::vector<double> reduce(const std::vector<double>& per_worker, size_t n, unsigned workers) {
  std::vector<double> out(n, 0.0);
  for (unsigned w = 0; w < workers; ++w)
    for (size_t i = 0; i < n; ++i) out[i] += per_worker[w * n + i];
  return out;
}

}  // namespace

ForwardResult simulate_forward(const embree::EmbreeSceneManager& scene, const ForwardRequest& req,
                               const HostHooks& hooks) {
  const char* who = "simulate_forward_cpu";
  const int nb = req.num_bands;
  const int nz = static_cast<int>(req.layer_heights.size()) - 1;
  if (nz < 1) throw std::runtime_error("layer_heights must have at least 2 entries");
  for (int i = 0; i < nz; ++i)
    if (!(req.layer_heights[i] < req.layer_heights[i + 1]))
      throw std::invalid_argument("simulate_forward_cpu: layer_heights must be strictly increasing");
  if (req.num_brf_dirs < 0)
    throw std::invalid_argument("simulate_forward_cpu: num_brf_dirs must not be negative");
  if (req.brf_directions.size() < static_cast<size_t>(req.num_brf_dirs) * 3)
    throw std::invalid_argument("simulate_forward_cpu: brf_directions holds fewer than num_brf_dirs "
                                "rows of three");
  check_common(scene, who, req.nx, req.ny, req.num_photons, nb, req.prob_sun);
  const int max_depth = max_depth_override(req.max_depth, "[CPU fwd]");
  const SceneDescription& desc = scene.desc();
  const Extent ext = photon_extent(desc, who);
  const float dx = static_cast<float>(ext.sx) / req.nx, dy = static_cast<float>(ext.sy) / req.ny;
  const PhotonSourceSettings source = source_settings(scene, nb, ext, req.num_photons, req.prob_sun);

  // Leaves: every instance's triangles in instance order.
  std::vector<uint64_t> leaf_offset;
  uint64_t total_leaves = 0;
  if (req.per_leaf) {
    leaf_offset.reserve(desc.instances().size());
    for (const auto& inst : desc.instances()) {
      leaf_offset.push_back(total_leaves);
      total_leaves += desc.meshes()[inst.mesh_id].triangles.size();
    }
  }

  const unsigned workers = worker_count();
  const size_t n_grid = static_cast<size_t>(nz) * req.ny * req.nx * nb;
  const size_t n_brf = static_cast<size_t>(req.num_brf_dirs) * nb;
  const size_t n_leaf = req.per_leaf ? total_leaves * nb : 0;
  const bool want_brf = req.num_brf_dirs > 0, want_terrain = req.terrain_instance_id >= 0;
  // Private accumulators per worker for grid, brf, albedo and terrain; one shared leaf tally
  // updated with atomic additions instead of a lock.
  std::vector<double> grid(workers * n_grid), brf(workers * n_brf), albedo(workers * nb),
      terrain(workers * nb), leaf(n_leaf), scratch(workers * nb);
  struct alignas(64) Count {
    uint64_t rays = 0;
  };
  std::vector<Count> rays(workers);

  std::printf("Forward fPAR (CPU): %lld photons, grid %dx%dx%d, %d bands, %u threads\n",
              static_cast<long long>(req.num_photons), req.nx, req.ny, nz, nb, workers);
  std::fflush(stdout);

  Walk walk{&scene, &source, desc.materials().data(), nb, max_depth, 3, desc.repetition(),
            desc.repetition().active()};
  const float* heights = req.layer_heights.data();

  run_batches(req.num_photons, workers, hooks, [&](unsigned wk, uint64_t g) {
    double* w = scratch.data() + wk * nb;
    double* my_grid = grid.data() + wk * n_grid;
    double* my_brf = brf.data() + wk * n_brf;
    double* my_albedo = albedo.data() + wk * nb;
    double* my_terrain = terrain.data() + wk * nb;
    LaunchedPhoton photon;
    rays[wk].rays += walk_photon(
        walk, g, w,
        [&](Vec3 d, int) {
          if (d.z > 0.f && want_brf)
            for (int b = 0; b < nb; ++b) {
              const double e = w[b] * photon.scale;
              if (e > 0.0) my_albedo[b] += e;
            }
        },
        [&](const embree::HitRecord& hit, const MaterialView& m, const Frame& frame, Vec3 wo, int,
            uint64_t& n_rays) {
          const double s = photon.scale;
          if (want_terrain && hit.instance_id == req.terrain_instance_id) {
            for (int b = 0; b < nb; ++b) {
              const double e = absorptance(m, b, hit.is_back_face) * w[b] * s;
              if (e > 0.0) my_terrain[b] += e;
            }
          } else {
            int ix = static_cast<int>(hit.position.x / dx), iy = static_cast<int>(hit.position.y / dy);
            ix = std::min(std::max(ix, 0), req.nx - 1);
            iy = std::min(std::max(iy, 0), req.ny - 1);
            const float z = hit.position.z;
            int iz = -1;
            for (int k = 0; k < nz; ++k)
              if (heights[k] <= z && z < heights[k + 1]) {
                iz = k;
                break;
              }
            if (iz < 0) iz = z >= heights[0] ? nz - 1 : 0;
            double* cell = my_grid + ((static_cast<size_t>(iz) * req.ny + iy) * req.nx + ix) * nb;
            double* leaf_row = nullptr;
            if (n_leaf > 0 && hit.instance_id >= 0) {
              const uint64_t idx = leaf_offset[hit.instance_id] + hit.primitive_id;
              if (idx < total_leaves) leaf_row = leaf.data() + idx * nb;
            }
            for (int b = 0; b < nb; ++b) {
              const double e = absorptance(m, b, hit.is_back_face) * w[b] * s;
              if (e > 0.0) {
                cell[b] += e;
                if (leaf_row) atomic_add(leaf_row + b, e);
              }
            }
          }
          if (want_brf) {
            for (int k = 0; k < req.num_brf_dirs; ++k) {
              const Vec3 v(req.brf_directions[3 * k], req.brf_directions[3 * k + 1],
                           req.brf_directions[3 * k + 2]);
              if (v.z <= 0.f) continue;
              const float c = std::fabs(dot(hit.normal, v));
              if (c < 1e-6f) continue;
              ++n_rays;
              if (scene.occluded_tiled(offset_ray_origin(hit.position, hit.geometric_normal, v), v,
                                       1e16f))
                continue;
              const Vec3 wi = frame.to_local(v);
              for (int b = 0; b < nb; ++b) {
                const double e = eval_bsdf(m, b, wo, wi, hit.is_back_face, false) * w[b] * c * s;
                if (e > 0.0) my_brf[static_cast<size_t>(k) * nb + b] += e;
              }
            }
          }
          return true;
        },
        photon);
  });

  ForwardResult out;
  out.nz = nz;
  out.grid = to_float(reduce(grid, n_grid, workers));
  if (n_leaf > 0) out.leaf = to_float(leaf);
  if (want_brf) {
    out.brf = to_float(reduce(brf, n_brf, workers));
    out.albedo = to_float(reduce(albedo, nb, workers));
  }
  if (want_terrain) out.terrain = to_float(reduce(terrain, nb, workers));
  for (const auto& r : rays) out.rays += r.rays;
  return out;
}

FluxResult simulate_flux(const embree::EmbreeSceneManager& scene, const FluxRequest& req,
                         const HostHooks& hooks) {
  const char* who = "simulate_flux_cpu";
  const int nb = req.num_bands;
  if (req.max_bounces < 0)
    throw std::invalid_argument("simulate_flux_cpu: max_bounces must not be negative");
  check_common(scene, who, req.nx, req.ny, req.num_photons, nb, req.prob_sun);
  const int max_depth = max_depth_override(req.max_depth, "[CPU flux]");
  const SceneDescription& desc = scene.desc();
  const Extent ext = photon_extent(desc, who);
  const float dx = static_cast<float>(ext.sx) / req.nx, dy = static_cast<float>(ext.sy) / req.ny;
  const PhotonSourceSettings source = source_settings(scene, nb, ext, req.num_photons, req.prob_sun);

  const unsigned workers = worker_count();
  const size_t n = static_cast<size_t>(req.nx) * req.ny * nb;
  const size_t n_split = req.decompose ? n : 0;
  std::vector<double> down(workers * n), up(workers * n), direct(workers * n_split),
      diffuse(workers * n_split), scratch(workers * nb);
  struct alignas(64) Count {
    uint64_t rays = 0;
  };
  std::vector<Count> rays(workers);

  std::printf(
      "Forward flux (CPU): %lld photons, grid %dx%d, %d bands, max_bounces_record=%d, %u threads\n",
      static_cast<long long>(req.num_photons), req.nx, req.ny, nb, req.max_bounces, workers);
  std::fflush(stdout);

  Walk walk{&scene, &source, desc.materials().data(), nb, max_depth, req.rr_depth,
            desc.repetition(), desc.repetition().active()};

  run_batches(req.num_photons, workers, hooks, [&](unsigned wk, uint64_t g) {
    double* w = scratch.data() + wk * nb;
    double* my_down = down.data() + wk * n;
    double* my_up = up.data() + wk * n;
    double* my_direct = direct.data() + wk * n_split;
    double* my_diffuse = diffuse.data() + wk * n_split;
    LaunchedPhoton photon;
    int prev = -1, recorded = 0;
    bool stop = false;
    rays[wk].rays += walk_photon(
        walk, g, w,
        [&](Vec3, int depth) {
          if (depth > 0 && prev >= 0)
            for (int b = 0; b < nb; ++b) {
              const double e = w[b] * photon.scale;
              if (e > 0.0) my_up[static_cast<size_t>(prev) * nb + b] += e;
            }
        },
        [&](const embree::HitRecord& hit, const MaterialView&, const Frame&, Vec3, int depth,
            uint64_t&) {
          if (stop) return false;
          // Truncation towards zero: hits just below 0 fall into the first column.
          const int ix = static_cast<int>(hit.position.x / dx);
          const int iy = static_cast<int>(hit.position.y / dy);
          int c = -1;
          if (ix >= 0 && ix < req.nx && iy >= 0 && iy < req.ny) c = iy * req.nx + ix;
          if (c >= 0 && (req.max_bounces == 0 || recorded < req.max_bounces)) {
            // Direct light: a sun photon at its first surface, before any scattering.
            const bool is_direct = photon.is_sun && depth == 0;
            for (int b = 0; b < nb; ++b) {
              const double e = w[b] * photon.scale;
              if (!(e > 0.0)) continue;
              const size_t i = static_cast<size_t>(c) * nb + b;
              my_down[i] += e;
              if (n_split) (is_direct ? my_direct : my_diffuse)[i] += e;
              if (prev >= 0 && prev != c) my_up[static_cast<size_t>(prev) * nb + b] += e;
            }
            ++recorded;
          }
          if (req.max_bounces > 0 && recorded >= req.max_bounces) stop = true;
          prev = c;
          return true;
        },
        photon);
  });

  FluxResult out;
  out.upwelling = to_float(reduce(up, n, workers));
  if (req.decompose) {
    // Downwelling is reported as the float32 sum of its two parts, so that direct + diffuse
    // equals downwelling exactly in the arrays the caller receives.
    out.direct = to_float(reduce(direct, n, workers));
    out.diffuse = to_float(reduce(diffuse, n, workers));
    out.downwelling.resize(n);
    for (size_t i = 0; i < n; ++i) out.downwelling[i] = out.direct[i] + out.diffuse[i];
  } else {
    out.downwelling = to_float(reduce(down, n, workers));
  }
  for (const auto& r : rays) out.rays += r.rays;
  return out;
}

}  // namespace velm::cpu
