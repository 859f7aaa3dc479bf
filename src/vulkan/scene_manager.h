// VulkanSceneManager: the Vulkan backend's scene. It keeps the shared scene description, turns
// its geometry into one BLAS per mesh and a TLAS over the instances, owns the compute pipelines
// made from the shader files, and runs the ray queries and simulations on its context.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scene/scene_description.h"
#include "sim/setup.h"
#include "vulkan/accel.h"
#include "vulkan/buffer.h"
#include "vulkan/context.h"
#include "vulkan/descriptors.h"
#include "vulkan/mode_records.h"
#include "vulkan/pipelines.h"
#include "vulkan/primitives.h"
#include "vulkan/tables.h"

namespace velm::vulkan {

// Rays of one trace_closest call: `count` rows of three floats each for origins and directions
// (directions need not be unit length), one [t_min, t_max] for all.
struct TraceRays {
  const float* origins = nullptr;
  const float* directions = nullptr;
  size_t count = 0;
  float t_min = 1e-4f;
  float t_max = 1e30f;
};

// Caller-owned result columns with room for `count` rays: normals take three floats per ray,
// reflectance `bands` floats per ray.
struct TraceResults {
  float* t = nullptr;
  int32_t* instance_id = nullptr;
  int32_t* primitive_id = nullptr;
  int32_t* global_primitive_id = nullptr;
  bool* hit = nullptr;
  bool* is_back_face = nullptr;
  float* normal = nullptr;
  float* geometric_normal = nullptr;
  int32_t* material_id = nullptr;
  float* reflectance = nullptr;
  int32_t bands = 0;
};

// Where the time of the last trace_closest went (seconds).
struct TraceProfile {
  double prepare = 0.0;  // ray records written into the ray buffer (and buffer growth)
  double submit = 0.0;   // recording, submission and the wait for completion
  double device = -1.0;  // between the timestamps around the dispatches; -1 without timestamps
  double results = 0.0;  // hit records turned into the result columns
  uint64_t rays = 0;
  uint32_t dispatches = 0;
  uint64_t capacity = 0;  // rays the trace buffers hold (they only grow)
};

// What a simulation calls back between its dispatches or batches, on the calling thread.
using velm::HostHooks;  // progress (done, total, elapsed ms) and Ctrl-C polls between dispatches

// Where the last simulation's time went, for the benchmarks.
struct SimulationProfile {
  double seconds = 0.0;  // recording, submission and the waits of its dispatches
  uint64_t rays = 0;     // rays its shaders traced (closest hits and occlusion tests)
  uint64_t items = 0;    // paths (pixel samples) or photons
  uint32_t dispatches = 0;
  uint64_t rays_pending = 0;  // rays whose query counts wait in the microwave work area
};

using velm::FluxRequest;
using velm::FluxResult;  // flux maps of ny x nx cells, element (j, i, b) at (j nx + i) bands + b

// The scene tables both photon modes bind (bindings 1 to 6 and the vertices) and the buffers
// every photon dispatch needs.
struct PhotonSceneBuffers {
  VulkanBuffer normals, triangles, meshes, instances, materials, spectral, vertices;
  VulkanBuffer unused;  // stands in for the bindings a mode leaves free
  VulkanBuffer params;  // the ForwardParams record
};

struct RadiationRequest {
  int32_t nx = 1, ny = 1;
  std::vector<float> layer_heights;
  int64_t num_photons = 0;
  int32_t num_bands = 1;
  bool per_leaf = false;
  float prob_sun = 1.f;
  int32_t max_depth = 16;
  int32_t rr_depth = 3;
  int32_t terrain_instance_id = -1;
  uint64_t seed = 0;  // selects the photon streams (physics/pcg32.h seeded_sequence)
};

// Absorbed radiation: grid (layers, ny, nx, bands); leaf (primitives, bands) with per_leaf and
// at least one primitive; terrain (bands) with a terrain instance.
struct RadiationField {
  int32_t nx = 0, ny = 0, layers = 0, bands = 0;
  std::vector<float> grid, leaf, terrain;
};


// Absorbed radiation per primitive face: `bands` x `n_primitives` floats each, band-major (band b
// of primitive p at b P + p); `bottom` is empty unless both faces were asked for.
struct EnergyBalanceResult {
  int32_t bands = 0;
  int32_t n_primitives = 0;
  std::vector<float> top, bottom;
};

// The light of an energy-balance call, one value per band: sun irradiance on a surface facing the
// sun (W m^-2) and sky radiance (W m^-2 sr^-1); albedos empty or bands x P, band-major.
struct EnergyBalanceLight {
  std::vector<float> sun, sky;
  float sun_direction[3] = {0.f, 0.f, 1.f};
  std::vector<float> albedos;
};

// The inputs of run_microwave_wavefront as the caller gave them, every array flat (layouts in
// README.md and src/programs/vulkan/microwave_wavefront.comp).
struct MicrowaveRequest {
  bool active_mode = false;
  int32_t max_depth = 1;
  float air_temperature = 0.f;  // K
  float atmosphere_tau = 0.f;
  int32_t soil_count = 0, vegetation_count = 0, trunk_count = 0;
  int32_t response_table_size = 2;
  std::vector<float> origins, directions;  // four floats per ray
  std::vector<int32_t> material_map;
  std::vector<float> passive_soil, active_soil, smooth_soil;
  std::vector<float> vegetation_parameters, trunk_parameters;
  std::vector<float> trunk_response, trunk_dihedral, dihedral_ground;
  std::vector<uint32_t> lut_info;
  std::vector<float> mueller_lut, cosine_cdf, azimuth_cdf;
  uint64_t seed = 0;  // selects the ray streams
};

class VulkanSceneManager {
 public:
  // `trace_shader` is the generic trace shader's SPIR-V file; the other shaders are looked up
  // in its directory. The scene holds the context for as long as it lives.
  VulkanSceneManager(std::shared_ptr<VulkanContext> context, std::string trace_shader);
  ~VulkanSceneManager();
  VulkanSceneManager(const VulkanSceneManager&) = delete;
  VulkanSceneManager& operator=(const VulkanSceneManager&) = delete;

