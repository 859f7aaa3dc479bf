// Host-side geometry of the Vulkan scene that does not need the device: normal matrices of
// instances, the per-primitive geometry records in global primitive order, and the primitive
// count with its 32-bit limit.
#pragma once

#include <cstdint>
#include <vector>

#include "scene/scene_description.h"

namespace velm::vulkan {

// Normals transform with the inverse transpose of an instance's 3x3 linear part, so they stay
// perpendicular to surfaces under non-uniform scaling and shear. Three rows of four floats (the
// fourth 0), the layout the shaders read.
struct NormalMatrix {
  float rows[3][4] = {};
};
// False when the linear part is singular (|det| not above float epsilon): a flattened instance
// has no well-defined normals.
bool normal_matrix(const Transform34& m, NormalMatrix& out);
// As above; throws std::invalid_argument "Vulkan: instance transform has a singular linear
// component" for a singular transform.
NormalMatrix normal_matrix(const Transform34& m);

// One triangle in world space (16 values): corners, unit normal cross(P1 - P0, P2 - P0) ((0, 0,
// 1) for a degenerate triangle), area, and where it comes from.
struct PrimitiveRecord {
  Float3 p0, p1, p2;
  Float3 normal;
  float area = 0.f;  // m^2
  uint32_t material_id = 0;
  uint32_t instance_id = 0;
  uint32_t triangle = 0;  // index within the mesh
};
PrimitiveRecord primitive_record(const HostMesh& mesh, const Transform34& xf, uint32_t triangle,
                                 uint32_t instance_id);

// Sum over instances of their mesh's triangle count; std::overflow_error "Vulkan primitive count
// exceeds int range" above 2147483647.
int32_t count_primitives(const SceneDescription& d);
// Every primitive in global primitive order (instances in order, triangles in mesh order).
std::vector<PrimitiveRecord> primitive_records(const SceneDescription& d);

}  // namespace velm::vulkan
