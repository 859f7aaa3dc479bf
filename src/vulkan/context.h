// VulkanContext: the root object of the Vulkan ray-query backend. It opens one Vulkan 1.2
// instance, picks a device by its position among the compatible ones in the strict device order,
// creates the logical device with acceleration structures and ray queries, and owns the single
// command buffer and fence through which every piece of GPU work is submitted and waited for.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "vulkan/device_select.h"

namespace velm::vulkan {

// The acceleration-structure entry points, which the loader does not export: looked up on the
// device at creation.
struct AccelFunctions {
  PFN_vkCreateAccelerationStructureKHR create = nullptr;
  PFN_vkDestroyAccelerationStructureKHR destroy = nullptr;
  PFN_vkGetAccelerationStructureBuildSizesKHR build_sizes = nullptr;
  PFN_vkCmdBuildAccelerationStructuresKHR cmd_build = nullptr;
  PFN_vkGetAccelerationStructureDeviceAddressKHR device_address = nullptr;
};

// Device limits the backend sizes its buffers and dispatches by.
struct DeviceLimits {
  uint64_t max_storage_range = 0;     // bytes one storage-buffer binding may cover
  uint64_t max_allocation = 0;        // bytes one allocation may have
  uint32_t max_groups_x = 0;          // work groups in x per dispatch
  uint32_t max_groups_y = 0;          // work groups in y per dispatch
  uint32_t timestamp_valid_bits = 0;  // of the chosen queue family; 0: no timestamps
  float timestamp_period_ns = 0.f;    // nanoseconds per timestamp tick
  uint32_t scratch_alignment = 1;     // of acceleration-structure build scratch addresses
  uint64_t max_instances = 0;         // top-level instances per structure
  uint64_t max_primitives = 0;        // triangles per bottom-level structure
};

class VulkanContext : public std::enable_shared_from_this<VulkanContext> {
 public:
  // `device` counts the compatible devices in the strict device order (list_vulkan_devices()
  // reports the same number as device_index).
  explicit VulkanContext(int32_t device);
  ~VulkanContext();
  VulkanContext(const VulkanContext&) = delete;
  VulkanContext& operator=(const VulkanContext&) = delete;

  VkDevice device() const { return device_; }
  VkPhysicalDevice physical_device() const { return physical_; }
  const VulkanDeviceInfo& info() const { return info_; }
  int32_t device_index() const { return device_index_; }
  uint32_t physical_device_index() const { return info_.physical_index; }
  uint32_t queue_family_index() const { return queue_family_; }
  const AccelFunctions& accel() const { return accel_; }
  const DeviceLimits& limits() const { return limits_; }

  // The lowest memory type allowed by `type_bits` whose flags contain every `wanted` bit;
  // throws "Vulkan: no compatible memory type" when there is none.
  uint32_t find_memory_type(uint32_t type_bits, VkMemoryPropertyFlags wanted) const;
  // Size in bytes of the heap behind a memory type.
  uint64_t heap_size(uint32_t memory_type) const;

  // Records commands into the context's one command buffer with `record(VkCommandBuffer)`,
  // submits them and waits for them to finish. Submissions from several threads (several scenes
  // on one context) are serialised here, so the command buffer, fence and queue are never used by
  // two at once.
  template <class Record>
  void submit_immediate(Record&& record) {
    const std::lock_guard<std::mutex> lock(submit_mutex_);
    VkCommandBuffer cmd = begin_immediate();
    try {
      record(cmd);
    } catch (...) {
      vkEndCommandBuffer(cmd);
      throw;
    }
    finish_immediate();
  }
  // Waits until the device is idle, under the same lock (waiting needs the queue to itself).
  void wait_idle();

 private:
  void open(int32_t device);
  void release() noexcept;
  // The two halves of submit_immediate around the recording, called under submit_mutex_.
  VkCommandBuffer begin_immediate();
  void finish_immediate();

  VkInstance instance_ = VK_NULL_HANDLE;
  VkPhysicalDevice physical_ = VK_NULL_HANDLE;
  VkDevice device_ = VK_NULL_HANDLE;
  VkQueue queue_ = VK_NULL_HANDLE;
  VkCommandPool command_pool_ = VK_NULL_HANDLE;
  VkCommandBuffer command_buffer_ = VK_NULL_HANDLE;
  VkFence fence_ = VK_NULL_HANDLE;
  uint32_t queue_family_ = 0;
  int32_t device_index_ = 0;
  VulkanDeviceInfo info_;
  AccelFunctions accel_;
  DeviceLimits limits_;
  VkPhysicalDeviceMemoryProperties memory_{};
  std::mutex submit_mutex_;
  bool in_flight_ = false;  // a submission whose completion has not been seen
};

// Every physical device, probed and in the strict device order (opens and closes an instance).
std::vector<VulkanDeviceInfo> list_devices();

}  // namespace velm::vulkan