  SceneDescription& desc() { return desc_; }
  const SceneDescription& desc() const { return desc_; }
  VulkanContext& context() { return *ctx_; }
  const std::string& trace_shader() const { return pipelines_.trace_shader(); }
  VulkanPipelines& pipelines() { return pipelines_; }

  void update_instance_transform(int32_t id, const float* transform12) {
    desc_.update_instance_transform(id, transform12);
  }
  // Full build: every BLAS, the TLAS, bounds; the trace pipeline the first time.
  void build();
  // Rebuilds the TLAS from the current instance records; the BLASes stay.
  void refit_ias();
  // Keeps every structure (for changed materials or spectra); recomputes the bounds.
  void build_reuse_geometry();
  void clear_for_reuse();
  bool is_built() const { return desc_.is_built(); }
  bool has_meshes() const { return desc_.has_meshes(); }

  const SceneBounds& bounds() const { return bounds_; }
  float min_height() const { return bounds_.lo[2]; }
  float max_height() const { return bounds_.hi[2]; }
  int32_t n_primitives() const { return count_primitives(desc_); }
  bool populate_primitive_soa() const { return populate_soa_; }
  void set_populate_primitive_soa(bool enabled) {
    desc_.check_mutable();
    populate_soa_ = enabled;
  }

  // Closest hit of every ray with its ids, normals and per-band reflectance, in dispatches of at
  // most 2^19 rays with `hooks.poll` between them. Safe to call from several threads: calls on
  // one scene run one after another.
  void trace_closest(const TraceRays& rays, const TraceResults& out, const HostHooks& hooks);
  TraceProfile last_trace_profile() const;

  // Sensor image (height, width, bands) by backward path tracing: the mean over `spp` samples
  // per pixel, as the shader leaves it in its accumulator. Every simulation takes the run's
  // `seed` (physics/pcg32.h seeded_sequence), 0 for the unseeded streams.
  std::vector<float> simulate_backward(int32_t spp, int32_t max_depth, const HostHooks& hooks,
                                       uint64_t seed = 0);
  // Flux maps and the absorbed radiation field by forward photon tracing.
  FluxResult simulate_flux(const FluxRequest& request, const HostHooks& hooks);
  RadiationField simulate_forward_radiation(const RadiationRequest& request,
                                            const HostHooks& hooks);
  SimulationProfile last_simulation_profile() const;

  // Absorbed short-wave (band_type 0) or long-wave (1) flux density on the faces of every
  // primitive, by reverse ray tracing with n_samples cosine-weighted rays per face.
  EnergyBalanceResult run_energy_balance(int32_t band_type, int32_t n_samples,
                                         float sun_irradiance, float sky_diffuse_radiance,
                                         float sky_lw_radiance, const float sun_direction[3],
                                         bool two_sided, std::vector<float> albedos,
                                         const HostHooks& hooks, uint64_t seed = 0);
  // Short-wave absorption in n_bands bands, 32 per dispatch.
  EnergyBalanceResult run_energy_balance_multiband(int32_t n_bands, int32_t n_samples,
                                                   EnergyBalanceLight light, bool two_sided,
                                                   const HostHooks& hooks, uint64_t seed = 0);
  // Brightness temperatures [T_H, T_V, T_3, T_4] (passive) or backscatter [HH, HV, VH, VV]
  // (active) of every ray: four floats per ray.
  std::vector<float> run_microwave_wavefront(const MicrowaveRequest& request,
                                             const HostHooks& hooks);

