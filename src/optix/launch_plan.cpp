#include "optix/launch_plan.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace velm::optix {

namespace {

constexpr const char* kNotBuiltLong = "Scene not built. Call scene.build() first.";
constexpr const char* kNotBuiltShort = "Scene not built.";

BuiltScene built_scene(const SceneDescription& d, const SceneFacts& facts) {
  return {facts.built, instance_conditioning(d)};
}

LaunchParams zeroed() {
  LaunchParams p;
  std::memset(static_cast<void*>(&p), 0, sizeof p);
  return p;
}

void set_paths(LaunchParams& p, const PathBuffers& paths) {
  p.path_hits = paths.hits;
  p.path_rng = paths.rng;
  p.paths_per_launch = paths.paths;
  p.path_throughput = paths.throughput;
  p.path_radiance = paths.radiance;
}

// The launches of a photon simulation read the scene's band count; the caller's num_bands only
// shapes the returned arrays, so the two must agree.
void check_bands(const SceneDescription& d, const std::string& who, int num_bands) {
  if (num_bands != d.num_bands())
    throw std::invalid_argument(who + ": num_bands (" + std::to_string(num_bands) +
                                ") must equal the scene's band count (" +
                                std::to_string(d.num_bands()) + ", set_num_bands)");
}

// Per-primitive values are uploaded for the primitive count of the build they were set after; a
// later build with another count leaves them describing other primitives.
void check_overrides(const SceneDescription& d, const SceneFacts& facts, const std::string& who) {
  const PrimitiveOverrides& o = d.primitive_overrides();
  const size_t n = static_cast<size_t>(facts.n_primitives);
  auto check = [&](size_t size, size_t expected, const char* what, const char* setter) {
    if (size != 0 && size != expected)
      throw std::invalid_argument(who + ": the per-primitive " + what + " hold " +
                                  std::to_string(size) + " values but the scene has " +
                                  std::to_string(n) + " primitives; " + setter +
                                  " again after the last build");
  };
  check(o.temperatures.size(), n, "temperatures", "set_primitive_temperatures");
  check(o.emissivities.size(), n, "emissivities", "set_primitive_emissivities");
  check(o.sif_spectra.size(), n * static_cast<size_t>(std::max(o.n_sif_bands, 0)), "SIF spectra",
        "set_primitive_sif_spectra");
}

}  // namespace

// ---- backward ----------------------------------------------------------------------------------

BackwardPlan plan_backward(const SceneDescription& d, const SceneFacts& facts, int spp,
                           int max_depth, uint64_t seed) {
  if (!facts.built) throw std::runtime_error(kNotBuiltLong);
  check_backward(d, built_scene(d, facts), spp, "simulate");
  check_overrides(d, facts, "simulate");
  BackwardPlan plan;
  plan.width = d.sensor().width;
  plan.height = d.sensor().height;
  plan.bands = d.num_bands();
  plan.spp = spp;
  plan.max_depth = max_depth;
  plan.seed = seed;
  if (plan.empty()) return plan;
  const uint64_t w = static_cast<uint64_t>(plan.width), h = static_cast<uint64_t>(plan.height);
  plan.rows_per_launch =
      static_cast<uint32_t>(std::max<uint64_t>(1, std::min(kBackwardLaunchPixels / w, h)));
  plan.launches_per_pass =
      static_cast<uint32_t>((h + plan.rows_per_launch - 1) / plan.rows_per_launch);
  plan.paths = w * plan.rows_per_launch;
  if (plan.paths > kMaxLaunchSize)
    throw std::invalid_argument("simulate: an image row of " + std::to_string(w) +
                                " pixels is too wide for one launch");
  checked_count({static_cast<int64_t>(plan.paths), std::max(plan.bands, 1)}, 2 * sizeof(float),
                "simulate: the per-path buffers");
  return plan;
}

uint32_t backward_launch_rows(const BackwardPlan& plan, uint32_t launch) {
  const uint64_t first = static_cast<uint64_t>(launch) * plan.rows_per_launch;
  return static_cast<uint32_t>(
      std::min<uint64_t>(plan.rows_per_launch, static_cast<uint64_t>(plan.height) - first));
}

