// What each OptiX launch decides before it touches the device: the validation of the scene and
// the request (with the launches' own messages first, then the checks every backend shares), the
// sizes of its buffers and launches, and the launch-parameter record the device programs read.
// Pure functions of the scene description and plain values, so all of it is tested without a
// GPU; the Simulator allocates what a plan asks for and fills in the device addresses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/waveform.h"
#include "optix/launch_records.h"
#include "optix/optix_abi.h"
#include "sim/energy_balance_setup.h"
#include "sim/lidar_setup.h"
#include "sim/microwave_plan.h"
#include "sim/setup.h"

namespace velm::optix {

// Largest number of launch indices of one optixLaunch (width x height x depth).
constexpr uint64_t kMaxLaunchSize = uint64_t{1} << 30;
// Pixels of one backward launch and photons of one batch.
constexpr uint64_t kBackwardLaunchPixels = 4194304;  // 2^22
constexpr uint64_t kPhotonBatch = 2097152;            // 2^21
constexpr uint32_t kPhotonRowWidth = 1024;

// What the plans need of a built OptiX scene besides its description.
struct SceneFacts {
  bool built = false;
  SceneBounds bounds;
  int64_t n_primitives = 0;  // 0 without per-primitive tables
  uint32_t lookup_instances = 0;
  uint32_t max_mesh_triangles = 0;
};

// The per-path scratch buffers of the optical launches.
struct PathBuffers {
  DevicePtr hits = 0;        // 64 bytes per path
  DevicePtr rng = 0;         // 16 bytes per path
  DevicePtr throughput = 0;  // bands floats per path
  DevicePtr radiance = 0;    // bands floats per path
  uint32_t paths = 0;
};
constexpr size_t kPathHitBytes = 64;
constexpr size_t kPathRngBytes = 16;

// ---- backward images ---------------------------------------------------------------------------

struct BackwardPlan {
  int32_t width = 0, height = 0, bands = 0;
  int32_t spp = 0, max_depth = 0;
  uint32_t rows_per_launch = 0;
  uint32_t launches_per_pass = 0;
  uint64_t paths = 0;  // width x rows per launch
  uint64_t seed = 0;
  bool empty() const { return width == 0 || height == 0; }
};
// "Scene not built. Call scene.build() first." when not built; then the checks of every backend's
// backward simulation. A sensor without pixels plans nothing (an empty image).
BackwardPlan plan_backward(const SceneDescription& d, const SceneFacts& facts, int spp,
                           int max_depth, uint64_t seed = 0);
LaunchParams backward_params(const LaunchSceneBlock& scene, const BackwardPlan& plan,
                             DevicePtr film, const PathBuffers& paths);
// Pass `pass`, launch `launch` of it: its first row and row count.
void set_backward_launch(LaunchParams& p, const BackwardPlan& plan, uint32_t pass,
                         uint32_t launch);
// Rows of launch `launch` of a pass.
uint32_t backward_launch_rows(const BackwardPlan& plan, uint32_t launch);

// ---- photon batches ---------------------------------------------------------------------------

// Batches of at most 2^21 photons, rounded up to whole rows of 1024: batch b holds photons
// [b * batch, min((b + 1) * batch, total)), launched as ceil(n / 1024) rows of 1024.
struct PhotonBatches {
  int64_t total = 0;
  uint32_t batch = 0;
  uint64_t count() const { return total <= 0 ? 0 : (static_cast<uint64_t>(total) + batch - 1) / batch; }
  uint32_t photons(uint64_t b) const;
  uint32_t rows(uint64_t b) const { return (photons(b) + kPhotonRowWidth - 1) / kPhotonRowWidth; }
};
PhotonBatches photon_batches(int64_t num_photons);
// The batch fields of the record: rows, paths, photons in launch, both batch indices. The device
// numbers photon i of batch b as b * 2^21 + i, which is its global index, as on the CPU.
void set_photon_batch(LaunchParams& p, const PhotonBatches& batches, uint64_t b);

// ---- forward radiation -------------------------------------------------------------------------

// What the forward and flux launches share: the horizontal grid over the photons' extent, the
// area each photon stands for and the photon batches.
// What the forward and flux launches share: the photons, their grid and their paths.
struct PhotonGrid {
  int32_t nx = 1, ny = 1, bands = 0;
  Extent extent{0.0, 0.0};
  float dx = 0.f, dy = 0.f;
  double photon_energy = 0.0;  // extent x * extent y / photons
  PhotonBatches batches;
  int32_t max_depth = 16, rr_depth = 3;
  float prob_sun = 1.f;
  uint64_t seed = 0;
};

struct ForwardPlan : PhotonGrid {
  int32_t nz = 0;
  uint64_t grid_values = 0;  // nz * ny * nx * bands
  bool per_leaf = false;
  std::vector<uint64_t> leaf_offsets;  // instances + 1 entries when per_leaf
  uint64_t total_leaves = 0;
  std::vector<Vec3> views;  // unit BRF directions
  int32_t terrain_instance = -1;
  std::vector<float> layer_heights;
};
ForwardPlan plan_forward(const SceneDescription& d, const SceneFacts& facts,
                         const ForwardRequest& req);

struct ForwardBuffers {
  DevicePtr grid = 0, layers = 0, leaf = 0, leaf_offsets = 0, terrain = 0, brf_directions = 0,
            brf = 0, albedo = 0;
};
LaunchParams forward_params(const LaunchSceneBlock& scene, const ForwardPlan& plan,
                            const ForwardBuffers& buffers, const PathBuffers& paths);

// ---- flux --------------------------------------------------------------------------------------

struct FluxPlan : PhotonGrid {
  uint64_t cells = 0;  // nx * ny * bands
  int32_t max_bounces = 0;
  bool decompose = false;
};
// `max_depth` is the request's after the VELM_MAX_DEPTH override.
FluxPlan plan_flux(const SceneDescription& d, const SceneFacts& facts, const FluxRequest& req);

struct FluxBuffers {
  DevicePtr down = 0, up = 0, direct = 0, diffuse = 0;
};
LaunchParams flux_params(const LaunchSceneBlock& scene, const FluxPlan& plan,
                         const FluxBuffers& buffers, const PathBuffers& paths);

// ---- energy balance ----------------------------------------------------------------------------

// The launches of one energy-balance call: width = largest mesh triangle count, height =
// instances, depth = samples, split (along the samples, then the instances) so that no launch
// exceeds 2^30 indices. Each piece carries its first sample and first instance.
struct EnergyBalanceLaunch {
  uint32_t first_instance, instances, first_sample, samples;
};
struct EnergyBalancePlan {
  bool multiband = false;
  int64_t n_primitives = 0;
  int32_t bands = 1;
  Vec3 sun{0.f, 0.f, 1.f};
  std::vector<EnergyBalanceLaunch> launches;
};
// The single-band call ("run_energy_balance: ...") and the multiband one
// ("run_energy_balance_multiband: ..."), with the messages of each: the checks every backend
// shares (sim/energy_balance_setup.h) and those of the scene's per-primitive tables.
EnergyBalancePlan plan_energy_balance(const SceneDescription& d, const SceneFacts& facts,
                                      const EnergyBalanceRequest& req, bool multiband);
// Chunks of at most 64 bands: (first band, bands).
std::vector<std::pair<int32_t, int32_t>> energy_balance_chunks(int32_t n_bands);
constexpr int32_t kEnergyBalanceChunk = 64;

struct EnergyBalanceBuffers {
  DevicePtr top = 0, bottom = 0, albedos = 0, sun = 0, sky = 0;
};
LaunchParams energy_balance_params(const LaunchSceneBlock& scene, const EnergyBalancePlan& plan,
                                   const EnergyBalanceRequest& req, int32_t chunk_bands,
                                   const EnergyBalanceBuffers& buffers);
void set_energy_balance_launch(LaunchParams& p, const EnergyBalanceLaunch& launch);

// ---- microwave ---------------------------------------------------------------------------------

// The plan of a microwave call (sim/microwave_plan.h) with this backend's names and its limit of
// one launch per image.
MicrowavePlan plan_optix_microwave(const SceneDescription& d, const SceneFacts& facts,
                                   const MicrowaveRequest& req, DihedralCache* cache = nullptr);

struct MicrowaveBuffers {
  DevicePtr film = 0, materials = 0, material_map = 0, hits = 0, rng = 0, response = 0;
};
MicrowaveLaunchParams microwave_params(const LaunchSceneBlock& scene, const MicrowavePlan& plan,
                                       const MicrowaveRequest& req, const MicrowaveBuffers& b);

// ---- LiDAR -------------------------------------------------------------------------------------

struct LidarPlan {
  int32_t pulses = 0, bins = 0, wavelengths = 1;
  std::vector<lidar::BeamSample> beam;  // the central ray alone in direct mode
  lidar::PulseKernel kernel;             // waveform mode
  std::vector<float> directions;         // unit pulse directions, 3 per pulse
  uint64_t waveform_floats = 0;          // pulses x bins x wavelengths
  uint64_t paths = 0;                    // beam samples x pulses
};
// "Scene not built." and "No pulses to simulate." first, then the checks every backend's LiDAR
// shares.
LidarPlan plan_lidar(const SceneDescription& d, const SceneFacts& facts,
                     const lidar::LidarRequest& req);

struct LidarBuffers {
  DevicePtr origins = 0, directions = 0, beam_offsets = 0, beam_weights = 0, raw = 0,
            convolved = 0, slots = 0, kernel = 0, direct_points = 0, direct_count = 0;
};
LaunchParams lidar_params(const LaunchSceneBlock& scene, const LidarPlan& plan,
                          const lidar::LidarRequest& req, const LidarBuffers& buffers,
                          const PathBuffers& paths);
// Beam offsets (u, v per sample) and weights as uploaded.
std::vector<float> beam_offsets(const std::vector<lidar::BeamSample>& beam);
std::vector<float> beam_weights(const std::vector<lidar::BeamSample>& beam);
// Direct-mode points (6 floats each: x, y, z, intensity, range, pulse) as point records of 8,
// in pulse order.
std::vector<float> direct_point_records(const float* points, uint32_t count);
// Returns of the waveform kernels as point records, pulse by pulse: the first
// min(count, max_returns) slots of each pulse.
std::vector<float> slot_point_records(const std::vector<float>& slots,
                                      const std::vector<int32_t>& counts, int32_t max_returns);

}  // namespace velm::optix
