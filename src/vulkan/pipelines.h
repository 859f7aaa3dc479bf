// Compute pipelines made from SPIR-V files on disk. The generic trace shader is the file the
// scene was given; the mode shaders are looked up beside it by fixed names. Every pipeline has
// one descriptor set: binding 0 the scene's TLAS, bindings 1..k storage buffers, and possibly a
// push-constant range. Each group is created the first time it is needed and kept.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "vulkan/context.h"

namespace velm::vulkan {

// The whole file as 32-bit words. Throws "Vulkan shader not found: <path>" when it cannot be
// opened, "Invalid SPIR-V shader: <path>" when its size is 0 or not a multiple of 4, and
// "Failed to read SPIR-V shader: <path>" when reading fails.
std::vector<uint32_t> load_spirv(const std::string& path);

// The directory of `trace_shader` joined with `file`; just `file` (relative to the working
// directory) when `trace_shader` has no directory part.
std::string shader_path_beside(const std::string& trace_shader, const std::string& file);

// The six band-capacity variants of the optical shader: 4, 8, ..., 128 bands.
constexpr int kOpticalVariants = 6;
int optical_capacity(int variant);
// The smallest variant whose capacity holds `bands`; the largest for anything above 128.
int optical_variant(int32_t bands);
// "backward_optical_<capacity>.spv"
std::string optical_shader_file(int variant);

// Layouts and pipeline of one group.
struct ComputePipeline {
  VkDescriptorSetLayout set_layout = VK_NULL_HANDLE;
  VkPipelineLayout layout = VK_NULL_HANDLE;
  VkPipeline pipeline = VK_NULL_HANDLE;
};

class VulkanPipelines {
 public:
  VulkanPipelines(VulkanContext& ctx, std::string trace_shader);
  ~VulkanPipelines();
  VulkanPipelines(const VulkanPipelines&) = delete;
  VulkanPipelines& operator=(const VulkanPipelines&) = delete;

  // Each creates its group as far as it is missing; a failure leaves what was made in place
  // (destroyed with the scene) and the failed handle null, so a later call tries again.
  void create_trace_pipeline();
  void create_optical_pipeline(int index);
  void create_flux_pipeline();
  void create_energy_balance_pipeline();
  void create_microwave_pipeline();

  // The generic trace group: its pipeline plus one persistent descriptor set (TLAS, rays, hits).
  const ComputePipeline& trace() const { return trace_; }
  VkDescriptorSet trace_set() const { return trace_set_; }
  // Variant `index` of the optical pipeline (null until created) and the layouts all share.
  VkPipeline optical(int index) const;
  const ComputePipeline& optical_layouts() const { return optical_; }
  const ComputePipeline& flux() const { return flux_; }
  const ComputePipeline& energy_balance() const { return energy_balance_; }
  const ComputePipeline& microwave() const { return microwave_; }

  const std::string& trace_shader() const { return trace_shader_; }

 private:
  // `group` is "" for the generic trace group, else the word that goes into the labels.
  void create_layouts(ComputePipeline& p, uint32_t storage_buffers, uint32_t push_bytes,
                      const std::string& group);
  VkPipeline create_pipeline(VkPipelineLayout layout, const std::string& path,
                             const std::string& group);
  void destroy(ComputePipeline& p) noexcept;

  VulkanContext& ctx_;
  std::string trace_shader_;
  ComputePipeline trace_;
  VkDescriptorPool trace_pool_ = VK_NULL_HANDLE;
  VkDescriptorSet trace_set_ = VK_NULL_HANDLE;
  ComputePipeline optical_;  // the layouts shared by the variants; its pipeline stays null
  std::array<VkPipeline, kOpticalVariants> optical_variants_{};
  ComputePipeline flux_;
  ComputePipeline energy_balance_;
  ComputePipeline microwave_;
};

}  // namespace velm::vulkan
