#include "vulkan/accel.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "vulkan/check.h"

namespace velm::vulkan {

static_assert(sizeof(VkAccelerationStructureInstanceKHR) == 64,
              "a TLAS instance record is 64 bytes");

void VulkanAccelStruct::destroy() noexcept {
  if (ctx_ != nullptr && handle_ != VK_NULL_HANDLE)
    ctx_->accel().destroy(ctx_->device(), handle_, nullptr);
  storage_.destroy();
  ctx_ = nullptr;
  handle_ = VK_NULL_HANDLE;
  address_ = 0;
}

VulkanAccelStruct build_structure(VulkanContext& ctx, VkAccelerationStructureTypeKHR type,
                                  const VkAccelerationStructureGeometryKHR& geometry,
                                  uint32_t primitive_count,
                                  VkBuildAccelerationStructureFlagsKHR flags,
                                  const char* create_label) {
  const AccelFunctions& fn = ctx.accel();
  VkAccelerationStructureBuildGeometryInfoKHR build{
      VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_GEOMETRY_INFO_KHR};
  build.type = type;
  build.flags = flags;
  build.mode = VK_BUILD_ACCELERATION_STRUCTURE_MODE_BUILD_KHR;
  build.geometryCount = 1;
  build.pGeometries = &geometry;
  VkAccelerationStructureBuildSizesInfoKHR sizes{
      VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_SIZES_INFO_KHR};
  fn.build_sizes(ctx.device(), VK_ACCELERATION_STRUCTURE_BUILD_TYPE_DEVICE_KHR, &build,
                 &primitive_count, &sizes);

  VulkanAccelStruct as;
  as.ctx_ = &ctx;
  as.storage_ = VulkanBuffer::create(ctx, sizes.accelerationStructureSize, kUsageAccelStorage,
                                     kDeviceLocal);
  VkAccelerationStructureCreateInfoKHR info{
      VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_CREATE_INFO_KHR};
  info.buffer = as.storage_.handle();
  info.offset = 0;
  info.size = sizes.accelerationStructureSize;
  info.type = type;
  check(fn.create(ctx.device(), &info, nullptr, &as.handle_), create_label);

  // Scratch space, its address rounded up to the device's alignment for build scratch.
  const VkDeviceSize align = ctx.limits().scratch_alignment;
  const VkDeviceSize scratch_bytes = std::max<VkDeviceSize>(sizes.buildScratchSize, 1) + align;
  VulkanBuffer scratch =
      VulkanBuffer::create(ctx, scratch_bytes, kUsageScratch, kDeviceLocal);
  build.dstAccelerationStructure = as.handle_;
  build.scratchData.deviceAddress = (scratch.device_address() + align - 1) / align * align;
  VkAccelerationStructureBuildRangeInfoKHR range{primitive_count, 0, 0, 0};
  const VkAccelerationStructureBuildRangeInfoKHR* ranges = &range;
  ctx.submit_immediate([&](VkCommandBuffer cmd) {
    fn.cmd_build(cmd, 1, &build, &ranges);
    // Later submissions (the TLAS over this BLAS, ray queries) read what this build wrote.
    memory_barrier(cmd, VK_PIPELINE_STAGE_ACCELERATION_STRUCTURE_BUILD_BIT_KHR,
                   VK_ACCESS_ACCELERATION_STRUCTURE_WRITE_BIT_KHR,
                   VK_PIPELINE_STAGE_ACCELERATION_STRUCTURE_BUILD_BIT_KHR |
                       VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT,
                   VK_ACCESS_ACCELERATION_STRUCTURE_READ_BIT_KHR);
  });
  VkAccelerationStructureDeviceAddressInfoKHR addr{
      VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_DEVICE_ADDRESS_INFO_KHR};
  addr.accelerationStructure = as.handle_;
  as.address_ = fn.device_address(ctx.device(), &addr);
  return as;
}

VulkanAccelStruct build_blas(VulkanContext& ctx, const HostMesh& mesh, VulkanBuffer& vertex_input,
                             VulkanBuffer& index_input) {
  const uint32_t triangles = static_cast<uint32_t>(mesh.triangles.size());
  if (triangles > ctx.limits().max_primitives)
    throw std::runtime_error("Vulkan: a mesh of " + std::to_string(triangles) +
                             " triangles exceeds the device's maxPrimitiveCount of " +
                             std::to_string(ctx.limits().max_primitives));
  const VkDeviceSize vbytes = mesh.vertices.size() * sizeof(Float3);
  const VkDeviceSize ibytes = mesh.triangles.size() * sizeof(Int3);
  vertex_input = VulkanBuffer::create(ctx, vbytes, kUsageAccelInput, kHostMemory);
  index_input = VulkanBuffer::create(ctx, ibytes, kUsageAccelInput, kHostMemory);
  vertex_input.upload(mesh.vertices.data(), vbytes);
  // Indices were checked to lie in [0, vertex count) when the mesh was added, so their bits
  // read as 32-bit unsigned are the same numbers.
  index_input.upload(mesh.triangles.data(), ibytes);

  VkAccelerationStructureGeometryKHR geom{VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_KHR};
  geom.geometryType = VK_GEOMETRY_TYPE_TRIANGLES_KHR;
  geom.flags = VK_GEOMETRY_OPAQUE_BIT_KHR;
  auto& tri = geom.geometry.triangles;
  tri.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_TRIANGLES_DATA_KHR;
  tri.vertexFormat = VK_FORMAT_R32G32B32_SFLOAT;
  tri.vertexData.deviceAddress = vertex_input.device_address();
  tri.vertexStride = sizeof(Float3);
  tri.maxVertex = static_cast<uint32_t>(mesh.vertices.size() - 1);
  tri.indexType = VK_INDEX_TYPE_UINT32;
  tri.indexData.deviceAddress = index_input.device_address();
  return build_structure(ctx, VK_ACCELERATION_STRUCTURE_TYPE_BOTTOM_LEVEL_KHR, geom, triangles,
                         VK_BUILD_ACCELERATION_STRUCTURE_PREFER_FAST_TRACE_BIT_KHR,
                         "vkCreateAccelerationStructureKHR(BLAS)");
}

VkAccelerationStructureInstanceKHR tlas_instance(const InstanceRecord& inst, uint32_t instance_id,
                                                 VkDeviceAddress blas_address) {
  VkAccelerationStructureInstanceKHR rec{};
  std::memcpy(rec.transform.matrix, inst.transform.data(), sizeof(rec.transform.matrix));
  rec.instanceCustomIndex = instance_id;
  rec.mask = 0xFF;
  rec.instanceShaderBindingTableRecordOffset = 0;
  rec.flags = VK_GEOMETRY_INSTANCE_TRIANGLE_FACING_CULL_DISABLE_BIT_KHR;
  rec.accelerationStructureReference = blas_address;
  return rec;
}

VulkanAccelStruct build_tlas(VulkanContext& ctx,
                             const std::vector<VkAccelerationStructureInstanceKHR>& instances,
                             VulkanBuffer& instance_buffer) {
  const VkDeviceSize bytes = instances.size() * sizeof(VkAccelerationStructureInstanceKHR);
  instance_buffer = VulkanBuffer::create(ctx, bytes, kUsageAccelInput, kHostMemory);
  instance_buffer.upload(instances.data(), bytes);

  VkAccelerationStructureGeometryKHR geom{VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_KHR};
  geom.geometryType = VK_GEOMETRY_TYPE_INSTANCES_KHR;
  geom.flags = 0;
  auto& inst = geom.geometry.instances;
  inst.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_INSTANCES_DATA_KHR;
  inst.arrayOfPointers = VK_FALSE;
  inst.data.deviceAddress = instance_buffer.device_address();
  return build_structure(ctx, VK_ACCELERATION_STRUCTURE_TYPE_TOP_LEVEL_KHR, geom,
                         static_cast<uint32_t>(instances.size()),
                         VK_BUILD_ACCELERATION_STRUCTURE_PREFER_FAST_TRACE_BIT_KHR |
                             VK_BUILD_ACCELERATION_STRUCTURE_ALLOW_UPDATE_BIT_KHR,
                         "vkCreateAccelerationStructureKHR(TLAS)");
}

}  // namespace velm::vulkan
