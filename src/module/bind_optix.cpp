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
    "float32[n_primitives] for 2-bounce SW NEE."
    "\n" VELM_SEED_DOC;
constexpr const char* kRunEnergyBalanceMultibandDoc =
    "Run multi-band energy balance reverse RT kernel (Phase 3.1). Returns (top, bot) numpy "
    "arrays of shape [n_bands, n_primitives]. bot is empty when two_sided=False. sw_albedos: "
    "flattened float32[n_bands * n_primitives] (SoA layout)."
    "\n" VELM_SEED_DOC;

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
    "material_map: int32[n_optical_mats] mapping optical \u2192 MW material index (-1 = none)."
    "\n" VELM_SEED_DOC;
constexpr const char* kSimulateActiveMicrowaveDoc =
    "Run active monostatic-SAR sigma0 simulation.\n"
    "\n"
    "Returns numpy array of shape [height, width, n_channels].\n"
    "n_channels: 1=total power, 4=HH/HV/VH/VV (Sinclair scattering matrix powers, NOT Stokes "
    "IQUV).\n"
    "Output is linear sigma0 (dimensionless backscatter coefficient); convert to dB via "
    "10*log10().\n"
    "T1 MVP: single-bounce (max_depth=1); multi-bounce / volume scattering are follow-ons."
    "\n" VELM_SEED_DOC;

