// The launches of the Simulator: backward images, forward radiation, flux, energy balance and
// LiDAR. Each plans first (launch_plan.h: every check before any device work), then sizes its
// buffers, fills the launch parameters and launches; results are downloaded unscaled.
#include <cuda_runtime_api.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "optix/lidar_kernels.h"
#include "optix/simulator.h"

namespace velm {

using optix::DeviceBuffer;
using optix::LaunchParams;

namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// (Re)allocates `buf` to exactly `bytes` when its size differs.
void ensure_size(DeviceBuffer& buf, size_t bytes, const char* label) {
  if (buf.size() != bytes || (bytes > 0 && buf.empty())) buf.allocate(bytes, label);
}

void synchronize(const char* label) { optix::check_cuda(cudaDeviceSynchronize(), label); }

template <class T>
std::vector<T> download(const DeviceBuffer& buf, size_t count, const char* label) {
  std::vector<T> out(count);
  buf.download(out.data(), count * sizeof(T), label);
  return out;
}

std::vector<float> to_float(const std::vector<double>& v) { return {v.begin(), v.end()}; }

// Progress and interrupt polling between launches, with the context free for whatever the
// callback does (it may build another scene on the same context).
void report_unlocked(std::unique_lock<std::mutex>& lock, const HostHooks& hooks, uint64_t done,
                     uint64_t total, double ms) {
  lock.unlock();
  hooks.report(done, total, static_cast<float>(ms));
  lock.lock();
}

}  // namespace

void Simulator::launch(optix::Pipeline pipeline, optix::Stream stream, const SceneManager& scene,
                       TableId t, const LaunchParams& params, uint32_t width, uint32_t height,
                       uint32_t depth, const char* params_label, const char* launch_label) {
  ledger_.require(t, scene.geometry_id(), launch_label);
  if (params_.empty()) params_.allocate(sizeof(LaunchParams), "params");
  params_.upload(&params, sizeof params, params_label);
  optix::check(optix::table().launch(pipeline, stream, params_.get(), sizeof(LaunchParams),
                                     &table(t), width, height, depth),
               launch_label);
  optix::check_cuda(cudaStreamSynchronize(stream), launch_label);
}

optix::PathBuffers Simulator::path_buffers(uint64_t paths, int32_t bands, bool grow_only) {
  bands = std::max(bands, 1);
  const bool resize = grow_only ? (paths > path_count_ || bands > path_bands_)
                                : (paths != path_count_ || bands != path_bands_);
  if (resize || path_hits_.empty()) {
    const uint64_t n = grow_only ? std::max(paths, path_count_) : paths;
    const int32_t nb = grow_only ? std::max(bands, path_bands_) : bands;
    path_hits_.allocate(n * optix::kPathHitBytes, "hits");
    path_rng_.allocate(n * optix::kPathRngBytes, "rngs");
    path_throughput_.allocate(n * sizeof(float) * static_cast<uint64_t>(nb), "tp");
    path_radiance_.allocate(n * sizeof(float) * static_cast<uint64_t>(nb), "rad");
    path_count_ = n;
    path_bands_ = nb;
  }
  optix::PathBuffers b;
  b.hits = path_hits_.get();
  b.rng = path_rng_.get();
  b.throughput = path_throughput_.get();
  b.radiance = path_radiance_.get();
  b.paths = static_cast<uint32_t>(path_count_);
  return b;
}

// ---- backward ----------------------------------------------------------------------------------

