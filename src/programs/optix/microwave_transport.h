// The passive and active microwave launches: each pixel averages `spp` sensor rays, jittered in
// the pixel with the pixel's own PCG32 stream (kept between calls), each traced by the shared
// microwave transport (physics/microwave_path.h) over the tables of physics/microwave_tables.h.
#pragma once

#include "physics/microwave_tables.h"
#include "physics/camera.h"
#include "physics/microwave_path.h"
#include "physics/pcg32.h"
#include "programs/optix/device_common.h"

namespace velm::device {

// The launch of either mode: pixel (x, y), spp jittered rays, the mean written to the film.
template <bool kActive>
__device__ __forceinline__ void microwave_pixel() {
  const optix::MicrowaveLaunchParams& p = launch_params();
  const uint32_t x = optix_device::launch_index_x(), y = optix_device::launch_index_y();
  const uint64_t i = static_cast<uint64_t>(y) * p.width + x;
  uint64_t* state = ptr<uint64_t>(p.pixel_rng) + 2 * i;
  Pcg32 rng;
  rng.state = state[0];
  rng.inc = state[1];

  SingleProgramScene scene{};  // the transport only asks for closest hits
  scene.handle = p.ias_handle;
  MicrowaveTables tables;
  tables.records = ptr<const MicrowaveMaterialRecord>(p.materials);
  tables.material_count = p.material_count;
  tables.map = ptr<const int32_t>(p.material_map);
  // The host pads the map to every optical material a mesh uses, so any hit's id is inside it.
  tables.map_size = p.material_map != 0 ? 0x7FFFFFFFu : 0u;
  tables.response = ptr<const float>(p.response_tables);
  tables.response_size = p.response_size;
  MicrowaveSettings settings;
  settings.active = kActive;
  settings.max_depth = p.max_depth;
  settings.air_temperature = p.air_temperature;
  settings.atm_tau = p.atm_tau;
  settings.tile.count = p.repetitions;
  settings.tile.x_size = p.scene_size[0];
  settings.tile.y_size = p.scene_size[1];
  settings.repetition = p.repetitions >= 1 && p.scene_size[0] > 0.f && p.scene_size[1] > 0.f;
  settings.zhi = p.scene_z_max;

  float sum[4] = {0.f, 0.f, 0.f, 0.f};
  for (int s = 0; s < p.spp; ++s) {
    const float jx = rng.next_float(), jy = rng.next_float();
    const SensorRay ray =
        sensor_ray(p.sensor, static_cast<float>(x) + jx, static_cast<float>(y) + jy);
    if (dot(ray.direction, ray.direction) < 0.5f) continue;
    const Stokes v = microwave_ray(scene, tables, settings, ray.origin, ray.direction, rng);
    for (int k = 0; k < 4; ++k) sum[k] += v.v[k];
  }
  state[0] = rng.state;
  state[1] = rng.inc;
  const float inv = 1.f / static_cast<float>(p.spp);
  for (int k = 0; k < 4; ++k) sum[k] *= inv;
  microwave_channels(ptr<float>(p.film) + i * p.n_channels, p.n_channels, sum, kActive);
}

}  // namespace velm::device
