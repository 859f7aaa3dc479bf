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
#include "optix/optix_loader.h"
#include "optix/scene_manager.h"

namespace velm {

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
};

}  // namespace velm
