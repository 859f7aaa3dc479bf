// The OptiX backend's device programs as the driver holds them: the PTX modules (compiled on first
// need, after checking that the driver can compile their ISA), the program groups, and the five
// pipelines (main, energy balance, its multiband variant, passive and active microwave; the main
// pipeline is rebuilt with the LiDAR ray generation on first need). Every creation's log is kept
// and goes into the exception of a failed creation. Each pipeline's stack is sized from its own
// programs and trace depth, and it is told the depth of the scene graph.
//
// Nothing here touches CUDA: it speaks to the driver only through the OptiX function table, so
// it is tested against a stand-in driver library.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "optix/launch_records.h"
#include "optix/optix_loader.h"

namespace velm::optix {

enum PipelineId { kMain, kEnergyBalance, kEnergyBalanceMultiband, kPassiveMicrowave,
                  kActiveMicrowave, kPipelineCount };

// The arguments of the driver's pipeline stack-size call.
struct PipelineStack {
  uint32_t direct_from_traversal = 0;  // bytes
  uint32_t direct_from_state = 0;      // bytes
  uint32_t continuation = 0;           // bytes
  uint32_t traversable_depth = 0;      // levels of the scene graph
};

// The running maximum over program groups of each kind of program's stack.
void accumulate_stack_sizes(StackSizes& total, const StackSizes& group);

// The stack a pipeline of programs needing `programs` and at most `max_trace_depth` nested traces
// needs. Our programs have no callables, so the direct stacks are empty; the continuation stack
// holds the ray generation program's frame, one closest-hit or miss frame per trace level below
// the last, and for the last level the larger of that and an intersection plus any-hit frame.
PipelineStack pipeline_stack(const StackSizes& programs, unsigned max_trace_depth);

class PipelineSet {
 public:
  // `cuda_version`: the driver's CUDA version (cuda_driver_version()), against which the PTX
  // files' ISA is checked; `validation`: the diagnostics switch (validation_requested()).
  PipelineSet(DeviceContext context, std::string ptx_dir, int cuda_version, bool validation);
  ~PipelineSet();
  PipelineSet(const PipelineSet&) = delete;
  PipelineSet& operator=(const PipelineSet&) = delete;

  // Creates `id` and what it needs (the main pipeline first) unless it exists. A pipeline whose
  // creation failed stays absent and is tried again at the next call.
  void ensure(PipelineId id);
  // Rebuilds the main pipeline with the LiDAR ray generation (once).
  void ensure_lidar();
  bool ready(PipelineId id) const { return pipelines_[id] != nullptr; }
  bool has_lidar() const { return lidar_ready_; }
  Pipeline get(PipelineId id) const { return pipelines_[id]; }
  // The stack sizes the pipeline was given (zero before it exists).
  const PipelineStack& stack(PipelineId id) const { return stacks_[id]; }
  // The binding-table record header of a created group.
  SbtHeader header(const char* group_label) const;
  // "label: log" for every creation whose driver log was not empty, in creation order.
  const std::vector<std::string>& logs() const { return logs_; }

 private:
  Module module(const char* name);
  ProgramGroup group(const char* label, uint32_t kind, const char* module, const char* entry);
  ProgramGroup raygen(const char* label, const char* module, const char* entry);
  ProgramGroup miss(const char* label, const char* module, const char* entry);
  ProgramGroup hit(const char* label, const char* module, const char* entry);
  void create(PipelineId id, const std::vector<ProgramGroup>& groups, unsigned max_trace_depth,
              const char* label, const char* stack_label);
  void create_main(bool with_lidar);
  void keep_log(const char* label, const CreationLog& log);
  const void* compile_options(bool microwave) const;

  DeviceContext context_;
  std::string ptx_dir_;
  int cuda_version_;
  bool validation_;
  std::string nvcc_version_;  // what the build recorded beside the PTX files
  // Optical, energy-balance and LiDAR modules declare LaunchParams, the microwave ones
  // MicrowaveLaunchParams; each set of modules is compiled and linked with its record's size.
  CompileOptionsForAbi optical_options_;
  CompileOptionsForAbi microwave_options_;
  ModuleCompileOptions module_options_;
  std::map<std::string, Module> modules_;
  std::vector<std::string> module_order_;
  std::map<std::string, ProgramGroup> groups_;
  std::vector<std::string> group_order_;
  Pipeline pipelines_[kPipelineCount] = {};
  PipelineStack stacks_[kPipelineCount] = {};
  bool lidar_ready_ = false;
  std::vector<std::string> logs_;
};

}  // namespace velm::optix