 private:
  // What the host needs to turn a hit into normals and ids, taken when the TLAS is built so it
  // always describes the geometry the TLAS holds.
  struct InstanceShading {
    Transform34 transform{};
    NormalMatrix normal_matrix;
    bool singular = false;
    uint32_t mesh = 0;
    int32_t material = -1;
    uint32_t first_primitive = 0;  // global primitive index of the instance's first triangle
  };
  struct MeshGpu {
    VulkanBuffer vertex_input;
    VulkanBuffer index_input;
    VulkanAccelStruct blas;
  };

  void release_structures() noexcept;
  void build_tlas();
  void check_instance_limits(size_t instance_count) const;
  size_t max_rays_per_dispatch() const;
  void grow_trace_buffers(size_t rays);
  void bind_trace_buffers();
  void write_rays(const TraceRays& rays, size_t first, size_t n);
  void dispatch_trace(size_t n, double& device_seconds);
  void read_hits(const TraceRays& rays, size_t first, size_t n, const TraceResults& out);

  // The scene tables of the simulation shaders from the description and the instances the TLAS
  // holds; a singular instance transform throws.
  SceneTables scene_tables() const;
  // Refuses a table that one storage binding cannot hold, naming it and the device's limit.
  void check_storage(uint64_t bytes, const char* what) const;
  // The forward parameters both transport modes share (extent, light, scene box, depths).
  ForwardParams forward_params(int64_t num_photons, int32_t bands, int32_t nx, int32_t ny,
                               float prob_sun, int32_t max_depth, int32_t rr_depth,
                               uint64_t seed) const;
  // The scene tables both photon modes bind, checked against the storage limit and uploaded.
  PhotonSceneBuffers upload_photon_scene(const SceneTables& t, const std::vector<float>& spectral);
  // Refuses more bands than one photon batch traces on this device.
  void check_forward_bands(int32_t nb, const char* who) const;
  // Runs the forward shader over num_photons in batches with the given bindings 1 to 16;
  // `params` has everything but the batch fields; `params_buffer` is the one bound at binding 11.
  void run_forward(ForwardParams& params, VulkanBuffer& params_buffer,
                   const std::vector<StorageBinding>& bindings, const std::string& mode,
                   int64_t num_photons, const HostHooks& hooks);

  // The TLAS's instances as the shaders see them: throws when the description has changed its
  // primitive count since the TLAS was built (a reuse build keeps the old structure).
  void check_tlas_primitives(const char* who) const;
  // One fused energy balance of 1 to 32 bands: the checks both public calls share, then the
  // device work in dispatches of bounded size with `hooks.poll` after each.
  EnergyBalanceResult fused_energy_balance(int32_t band_type, int32_t n_samples,
                                           const EnergyBalanceLight& light, int32_t bands,
                                           bool two_sided, const HostHooks& hooks,
                                           uint64_t seed);

  // Declared first, destroyed last: everything below lives on this context's device.
  std::shared_ptr<VulkanContext> ctx_;
  SceneDescription desc_{Flavor::Vulkan};
  bool populate_soa_ = false;
  SceneBounds bounds_;

  std::vector<MeshGpu> meshes_;
  VulkanAccelStruct tlas_;
  VulkanBuffer tlas_instances_;
  std::vector<InstanceShading> shading_;

  // trace_closest: ray and hit buffers (32 bytes per ray each), capacity in rays.
  mutable std::mutex trace_mutex_;  // one trace at a time per scene (buffers, descriptor set)
  VulkanBuffer trace_rays_;
  VulkanBuffer trace_hits_;
  size_t trace_capacity_ = 0;
  VkQueryPool timestamps_ = VK_NULL_HANDLE;
  TraceProfile profile_;

  // Simulations: one at a time per scene (the optical buffers are shared between calls); a
  // progress callable may start another simulation of the scene from its own thread.
  mutable std::recursive_mutex simulation_mutex_;
  bool optical_running_ = false;
  SimulationProfile simulation_profile_;
  // The optical mode's buffers, kept between calls: bindings 1 to 12 and the image's read-back
  // twin (kOptical* in optical.cpp).
  std::array<VulkanBuffer, 13> optical_buffers_;
  // The energy-balance buffers (bindings 1 to 9) and the microwave buffers (bindings 1 to 19),
  // kept between calls; what they hold is per call.
  std::array<VulkanBuffer, 9> energy_buffers_;
  std::array<VulkanBuffer, 19> microwave_buffers_;

  VulkanPipelines pipelines_;
};

}  // namespace velm::vulkan
