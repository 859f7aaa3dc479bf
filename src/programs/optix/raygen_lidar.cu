// LiDAR: one beam sample of one pulse per launch index (x: sample, y: pulse); its return goes
// into the pulse's raw waveform with atomic additions (physics/lidar.h). In direct mode the
// pulse's central ray appends a 6-float point (x, y, z, intensity, pulse, range).
#include "physics/lidar.h"
#include "programs/optix/optical_settings.h"

using namespace velm;
using namespace velm::device;

VELM_PROGRAM __raygen__lidar() {
  const optix::LaunchParams& p = launch_params();
  const uint32_t k = optix_device::launch_index_x();
  const uint32_t pulse = optix_device::launch_index_y();
  const Vec3 o = load3(ptr<const float>(p.lidar_origins) + 3 * static_cast<uint64_t>(pulse));
  const Vec3 d = load3(ptr<const float>(p.lidar_directions) + 3 * static_cast<uint64_t>(pulse));
  const OptixScene scene = scene_of<OptixScene>(p.scene);
  lidar::ReturnSettings rs;
  rs.materials = ptr<const MaterialRecord>(p.scene.materials);
  rs.material_count = p.scene.material_count;
  rs.params = ptr<const float>(p.scene.spectral_params);
  rs.num_bands = p.scene.num_bands;
  rs.num_wavelengths = p.lidar_wavelengths;
  rs.min_range = p.lidar_min_range;
  rs.max_range = p.lidar_max_range;
  rs.range_resolution = p.lidar_range_resolution;
  rs.num_bins = p.lidar_bins;
  rs.pulse_energy = p.lidar_pulse_energy;
  rs.sensor_area = p.lidar_sensor_area;
  if (p.lidar_direct_mode) {
    float ret[5];
    if (!lidar::direct_return(rs, scene.intersect_closest(o, d), o, d, ret)) return;
    const uint32_t slot = atomicAdd(ptr<unsigned>(p.lidar_direct_count), 1u);
    if (slot >= static_cast<uint32_t>(p.lidar_direct_pulses)) return;
    float* out = ptr<float>(p.lidar_direct_points) + 6 * static_cast<uint64_t>(slot);
    out[0] = ret[0];
    out[1] = ret[1];
    out[2] = ret[2];
    out[3] = ret[3];
    out[4] = static_cast<float>(pulse);
    out[5] = ret[4];
    return;
  }
  const float* offsets = ptr<const float>(p.lidar_beam_offsets);
  lidar::BeamSample s;
  s.u = offsets[2 * k];
  s.v = offsets[2 * k + 1];
  s.weight = ptr<const float>(p.lidar_beam_weights)[k];
  const Vec3 ray = lidar::beam_world_direction(
      build_frame(d), lidar::beam_local_direction(s, tanf(p.lidar_beam_half_angle)));
  float* wave = ptr<float>(p.lidar_raw_waveform) +
                static_cast<uint64_t>(pulse) * p.lidar_bins * p.lidar_wavelengths;
  lidar::add_beam_return<AtomicAdd>(rs, scene.intersect_closest(o, ray), o, ray, s.weight, wave);
}