LaunchParams backward_params(const LaunchSceneBlock& scene, const BackwardPlan& plan,
                             DevicePtr film, const PathBuffers& paths) {
  LaunchParams p = zeroed();
  p.film = film;
  p.width = static_cast<uint32_t>(plan.width);
  p.height = static_cast<uint32_t>(plan.height);
  p.scene = scene;
  set_paths(p, paths);
  p.num_bands = plan.bands;
  p.max_depth = plan.max_depth;
  p.rr_depth = 3;
  p.samples = plan.spp;
  p.seed = plan.seed;
  return p;
}

void set_backward_launch(LaunchParams& p, const BackwardPlan& plan, uint32_t pass,
                         uint32_t launch) {
  p.pass_index = pass;
  p.batch_index = pass;
  p.first_row = launch * plan.rows_per_launch;
  p.rows = backward_launch_rows(plan, launch);
}

// ---- photon batches ----------------------------------------------------------------------------

PhotonBatches photon_batches(int64_t num_photons) {
  PhotonBatches b;
  b.total = num_photons;
  const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(num_photons, 1)),
                                        kPhotonBatch);
  b.batch = static_cast<uint32_t>((n + kPhotonRowWidth - 1) / kPhotonRowWidth * kPhotonRowWidth);
  return b;
}

uint32_t PhotonBatches::photons(uint64_t b) const {
  const uint64_t first = b * batch;
  return static_cast<uint32_t>(std::min<uint64_t>(batch, static_cast<uint64_t>(total) - first));
}

void set_photon_batch(LaunchParams& p, const PhotonBatches& batches, uint64_t b) {
  const uint32_t rows = batches.rows(b);
  p.width = kPhotonRowWidth;
  p.height = rows;
  p.paths_per_launch = rows * kPhotonRowWidth;
  p.photons_in_launch = batches.photons(b);
  p.pass_index = static_cast<uint32_t>(b);
  p.batch_index = static_cast<uint32_t>(b);
}

// ---- forward -----------------------------------------------------------------------------------

static void set_photon_grid(PhotonGrid& g, const SceneDescription& d, const std::string& who,
                            int32_t nx, int32_t ny, int32_t bands, int64_t num_photons) {
  g.nx = nx;
  g.ny = ny;
  g.bands = bands;
  g.extent = photon_extent(d, who);
  g.dx = static_cast<float>(g.extent.sx) / nx;
  g.dy = static_cast<float>(g.extent.sy) / ny;
  g.photon_energy = g.extent.sx * g.extent.sy / static_cast<double>(num_photons);
  g.batches = photon_batches(num_photons);
}

// The launch record's fields both photon launches set alike.
static LaunchParams photon_params(const LaunchSceneBlock& scene, const PhotonGrid& g,
                                  const PathBuffers& paths) {
  LaunchParams p = zeroed();
  p.width = kPhotonRowWidth;
  p.scene = scene;
  set_paths(p, paths);
  p.num_bands = g.bands;
  p.max_depth = g.max_depth;
  p.rr_depth = g.rr_depth;
  p.samples = 1;
  p.photon_energy = g.photon_energy;
  p.prob_sun = g.prob_sun;
  p.seed = g.seed;
  return p;
}

ForwardPlan plan_forward(const SceneDescription& d, const SceneFacts& facts,
                         const ForwardRequest& req) {
  const std::string who = "simulate_forward";
  if (!facts.built) throw std::runtime_error(kNotBuiltShort);
  check_layer_heights(req.layer_heights, who, "layer_heights needs at least 2 values");
  ForwardPlan plan;
  plan.views = view_directions(req.brf_directions, req.num_brf_dirs, who);
  check_bands(d, who, req.num_bands);
  check_photon_request(d, built_scene(d, facts), who, req.nx, req.ny, req.num_photons,
                       req.num_bands, req.prob_sun);
  set_photon_grid(plan, d, who, req.nx, req.ny, req.num_bands, req.num_photons);
  plan.nz = static_cast<int32_t>(req.layer_heights.size()) - 1;
  plan.grid_values = checked_count({plan.nz, req.ny, req.nx, plan.bands}, sizeof(double),
                                   who + ": the grid");
  plan.per_leaf = req.per_leaf;
  if (req.per_leaf) {
    plan.leaf_offsets.push_back(0);
    for (const InstanceRecord& inst : d.instances())
      plan.leaf_offsets.push_back(plan.leaf_offsets.back() +
                                  d.meshes()[inst.mesh_id].triangles.size());
    plan.total_leaves = plan.leaf_offsets.back();
    if (plan.total_leaves > UINT32_MAX)
      throw std::invalid_argument(who + ": the per-leaf tally holds more than 2^32 - 1 leaves");
    checked_count({static_cast<int64_t>(plan.total_leaves), plan.bands}, sizeof(double),
                  who + ": the per-leaf tally");
  }
  check_terrain_instance(d, req.terrain_instance_id, who);
  plan.terrain_instance = req.terrain_instance_id;
  plan.layer_heights = req.layer_heights;
  plan.max_depth = req.max_depth;
  plan.prob_sun = req.prob_sun;
  plan.seed = req.seed;
  return plan;
}

