// Module functions of the CPU simulations: backward images, forward radiation, flux, microwave
// images and energy balance (LiDAR: bind_cpu_lidar.cpp).
#include "cpu/backward.h"
#include "cpu/energy_balance.h"
#include "cpu/forward.h"
#include "cpu/microwave.h"
#include "module/convert.h"
#include "module/microwave_request.h"
#include "module/registry.h"
#include "module/transport_args.h"

namespace velm::py_bind {

using embree::EmbreeSceneManager;
using py_convert::F32Array;

namespace {

constexpr const char* kSimulateMicrowaveCpuDoc =
    "Passive microwave image of the scene's sensor on the CPU: the arguments of "
    "Simulator.simulate_microwave, with the Embree scene first, and progress (None or a callable "
    "(pixels done, pixels, elapsed ms)).\n"
    "\n"
    "Returns float32 [height, width, n_channels], brightness temperature (K): n_channels 1 = "
    "(T_H + T_V) / 2, 2 = T_H, T_V, 4 = the modified Stokes vector T_H, T_V, T_3, T_4.\n"
    "frequency in Hz, air_temperature in K, atm_tau the nadir optical depth of the atmosphere; "
    "spp rays per pixel, max_depth scatterings per path.\n"
    "mw_soil_params [n_soil, >= 10], mw_veg_params [n_veg, >= 6], mw_trunk_params [n_trunk, 7] "
    "(radius m, length m, moisture, temperature K, axis x, y, z); material_map [n_optical] "
    "gives each optical material's microwave material (soil rows first, then vegetation, then "
    "trunks; -1 none)."
    "\n" VELM_SEED_DOC;
constexpr const char* kSimulateActiveMicrowaveCpuDoc =
    "Active (monostatic radar) image of the scene's sensor on the CPU: the arguments of "
    "Simulator.simulate_active_microwave, with the Embree scene first, and progress (None or a "
    "callable (pixels done, pixels, elapsed ms)).\n"
    "\n"
    "Returns float32 [height, width, n_channels], linear backscatter coefficient sigma0 per unit "
    "horizontal area: n_channels 1 = (HH + HV + VH + VV) / 2, 2 = HH, VV, 4 = HH, HV, VH, VV."
    "\n" VELM_SEED_DOC;
constexpr const char* kRunEnergyBalanceCpuDoc =
    "Energy balance on the CPU: the arguments of Simulator.run_energy_balance, with the Embree "
    "scene first, then temperatures and emissivities (None or float32[n_primitives]: K and "
    "[0, 1]; None gives 0 K and 0.97) for the long wave, and progress (None or a callable "
    "(primitives done, primitives, elapsed ms)).\n"
    "Returns (top, bot), float32[n_primitives] each, absorbed W m^-2 on the front and back "
    "faces; bot is empty when two_sided=False. Primitives in global order: instances in order, "
    "each one's triangles in order. band_type 0 short wave (sun_irradiance W m^-2, "
    "sky_diffuse_radiance W m^-2 sr^-1, sw_albedos), 1 long wave (sky_lw_radiance W m^-2 sr^-1)."
    "\n" VELM_SEED_DOC;
constexpr const char* kRunEnergyBalanceMultibandCpuDoc =
    "Short-wave energy balance of n_bands bands on the CPU: the arguments of "
    "Simulator.run_energy_balance_multiband, with the Embree scene first, and progress.\n"
    "Returns (top, bot) of shape [n_bands, n_primitives] (absorbed per band, in the units of "
    "sun_irradiance); bot is empty when two_sided=False. sun_irradiance and "
    "sky_diffuse_radiance: float32[n_bands] or empty (zeros); sw_albedos: float32[n_bands * "
    "n_primitives], band-major."
    "\n" VELM_SEED_DOC;

// A per-primitive array of the CPU energy balance: None, or a 1-D array-like.
std::vector<float> per_primitive(const py::object& values, const char* name) {
  if (values.is_none()) return {};
  const F32Array a = py::cast<F32Array>(values);
  if (a.ndim() != 1) throw py::value_error(std::string(name) + " must be 1D (one per primitive)");
  return py_convert::to_vector(a);
}

py::array_t<float> run_microwave(EmbreeSceneManager& scene, const MicrowaveRequest& req,
                                 const py::object& progress) {
  const HostHooks hooks = make_hooks(progress);
  const std::vector<float> film = py_convert::run_on_scene(
      scene, [&] { return cpu::simulate_microwave(scene, req, hooks); });
  return py_convert::microwave_image(film, scene.desc().sensor(), req.n_channels);
}

void register_microwave_and_energy_balance(py::module_& m) {
  const auto module_def = [&m](auto&&... args) { m.def(std::forward<decltype(args)>(args)...); };
  py_convert::def_microwave(
      module_def, "simulate_microwave_cpu",
      [](EmbreeSceneManager& scene, float frequency, int32_t n_channels, int32_t spp,
         int32_t max_depth, float air_temperature, bool include_atmosphere, float atm_tau,
         const F32Array& soil, const F32Array& veg, const F32Array& trunk,
         const py_convert::I32Array& material_map, const py::list& veg_luts,
         const py::list& trunk_luts, const py::object&, const py::object& progress,
         uint64_t seed) {
        MicrowaveRequest req = py_convert::microwave_request(
            false, {soil, veg, trunk, material_map, veg_luts, trunk_luts}, frequency, n_channels,
            spp, max_depth, air_temperature, atm_tau);
        req.include_atmosphere = include_atmosphere;
        req.seed = seed;
        return run_microwave(scene, req, progress);
      },
      kSimulateMicrowaveCpuDoc, py::arg("progress") = py::none());
  py_convert::def_active_microwave(
      module_def, "simulate_active_microwave_cpu",
      [](EmbreeSceneManager& scene, float frequency, int32_t n_channels, int32_t spp,
         int32_t max_depth, float air_temperature, float atm_tau, const F32Array& soil,
         const F32Array& veg, const F32Array& trunk, const py_convert::I32Array& material_map,
         const py::list& veg_luts, const py::list& trunk_luts, const py::object& progress,
         uint64_t seed) {
        MicrowaveRequest req = py_convert::microwave_request(
            true, {soil, veg, trunk, material_map, veg_luts, trunk_luts}, frequency, n_channels,
            spp, max_depth, air_temperature, atm_tau);
        req.seed = seed;
        return run_microwave(scene, req, progress);
      },
      kSimulateActiveMicrowaveCpuDoc, py::arg("progress") = py::none());

  def_energy_balance(
      module_def, "run_energy_balance_cpu",
      [](EmbreeSceneManager& scene, int32_t band_type, int32_t n_samples, float sun_irradiance,
         float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
         float sun_dir_z, bool two_sided, const py::object& sw_albedos,
         const py::object& temperatures, const py::object& emissivities,
         const py::object& progress, uint64_t seed) {
        EnergyBalanceRequest req =
            energy_balance_request(band_type, n_samples, sun_irradiance, sky_diffuse_radiance,
                                   sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided,
                                   sw_albedos, seed);
        req.temperatures = per_primitive(temperatures, "temperatures");
        req.emissivities = per_primitive(emissivities, "emissivities");
        const HostHooks hooks = make_hooks(progress);
        const EnergyBalanceOutput r = py_convert::run_on_scene(
            scene, [&] { return cpu::run_energy_balance(scene, req, false, hooks); });
        return energy_balance_result(r, false, 1);
      },
      kRunEnergyBalanceCpuDoc, py::arg("temperatures") = py::none(),
      py::arg("emissivities") = py::none(), py::arg("progress") = py::none());
  def_energy_balance_multiband(
      module_def, "run_energy_balance_multiband_cpu",
      [](EmbreeSceneManager& scene, int32_t n_bands, int32_t n_samples,
         const F32Array& sun_irradiance, const F32Array& sky_diffuse_radiance, float sun_dir_x,
         float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos,
         const py::object& progress, uint64_t seed) {
        const EnergyBalanceRequest req = energy_balance_multiband_request(
            n_bands, n_samples, sun_irradiance, sky_diffuse_radiance, sun_dir_x, sun_dir_y,
            sun_dir_z, two_sided, sw_albedos, seed);
        const HostHooks hooks = make_hooks(progress);
        const EnergyBalanceOutput r = py_convert::run_on_scene(
            scene, [&] { return cpu::run_energy_balance(scene, req, true, hooks); });
        return energy_balance_result(r, true, n_bands);
      },
      kRunEnergyBalanceMultibandCpuDoc, py::arg("progress") = py::none());
}

}  // namespace

void register_cpu_simulations(py::module_& m) {
  m.def(
      "simulate_cpu",
      [](EmbreeSceneManager& scene, int32_t spp, int32_t max_depth, const py::object& progress,
         uint64_t seed) {
        const cpu::ImageShape shape = cpu::backward_image_shape(py_convert::constructed(scene));
        py::array_t<float> image({static_cast<py::ssize_t>(shape.height),
                                  static_cast<py::ssize_t>(shape.width),
                                  static_cast<py::ssize_t>(std::max(0, shape.bands))});
        const cpu::HostHooks hooks = make_hooks(progress);
        float* pixels = image.mutable_data();
        py_convert::run_on_scene(scene, [&] {
          cpu::simulate_backward(scene, spp, max_depth, hooks, pixels, nullptr, seed);
        });
        return image;
      },
      VELM_SEED_DOC, py::arg("scene"), py::arg("spp") = 16, py::arg("max_depth") = 16,
      py::arg("progress") = py::none(), py_convert::seed_arg());

  const auto module_def = [&m](auto&&... args) { m.def(std::forward<decltype(args)>(args)...); };
  def_forward(module_def, "simulate_forward_cpu",
              [](EmbreeSceneManager& scene, int32_t nx, int32_t ny,
                 const py_convert::F32Array& layers, int64_t num_photons, int32_t num_bands,
                 bool per_leaf, const py_convert::F32Array& brf_dirs, int32_t num_brf_dirs,
                 float prob_sun, int32_t max_depth, int32_t terrain_instance_id,
                 const py::object& progress, uint64_t seed) {
                const ForwardRequest req =
                    forward_request(nx, ny, layers, num_photons, num_bands, per_leaf, brf_dirs,
                                    num_brf_dirs, prob_sun, max_depth, terrain_instance_id, seed);
                const cpu::HostHooks hooks = make_hooks(progress);
                const ForwardResult r = py_convert::run_on_scene(
                    scene, [&] { return cpu::simulate_forward(scene, req, hooks); });
                return forward_dict(r, req);
              });
  def_flux(module_def, "simulate_flux_cpu",
           [](EmbreeSceneManager& scene, int32_t nx, int32_t ny, int64_t num_photons,
              int32_t num_bands, float prob_sun, int32_t max_bounces, int32_t max_depth,
              int32_t rr_depth, bool decompose, const py::object& progress, uint64_t seed) {
             const FluxRequest req = flux_request(nx, ny, num_photons, num_bands, prob_sun,
                                                  max_bounces, max_depth, rr_depth, decompose,
                                                  seed);
             const cpu::HostHooks hooks = make_hooks(progress);
             const FluxResult r = py_convert::run_on_scene(
                 scene, [&] { return cpu::simulate_flux(scene, req, hooks); });
             return flux_dict(r, req);
           });
  register_microwave_and_energy_balance(m);
}

}  // namespace velm::py_bind
