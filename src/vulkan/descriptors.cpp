#include "vulkan/descriptors.h"

#include "vulkan/check.h"

namespace velm::vulkan {

PerCallDescriptorSet::PerCallDescriptorSet(VulkanContext& ctx, VkDescriptorSetLayout layout,
                                           uint32_t storage_buffers, const std::string& mode)
    : ctx_(ctx) {
  const VkDescriptorPoolSize sizes[] = {{VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR, 1},
                                        {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, storage_buffers}};
  VkDescriptorPoolCreateInfo info{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
  info.maxSets = 1;
  info.poolSizeCount = 2;
  info.pPoolSizes = sizes;
  check(vkCreateDescriptorPool(ctx_.device(), &info, nullptr, &pool_),
        ("vkCreateDescriptorPool(" + mode + ")").c_str());
  VkDescriptorSetAllocateInfo alloc{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
  alloc.descriptorPool = pool_;
  alloc.descriptorSetCount = 1;
  alloc.pSetLayouts = &layout;
  const VkResult r = vkAllocateDescriptorSets(ctx_.device(), &alloc, &set_);
  if (r != VK_SUCCESS) {
    vkDestroyDescriptorPool(ctx_.device(), pool_, nullptr);
    check(r, ("vkAllocateDescriptorSets(" + mode + ")").c_str());
  }
}

PerCallDescriptorSet::~PerCallDescriptorSet() {
  // Sets go with their pool; the device must be done with them, which every submission of a
  // call ensures by waiting for its fence.
  if (pool_ != VK_NULL_HANDLE) vkDestroyDescriptorPool(ctx_.device(), pool_, nullptr);
}

void write_descriptor_set(const VulkanContext& ctx, VkDescriptorSet set,
                          VkAccelerationStructureKHR tlas,
                          const std::vector<StorageBinding>& buffers) {
  for (const StorageBinding& b : buffers) check_storage_size(ctx, b.buffer->size(), b.what);
  VkWriteDescriptorSetAccelerationStructureKHR as{
      VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET_ACCELERATION_STRUCTURE_KHR};
  as.accelerationStructureCount = 1;
  as.pAccelerationStructures = &tlas;
  std::vector<VkDescriptorBufferInfo> infos(buffers.size());
  std::vector<VkWriteDescriptorSet> writes(buffers.size() + 1);
  for (uint32_t b = 0; b < writes.size(); ++b) {
    writes[b].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
    writes[b].dstSet = set;
    writes[b].dstBinding = b;
    writes[b].descriptorCount = 1;
    writes[b].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    if (b > 0) {
      const VulkanBuffer& buffer = *buffers[b - 1].buffer;
      infos[b - 1] = {buffer.handle(), 0, buffer.size()};
      writes[b].pBufferInfo = &infos[b - 1];
    }
  }
  writes[0].pNext = &as;
  writes[0].descriptorType = VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR;
  vkUpdateDescriptorSets(ctx.device(), static_cast<uint32_t>(writes.size()), writes.data(), 0,
                         nullptr);
}

void PerCallDescriptorSet::write(VkAccelerationStructureKHR tlas,
                                 const std::vector<StorageBinding>& buffers) {
  write_descriptor_set(ctx_, set_, tlas, buffers);
}

void record_dispatch(VkCommandBuffer cmd, VkPipeline pipeline, VkPipelineLayout layout,
                     VkDescriptorSet set, uint32_t groups_x, uint32_t groups_y) {
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
  vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, layout, 0, 1, &set, 0, nullptr);
  vkCmdDispatch(cmd, groups_x, groups_y, 1);
  memory_barrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                 VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT |
                     VK_PIPELINE_STAGE_HOST_BIT,
                 VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT |
                     VK_ACCESS_TRANSFER_READ_BIT | VK_ACCESS_HOST_READ_BIT);
}

void record_pushed_dispatch(VkCommandBuffer cmd, VkPipeline pipeline, VkPipelineLayout layout,
                            VkDescriptorSet set, const void* push, uint32_t push_bytes,
                            uint32_t groups_x, uint32_t groups_y) {
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, pipeline);
  vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, layout, 0, 1, &set, 0, nullptr);
  vkCmdPushConstants(cmd, layout, VK_SHADER_STAGE_COMPUTE_BIT, 0, push_bytes, push);
  vkCmdDispatch(cmd, groups_x, groups_y, 1);
  memory_barrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                 VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT,
                 VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT);
}

void record_host_barrier(VkCommandBuffer cmd) {
  memory_barrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                 VK_PIPELINE_STAGE_HOST_BIT, VK_ACCESS_HOST_READ_BIT);
}

}  // namespace velm::vulkan
