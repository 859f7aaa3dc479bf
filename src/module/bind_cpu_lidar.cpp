// simulate_lidar_cpu: pulse arrays in, waveform and point records out.
#include "cpu/embree_scene.h"
#include "cpu/lidar.h"
#include "cpu/sim_common.h"
#include "sim/waveform.h"
#include "module/convert.h"
#include "module/registry.h"
#include "module/transport_args.h"

namespace velm::py_bind {

using py_convert::F32Array;

void register_cpu_lidar(py::module_& m) {
  const auto module_def = [&m](auto&&... args) { m.def(std::forward<decltype(args)>(args)...); };
  def_lidar(module_def, "simulate_lidar_cpu",
            [](const embree::EmbreeSceneManager& scene, const F32Array& pulse_origins,
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
              const cpu::HostHooks hooks = make_hooks(py::none());
              return lidar_dict(py_convert::run_on_scene(
                  scene, [&] { return lidar::simulate_lidar_cpu(scene, a.req, hooks.poll); }));
            });
}

}  // namespace velm::py_bind