std::vector<float> Simulator::simulate(const SceneManager& scene, int spp, int max_depth,
                                       const HostHooks& hooks, uint64_t seed) {
  check_scene(scene);
  const optix::BackwardPlan plan =
      optix::plan_backward(scene.desc(), scene.facts(), spp, max_depth, seed);
  if (plan.empty()) return {};
  std::unique_lock<std::mutex> lock(context_->submit_mutex());
  init();
  build_backward_table(scene);
  const optix::PathBuffers paths = path_buffers(plan.paths, plan.bands, false);
  const size_t values = static_cast<size_t>(plan.width) * plan.height * plan.bands;
  ensure_size(film_, values * sizeof(float), "film");
  film_.zero("film zero");
  LaunchParams p = optix::backward_params(scene.launch_scene_block(), plan, film_.get(), paths);

  const auto start = Clock::now();
  for (int pass = 0; pass < plan.spp; ++pass) {
    for (uint32_t b = 0; b < plan.launches_per_pass; ++b) {
      optix::set_backward_launch(p, plan, static_cast<uint32_t>(pass), b);
      launch(pipeline(kMain), context_->stream(), scene, kBackward, p, p.width, p.rows, 1,
             "params", "launch");
    }
    synchronize("sync");
    report_unlocked(lock, hooks, static_cast<uint64_t>(pass + 1), static_cast<uint64_t>(plan.spp),
                    elapsed_ms(start));
  }
  const double ms = elapsed_ms(start);
  std::fprintf(stderr, "Simulate: %dx%d x %d bands x %d spp = %.1f ms (%.2f ms/spp", plan.width,
               plan.height, plan.bands, plan.spp, ms, ms / plan.spp);
  if (plan.launches_per_pass >= 2) std::fprintf(stderr, ", %u tiles", plan.launches_per_pass);
  std::fprintf(stderr, ")\n");
  return download<float>(film_, values, "download");
}

// ---- forward -----------------------------------------------------------------------------------

