#include "optix/scene_manager.h"

#include <cuda_runtime_api.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "optix/optix_loader.h"

namespace velm {

using optix::DeviceBuffer;

namespace {
uint64_t next_geometry_id() {
  static std::atomic<uint64_t> next{1};
  return next++;
}
}  // namespace

SceneManager::SceneManager(std::shared_ptr<OptiXContext> context) : context_(std::move(context)) {
  if (!context_) throw std::invalid_argument("SceneManager needs an OptiXContext");
}

SceneManager::~SceneManager() {
  // The buffers free themselves; make sure they go back to this context's device.
  if (cudaSetDevice(context_->device_id()) != cudaSuccess) cudaGetLastError();
  release_device_state();
}

void SceneManager::release_device_state() {
  gpu_meshes_.clear();
  ias_buffer_.reset();
  ias_instances_.reset();
  ias_update_buffer_.reset();
  materials_.reset();
  spectral_.reset();
  emitter_.reset();
  thermal_wavelengths_.reset();
  free_primitive_tables();
  temperatures_.reset();
  emissivities_.reset();
  sif_spectra_.reset();
}

// ---- build --------------------------------------------------------------------------------------

void SceneManager::build() {
  desc_.check_mutable();
  if (desc_.meshes().empty()) throw std::runtime_error("Scene is empty, nothing to build");
  context_->make_current();
  std::lock_guard<std::mutex> lock(context_->submit_mutex());
  desc_.set_built(false);

  gpu_meshes_.resize(desc_.meshes().size());
  for (size_t m = 0; m < gpu_meshes_.size(); ++m) {
    upload_mesh(m);
    build_gas(m);
  }
  // A scene of meshes alone shows each mesh once where it stands.
  if (desc_.instances().empty())
    for (size_t m = 0; m < desc_.meshes().size(); ++m)
      desc_.add_instance(static_cast<int32_t>(m), 0.f, 0.f, 0.f, 1.f);
  build_ias();
  bounds_ = desc_.compute_bounds();
  upload_materials_and_emitter();
  build_primitive_tables();
  geometry_id_ = next_geometry_id();
  desc_.set_built(true);
}

namespace {

// Check labels of one acceleration-structure build.
struct AccelLabels {
  const char *sizes, *temp, *output, *update, *build;
};
const AccelLabels kGasLabels{"gas mem", "gas temp", "gas out", nullptr, "gas build"};
const AccelLabels kIasLabels{"ias mem", "ias temp", "ias out", "ias update buf", "ias build"};

// Builds one acceleration structure from `input` into `output` and its handle; `update`, when
// given, is sized for later refits.
void build_accel(const OptiXContext& context, uint32_t flags, const optix::BuildInput& input,
                 DeviceBuffer& output, optix::TraversableHandle& handle,
                 const AccelLabels& labels, DeviceBuffer* update = nullptr) {
  optix::AccelBuildOptions options{};
  options.build_flags = flags;
  options.operation = optix::kBuildOperationBuild;
  const optix::FunctionTable& ox = optix::table();
  optix::AccelBufferSizes sizes{};
  optix::check(ox.accel_compute_memory_usage(context.device_context(), &options, &input, 1,
                                             &sizes),
               labels.sizes);
  DeviceBuffer temp;
  temp.allocate(sizes.temp_size, labels.temp);
  output.allocate(sizes.output_size, labels.output);
  if (update != nullptr)
    update->allocate(std::max<size_t>(sizes.temp_update_size, 8), labels.update);
  optix::check(ox.accel_build(context.device_context(), context.stream(), &options, &input, 1,
                              temp.get(), sizes.temp_size, output.get(), sizes.output_size,
                              &handle, nullptr, 0),
               labels.build);
  // The temporary memory may be freed only once the build has read it.
  optix::check_cuda(cudaStreamSynchronize(context.stream()), labels.build);
}

}  // namespace

void SceneManager::upload_mesh(size_t m) {
  const HostMesh& mesh = desc_.meshes()[m];
  GpuMeshRecord& g = gpu_meshes_[m];
  g.vertices.reset();
  g.normals.reset();
  g.indices.reset();
  g.vertex_count = static_cast<uint32_t>(mesh.vertices.size());
  g.triangle_count = static_cast<uint32_t>(mesh.triangles.size());
  g.material_id = mesh.material_id;
  static_assert(sizeof(Float3) == 12 && sizeof(Int3) == 12);
  g.vertices.assign(mesh.vertices.data(), 12 * mesh.vertices.size(), "mesh verts", "mesh verts");
  g.indices.assign(mesh.triangles.data(), 12 * mesh.triangles.size(), "mesh idx", "mesh idx");
  if (!mesh.normals.empty())
    g.normals.assign(mesh.normals.data(), 12 * mesh.normals.size(), "mesh norms", "mesh norms");
}

void SceneManager::build_gas(size_t m) {
  GpuMeshRecord& g = gpu_meshes_[m];
  const optix::DevicePtr vertex_buffers[1] = {g.vertices.get()};
  const uint32_t geometry_flags[1] = {optix::kGeometryFlagNone};
  optix::BuildInput input;
  std::memset(&input, 0, sizeof input);
  input.type = optix::kBuildInputTypeTriangles;
  auto& tri = input.triangle_array;
  tri.vertex_buffers = vertex_buffers;
  tri.num_vertices = g.vertex_count;
  tri.vertex_format = optix::kVertexFormatFloat3;
  tri.vertex_stride = 12;
  tri.index_buffer = g.indices.get();
  tri.num_index_triplets = g.triangle_count;
  tri.index_format = optix::kIndicesFormatUnsignedInt3;
  tri.index_stride = 12;
  tri.flags = geometry_flags;
  tri.num_sbt_records = 1;

  build_accel(*context_, optix::kBuildFlagPreferFastTrace, input, g.gas_buffer, g.gas, kGasLabels);
}


void SceneManager::build_ias() {
  std::vector<optix::TraversableHandle> gas(gpu_meshes_.size());
  for (size_t m = 0; m < gas.size(); ++m) gas[m] = gpu_meshes_[m].gas;
  const std::vector<optix::Instance> records = optix::make_instance_records(desc_.instances(), gas);
  ias_instances_.assign(records.data(), records.size() * sizeof(optix::Instance), "ias inst",
                        "ias inst");
  ias_instance_count_ = static_cast<uint32_t>(records.size());

  optix::BuildInput input;
  std::memset(&input, 0, sizeof input);
  input.type = optix::kBuildInputTypeInstances;
  input.instance_array.instances = ias_instances_.get();
  input.instance_array.num_instances = ias_instance_count_;
  build_accel(*context_, optix::kBuildFlagAllowUpdate | optix::kBuildFlagPreferFastTrace, input,
              ias_buffer_, ias_handle_, kIasLabels, &ias_update_buffer_);
}

void SceneManager::refit_ias() {
  desc_.check_mutable();
  if (!desc_.is_built() || ias_instances_.empty() || ias_update_buffer_.empty())
    throw std::runtime_error(
        "refit_ias: scene not built or update buffer not allocated. Call build() first.");
  context_->make_current();
  std::lock_guard<std::mutex> lock(context_->submit_mutex());
  optix::BuildInput input;
  std::memset(&input, 0, sizeof input);
  input.type = optix::kBuildInputTypeInstances;
  input.instance_array.instances = ias_instances_.get();
  input.instance_array.num_instances = ias_instance_count_;
  optix::AccelBuildOptions options{};
  options.build_flags = optix::kBuildFlagAllowUpdate | optix::kBuildFlagPreferFastTrace;
  options.operation = optix::kBuildOperationUpdate;
  optix::check(optix::table().accel_build(context_->device_context(), context_->stream(), &options,
                                          &input, 1, ias_update_buffer_.get(),
                                          ias_update_buffer_.size(), ias_buffer_.get(),
                                          ias_buffer_.size(), &ias_handle_, nullptr, 0),
               "ias refit");
  optix::check_cuda(cudaStreamSynchronize(context_->stream()), "ias refit");
}

void SceneManager::update_instance_transform(int32_t id, const float* transform12) {
  desc_.update_instance_transform(id, transform12);  // range check with the OptiX message
  // The device record changes now, the IAS at the next refit_ias() or build(). Instances added
  // after the last build have no device record yet.
  if (!ias_instances_.empty() && static_cast<uint32_t>(id) < ias_instance_count_) {
    context_->make_current();
    std::lock_guard<std::mutex> lock(context_->submit_mutex());
    const float* src = desc_.instances()[static_cast<size_t>(id)].transform.data();
    optix::check_cuda(
        cudaMemcpyAsync(reinterpret_cast<void*>(ias_instances_.get() +
                                                static_cast<size_t>(id) * sizeof(optix::Instance)),
                        src, 48, cudaMemcpyHostToDevice, context_->stream()),
        "update inst xform");
  }
}

void SceneManager::upload_materials_and_emitter() {
  const auto& mats = desc_.materials();
  if (!mats.empty())
    materials_.assign(mats.data(), mats.size() * sizeof(MaterialRecord), "mat", "mat");
  const EmitterRecord& e = desc_.emitter();
  emitter_.assign(&e, sizeof e, "emit", "emit");
}

bool SceneManager::populates_primitive_tables() const {
  return populate_soa_ || desc_.thermal().enabled || desc_.primitive_overrides().sif_only;
}

void SceneManager::free_primitive_tables() {
  prefix_device_.reset();
  instance_mesh_ids_.reset();
  instance_transforms_.reset();
  mesh_vertex_pointers_.reset();
  mesh_index_pointers_.reset();
  mesh_triangle_counts_.reset();
  lookup_instances_ = 0;
  max_mesh_triangles_ = 0;
}

void SceneManager::build_primitive_tables() {
  free_primitive_tables();
  if (!populates_primitive_tables()) {
    prefix_.clear();
    areas_.clear();
    return;
  }
  // The device table holds the prefix sums in 32 bits.
  const std::vector<uint64_t> prefix = desc_.primitive_prefix_sums();
  prefix_.assign(prefix.begin(), prefix.end());
  // Areas are recomputed at every build that asks for them, so they always follow the current
  // transforms.
  areas_ = populate_soa_ ? optix::primitive_areas(desc_, prefix_) : std::vector<float>{};
  prefix_device_.assign(prefix_.data(), prefix_.size() * sizeof(uint32_t), "primitive int alloc",
                        "primitive int upload");

  const auto& instances = desc_.instances();
  if (instances.empty() || gpu_meshes_.empty()) return;
  std::vector<uint32_t> mesh_ids(instances.size());
  std::vector<float> transforms(12 * instances.size());
  for (size_t i = 0; i < instances.size(); ++i) {
    mesh_ids[i] = instances[i].mesh_id;
    std::copy(instances[i].transform.begin(), instances[i].transform.end(),
              transforms.begin() + 12 * i);
  }
  std::vector<uint64_t> vertex_ptrs(gpu_meshes_.size()), index_ptrs(gpu_meshes_.size());
  std::vector<uint32_t> tri_counts(gpu_meshes_.size());
  uint32_t max_tris = 0;
  for (size_t m = 0; m < gpu_meshes_.size(); ++m) {
    vertex_ptrs[m] = gpu_meshes_[m].vertices.get();
    index_ptrs[m] = gpu_meshes_[m].indices.get();
    tri_counts[m] = gpu_meshes_[m].triangle_count;
    max_tris = std::max(max_tris, tri_counts[m]);
  }
  instance_mesh_ids_.assign(mesh_ids.data(), mesh_ids.size() * 4, "instance mesh ids alloc",
                            "instance mesh ids upload");
  instance_transforms_.assign(transforms.data(), transforms.size() * 4,
                              "instance transforms alloc", "instance transforms upload");
  mesh_vertex_pointers_.assign(vertex_ptrs.data(), vertex_ptrs.size() * 8,
                               "mesh vertex ptrs alloc", "mesh vertex ptrs upload");
  mesh_index_pointers_.assign(index_ptrs.data(), index_ptrs.size() * 8, "mesh index ptrs alloc",
                              "mesh index ptrs upload");
  mesh_triangle_counts_.assign(tri_counts.data(), tri_counts.size() * 4, "mesh tri counts alloc",
                               "mesh tri counts upload");
  lookup_instances_ = static_cast<uint32_t>(instances.size());
  max_mesh_triangles_ = max_tris;
}

void SceneManager::build_reuse_geometry() {
  desc_.check_mutable();
  if (gpu_meshes_.empty()) throw std::runtime_error("No GPU meshes to reuse. Call build() first.");
  context_->make_current();
  upload_materials_and_emitter();
  build_primitive_tables();
  geometry_id_ = next_geometry_id();
  desc_.set_built(true);
}

void SceneManager::clear_for_reuse() {
  desc_.clear_for_reuse();
  materials_.reset();
  emitter_.reset();
  spectral_.reset();
  desc_.set_built(false);
}

// ---- settings that upload at once ---------------------------------------------------------------

void SceneManager::upload_spectral_params(std::vector<float> params) {
  desc_.upload_spectral_params(std::move(params));
  context_->make_current();
  const auto& p = desc_.spectral_params();
  spectral_.assign(p.data(), p.size() * sizeof(float), "spectral alloc", "spectral upload");
}

void SceneManager::update_spectral_params(int64_t offset, const std::vector<float>& params) {
  desc_.check_mutable();
  if (spectral_.empty()) throw std::runtime_error("Spectral params not uploaded yet");
  desc_.update_spectral_params(offset, params);  // refuses a range outside the buffer
  context_->make_current();
  spectral_.upload(params.data(), params.size() * sizeof(float), "spectral update",
                   static_cast<size_t>(offset) * sizeof(float));
}

void SceneManager::update_emitter_direction(const float* direction3) {
  desc_.update_emitter_direction(direction3);
  if (emitter_.empty()) return;
  context_->make_current();
  const EmitterRecord& e = desc_.emitter();
  emitter_.upload(&e, sizeof e, "emitter update");
}

void SceneManager::set_thermal_mode(bool enabled, std::vector<float> wavelengths) {
  desc_.set_thermal_mode(enabled, std::move(wavelengths));
  context_->make_current();
  const auto& w = desc_.thermal().wavelengths;
  thermal_wavelengths_.reset();
  if (!w.empty())
    thermal_wavelengths_.assign(w.data(), w.size() * sizeof(float), "thermal wavelengths",
                                "thermal wavelengths");
}

// ---- per-primitive tables -----------------------------------------------------------------------

std::vector<int32_t> SceneManager::primitive_material_ids() const {
  return optix::primitive_material_ids(desc_, prefix_);
}

namespace {
// Uploads a per-primitive array, reallocating when its size changed since the last upload.
void upload_per_primitive(optix::DeviceBuffer& buf, const std::vector<float>& values,
                          const char* alloc_label, const char* copy_label) {
  const size_t bytes = values.size() * sizeof(float);
  if (buf.size() != bytes) buf.allocate(bytes, alloc_label);
  buf.upload(values.data(), bytes, copy_label);
}
}  // namespace

void SceneManager::set_primitive_temperatures(std::vector<float> values) {
  desc_.set_primitive_temperatures(std::move(values), n_primitives());
  context_->make_current();
  upload_per_primitive(temperatures_, desc_.primitive_overrides().temperatures,
                       "primitive temperatures alloc", "primitive temperatures upload");
}

void SceneManager::set_primitive_emissivities(std::vector<float> values) {
  desc_.set_primitive_emissivities(std::move(values), n_primitives());
  context_->make_current();
  upload_per_primitive(emissivities_, desc_.primitive_overrides().emissivities,
                       "primitive emissivities alloc", "primitive emissivities upload");
}

void SceneManager::set_primitive_sif_spectra(std::vector<float> spectra, int32_t n_sif_bands) {
  desc_.set_primitive_sif_spectra(std::move(spectra), n_sif_bands, n_primitives());
  context_->make_current();
  const auto& s = desc_.primitive_overrides().sif_spectra;
  const bool existed = !sif_spectra_.empty();
  sif_spectra_.allocate(s.size() * sizeof(float),
                        existed ? "primitive sif spectra realloc" : "primitive sif spectra alloc");
  sif_spectra_.upload(s.data(), s.size() * sizeof(float), "primitive sif spectra upload");
}

void SceneManager::clear_primitive_temperatures() {
  desc_.clear_primitive_temperatures();
  temperatures_.reset();
}

void SceneManager::clear_primitive_emissivities() {
  desc_.clear_primitive_emissivities();
  emissivities_.reset();
}

void SceneManager::clear_primitive_sif_spectra() {
  desc_.clear_primitive_sif_spectra();
  sif_spectra_.reset();
}

// ---- launch block -------------------------------------------------------------------------------

optix::LaunchSceneBlock SceneManager::launch_scene_block() const {
  optix::SceneDeviceState gpu;
  gpu.ias = ias_handle_;
  gpu.materials = materials_.get();
  gpu.spectral_params = spectral_.get();
  gpu.emitter = emitter_.get();
  gpu.thermal_wavelengths = thermal_wavelengths_.get();
  gpu.num_meshes = static_cast<uint32_t>(gpu_meshes_.size());
  gpu.n_primitives = static_cast<uint32_t>(n_primitives());
  gpu.temperatures = temperatures_.get();
  gpu.instance_prefix = prefix_device_.get();
  gpu.emissivities = emissivities_.get();
  gpu.sif_spectra = sif_spectra_.get();
  gpu.instance_mesh_ids = instance_mesh_ids_.get();
  gpu.instance_transforms = instance_transforms_.get();
  gpu.mesh_triangle_counts = mesh_triangle_counts_.get();
  gpu.lookup_instances = lookup_instances_;
  gpu.max_mesh_triangles = max_mesh_triangles_;
  gpu.mesh_vertex_pointers = mesh_vertex_pointers_.get();
  gpu.mesh_index_pointers = mesh_index_pointers_.get();
  return optix::make_launch_scene_block(desc_, bounds_, gpu);
}

optix::SceneFacts SceneManager::facts() const {
  optix::SceneFacts f;
  f.built = is_built();
  f.bounds = bounds_;
  f.n_primitives = n_primitives();
  f.lookup_instances = lookup_instances_;
  f.max_mesh_triangles = max_mesh_triangles_;
  return f;
}

}  // namespace velm
