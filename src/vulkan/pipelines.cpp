#include "vulkan/pipelines.h"

#include <fstream>
#include <stdexcept>
#include <vector>

#include "vulkan/check.h"
#include "vulkan/mode_records.h"

namespace velm::vulkan {

std::vector<uint32_t> load_spirv(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("Vulkan shader not found: " + path);
  const std::streamoff size = in.tellg();
  if (size <= 0 || size % 4 != 0) throw std::runtime_error("Invalid SPIR-V shader: " + path);
  std::vector<uint32_t> words(static_cast<size_t>(size) / 4);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(words.data()), size))
    throw std::runtime_error("Failed to read SPIR-V shader: " + path);
  return words;
}

std::string shader_path_beside(const std::string& trace_shader, const std::string& file) {
  const size_t slash = trace_shader.find_last_of('/');
  if (slash == std::string::npos) return file;
  return trace_shader.substr(0, slash + 1) + file;
}

int optical_capacity(int variant) { return 4 << variant; }

int optical_variant(int32_t bands) {
  for (int i = 0; i < kOpticalVariants - 1; ++i)
    if (bands <= optical_capacity(i)) return i;
  return kOpticalVariants - 1;
}

std::string optical_shader_file(int variant) {
  return "backward_optical_" + std::to_string(optical_capacity(variant)) + ".spv";
}

namespace {
std::string label(const char* call, const std::string& group) {
  return group.empty() ? std::string(call) : std::string(call) + "(" + group + ")";
}
}  // namespace

VulkanPipelines::VulkanPipelines(VulkanContext& ctx, std::string trace_shader)
    : ctx_(ctx), trace_shader_(std::move(trace_shader)) {}

VulkanPipelines::~VulkanPipelines() {
  const VkDevice dev = ctx_.device();
  if (trace_pool_ != VK_NULL_HANDLE) vkDestroyDescriptorPool(dev, trace_pool_, nullptr);
  destroy(trace_);
  for (VkPipeline& p : optical_variants_)
    if (p != VK_NULL_HANDLE) vkDestroyPipeline(dev, p, nullptr);
  destroy(optical_);
  destroy(flux_);
  destroy(energy_balance_);
  destroy(microwave_);
}

void VulkanPipelines::destroy(ComputePipeline& p) noexcept {
  const VkDevice dev = ctx_.device();
  if (p.pipeline != VK_NULL_HANDLE) vkDestroyPipeline(dev, p.pipeline, nullptr);
  if (p.layout != VK_NULL_HANDLE) vkDestroyPipelineLayout(dev, p.layout, nullptr);
  if (p.set_layout != VK_NULL_HANDLE) vkDestroyDescriptorSetLayout(dev, p.set_layout, nullptr);
  p = ComputePipeline{};
}