ForwardResult Simulator::simulate_forward(const SceneManager& scene, const ForwardRequest& req,
                                          const HostHooks& hooks) {
  std::fprintf(stderr, "[fwd] enter simulate_forward\n");
  check_scene(scene);
  const optix::ForwardPlan plan = optix::plan_forward(scene.desc(), scene.facts(), req);
  std::unique_lock<std::mutex> lock(context_->submit_mutex());
  init();
  std::fprintf(stderr, "[fwd] initialized\n[fwd] building sbt...\n");
  // The forward table is the backward table (rebuilt for this scene) with its own raygen record.
  build_forward_table(scene);
  std::fprintf(stderr, "[fwd] sbt built\n[fwd] creating forward sbt...\n");
  std::fprintf(stderr, "[fwd] header packed\n[fwd] malloc ok\n[fwd] upload ok\n");

  const int nb = plan.bands;
  std::fprintf(stderr, "[fwd] allocating grid: %llu doubles\n",
               static_cast<unsigned long long>(plan.grid_values));
  fwd_grid_.allocate(plan.grid_values * sizeof(double), "fpar grid");
  fwd_grid_.zero("fpar zero");
  std::fprintf(stderr, "[fwd] grid allocated ok\n[fwd] layer_heights.size()=%zu\n",
               plan.layer_heights.size());
  std::fprintf(stderr, "[fwd] allocating %zu bytes for layers\n",
               plan.layer_heights.size() * sizeof(float));
  fwd_layers_.assign(plan.layer_heights.data(), plan.layer_heights.size() * sizeof(float),
                     "layers alloc", "layers upload");
  std::fprintf(stderr, "[fwd] layers malloc ok\n[fwd] layers upload ok\n");
  std::fflush(stderr);
  if (plan.per_leaf && plan.total_leaves >= 1) {
    fwd_leaf_.allocate(plan.total_leaves * nb * sizeof(double), "leaf buf");
    fwd_leaf_.zero("leaf zero");
    fwd_leaf_offsets_.assign(plan.leaf_offsets.data(), plan.leaf_offsets.size() * sizeof(uint64_t),
                             "leaf off", "leaf off");
  }
  fwd_terrain_.reset();
  if (plan.terrain_instance >= 0) {
    fwd_terrain_.allocate(nb * sizeof(double), "terrain buf");
    fwd_terrain_.zero("terrain zero");
  }
  std::fprintf(stderr, "[fwd] allocating per-ray buffers...\n");
  const optix::PathBuffers paths = path_buffers(plan.batches.batch, nb, false);
  std::fprintf(stderr, "[fwd] buffers allocated (batch=%u)\n", plan.batches.batch);
  std::fflush(stderr);
  if (!plan.views.empty()) {
    fwd_brf_directions_.assign(plan.views.data(), plan.views.size() * sizeof(Vec3), "brf dirs",
                               "brf dirs up");
    fwd_brf_.allocate(plan.views.size() * nb * sizeof(double), "brf buf");
    fwd_brf_.zero("brf zero");
    fwd_albedo_.allocate(nb * sizeof(double), "albedo buf");
    fwd_albedo_.zero("albedo zero");
  }

  optix::ForwardBuffers b;
  b.grid = fwd_grid_.get();
  b.layers = fwd_layers_.get();
  b.leaf = plan.total_leaves >= 1 ? fwd_leaf_.get() : 0;
  b.leaf_offsets = plan.total_leaves >= 1 ? fwd_leaf_offsets_.get() : 0;
  b.terrain = fwd_terrain_.get();
  b.brf_directions = fwd_brf_directions_.get();
  b.brf = fwd_brf_.get();
  b.albedo = fwd_albedo_.get();
  LaunchParams p = optix::forward_params(scene.launch_scene_block(), plan, b, paths);
  std::fprintf(stderr, "[fwd] scene=%gx%g dx=%g dy=%g batch=%u total=%lld photon_e=%g\n",
               plan.extent.sx, plan.extent.sy, plan.dx, plan.dy, plan.batches.batch,
               static_cast<long long>(plan.batches.total), plan.photon_energy);

  const auto start = Clock::now();
  uint64_t done = 0;
  for (uint64_t k = 0; k < plan.batches.count(); ++k) {
    optix::set_photon_batch(p, plan.batches, k);
    launch(pipeline(kMain), context_->stream(), scene, kForward, p, optix::kPhotonRowWidth,
           p.height, 1, "params fwd", "launch fwd");
    synchronize("sync fwd");
    done += plan.batches.photons(k);
    report_unlocked(lock, hooks, done, static_cast<uint64_t>(plan.batches.total),
                    elapsed_ms(start));
  }
  std::printf("Forward: %lld photons (%llu batches), %dx%dx%d grid, %d bands = %.1f ms\n",
              static_cast<long long>(plan.batches.total),
              static_cast<unsigned long long>(plan.batches.count()), plan.nx, plan.ny, plan.nz, nb,
              elapsed_ms(start));
  std::fflush(stdout);

  ForwardResult out;
  out.nz = plan.nz;
  out.grid = to_float(download<double>(fwd_grid_, plan.grid_values, "download fpar"));
  if (plan.per_leaf && plan.total_leaves >= 1)
    out.leaf = to_float(download<double>(fwd_leaf_, plan.total_leaves * nb, "download leaf"));
  if (plan.terrain_instance >= 0)
    out.terrain = to_float(download<double>(fwd_terrain_, nb, "download terrain"));
  if (!plan.views.empty()) {
    out.brf = to_float(download<double>(fwd_brf_, plan.views.size() * nb, "download brf"));
    out.albedo = to_float(download<double>(fwd_albedo_, nb, "download albedo"));
  }
  fwd_brf_directions_.reset();
  fwd_brf_.reset();
  fwd_albedo_.reset();
  return out;
}

// ---- flux --------------------------------------------------------------------------------------

