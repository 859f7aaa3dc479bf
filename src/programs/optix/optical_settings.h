// The settings of the shared transport routines, read from the launch parameters of the optical,
// energy-balance and LiDAR launches: the device side of what the CPU backend resolves from its
// scene description once per call.
#pragma once

#include "physics/backward_path.h"
#include "physics/photon_walk.h"
#include "programs/optix/device_common.h"

namespace velm::device {

// A unit vector from a stored direction, normalised as the CPU backend does; (0, 0, 1) for one
// that has no direction (never set, and then never read).
__device__ __forceinline__ Vec3 stored_direction(const float* v) {
  if (v[0] == 0.f && v[1] == 0.f && v[2] == 0.f) return {0.f, 0.f, 1.f};
  return unit_vector(v);
}

__device__ __forceinline__ RepetitionTile scene_tile(const optix::LaunchSceneBlock& s) {
  RepetitionTile tile;
  tile.count = s.repetitions;
  tile.x_size = s.scene_size[0];
  tile.y_size = s.scene_size[1];
  return tile;
}

__device__ __forceinline__ bool repeats(const optix::LaunchSceneBlock& s) {
  return s.repetitions >= 1 && s.scene_size[0] > 0.f && s.scene_size[1] > 0.f;
}

template <class Scene>
__device__ __forceinline__ Scene scene_of(const optix::LaunchSceneBlock& s) {
  Scene scene;
  scene.handle = s.ias_handle;
  scene.tile = scene_tile(s);
  scene.repetition = repeats(s);
  scene.zmin = s.domain_min[2];
  scene.zmax = s.domain_max[2];
  return scene;
}

__device__ __forceinline__ const EmitterRecord& emitter(const optix::LaunchSceneBlock& s) {
  return *ptr<const EmitterRecord>(s.emitter);
}

__device__ __forceinline__ BackwardSettings backward_settings(const optix::LaunchParams& p) {
  const optix::LaunchSceneBlock& s = p.scene;
  BackwardSettings c;
  c.sensor = &s.sensor;
  c.params = ptr<const float>(s.spectral_params);
  c.materials = ptr<const MaterialRecord>(s.materials);
  c.nb = s.num_bands;
  c.max_depth = p.max_depth;
  c.thermal = s.thermal_mode != 0;
  c.wavelengths = ptr<const float>(s.thermal_wavelengths);
  c.sun = stored_direction(emitter(s).direction);
  c.sun_irradiance = c.thermal ? nullptr : c.params + emitter(s).spectral_offset;
  c.hosek_offset = s.hosek_sky_offset;
  c.hosek_sun = c.hosek_offset >= 0 ? stored_direction(s.sun_direction) : Vec3(0.f, 0.f, 1.f);
  c.sky_constant = s.sky_offset >= 0 ? c.params + s.sky_offset : nullptr;
  c.terrain_following = s.terrain_following != 0;
  c.tile = scene_tile(s);
  c.repetition = repeats(s);
  c.zmin = s.domain_min[2];
  c.zmax = s.domain_max[2];
  const bool tables = s.instance_prefix != 0 && s.n_primitives > 0;
  c.primitive_temperatures = tables ? ptr<const float>(s.primitive_temperatures) : nullptr;
  c.sif_spectra = tables && s.n_sif_bands > 0 ? ptr<const float>(s.primitive_sif_spectra) : nullptr;
  c.n_sif_bands = s.n_sif_bands;
  c.n_primitives = tables ? s.n_primitives : 0;
  c.sif_only = s.sif_only != 0;
  c.seed = p.seed;
  return c;
}

// The photon source of the forward and flux launches. The repeating tile is the horizontal
// extent when it is on; otherwise photons come from the scene box and only their area share
// (photon_energy) depends on the extent.
__device__ __forceinline__ PhotonWalkSettings photon_walk_settings(const optix::LaunchParams& p) {
  const optix::LaunchSceneBlock& s = p.scene;
  PhotonWalkSettings c;
  PhotonSourceSettings& src = c.source;
  src.box = {{s.domain_min[0], s.domain_min[1], s.domain_min[2]},
             {s.domain_max[0], s.domain_max[1], s.domain_max[2]}};
  src.sun_direction = stored_direction(emitter(s).direction);
  src.params = ptr<const float>(s.spectral_params);
  src.nb = s.num_bands;
  src.sun_offset = static_cast<int>(emitter(s).spectral_offset);
  src.sky_offset = s.sky_offset;
  src.hosek_offset = s.hosek_sky_offset;
  src.hosek_sun = s.hosek_sky_offset >= 0 ? stored_direction(s.sun_direction) : Vec3(0.f, 0.f, 1.f);
  src.repetition = repeats(s);
  src.launch_height = fmaxf(s.measurement_plane, s.domain_max[2]) + 0.1f;
  src.sx = s.scene_size[0];
  src.sy = s.scene_size[1];
  src.area_per_photon = p.photon_energy;
  src.prob_sun = p.prob_sun;
  c.materials = ptr<const MaterialRecord>(s.materials);
  c.nb = s.num_bands;
  c.max_depth = p.max_depth;
  c.rr_depth = p.rr_depth;
  c.seed = p.seed;
  c.tile = scene_tile(s);
  c.repetition = repeats(s);
  c.zmin = s.domain_min[2];
  c.zmax = s.domain_max[2];
  return c;
}

// Index of photon i of the current batch: batches hold 2^21 photons but the last, so this is its
// global index, the one the CPU backend's photon of the same stream has.
__device__ __forceinline__ uint64_t photon_index(const optix::LaunchParams& p, uint32_t i) {
  return static_cast<uint64_t>(p.batch_index) * 2097152u + i;
}

}  // namespace velm::device
