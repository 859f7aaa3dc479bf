// Registration of the OptiX backend: OptiXContext, SceneManager (the shared scene methods through
// SceneBinder, in this class's order, plus the uploads and per-primitive tables of the GPU scene),
// Simulator and device_info.
#include "module/registry.h"

#if VELM_WITH_OPTIX

#include "module/bind_scene.h"
#include "module/convert.h"
#include "module/microwave_request.h"
#include "module/transport_args.h"
#include "optix/context.h"
#include "optix/scene_manager.h"
#include "optix/simulator.h"
#include "physics/energy_balance.h"
#include "physics/microwave_path.h"
#if VELM_WITH_CPU
#include "cpu/embree_scene.h"
#endif

namespace velm::py_bind {

namespace {

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
  cls.def(py::init([](OptiXContext& ctx) { return new SceneManager(shared_context(ctx)); }),
          py::arg("context"));
  using S = SceneBinder<SceneManager>;
  S b(cls, Flavor::OptiX);
  b.add_mesh()
      .add_instance()
      .add_instance_xform()
      .add_instances_xform()
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
  }, py::arg("parameters"));
  cls.def("update_spectral_params", [](SceneManager& s, int32_t offset, const F32Array& p) {
    S::S(s).update_spectral_params(offset, floats_1d(p));
  }, py::arg("offset"), py::arg("parameters"));
  b.set_emitter();
  cls.def("update_emitter_direction", [](SceneManager& s, const F32Array& dir) {
    const auto d = direction_from_array(dir);
    S::S(s).update_emitter_direction(d.data());
  }, py::arg("direction"));
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

constexpr const char* kRunEnergyBalanceDoc =
    "Run the energy balance reverse RT kernel. Returns (top, bot) numpy arrays of length "
    "n_primitives. bot is empty when two_sided=False. sw_albedos: optional "
    "float32[n_primitives] for 2-bounce SW NEE.";
constexpr const char* kRunEnergyBalanceMultibandDoc =
    "Run multi-band energy balance reverse RT kernel (Phase 3.1). Returns (top, bot) numpy "
    "arrays of shape [n_bands, n_primitives]. bot is empty when two_sided=False. sw_albedos: "
    "flattened float32[n_bands * n_primitives] (SoA layout).";

using py_convert::pack;

constexpr const char* kSimulateMicrowaveDoc =
    "Run passive microwave simulation.\n"
    "\n"
    "Returns numpy array of shape [height, width, n_channels] with brightness temperature (K).\n"
    "n_channels: 1=total, 2=H+V, 4=full Stokes.\n"
    "atm_tau: nadir atmospheric optical depth (0 = no atmosphere).\n"
    "mw_soil_params: float32[n_soil_mats, 10] with MwSoilParams fields.\n"
    "mw_trunk_params: float32[n_trunk_mats, 7] with MwTrunkParams fields (radius, length, "
    "moisture, temperature, axis_xyz).\n"
    "mw_trunk_mueller_luts: list of trunk Mie Mueller LUT tuples (or None per entry); same shape "
    "as mw_veg_mueller_luts. None \u2192 kernel uses Fresnel fallback.\n"
    "material_map: int32[n_optical_mats] mapping optical \u2192 MW material index (-1 = none).";
constexpr const char* kSimulateActiveMicrowaveDoc =
    "Run active monostatic-SAR sigma0 simulation.\n"
    "\n"
    "Returns numpy array of shape [height, width, n_channels].\n"
    "n_channels: 1=total power, 4=HH/HV/VH/VV (Sinclair scattering matrix powers, NOT Stokes "
    "IQUV).\n"
    "Output is linear sigma0 (dimensionless backscatter coefficient); convert to dB via "
    "10*log10().\n"
    "T1 MVP: single-bounce (max_depth=1); multi-bounce / volume scattering are follow-ons.";

// The request of a microwave call: the materials from the caller's tables, then the settings.
optix::MicrowaveRequest microwave_call(bool active, const py_convert::MicrowaveTables& tables,
                                       float frequency, int32_t n_channels, int32_t spp,
                                       int32_t max_depth, float air_temperature, float atm_tau) {
  optix::MicrowaveRequest req = py_convert::microwave_request(active, tables);
  req.frequency = frequency;
  req.n_channels = n_channels;
  req.spp = spp;
  req.max_depth = max_depth;
  req.air_temperature = air_temperature;
  req.atm_tau = atm_tau;
  return req;
}

