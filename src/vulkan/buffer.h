// Device memory of the Vulkan backend: one buffer with its own allocation per record, host
// access through mapping, the growth routine for buffers kept between calls, and the command
// patterns (clear, copy to read-back, barriers) that the submissions record.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <utility>

#include "vulkan/context.h"

namespace velm::vulkan {

// Memory-property combinations.
constexpr VkMemoryPropertyFlags kDeviceLocal = VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
constexpr VkMemoryPropertyFlags kHostMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
constexpr VkMemoryPropertyFlags kSharedMemory = kDeviceLocal | kHostMemory;

// Usage combinations.
constexpr VkBufferUsageFlags kUsageAccelStorage =  // 0x120000
    VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_STORAGE_BIT_KHR |
    VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT;
constexpr VkBufferUsageFlags kUsageAccelInput =  // 0xa0020
    VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_BUILD_INPUT_READ_ONLY_BIT_KHR |
    VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
constexpr VkBufferUsageFlags kUsageScratch =  // 0x20020
    VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
constexpr VkBufferUsageFlags kUsageStorage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;  // 0x20
constexpr VkBufferUsageFlags kUsageReadback = VK_BUFFER_USAGE_TRANSFER_DST_BIT;   // 0x2

// One VkBuffer bound at offset 0 to one allocation of its own. A record is empty or complete;
// it owns both handles and releases them when destroyed or replaced.
class VulkanBuffer {
 public:
  VulkanBuffer() = default;
  ~VulkanBuffer() { destroy(); }
  VulkanBuffer(const VulkanBuffer&) = delete;
  VulkanBuffer& operator=(const VulkanBuffer&) = delete;
  VulkanBuffer(VulkanBuffer&& o) noexcept { swap(o); }
  VulkanBuffer& operator=(VulkanBuffer&& o) noexcept {
    VulkanBuffer old(std::move(*this));
    swap(o);
    return *this;
  }

  // Uses a memory type with every `required` property, or one with every `preferred` property
  // when there is one. Refuses, before allocating anything, a size of 0 and a size beyond the
  // device's largest allocation or the chosen memory heap.
  static VulkanBuffer create(VulkanContext& ctx, VkDeviceSize size, VkBufferUsageFlags usage,
                             VkMemoryPropertyFlags required, VkMemoryPropertyFlags preferred = 0);
  void destroy() noexcept;

  bool empty() const { return buffer_ == VK_NULL_HANDLE; }
  VkBuffer handle() const { return buffer_; }
  VkDeviceSize size() const { return size_; }  // as requested, not as allocated
  VkMemoryPropertyFlags memory_properties() const { return properties_; }
  VkDeviceAddress device_address() const;

  // Host copies into and out of [offset, offset + n).
  void upload(const void* source, VkDeviceSize n, VkDeviceSize offset = 0);
  void download(void* destination, VkDeviceSize n, VkDeviceSize offset = 0) const;
  // Maps [0, n) and lets `write(void*)` fill it in place (no staging copy on the host).
  template <class Writer>
  void write_mapped(VkDeviceSize n, Writer&& write);
  // Maps [0, n) and lets `read(const void*)` read it in place.
  template <class Reader>
  void read_mapped(VkDeviceSize n, Reader&& read) const;

 private:
  void swap(VulkanBuffer& o) noexcept {
    std::swap(ctx_, o.ctx_);
    std::swap(buffer_, o.buffer_);
    std::swap(memory_, o.memory_);
    std::swap(size_, o.size_);
    std::swap(properties_, o.properties_);
  }
  void* map(VkDeviceSize offset, VkDeviceSize n, bool upload) const;
  void unmap() const;
  void flush(VkDeviceSize offset, VkDeviceSize n) const;
  void invalidate(VkDeviceSize offset, VkDeviceSize n) const;

  VulkanContext* ctx_ = nullptr;
  VkBuffer buffer_ = VK_NULL_HANDLE;
  VkDeviceMemory memory_ = VK_NULL_HANDLE;
  VkDeviceSize size_ = 0;
  VkMemoryPropertyFlags properties_ = 0;
};

template <class Writer>
void VulkanBuffer::write_mapped(VkDeviceSize n, Writer&& write) {
  void* p = map(0, n, true);
  try {
    write(p);
  } catch (...) {
    unmap();
    throw;
  }
  flush(0, n);
  unmap();
}

template <class Reader>
void VulkanBuffer::read_mapped(VkDeviceSize n, Reader&& read) const {
  const void* p = map(0, n, false);
  try {
    invalidate(0, n);
    read(p);
  } catch (...) {
    unmap();
    throw;
  }
  unmap();
}

// Growth for a buffer bound to a shader as a storage buffer and kept between calls: kept when it
// holds `needed` bytes, otherwise replaced (contents not kept) by one of the old size, or 256
// bytes when empty, doubled until it holds `needed`, never beyond the device's
// maxStorageBufferRange. `needed` beyond that range is refused before anything changes.
void ensure_capacity(VulkanContext& ctx, VulkanBuffer& slot, VkDeviceSize needed,
                     VkBufferUsageFlags usage, VkMemoryPropertyFlags preferred);
// Throws when `bytes` cannot be bound as one storage buffer on this device.
void check_storage_range(const VulkanContext& ctx, VkDeviceSize bytes);
// The same check for a named table: "Vulkan: <what> needs <bytes> bytes, beyond the device's
// maxStorageBufferRange of <limit> bytes for one storage buffer" (a runtime error).
void check_storage_size(const VulkanContext& ctx, uint64_t bytes, const char* what);

// ---- command patterns ------------------------------------------------------------------------

// One global memory barrier.
void memory_barrier(VkCommandBuffer cmd, VkPipelineStageFlags src_stage, VkAccessFlags src_access,
                    VkPipelineStageFlags dst_stage, VkAccessFlags dst_access);
// Zero the whole buffer, then make it visible to compute shaders.
void record_clear(VkCommandBuffer cmd, const VulkanBuffer& buffer);
// Copy `size` bytes of a device-local result into a host-visible buffer the host then reads.
void record_copy_to_readback(VkCommandBuffer cmd, const VulkanBuffer& source,
                             const VulkanBuffer& readback, VkDeviceSize size);

}  // namespace velm::vulkan
