// Python face of the Vulkan backend: VulkanContext, VulkanSceneManager with the shared scene
// methods (in this class's own order and argument names), and list_vulkan_devices.
#include "module/registry.h"

#if VELM_WITH_VULKAN

#include <memory>

#include "module/bind_scene.h"
#include "module/convert.h"
#include "module/transport_args.h"
#include "vulkan/context.h"
#include "vulkan/scene_manager.h"

namespace velm::py_bind {

using py_convert::constructed;
using py_convert::U32Array;
using vulkan::VulkanContext;
using vulkan::VulkanSceneManager;

namespace {

// Python holds contexts through shared pointers, so a scene can keep its context alive after
// the caller dropped it.
using ContextHolder = std::shared_ptr<VulkanContext>;

// Runs `work` with the interpreter lock released: for a call that waits on a lock a running call
// of the scene holds, since that call takes the interpreter lock between its dispatches (to poll
// for Ctrl-C and report progress) and would otherwise wait on the caller for ever.
template <class Work>
auto without_gil(Work&& work) {
  py::gil_scoped_release released;
  return work();
}

std::vector<float> floats_1d_named(const F32Array& a, const char* message) {
  if (a.ndim() != 1) throw py::value_error(message);
  return py_convert::to_vector(a);
}

void register_context(py::module_& m) {
  py::class_<VulkanContext, ContextHolder> cls(m, "VulkanContext");
  cls.def(py::init([](int32_t device) { return std::make_shared<VulkanContext>(device); }),
          py::arg("device") = 0);
  cls.def("device_name", [](VulkanContext& c) { return constructed(c).info().name; });
  cls.def("device_index", [](VulkanContext& c) { return constructed(c).device_index(); });
  cls.def("physical_device_index",
          [](VulkanContext& c) { return constructed(c).physical_device_index(); });
  cls.def("total_vram_mb", [](VulkanContext& c) {
    return static_cast<int64_t>(constructed(c).info().device_local_memory >> 20);
  });
  cls.def("api_version", [](VulkanContext& c) { return constructed(c).info().api_version; });
  cls.def("queue_family_index",
          [](VulkanContext& c) { return constructed(c).queue_family_index(); });
}

py::dict trace_closest(VulkanSceneManager& scene, const F32Array& origins,
                       const F32Array& directions, float t_min, float t_max) {
  if (origins.ndim() != 2 || directions.ndim() != 2 || origins.shape(1) != 3 ||
      directions.shape(1) != 3 || origins.shape(0) != directions.shape(0))
    throw py::value_error("origins and directions must have matching shape (N, 3)");
  if (!(t_min >= 0.f && t_max >= t_min))
    throw py::value_error("Vulkan: trace_closest needs 0 <= t_min <= t_max");
  const int32_t bands = scene.desc().num_bands();
  if (bands < 0) throw py::value_error("Vulkan: number of bands must not be negative");
  // Contiguous views; no copy when the caller's arrays already are C-ordered float32.
  const py_convert::CF32Array o(origins), d(directions);
  const py::ssize_t n = o.shape(0);

  py::array_t<float> t(n), normal({n, py::ssize_t{3}}), geometric({n, py::ssize_t{3}}),
      reflectance({n, py::ssize_t{bands}});
  py::array_t<int32_t> instance(n), primitive(n), global(n), material(n);
  py::array_t<bool> hit(n), back(n);
  vulkan::TraceRays rays{o.data(), d.data(), static_cast<size_t>(n), t_min, t_max};
  vulkan::TraceResults out{t.mutable_data(),        instance.mutable_data(),
                           primitive.mutable_data(), global.mutable_data(),
                           hit.mutable_data(),       back.mutable_data(),
                           normal.mutable_data(),    geometric.mutable_data(),
                           material.mutable_data(),  reflectance.mutable_data(),
                           bands};
  const HostHooks hooks = make_hooks(py::none());
  py_convert::run_on_scene(scene, [&] { scene.trace_closest(rays, out, hooks); });

  py::dict r;
  r["t"] = t;
  r["instance_id"] = instance;
  r["primitive_id"] = primitive;
  r["global_primitive_id"] = global;
  r["hit"] = hit;
  r["is_back_face"] = back;
  r["normal"] = normal;
  r["geometric_normal"] = geometric;
  r["material_id"] = material;
  r["reflectance"] = reflectance;
  return r;
}

py::array_t<float> simulate_backward(VulkanSceneManager& scene, int32_t spp, int32_t max_depth,
                                     uint64_t seed) {
  const HostHooks hooks = make_hooks(py::none());
  const std::vector<float> image = py_convert::run_on_scene(
      scene, [&] { return scene.simulate_backward(spp, max_depth, hooks, seed); });
  const SensorBlock& s = scene.desc().sensor();
  return py_convert::pack(image, {s.height, s.width, scene.desc().num_bands()});
}

py::dict simulate_flux(VulkanSceneManager& scene, const FluxRequest& req,
                       const py::object& progress) {
  const HostHooks hooks = make_hooks(progress);
  return flux_dict(
      py_convert::run_on_scene(scene, [&] { return scene.simulate_flux(req, hooks); }), req);
}

py::dict simulate_forward_radiation(VulkanSceneManager& scene, const vulkan::RadiationRequest& req,
                                    const py::object& progress) {
  const HostHooks hooks = make_hooks(progress);
  const vulkan::RadiationField r = py_convert::run_on_scene(
      scene, [&] { return scene.simulate_forward_radiation(req, hooks); });
  using py_convert::pack;
  const py::ssize_t nb = r.bands;
  py::dict out;
  out["grid"] = pack(r.grid, {r.layers, r.ny, r.nx, nb});
  if (!r.leaf.empty())
    out["leaf"] = pack(r.leaf, {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
  if (!r.terrain.empty()) out["terrain"] = pack(r.terrain, {nb});
  return out;
}

// (top, bottom): band-major arrays of shape (P,) for one band or (bands, P); bottom is empty
// (shape (0,)) unless both faces were asked for.
py::tuple energy_balance_result(const vulkan::EnergyBalanceResult& r, bool multiband) {
  using py_convert::pack;
  const py::ssize_t nb = r.bands, np = r.n_primitives;
  const std::vector<py::ssize_t> shape =
      multiband ? std::vector<py::ssize_t>{nb, np} : std::vector<py::ssize_t>{np};
  py::array_t<float> bottom =
      r.bottom.empty() ? py::array_t<float>(0) : pack(r.bottom, shape);
  return py::make_tuple(pack(r.top, shape), bottom);
}

py::dict primitive_geometry(const std::vector<vulkan::PrimitiveRecord>& recs) {
  const py::ssize_t n = static_cast<py::ssize_t>(recs.size());
  py::array_t<float> vertices({n, py::ssize_t{3}, py::ssize_t{3}}), normals({n, py::ssize_t{3}}),
      areas(n);
  py::array_t<int32_t> materials(n), instances(n), primitives(n);
  float* v = vertices.mutable_data();
  float* nn = normals.mutable_data();
  for (py::ssize_t i = 0; i < n; ++i) {
    const vulkan::PrimitiveRecord& r = recs[static_cast<size_t>(i)];
    for (const Float3& p : {r.p0, r.p1, r.p2}) {
      *v++ = p.x;
      *v++ = p.y;
      *v++ = p.z;
    }
    *nn++ = r.normal.x;
    *nn++ = r.normal.y;
    *nn++ = r.normal.z;
    areas.mutable_data()[i] = r.area;
    materials.mutable_data()[i] = static_cast<int32_t>(r.material_id);
    instances.mutable_data()[i] = static_cast<int32_t>(r.instance_id);
    primitives.mutable_data()[i] = static_cast<int32_t>(r.triangle);
  }
  py::dict out;
  out["vertices"] = vertices;
  out["normals"] = normals;
  out["areas"] = areas;
  out["material_ids"] = materials;
  out["instance_ids"] = instances;
  out["primitive_ids"] = primitives;
  return out;
}

py::dict sensor_config(const SensorBlock& s) {
  py::dict out;
  out["type"] = s.type;
  out["width"] = s.width;
  out["height"] = s.height;
  out["ortho_width"] = s.ortho_width;
  out["ortho_height"] = s.ortho_height;
  out["fov"] = s.fov;
  out["projection_type"] = s.projection_type;
  out["camera_to_world"] = py_convert::pack(s.camera_to_world, {16});
  return out;
}

void register_scene(py::module_& m) {
  using Scene = VulkanSceneManager;
  using B = SceneBinder<Scene>;
  py::class_<Scene> cls(m, "VulkanSceneManager");
  cls.def(py::init([](VulkanContext& ctx, const std::string& trace_shader) {
            return std::make_unique<Scene>(constructed(ctx).shared_from_this(), trace_shader);
          }),
          py::arg("context"), py::arg("trace_shader"));
  B b(cls, Flavor::Vulkan);
  b.add_mesh()
      .add_instance()
      .add_instance_xform()
      .add_instances_xform()
      .update_instance_transform()
      .refit()
      .set_num_bands()
      .add_material()
      .upload_spectral_params();
  cls.def(
      "update_spectral_params",
      [](Scene& s, int32_t offset, const F32Array& p) {
        B::desc_of(s).update_spectral_params(offset, floats_1d(p));
      },
      py::arg("offset"), py::arg("parameters"));
  b.set_emitter().update_emitter_direction().set_sensor().set_sky().set_hw_sky().set_repetitive()
      .set_thermal_mode();

  cls.def("n_primitives", [](Scene& s) { return B::scene_of(s).n_primitives(); });
  cls.def("is_populate_primitive_soa",
          [](Scene& s) { return B::scene_of(s).populate_primitive_soa(); });
  cls.def("set_populate_primitive_soa",
          [](Scene& s, bool enabled) { B::scene_of(s).set_populate_primitive_soa(enabled); },
          py::arg("enabled"));
  cls.def("get_primitive_mat_ids", [](Scene& s) {
    const auto recs = vulkan::primitive_records(B::desc_of(s));
    py::array_t<int32_t> out(static_cast<py::ssize_t>(recs.size()));
    for (size_t i = 0; i < recs.size(); ++i)
      out.mutable_data()[i] = static_cast<int32_t>(recs[i].material_id);
    return out;
  });
  cls.def("get_primitive_areas", [](Scene& s) {
    const auto recs = vulkan::primitive_records(B::desc_of(s));
    py::array_t<float> out(static_cast<py::ssize_t>(recs.size()));
    for (size_t i = 0; i < recs.size(); ++i) out.mutable_data()[i] = recs[i].area;
    return out;
  });
  cls.def("primitive_geometry",
          [](Scene& s) { return primitive_geometry(vulkan::primitive_records(B::desc_of(s))); });
  cls.def(
      "set_primitive_emissivities",
      [](Scene& s, const F32Array& e) {
        std::vector<float> v = floats_1d_named(e, "emissivities must be 1D");
        B::desc_of(s).set_primitive_emissivities(std::move(v), B::scene_of(s).n_primitives());
      },
      py::arg("emissivities"));
  cls.def("get_primitive_emissivities", [](Scene& s) {
    const auto& v = B::desc_of(s).primitive_overrides().emissivities;
    return py_convert::pack(v, {static_cast<py::ssize_t>(v.size())});
  });
  cls.def("repetitive_config", [](Scene& s) {
    const RepetitionTile& r = B::desc_of(s).repetition();
    return py::make_tuple(r.count, r.x_size, r.y_size);
  });
  cls.def(
      "set_primitive_temperatures",
      [](Scene& s, const F32Array& t) {
        std::vector<float> v = floats_1d_named(t, "temperatures must be 1D");
        B::desc_of(s).set_primitive_temperatures(std::move(v), B::scene_of(s).n_primitives());
      },
      py::arg("temperatures"));
  cls.def("clear_primitive_temperatures",
          [](Scene& s) { B::desc_of(s).clear_primitive_temperatures(); });
  cls.def("get_primitive_temperatures", [](Scene& s) {
    const auto& v = B::desc_of(s).primitive_overrides().temperatures;
    return py_convert::pack(v, {static_cast<py::ssize_t>(v.size())});
  });
  cls.def(
      "set_primitive_sif_spectra",
      [](Scene& s, const F32Array& spectra, int32_t bands) {
        B::desc_of(s).set_primitive_sif_spectra(floats_1d(spectra), bands,
                                                B::scene_of(s).n_primitives());
      },
      py::arg("spectra"), py::arg("n_sif_bands"));
  cls.def("clear_primitive_sif_spectra",
          [](Scene& s) { B::desc_of(s).clear_primitive_sif_spectra(); });
  cls.def(
      "set_sif_only_mode", [](Scene& s, bool enabled) { B::desc_of(s).set_sif_only_mode(enabled); },
      py::arg("enabled"));
  b.set_measurement_plane()
      .clear_for_reuse()
      .build_reuse(/*gas_name_first=*/false)
      .build()
      .has_meshes(/*gpu_name_first=*/false)
      .num_instances()
      .total_triangles()
      .heights()
      .aabb();
  cls.def("sensor_config",
          [](Scene& s) { return sensor_config(B::desc_of(s).sensor()); });
  cls.def(
      "trace_closest",
      [](Scene& s, const F32Array& o, const F32Array& d, float t_min, float t_max) {
        return trace_closest(constructed(s), o, d, t_min, t_max);
      },
      py::arg("origins"), py::arg("directions"), py::arg("t_min") = 0.0001f,
      py::arg("t_max") = 1e30f);
  cls.def(
      "simulate_backward",
      [](Scene& s, int32_t spp, int32_t max_depth, uint64_t seed) {
        return simulate_backward(constructed(s), spp, max_depth, seed);
      },
      VELM_SEED_DOC, py::arg("spp") = 16, py::arg("max_depth") = 16, py_convert::seed_arg());
  cls.def(
      "simulate_flux",
      [](Scene& s, int32_t nx, int32_t ny, int64_t num_photons, int32_t num_bands, float prob_sun,
         int32_t max_bounces, int32_t max_depth, int32_t rr_depth, bool decompose,
         const py::object& progress, uint64_t seed) {
        return simulate_flux(constructed(s),
                             flux_request(nx, ny, num_photons, num_bands, prob_sun, max_bounces,
                                          max_depth, rr_depth, decompose, seed),
                             progress);
      },
      VELM_SEED_DOC, py::arg("nx"), py::arg("ny"), py::arg("num_photons"), py::arg("num_bands"),
      py::arg("prob_sun") = 1.0f, py::arg("max_bounces") = 0, py::arg("max_depth") = 16,
      py::arg("rr_depth") = 3, py::arg("decompose") = false, py::arg("progress") = py::none(),
      py_convert::seed_arg());
  cls.def(
      "simulate_forward_radiation",
      [](Scene& s, int32_t nx, int32_t ny, const F32Array& layer_heights, int64_t num_photons,
         int32_t num_bands, bool per_leaf, float prob_sun, int32_t max_depth, int32_t rr_depth,
         int32_t terrain_instance_id, const py::object& progress, uint64_t seed) {
        vulkan::RadiationRequest req;
        req.nx = nx;
        req.ny = ny;
        req.layer_heights = floats_1d_named(layer_heights, "layer_heights must be 1D");
        req.num_photons = num_photons;
        req.num_bands = num_bands;
        req.per_leaf = per_leaf;
        req.prob_sun = prob_sun;
        req.max_depth = max_depth;
        req.rr_depth = rr_depth;
        req.terrain_instance_id = terrain_instance_id;
        req.seed = seed;
        return simulate_forward_radiation(constructed(s), req, progress);
      },
      VELM_SEED_DOC, py::arg("nx"), py::arg("ny"), py::arg("layer_heights"), py::arg("num_photons"),
      py::arg("num_bands"), py::arg("per_leaf") = false, py::arg("prob_sun") = 1.0f,
      py::arg("max_depth") = 16, py::arg("rr_depth") = 3, py::arg("terrain_instance_id") = -1,
      py::arg("progress") = py::none(), py_convert::seed_arg());
  cls.def(
      "run_energy_balance_gpu",
      [](Scene& s, int32_t band_type, int32_t n_samples, float sun_irradiance,
         float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
         float sun_dir_z, bool two_sided, const F32Array& sw_albedos, uint64_t seed) {
        Scene& scene = constructed(s);
        const float direction[3] = {sun_dir_x, sun_dir_y, sun_dir_z};
        std::vector<float> albedos = py_convert::to_vector(sw_albedos);
        const HostHooks hooks = make_hooks(py::none());
        const vulkan::EnergyBalanceResult r = py_convert::run_on_scene(scene, [&] {
          return scene.run_energy_balance(band_type, n_samples, sun_irradiance,
                                          sky_diffuse_radiance, sky_lw_radiance, direction,
                                          two_sided, std::move(albedos), hooks, seed);
        });
        return energy_balance_result(r, false);
      },
      VELM_SEED_DOC, py::arg("band_type"), py::arg("n_samples"), py::arg("sun_irradiance"),
      py::arg("sky_diffuse_radiance"), py::arg("sky_lw_radiance"), py::arg("sun_dir_x"),
      py::arg("sun_dir_y"), py::arg("sun_dir_z"), py::arg("two_sided"),
      py::arg("sw_albedos") = py::array_t<float>(0), py_convert::seed_arg());
  cls.def(
      "run_energy_balance_multiband_gpu",
      [](Scene& s, int32_t n_bands, int32_t n_samples, const F32Array& sun_irradiance,
         const F32Array& sky_diffuse_radiance, float sun_dir_x, float sun_dir_y, float sun_dir_z,
         bool two_sided, const F32Array& sw_albedos, uint64_t seed) {
        Scene& scene = constructed(s);
        vulkan::EnergyBalanceLight light;
        light.sun = py_convert::to_vector(sun_irradiance);
        light.sky = py_convert::to_vector(sky_diffuse_radiance);
        light.sun_direction[0] = sun_dir_x;
        light.sun_direction[1] = sun_dir_y;
        light.sun_direction[2] = sun_dir_z;
        light.albedos = py_convert::to_vector(sw_albedos);
        const HostHooks hooks = make_hooks(py::none());
        const vulkan::EnergyBalanceResult r = py_convert::run_on_scene(scene, [&] {
          return scene.run_energy_balance_multiband(n_bands, n_samples, std::move(light),
                                                    two_sided, hooks, seed);
        });
        return energy_balance_result(r, true);
      },
      VELM_SEED_DOC, py::arg("n_bands"), py::arg("n_samples"), py::arg("sun_irradiance"),
      py::arg("sky_diffuse_radiance"), py::arg("sun_dir_x"), py::arg("sun_dir_y"),
      py::arg("sun_dir_z"), py::arg("two_sided"), py::arg("sw_albedos") = py::array_t<float>(0),
      py_convert::seed_arg());
  cls.def(
      "run_microwave_wavefront",
      [](Scene& s, bool active_mode, int32_t max_depth, float air_temperature,
         float atmosphere_tau, int32_t soil_count, int32_t vegetation_count, int32_t trunk_count,
         int32_t response_table_size, const F32Array& origins, const F32Array& directions,
         const I32Array& material_map, const F32Array& passive_soil_table,
         const F32Array& active_soil_table, const F32Array& smooth_soil_table,
         const F32Array& vegetation_parameters, const F32Array& trunk_parameters,
         const F32Array& trunk_response_table, const F32Array& trunk_dihedral_scattering,
         const F32Array& dihedral_ground_table, const U32Array& lut_info,
         const F32Array& mueller_lut, const F32Array& cosine_cdf, const F32Array& azimuth_cdf,
         uint64_t seed) {
        Scene& scene = constructed(s);
        if (origins.ndim() != 2 || directions.ndim() != 2 || origins.shape(1) != 4 ||
            directions.shape(1) != 4 || origins.shape(0) != directions.shape(0))
          throw py::value_error("origins and directions must have shape (N, 4)");
        using py_convert::to_vector;
        vulkan::WavefrontRequest req;
        req.active_mode = active_mode;
        req.max_depth = max_depth;
        req.air_temperature = air_temperature;
        req.atmosphere_tau = atmosphere_tau;
        req.soil_count = soil_count;
        req.vegetation_count = vegetation_count;
        req.trunk_count = trunk_count;
        req.response_table_size = response_table_size;
        req.origins = to_vector(origins);
        req.directions = to_vector(directions);
        req.material_map = to_vector(material_map);
        req.passive_soil = to_vector(passive_soil_table);
        req.active_soil = to_vector(active_soil_table);
        req.smooth_soil = to_vector(smooth_soil_table);
        req.vegetation_parameters = to_vector(vegetation_parameters);
        req.trunk_parameters = to_vector(trunk_parameters);
        req.trunk_response = to_vector(trunk_response_table);
        req.trunk_dihedral = to_vector(trunk_dihedral_scattering);
        req.dihedral_ground = to_vector(dihedral_ground_table);
        req.lut_info = to_vector(lut_info);
        req.mueller_lut = to_vector(mueller_lut);
        req.cosine_cdf = to_vector(cosine_cdf);
        req.azimuth_cdf = to_vector(azimuth_cdf);
        req.seed = seed;
        const HostHooks hooks = make_hooks(py::none());
        const std::vector<float> out = py_convert::run_on_scene(
            scene, [&] { return scene.run_microwave_wavefront(req, hooks); });
        return py_convert::pack(out, {static_cast<py::ssize_t>(out.size() / 4), 4});
      },
      VELM_SEED_DOC, py::arg("active_mode"), py::arg("max_depth"), py::arg("air_temperature"),
      py::arg("atmosphere_tau"), py::arg("soil_count"), py::arg("vegetation_count"),
      py::arg("trunk_count"), py::arg("response_table_size"), py::arg("origins"),
      py::arg("directions"), py::arg("material_map"), py::arg("passive_soil_table"),
      py::arg("active_soil_table"), py::arg("smooth_soil_table"),
      py::arg("vegetation_parameters"), py::arg("trunk_parameters"),
      py::arg("trunk_response_table"), py::arg("trunk_dihedral_scattering"),
      py::arg("dihedral_ground_table"), py::arg("lut_info"), py::arg("mueller_lut"),
      py::arg("cosine_cdf"), py::arg("azimuth_cdf"), py_convert::seed_arg());
  // Where the last simulation's time went, for the benchmark (not part of the public surface).
  // Both wait for the scene's running call, which needs the interpreter lock between its
  // dispatches: they wait without it.
  cls.def("_last_simulation_profile", [](Scene& s) {
    Scene& scene = B::scene_of(s);
    const vulkan::SimulationProfile p = without_gil(
        [&] { return scene.last_simulation_profile(); });
    py::dict out;
    out["seconds"] = p.seconds;
    out["rays"] = p.rays;
    out["items"] = p.items;
    out["dispatches"] = p.dispatches;
    return out;
  });
  // Timing of the last trace_closest, for the benchmark (not part of the public surface).
  cls.def("_last_trace_profile", [](Scene& s) {
    Scene& scene = B::scene_of(s);
    const vulkan::TraceProfile p =
        without_gil([&] { return scene.last_trace_profile(); });
    py::dict out;
    out["prepare_s"] = p.prepare;
    out["submit_s"] = p.submit;
    out["device_s"] = p.device >= 0.0 ? py::object(py::float_(p.device)) : py::object(py::none());
    out["results_s"] = p.results;
    out["rays"] = p.rays;
    out["dispatches"] = p.dispatches;
    out["capacity"] = p.capacity;
    return out;
  });
}

py::list list_vulkan_devices() {
  py::list out;
  int32_t compatible = 0;
  for (const vulkan::VulkanDeviceInfo& d : vulkan::list_devices()) {
    py::dict e;
    e["device_index"] = d.compatible ? compatible++ : -1;
    e["physical_index"] = d.physical_index;
    e["name"] = d.name;
    e["vendor_id"] = d.vendor_id;
    e["device_id"] = d.device_id;
    e["device_type"] = d.device_type;
    e["is_discrete"] = d.device_type == vulkan::kDeviceDiscrete;
    e["api_version"] = d.api_version;
    e["device_local_memory_mb"] = d.device_local_memory >> 20;
    e["has_compute_queue"] = d.has_compute_queue;
    e["has_acceleration_structure"] = d.has_acceleration_structure;
    e["has_ray_query"] = d.has_ray_query;
    e["has_buffer_device_address"] = d.has_buffer_device_address;
    e["compatible"] = d.compatible;
    e["unavailable_reason"] = d.unavailable_reason;
    out.append(e);
  }
  return out;
}

}  // namespace

void register_vulkan(py::module_& m) {
  // The flag says the backend is compiled in; whether a device is usable is found out when a
  // context is created.
  m.attr("HAS_VULKAN") = true;
  register_context(m);
  register_scene(m);
  m.def("list_vulkan_devices", &list_vulkan_devices);
}

}  // namespace velm::py_bind

#else  // built without the Vulkan backend

namespace velm::py_bind {
void register_vulkan(py::module_& m) { m.attr("HAS_VULKAN") = false; }
}  // namespace velm::py_bind

#endif