// Runs a microwave request and shapes the film as (height, width, n_channels).
py::array_t<float> run_microwave(Simulator& sim, SceneManager& scene,
                                 const optix::MicrowaveRequest& req) {
  Simulator& s = py_convert::constructed(sim);
  const std::vector<float> film =
      py_convert::run_on_scene(scene, [&] { return s.simulate_microwave(scene, req); });
  const SensorBlock& sensor = scene.desc().sensor();
  return pack(film, {std::max(sensor.height, 0), std::max(sensor.width, 0), req.n_channels});
}

// sw_albedos of the energy-balance calls: None, or an array-like that must be 1-D after the
// conversion to float32 (RuntimeError `message` otherwise).
std::vector<float> albedos_from(const py::object& sw_albedos, const char* message) {
  if (sw_albedos.is_none()) return {};
  const F32Array a = py::cast<F32Array>(sw_albedos);
  if (a.ndim() != 1) throw std::runtime_error(message);
  return py_convert::to_vector(a);
}

// A per-band array of the multiband call: empty, or 1-D with n_bands values.
std::vector<float> per_band(const F32Array& a, int32_t n_bands, const char* message) {
  if (a.size() == 0) return {};
  if (a.ndim() != 1 || a.shape(0) != n_bands) throw std::runtime_error(message);
  return py_convert::to_vector(a);
}

py::tuple energy_balance_result(EnergyBalanceOutput r, bool multiband, int32_t n_bands) {
  const py::ssize_t n = static_cast<py::ssize_t>(r.top.size()) / std::max(n_bands, 1);
  std::vector<py::ssize_t> shape = multiband ? std::vector<py::ssize_t>{n_bands, n}
                                             : std::vector<py::ssize_t>{n};
  py::array_t<float> top = pack(r.top, shape);
  py::array_t<float> bottom =
      r.bottom.empty() ? py::array_t<float>(0) : pack(r.bottom, shape);
  return py::make_tuple(top, bottom);
}

