// simulate_lidar_cpu: pulse arrays in, waveform and point records out.
#include "cpu/embree_scene.h"
#include "cpu/lidar.h"
#include "cpu/sim_common.h"
#include "cpu/waveform.h"
#include "module/convert.h"
#include "module/registry.h"

namespace velm::py_bind {

using py_convert::CF32Array;
using py_convert::F32Array;
using py_convert::pulse_rows;

void register_cpu_lidar(py::module_& m) {
  m.def(
      "simulate_lidar_cpu",
      [](const embree::EmbreeSceneManager& scene, const F32Array& pulse_origins,
         const F32Array& pulse_directions, int32_t num_pulses, float beam_half_angle_rad,
         int32_t beam_samples_per_dim, float pulse_energy, float sensor_area,
         float range_resolution, float min_range, float max_range, int32_t num_wavelengths,
         float pulse_fwhm_ns, float peak_threshold, int32_t max_returns_per_pulse,
         bool direct_mode) {
        lidar::LidarRequest req;
        const CF32Array origins = pulse_rows(pulse_origins, "pulse_origins", req.origin_rows);
        const CF32Array directions =
            pulse_rows(pulse_directions, "pulse_directions", req.direction_rows);
        req.pulse_origins = origins.data();
        req.pulse_directions = directions.data();
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
        const cpu::HostHooks hooks = make_hooks(py::none());
        const lidar::LidarResult res = py_convert::run_on_scene(
            scene, [&] { return lidar::simulate_lidar_cpu(scene, req, hooks.poll); });

        py::dict out;
        out["waveform"] = py_convert::pack(
            res.waveform, {res.num_pulses, res.num_bins, res.num_wavelengths});
        out["points"] = py_convert::pack(
            res.points, {static_cast<py::ssize_t>(res.num_returns()), lidar::kPointFields});
        out["num_bins"] = res.num_bins;
        out["num_returns"] = res.num_returns();
        return out;
      },
      py::arg("scene"), py::arg("pulse_origins"), py::arg("pulse_directions"),
      py::arg("num_pulses"), py::arg("beam_half_angle_rad") = 0.0005f,
      py::arg("beam_samples_per_dim") = 10, py::arg("pulse_energy") = 1.0f,
      py::arg("sensor_area") = 0.1f, py::arg("range_resolution") = 0.15f,
      py::arg("min_range") = 0.0f, py::arg("max_range") = 100.0f, py::arg("num_wavelengths") = 1,
      py::arg("pulse_fwhm_ns") = 4.0f, py::arg("peak_threshold") = 1e-8f,
      py::arg("max_returns_per_pulse") = 5, py::arg("direct_mode") = false);
}

}  // namespace velm::py_bind
