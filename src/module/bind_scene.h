// Registration of the scene-description methods that the three scene classes share. Each class
// registers them in its own order by calling these one at a time; the argument names and the
// shape checks that differ between the classes come from its Flavor, so the operation itself is
// written once.
#pragma once

#include <pybind11/stl.h>

#include "module/convert.h"
#include "scene/scene_description.h"

namespace velm::py_bind {

namespace py = pybind11;
using py_convert::F32Array;
using py_convert::I32Array;

// Argument names that differ between the Vulkan scene and the other two.
struct SceneArgNames {
  const char* transform;
  const char* transforms;
  const char* instance_id;
  const char* camera_transform;
  const char* count;
};
inline SceneArgNames arg_names(Flavor f) {
  if (f == Flavor::Vulkan) return {"transform", "transforms", "instance_id", "camera_transform", "count"};
  return {"xform", "xforms", "id", "cam_xform", "num_repetitions"};
}

// ---- argument checks that differ by flavor --------------------------------------------------

inline HostMesh mesh_from_arrays(Flavor f, const F32Array& vertices, const F32Array& normals,
                                 const py::object& index_array, int32_t material_id) {
  const char* shape_msg = "vertices, normals, and indices must have shape (N, 3)";
  py::array indices;
  std::vector<Int3> triangles = py_convert::index_rows(index_array, "indices", indices);
  if (f == Flavor::Vulkan) {
    for (const py::array* a : {static_cast<const py::array*>(&vertices),
                               static_cast<const py::array*>(&normals),
                               static_cast<const py::array*>(&indices)})
      if (a->ndim() != 2 || a->shape(1) != 3) throw py::value_error(shape_msg);
  } else {
    py_convert::require_ndim(vertices, 2);
    py_convert::require_ndim(normals, 2);
    py_convert::require_ndim(indices, 2);
    // Rows are read three values at a time; fewer columns would read past each row.
    if (vertices.shape(1) < 3 || (normals.shape(0) > 0 && normals.shape(1) < 3) ||
        (indices.shape(0) > 0 && indices.shape(1) < 3))
      throw py::value_error(shape_msg);
  }
  HostMesh mesh;
  mesh.vertices = py_convert::read_rows3<float, Float3>(vertices);
  if (normals.shape(0) > 0) mesh.normals = py_convert::read_rows3<float, Float3>(normals);
  mesh.triangles = std::move(triangles);
  mesh.material_id = static_cast<uint32_t>(material_id);
  return mesh;
}

// One 3x4 transform: any shape of exactly 12 values in the Vulkan scene, a 1-D array of at least
// 12 values (the first 12 are used) in the other two.
inline Transform34 transform_from_array(Flavor f, const F32Array& a) {
  if (f != Flavor::Vulkan) py_convert::require_ndim(a, 1);
  if (f == Flavor::Vulkan ? a.size() != 12 : a.size() < 12)
    throw py::value_error("transform must contain 12 floats");
  const std::vector<float> v = py_convert::to_vector(a);
  Transform34 t;
  std::copy(v.begin(), v.begin() + 12, t.begin());
  return t;
}

inline std::vector<float> transforms_from_array(Flavor f, const F32Array& a) {
  if (a.ndim() != 2 || a.shape(1) != 12) {
    if (f == Flavor::Vulkan) throw py::value_error("transforms must have shape (N, 12)");
    throw std::runtime_error("add_instances_xform: expected (N, 12) float32 array");
  }
  return py_convert::to_vector(a);
}

inline std::array<float, 3> direction_from_array(const F32Array& a) {
  py_convert::require_ndim(a, 1);
  if (a.size() < 3) throw py::value_error("direction must contain 3 floats");
  auto r = a.unchecked<1>();
  return {r(0), r(1), r(2)};
}

inline std::vector<float> floats_1d(const F32Array& a) {
  py_convert::require_ndim(a, 1);
  return py_convert::to_vector(a);
}

// ---- registration ---------------------------------------------------------------------------

template <class Scene>
class SceneBinder {
 public:
  SceneBinder(py::class_<Scene>& cls, Flavor flavor) : cls_(cls), f_(flavor), n_(arg_names(flavor)) {}

  // The scene a binding works on, refused when its constructor never ran, and its description.
  static Scene& scene_of(Scene& s) { return py_convert::constructed(s); }
  static SceneDescription& desc_of(Scene& s) { return scene_of(s).desc(); }