FluxResult Simulator::simulate_flux(const SceneManager& scene, FluxRequest req,
                                    const HostHooks& hooks) {
  check_scene(scene);
  req.max_depth = max_depth_override(req.max_depth, "[GPU flux]");
  const optix::FluxPlan plan = optix::plan_flux(scene.desc(), scene.facts(), req);
  std::unique_lock<std::mutex> lock(context_->submit_mutex());
  init();
  build_flux_table(scene);
  const size_t bytes = plan.cells * sizeof(double);
  flux_down_.allocate(bytes, "flux down alloc");
  flux_up_.allocate(bytes, "flux up alloc");
  flux_down_.zero("flux down zero");
  flux_up_.zero("flux up zero");
  if (plan.decompose) {
    flux_direct_.allocate(bytes, "flux direct alloc");
    flux_diffuse_.allocate(bytes, "flux diffuse alloc");
    flux_direct_.zero("flux direct zero");
    flux_diffuse_.zero("flux diffuse zero");
  }
  const optix::PathBuffers paths = path_buffers(plan.batches.batch, plan.bands, false);
  optix::FluxBuffers b{flux_down_.get(), flux_up_.get(), flux_direct_.get(), flux_diffuse_.get()};
  LaunchParams p = optix::flux_params(scene.launch_scene_block(), plan, b, paths);
  std::printf("Forward flux (GPU): %lld photons, grid %dx%d, %d bands, max_bounces_record=%d\n",
              static_cast<long long>(plan.batches.total), plan.nx, plan.ny, plan.bands,
              plan.max_bounces == 0 ? -1 : plan.max_bounces);
  std::fflush(stdout);

  const auto start = Clock::now();
  uint64_t done = 0;
  for (uint64_t k = 0; k < plan.batches.count(); ++k) {
    optix::set_photon_batch(p, plan.batches, k);
    launch(pipeline(kMain), context_->stream(), scene, kFlux, p, optix::kPhotonRowWidth, p.height,
           1, "params flux", "launch flux");
    synchronize("sync flux");
    done += plan.batches.photons(k);
    report_unlocked(lock, hooks, done, static_cast<uint64_t>(plan.batches.total),
                    elapsed_ms(start));
  }
  std::printf("Forward flux (GPU): %lld photons (%llu batches) = %.1f ms\n",
              static_cast<long long>(plan.batches.total),
              static_cast<unsigned long long>(plan.batches.count()), elapsed_ms(start));
  std::fflush(stdout);

  FluxResult out;
  out.downwelling = to_float(download<double>(flux_down_, plan.cells, "download flux down"));
  out.upwelling = to_float(download<double>(flux_up_, plan.cells, "download flux up"));
  if (plan.decompose) {
    // As on the CPU: downwelling is the float32 sum of its two parts, so that direct + diffuse
    // equals downwelling exactly in the arrays the caller receives.
    out.direct = to_float(download<double>(flux_direct_, plan.cells, "download flux direct"));
    out.diffuse = to_float(download<double>(flux_diffuse_, plan.cells, "download flux diffuse"));
    for (size_t i = 0; i < out.downwelling.size(); ++i)
      out.downwelling[i] = out.direct[i] + out.diffuse[i];
  }
  return out;
}

// ---- energy balance ----------------------------------------------------------------------------

EnergyBalanceOutput Simulator::run_energy_balance(const SceneManager& scene,
                                                  const EnergyBalanceRequest& req,
                                                  bool multiband) {
  check_scene(scene);
  const optix::EnergyBalancePlan plan =
      optix::plan_energy_balance(scene.desc(), scene.facts(), req, multiband);
  std::lock_guard<std::mutex> lock(context_->submit_mutex());
  init();
  if (!multiband) return energy_balance_chunk(scene, plan, req);

  const size_t n = static_cast<size_t>(plan.n_primitives);
  EnergyBalanceOutput out;
  out.top.resize(static_cast<size_t>(plan.bands) * n);
  if (req.two_sided) out.bottom.resize(out.top.size());
  for (const auto& [first, count] : optix::energy_balance_chunks(plan.bands)) {
    EnergyBalanceRequest chunk = req;
    chunk.n_bands = count;
    auto slice = [&](const std::vector<float>& v, size_t per) {
      return v.empty() ? v
                       : std::vector<float>(v.begin() + first * per,
                                            v.begin() + (first + count) * per);
    };
    chunk.sun_irradiances = slice(req.sun_irradiances, 1);
    chunk.sky_diffuse_radiances = slice(req.sky_diffuse_radiances, 1);
    chunk.sw_albedos = slice(req.sw_albedos, n);
    optix::EnergyBalancePlan chunk_plan = plan;
    chunk_plan.bands = count;
    const EnergyBalanceOutput part = energy_balance_chunk(scene, chunk_plan, chunk);
    std::copy(part.top.begin(), part.top.end(), out.top.begin() + first * n);
    if (req.two_sided) std::copy(part.bottom.begin(), part.bottom.end(), out.bottom.begin() + first * n);
  }
  return out;
}