LaunchParams forward_params(const LaunchSceneBlock& scene, const ForwardPlan& plan,
                            const ForwardBuffers& b, const PathBuffers& paths) {
  LaunchParams p = photon_params(scene, plan, paths);
  p.fwd_grid = b.grid;
  p.fwd_nx = plan.nx;
  p.fwd_ny = plan.ny;
  p.fwd_layers = plan.nz;
  p.fwd_cell_x = plan.dx;
  p.fwd_cell_y = plan.dy;
  p.fwd_layer_heights = b.layers;
  p.fwd_leaf = plan.per_leaf ? b.leaf : 0;
  p.fwd_leaf_offsets = plan.per_leaf ? b.leaf_offsets : 0;
  p.fwd_leaf_total = static_cast<uint32_t>(plan.total_leaves);
  p.fwd_per_leaf = plan.per_leaf ? 1 : 0;
  p.fwd_terrain = plan.terrain_instance >= 0 ? b.terrain : 0;
  p.fwd_terrain_instance = plan.terrain_instance;
  p.fwd_brf_directions = plan.views.empty() ? 0 : b.brf_directions;
  p.fwd_brf = plan.views.empty() ? 0 : b.brf;
  p.fwd_albedo = plan.views.empty() ? 0 : b.albedo;
  p.fwd_num_brf_dirs = static_cast<int32_t>(plan.views.size());
  p.fwd_layer_top = plan.layer_heights.back();
  return p;
}

// ---- flux --------------------------------------------------------------------------------------

FluxPlan plan_flux(const SceneDescription& d, const SceneFacts& facts, const FluxRequest& req) {
  const std::string who = "simulate_flux";
  if (!facts.built) throw std::runtime_error(kNotBuiltShort);
  if (req.nx < 1 || req.ny < 1) throw std::invalid_argument("simulate_flux: nx and ny must be > 0");
  if (req.num_photons < 1)
    throw std::invalid_argument("simulate_flux: num_photons must be > 0");
  const RepetitionTile& tile = d.repetition();
  const SensorBlock& sensor = d.sensor();
  if (!(tile.x_size > 0.f || sensor.ortho_width > 0.f) ||
      !(tile.y_size > 0.f || sensor.ortho_height > 0.f))
    throw std::invalid_argument("simulate_flux: scene extent unknown");
  if (req.max_bounces < 0)
    throw std::invalid_argument("simulate_flux: max_bounces must not be negative");
  check_bands(d, who, req.num_bands);
  check_photon_request(d, built_scene(d, facts), who, req.nx, req.ny, req.num_photons,
                       req.num_bands, req.prob_sun);
  FluxPlan plan;
  set_photon_grid(plan, d, who, req.nx, req.ny, req.num_bands, req.num_photons);
  plan.cells = checked_count({req.ny, req.nx, plan.bands}, sizeof(double), who + ": the flux grid");
  plan.max_depth = req.max_depth;
  plan.rr_depth = req.rr_depth;
  plan.max_bounces = req.max_bounces;
  plan.decompose = req.decompose;
  plan.prob_sun = req.prob_sun;
  plan.seed = req.seed;
  return plan;
}

LaunchParams flux_params(const LaunchSceneBlock& scene, const FluxPlan& plan,
                         const FluxBuffers& b, const PathBuffers& paths) {
  LaunchParams p = photon_params(scene, plan, paths);
  p.flux_down = b.down;
  p.flux_up = b.up;
  p.flux_down_direct = plan.decompose ? b.direct : 0;
  p.flux_down_diffuse = plan.decompose ? b.diffuse : 0;
  p.flux_nx = plan.nx;
  p.flux_ny = plan.ny;
  p.flux_cell_x = plan.dx;
  p.flux_cell_y = plan.dy;
  p.flux_max_bounces = plan.max_bounces;
  return p;
}

