// A descriptor set that lives for one simulation call: its own pool with one acceleration-
// structure descriptor and k storage-buffer descriptors, one set allocated with the pipeline's
// layout, and the pool destroyed when the call ends (also when it fails).
#pragma once

#include <vulkan/vulkan.h>

#include <string>
#include <vector>

#include "vulkan/buffer.h"
#include "vulkan/context.h"

namespace velm::vulkan {

class PerCallDescriptorSet {
 public:
  // `mode` names the call in the labels: "vkCreateDescriptorPool(<mode>)",
  // "vkAllocateDescriptorSets(<mode>)".
  PerCallDescriptorSet(VulkanContext& ctx, VkDescriptorSetLayout layout, uint32_t storage_buffers,
                       const std::string& mode);
  ~PerCallDescriptorSet();
  PerCallDescriptorSet(const PerCallDescriptorSet&) = delete;
  PerCallDescriptorSet& operator=(const PerCallDescriptorSet&) = delete;

  // Binding 0: the TLAS; binding b (1..k): the whole of buffers[b - 1].
  void write(VkAccelerationStructureKHR tlas, const std::vector<const VulkanBuffer*>& buffers);
  VkDescriptorSet set() const { return set_; }

 private:
  VulkanContext& ctx_;
  VkDescriptorPool pool_ = VK_NULL_HANDLE;
  VkDescriptorSet set_ = VK_NULL_HANDLE;
};

// Records one dispatch of `pipeline` with its one descriptor set and no push constants, followed
// by a barrier from its shader writes to later shader reads and writes, transfers and the host.
void record_dispatch(VkCommandBuffer cmd, VkPipeline pipeline, VkPipelineLayout layout,
                     VkDescriptorSet set, uint32_t groups_x, uint32_t groups_y);

}  // namespace velm::vulkan