void register_simulator(py::module_& m) {
  py::class_<Simulator> cls(m, "Simulator", py::release_gil_before_calling_cpp_dtor());
  cls.def(py::init([](OptiXContext& ctx, const std::string& ptx_dir) {
    return new Simulator(shared_context(ctx), ptx_dir);
  }), py::arg("context"), py::arg("ptx_dir"));
  cls.def("init", [](Simulator& s) { py_convert::constructed(s).init(); });

  cls.def(
      "simulate",
      [](Simulator& sim, SceneManager& scene, int32_t spp, int32_t max_depth,
         const py::object& progress) {
        const HostHooks hooks = make_hooks(progress);
        Simulator& s = py_convert::constructed(sim);
        const std::vector<float> film = py_convert::run_on_scene(
            scene, [&] { return s.simulate(scene, spp, max_depth, hooks); });
        const SensorBlock& sensor = scene.desc().sensor();
        const py::ssize_t h = std::max(sensor.height, 0), w = std::max(sensor.width, 0);
        const py::ssize_t nb = std::max(scene.desc().num_bands(), 0);
        return pack(film, {h, w, nb});
      },
      py::arg("scene"), py::arg("spp") = 16, py::arg("max_depth") = 16,
      py::arg("progress") = py::none());

  const auto class_def = [&cls](auto&&... args) {
    cls.def(std::forward<decltype(args)>(args)...);
  };
  def_forward(class_def, "simulate_forward",
              [](Simulator& sim, SceneManager& scene, int32_t nx, int32_t ny, const F32Array& layers,
                 int64_t num_photons, int32_t num_bands, bool per_leaf, const F32Array& brf_dirs,
                 int32_t num_brf_dirs, float prob_sun, int32_t max_depth,
                 int32_t terrain_instance_id, const py::object& progress) {
                const ForwardRequest req =
                    forward_request(nx, ny, layers, num_photons, num_bands, per_leaf, brf_dirs,
                                    num_brf_dirs, prob_sun, max_depth, terrain_instance_id);
                const HostHooks hooks = make_hooks(progress);
                Simulator& s = py_convert::constructed(sim);
                const ForwardResult r = py_convert::run_on_scene(
                    scene, [&] { return s.simulate_forward(scene, req, hooks); });
                return forward_dict(r, req);
              });
  def_flux(class_def, "simulate_flux",
           [](Simulator& sim, SceneManager& scene, int32_t nx, int32_t ny, int64_t num_photons,
              int32_t num_bands, float prob_sun, int32_t max_bounces, int32_t max_depth,
              int32_t rr_depth, bool decompose, const py::object& progress) {
             const FluxRequest req = flux_request(nx, ny, num_photons, num_bands, prob_sun,
                                                  max_bounces, max_depth, rr_depth, decompose);
             const HostHooks hooks = make_hooks(progress);
             Simulator& s = py_convert::constructed(sim);
             const FluxResult r = py_convert::run_on_scene(
                 scene, [&] { return s.simulate_flux(scene, req, hooks); });
             return flux_dict(r, req);
           });

  cls.def(
      "run_energy_balance",
      [](Simulator& sim, SceneManager& scene, int32_t band_type, int32_t n_samples,
         float sun_irradiance, float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x,
         float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos) {
        optix::EnergyBalanceRequest req;
        req.band_type = band_type;
        req.n_samples = n_samples;
        req.sun_irradiance = sun_irradiance;
        req.sky_diffuse_radiance = sky_diffuse_radiance;
        req.sky_lw_radiance = sky_lw_radiance;
        req.sun_direction[0] = sun_dir_x;
        req.sun_direction[1] = sun_dir_y;
        req.sun_direction[2] = sun_dir_z;
        req.two_sided = two_sided;
        req.sw_albedos = albedos_from(sw_albedos, "sw_albedos must be 1D");
        Simulator& s = py_convert::constructed(sim);
        EnergyBalanceOutput r = py_convert::run_on_scene(
            scene, [&] { return s.run_energy_balance(scene, req, false); });
        return energy_balance_result(std::move(r), false, 1);
      },
      kRunEnergyBalanceDoc, py::arg("scene"), py::arg("band_type") = 0, py::arg("n_samples") = 64,
      py::arg("sun_irradiance") = 0.0f, py::arg("sky_diffuse_radiance") = 0.0f,
      py::arg("sky_lw_radiance") = 0.0f, py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f,
      py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true, py::arg("sw_albedos") = py::none());

  cls.def(
      "run_energy_balance_multiband",
      [](Simulator& sim, SceneManager& scene, int32_t n_bands, int32_t n_samples,
         const F32Array& sun_irradiance, const F32Array& sky_diffuse_radiance, float sun_dir_x,
         float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos) {
        optix::EnergyBalanceRequest req;
        req.n_bands = n_bands;
        req.n_samples = n_samples;
        req.sun_irradiances =
            per_band(sun_irradiance, n_bands, "sun_irradiance must be 1D with length n_bands");
        req.sky_diffuse_radiances = per_band(sky_diffuse_radiance, n_bands,
                                             "sky_diffuse_radiance must be 1D with length n_bands");
        req.sun_direction[0] = sun_dir_x;
        req.sun_direction[1] = sun_dir_y;
        req.sun_direction[2] = sun_dir_z;
        req.two_sided = two_sided;
        req.sw_albedos =
            albedos_from(sw_albedos, "sw_albedos must be 1D (flattened [n_bands * n_prims])");
        Simulator& s = py_convert::constructed(sim);
        EnergyBalanceOutput r = py_convert::run_on_scene(
            scene, [&] { return s.run_energy_balance(scene, req, true); });
        return energy_balance_result(std::move(r), true, n_bands);
      },
      kRunEnergyBalanceMultibandDoc, py::arg("scene"), py::arg("n_bands"),
      py::arg("n_samples") = 64, py::arg("sun_irradiance") = py::array_t<float>(0),
      py::arg("sky_diffuse_radiance") = py::array_t<float>(0), py::arg("sun_dir_x") = 0.0f,
      py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
      py::arg("sw_albedos") = py::none());

  def_lidar(class_def, "simulate_lidar",
            [](Simulator& sim, SceneManager& scene, const F32Array& pulse_origins,
               const F32Array& pulse_directions, int32_t num_pulses, float beam_half_angle_rad,
               int32_t beam_samples_per_dim, float pulse_energy, float sensor_area,
               float range_resolution, float min_range, float max_range, int32_t num_wavelengths,
               float pulse_fwhm_ns, float peak_threshold, int32_t max_returns_per_pulse,
               bool direct_mode) {
              const LidarArgs a = lidar_args(
                  pulse_origins, pulse_directions, num_pulses, beam_half_angle_rad,
                  beam_samples_per_dim, pulse_energy, sensor_area, range_resolution, min_range,
                  max_range, num_wavelengths, pulse_fwhm_ns, peak_threshold,
                  max_returns_per_pulse, direct_mode);
              Simulator& s = py_convert::constructed(sim);
              return lidar_dict(
                  py_convert::run_on_scene(scene, [&] { return s.simulate_lidar(scene, a.req); }));
            });

  cls.def(
      "simulate_microwave",
      [](Simulator& sim, SceneManager& scene, float frequency, int32_t n_channels, int32_t spp,
         int32_t max_depth, float air_temperature, bool include_atmosphere, float atm_tau,
         const F32Array& soil, const F32Array& veg, const F32Array& trunk,
         const py_convert::I32Array& material_map, const py::list& veg_luts,
         const py::list& trunk_luts, const py::object&) {
        optix::MicrowaveRequest req = microwave_call(
            false, {soil, veg, trunk, material_map, veg_luts, trunk_luts}, frequency, n_channels,
            spp, max_depth, air_temperature, atm_tau);
        req.include_atmosphere = include_atmosphere;
        return run_microwave(sim, scene, req);
      },
      kSimulateMicrowaveDoc, py::arg("scene"), py::arg("frequency") = 1.4e9f,
      py::arg("n_channels") = 2, py::arg("spp") = 64, py::arg("max_depth") = 8,
      py::arg("air_temperature") = 293.0f, py::arg("include_atmosphere") = true,
      py::arg("atm_tau") = 0.01f, py::arg("mw_soil_params") = py::array_t<float>(0),
      py::arg("mw_veg_params") = py::array_t<float>(0),
      py::arg("mw_trunk_params") = py::array_t<float>(0),
      py::arg("material_map") = py::array_t<int32_t>(0),
      py::arg("mw_veg_mueller_luts") = py::list(), py::arg("mw_trunk_mueller_luts") = py::list(),
      py::arg("_mw_veg_lut_dims") = py::none());

  cls.def(
      "simulate_active_microwave",
      [](Simulator& sim, SceneManager& scene, float frequency, int32_t n_channels, int32_t spp,
         int32_t max_depth, float air_temperature, float atm_tau, const F32Array& soil,
         const F32Array& veg, const F32Array& trunk, const py_convert::I32Array& material_map,
         const py::list& veg_luts, const py::list& trunk_luts) {
        return run_microwave(
            sim, scene,
            microwave_call(true, {soil, veg, trunk, material_map, veg_luts, trunk_luts},
                           frequency, n_channels, spp, max_depth, air_temperature, atm_tau));
      },
      kSimulateActiveMicrowaveDoc, py::arg("scene"), py::arg("frequency") = 4.35e8f,
      py::arg("n_channels") = 4, py::arg("spp") = 64, py::arg("max_depth") = 1,
      py::arg("air_temperature") = 293.0f, py::arg("atm_tau") = 0.005f,
      py::arg("mw_soil_params") = py::array_t<float>(0),
      py::arg("mw_veg_params") = py::array_t<float>(0),
      py::arg("mw_trunk_params") = py::array_t<float>(0),
      py::arg("material_map") = py::array_t<int32_t>(0),
      py::arg("mw_veg_mueller_luts") = py::list(), py::arg("mw_trunk_mueller_luts") = py::list());
}

