// Scene tables for the simulation shaders.
#include <stdexcept>
#include <string>

#include "vulkan/scene_manager.h"

namespace velm::vulkan {

SceneTables VulkanSceneManager::scene_tables() const {
  SceneTables t;
  const auto& meshes = desc_.meshes();
  size_t n_vertices = 0, n_normals = 0, n_triangles = 0;
  for (const HostMesh& m : meshes) {
    n_vertices += m.vertices.size();
    n_normals += m.normals.size();
    n_triangles += m.triangles.size();
  }
  t.vertices.reserve(4 * n_vertices);
  t.normals.reserve(4 * n_normals);
  t.triangles.reserve(4 * n_triangles);
  t.meshes.reserve(meshes.size());
  for (const HostMesh& m : meshes) {
    t.meshes.push_back({static_cast<uint32_t>(t.vertices.size() / 4),
                        static_cast<uint32_t>(t.normals.size() / 4),
                        static_cast<uint32_t>(t.triangles.size() / 4), m.material_id});
    for (const Float3& v : m.vertices) t.vertices.insert(t.vertices.end(), {v.x, v.y, v.z, 1.f});
    for (const Float3& n : m.normals) t.normals.insert(t.normals.end(), {n.x, n.y, n.z, 0.f});
    for (const Int3& tri : m.triangles)
      t.triangles.insert(t.triangles.end(), {static_cast<uint32_t>(tri.i0),
                                             static_cast<uint32_t>(tri.i1),
                                             static_cast<uint32_t>(tri.i2), 0u});
  }
  // Instances as the TLAS holds them: their transforms may have changed in the description
  // since (a reuse build keeps the old structure).
  t.instances.reserve(shading_.size());
  t.instance_bases.reserve(shading_.size());
  for (const InstanceShading& s : shading_) {
    if (s.singular)
      throw std::invalid_argument("Vulkan: instance transform has a singular linear component");
    InstanceTableRecord r{};
    for (int row = 0; row < 3; ++row)
      for (int k = 0; k < 4; ++k) r.normal_matrix[row][k] = s.normal_matrix.rows[row][k];
    r.mesh_id = s.mesh;
    t.instances.push_back(r);
    t.instance_bases.push_back(s.first_primitive);
    t.n_primitives = s.first_primitive + static_cast<uint32_t>(meshes[s.mesh].triangles.size());
  }
  t.materials.reserve(desc_.materials().size());
  for (const MaterialRecord& m : desc_.materials()) {
    MaterialTableRecord r{};
    r.type = m.type;
    r.spectral_offset = m.spectral_offset;
    r.word2 = m.reserved0;
    for (int k = 0; k < 8; ++k) r.scalars[k] = m.scalars[k];
    t.materials.push_back(r);
  }
  return t;
}

void VulkanSceneManager::check_storage(uint64_t bytes, const char* what) const {
  check_storage_size(*ctx_, bytes, what);
}

}  // namespace velm::vulkan