void VulkanPipelines::create_layouts(ComputePipeline& p, uint32_t storage_buffers,
                                     uint32_t push_bytes, const std::string& group) {
  if (p.set_layout == VK_NULL_HANDLE) {
    std::vector<VkDescriptorSetLayoutBinding> bindings(storage_buffers + 1);
    for (uint32_t b = 0; b <= storage_buffers; ++b) {
      bindings[b].binding = b;
      bindings[b].descriptorType = b == 0 ? VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR
                                          : VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
      bindings[b].descriptorCount = 1;
      bindings[b].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    }
    VkDescriptorSetLayoutCreateInfo info{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    info.bindingCount = static_cast<uint32_t>(bindings.size());
    info.pBindings = bindings.data();
    check(vkCreateDescriptorSetLayout(ctx_.device(), &info, nullptr, &p.set_layout),
          label("vkCreateDescriptorSetLayout", group).c_str());
  }
  if (p.layout == VK_NULL_HANDLE) {
    VkPushConstantRange push{VK_SHADER_STAGE_COMPUTE_BIT, 0, push_bytes};
    VkPipelineLayoutCreateInfo info{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    info.setLayoutCount = 1;
    info.pSetLayouts = &p.set_layout;
    info.pushConstantRangeCount = push_bytes > 0 ? 1 : 0;
    info.pPushConstantRanges = push_bytes > 0 ? &push : nullptr;
    check(vkCreatePipelineLayout(ctx_.device(), &info, nullptr, &p.layout),
          label("vkCreatePipelineLayout", group).c_str());
  }
}

VkPipeline VulkanPipelines::create_pipeline(VkPipelineLayout layout, const std::string& path,
                                            const std::string& group) {
  const std::vector<uint32_t> code = load_spirv(path);
  VkShaderModuleCreateInfo module_info{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
  module_info.codeSize = code.size() * sizeof(uint32_t);
  module_info.pCode = code.data();
  VkShaderModule module = VK_NULL_HANDLE;
  check(vkCreateShaderModule(ctx_.device(), &module_info, nullptr, &module),
        label("vkCreateShaderModule", group).c_str());
  VkComputePipelineCreateInfo info{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
  info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
  info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
  info.stage.module = module;
  info.stage.pName = "main";
  info.layout = layout;
  VkPipeline pipeline = VK_NULL_HANDLE;
  const VkResult r =
      vkCreateComputePipelines(ctx_.device(), VK_NULL_HANDLE, 1, &info, nullptr, &pipeline);
  vkDestroyShaderModule(ctx_.device(), module, nullptr);
  check(r, label("vkCreateComputePipelines", group).c_str());
  return pipeline;
}

void VulkanPipelines::create_trace_pipeline() {
  create_layouts(trace_, 2, sizeof(uint32_t), "");
  if (trace_.pipeline == VK_NULL_HANDLE)
    trace_.pipeline = create_pipeline(trace_.layout, trace_shader_, "");
  if (trace_pool_ == VK_NULL_HANDLE) {
    const VkDescriptorPoolSize sizes[] = {{VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR, 1},
                                          {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 2}};
    VkDescriptorPoolCreateInfo info{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
    info.maxSets = 1;
    info.poolSizeCount = 2;
    info.pPoolSizes = sizes;
    check(vkCreateDescriptorPool(ctx_.device(), &info, nullptr, &trace_pool_),
          "vkCreateDescriptorPool");
  }
  if (trace_set_ == VK_NULL_HANDLE) {
    VkDescriptorSetAllocateInfo info{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    info.descriptorPool = trace_pool_;
    info.descriptorSetCount = 1;
    info.pSetLayouts = &trace_.set_layout;
    check(vkAllocateDescriptorSets(ctx_.device(), &info, &trace_set_), "vkAllocateDescriptorSets");
  }
}

void VulkanPipelines::create_optical_pipeline(int index) {
  if (index < 0 || index >= kOpticalVariants)
    throw std::out_of_range("Vulkan optical pipeline index is invalid");
  create_layouts(optical_, 12, 0, "optical");
  if (optical_variants_[index] == VK_NULL_HANDLE)
    optical_variants_[index] = create_pipeline(
        optical_.layout, shader_path_beside(trace_shader_, optical_shader_file(index)), "optical");
}

VkPipeline VulkanPipelines::optical(int index) const {
  if (index < 0 || index >= kOpticalVariants)
    throw std::out_of_range("Vulkan optical pipeline index is invalid");
  return optical_variants_[index];
}

void VulkanPipelines::create_flux_pipeline() {
  create_layouts(flux_, 16, 0, "flux");
  if (flux_.pipeline == VK_NULL_HANDLE)
    flux_.pipeline = create_pipeline(
        flux_.layout, shader_path_beside(trace_shader_, "forward_flux.spv"), "flux");
}

void VulkanPipelines::create_energy_balance_pipeline() {
  create_layouts(energy_balance_, 9, sizeof(EnergyBalanceParams), "energy balance");
  if (energy_balance_.pipeline == VK_NULL_HANDLE)
    energy_balance_.pipeline = create_pipeline(
        energy_balance_.layout, shader_path_beside(trace_shader_, "energy_balance.spv"),
        "energy balance");
}

void VulkanPipelines::create_microwave_pipeline() {
  create_layouts(microwave_, 19, sizeof(MicrowaveParams), "microwave");
  if (microwave_.pipeline == VK_NULL_HANDLE)
    microwave_.pipeline = create_pipeline(
        microwave_.layout, shader_path_beside(trace_shader_, "microwave_wavefront.spv"),
        "microwave");
}

}  // namespace velm::vulkan