#if VELM_WITH_CPU
// The transport of the OptiX microwave launches run on the host over an Embree scene, for the
// caller's rays (N x 3 origins and directions; ray i draws from its own stream of `seed`): what
// the device programs compute, checked against the Vulkan backend where no GPU is at hand. N x 4
// floats as run_microwave_wavefront gives them. Not part of the public surface.
py::array_t<float> microwave_rays_cpu(embree::EmbreeSceneManager& s, bool active,
                                      const F32Array& origins, const F32Array& directions,
                                      float frequency, int32_t max_depth, float air_temperature,
                                      float atm_tau, uint64_t seed, const F32Array& soil,
                                      const F32Array& veg, const F32Array& trunk,
                                      const py_convert::I32Array& material_map,
                                      const py::list& veg_luts, const py::list& trunk_luts) {
  embree::EmbreeSceneManager& scene = py_convert::constructed(s);
  if (origins.ndim() != 2 || directions.ndim() != 2 || origins.shape(1) != 3 ||
      directions.shape(1) != 3 || origins.shape(0) != directions.shape(0))
    throw py::value_error("origins and directions must have shape (N, 3)");
  const optix::MicrowaveRequest req =
      microwave_call(active, {soil, veg, trunk, material_map, veg_luts, trunk_luts}, frequency,
                     4, 1, max_depth, air_temperature, atm_tau);
  const std::vector<float> o = py_convert::to_vector(origins);
  const std::vector<float> d = py_convert::to_vector(directions);
  const size_t n = o.size() / 3;
  for (size_t i = 0; i < n; ++i) {
    const float* oi = &o[3 * i];
    const float* di = &d[3 * i];
    bool usable = di[0] != 0.f || di[1] != 0.f || di[2] != 0.f;
    for (int k = 0; k < 3; ++k) usable = usable && std::isfinite(oi[k]) && std::isfinite(di[k]);
    if (!usable)
      throw py::value_error("ray " + std::to_string(i) +
                            " needs a finite origin and a finite, non-zero direction");
  }
  std::vector<float> out(4 * n);
  py_convert::run_on_scene(scene, [&] {
    optix::SceneFacts facts;
    facts.built = scene.is_built();
    const optix::MicrowavePlan plan = optix::plan_microwave(scene.desc(), facts, req);
    std::vector<optix::MicrowaveMaterialRecord> records;
    const optix::MicrowaveTables tables = optix::host_tables(plan, req, records);
    MicrowaveSettings set;
    set.active = active;
    set.max_depth = max_depth;
    set.air_temperature = air_temperature;
    set.atm_tau = atm_tau;
    const RepetitionTile& tile = scene.desc().repetition();
    set.tile = tile;
    set.repetition = tile.count >= 1 && tile.x_size > 0.f && tile.y_size > 0.f;
    set.zlo = scene.bounds().lo[2];
    set.zhi = scene.bounds().hi[2];
    for (size_t i = 0; i < n; ++i) {
      Pcg32 rng = item_stream(i, seed);
      const Stokes v = microwave_ray(scene, tables, set, Vec3(o[3 * i], o[3 * i + 1], o[3 * i + 2]),
                                     unit_vector(&d[3 * i]), rng);
      std::copy(v.v, v.v + 4, out.begin() + 4 * i);
    }
    return 0;
  });
  return pack(out, {static_cast<py::ssize_t>(n), 4});
}