EnergyBalanceOutput Simulator::energy_balance_chunk(const SceneManager& scene,
                                                    const optix::EnergyBalancePlan& plan,
                                                    const EnergyBalanceRequest& req) {
  const bool mb = plan.multiband;
  const size_t values = static_cast<size_t>(plan.bands) * static_cast<size_t>(plan.n_primitives);
  if (mb) {
    build_energy_balance_multiband_table(scene);
    ensure_size(ebm_top_, values * sizeof(float), "eb_mb top alloc");
    ebm_top_.zero("eb_mb top zero");
    if (req.two_sided) {
      ensure_size(ebm_bottom_, values * sizeof(float), "eb_mb bot alloc");
      ebm_bottom_.zero("eb_mb bot zero");
    }
    const size_t band_bytes = static_cast<size_t>(plan.bands) * sizeof(float);
    ensure_size(ebm_sun_, band_bytes, "eb_mb sun_irr alloc");
    ensure_size(ebm_sky_, band_bytes, "eb_mb sky_diff alloc");
    if (req.sun_irradiances.empty()) ebm_sun_.zero("eb_mb sun_irr zero");
    else ebm_sun_.upload(req.sun_irradiances.data(), band_bytes, "eb_mb sun_irr upload");
    if (req.sky_diffuse_radiances.empty()) ebm_sky_.zero("eb_mb sky_diff zero");
    else ebm_sky_.upload(req.sky_diffuse_radiances.data(), band_bytes, "eb_mb sky_diff upload");
    if (!req.sw_albedos.empty()) {
      ensure_size(ebm_albedos_, req.sw_albedos.size() * sizeof(float), "eb_mb sw_albedos alloc");
      ebm_albedos_.upload(req.sw_albedos.data(), req.sw_albedos.size() * sizeof(float),
                          "eb_mb sw_albedos upload");
    }
  } else {
    build_energy_balance_table(scene);
    ensure_size(eb_top_, values * sizeof(float), "eb top alloc");
    eb_top_.zero("eb top zero");
    if (req.two_sided) {
      ensure_size(eb_bottom_, values * sizeof(float), "eb bot alloc");
      eb_bottom_.zero("eb bot zero");
    }
    if (!req.sw_albedos.empty()) {
      ensure_size(eb_albedos_, req.sw_albedos.size() * sizeof(float), "eb sw_albedos alloc");
      eb_albedos_.upload(req.sw_albedos.data(), req.sw_albedos.size() * sizeof(float),
                         "eb sw_albedos upload");
    }
  }
  if (params_.empty()) path_buffers(1, scene.desc().num_bands(), true);
  optix::EnergyBalanceBuffers b;
  b.top = (mb ? ebm_top_ : eb_top_).get();
  b.bottom = (mb ? ebm_bottom_ : eb_bottom_).get();
  b.albedos = (mb ? ebm_albedos_ : eb_albedos_).get();
  b.sun = ebm_sun_.get();
  b.sky = ebm_sky_.get();
  LaunchParams p =
      optix::energy_balance_params(scene.launch_scene_block(), plan, req, plan.bands, b);
  for (const optix::EnergyBalanceLaunch& piece : plan.launches) {
    optix::set_energy_balance_launch(p, piece);
    launch(pipeline(mb ? kEnergyBalanceMultiband : kEnergyBalance), context_->stream(), scene,
           mb ? kEbMultibandTable : kEbTable, p, scene.facts().max_mesh_triangles,
           piece.instances, piece.samples, mb ? "params eb_mb" : "params eb",
           mb ? "launch eb_mb" : "launch eb");
  }
  synchronize(mb ? "sync eb_mb" : "sync eb");
  EnergyBalanceOutput out;
  out.top = download<float>(mb ? ebm_top_ : eb_top_, values,
                            mb ? "download eb_mb top" : "download eb top");
  if (req.two_sided)
    out.bottom = download<float>(mb ? ebm_bottom_ : eb_bottom_, values,
                                 mb ? "download eb_mb bot" : "download eb bot");
  return out;
}

