#include "vulkan/buffer.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "vulkan/check.h"

namespace velm::vulkan {

namespace {
std::string bytes(VkDeviceSize n) { return std::to_string(n) + " bytes"; }
}  // namespace

VulkanBuffer VulkanBuffer::create(VulkanContext& ctx, VkDeviceSize size, VkBufferUsageFlags usage,
                                  VkMemoryPropertyFlags required,
                                  VkMemoryPropertyFlags preferred) {
  if (size == 0) throw std::invalid_argument("Vulkan buffer size must be non-zero");
  if (size > ctx.limits().max_allocation)
    throw std::runtime_error("Vulkan: a buffer of " + bytes(size) +
                             " exceeds the device's maxMemoryAllocationSize of " +
                             bytes(ctx.limits().max_allocation));
  VulkanBuffer b;
  b.ctx_ = &ctx;
  VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  info.size = size;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  check(vkCreateBuffer(ctx.device(), &info, nullptr, &b.buffer_), "vkCreateBuffer");
  b.size_ = size;  // from here on an error destroys the half-made record on its way out

  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(ctx.device(), b.buffer_, &req);
  uint32_t type = ctx.find_memory_type(req.memoryTypeBits, required);
  b.properties_ = required;
  if (preferred != 0) {
    try {
      type = ctx.find_memory_type(req.memoryTypeBits, preferred);
      b.properties_ = preferred;
    } catch (const std::runtime_error&) {
      // No memory type has the preferred properties: the required ones serve.
    }
  }
  if (req.size > ctx.heap_size(type))
    throw std::runtime_error("Vulkan: a buffer of " + bytes(req.size) +
                             " exceeds the device memory heap of " + bytes(ctx.heap_size(type)));

  VkMemoryAllocateFlagsInfo flags{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_FLAGS_INFO};
  flags.flags = VK_MEMORY_ALLOCATE_DEVICE_ADDRESS_BIT;
  VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
  if (usage & VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT) alloc.pNext = &flags;
  alloc.allocationSize = req.size;
  alloc.memoryTypeIndex = type;
  check(vkAllocateMemory(ctx.device(), &alloc, nullptr, &b.memory_), "vkAllocateMemory");
  check(vkBindBufferMemory(ctx.device(), b.buffer_, b.memory_, 0), "vkBindBufferMemory");
  return b;
}

void VulkanBuffer::destroy() noexcept {
  if (ctx_ != nullptr) {
    if (buffer_ != VK_NULL_HANDLE) vkDestroyBuffer(ctx_->device(), buffer_, nullptr);
    if (memory_ != VK_NULL_HANDLE) vkFreeMemory(ctx_->device(), memory_, nullptr);
  }
  ctx_ = nullptr;
  buffer_ = VK_NULL_HANDLE;
  memory_ = VK_NULL_HANDLE;
  size_ = 0;
  properties_ = 0;
}

VkDeviceAddress VulkanBuffer::device_address() const {
  VkBufferDeviceAddressInfo info{VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO};
  info.buffer = buffer_;
  return vkGetBufferDeviceAddress(ctx_->device(), &info);
}

void* VulkanBuffer::map(VkDeviceSize offset, VkDeviceSize n, bool upload) const {
  if (!(properties_ & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT))
    throw std::runtime_error("Vulkan: buffer memory is not host visible");
  if (offset > size_ || n > size_ - offset)
    throw std::out_of_range(upload ? "Vulkan: buffer upload is outside allocation"
                                   : "Vulkan: buffer download is outside allocation");
  void* p = nullptr;
  check(vkMapMemory(ctx_->device(), memory_, offset, n, 0, &p),
        upload ? "vkMapMemory(upload)" : "vkMapMemory(download)");
  return p;
}

void VulkanBuffer::unmap() const { vkUnmapMemory(ctx_->device(), memory_); }

void VulkanBuffer::flush(VkDeviceSize offset, VkDeviceSize n) const {
  if (properties_ & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT) return;
  VkMappedMemoryRange range{VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE};
  range.memory = memory_;
  range.offset = offset;
  range.size = n;
  check(vkFlushMappedMemoryRanges(ctx_->device(), 1, &range), "vkFlushMappedMemoryRanges");
}

void VulkanBuffer::invalidate(VkDeviceSize offset, VkDeviceSize n) const {
  if (properties_ & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT) return;
  VkMappedMemoryRange range{VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE};
  range.memory = memory_;
  range.offset = offset;
  range.size = n;
  check(vkInvalidateMappedMemoryRanges(ctx_->device(), 1, &range),
        "vkInvalidateMappedMemoryRanges");
}

void VulkanBuffer::upload(const void* source, VkDeviceSize n, VkDeviceSize offset) {
  if (source == nullptr && (properties_ & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT))
    throw std::out_of_range("Vulkan: buffer upload is outside allocation");
  void* p = map(offset, n, true);
  std::memcpy(p, source, n);
  try {
    flush(offset, n);
  } catch (...) {
    unmap();
    throw;
  }
  unmap();
}

void VulkanBuffer::download(void* destination, VkDeviceSize n, VkDeviceSize offset) const {
  if (destination == nullptr && (properties_ & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT))
    throw std::out_of_range("Vulkan: buffer download is outside allocation");
  const void* p = map(offset, n, false);
  try {
    invalidate(offset, n);
  } catch (...) {
    unmap();
    throw;
  }
  std::memcpy(destination, p, n);
  unmap();
}

void check_storage_range(const VulkanContext& ctx, VkDeviceSize n) {
  if (n > ctx.limits().max_storage_range)
    throw std::runtime_error("Vulkan: a storage buffer of " + bytes(n) +
                             " exceeds the device's maxStorageBufferRange of " +
                             bytes(ctx.limits().max_storage_range));
}

void check_storage_size(const VulkanContext& ctx, uint64_t bytes, const char* what) {
  const uint64_t limit = ctx.limits().max_storage_range;
  if (bytes > limit)
    throw std::runtime_error(std::string("Vulkan: ") + what + " needs " + std::to_string(bytes) +
                             " bytes, beyond the device's maxStorageBufferRange of " +
                             std::to_string(limit) + " bytes for one storage buffer");
}

void ensure_capacity(VulkanContext& ctx, VulkanBuffer& slot, VkDeviceSize needed,
                     VkBufferUsageFlags usage, VkMemoryPropertyFlags preferred) {
  if (!slot.empty() && slot.size() >= needed) return;
  check_storage_range(ctx, needed);
  VkDeviceSize capacity = slot.empty() ? 256 : slot.size();
  while (capacity < needed) capacity *= 2;
  if (capacity > ctx.limits().max_storage_range) capacity = ctx.limits().max_storage_range;
  // The old buffer goes only once the new one exists.
  slot = VulkanBuffer::create(ctx, capacity, usage, kHostMemory, preferred);
}

void memory_barrier(VkCommandBuffer cmd, VkPipelineStageFlags src_stage, VkAccessFlags src_access,
                    VkPipelineStageFlags dst_stage, VkAccessFlags dst_access) {
  VkMemoryBarrier barrier{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
  barrier.srcAccessMask = src_access;
  barrier.dstAccessMask = dst_access;
  vkCmdPipelineBarrier(cmd, src_stage, dst_stage, 0, 1, &barrier, 0, nullptr, 0, nullptr);
}

void record_clear(VkCommandBuffer cmd, const VulkanBuffer& buffer) {
  vkCmdFillBuffer(cmd, buffer.handle(), 0, VK_WHOLE_SIZE, 0);
  memory_barrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT,
                 VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT,
                 VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT);
}

void record_copy_to_readback(VkCommandBuffer cmd, const VulkanBuffer& source,
                             const VulkanBuffer& readback, VkDeviceSize size) {
  memory_barrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                 VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_READ_BIT);
  VkBufferCopy region{0, 0, size};
  vkCmdCopyBuffer(cmd, source.handle(), readback.handle(), 1, &region);
  memory_barrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_ACCESS_TRANSFER_WRITE_BIT,
                 VK_PIPELINE_STAGE_HOST_BIT, VK_ACCESS_HOST_READ_BIT);
}

}  // namespace velm::vulkan
