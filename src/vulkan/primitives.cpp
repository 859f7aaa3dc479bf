#include "vulkan/primitives.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace velm::vulkan {

bool normal_matrix(const Transform34& m, NormalMatrix& out) {
  const float a = m[0], b = m[1], c = m[2];
  const float d = m[4], e = m[5], f = m[6];
  const float g = m[8], h = m[9], i = m[10];
  const float det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  if (!(std::fabs(det) > std::numeric_limits<float>::epsilon())) return false;
  const float rows[3][3] = {{e * i - f * h, f * g - d * i, d * h - e * g},
                            {c * h - b * i, a * i - c * g, b * g - a * h},
                            {b * f - c * e, c * d - a * f, a * e - b * d}};
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) out.rows[r][k] = rows[r][k] / det;
    out.rows[r][3] = 0.f;
  }
  return true;
}

NormalMatrix normal_matrix(const Transform34& m) {
  NormalMatrix n;
  if (!normal_matrix(m, n))
    throw std::invalid_argument("Vulkan: instance transform has a singular linear component");
  return n;
}

PrimitiveRecord primitive_record(const HostMesh& mesh, const Transform34& xf, uint32_t triangle,
                                 uint32_t instance_id) {
  const Int3& t = mesh.triangles[triangle];
  PrimitiveRecord r;
  r.p0 = transform_point(xf, mesh.vertices[static_cast<size_t>(t.i0)]);
  r.p1 = transform_point(xf, mesh.vertices[static_cast<size_t>(t.i1)]);
  r.p2 = transform_point(xf, mesh.vertices[static_cast<size_t>(t.i2)]);
  const Float3 e1{r.p1.x - r.p0.x, r.p1.y - r.p0.y, r.p1.z - r.p0.z};
  const Float3 e2{r.p2.x - r.p0.x, r.p2.y - r.p0.y, r.p2.z - r.p0.z};
  const Float3 n{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z,
                 e1.x * e2.y - e1.y * e2.x};
  const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  r.normal = len > 1e-20f ? Float3{n.x / len, n.y / len, n.z / len} : Float3{0.f, 0.f, 1.f};
  r.area = 0.5f * len;
  r.material_id = mesh.material_id;
  r.instance_id = instance_id;
  r.triangle = triangle;
  return r;
}

int32_t count_primitives(const SceneDescription& d) {
  int64_t total = 0;
  for (const InstanceRecord& inst : d.instances())
    total += static_cast<int64_t>(d.meshes()[inst.mesh_id].triangles.size());
  if (total > std::numeric_limits<int32_t>::max())
    throw std::overflow_error("Vulkan primitive count exceeds int range");
  return static_cast<int32_t>(total);
}

std::vector<PrimitiveRecord> primitive_records(const SceneDescription& d) {
  std::vector<PrimitiveRecord> out;
  out.reserve(static_cast<size_t>(count_primitives(d)));
  const auto& instances = d.instances();
  for (uint32_t i = 0; i < instances.size(); ++i) {
    const HostMesh& mesh = d.meshes()[instances[i].mesh_id];
    for (uint32_t t = 0; t < mesh.triangles.size(); ++t)
      out.push_back(primitive_record(mesh, instances[i].transform, t, i));
  }
  return out;
}

}  // namespace velm::vulkan
