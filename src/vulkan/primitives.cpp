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
  // The corners in double precision, rounded once; the normal and area from the unrounded ones.
  double c[3][3];
  const int idx[3] = {t.i0, t.i1, t.i2};
  for (int k = 0; k < 3; ++k) {
    const Float3& v = mesh.vertices[static_cast<size_t>(idx[k])];
    for (int r = 0; r < 3; ++r)
      c[k][r] = double{xf[4 * r]} * v.x + double{xf[4 * r + 1]} * v.y +
                double{xf[4 * r + 2]} * v.z + double{xf[4 * r + 3]};
  }
  const auto rounded = [](const double* p) {
    return Float3{static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
  };
  PrimitiveRecord r;
  r.p0 = rounded(c[0]);
  r.p1 = rounded(c[1]);
  r.p2 = rounded(c[2]);
  const double e1[3] = {c[1][0] - c[0][0], c[1][1] - c[0][1], c[1][2] - c[0][2]};
  const double e2[3] = {c[2][0] - c[0][0], c[2][1] - c[0][1], c[2][2] - c[0][2]};
  const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                       e1[0] * e2[1] - e1[1] * e2[0]};
  const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  r.normal = len > 1e-20 ? Float3{static_cast<float>(n[0] / len), static_cast<float>(n[1] / len),
                                  static_cast<float>(n[2] / len)}
                         : Float3{0.f, 0.f, 1.f};
  r.area = static_cast<float>(0.5 * len);
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