// ---- energy balance ----------------------------------------------------------------------------

std::vector<std::pair<int32_t, int32_t>> energy_balance_chunks(int32_t n_bands) {
  std::vector<std::pair<int32_t, int32_t>> out;
  for (int32_t c = 0; c < n_bands; c += kEnergyBalanceChunk)
    out.emplace_back(c, std::min(kEnergyBalanceChunk, n_bands - c));
  return out;
}

EnergyBalancePlan plan_energy_balance(const SceneDescription& d, const SceneFacts& facts,
                                      const EnergyBalanceRequest& req, bool multiband) {
  const std::string who = multiband ? "run_energy_balance_multiband" : "run_energy_balance";
  if (!facts.built) throw std::runtime_error(kNotBuiltLong);
  const Vec3 sun = check_energy_balance(req, multiband, facts.n_primitives, who);
  if (facts.max_mesh_triangles == 0 || facts.lookup_instances == 0)
    throw std::runtime_error(multiband
                                 ? "EB multiband RRT: scene has no geometry. Call scene.build() first."
                                 : "EB RRT: scene has no geometry. Call scene.build() first.");
  // (The scene refuses temperatures and emissivities outside their ranges when they are set.)
  check_overrides(d, facts, who);
  EnergyBalancePlan plan;
  plan.multiband = multiband;
  plan.n_primitives = facts.n_primitives;
  plan.bands = multiband ? req.n_bands : 1;
  plan.sun = sun;

  // Launch pieces of at most 2^30 indices.
  const uint64_t width = facts.max_mesh_triangles;
  if (width > kMaxLaunchSize)
    throw std::invalid_argument(who + ": a mesh has too many triangles for one launch");
  const uint32_t instances_per = static_cast<uint32_t>(
      std::min<uint64_t>(facts.lookup_instances, kMaxLaunchSize / width));
  const uint32_t samples_per = static_cast<uint32_t>(std::min<uint64_t>(
      static_cast<uint64_t>(req.n_samples), kMaxLaunchSize / (width * instances_per)));
  for (uint32_t i = 0; i < facts.lookup_instances; i += instances_per)
    for (uint32_t s = 0; s < static_cast<uint32_t>(req.n_samples); s += samples_per)
      plan.launches.push_back({i, std::min(instances_per, facts.lookup_instances - i), s,
                               std::min(samples_per, static_cast<uint32_t>(req.n_samples) - s)});
  return plan;
}

LaunchParams energy_balance_params(const LaunchSceneBlock& scene, const EnergyBalancePlan& plan,
                                   const EnergyBalanceRequest& req, int32_t chunk_bands,
                                   const EnergyBalanceBuffers& b) {
  LaunchParams p = zeroed();
  p.scene = scene;
  p.eb_samples = req.n_samples;
  p.seed = req.seed;
  p.eb_sun_direction[0] = plan.sun.x;
  p.eb_sun_direction[1] = plan.sun.y;
  p.eb_sun_direction[2] = plan.sun.z;
  if (!plan.multiband) {
    p.eb_band_type = req.band_type;
    p.eb_sun_irradiance = req.sun_irradiance;
    p.eb_sky_diffuse = req.sky_diffuse_radiance;
    p.eb_sky_longwave = req.sky_lw_radiance;
    p.eb_top = b.top;
    p.eb_bottom = req.two_sided ? b.bottom : 0;
    p.eb_sw_albedos = req.sw_albedos.empty() ? 0 : b.albedos;
  } else {
    p.ebm_bands = chunk_bands;
    p.ebm_sun_irradiance = b.sun;
    p.ebm_sky_diffuse = b.sky;
    p.ebm_top = b.top;
    p.ebm_bottom = req.two_sided ? b.bottom : 0;
    p.ebm_sw_albedos = req.sw_albedos.empty() ? 0 : b.albedos;
  }
  return p;
}

void set_energy_balance_launch(LaunchParams& p, const EnergyBalanceLaunch& launch) {
  // The first instance and the first sample of this piece of the launch (all zero when one
  // launch covers the call).
  p.first_row = launch.first_instance;
  p.pass_index = launch.first_sample;
  p.batch_index = launch.first_sample;
}

