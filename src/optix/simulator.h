// Simulator: the device programs of the OptiX backend. It loads the PTX modules from its
// directory, creates program groups and the five pipelines (main, energy balance, its multiband
// variant, passive and active microwave; the main pipeline is rebuilt with the LiDAR ray
// generation on first need), and builds the shader binding tables for a scene.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "optix/context.h"
#include "optix/device_buffer.h"
#include "optix/launch_records.h"
#include "optix/microwave_plan.h"
#include "optix/optix_loader.h"
#include "optix/scene_manager.h"

namespace velm {

struct EnergyBalanceOutput {
  std::vector<float> top, bottom;  // (bands, primitives); bottom empty unless two-sided
};

class Simulator {
 public:
  enum PipelineId { kMain, kEnergyBalance, kEnergyBalanceMultiband, kPassiveMicrowave,
                    kActiveMicrowave, kPipelineCount };
  enum TableId { kBackward, kForward, kFlux, kLidar, kEbTable, kEbMultibandTable,
                 kMicrowaveTable, kActiveMicrowaveTable, kTableCount };

  // Stores both; creates nothing on the GPU.
  Simulator(std::shared_ptr<OptiXContext> context, std::string ptx_dir);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  const OptiXContext& context() const { return *context_; }
  const std::string& ptx_dir() const { return ptx_dir_; }

  // Creates the main pipeline once; later calls do nothing.
  void init();
  // Each ensures the main pipeline first; a pipeline whose creation failed stays absent and is
  // tried again at the next call.
  void ensure_energy_balance();
  void ensure_energy_balance_multiband();
  void ensure_passive_microwave();
  void ensure_active_microwave();
  // Rebuilds the main pipeline with the LiDAR ray generation (once).
  void ensure_lidar();
  bool ready(PipelineId p) const { return pipelines_[p] != nullptr; }
  bool has_lidar() const { return lidar_ready_; }
  optix::Pipeline pipeline(PipelineId p) const { return pipelines_[p]; }

  // Refuses a scene built on another context (std::invalid_argument) or not built.
  void check_scene(const SceneManager& scene) const;

  // Binding tables for `scene`. Tables that borrow miss and hit records rebuild the table they
  // borrow from first, so they point at its current buffers.
  void build_backward_table(const SceneManager& scene);
  void build_forward_table(const SceneManager& scene);
  void build_flux_table(const SceneManager& scene);
  // Rebuilds the backward table only when the scene or its IAS changed since the last call.
  void build_lidar_table(const SceneManager& scene);
  void build_energy_balance_table(const SceneManager& scene);
  void build_energy_balance_multiband_table(const SceneManager& scene);
  void build_microwave_table(const SceneManager& scene);
  void build_active_microwave_table(const SceneManager& scene);
  const optix::ShaderBindingTable& table(TableId t) const { return tables_[t].sbt; }

  // ---- launches (simulator_launch.cpp) ----------------------------------------------------------
  // Each validates everything before any device work (launch_plan.h), runs its launches on the
  // scene's device data and downloads the results. `hooks` are called between passes or batches
  // on the calling thread; an exception from them stops the run and propagates.
  std::vector<float> simulate(const SceneManager& scene, int spp, int max_depth,
                              const HostHooks& hooks);  // (height, width, bands)
  ForwardResult simulate_forward(const SceneManager& scene, const ForwardRequest& req,
                                 const HostHooks& hooks);
  FluxResult simulate_flux(const SceneManager& scene, FluxRequest req, const HostHooks& hooks);
  EnergyBalanceOutput run_energy_balance(const SceneManager& scene,
                                         const optix::EnergyBalanceRequest& req, bool multiband);
  lidar::LidarResult simulate_lidar(const SceneManager& scene, const lidar::LidarRequest& req);
  // Passive brightness temperatures or active backscatter, (height, width, n_channels).
  std::vector<float> simulate_microwave(const SceneManager& scene,
                                        const optix::MicrowaveRequest& req);

 private:
  struct ShaderTable {
    optix::DeviceBuffer raygen, miss, hit;
    optix::ShaderBindingTable sbt{};
  };