// ---- LiDAR -------------------------------------------------------------------------------------

lidar::LidarResult Simulator::simulate_lidar(const SceneManager& scene, const lidar::LidarRequest& r) {
  check_scene(scene);
  const optix::LidarPlan plan = optix::plan_lidar(scene.desc(), scene.facts(), r);
  std::lock_guard<std::mutex> lock(context_->submit_mutex());
  init();
  ensure_lidar();
  const size_t pulses = static_cast<size_t>(plan.pulses);
  lidar_origins_.grow(pulses * 12, "lidar pulse origins");
  lidar_directions_.grow(pulses * 12, "lidar pulse directions");
  lidar_origins_.upload(r.pulse_origins, pulses * 12, "up_ori");
  lidar_directions_.upload(plan.directions.data(), pulses * 12, "up_dir");
  const std::vector<float> xy = optix::beam_offsets(plan.beam);
  const std::vector<float> weights = optix::beam_weights(plan.beam);
  lidar_beam_xy_.grow(std::max<size_t>(xy.size() * sizeof(float), 8), "lidar beam xy");
  lidar_beam_weights_.grow(std::max<size_t>(weights.size() * sizeof(float), 4),
                           "lidar beam weights");
  lidar_beam_xy_.upload(xy.data(), xy.size() * sizeof(float), "up_beam");
  lidar_beam_weights_.upload(weights.data(), weights.size() * sizeof(float), "up_bw");
  const int32_t bands = scene.desc().num_bands();
  const size_t wave_bytes = plan.waveform_floats * sizeof(float);
  const optix::PathBuffers paths = path_buffers(r.direct_mode ? pulses : plan.paths, bands, true);
  if (r.direct_mode) {
    lidar_direct_points_.grow(pulses * 24, "lidar direct points");
    lidar_direct_count_.grow(4, "lidar direct count");
    lidar_direct_count_.zero("zero_dcnt");
  } else {
    lidar_raw_.grow(wave_bytes, "lidar raw waveform");
    lidar_convolved_.grow(wave_bytes, "lidar convolved waveform");
    lidar_kernel_.grow(plan.kernel.taps.size() * sizeof(float), "lidar convolution kernel");
    lidar_ranges_.grow(pulses * 8, "lidar active ranges");
    lidar_slots_.grow(pulses * static_cast<size_t>(r.max_returns_per_pulse) * 32,
                      "lidar return slots");
    lidar_counts_.grow(pulses * 4, "lidar peak counts");
    lidar_kernel_.upload(plan.kernel.taps.data(), plan.kernel.taps.size() * sizeof(float),
                         "up_conv_kernel");
    optix::check_cuda(cudaMemset(lidar_raw_.as<void>(), 0, wave_bytes), "zero_wf");
    optix::check_cuda(cudaMemset(lidar_convolved_.as<void>(), 0, wave_bytes), "zero_convolved_wf");
  }
  build_lidar_table(scene);
  optix::LidarBuffers b;
  b.origins = lidar_origins_.get();
  b.directions = lidar_directions_.get();
  b.beam_offsets = lidar_beam_xy_.get();
  b.beam_weights = lidar_beam_weights_.get();
  b.raw = lidar_raw_.get();
  b.convolved = lidar_convolved_.get();
  b.slots = lidar_slots_.get();
  b.kernel = lidar_kernel_.get();
  b.direct_points = lidar_direct_points_.get();
  b.direct_count = lidar_direct_count_.get();
  const LaunchParams p = optix::lidar_params(scene.launch_scene_block(), plan, r, b, paths);
  // The LiDAR launch and its kernels run on the default stream, in order.
  launch(pipeline(kMain), nullptr, scene, kLidar, p, static_cast<uint32_t>(plan.beam.size()),
         static_cast<uint32_t>(plan.pulses), 1, "params_up", "lidar_launch");

  lidar::LidarResult out;
  out.num_pulses = r.num_pulses;
  out.num_bins = plan.bins;
  out.num_wavelengths = r.num_wavelengths;
  if (r.direct_mode) {
    uint32_t count = 0;
    lidar_direct_count_.download(&count, sizeof count, "dl_dcnt");
    count = std::min<uint32_t>(count, static_cast<uint32_t>(plan.pulses));
    const std::vector<float> pts = download<float>(lidar_direct_points_, count * 6, "dl_dpts");
    out.points = optix::direct_point_records(pts.data(), count);
    out.direct_mode = true;
    return out;
  }
  const int32_t h = plan.kernel.half_width;
  optix::launch_find_active_ranges(lidar_raw_.as<const float>(), lidar_ranges_.as<int32_t>(),
                                   plan.pulses, plan.bins, plan.wavelengths);
  optix::launch_convolve_active_waveform(lidar_raw_.as<const float>(),
                                         lidar_convolved_.as<float>(),
                                         lidar_kernel_.as<const float>(),
                                         lidar_ranges_.as<const int32_t>(), plan.pulses,
                                         plan.bins, plan.wavelengths, h);
  optix::launch_extract_peak_slots(
      lidar_convolved_.as<const float>(), lidar_ranges_.as<const int32_t>(),
      lidar_origins_.as<const float>(), lidar_directions_.as<const float>(),
      lidar_slots_.as<float>(), lidar_counts_.as<int32_t>(), plan.pulses, plan.bins,
      plan.wavelengths, h, r.min_range, r.range_resolution, r.peak_threshold,
      r.max_returns_per_pulse);
  out.waveform = download<float>(lidar_convolved_, plan.waveform_floats, "dl_convolved_wf");
  const std::vector<int32_t> counts = download<int32_t>(lidar_counts_, pulses, "dl_peak_counts");
  uint64_t total = 0;
  for (int32_t c : counts) total += static_cast<uint64_t>(std::min(c, r.max_returns_per_pulse));
  if (total >= 1) {
    const std::vector<float> slots = download<float>(
        lidar_slots_, pulses * static_cast<size_t>(r.max_returns_per_pulse) * 8, "dl_return_slots");
    out.points = optix::slot_point_records(slots, counts, r.max_returns_per_pulse);
  }
  return out;
}

}  // namespace velm

