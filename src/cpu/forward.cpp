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
// The sequence number of photon streams: photon g of every forward and flux run draws from
// item_stream(g, kPhotonSequence).
constexpr uint64_t kPhotonSequence = 0x70686F746F6E73ULL;

struct Extent {
  double sx, sy;
};

// The horizontal extent photons are spread over and the grid covers: the repeating tile when
// there is one, else the orthographic sensor footprint.
Extent photon_extent(const SceneDescription& d, const char* who) {
  const RepetitionTile& tile = d.repetition();
  if (tile.x_size > 0.f && tile.y_size > 0.f) {
    if (!std::isfinite(tile.x_size) || !std::isfinite(tile.y_size))
      throw std::invalid_argument(std::string(who) + ": the repeating tile size must be finite");
    return {tile.x_size, tile.y_size};
  }
  const SensorBlock& s = d.sensor();
  if (!(s.ortho_width > 0.f) || !(s.ortho_height > 0.f) || !std::isfinite(s.ortho_width) ||
      !std::isfinite(s.ortho_height))
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
  s.sun_direction = unit_direction(d.emitter().direction, "the sun direction");
  s.params = d.spectral_params().data();
  s.nb = nb;
  s.sun_offset = static_cast<int>(d.emitter().spectral_offset);
  s.sky_offset = d.sky().constant_offset;
  s.hosek_offset = d.sky().hosek_offset;
  s.hosek_sun = s.hosek_offset >= 0 ? unit_direction(d.sky().hosek_sun, "the sky's sun direction")
                                    : Vec3(0.f, 0.f, 1.f);
  s.repetition = d.repetition().active();
  // Photons enter the repeating tile from above everything in it: a measurement plane below the
  // canopy (the ground, by default) must not inject them under the leaves.
  s.launch_height = std::max(d.measurement_plane(), b.hi[2]) + 0.1f;
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
  float zmin, zmax;  // the scene's vertical extent: tile walks end outside it
};

template <class OnEscape, class OnHit>
uint64_t walk_photon(const Walk& c, uint64_t g, double* w, OnEscape&& on_escape, OnHit&& on_hit,
                     LaunchedPhoton& photon) {
  Pcg32 rng = item_stream(g, kPhotonSequence);
  if (!launch_photon(*c.source, rng, w, photon)) return 0;
  Vec3 o = photon.origin, d = photon.direction;
  uint64_t rays = 0;
  int wraps = 0;
  for (int depth = 0; depth < c.max_depth;) {
    const embree::HitRecord hit = c.scene->intersect_closest(o, d);
    ++rays;
    if (!hit.hit) {
      if (c.repetition && wraps < c.tile.count && !leaves_slab(o, d, c.zmin, c.zmax) &&
          wrap_across_tile(c.tile, o, d) > 0.f) {
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
    o = hit.spawn(d);
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
  const std::string w(who);
  if (num_bands < 1) throw std::invalid_argument(w + ": num_bands must be at least 1");
  if (num_photons < 1) throw std::invalid_argument(w + ": num_photons must be at least 1");
  if (nx < 1 || ny < 1) throw std::invalid_argument(w + ": nx and ny must be at least 1");
  if (!(prob_sun >= 0.f && prob_sun <= 1.f))
    throw std::invalid_argument(w + ": prob_sun must lie in [0, 1]");
  const SkySettings& sky = scene.desc().sky();
  if (prob_sun == 0.f && sky.hosek_offset < 0 && sky.constant_offset < 0)
    throw std::invalid_argument(w + ": prob_sun is 0 but the scene has no sky, so no photon "
                                    "source is left (set_sky or set_hw_sky)");
  check_scene_for_simulation(scene, who, num_bands, {true, true, true});
}

// The cell of coordinate / cell size, truncated towards zero and clamped into [0, n - 1] (NaN
// and values beyond the int range included).
inline int clamp_cell(float cells, int n) {
  if (!(cells >= 1.f)) return 0;
  if (!(cells < static_cast<float>(n))) return n - 1;
  return static_cast<int>(cells);
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
  // View directions are used as unit vectors, like the sun's: a longer one must not scale the BRF.
  std::vector<Vec3> views(static_cast<size_t>(req.num_brf_dirs));
  for (int k = 0; k < req.num_brf_dirs; ++k)
    views[k] = unit_direction(&req.brf_directions[3 * static_cast<size_t>(k)],
                              "simulate_forward_cpu: brf_directions row " + std::to_string(k));
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
  // Every tally is sized in 64 bits and refused before any work when it cannot exist; the
  // per-worker copies count too.
  const size_t n_grid = checked_count({nz, req.ny, req.nx, nb}, sizeof(double), "the grid");
  checked_count({workers, nz, req.ny, req.nx, nb}, sizeof(double), "the grid's per-thread tallies");
  const size_t n_brf = static_cast<size_t>(req.num_brf_dirs) * nb;
  const size_t n_leaf = req.per_leaf ? checked_count({static_cast<int64_t>(total_leaves), nb},
                                                     sizeof(double), "the per-leaf tally")
                                     : 0;
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

  Walk walk{&scene,      &source,       desc.materials().data(), nb, max_depth, 3,
            desc.repetition(), desc.repetition().active(), scene.min_height(),
            scene.max_height()};
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
            const int ix = clamp_cell(hit.position.x / dx, req.nx);
            const int iy = clamp_cell(hit.position.y / dy, req.ny);
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
              const Vec3 v = views[k];
              if (v.z <= 0.f) continue;
              const float c = std::fabs(dot(hit.normal, v));
              if (c < 1e-6f) continue;
              ++n_rays;
              if (scene.occluded_tiled(hit.spawn(v), v, 1e16f)) continue;
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
  const size_t n = checked_count({req.ny, req.nx, nb}, sizeof(double), "the flux grid");
  checked_count({workers, req.decompose ? 4 : 2, req.ny, req.nx, nb}, sizeof(double),
                "the flux grid's per-thread tallies");
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

  Walk walk{&scene,      &source,       desc.materials().data(), nb, max_depth, req.rr_depth,
            desc.repetition(), desc.repetition().active(), scene.min_height(),
            scene.max_height()};

  run_batches(req.num_photons, workers, hooks, [&](unsigned wk, uint64_t g) {
    double* w = scratch.data() + wk * nb;
    double* my_down = down.data() + wk * n;
    double* my_up = up.data() + wk * n;
    double* my_direct = direct.data() + wk * n_split;
    double* my_diffuse = diffuse.data() + wk * n_split;
    LaunchedPhoton photon;
    int64_t prev = -1;
    int recorded = 0;
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
          // Truncation towards zero: hits just below 0 fall into the first column. Compared in
          // float first, so no cast can overflow.
          const float fx = hit.position.x / dx, fy = hit.position.y / dy;
          int64_t c = -1;
          if (fx > -1.f && fx < static_cast<float>(req.nx) && fy > -1.f &&
              fy < static_cast<float>(req.ny)) {
            const int64_t ix = std::min<int64_t>(static_cast<int64_t>(fx), req.nx - 1);
            const int64_t iy = std::min<int64_t>(static_cast<int64_t>(fy), req.ny - 1);
            c = iy * req.nx + ix;
          }
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
