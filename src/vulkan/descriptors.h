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

// One storage buffer of a descriptor set and what it holds, named as the message that refuses it
// names it ("the instance table").
struct StorageBinding {
  const VulkanBuffer* buffer;
  const char* what;
};

// Writes binding 0 (the TLAS) and bindings 1..k (the whole of each buffer) of `set`. Every
// storage range is checked against the device's maxStorageBufferRange first (check_storage_size):
// a set is written whole or not at all, so no mode can bind more than the device addresses.
void write_descriptor_set(const VulkanContext& ctx, VkDescriptorSet set,
                          VkAccelerationStructureKHR tlas,
                          const std::vector<StorageBinding>& buffers);

class PerCallDescriptorSet {
 public:
  // `mode` names the call in the labels: "vkCreateDescriptorPool(<mode>)",
  // "vkAllocateDescriptorSets(<mode>)".
  PerCallDescriptorSet(VulkanContext& ctx, VkDescriptorSetLayout layout, uint32_t storage_buffers,
                       const std::string& mode);
  ~PerCallDescriptorSet();
  PerCallDescriptorSet(const PerCallDescriptorSet&) = delete;
  PerCallDescriptorSet& operator=(const PerCallDescriptorSet&) = delete;

  // Binding 0: the TLAS; binding b (1..k): the whole of buffers[b - 1] (write_descriptor_set).
  void write(VkAccelerationStructureKHR tlas, const std::vector<StorageBinding>& buffers);
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
// Records one dispatch with `push_bytes` of push constants at offset 0, followed by a barrier
// from its shader writes to the shader reads and writes of the next dispatch.
void record_pushed_dispatch(VkCommandBuffer cmd, VkPipeline pipeline, VkPipelineLayout layout,
                            VkDescriptorSet set, const void* push, uint32_t push_bytes,
                            uint32_t groups_x, uint32_t groups_y);
// A barrier from shader writes to host reads, after the last dispatch of a submission.
void record_host_barrier(VkCommandBuffer cmd);

}  // namespace velm::vulkan
