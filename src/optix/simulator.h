// Simulator: the launches of the OptiX backend. It holds the device programs (PipelineSet: the
// PTX modules of its directory, program groups and the five pipelines), builds the shader binding
// tables for a scene, keeping track of which scene each was built for, and runs the launches.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "optix/context.h"
#include "optix/device_buffer.h"
#include "optix/launch_records.h"
#include "optix/optix_loader.h"
#include "optix/pipelines.h"
#include "optix/scene_manager.h"
#include "optix/table_ledger.h"

namespace velm {

class Simulator {
 public:
  using PipelineId = optix::PipelineId;
  static constexpr PipelineId kMain = optix::kMain;
  static constexpr PipelineId kEnergyBalance = optix::kEnergyBalance;
  static constexpr PipelineId kEnergyBalanceMultiband = optix::kEnergyBalanceMultiband;
  static constexpr PipelineId kPassiveMicrowave = optix::kPassiveMicrowave;
  static constexpr PipelineId kActiveMicrowave = optix::kActiveMicrowave;
  enum TableId { kBackward, kForward, kFlux, kLidar, kEbTable, kEbMultibandTable,
                 kMicrowaveTable, kActiveMicrowaveTable, kTableCount };
  // The table each borrows its miss and hit records from (TableLedger::kNone: its own).
  static constexpr std::array<int, kTableCount> kLenders = {
      -1, kBackward, kBackward, kBackward, -1, kEbTable, -1, kMicrowaveTable};

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
  bool ready(PipelineId p) const { return programs_ && programs_->ready(p); }
  bool has_lidar() const { return programs_ && programs_->has_lidar(); }
  optix::Pipeline pipeline(PipelineId p) const { return programs_ ? programs_->get(p) : nullptr; }

  // Refuses a scene built on another context (std::invalid_argument) or not built.
  void check_scene(const SceneManager& scene) const;

  // Binding tables for `scene`. Tables that borrow miss and hit records rebuild the table they
  // borrow from first, so they point at its current buffers.
  void build_backward_table(const SceneManager& scene);
  void build_forward_table(const SceneManager& scene);
  void build_flux_table(const SceneManager& scene);
  // Rebuilds the backward table only when it does not hold this scene's current records (the
  // ledger says; another scene's launch may have rebuilt it since the last LiDAR call).
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
                              const HostHooks& hooks,
                              uint64_t seed = 0);  // (height, width, bands)
  ForwardResult simulate_forward(const SceneManager& scene, const ForwardRequest& req,
                                 const HostHooks& hooks);
  FluxResult simulate_flux(const SceneManager& scene, FluxRequest req, const HostHooks& hooks);
  EnergyBalanceOutput run_energy_balance(const SceneManager& scene,
                                         const EnergyBalanceRequest& req, bool multiband);
  lidar::LidarResult simulate_lidar(const SceneManager& scene, const lidar::LidarRequest& req);
  // Passive brightness temperatures or active backscatter, (height, width, n_channels).
  std::vector<float> simulate_microwave(const SceneManager& scene,
                                        const MicrowaveRequest& req);

 private:
  struct ShaderTable {
    optix::DeviceBuffer raygen, miss, hit;
    optix::ShaderBindingTable sbt{};
  };

  // The device programs, created at the first init() (when the diagnostics switch is read).
  optix::PipelineSet& programs();
  void ensure(PipelineId id);
  optix::SbtHeader header(const char* group_label) const;
  void set_raygen(ShaderTable& t, const char* group_label, const char* alloc_label,
                  const char* upload_label);
  void borrow(ShaderTable& t, const ShaderTable& from);

  std::shared_ptr<OptiXContext> context_;
  std::string ptx_dir_;
  std::unique_ptr<optix::PipelineSet> programs_;
  ShaderTable tables_[kTableCount];
  optix::TableLedger<kTableCount> ledger_{kLenders};

  // ---- launch buffers -----------------------------------------------------------------------------
  // Uploads the parameters, launches with table `t` (which must hold `scene`'s records), and
  // waits for the launch: a launch that faults on the device is reported under `launch_label`,
  // not under whatever step comes next.
  void launch(optix::Pipeline pipeline, optix::Stream stream, const SceneManager& scene,
              TableId t, const optix::LaunchParams& params, uint32_t width, uint32_t height,
              uint32_t depth, const char* params_label, const char* launch_label);
  // The per-path buffers for `paths` paths of `bands` values: reallocated when either differs from
  // the last call, or (grow_only) only when more are needed.
  optix::PathBuffers path_buffers(uint64_t paths, int32_t bands, bool grow_only);
  EnergyBalanceOutput energy_balance_chunk(const SceneManager& scene,
                                           const optix::EnergyBalancePlan& plan,
                                           const EnergyBalanceRequest& req);

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
  uint64_t mw_seed_ = 0;  // the seed the pixel states were last set up with
  // The tables of the last microwave call's materials, freed by the next call.
  std::vector<optix::DeviceBuffer> mw_mueller_, mw_cos_cdf_, mw_phi_cdf_, mw_specular_;
  DihedralCache mw_dihedral_cache_;
};

}  // namespace velm