// Runs a microwave request and shapes the film as (height, width, n_channels).
py::array_t<float> run_microwave(Simulator& sim, SceneManager& scene, const MicrowaveRequest& req) {
  Simulator& s = py_convert::constructed(sim);
  const std::vector<float> film =
      py_convert::run_on_scene(scene, [&] { return s.simulate_microwave(scene, req); });
  return py_convert::microwave_image(film, scene.desc().sensor(), req.n_channels);
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
         const py::object& progress, uint64_t seed) {
        const HostHooks hooks = make_hooks(progress);
        Simulator& s = py_convert::constructed(sim);
        const std::vector<float> film = py_convert::run_on_scene(
            scene, [&] { return s.simulate(scene, spp, max_depth, hooks, seed); });
        const SensorBlock& sensor = scene.desc().sensor();
        const py::ssize_t h = std::max(sensor.height, 0), w = std::max(sensor.width, 0);
        const py::ssize_t nb = std::max(scene.desc().num_bands(), 0);
        return pack(film, {h, w, nb});
      },
      VELM_SEED_DOC, py::arg("scene"), py::arg("spp") = 16, py::arg("max_depth") = 16,
      py::arg("progress") = py::none(), py_convert::seed_arg());

  const auto class_def = [&cls](auto&&... args) {
    cls.def(std::forward<decltype(args)>(args)...);
  };
  def_forward(class_def, "simulate_forward",
              [](Simulator& sim, SceneManager& scene, int32_t nx, int32_t ny, const F32Array& layers,
                 int64_t num_photons, int32_t num_bands, bool per_leaf, const F32Array& brf_dirs,
                 int32_t num_brf_dirs, float prob_sun, int32_t max_depth,
                 int32_t terrain_instance_id, const py::object& progress, uint64_t seed) {
                const ForwardRequest req =
                    forward_request(nx, ny, layers, num_photons, num_bands, per_leaf, brf_dirs,
                                    num_brf_dirs, prob_sun, max_depth, terrain_instance_id, seed);
                const HostHooks hooks = make_hooks(progress);
                Simulator& s = py_convert::constructed(sim);
                const ForwardResult r = py_convert::run_on_scene(
                    scene, [&] { return s.simulate_forward(scene, req, hooks); });
                return forward_dict(r, req);
              });
  def_flux(class_def, "simulate_flux",
           [](Simulator& sim, SceneManager& scene, int32_t nx, int32_t ny, int64_t num_photons,
              int32_t num_bands, float prob_sun, int32_t max_bounces, int32_t max_depth,
              int32_t rr_depth, bool decompose, const py::object& progress, uint64_t seed) {
             const FluxRequest req = flux_request(nx, ny, num_photons, num_bands, prob_sun,
                                                  max_bounces, max_depth, rr_depth, decompose,
                                                  seed);
             const HostHooks hooks = make_hooks(progress);
             Simulator& s = py_convert::constructed(sim);
             const FluxResult r = py_convert::run_on_scene(
                 scene, [&] { return s.simulate_flux(scene, req, hooks); });
             return flux_dict(r, req);
           });

  def_energy_balance(
      class_def, "run_energy_balance",
      [](Simulator& sim, SceneManager& scene, int32_t band_type, int32_t n_samples,
         float sun_irradiance, float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x,
         float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos,
         uint64_t seed) {
        const EnergyBalanceRequest req =
            energy_balance_request(band_type, n_samples, sun_irradiance, sky_diffuse_radiance,
                                   sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided,
                                   sw_albedos, seed);
        Simulator& s = py_convert::constructed(sim);
        const EnergyBalanceOutput r = py_convert::run_on_scene(
            scene, [&] { return s.run_energy_balance(scene, req, false); });
        return energy_balance_result(r, false, 1);
      },
      kRunEnergyBalanceDoc);

  def_energy_balance_multiband(
      class_def, "run_energy_balance_multiband",
      [](Simulator& sim, SceneManager& scene, int32_t n_bands, int32_t n_samples,
         const F32Array& sun_irradiance, const F32Array& sky_diffuse_radiance, float sun_dir_x,
         float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos,
         uint64_t seed) {
        const EnergyBalanceRequest req = energy_balance_multiband_request(
            n_bands, n_samples, sun_irradiance, sky_diffuse_radiance, sun_dir_x, sun_dir_y,
            sun_dir_z, two_sided, sw_albedos, seed);
        Simulator& s = py_convert::constructed(sim);
        const EnergyBalanceOutput r = py_convert::run_on_scene(
            scene, [&] { return s.run_energy_balance(scene, req, true); });
        return energy_balance_result(r, true, n_bands);
      },
      kRunEnergyBalanceMultibandDoc);

  def_lidar(class_def, "simulate_lidar",
            [](Simulator& sim, SceneManager& scene, const F32Array& pulse_origins,
               const F32Array& pulse_directions, int32_t num_pulses, float beam_half_angle_rad,
               int32_t beam_samples_per_dim, float pulse_energy, float sensor_area,
               float range_resolution, float min_range, float max_range, int32_t num_wavelengths,
               float pulse_fwhm_ns, float peak_threshold, int32_t max_returns_per_pulse,
               bool direct_mode, uint64_t /*seed: LiDAR draws no random numbers*/) {
              const LidarArgs a = lidar_args(
                  pulse_origins, pulse_directions, num_pulses, beam_half_angle_rad,
                  beam_samples_per_dim, pulse_energy, sensor_area, range_resolution, min_range,
                  max_range, num_wavelengths, pulse_fwhm_ns, peak_threshold,
                  max_returns_per_pulse, direct_mode);
              Simulator& s = py_convert::constructed(sim);
              return lidar_dict(
                  py_convert::run_on_scene(scene, [&] { return s.simulate_lidar(scene, a.req); }));
            });

  py_convert::def_microwave(
      class_def, "simulate_microwave",
      [](Simulator& sim, SceneManager& scene, float frequency, int32_t n_channels, int32_t spp,
         int32_t max_depth, float air_temperature, bool include_atmosphere, float atm_tau,
         const F32Array& soil, const F32Array& veg, const F32Array& trunk,
         const py_convert::I32Array& material_map, const py::list& veg_luts,
         const py::list& trunk_luts, const py::object&, uint64_t seed) {
        MicrowaveRequest req = py_convert::microwave_request(
            false, {soil, veg, trunk, material_map, veg_luts, trunk_luts}, frequency, n_channels,
            spp, max_depth, air_temperature, atm_tau);
        req.include_atmosphere = include_atmosphere;
        req.seed = seed;
        return run_microwave(sim, scene, req);
      },
      kSimulateMicrowaveDoc);

  py_convert::def_active_microwave(
      class_def, "simulate_active_microwave",
      [](Simulator& sim, SceneManager& scene, float frequency, int32_t n_channels, int32_t spp,
         int32_t max_depth, float air_temperature, float atm_tau, const F32Array& soil,
         const F32Array& veg, const F32Array& trunk, const py_convert::I32Array& material_map,
         const py::list& veg_luts, const py::list& trunk_luts, uint64_t seed) {
        MicrowaveRequest req = py_convert::microwave_request(
            true, {soil, veg, trunk, material_map, veg_luts, trunk_luts}, frequency, n_channels,
            spp, max_depth, air_temperature, atm_tau);
        req.seed = seed;
        return run_microwave(sim, scene, req);
      },
      kSimulateActiveMicrowaveDoc);
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