// ---- microwave ---------------------------------------------------------------------------------

namespace velm {

std::vector<float> Simulator::simulate_microwave(const SceneManager& scene,
                                                 const MicrowaveRequest& req) {
  check_scene(scene);
  // Held while planning too: the plan's trunk-ground tables come through this simulator's cache.
  std::lock_guard<std::mutex> lock(context_->submit_mutex());
  const MicrowavePlan plan =
      optix::plan_optix_microwave(scene.desc(), scene.facts(), req, &mw_dihedral_cache_);
  if (plan.pixels == 0) return {};
  const bool a = req.active;
  init();
  if (a) build_active_microwave_table(scene);
  else build_microwave_table(scene);

  // Film, hit and random-state buffers are shared by both modes. Unseeded calls on one image
  // size continue the streams (the states are set up only when the buffers are); a seeded call,
  // and the first unseeded call after one, starts its seed's streams afresh, so that a seeded
  // call repeats exactly and draws what the CPU backend draws.
  const bool resize =
      plan.pixels != mw_pixels_ || req.n_channels != mw_channels_ || mw_rng_.empty();
  if (resize) {
    mw_film_.allocate(plan.pixels * req.n_channels * sizeof(float), a ? "mw active film" : "mw film");
    mw_hits_.allocate(plan.pixels * 52, a ? "mw active hits" : "mw hits");
    mw_pixels_ = plan.pixels;
    mw_channels_ = req.n_channels;
  }
  if (resize || req.seed != 0 || mw_seed_ != 0) {
    const std::vector<uint64_t> states = microwave_random_states(plan.pixels, req.seed);
    mw_rng_.assign(states.data(), states.size() * sizeof(uint64_t), a ? "mw active rngs" : "mw rngs",
                   a ? "mw active rngs up" : "mw rngs up");
    mw_seed_ = req.seed;
  }
  mw_film_.zero(a ? "mw active film zero" : "mw film zero");

  std::vector<MicrowaveMaterialRecord> records = plan.records;
  for (std::vector<DeviceBuffer>* list : {&mw_mueller_, &mw_cos_cdf_, &mw_phi_cdf_, &mw_specular_})
    list->clear();
  for (size_t i = 0; i < req.materials.size(); ++i) {
    const MicrowaveMaterial& m = req.materials[i];
    if ((m.type == kMicrowaveVegetation || m.type == kMicrowaveTrunk) &&
        !m.mueller.empty()) {
      mw_mueller_.emplace_back();
      mw_mueller_.back().assign(m.mueller.data(), m.mueller.size() * sizeof(float),
                                a ? "mw active lut M" : "mw mueller lut",
                                a ? "mw active lut M up" : "mw lut up");
      mw_cos_cdf_.emplace_back();
      mw_cos_cdf_.back().assign(m.cos_cdf.data(), m.cos_cdf.size() * sizeof(float),
                                a ? "mw active lut Cct" : "mw cdf cts",
                                a ? "mw active lut Cct up" : "mw cct up");
      mw_phi_cdf_.emplace_back();
      mw_phi_cdf_.back().assign(m.phi_cdf.data(), m.phi_cdf.size() * sizeof(float),
                                a ? "mw active lut Cph" : "mw cdf dphi",
                                a ? "mw active lut Cph up" : "mw cph up");
      records[i].mueller = mw_mueller_.back().get();
      records[i].cos_cdf = mw_cos_cdf_.back().get();
      records[i].phi_cdf = mw_phi_cdf_.back().get();
    }
    if (m.type == kMicrowaveTrunk && !m.specular.empty() && m.n_cos > 0) {
      mw_specular_.emplace_back();
      mw_specular_.back().assign(m.specular.data(), m.specular.size() * sizeof(float),
                                 a ? "mw active specular lut" : "mw specular lut",
                                 a ? "mw active specular up" : "mw specular up");
      records[i].specular = mw_specular_.back().get();
    }
  }
  const size_t record_bytes = records.size() * sizeof(MicrowaveMaterialRecord);
  if (mw_materials_.size() != record_bytes)
    mw_materials_.allocate(record_bytes, a ? "mw active mats" : "mw mats");
  mw_materials_.upload(records.data(), record_bytes, a ? "mw active mats up" : "mw mats up");
  if (!plan.material_map.empty())
    mw_map_.assign(plan.material_map.data(), plan.material_map.size() * sizeof(int32_t),
                   a ? "mw active map" : "mw map", a ? "mw active map up" : "mw map up");
  mw_response_.assign(plan.response.data(), plan.response.size() * sizeof(float),
                      "mw response tables", "mw response tables up");

  optix::MicrowaveBuffers b;
  b.film = mw_film_.get();
  b.materials = mw_materials_.get();
  b.material_map = mw_map_.get();
  b.hits = mw_hits_.get();
  b.rng = mw_rng_.get();
  b.response = mw_response_.get();
  const optix::MicrowaveLaunchParams p =
      optix::microwave_params(scene.launch_scene_block(), plan, req, b);
  if (mw_params_.empty())
    mw_params_.allocate(sizeof p, a ? "mw active params" : "mw params");
  mw_params_.upload(&p, sizeof p, a ? "mw active params up" : "mw params up");
  ledger_.require(a ? kActiveMicrowaveTable : kMicrowaveTable, scene.geometry_id(),
                  a ? "launch mw active" : "launch mw");
  optix::check(optix::table().launch(pipeline(a ? kActiveMicrowave : kPassiveMicrowave),
                                     context_->stream(), mw_params_.get(), sizeof p,
                                     &table(a ? kActiveMicrowaveTable : kMicrowaveTable),
                                     p.width, p.height, 1),
               a ? "launch mw active" : "launch mw");
  synchronize(a ? "launch mw active" : "launch mw");
  return download<float>(mw_film_, plan.pixels * req.n_channels,
                         a ? "download mw active" : "download mw");
}

}  // namespace velm
