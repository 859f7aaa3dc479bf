// Registration of the OptiX backend: OptiXContext, SceneManager (the shared scene methods through
// SceneBinder, in this class's order, plus the uploads and per-primitive tables of the GPU scene),
// Simulator and device_info.
#include "module/registry.h"

#if VELM_WITH_OPTIX

#include "module/bind_scene.h"
#include "optix/context.h"
#include "optix/scene_manager.h"
#include "optix/simulator.h"

namespace velm::py_bind {

namespace {

constexpr const char* kAddInstancesDoc =
    "Batch-add N instances of one mesh from a (N, 12) row-major float32 array. Returns the "
    "index of the FIRST added instance.";
constexpr const char* kSetPopulatePrimitiveSoaDoc =
    "Enable per-primitive SoA + per-instance lookup tables for the next build(). Required by "
    "EB / SIF / RRT-based paths.";
constexpr const char* kIsPopulatePrimitiveSoaDoc =
    "Whether the per-primitive SoA will be (or has been) populated on the next build (true "
    "if explicitly enabled or implied by thermal/SIF mode).";
constexpr const char* kNPrimitivesDoc =
    "Total triangle count across all instances (after build).";
constexpr const char* kGetPrimitiveAreasDoc =
    "Return per-primitive areas (m²) as a numpy array.";
constexpr const char* kGetPrimitiveMatIdsDoc =
    "Return per-primitive material IDs as a numpy array (materialised on demand from "
    "instance + mesh metadata).";
constexpr const char* kSetPrimitiveTemperaturesDoc =
    "Upload per-primitive temperatures (K). Length must equal n_primitives(). Closesthit "
    "thermal mode reads these in preference to mat.params[2..4] when set.";
constexpr const char* kClearPrimitiveTemperaturesDoc =
    "Clear the per-primitive temperature override (kernel reverts to mat.params[2..4]).";
constexpr const char* kGetPrimitiveTemperaturesDoc =
    "Return host-side per-primitive temperatures (mostly for testing).";
constexpr const char* kSetPrimitiveEmissivitiesDoc =
    "Upload per-primitive longwave emissivities. Length must equal n_primitives(). Used by "
    "the EB reverse-RT kernel for ε in the Lambertian emission term ε σ T⁴ / π.";
constexpr const char* kClearPrimitiveEmissivitiesDoc =
    "Clear the per-primitive emissivity override.";
constexpr const char* kSetPrimitiveSifSpectraDoc =
    "Upload per-primitive SIF emission spectra. spectra: float32[n_sif_bands * n_primitives] "
    "SoA (band-major). After upload, the backward kernel emits SIF from each hit primitive.";
constexpr const char* kClearPrimitiveSifSpectraDoc =
    "Clear the per-primitive SIF emission spectra.";
constexpr const char* kSetSifOnlyModeDoc =
    "Enable/disable SIF-only mode. When true the backward kernel returns pure SIF emission "
    "and suppresses optical reflectance (BSDF/NEE/sky).";

std::shared_ptr<OptiXContext> shared_context(OptiXContext& ctx) {
  return py_convert::constructed(ctx).shared_from_this();
}

// The per-primitive uploads of this scene report a wrong shape as RuntimeError.
std::vector<float> per_primitive_1d(const F32Array& a, const char* what) {
  if (a.ndim() != 1) throw std::runtime_error(std::string(what) + " must be 1D");
  return py_convert::to_vector(a);
}

void register_context(py::module_& m) {
  py::class_<OptiXContext, std::shared_ptr<OptiXContext>> cls(
      m, "OptiXContext", py::release_gil_before_calling_cpp_dtor());
  cls.def(py::init<int32_t>(), py::arg("device_id") = 0);
  cls.def("device_name", [](OptiXContext& c) { return py_convert::constructed(c).device_name(); });
  cls.def("total_vram_mb",
          [](OptiXContext& c) { return py_convert::constructed(c).total_vram_mb(); });
  cls.def("free_vram_mb",
          [](OptiXContext& c) { return py_convert::constructed(c).free_vram_mb(); });
}

void register_scene(py::module_& m) {
  py::class_<SceneManager> cls(m, "SceneManager", py::release_gil_before_calling_cpp_dtor());
  cls.def(py::init([](OptiXContext& ctx) { return new SceneManager(shared_context(ctx)); }));
  using S = SceneBinder<SceneManager>;
  S b(cls, Flavor::OptiX);
  b.add_mesh()
      .add_instance()
      .add_instance_xform()
      .add_instances_xform(kAddInstancesDoc)
      .update_instance_transform()
      .refit()
      .set_num_bands()
      .clear_for_reuse()
      .build_reuse(/*gas_name_first=*/true)
      .has_meshes(/*gpu_name_first=*/true)
      .add_material();
  // These three upload to the device at once, so they go through the scene rather than only
  // its description.
  cls.def("upload_spectral_params", [](SceneManager& s, const F32Array& p) {
    S::S(s).upload_spectral_params(floats_1d(p));
  });
  cls.def("update_spectral_params", [](SceneManager& s, int32_t offset, const F32Array& p) {
    S::S(s).update_spectral_params(offset, floats_1d(p));
  });
  b.set_emitter();
  cls.def("update_emitter_direction", [](SceneManager& s, const F32Array& dir) {
    const auto d = direction_from_array(dir);
    S::S(s).update_emitter_direction(d.data());
  });
  b.set_sensor()
      .set_sky()
      .set_hw_sky()
      .set_repetitive()
      .build()
      .total_triangles()
      .num_instances()
      .heights()
      .aabb()
      .set_measurement_plane();
  cls.def(
      "set_thermal_mode",
      [](SceneManager& s, bool enabled, const py::list& wavelengths) {
        S::S(s).set_thermal_mode(enabled, py_convert::list_to_floats(wavelengths, "wavelengths"));
      },
      py::arg("enabled"), py::arg("wavelengths"));

  cls.def(
      "set_populate_primitive_soa",
      [](SceneManager& s, bool enabled) { S::S(s).set_populate_primitive_soa(enabled); },
      kSetPopulatePrimitiveSoaDoc, py::arg("enabled"));
  cls.def(
      "is_populate_primitive_soa",
      [](SceneManager& s) { return S::S(s).populates_primitive_tables(); },
      kIsPopulatePrimitiveSoaDoc);
  cls.def(
      "n_primitives", [](SceneManager& s) { return S::S(s).n_primitives(); }, kNPrimitivesDoc);
  cls.def(
      "get_primitive_areas",
      [](SceneManager& s) {
        const auto& a = S::S(s).primitive_areas();
        return py_convert::pack(a, {static_cast<py::ssize_t>(a.size())});
      },
      kGetPrimitiveAreasDoc);
  cls.def(
      "get_primitive_mat_ids",
      [](SceneManager& s) {
        const std::vector<int32_t> ids = S::S(s).primitive_material_ids();
        return py_convert::pack(ids, {static_cast<py::ssize_t>(ids.size())});
      },
      kGetPrimitiveMatIdsDoc);
  cls.def(
      "set_primitive_temperatures",
      [](SceneManager& s, const F32Array& t) {
        S::S(s).set_primitive_temperatures(per_primitive_1d(t, "temperatures"));
      },
      kSetPrimitiveTemperaturesDoc, py::arg("temperatures"));
  cls.def(
      "clear_primitive_temperatures",
      [](SceneManager& s) { S::S(s).clear_primitive_temperatures(); },
      kClearPrimitiveTemperaturesDoc);
  cls.def(
      "get_primitive_temperatures",
      [](SceneManager& s) {
        const auto& t = S::D(s).primitive_overrides().temperatures;
        return py_convert::pack(t, {static_cast<py::ssize_t>(t.size())});
      },
      kGetPrimitiveTemperaturesDoc);
  cls.def(
      "set_primitive_emissivities",
      [](SceneManager& s, const F32Array& e) {
        S::S(s).set_primitive_emissivities(per_primitive_1d(e, "emissivities"));
      },
      kSetPrimitiveEmissivitiesDoc, py::arg("emissivities"));
  cls.def(
      "clear_primitive_emissivities",
      [](SceneManager& s) { S::S(s).clear_primitive_emissivities(); },
      kClearPrimitiveEmissivitiesDoc);
  cls.def(
      "set_primitive_sif_spectra",
      [](SceneManager& s, const F32Array& spectra, int32_t n_sif_bands) {
        S::S(s).set_primitive_sif_spectra(py_convert::to_vector(spectra), n_sif_bands);
      },
      kSetPrimitiveSifSpectraDoc, py::arg("spectra"), py::arg("n_sif_bands"));
  cls.def(
      "clear_primitive_sif_spectra", [](SceneManager& s) { S::S(s).clear_primitive_sif_spectra(); },
      kClearPrimitiveSifSpectraDoc);
  cls.def(
      "set_sif_only_mode",
      [](SceneManager& s, bool enabled) { S::D(s).set_sif_only_mode(enabled); },
      kSetSifOnlyModeDoc, py::arg("enabled"));
}

void register_simulator(py::module_& m) {
  py::class_<Simulator> cls(m, "Simulator", py::release_gil_before_calling_cpp_dtor());
  cls.def(py::init([](OptiXContext& ctx, const std::string& ptx_dir) {
    return new Simulator(shared_context(ctx), ptx_dir);
  }));
  cls.def("init", [](Simulator& s) { py_convert::constructed(s).init(); });
}

}  // namespace

void register_optix(py::module_& m) {
  // Compiled in; the driver's OptiX library is looked for only when a context is created.
  m.attr("HAS_OPTIX") = true;
  register_context(m);
  register_scene(m);
  register_simulator(m);
  m.def(
      "device_info",
      [](int32_t device_id) {
        const OptiXContext ctx(device_id);
        py::dict info;
        info["name"] = ctx.device_name();
        info["total_vram_mb"] = ctx.total_vram_mb();
        info["free_vram_mb"] = ctx.free_vram_mb();
        info["compute_capability"] = ctx.compute_capability();
        return info;
      },
      py::arg("device_id") = 0);
}

}  // namespace velm::py_bind

#else  // built without the OptiX backend

namespace velm::py_bind {
void register_optix(py::module_& m) { m.attr("HAS_OPTIX") = false; }
}  // namespace velm::py_bind

#endif