  SceneBinder& add_mesh() {
    Flavor f = f_;
    cls_.def(
        "add_mesh",
        [f](Scene& s, const F32Array& v, const F32Array& n, const py::object& i, int32_t mat) {
          SceneDescription& d = desc_of(s);
          return d.add_mesh(mesh_from_arrays(f, v, n, i, mat));
        },
        py::arg("vertices"), py::arg("normals"), py::arg("indices"), py::arg("material_id") = 0);
    return *this;
  }
  SceneBinder& add_instance() {
    auto fn = [](Scene& s, int32_t mesh_id, float x, float y, float z, float scale) {
      return desc_of(s).add_instance(mesh_id, x, y, z, scale);
    };
    if (f_ == Flavor::Vulkan)
      cls_.def("add_instance", fn, py::arg("mesh_id"), py::arg("x"), py::arg("y"), py::arg("z"),
               py::arg("scale") = 1.0f);
    else
      cls_.def("add_instance", fn, py::arg("mesh_id"), py::arg("x") = 0.0f, py::arg("y") = 0.0f,
               py::arg("z") = 0.0f, py::arg("scale") = 1.0f);
    return *this;
  }
  SceneBinder& add_instance_xform() {
    Flavor f = f_;
    cls_.def(
        "add_instance_xform",
        [f](Scene& s, int32_t mesh_id, const F32Array& t) {
          const Transform34 xf = transform_from_array(f, t);
          return desc_of(s).add_instance_xform(mesh_id, xf.data());
        },
        py::arg("mesh_id"), py::arg(n_.transform));
    return *this;
  }
  // Documented on the CPU and OptiX scenes, not on the Vulkan one.
  SceneBinder& add_instances_xform() {
    const char* doc = f_ == Flavor::Vulkan
                          ? nullptr
                          : "Batch-add N instances of one mesh from a (N, 12) row-major float32 "
                            "array. Returns the index of the FIRST added instance.";
    Flavor f = f_;
    auto fn = [f](Scene& s, int32_t mesh_id, const F32Array& t) {
      const std::vector<float> rows = transforms_from_array(f, t);
      return desc_of(s).add_instances_xform(mesh_id, rows.data(),
                                      static_cast<int64_t>(rows.size() / 12));
    };
    if (doc)
      cls_.def("add_instances_xform", fn, doc, py::arg("mesh_id"), py::arg(n_.transforms));
    else
      cls_.def("add_instances_xform", fn, py::arg("mesh_id"), py::arg(n_.transforms));
    return *this;
  }
  // The backend class's own update_instance_transform(id, const float*) runs after the checks.
  SceneBinder& update_instance_transform() {
    Flavor f = f_;
    cls_.def(
        "update_instance_transform",
        [f](Scene& s, int32_t id, const F32Array& t) {
          const Transform34 xf = transform_from_array(f, t);
          scene_of(s).update_instance_transform(id, xf.data());
        },
        py::arg(n_.instance_id), py::arg(n_.transform));
    return *this;
  }
  SceneBinder& refit() {
    auto fn = [](Scene& s) { scene_of(s).refit_ias(); };
    cls_.def("refit_ias", fn);
    cls_.def("refit_instances", fn);
    return *this;
  }
  SceneBinder& set_num_bands() {
    cls_.def("set_num_bands", [](Scene& s, int32_t n) { desc_of(s).set_num_bands(n); },
             py::arg("num_bands"));
    return *this;
  }
  SceneBinder& add_material() {
    cls_.def(
        "add_material",
        [](Scene& s, int32_t type, int32_t offset, const py::list& scalars) {
          return desc_of(s).add_material(static_cast<uint32_t>(type), static_cast<uint32_t>(offset),
                                   py_convert::list_to_floats(scalars, "scalar_params"));
        },
        py::arg("type"), py::arg("offset"), py::arg("scalar_params") = py::list());
    return *this;
  }
  SceneBinder& upload_spectral_params() {
    auto fn = [](Scene& s, const F32Array& p) { desc_of(s).upload_spectral_params(floats_1d(p)); };
    cls_.def("upload_spectral_params", fn, py::arg("parameters"));
    return *this;
  }
  SceneBinder& set_emitter() {
    auto fn = [](Scene& s, int32_t type, const F32Array& dir, int32_t offset) {
      const auto d = direction_from_array(dir);
      desc_of(s).set_emitter(static_cast<uint32_t>(type), d.data(), static_cast<uint32_t>(offset));
    };
    cls_.def("set_emitter", fn, py::arg("type"), py::arg("direction"), py::arg("spectral_offset"));
    return *this;
  }
  SceneBinder& update_emitter_direction() {
    auto fn = [](Scene& s, const F32Array& dir) {
      const auto d = direction_from_array(dir);
      desc_of(s).update_emitter_direction(d.data());
    };
    cls_.def("update_emitter_direction", fn, py::arg("direction"));
    return *this;
  }
  SceneBinder& set_sensor() {
    cls_.def(
        "set_sensor",
        [](Scene& s, int32_t type, int32_t width, int32_t height, float ortho_w, float ortho_h,
           const F32Array& cam, float fov, int32_t projection, bool terrain_following) {
          desc_of(s).set_sensor(type, width, height, ortho_w, ortho_h, floats_1d(cam), fov,
                                projection, terrain_following);
        },
        py::arg("type"), py::arg("width"), py::arg("height"), py::arg("ortho_w"),
        py::arg("ortho_h"), py::arg(n_.camera_transform), py::arg("fov") = 60.0f,
        py::arg("projection_type") = 0, py::arg("terrain_following") = false);
    return *this;
  }
  SceneBinder& set_sky() {
    cls_.def(
        "set_sky", [](Scene& s, int32_t offset) { desc_of(s).set_sky(offset); },
        py::arg("spectral_offset"));
    return *this;
  }
  SceneBinder& set_hw_sky() {
    cls_.def(
        "set_hw_sky",
        [](Scene& s, int32_t offset, float x, float y, float z) {
          desc_of(s).set_hw_sky(offset, x, y, z);
        },
        py::arg("spectral_offset"), py::arg("sun_x"), py::arg("sun_y"), py::arg("sun_z"));
    return *this;
  }
  SceneBinder& set_thermal_mode() {
    cls_.def(
        "set_thermal_mode",
        [](Scene& s, bool enabled, const py::list& wavelengths) {
          desc_of(s).set_thermal_mode(enabled,
                                      py_convert::list_to_floats(wavelengths, "wavelengths"));
        },
        py::arg("enabled"), py::arg("wavelengths"));
    return *this;
  }
  SceneBinder& set_repetitive() {
    cls_.def(
        "set_repetitive",
        [](Scene& s, int32_t count, float x, float y) { desc_of(s).set_repetitive(count, x, y); },
        py::arg(n_.count), py::arg("scene_x_size"), py::arg("scene_y_size"));
    return *this;
  }
  SceneBinder& build() {
    cls_.def("build", [](Scene& s) { scene_of(s).build(); });
    cls_.def("is_built", [](Scene& s) { return scene_of(s).is_built(); });
    return *this;
  }
  SceneBinder& has_meshes(bool gpu_name_first) {
    auto fn = [](Scene& s) { return scene_of(s).has_meshes(); };
    if (gpu_name_first) {
      cls_.def("has_gpu_meshes", fn);
      cls_.def("has_meshes", fn);
    } else {
      cls_.def("has_meshes", fn);
      cls_.def("has_gpu_meshes", fn);
    }
    return *this;
  }
  SceneBinder& clear_for_reuse() {
    cls_.def("clear_for_reuse", [](Scene& s) { scene_of(s).clear_for_reuse(); });
    return *this;
  }
  SceneBinder& build_reuse(bool gas_name_first) {
    auto fn = [](Scene& s) { scene_of(s).build_reuse_geometry(); };
    if (gas_name_first) {
      cls_.def("build_reuse_gas", fn);
      cls_.def("build_reuse_geometry", fn);
    } else {
      cls_.def("build_reuse_geometry", fn);
      cls_.def("build_reuse_gas", fn);
    }
    return *this;
  }
  SceneBinder& total_triangles() {
    cls_.def("total_triangles", [](Scene& s) { return desc_of(s).total_triangles(); });
    return *this;
  }
  SceneBinder& num_instances() {
    cls_.def("num_instances", [](Scene& s) { return desc_of(s).num_instances(); });
    return *this;
  }
  SceneBinder& heights() {
    cls_.def("max_height", [](Scene& s) { return scene_of(s).max_height(); });
    cls_.def("min_height", [](Scene& s) { return scene_of(s).min_height(); });
    return *this;
  }
  SceneBinder& aabb() {
    cls_.def("aabb", [](Scene& s) {
      const SceneBounds& b = scene_of(s).bounds();
      return py::make_tuple(py::make_tuple(b.lo[0], b.lo[1], b.lo[2]),
                            py::make_tuple(b.hi[0], b.hi[1], b.hi[2]));
    });
    return *this;
  }
  SceneBinder& set_measurement_plane() {
    auto fn = [](Scene& s, float h) { desc_of(s).set_measurement_plane(h); };
    cls_.def("set_measurement_plane", fn, py::arg("height"));
    return *this;
  }

 private:
  py::class_<Scene>& cls_;
  Flavor f_;
  SceneArgNames n_;
};

}  // namespace velm::py_bind
