#include "module/convert.h"
#include "module/registry.h"
#include "scene/procedural.h"

namespace velm::py_bind {

namespace {
py::dict mesh_dict(const MeshLists& mesh) {
  using py_convert::pack;
  const auto nv = static_cast<py::ssize_t>(mesh.vertices.size());
  const auto nt = static_cast<py::ssize_t>(mesh.triangles.size());
  py::dict d;
  d["vertices"] = pack(reinterpret_cast<const float*>(mesh.vertices.data()), {nv, 3});
  d["normals"] = pack(reinterpret_cast<const float*>(mesh.normals.data()), {nv, 3});
  d["indices"] = pack(reinterpret_cast<const int32_t*>(mesh.triangles.data()), {nt, 3});
  return d;
}
}  // namespace

void register_procedural(py::module_& m) {
  m.def(
      "make_ground_plane",
      [](float half_w, float half_h, int32_t /*material_id*/, float max_tri_edge) {
        MeshLists mesh;
        append_ground_plane(mesh, half_w, half_h, max_tri_edge);
        return mesh_dict(mesh);
      },
      py::arg("half_w") = 50.0f, py::arg("half_h") = 50.0f, py::arg("material_id") = 0,
      py::arg("max_tri_edge") = 100.0f);
  m.def(
      "make_sphere",
      [](float radius, const py_convert::F32Array& center, int32_t subdivisions) {
        if (center.size() < 3) throw py::value_error("center must contain 3 floats");
        const std::vector<float> c = py_convert::to_vector(center);
        if (subdivisions > 10)  // 20 * 4^10 triangles already exceeds 2e7
          throw py::value_error("make_sphere: subdivisions must be at most 10");
        MeshLists mesh;
        append_sphere(mesh, radius, {c[0], c[1], c[2]}, subdivisions);
        return mesh_dict(mesh);
      },
      py::arg("radius"), py::arg("center"), py::arg("subdivisions") = 2);
  m.def(
      "make_cylinder",
      [](float radius, float height, int32_t segments) {
        MeshLists mesh;
        append_cylinder(mesh, radius, height, segments);
        return mesh_dict(mesh);
      },
      py::arg("radius"), py::arg("height"), py::arg("segments") = 8);
}

}  // namespace velm::py_bind
