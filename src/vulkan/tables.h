// The scene tables the simulation shaders read, built on the host for each call from the scene
// description and the instances the TLAS holds (element layouts in vulkan/mode_records.h).
#pragma once

#include <cstdint>
#include <vector>

#include "vulkan/mode_records.h"

namespace velm::vulkan {

struct SceneTables {
  std::vector<float> vertices;      // all meshes in mesh order, (x, y, z, 1) per vertex
  std::vector<float> normals;       // same order, (x, y, z, 0) per normal
  std::vector<uint32_t> triangles;  // same order, (i0, i1, i2, 0), indices local to the mesh
  std::vector<MeshTableRecord> meshes;
  std::vector<InstanceTableRecord> instances;  // in instance order
  std::vector<MaterialTableRecord> materials;  // in material order
  std::vector<uint32_t> instance_bases;  // global primitive index of each instance's first triangle
  uint32_t n_primitives = 0;             // of the instances the TLAS holds
};

}  // namespace velm::vulkan
