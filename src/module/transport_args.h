// The forward radiation, flux, LiDAR and energy-balance simulations take the same arguments, with
// the same names and defaults, wherever they are offered (the CPU module functions, the OptiX
// Simulator): one place builds their requests, registers their signatures and packs their
// results.
#pragma once

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "module/convert.h"
#include "sim/energy_balance_setup.h"
#include "sim/lidar_setup.h"
#include "sim/setup.h"
#include "sim/waveform.h"

namespace velm::py_bind {

namespace py = pybind11;

inline ForwardRequest forward_request(int32_t nx, int32_t ny, const py_convert::F32Array& layers,
                                      int64_t num_photons, int32_t num_bands, bool per_leaf,
                                      const py_convert::F32Array& brf_dirs, int32_t num_brf_dirs,
                                      float prob_sun, int32_t max_depth,
                                      int32_t terrain_instance_id, uint64_t seed) {
  ForwardRequest req;
  req.nx = nx;
  req.ny = ny;
  py_convert::require_ndim(layers, 1);
  req.layer_heights = py_convert::to_vector(layers);
  req.num_photons = num_photons;
  req.num_bands = num_bands;
  req.per_leaf = per_leaf;
  req.brf_directions = py_convert::to_vector(brf_dirs);
  req.num_brf_dirs = num_brf_dirs;
  req.prob_sun = prob_sun;
  req.max_depth = max_depth;
  req.terrain_instance_id = terrain_instance_id;
  req.seed = seed;
  return req;
}

inline FluxRequest flux_request(int32_t nx, int32_t ny, int64_t num_photons, int32_t num_bands,
                                float prob_sun, int32_t max_bounces, int32_t max_depth,
                                int32_t rr_depth, bool decompose, uint64_t seed) {
  FluxRequest req;
  req.nx = nx;
  req.ny = ny;
  req.num_photons = num_photons;
  req.num_bands = num_bands;
  req.prob_sun = prob_sun;
  req.max_bounces = max_bounces;
  req.max_depth = max_depth;
  req.rr_depth = rr_depth;
  req.decompose = decompose;
  req.seed = seed;
  return req;
}

// "grid" always; "leaf" with per-leaf tallies; "brf" and "albedo" with view directions;
// "terrain" with a terrain instance.
inline py::dict forward_dict(const ForwardResult& r, const ForwardRequest& req) {
  using py_convert::pack;
  const py::ssize_t nb = req.num_bands;
  py::dict out;
  out["grid"] = pack(r.grid, {r.nz, req.ny, req.nx, nb});
  if (!r.leaf.empty())
    out["leaf"] = pack(r.leaf, {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
  if (!r.brf.empty()) {
    out["brf"] = pack(r.brf, {req.num_brf_dirs, nb});
    out["albedo"] = pack(r.albedo, {nb});
  }
  if (!r.terrain.empty()) out["terrain"] = pack(r.terrain, {nb});
  return out;
}

inline py::dict flux_dict(const FluxResult& r, const FluxRequest& req) {
  using py_convert::pack;
  const std::vector<py::ssize_t> shape = {req.ny, req.nx, req.num_bands};
  py::dict out;
  out["downwelling"] = pack(r.downwelling, shape);
  out["upwelling"] = pack(r.upwelling, shape);
  if (req.decompose) {
    out["downwelling_direct"] = pack(r.direct, shape);
    out["downwelling_diffuse"] = pack(r.diffuse, shape);
  }
  return out;
}

using py_convert::seed_arg;

// Registers `fn` under `name` through `def` (a module's or a class's def) with the forward
// simulation's arguments after the scene:
// (scene, nx, ny, layer_heights, num_photons, num_bands, per_leaf, brf_directions, num_brf_dirs,
//  prob_sun, max_depth, terrain_instance_id, progress, seed).
template <class Def, class Fn>
void def_forward(Def&& def, const char* name, Fn&& fn) {
  def(name, std::forward<Fn>(fn), VELM_SEED_DOC, py::arg("scene"), py::arg("nx") = 1,
      py::arg("ny") = 1, py::arg("layer_heights"), py::arg("num_photons") = 10000000,
      py::arg("num_bands") = 1, py::arg("per_leaf") = false,
      py::arg("brf_directions") = py::array_t<float>(0),
      py::arg("num_brf_dirs") = 0, py::arg("prob_sun") = 1.0f, py::arg("max_depth") = 16,
      py::arg("terrain_instance_id") = -1, py::arg("progress") = py::none(), seed_arg());
}

// The same for the flux simulation: (scene, nx, ny, num_photons, num_bands, prob_sun,
// max_bounces, max_depth, rr_depth, decompose, progress, seed).
template <class Def, class Fn>
void def_flux(Def&& def, const char* name, Fn&& fn) {
  def(name, std::forward<Fn>(fn), VELM_SEED_DOC, py::arg("scene"), py::arg("nx"), py::arg("ny"),
      py::arg("num_photons"), py::arg("num_bands"), py::arg("prob_sun") = 1.0f,
      py::arg("max_bounces") = 0, py::arg("max_depth") = 16, py::arg("rr_depth") = 3,
      py::arg("decompose") = false, py::arg("progress") = py::none(), seed_arg());
}

// A LiDAR request and the C-contiguous pulse arrays its pointers read.
struct LidarArgs {
  py_convert::CF32Array origins, directions;
  lidar::LidarRequest req;
};

inline LidarArgs lidar_args(const py_convert::F32Array& pulse_origins,
                            const py_convert::F32Array& pulse_directions, int32_t num_pulses,
                            float beam_half_angle_rad, int32_t beam_samples_per_dim,
                            float pulse_energy, float sensor_area, float range_resolution,
                            float min_range, float max_range, int32_t num_wavelengths,
                            float pulse_fwhm_ns, float peak_threshold,
                            int32_t max_returns_per_pulse, bool direct_mode) {
  LidarArgs a;
  lidar::LidarRequest& req = a.req;
  a.origins = py_convert::pulse_rows(pulse_origins, "pulse_origins", req.origin_rows);
  a.directions = py_convert::pulse_rows(pulse_directions, "pulse_directions", req.direction_rows);
  req.pulse_origins = a.origins.data();
  req.pulse_directions = a.directions.data();
  req.num_pulses = num_pulses;
  req.beam_half_angle_rad = beam_half_angle_rad;
  req.beam_samples_per_dim = beam_samples_per_dim;
  req.pulse_energy = pulse_energy;
  req.sensor_area = sensor_area;
  req.range_resolution = range_resolution;
  req.min_range = min_range;
  req.max_range = max_range;
  req.num_wavelengths = num_wavelengths;
  req.pulse_fwhm_ns = pulse_fwhm_ns;
  req.peak_threshold = peak_threshold;
  req.max_returns_per_pulse = max_returns_per_pulse;
  req.direct_mode = direct_mode;
  return a;
}

// "waveform" (pulses, bins, wavelengths), "points" (returns, 8), "num_bins", "num_returns".
inline py::dict lidar_dict(const lidar::LidarResult& r) {
  py::dict out;
  const std::vector<py::ssize_t> shape{r.num_pulses, r.num_bins, r.num_wavelengths};
  // Direct mode records no waveform: its zeros are a read-only broadcast of one value, the right
  // shape at no cost in memory.
  out["waveform"] = r.direct_mode ? py_convert::read_only_zeros<float>(shape)
                                  : py::array(py_convert::pack(r.waveform, shape));
  out["points"] = py_convert::pack(
      r.points, {static_cast<py::ssize_t>(r.num_returns()), lidar::kPointFields});
  out["num_bins"] = r.num_bins;
  out["num_returns"] = r.num_returns();
  return out;
}

// The LiDAR simulation's arguments after the scene, as lidar_args takes them, then seed: the
// beam samples are a fixed pattern and LiDAR draws no random numbers, so the seed changes
// nothing (every simulation takes one).
template <class Def, class Fn>
void def_lidar(Def&& def, const char* name, Fn&& fn) {
  def(name, std::forward<Fn>(fn), VELM_LIDAR_SEED_DOC, py::arg("scene"), py::arg("pulse_origins"),
      py::arg("pulse_directions"), py::arg("num_pulses"), py::arg("beam_half_angle_rad") = 0.0005f,
      py::arg("beam_samples_per_dim") = 10, py::arg("pulse_energy") = 1.0f,
      py::arg("sensor_area") = 0.1f, py::arg("range_resolution") = 0.15f,
      py::arg("min_range") = 0.0f, py::arg("max_range") = 100.0f, py::arg("num_wavelengths") = 1,
      py::arg("pulse_fwhm_ns") = 4.0f, py::arg("peak_threshold") = 1e-8f,
      py::arg("max_returns_per_pulse") = 5, py::arg("direct_mode") = false, seed_arg());
}

// ---- energy balance ----------------------------------------------------------------------------

// sw_albedos of the energy-balance calls: None, or an array-like that must be 1-D after the
// conversion to float32 (RuntimeError `message` otherwise).
inline std::vector<float> albedos_from(const py::object& sw_albedos, const char* message) {
  if (sw_albedos.is_none()) return {};
  const py_convert::F32Array a = py::cast<py_convert::F32Array>(sw_albedos);
  if (a.ndim() != 1) throw std::runtime_error(message);
  return py_convert::to_vector(a);
}

// A per-band array of the multiband call: empty, or 1-D with n_bands values.
inline std::vector<float> per_band(const py_convert::F32Array& a, int32_t n_bands,
                                   const char* message) {
  if (a.size() == 0) return {};
  if (a.ndim() != 1 || a.shape(0) != n_bands) throw std::runtime_error(message);
  return py_convert::to_vector(a);
}

inline EnergyBalanceRequest energy_balance_request(int32_t band_type, int32_t n_samples,
                                                   float sun_irradiance,
                                                   float sky_diffuse_radiance,
                                                   float sky_lw_radiance, float sun_dir_x,
                                                   float sun_dir_y, float sun_dir_z,
                                                   bool two_sided, const py::object& sw_albedos,
                                                   uint64_t seed) {
  EnergyBalanceRequest req;
  req.seed = seed;
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
  return req;
}

inline EnergyBalanceRequest energy_balance_multiband_request(
    int32_t n_bands, int32_t n_samples, const py_convert::F32Array& sun_irradiance,
    const py_convert::F32Array& sky_diffuse_radiance, float sun_dir_x, float sun_dir_y,
    float sun_dir_z, bool two_sided, const py::object& sw_albedos, uint64_t seed) {
  EnergyBalanceRequest req;
  req.seed = seed;
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
  return req;
}

// (top, bottom): (primitives) or, multiband, (bands, primitives); bottom empty unless two-sided.
inline py::tuple energy_balance_result(const EnergyBalanceOutput& r, bool multiband,
                                       int32_t n_bands) {
  using py_convert::pack;
  const py::ssize_t n = static_cast<py::ssize_t>(r.top.size()) / std::max(n_bands, 1);
  const std::vector<py::ssize_t> shape = multiband ? std::vector<py::ssize_t>{n_bands, n}
                                                   : std::vector<py::ssize_t>{n};
  py::array_t<float> top = pack(r.top, shape);
  py::array_t<float> bottom = r.bottom.empty() ? py::array_t<float>(0) : pack(r.bottom, shape);
  return py::make_tuple(top, bottom);
}

// The single-band energy balance's arguments: (scene, band_type, n_samples, sun_irradiance,
// sky_diffuse_radiance, sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided,
// sw_albedos, extra..., seed).
template <class Def, class Fn, class... Extra>
void def_energy_balance(Def&& def, const char* name, Fn&& fn, const char* doc, Extra&&... extra) {
  def(name, std::forward<Fn>(fn), doc, py::arg("scene"), py::arg("band_type") = 0,
      py::arg("n_samples") = 64, py::arg("sun_irradiance") = 0.0f,
      py::arg("sky_diffuse_radiance") = 0.0f, py::arg("sky_lw_radiance") = 0.0f,
      py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f,
      py::arg("two_sided") = true, py::arg("sw_albedos") = py::none(),
      std::forward<Extra>(extra)..., seed_arg());
}

// The multiband one's: (scene, n_bands, n_samples, sun_irradiance, sky_diffuse_radiance,
// sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos, extra..., seed).
template <class Def, class Fn, class... Extra>
void def_energy_balance_multiband(Def&& def, const char* name, Fn&& fn, const char* doc,
                                  Extra&&... extra) {
  def(name, std::forward<Fn>(fn), doc, py::arg("scene"), py::arg("n_bands"),
      py::arg("n_samples") = 64, py::arg("sun_irradiance") = py::array_t<float>(0),
      py::arg("sky_diffuse_radiance") = py::array_t<float>(0), py::arg("sun_dir_x") = 0.0f,
      py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
      py::arg("sw_albedos") = py::none(), std::forward<Extra>(extra)..., seed_arg());
}

}  // namespace velm::py_bind
