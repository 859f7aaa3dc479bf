#include "cpu/forward.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "sim/launch_order.h"
#include "sim/workers.h"
#include "physics/photon_walk.h"

namespace velm::cpu {

namespace {

constexpr int64_t kBatch = 1000000;

PhotonWalkSettings photon_walk(const embree::EmbreeSceneManager& scene,
                               const PhotonSourceSettings& source, int nb, int max_depth,
                               int rr_depth, uint64_t seed) {
  const SceneDescription& d = scene.desc();
  return {source,         d.materials().data(),    nb,
          max_depth,      rr_depth,                d.repetition(),
          d.repetition().active(), scene.min_height(), scene.max_height(), seed};
}

// Additions to the leaf tally, which is shared between workers: a compare-and-swap on the
// double's bits. Leaves are many and photons hit them at random, so collisions are rare and a
// shared tally is far cheaper than per-worker copies of a large array that must be zeroed and
// summed.
void add_shared_now(double* target, double value) {
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

// The row of the leaf tally that a hit adds to is rarely in cache, and the compare-and-swap would
// wait for it. So each worker queues its additions, prefetching the line, and makes each one
// kSize additions later, when the line has arrived. Additions to the same value keep their order.
class alignas(64) LeafQueue {
 public:
  void push(double* target, double value) {
    __builtin_prefetch(target, 1, 1);
    Entry& slot = entries_[next_];
    if (count_ == kSize)
      add_shared_now(slot.target, slot.value);
    else
      ++count_;
    slot = {target, value};
    next_ = (next_ + 1) % kSize;
  }
  // Makes every queued addition, oldest first.
  void flush() {
    for (; count_ > 0; --count_) {
      const Entry& e = entries_[(next_ + kSize - count_) % kSize];
      add_shared_now(e.target, e.value);
    }
  }

 private:
  static constexpr int kSize = 16;
  struct Entry {
    double* target;
    double value;
  };
  Entry entries_[kSize];
  int next_ = 0, count_ = 0;
};

// Additions to the tallies: plain for the per-worker copies, through the worker's queue for the
// shared leaf tally.
struct HostAdd {
  LeafQueue* leaf_queue = nullptr;
  static void add(double* target, double value) { *target += value; }
  void add_shared(double* target, double value) const { leaf_queue->push(target, value); }
};

// Photons in batches of a million over the workers; progress between batches, interrupts
// polled while they run. Each batch is walked in launch order (sim/launch_order.h): `key(worker,
// g)` gives photon g's sort key. `chunk_end(worker)` runs after each chunk of photons, however
// the chunk ends.
template <class Key, class Photon, class ChunkEnd>
void run_batches(int64_t num_photons, unsigned workers, const HostHooks& hooks, Key&& key,
                 Photon&& photon, ChunkEnd&& chunk_end) {
  struct AtChunkEnd {
    ChunkEnd& run;
    unsigned worker;
    ~AtChunkEnd() { run(worker); }
  };
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint64_t> order, sort_scratch;
  for (int64_t first = 0; first < num_photons; first += kBatch) {
    const int64_t count = std::min(kBatch, num_photons - first);
    order.resize(static_cast<size_t>(count));
    parallel_chunks(workers, static_cast<uint64_t>(count), 4096,
                    [&](unsigned wk, uint64_t begin, uint64_t end) {
                      for (uint64_t i = begin; i < end; ++i)
                        order[i] = static_cast<uint64_t>(key(wk, first + i)) << 32 | i;
                    },
                    hooks.poll);
    sort_by_key(order, sort_scratch);
    parallel_chunks(workers, static_cast<uint64_t>(count), 256,
                    [&](unsigned wk, uint64_t begin, uint64_t end) {
                      const AtChunkEnd at_end{chunk_end, wk};
                      for (uint64_t i = begin; i < end; ++i)
                        photon(wk, first + (order[i] & 0xFFFFFFFFu));
                    },
                    hooks.poll);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    hooks.report(static_cast<uint64_t>(first + count), static_cast<uint64_t>(num_photons),
                 static_cast<float>(ms));
  }
}

// The launch-order key of photon g: sun photons first (they share one direction), then by the
// Morton code of the launch point in the scene box; photons that are never launched last.
uint32_t launch_key(const PhotonWalkSettings& walk, uint64_t g, double* scratch) {
  Pcg32 rng;
  LaunchedPhoton photon;
  if (!start_photon(walk, g, scratch, rng, photon)) return 0xFFFFFFFFu;
  return (photon.is_sun ? 0u : 1u << 30) |
         morton_code(photon.origin, walk.source.box.lo, walk.source.box.hi);
}

std::vector<float> to_float(const std::vector<double>& v) { return {v.begin(), v.end()}; }

}  // namespace

ForwardResult simulate_forward(const embree::EmbreeSceneManager& scene, const ForwardRequest& req,
                               const HostHooks& hooks) {
  const std::string who = "simulate_forward_cpu";
  const int nb = req.num_bands;
  check_layer_heights(req.layer_heights, who, "layer_heights must have at least 2 entries");
  const int nz = static_cast<int>(req.layer_heights.size()) - 1;
  const std::vector<Vec3> views = view_directions(req.brf_directions, req.num_brf_dirs, who);
  const SceneDescription& desc = scene.desc();
  check_photon_request(desc, built_scene(scene), who, req.nx, req.ny, req.num_photons, nb,
                       req.prob_sun);
  check_terrain_instance(desc, req.terrain_instance_id, who);
  const int max_depth = max_depth_override(req.max_depth, "[CPU fwd]");
  const PhotonGrid cells = photon_grid(desc, who, req.nx, req.ny, req.num_photons);
  const PhotonSourceSettings source = photon_source(desc, scene.bounds(), nb, cells, req.prob_sun);

  // Leaves: every instance's triangles in instance order, in global primitive order.
  const std::vector<uint64_t> leaf_offset =
      req.per_leaf ? desc.primitive_prefix_sums() : std::vector<uint64_t>{};
  const uint64_t total_leaves = req.per_leaf ? leaf_offset.back() : 0;

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
  PerWorker grid(workers, n_grid), brf(workers, n_brf), albedo(workers, nb), terrain(workers, nb),
      scratch(workers, nb);
  std::vector<double> leaf(n_leaf);
  std::vector<LeafQueue> leaf_queues(workers);
  struct alignas(64) Count {
    uint64_t rays = 0;
  };
  std::vector<Count> rays(workers);

  std::printf("Forward fPAR (CPU): %lld photons, grid %dx%dx%d, %d bands, %u threads\n",
              static_cast<long long>(req.num_photons), req.nx, req.ny, nz, nb, workers);
  std::fflush(stdout);

  const PhotonWalkSettings walk = photon_walk(scene, source, nb, max_depth, kForwardRouletteDepth,
                                               req.seed);
  ForwardTallySettings ts;
  ts.nx = req.nx;
  ts.ny = req.ny;
  ts.nz = nz;
  ts.dx = cells.dx;
  ts.dy = cells.dy;
  ts.heights = req.layer_heights.data();
  ts.nb = nb;
  ts.terrain_instance = req.terrain_instance_id;
  ts.leaf_offset = n_leaf > 0 ? leaf_offset.data() : nullptr;
  ts.total_leaves = total_leaves;
  ts.views = views.data();
  ts.num_views = req.num_brf_dirs;

  auto key = [&](unsigned wk, uint64_t g) { return launch_key(walk, g, scratch[wk]); };
  run_batches(req.num_photons, workers, hooks, key, [&](unsigned wk, uint64_t g) {
    ForwardTally<HostAdd, embree::EmbreeSceneManager> tally{
        &ts,
        {grid[wk], n_leaf > 0 ? leaf.data() : nullptr, want_terrain ? terrain[wk] : nullptr,
         want_brf ? brf[wk] : nullptr, want_brf ? albedo[wk] : nullptr},
        &scene,
        HostAdd{&leaf_queues[wk]}};
    rays[wk].rays += walk_photon(walk, scene, g, scratch[wk], tally);
  }, [&](unsigned wk) { leaf_queues[wk].flush(); });

  ForwardResult out;
  out.nz = nz;
  out.grid = to_float(grid.sum());
  if (n_leaf > 0) out.leaf = to_float(leaf);
  if (want_brf) {
    out.brf = to_float(brf.sum());
    out.albedo = to_float(albedo.sum());
  }
  if (want_terrain) out.terrain = to_float(terrain.sum());
  for (const auto& r : rays) out.rays += r.rays;
  return out;
}

FluxResult simulate_flux(const embree::EmbreeSceneManager& scene, const FluxRequest& req,
                         const HostHooks& hooks) {
  const std::string who = "simulate_flux_cpu";
  const int nb = req.num_bands;
  if (req.max_bounces < 0)
    throw std::invalid_argument("simulate_flux_cpu: max_bounces must not be negative");
  const SceneDescription& desc = scene.desc();
  check_photon_request(desc, built_scene(scene), who, req.nx, req.ny, req.num_photons, nb,
                       req.prob_sun);
  const int max_depth = max_depth_override(req.max_depth, "[CPU flux]");
  const PhotonGrid grid = photon_grid(desc, who, req.nx, req.ny, req.num_photons);
  const PhotonSourceSettings source = photon_source(desc, scene.bounds(), nb, grid, req.prob_sun);

  const unsigned workers = worker_count();
  const size_t n = checked_count({req.ny, req.nx, nb}, sizeof(double), "the flux grid");
  checked_count({workers, req.decompose ? 4 : 2, req.ny, req.nx, nb}, sizeof(double),
                "the flux grid's per-thread tallies");
  const size_t n_split = req.decompose ? n : 0;
  PerWorker down(workers, n), up(workers, n), direct(workers, n_split), diffuse(workers, n_split),
      scratch(workers, nb);
  struct alignas(64) Count {
    uint64_t rays = 0;
  };
  std::vector<Count> rays(workers);

  std::printf(
      "Forward flux (CPU): %lld photons, grid %dx%d, %d bands, max_bounces_record=%d, %u threads\n",
      static_cast<long long>(req.num_photons), req.nx, req.ny, nb, req.max_bounces, workers);
  std::fflush(stdout);

  const PhotonWalkSettings walk = photon_walk(scene, source, nb, max_depth, req.rr_depth, req.seed);
  const FluxTallySettings ts{req.nx, req.ny, grid.dx, grid.dy, nb, req.max_bounces};

  auto key = [&](unsigned wk, uint64_t g) { return launch_key(walk, g, scratch[wk]); };
  run_batches(req.num_photons, workers, hooks, key, [&](unsigned wk, uint64_t g) {
    FluxTally<HostAdd> tally{&ts,
                             {down[wk], up[wk], n_split ? direct[wk] : nullptr,
                              n_split ? diffuse[wk] : nullptr}};
    rays[wk].rays += walk_photon(walk, scene, g, scratch[wk], tally);
  }, [](unsigned) {});

  FluxResult out;
  out.upwelling = to_float(up.sum());
  if (req.decompose) {
    // Downwelling is reported as the float32 sum of its two parts, so that direct + diffuse
    // equals downwelling exactly in the arrays the caller receives.
    out.direct = to_float(direct.sum());
    out.diffuse = to_float(diffuse.sum());
    out.downwelling.resize(n);
    for (size_t i = 0; i < n; ++i) out.downwelling[i] = out.direct[i] + out.diffuse[i];
  } else {
    out.downwelling = to_float(down.sum());
  }
  for (const auto& r : rays) out.rays += r.rays;
  return out;
}

}  // namespace velm::cpu