// ---- microwave ---------------------------------------------------------------------------------

MicrowavePlan plan_optix_microwave(const SceneDescription& d, const SceneFacts& facts,
                                   const MicrowaveRequest& req, DihedralCache* cache) {
  return plan_microwave(d, built_scene(d, facts), req,
                        req.active ? "simulate_active_microwave" : "simulate_microwave", cache,
                        kMaxLaunchSize);
}

MicrowaveLaunchParams microwave_params(const LaunchSceneBlock& scene, const MicrowavePlan& plan,
                                       const MicrowaveRequest& req, const MicrowaveBuffers& b) {
  MicrowaveLaunchParams p;
  std::memset(static_cast<void*>(&p), 0, sizeof p);
  p.film = b.film;
  p.width = static_cast<uint32_t>(plan.width);
  p.height = static_cast<uint32_t>(plan.height);
  p.n_channels = req.n_channels;
  p.response_size = kResponseTableSize;
  p.ias_handle = scene.ias_handle;
  p.materials = b.materials;
  p.material_count = static_cast<uint32_t>(plan.records.size());
  p.material_map = plan.material_map.empty() ? 0 : b.material_map;
  p.frequency = req.frequency;
  p.wavelength = plan.wavelength;
  p.air_temperature = req.air_temperature;
  p.atm_tau = req.atm_tau;
  p.sensor = scene.sensor;
  p.max_depth = req.max_depth;
  p.spp = req.spp;
  p.response_tables = b.response;
  p.pixel_hits = b.hits;
  p.pixel_rng = b.rng;
  p.pixel_count = static_cast<uint32_t>(plan.pixels);
  p.scene_size[0] = scene.scene_size[0];
  p.scene_size[1] = scene.scene_size[1];
  p.scene_z_max = scene.domain_max[2];
  p.repetitions = scene.repetitions;
  return p;
}

// ---- LiDAR -------------------------------------------------------------------------------------

LidarPlan plan_lidar(const SceneDescription& d, const SceneFacts& facts,
                     const lidar::LidarRequest& r) {
  if (!facts.built) throw std::runtime_error(kNotBuiltShort);
  if (r.num_pulses < 1) throw std::invalid_argument("No pulses to simulate.");
  lidar::check_lidar_request(r);
  LidarPlan plan;
  plan.pulses = r.num_pulses;
  plan.bins = lidar::range_bin_count(r.min_range, r.max_range, r.range_resolution);
  plan.wavelengths = r.num_wavelengths;
  if (!r.direct_mode) {
    lidar::WaveformSettings ws;
    ws.num_bins = plan.bins;
    ws.num_wavelengths = r.num_wavelengths;
    ws.range_resolution = r.range_resolution;
    ws.min_range = r.min_range;
    ws.pulse_fwhm_ns = r.pulse_fwhm_ns;
    ws.peak_threshold = r.peak_threshold;
    ws.max_returns_per_pulse = r.max_returns_per_pulse;
    plan.kernel = lidar::WaveformProcessor(ws).kernel();
  }
  lidar::check_waveform_size(r, plan.bins);
  ScenePrerequisites need;
  need.materials = false;
  need.sun_direction = false;
  check_scene_for_simulation(d, built_scene(d, facts), "simulate_lidar", 1, need);
  std::vector<uint32_t> meshes;
  for (const InstanceRecord& inst : d.instances()) meshes.push_back(inst.mesh_id);
  lidar::check_lidar_materials(d, meshes, r);
  plan.beam = r.direct_mode ? std::vector<lidar::BeamSample>{{0.f, 0.f, 1.f}}
                            : lidar::make_beam_pattern(r.beam_samples_per_dim);
  plan.directions = lidar::unit_pulse_directions(r);
  plan.waveform_floats = static_cast<uint64_t>(plan.pulses) * static_cast<uint64_t>(plan.bins) *
                         static_cast<uint64_t>(plan.wavelengths);
  plan.paths = static_cast<uint64_t>(plan.beam.size()) * static_cast<uint64_t>(plan.pulses);
  if (plan.paths > kMaxLaunchSize)
    throw std::invalid_argument("simulate_lidar: " + std::to_string(plan.pulses) + " pulses of " +
                                std::to_string(plan.beam.size()) +
                                " beam samples exceed one launch (2^30 rays); split the pulses");
  if (!r.direct_mode &&
      static_cast<uint64_t>(plan.pulses) * static_cast<uint64_t>(plan.bins) >
          uint64_t{0x7FFFFFFF} * 256)
    throw std::invalid_argument("simulate_lidar: too many pulses x bins for the waveform kernels");
  return plan;
}

