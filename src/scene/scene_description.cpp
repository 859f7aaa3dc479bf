#include "scene/scene_description.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace velm {

SceneDescription::SceneDescription(Flavor flavor)
    : flavor_(flavor), num_bands_(flavor == Flavor::OptiX ? 0 : 1) {}

namespace {
bool finite3(const Float3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// Instances place geometry in the world: a transform that is not finite has no place.
void check_transform(const float* t) {
  for (int i = 0; i < 12; ++i)
    if (!std::isfinite(t[i])) throw std::invalid_argument("instance transform must be finite");
}
}  // namespace

void SceneDescription::check_mutable() const {
  if (in_use()) throw std::runtime_error("scene is in use by a running simulation");
}

void SceneDescription::geometry_added() {
  // A GPU scene must rebuild its acceleration structures before the new geometry can be seen;
  // the CPU scene keeps serving queries on what it built and picks the new geometry up at the
  // next build().
  if (flavor_ != Flavor::Cpu) built_ = false;
}

int32_t SceneDescription::add_mesh(HostMesh mesh) {
  check_mutable();
  if (mesh.vertices.empty()) throw std::invalid_argument("mesh must contain at least one vertex");
  if (mesh.triangles.empty())
    throw std::invalid_argument("mesh must contain at least one triangle");
  if (!mesh.normals.empty() && mesh.normals.size() != mesh.vertices.size())
    throw std::invalid_argument("mesh normals must be empty or have one entry per vertex");
  const int64_t nv = static_cast<int64_t>(mesh.vertices.size());
  for (size_t t = 0; t < mesh.triangles.size(); ++t) {
    const Int3& tri = mesh.triangles[t];
    for (int32_t idx : {tri.i0, tri.i1, tri.i2}) {
      if (idx < 0 || idx >= nv)
        throw std::invalid_argument("mesh triangle " + std::to_string(t) +
                                    " references a vertex outside the vertex buffer");
    }
  }
  // Ray tracers cannot take geometry that is not finite (and a NaN normal poisons every path
  // that meets it).
  for (size_t i = 0; i < mesh.vertices.size(); ++i)
    if (!finite3(mesh.vertices[i]))
      throw std::invalid_argument("mesh vertex " + std::to_string(i) + " is not finite");
  for (size_t i = 0; i < mesh.normals.size(); ++i)
    if (!finite3(mesh.normals[i]))
      throw std::invalid_argument("mesh normal " + std::to_string(i) + " is not finite");
  meshes_.push_back(std::move(mesh));
  geometry_added();
  return static_cast<int32_t>(meshes_.size() - 1);
}

void SceneDescription::check_mesh_id(int32_t mesh_id) const {
  if (mesh_id < 0 || static_cast<size_t>(mesh_id) >= meshes_.size())
    throw std::out_of_range("instance mesh id " + std::to_string(mesh_id) + " is outside [0, " +
                            std::to_string(meshes_.size()) + ")");
}

int32_t SceneDescription::add_instance(int32_t mesh_id, float x, float y, float z, float scale) {
  check_mutable();
  check_mesh_id(mesh_id);
  InstanceRecord rec;
  rec.mesh_id = static_cast<uint32_t>(mesh_id);
  rec.transform = {scale, 0.f, 0.f, x, 0.f, scale, 0.f, y, 0.f, 0.f, scale, z};
  check_transform(rec.transform.data());
  instances_.push_back(rec);
  geometry_added();
  return static_cast<int32_t>(instances_.size() - 1);
}

int32_t SceneDescription::add_instance_xform(int32_t mesh_id, const float* transform12) {
  check_mutable();
  if (transform12 == nullptr) throw std::invalid_argument("instance transform must not be null");
  check_mesh_id(mesh_id);
  check_transform(transform12);
  InstanceRecord rec;
  rec.mesh_id = static_cast<uint32_t>(mesh_id);
  std::copy(transform12, transform12 + 12, rec.transform.begin());
  instances_.push_back(rec);
  geometry_added();
  return static_cast<int32_t>(instances_.size() - 1);
}

int32_t SceneDescription::add_instances_xform(int32_t mesh_id, const float* transforms,
                                              int64_t count) {
  check_mutable();
  const int32_t first = static_cast<int32_t>(instances_.size());
  if (count <= 0) return first;
  if (transforms == nullptr) throw std::invalid_argument("instance transforms must not be null");
  check_mesh_id(mesh_id);
  for (int64_t i = 0; i < count; ++i) check_transform(transforms + 12 * i);
  instances_.reserve(instances_.size() + static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    InstanceRecord rec;
    rec.mesh_id = static_cast<uint32_t>(mesh_id);
    std::copy(transforms + 12 * i, transforms + 12 * i + 12, rec.transform.begin());
    instances_.push_back(rec);
  }
  geometry_added();
  return first;
}

void SceneDescription::update_instance_transform(int32_t id, const float* transform12) {
  check_mutable();
  if (transform12 == nullptr) throw std::invalid_argument("instance transform must not be null");
  const int32_t n = num_instances();
  if (id < 0 || id >= n) {
    switch (flavor_) {
      case Flavor::Vulkan:
        throw std::out_of_range("Vulkan instance id is outside the scene");
      case Flavor::OptiX:
        throw std::runtime_error("update_instance_transform: id " + std::to_string(id) +
                                 " out of range [0, " + std::to_string(n) + ")");
      case Flavor::Cpu:
        throw std::runtime_error("update_instance_transform: id out of range");
    }
  }
  check_transform(transform12);
  std::copy(transform12, transform12 + 12, instances_[static_cast<size_t>(id)].transform.begin());
  if (flavor_ == Flavor::Vulkan) built_ = false;
}

int32_t SceneDescription::total_triangles() const {
  // Accumulated in 32 bits, as the scene classes report it.
  uint32_t total = 0;
  if (flavor_ == Flavor::OptiX) {
    for (const auto& inst : instances_)
      total += static_cast<uint32_t>(meshes_[inst.mesh_id].triangles.size());
  } else {
    for (const auto& mesh : meshes_) total += static_cast<uint32_t>(mesh.triangles.size());
  }
  return static_cast<int32_t>(total);
}

std::vector<uint64_t> SceneDescription::primitive_prefix_sums() const {
  std::vector<uint64_t> prefix(instances_.size() + 1, 0);
  for (size_t i = 0; i < instances_.size(); ++i)
    prefix[i + 1] = prefix[i] + meshes_[instances_[i].mesh_id].triangles.size();
  return prefix;
}

namespace {
// An empty box, which the first point widened into it replaces.
SceneBounds empty_bounds() {
  SceneBounds b;
  for (int k = 0; k < 3; ++k) {
    b.lo[k] = 1e30f;
    b.hi[k] = -1e30f;
  }
  return b;
}

void widen(SceneBounds& b, const Float3& p) {
  const float c[3] = {p.x, p.y, p.z};
  for (int k = 0; k < 3; ++k) {
    b.lo[k] = std::min(b.lo[k], c[k]);
    b.hi[k] = std::max(b.hi[k], c[k]);
  }
}
}  // namespace

SceneBounds SceneDescription::compute_bounds() const {
  if (instances_.empty()) return SceneBounds{};
  SceneBounds b = empty_bounds();
  if (flavor_ == Flavor::Vulkan) {
    // The Vulkan scene's bounds are tight: every vertex of every instance, transformed.
    for (const InstanceRecord& inst : instances_)
      for (const Float3& v : meshes_[inst.mesh_id].vertices)
        widen(b, transform_point(inst.transform, v));
    return b;
  }
  // Each mesh's own box, once however many instances use it; an instance widens the bounds by
  // the eight transformed corners of its mesh's box.
  std::vector<SceneBounds> local(meshes_.size(), empty_bounds());
  for (size_t m = 0; m < meshes_.size(); ++m)
    for (const Float3& v : meshes_[m].vertices) widen(local[m], v);
  for (const InstanceRecord& inst : instances_) {
    const SceneBounds& l = local[inst.mesh_id];
    for (int corner = 0; corner < 8; ++corner) {
      const Float3 p{(corner & 1) ? l.hi[0] : l.lo[0], (corner & 2) ? l.hi[1] : l.lo[1],
                     (corner & 4) ? l.hi[2] : l.lo[2]};
      widen(b, transform_point(inst.transform, p));
    }
  }
  return b;
}

void SceneDescription::set_repetitive(int32_t count, float x_size, float y_size) {
  check_mutable();
  repetition_.count = count;
  repetition_.x_size = x_size;
  repetition_.y_size = y_size;
}

void SceneDescription::set_num_bands(int32_t n) {
  check_mutable();
  if (flavor_ == Flavor::OptiX && n > 128)
    throw std::runtime_error("num_bands=" + std::to_string(n) +
                             " exceeds GPU limit of 128. Use spectral batching to simulate more "
                             "bands.");
  num_bands_ = n;
}

int32_t SceneDescription::add_material(uint32_t type, uint32_t offset,
                                       const std::vector<float>& scalars) {
  check_mutable();
  MaterialRecord rec;
  rec.type = type;
  rec.spectral_offset = offset;
  for (size_t i = 0; i < scalars.size() && i < 8; ++i) rec.scalars[i] = scalars[i];
  materials_.push_back(rec);
  return static_cast<int32_t>(materials_.size() - 1);
}

void SceneDescription::update_spectral_params(int64_t offset, const std::vector<float>& params) {
  check_mutable();
  if (offset < 0 || offset + static_cast<int64_t>(params.size()) >
                        static_cast<int64_t>(spectral_.size())) {
    if (flavor_ == Flavor::OptiX)
      throw std::out_of_range("update_spectral_params: offset " + std::to_string(offset) +
                              " + length " + std::to_string(params.size()) +
                              " exceeds the uploaded " + std::to_string(spectral_.size()) +
                              " values");
    throw std::out_of_range("Vulkan spectral update is outside the buffer");
  }
  std::copy(params.begin(), params.end(), spectral_.begin() + offset);
}

void SceneDescription::set_emitter(uint32_t type, const float* direction3,
                                   uint32_t spectral_offset) {
  check_mutable();
  emitter_ = EmitterRecord{};
  emitter_.type = type;
  std::copy(direction3, direction3 + 3, emitter_.direction);
  emitter_.spectral_offset = spectral_offset;
}

void SceneDescription::update_emitter_direction(const float* direction3) {
  check_mutable();
  std::copy(direction3, direction3 + 3, emitter_.direction);
}

void SceneDescription::set_hw_sky(int32_t spectral_offset, float sun_x, float sun_y, float sun_z) {
  check_mutable();
  sky_.hosek_offset = spectral_offset;
  sky_.hosek_sun[0] = sun_x;
  sky_.hosek_sun[1] = sun_y;
  sky_.hosek_sun[2] = sun_z;
}

void SceneDescription::set_sensor(int32_t type, int32_t width, int32_t height, float ortho_w,
                                  float ortho_h, const std::vector<float>& matrix,
                                  float fov_degrees, int32_t projection_type,
                                  bool terrain_following) {
  check_mutable();
  SensorBlock s;
  s.type = type;
  s.width = width;
  s.height = height;
  s.ortho_width = ortho_w;
  s.ortho_height = ortho_h;
  s.projection_type = projection_type;
  if (flavor_ == Flavor::Vulkan)
    s.fov = fov_degrees * 0.017453292f;
  else
    s.fov = fov_degrees * 3.1415927f / 180.f;
  for (size_t i = 0; i < matrix.size() && i < 16; ++i) s.camera_to_world[i] = matrix[i];
  sensor_ = s;
  terrain_following_ = terrain_following;
}

void SceneDescription::set_thermal_mode(bool enabled, std::vector<float> wavelengths) {
  check_mutable();
  thermal_.enabled = enabled;
  thermal_.wavelengths = std::move(wavelengths);
}

namespace {
// The first primitive whose value lies outside [lo, hi] (NaN included) is named in the error.
void check_primitive_values(const std::vector<float>& values, float lo, float hi,
                            const char* what, const char* rule) {
  for (size_t i = 0; i < values.size(); ++i)
    if (!(values[i] >= lo && values[i] <= hi)) {
      std::ostringstream msg;
      msg << "primitive " << i << " has " << what << " " << values[i] << "; " << rule;
      throw std::invalid_argument(msg.str());
    }
}

std::string length_mismatch(const char* who, size_t length, int64_t n) {
  return std::string(who) + ": array length " + std::to_string(length) +
         " does not match n_primitives() = " + std::to_string(n);
}
}  // namespace

void SceneDescription::set_primitive_temperatures(std::vector<float> values, int64_t n) {
  check_mutable();
  if (flavor_ == Flavor::OptiX) {
    if (n <= 0)
      throw std::runtime_error(
          "set_primitive_temperatures: per-instance prefix sum not populated. Build the scene in "
          "thermal/SIF mode, or call set_populate_primitive_soa(true) before build().");
    if (static_cast<int64_t>(values.size()) != n)
      throw std::runtime_error(length_mismatch("set_primitive_temperatures", values.size(), n));
  } else if (static_cast<int64_t>(values.size()) != n) {
    throw std::invalid_argument("Vulkan primitive temperature count must equal n_primitives()");
  }
  check_primitive_values(values, 0.f, std::numeric_limits<float>::max(), "temperature",
                         "temperatures must be finite and non-negative (K)");
  overrides_.temperatures = std::move(values);
}

void SceneDescription::set_primitive_emissivities(std::vector<float> values, int64_t n) {
  check_mutable();
  if (static_cast<int64_t>(values.size()) != n) {
    if (flavor_ == Flavor::OptiX)
      throw std::runtime_error(length_mismatch("set_primitive_emissivities", values.size(), n));
    throw std::invalid_argument("Vulkan primitive emissivity count must equal n_primitives()");
  }
  check_primitive_values(values, 0.f, 1.f, "emissivity", "emissivities must lie in [0, 1]");
  overrides_.emissivities = std::move(values);
}

void SceneDescription::set_primitive_sif_spectra(std::vector<float> spectra, int32_t bands,
                                                 int64_t n) {
  check_mutable();
  const int64_t expected = static_cast<int64_t>(bands) * n;
  if (flavor_ == Flavor::OptiX) {
    if (bands < 0 || static_cast<int64_t>(spectra.size()) != expected)
      throw std::runtime_error("set_primitive_sif_spectra: array length " +
                               std::to_string(spectra.size()) +
                               " != n_sif_bands * n_primitives = " + std::to_string(bands) +
                               " * " + std::to_string(n) + " = " + std::to_string(expected));
  } else {
    if (bands < 1) throw std::invalid_argument("Vulkan SIF band count must be positive");
    if (static_cast<int64_t>(spectra.size()) != expected)
      throw std::invalid_argument(
          "Vulkan primitive SIF spectrum size must equal bands * n_primitives()");
  }
  overrides_.sif_spectra = std::move(spectra);
  overrides_.n_sif_bands = bands;
}

void SceneDescription::clear_primitive_temperatures() {
  check_mutable();
  overrides_.temperatures.clear();
}

void SceneDescription::clear_primitive_emissivities() {
  check_mutable();
  overrides_.emissivities.clear();
}

void SceneDescription::clear_primitive_sif_spectra() {
  check_mutable();
  overrides_.sif_spectra.clear();
  overrides_.n_sif_bands = 0;
}

void SceneDescription::set_sif_only_mode(bool enabled) {
  check_mutable();
  overrides_.sif_only = enabled;
}

void SceneDescription::clear_for_reuse() {
  check_mutable();
  materials_.clear();
  spectral_.clear();
  sky_ = SkySettings{};
  emitter_ = EmitterRecord{};
}

}  // namespace velm
