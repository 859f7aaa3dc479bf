// Acceleration structures: one bottom-level structure (BLAS) per mesh over its triangles in the
// mesh's own frame, one top-level structure (TLAS) over the instances. Each build is one
// submission that is waited for; inputs are host-visible buffers, structures and scratch space
// device-local.
#pragma once

#include <vulkan/vulkan.h>

#include <vector>

#include "scene/records.h"
#include "vulkan/buffer.h"

namespace velm::vulkan {

// A built acceleration structure on its own storage buffer.
class VulkanAccelStruct {
 public:
  VulkanAccelStruct() = default;
  ~VulkanAccelStruct() { destroy(); }
  VulkanAccelStruct(const VulkanAccelStruct&) = delete;
  VulkanAccelStruct& operator=(const VulkanAccelStruct&) = delete;
  VulkanAccelStruct(VulkanAccelStruct&& o) noexcept { swap(o); }
  VulkanAccelStruct& operator=(VulkanAccelStruct&& o) noexcept {
    VulkanAccelStruct old(std::move(*this));
    swap(o);
    return *this;
  }

  void destroy() noexcept;
  bool empty() const { return handle_ == VK_NULL_HANDLE; }
  VkAccelerationStructureKHR handle() const { return handle_; }
  VkDeviceAddress address() const { return address_; }

 private:
  friend VulkanAccelStruct build_structure(VulkanContext&, VkAccelerationStructureTypeKHR,
                                           const VkAccelerationStructureGeometryKHR&, uint32_t,
                                           VkBuildAccelerationStructureFlagsKHR, const char*);
  void swap(VulkanAccelStruct& o) noexcept {
    std::swap(ctx_, o.ctx_);
    std::swap(storage_, o.storage_);
    std::swap(handle_, o.handle_);
    std::swap(address_, o.address_);
  }

  VulkanContext* ctx_ = nullptr;
  VulkanBuffer storage_;
  VkAccelerationStructureKHR handle_ = VK_NULL_HANDLE;
  VkDeviceAddress address_ = 0;
};

// Builds one structure over one geometry of `primitive_count` primitives (size query, storage,
// scratch, one submission). `create_label` names the creation call in errors.
VulkanAccelStruct build_structure(VulkanContext& ctx, VkAccelerationStructureTypeKHR type,
                                  const VkAccelerationStructureGeometryKHR& geometry,
                                  uint32_t primitive_count,
                                  VkBuildAccelerationStructureFlagsKHR flags,
                                  const char* create_label);

// BLAS of one mesh. The vertex and index input buffers are (re)made here and kept by the caller.
VulkanAccelStruct build_blas(VulkanContext& ctx, const HostMesh& mesh, VulkanBuffer& vertex_input,
                             VulkanBuffer& index_input);

// The TLAS instance record of one scene instance (Vulkan's own 64-byte layout): the row-major
// 3x4 transform as given, the instance id as custom index with full visibility mask, binding
// table offset 0, facing culling off, and the device address of its mesh's BLAS.
VkAccelerationStructureInstanceKHR tlas_instance(const InstanceRecord& inst, uint32_t instance_id,
                                                 VkDeviceAddress blas_address);

// TLAS over the given instance records; the instance buffer is (re)made here and kept by the
// caller.
VulkanAccelStruct build_tlas(VulkanContext& ctx,
                             const std::vector<VkAccelerationStructureInstanceKHR>& instances,
                             VulkanBuffer& instance_buffer);

}  // namespace velm::vulkan