// The Embree scene as the shared energy balance reads it: hits carry their global primitive
// index, occlusion and closest hits walk the repeating tile.
struct BalanceScene {
  const embree::EmbreeSceneManager* scene = nullptr;
  const std::vector<uint64_t>* prefix = nullptr;  // global index of each instance's first triangle
  RepetitionTile tile;
  bool repetition = false;
  float zmin = 0.f, zmax = 0.f;

  SurfaceHit intersect_closest(Vec3 o, Vec3 d) const {
    SurfaceHit h = scene->intersect_closest(o, d);
    if (h.hit)
      h.global_primitive_id = static_cast<int32_t>((*prefix)[h.instance_id] + h.primitive_id);
    return h;
  }
  bool occluded_tiled(Vec3 o, Vec3 d, float t_max) const {
    return scene->occluded_tiled(o, d, t_max);
  }
};

// The OptiX energy balance (run_energy_balance) run on the host over an Embree scene, with the
// per-primitive temperatures and emissivities given here (empty: 0 K and 0.97), as the device
// programs compute it. Not part of the public surface.
py::tuple energy_balance_cpu(embree::EmbreeSceneManager& s, int32_t band_type, int32_t n_samples,
                             float sun_irradiance, float sky_diffuse_radiance,
                             float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
                             float sun_dir_z, bool two_sided, const F32Array& sw_albedos,
                             const F32Array& temperatures, const F32Array& emissivities) {
  embree::EmbreeSceneManager& scene = py_convert::constructed(s);
  if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
  if (band_type != 0 && band_type != 1) throw py::value_error("band_type must be 0 or 1");
  if (n_samples < 1) throw py::value_error("n_samples must be at least 1");
  std::vector<uint64_t> prefix;
  uint64_t n = 0;
  for (const embree::BuiltInstance& inst : scene.built_instances()) {
    prefix.push_back(n);
    n += scene.desc().meshes()[inst.mesh_id].triangles.size();
  }
  const std::vector<float> albedos = py_convert::to_vector(sw_albedos);
  const std::vector<float> temps = py_convert::to_vector(temperatures);
  const std::vector<float> emiss = py_convert::to_vector(emissivities);
  for (const std::vector<float>* v : {&albedos, &temps, &emiss})
    if (!v->empty() && v->size() != n)
      throw py::value_error("per-primitive arrays must be empty or hold n_primitives values");
  const float sun_dir[3] = {sun_dir_x, sun_dir_y, sun_dir_z};
  if (!std::isfinite(sun_dir_x) || !std::isfinite(sun_dir_y) || !std::isfinite(sun_dir_z) ||
      (sun_dir_x == 0.f && sun_dir_y == 0.f && sun_dir_z == 0.f))
    throw py::value_error("the sun direction must be finite and non-zero");
  std::vector<double> top(n, 0.0), bottom(two_sided ? n : 0, 0.0);
  py_convert::run_on_scene(scene, [&] {
    BalanceScene bs;
    bs.scene = &scene;
    bs.prefix = &prefix;
    bs.tile = scene.desc().repetition();
    bs.repetition = bs.tile.count >= 1 && bs.tile.x_size > 0.f && bs.tile.y_size > 0.f;
    bs.zmin = scene.bounds().lo[2];
    bs.zmax = scene.bounds().hi[2];
    BalanceInputs in;
    in.shortwave = band_type == 0;
    in.n_primitives = n;
    in.sun = &sun_irradiance;
    in.sky = &sky_diffuse_radiance;
    in.sky_longwave = sky_lw_radiance;
    in.sun_direction = unit_vector(sun_dir);
    in.albedos = albedos.empty() ? nullptr : albedos.data();
    in.temperatures = temps.empty() ? nullptr : temps.data();
    in.emissivities = emiss.empty() ? nullptr : emiss.data();
    in.two_sided = two_sided;
    in.inv_samples = 1.f / static_cast<float>(n_samples);
    const auto add = [&](int face, uint64_t i, float value) {
      (face == 0 ? top : bottom)[i] += value;
    };
    const auto& built = scene.built_instances();
    for (size_t k = 0; k < built.size(); ++k) {
      const HostMesh& mesh = scene.desc().meshes()[built[k].mesh_id];
      BalancePrimitive prim;
      std::copy(built[k].transform.begin(), built[k].transform.end(), prim.xf);
      prim.frame = built[k].frame;
      for (size_t t = 0; t < mesh.triangles.size(); ++t) {
        const Int3& tri = mesh.triangles[t];
        const Float3* v[3] = {&mesh.vertices[tri.i0], &mesh.vertices[tri.i1],
                              &mesh.vertices[tri.i2]};
        for (int c = 0; c < 3; ++c) prim.corner[c] = Vec3(v[c]->x, v[c]->y, v[c]->z);
        prim.index = prefix[k] + t;
        prim.front = front_normal(prim);
        for (int32_t sample = 0; sample < n_samples; ++sample)
          energy_balance_sample(bs, prim, in, static_cast<uint32_t>(sample), add);
      }
    }
    return 0;
  });
  const std::vector<float> t(top.begin(), top.end()), b(bottom.begin(), bottom.end());
  return py::make_tuple(pack(t, {static_cast<py::ssize_t>(t.size())}),
                        pack(b, {static_cast<py::ssize_t>(b.size())}));
}
#endif

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
#if VELM_WITH_CPU
  m.def("_microwave_rays_cpu", &microwave_rays_cpu, py::arg("scene"), py::arg("active"),
        py::arg("origins"), py::arg("directions"), py::arg("frequency"), py::arg("max_depth"),
        py::arg("air_temperature"), py::arg("atm_tau"), py::arg("seed") = 0,
        py::arg("mw_soil_params") = py::array_t<float>(0),
        py::arg("mw_veg_params") = py::array_t<float>(0),
        py::arg("mw_trunk_params") = py::array_t<float>(0),
        py::arg("material_map") = py::array_t<int32_t>(0),
        py::arg("mw_veg_mueller_luts") = py::list(), py::arg("mw_trunk_mueller_luts") = py::list());
  m.def("_energy_balance_cpu", &energy_balance_cpu, py::arg("scene"), py::arg("band_type"),
        py::arg("n_samples"), py::arg("sun_irradiance"), py::arg("sky_diffuse_radiance"),
        py::arg("sky_lw_radiance"), py::arg("sun_dir_x"), py::arg("sun_dir_y"),
        py::arg("sun_dir_z"), py::arg("two_sided"), py::arg("sw_albedos") = py::array_t<float>(0),
        py::arg("temperatures") = py::array_t<float>(0),
        py::arg("emissivities") = py::array_t<float>(0));
#endif
}

}  // namespace velm::py_bind

#else  // built without the OptiX backend

namespace velm::py_bind {
void register_optix(py::module_& m) { m.attr("HAS_OPTIX") = false; }
}  // namespace velm::py_bind

#endif