  optix::Module module(const char* name);
  optix::ProgramGroup raygen_group(const char* label, const char* module, const char* entry);
  optix::ProgramGroup miss_group(const char* label, const char* module, const char* entry);
  optix::ProgramGroup hit_group(const char* label, const char* module, const char* entry);
  optix::ProgramGroup group(const char* label, uint32_t kind, const char* module,
                            const char* entry);
  optix::Pipeline create_pipeline(const std::vector<optix::ProgramGroup>& groups, bool microwave,
                                  unsigned max_trace_depth, unsigned max_traversable_depth,
                                  const char* label, const char* stack_label);
  void create_main(bool with_lidar);
  optix::SbtHeader header(const char* group_label) const;
  void set_raygen(ShaderTable& t, const char* group_label, const char* alloc_label,
                  const char* upload_label);
  void borrow(ShaderTable& t, const ShaderTable& from);

  std::shared_ptr<OptiXContext> context_;
  std::string ptx_dir_;
  // Optical, energy-balance and LiDAR modules declare LaunchParams, the microwave ones
  // MicrowaveLaunchParams; each set of modules is compiled and linked with its record's size.
  optix::CompileOptionsForAbi optical_options_;
  optix::CompileOptionsForAbi microwave_options_;
  const void* compile_options(bool microwave) const;
  optix::ModuleCompileOptions module_options_;
  std::map<std::string, optix::Module> modules_;
  std::vector<std::string> module_order_;
  std::map<std::string, optix::ProgramGroup> groups_;
  std::vector<std::string> group_order_;
  optix::Pipeline pipelines_[kPipelineCount] = {};
  bool lidar_ready_ = false;
  ShaderTable tables_[kTableCount];
  const SceneManager* lidar_scene_ = nullptr;
  optix::TraversableHandle lidar_ias_ = 0;

  // ---- launch buffers -----------------------------------------------------------------------------
  void launch(optix::Pipeline pipeline, optix::Stream stream, const optix::ShaderBindingTable& sbt,
              const optix::LaunchParams& params, uint32_t width, uint32_t height, uint32_t depth,
              const char* params_label, const char* launch_label);
  // The per-path buffers for `paths` paths of `bands` values: reallocated when either differs from
  // the last call, or (grow_only) only when more are needed.
  optix::PathBuffers path_buffers(uint64_t paths, int32_t bands, bool grow_only);
  EnergyBalanceOutput energy_balance_chunk(const SceneManager& scene,
                                           const optix::EnergyBalancePlan& plan,
                                           const optix::EnergyBalanceRequest& req);

  optix::DeviceBuffer params_;  // 1008 bytes
  optix::DeviceBuffer path_hits_, path_rng_, path_throughput_, path_radiance_;
  uint64_t path_count_ = 0;
  int32_t path_bands_ = 0;
  optix::DeviceBuffer film_;
  optix::DeviceBuffer fwd_grid_, fwd_layers_, fwd_leaf_, fwd_leaf_offsets_, fwd_terrain_,
      fwd_brf_directions_, fwd_brf_, fwd_albedo_;
  optix::DeviceBuffer flux_down_, flux_up_, flux_direct_, flux_diffuse_;
  optix::DeviceBuffer eb_top_, eb_bottom_, eb_albedos_;
  optix::DeviceBuffer ebm_top_, ebm_bottom_, ebm_sun_, ebm_sky_, ebm_albedos_;
  optix::DeviceBuffer lidar_origins_, lidar_directions_, lidar_beam_xy_, lidar_beam_weights_,
      lidar_raw_, lidar_convolved_, lidar_kernel_, lidar_ranges_, lidar_slots_, lidar_counts_,
      lidar_direct_points_, lidar_direct_count_;
  optix::DeviceBuffer mw_params_, mw_film_, mw_hits_, mw_rng_, mw_materials_, mw_map_,
      mw_response_;
  uint64_t mw_pixels_ = 0;
  int32_t mw_channels_ = 0;
  // The tables of the last microwave call's materials, freed by the next call.
  std::vector<optix::DeviceBuffer> mw_mueller_, mw_cos_cdf_, mw_phi_cdf_, mw_specular_;
  optix::DihedralCache mw_dihedral_cache_;
};

}  // namespace velm
