// LiDAR returns shared by the CPU backend and the OptiX ray-generation program: the directions of
// a pulse's beam samples and what the first surface along each of them returns into the pulse's
// raw waveform (single scattering, Lambertian back to the receiver), and the return of a pulse's
// central ray in direct mode.
#pragma once

#include "physics/surface.h"
#include "physics/records.h"

namespace velm::lidar {

// One ray of the beam pattern: offset (u, v) in the unit disk and its normalised weight.
struct BeamSample {
  float u = 0.f, v = 0.f, weight = 0.f;
};

// World direction of a beam sample for a pulse whose frame is build_frame(direction):
// the local direction (u tan_half, v tan_half, 1), normalised, then rotated and normalised again.
VELM_HD Vec3 beam_local_direction(const BeamSample& s, float tan_half) {
  return normalize(Vec3(s.u * tan_half, s.v * tan_half, 1.f));
}
VELM_HD Vec3 beam_world_direction(const Frame& f, Vec3 local) {
  return normalize(f.t * local.x + f.b * local.y + f.n * local.z);
}

constexpr float kPiF = 3.1415927f;

// What a return reads: the scene's materials and spectra, and the range window.
struct ReturnSettings {
  const MaterialRecord* materials;
  uint32_t material_count;
  const float* params;  // spectral parameter buffer
  int32_t num_bands;    // the scene's band count (a leaf's back reflectance follows its front)
  int32_t num_wavelengths;
  float min_range, max_range, range_resolution;
  int32_t num_bins;
  float pulse_energy;
  float sensor_area;  // m^2
};

// The reflectances of wavelength 0, 1, ... of a hit material: p[offset + w], for the back face of
// a leaf p[offset + num_bands + w]; null for a material outside the list.
VELM_HD const float* reflectance(const ReturnSettings& s, int32_t material_id, bool back_face) {
  if (material_id < 0 || static_cast<uint32_t>(material_id) >= s.material_count) return nullptr;
  const MaterialRecord& m = s.materials[material_id];
  int64_t index = m.spectral_offset;
  if (back_face && m.type == kMaterialLeaf) index += s.num_bands;
  return s.params + index;
}

// Adds what the first surface along beam ray `ray` from `origin` returns into the pulse's raw
// waveform `wave` (num_bins x num_wavelengths): E / R^2 * weight * A * cos / pi * rho per
// wavelength, into the range bin of the hit. Returns that bin, or -1 when the ray returns
// nothing (a miss, a hit outside the window, a grazing hit). `Add::add(float*, float)` adds.
template <class Add>
VELM_HD int32_t add_beam_return(const ReturnSettings& s, const SurfaceHit& hit, Vec3 origin,
                                Vec3 ray, float weight, float* wave) {
  if (!hit.hit) return -1;
  const float range = length(hit.position - origin);
  if (!(range >= s.min_range && range <= s.max_range)) return -1;
  const float bin_f = (range - s.min_range) / s.range_resolution;
  if (!(bin_f >= 0.f) || !(bin_f < static_cast<float>(s.num_bins))) return -1;
  const int32_t bin = static_cast<int32_t>(bin_f);
  const float cosine = std::fabs(dot(-ray, hit.normal));
  if (cosine < 1e-6f) return -1;
  const float* rho = reflectance(s, hit.material_id, hit.is_back_face);
  if (rho == nullptr) return -1;
  const float base = (s.pulse_energy / (range * range)) * weight * s.sensor_area * cosine / kPiF;
  float* cell = wave + static_cast<int64_t>(bin) * s.num_wavelengths;
  for (int32_t w = 0; w < s.num_wavelengths; ++w) {
    const float v = base * rho[w];
    if (v > 0.f) Add::add(cell + w, v);
  }
  return bin;
}

// Direct mode: the return of the pulse's central ray, (x, y, z, intensity, range) in `out`.
// The intensity reads the first spectral value of the material (no wavelength, no back face).
VELM_HD bool direct_return(const ReturnSettings& s, const SurfaceHit& hit, Vec3 origin,
                           Vec3 direction, float out[5]) {
  if (!hit.hit) return false;
  const float range = length(hit.position - origin);
  if (!(range >= s.min_range && range <= s.max_range)) return false;
  const float* rho = reflectance(s, hit.material_id, false);
  if (rho == nullptr) return false;
  const float cosine = std::fabs(dot(-direction, hit.normal));
  out[0] = hit.position.x;
  out[1] = hit.position.y;
  out[2] = hit.position.z;
  out[3] = cosine * rho[0] * s.pulse_energy * s.sensor_area / (kPiF * (range * range));
  out[4] = range;
  return true;
}

}  // namespace velm::lidar