LaunchParams lidar_params(const LaunchSceneBlock& scene, const LidarPlan& plan,
                          const lidar::LidarRequest& r, const LidarBuffers& b,
                          const PathBuffers& paths) {
  LaunchParams p = zeroed();
  p.scene = scene;
  p.path_hits = paths.hits;
  p.paths_per_launch = paths.paths;
  p.num_bands = scene.num_bands;
  p.max_depth = 1;
  p.rr_depth = 999;
  p.batch_index = 1;
  p.lidar_origins = b.origins;
  p.lidar_directions = b.directions;
  p.lidar_num_pulses = plan.pulses;
  p.lidar_beam_offsets = b.beam_offsets;
  p.lidar_beam_weights = b.beam_weights;
  p.lidar_beam_samples = static_cast<int32_t>(plan.beam.size());
  p.lidar_beam_half_angle = r.beam_half_angle_rad;
  p.lidar_pulse_energy = r.pulse_energy;
  p.lidar_sensor_area = r.sensor_area;
  p.lidar_range_resolution = r.range_resolution;
  p.lidar_min_range = r.min_range;
  p.lidar_max_range = r.max_range;
  p.lidar_bins = plan.bins;
  p.lidar_wavelengths = plan.wavelengths;
  p.lidar_one = 1;
  p.lidar_raw_waveform = r.direct_mode ? 0 : b.raw;
  p.lidar_convolved_waveform = b.convolved;
  p.lidar_return_slots = b.slots;
  p.lidar_total_slots = plan.pulses * r.max_returns_per_pulse;
  p.lidar_kernel = b.kernel;
  p.lidar_kernel_length = static_cast<int32_t>(plan.kernel.taps.size());
  p.lidar_kernel_half_width = plan.kernel.half_width;
  p.lidar_peak_threshold = r.peak_threshold;
  p.lidar_max_returns = r.max_returns_per_pulse;
  p.lidar_direct_mode = r.direct_mode ? 1 : 0;
  if (r.direct_mode) {
    p.lidar_direct_points = b.direct_points;
    p.lidar_direct_count = b.direct_count;
    p.lidar_direct_pulses = plan.pulses;
  }
  return p;
}

std::vector<float> beam_offsets(const std::vector<lidar::BeamSample>& beam) {
  std::vector<float> out;
  for (const lidar::BeamSample& s : beam) {
    out.push_back(s.u);
    out.push_back(s.v);
  }
  return out;
}

std::vector<float> beam_weights(const std::vector<lidar::BeamSample>& beam) {
  std::vector<float> out;
  for (const lidar::BeamSample& s : beam) out.push_back(s.weight);
  return out;
}

std::vector<float> direct_point_records(const float* points, uint32_t count) {
  // The device appends points in the order pulses finish; sorted by pulse, as on the CPU.
  std::vector<uint32_t> order(count);
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return points[6 * a + 4] < points[6 * b + 4]; });
  std::vector<float> out;
  out.reserve(static_cast<size_t>(count) * lidar::kPointFields);
  for (uint32_t i : order) {
    const float* q = points + 6 * static_cast<size_t>(i);
    const float rec[lidar::kPointFields] = {q[0], q[1], q[2], q[3], 1.f, 1.f, q[5], q[4]};
    out.insert(out.end(), rec, rec + lidar::kPointFields);
  }
  return out;
}

std::vector<float> slot_point_records(const std::vector<float>& slots,
                                      const std::vector<int32_t>& counts, int32_t max_returns) {
  std::vector<float> out;
  for (size_t p = 0; p < counts.size(); ++p) {
    const int32_t n = std::min(counts[p], max_returns);
    const float* first = slots.data() + p * static_cast<size_t>(max_returns) * lidar::kPointFields;
    out.insert(out.end(), first, first + static_cast<size_t>(n) * lidar::kPointFields);
  }
  return out;
}

}  // namespace velm::optix
