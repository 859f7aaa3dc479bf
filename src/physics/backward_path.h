// One backward path from the sensor: the per-pixel work of the image simulations, shared by the
// CPU backend and the OptiX ray-generation program. Next-event estimation towards the sun, the sky
// and the sun disk on escape, thermal emission in thermal mode, the repeating tile, Russian
// roulette; on the GPU also the per-primitive temperatures and SIF emission of the OptiX scene.
//
// `Scene` is a backend's ray tracer: `SurfaceHit intersect_closest(Vec3 o, Vec3 d) const` and
// `bool occluded_tiled(Vec3 o, Vec3 d, float t_max) const`. `Spectrum` holds one value per band
// with `operator[]` (a pointer to doubles on the CPU, a strided view of a per-path buffer on the
// GPU).
#pragma once

#include "physics/bsdf.h"
#include "physics/camera.h"
#include "physics/pcg32.h"
#include "physics/planck.h"
#include "physics/scatter.h"
#include "physics/sky.h"
#include "physics/surface.h"
#include "physics/tile.h"

namespace velm {

constexpr int kBackwardRouletteDepth = 3;
constexpr double kSunSolidAngle = 6.794e-5;  // sr, solid angle of the solar disk
// Cosine of the disk's angular radius: the cone of exactly that solid angle, 2 pi (1 - cos).
// Tested in double, so that the directions seen as sun add up to the irradiance E and not to
// E times the area of a cone widened by float rounding near 1.
constexpr double kSunDiskCosine = 1.0 - kSunSolidAngle / 6.283185307179586;

// Everything a path reads, resolved once per simulation.
struct BackwardSettings {
  const SensorBlock* sensor;
  const float* params;  // spectral parameter buffer
  const MaterialRecord* materials;
  int nb;
  int max_depth;
  bool thermal;
  const float* wavelengths;     // nm, one per band (thermal mode)
  Vec3 sun;                     // unit vector towards the sun
  const float* sun_irradiance;  // W m^-2 per band (not read in thermal mode)
  int hosek_offset;             // analytic sky coefficients, or -1
  Vec3 hosek_sun;
  const float* sky_constant;  // W m^-2 sr^-1 per band, or null
  bool terrain_following;
  RepetitionTile tile;
  bool repetition;
  float zmin, zmax;  // the scene's vertical extent
  // Per-primitive values of the GPU scenes, indexed by the global primitive index of a hit;
  // null (and 0) where the scene has none.
  const float* primitive_temperatures;  // K, replace the material's temperatures
  const float* sif_spectra;             // n_sif_bands x n_primitives, band-major
  int n_sif_bands;
  uint32_t n_primitives;
  bool sif_only;  // the image is the SIF emission seen directly, nothing reflected
  uint64_t seed;  // the run's seed: pass p of a pixel draws from seeded_sequence(p, seed)
};

struct PathCounts {
  uint64_t closest_rays = 0;
  uint64_t shadow_rays = 0;
};

// The index of a hit in the per-primitive arrays, or -1 when it has none there.
VELM_HD int64_t primitive_slot(const BackwardSettings& c, const SurfaceHit& hit) {
  if (hit.global_primitive_id < 0 || static_cast<uint32_t>(hit.global_primitive_id) >= c.n_primitives)
    return -1;
  return hit.global_primitive_id;
}

// One path for pixel (x, y) in pass `pass`; leaves its radiance in L (nb values; T is scratch).
template <class Scene, class Spectrum>
VELM_HD void trace_backward_path(const BackwardSettings& c, const Scene& scene, int x, int y,
                                 int pass, Spectrum T, Spectrum L, PathCounts& counts) {
  const int nb = c.nb;
  const uint64_t w = static_cast<uint64_t>(c.sensor->width);
  Pcg32 rng = item_stream(static_cast<uint64_t>(y) * w + static_cast<uint64_t>(x),
                          seeded_sequence(static_cast<uint64_t>(pass), c.seed));
  for (int b = 0; b < nb; ++b) {
    T[b] = 1.0;
    L[b] = 0.0;
  }
  const float jx = rng.next_float();
  const float jy = rng.next_float();
  const SensorRay ray =
      sensor_ray(*c.sensor, static_cast<float>(x) + jx, static_cast<float>(y) + jy);
  if (dot(ray.direction, ray.direction) < 0.5f) return;
  Vec3 o = ray.origin, d = ray.direction;

  if (c.terrain_following && c.sensor->type == kSensorOrthographic && d.z != 0.f) {
    const float t = -o.z / d.z;
    const Vec3 p0(o.x + t * d.x, o.y + t * d.y, o.z);
    const SurfaceHit ground = scene.intersect_closest(p0, Vec3(0.f, 0.f, -1.f));
    ++counts.closest_rays;
    if (ground.hit) o = Vec3(p0.x, p0.y, o.z - ground.t) - d * 100000.f;
  }
  if (c.repetition) enter_tile(c.tile, c.zmax, o, d);
  if (c.max_depth < 1) return;

  int depth = 0, wraps = 0;
  bool escaped = false;
  for (;;) {
    const SurfaceHit hit = scene.intersect_closest(o, d);
    ++counts.closest_rays;
    if (!hit.hit) {
      if (wrap_into_next_tile(c.tile, c.repetition, c.zmin, c.zmax, o, d, wraps)) continue;
      escaped = true;
      break;
    }
    const MaterialRecord& rec = c.materials[hit.material_id];
    const MaterialView mat = material_view(rec, c.params, nb);
    const Frame frame = build_frame(hit.normal);
    const Vec3 wo = frame.to_local(-d);
    const int64_t slot = primitive_slot(c, hit);

    if (c.sif_spectra != nullptr && slot >= 0) {
      // Fluorescence leaves the surface isotropically on either side.
      const int n = c.n_sif_bands < nb ? c.n_sif_bands : nb;
      for (int b = 0; b < n; ++b)
        L[b] += static_cast<double>(c.sif_spectra[static_cast<int64_t>(b) * c.n_primitives + slot]) *
                T[b];
    }
    if (c.sif_only) break;

    if (c.thermal) {
      float temperature = rec.scalars[2];
      if (c.primitive_temperatures != nullptr && slot >= 0) {
        temperature = c.primitive_temperatures[slot];
      } else if (rec.scalars[3] > 0.f && rec.scalars[4] > 0.f) {
        const Vec3 so = hit.spawn(c.sun);
        ++counts.shadow_rays;
        temperature = scene.occluded_tiled(so, c.sun, 1e16f) ? rec.scalars[4] : rec.scalars[3];
      }
      if (temperature > 0.f) {
        for (int b = 0; b < nb; ++b)
          L[b] += static_cast<double>(planck(temperature, c.wavelengths[b])) * mat.p[b] * T[b];
      }
    } else {
      const float n_dot_l = dot(hit.normal, c.sun);
      if ((n_dot_l > 0.f || rec.type == kMaterialLeaf) &&
          on_shading_side(hit.geometric_normal, c.sun, n_dot_l)) {
        const Vec3 so = hit.spawn(c.sun);
        ++counts.shadow_rays;
        if (std::fabs(n_dot_l) > 0.f && !scene.occluded_tiled(so, c.sun, 1e16f)) {
          const Vec3 wi = frame.to_local(c.sun);
          const double cos_l = std::fabs(n_dot_l);
          for (int b = 0; b < nb; ++b)
            L[b] += c.sun_irradiance[b] * eval_bsdf(mat, b, wo, wi, hit.is_back_face, false) *
                    T[b] * cos_l;
        }
      }
    }

    // The path ends once every band's throughput is at most 1e-10.
    if (!scatter(mat, frame, hit.geometric_normal, wo, hit.is_back_face, c.thermal, depth,
                 kBackwardRouletteDepth, 1e-10, rng, T, d))
      break;
    o = hit.spawn(d);
    if (++depth >= c.max_depth) break;
  }
  if (!escaped || c.sif_only) return;

  const double cos_to_sun = static_cast<double>(d.x) * c.sun.x +
                            static_cast<double>(d.y) * c.sun.y + static_cast<double>(d.z) * c.sun.z;
  if (depth == 0 && !c.thermal && cos_to_sun >= kSunDiskCosine) {
    for (int b = 0; b < nb; ++b) L[b] += c.sun_irradiance[b] / kSunSolidAngle * T[b];
    return;
  }
  if (c.hosek_offset >= 0) {
    for (int b = 0; b < nb; ++b)
      L[b] += sky_radiance(c.params, c.hosek_offset, c.hosek_sun, d, b) * T[b];
  } else if (c.sky_constant != nullptr) {
    for (int b = 0; b < nb; ++b) L[b] += c.sky_constant[b] * T[b];
  }
}

}  // namespace velm
