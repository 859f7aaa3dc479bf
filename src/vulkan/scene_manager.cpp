#include "vulkan/scene_manager.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace velm::vulkan {

namespace {
const Transform34 kIdentity = {1.f, 0.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 0.f, 1.f, 0.f};
// The TLAS carries an instance's id in its 24-bit custom index.
constexpr size_t kMaxInstanceIndex = size_t{1} << 24;
}  // namespace

VulkanSceneManager::VulkanSceneManager(std::shared_ptr<VulkanContext> context,
                                       std::string trace_shader)
    : ctx_(std::move(context)), pipelines_(*ctx_, std::move(trace_shader)) {}

VulkanSceneManager::~VulkanSceneManager() {
  // Nothing this scene owns may go while the device still uses it; members then go in reverse
  // order: pipelines, trace buffers, TLAS, meshes, and the context last.
  ctx_->wait_idle();
  if (timestamps_ != VK_NULL_HANDLE) vkDestroyQueryPool(ctx_->device(), timestamps_, nullptr);
}

void VulkanSceneManager::release_structures() noexcept {
  tlas_.destroy();
  tlas_instances_.destroy();
  shading_.clear();
  for (MeshGpu& m : meshes_) {
    m.blas.destroy();
    m.index_input.destroy();
    m.vertex_input.destroy();
  }
}

void VulkanSceneManager::check_instance_limits(size_t instance_count) const {
  const size_t limit = std::min<size_t>(
      kMaxInstanceIndex, static_cast<size_t>(std::min<uint64_t>(ctx_->limits().max_instances,
                                                                 kMaxInstanceIndex)));
  if (instance_count > limit)
    throw std::runtime_error("Vulkan: " + std::to_string(instance_count) +
                             " instances exceed the top-level limit of " + std::to_string(limit));
}

void VulkanSceneManager::build() {
  desc_.check_mutable();
  if (!desc_.has_meshes()) throw std::runtime_error("Vulkan: cannot build an empty scene");
  // Refused before anything is released: too many instances or primitives to number.
  const size_t n_instances =
      desc_.instances().empty() ? desc_.meshes().size() : desc_.instances().size();
  check_instance_limits(n_instances);
  count_primitives(desc_);

  desc_.set_built(false);
  release_structures();
  if (desc_.instances().empty())
    for (size_t m = 0; m < desc_.meshes().size(); ++m)
      desc_.add_instance_xform(static_cast<int32_t>(m), kIdentity.data());
  count_primitives(desc_);

  meshes_.resize(desc_.meshes().size());
  for (size_t m = 0; m < meshes_.size(); ++m)
    meshes_[m].blas = build_blas(*ctx_, desc_.meshes()[m], meshes_[m].vertex_input,
                                 meshes_[m].index_input);
  build_tlas();
  bounds_ = desc_.compute_bounds();
  if (pipelines_.trace().pipeline == VK_NULL_HANDLE || pipelines_.trace_set() == VK_NULL_HANDLE)
    pipelines_.create_trace_pipeline();
  desc_.set_built(true);
}

void VulkanSceneManager::build_tlas() {
  const auto& instances = desc_.instances();
  const auto& meshes = desc_.meshes();
  std::vector<VkAccelerationStructureInstanceKHR> records;
  std::vector<InstanceShading> shading;
  records.reserve(instances.size());
  shading.reserve(instances.size());
  const std::vector<uint64_t> first_primitive = desc_.primitive_prefix_sums();
  for (uint32_t i = 0; i < instances.size(); ++i) {
    const InstanceRecord& inst = instances[i];
    records.push_back(tlas_instance(inst, i, meshes_[inst.mesh_id].blas.address()));
    InstanceShading s;
    s.transform = inst.transform;
    s.singular = !normal_matrix(inst.transform, s.normal_matrix);
    s.mesh = inst.mesh_id;
    s.material = static_cast<int32_t>(meshes[inst.mesh_id].material_id);
    s.first_primitive = static_cast<uint32_t>(first_primitive[i]);
    shading.push_back(s);
  }
  tlas_ = vulkan::build_tlas(*ctx_, records, tlas_instances_);
  shading_ = std::move(shading);
}

void VulkanSceneManager::refit_ias() {
  desc_.check_mutable();
  // Every instanced mesh needs its BLAS, including meshes added since the last build.
  bool blas_ready = desc_.has_meshes() && !meshes_.empty() && !meshes_[0].blas.empty();
  for (const InstanceRecord& inst : desc_.instances())
    blas_ready = blas_ready && inst.mesh_id < meshes_.size() && !meshes_[inst.mesh_id].blas.empty();
  if (!blas_ready)
    throw std::runtime_error("Vulkan: build the scene before updating instance transforms");
  check_instance_limits(desc_.instances().size());
  count_primitives(desc_);
  desc_.set_built(false);
  tlas_.destroy();
  tlas_instances_.destroy();
  shading_.clear();
  build_tlas();
  bounds_ = desc_.compute_bounds();
  desc_.set_built(true);
}

void VulkanSceneManager::build_reuse_geometry() {
  desc_.check_mutable();
  if (tlas_.empty())
    throw std::runtime_error("Vulkan: no acceleration structures to reuse; call build first");
  bounds_ = desc_.compute_bounds();
  desc_.set_built(true);
}

void VulkanSceneManager::clear_for_reuse() {
  desc_.clear_for_reuse();
  desc_.set_built(false);
}

}  // namespace velm::vulkan
