// Energy balance by reverse ray tracing, shared by the OptiX device programs and their host twin:
// for every primitive and sample, a point drawn uniformly on the triangle and, per face, one
// cosine-weighted ray. What each face absorbs, in W m^-2 averaged over the face:
//
//  short wave: incident = direct sun E max(0, n.s) when the shadow ray escapes (the repeating
//    tile honoured) + pi L_sky where the sampled ray escapes upwards + the first-order reflection
//    of a primitive h it hits, albedo_h times h's own sunlit-and-sky irradiance (its sun term with
//    its own shadow ray, its sky term by one more cosine ray); absorbed = (1 - own albedo)
//    incident.
//  long wave: incident = pi L_lw where the ray escapes upwards + eps_h sigma T_h^4 of a
//    primitive it hits; absorbed = own emissivity times incident (Kirchhoff).
//
// With cosine-weighted rays the irradiance of a face is pi times the mean radiance they see, and
// the radiance of a Lambertian h is its exitance over pi, so each ray contributes h's exitance.
// Temperatures and emissivities are per primitive (0 K and 0.97 where none are given), albedos
// per band and primitive (0 where none are given). The Vulkan backend's energy-balance shader
// answers the same question (with Russian roulette on the reflected term).
//
// Scene: intersect_closest(o, d) -> SurfaceHit with global_primitive_id set, occluded_tiled(o, d,
// t_max), and the members tile, repetition, zmin, zmax of the repeating tile.
#pragma once

#include "physics/bsdf.h"
#include "physics/common.h"
#include "physics/pcg32.h"
#include "physics/surface.h"
#include "physics/tile.h"

namespace velm {

constexpr double kStefanBoltzmann = 5.670374419e-8;  // W m^-2 K^-4
constexpr float kDefaultEmissivity = 0.97f;
constexpr uint64_t kEnergyBalanceSequence = 0x656E65726779ULL;

// One primitive as the energy balance samples it.
struct BalancePrimitive {
  uint64_t index = 0;  // global primitive index
  float xf[12] = {};
  InstanceFrame frame;
  Vec3 corner[3];  // mesh frame
  Vec3 front;      // world unit normal of the front face
};

// The front normal of a primitive whose transform, frame and corners are set.
VELM_HD Vec3 front_normal(const BalancePrimitive& p) {
  return unit_or(apply3(p.frame.normal_matrix,
                        cross(p.corner[1] - p.corner[0], p.corner[2] - p.corner[0])),
                 Vec3(0.f, 0.f, 1.f));
}

// What one call asks: band values and the per-primitive tables (null: the defaults above).
struct BalanceInputs {
  bool shortwave = true;
  int bands = 1;
  uint64_t n_primitives = 0;
  const float* sun = nullptr;  // per band, W m^-2 on a surface facing the sun
  const float* sky = nullptr;  // per band, W m^-2 sr^-1
  float sky_longwave = 0.f;    // W m^-2 sr^-1
  Vec3 sun_direction{0.f, 0.f, 1.f};
  const float* albedos = nullptr;  // band-major: band b of primitive p at b * n + p
  const float* temperatures = nullptr;
  const float* emissivities = nullptr;
  bool two_sided = true;
  float inv_samples = 1.f;
  uint64_t seed = 0;  // the run's seed
};

// The closest hit, continued across the repeating tile's boundaries as the paths do.
template <class Scene>
VELM_HD SurfaceHit closest_tiled(const Scene& scene, Vec3& o, Vec3& d) {
  int wraps = 0;
  for (;;) {
    const SurfaceHit hit = scene.intersect_closest(o, d);
    if (hit.hit ||
        !wrap_into_next_tile(scene.tile, scene.repetition, scene.zmin, scene.zmax, o, d, wraps))
      return hit;
  }
}

// What one sample of one face sees, independent of the band.
struct FaceSample {
  float sun_cos;      // max(0, n.s) where the sun is visible, else 0
  bool escaped_up;    // the sampled ray left the scene upwards
  int64_t hit_index;  // global index of the primitive it hit, or -1
  float hit_sun_cos;  // the hit primitive's visible max(0, n_h.s)
  bool hit_sky;       // its cosine ray escaped upwards
};

template <class Scene>
VELM_HD FaceSample sample_face(const Scene& scene, const BalancePrimitive& prim, Vec3 n, float u,
                               float v, Vec3 sun, bool shortwave, Pcg32& rng) {
  FaceSample out{0.f, false, -1, 0.f, false};
  // The face's point as a hit seen from its side, so spawned rays leave from that side.
  const SurfaceHit self = surface_hit(prim.xf, prim.frame, prim.corner, nullptr, u, v, -n, 0.f);
  if (shortwave) {
    const float c = dot(n, sun);
    if (c > 0.f && !scene.occluded_tiled(self.spawn(sun), sun, 1e16f)) out.sun_cos = c;
  }
  const Vec3 local = sample_cosine(rng.next_float(), rng.next_float());
  Vec3 d = normalize(build_frame(n).to_world(local));
  Vec3 o = self.spawn(d);
  const SurfaceHit h = closest_tiled(scene, o, d);
  if (!h.hit) {
    out.escaped_up = d.z > 0.f;
    return out;
  }
  out.hit_index = h.global_primitive_id;
  if (!shortwave) return out;
  const Vec3 nh = h.geometric_normal;  // the side of h that faces this primitive
  const float ch = dot(nh, sun);
  if (ch > 0.f && !scene.occluded_tiled(h.spawn(sun), sun, 1e16f)) out.hit_sun_cos = ch;
  const Vec3 local_h = sample_cosine(rng.next_float(), rng.next_float());
  Vec3 dh = normalize(build_frame(nh).to_world(local_h));
  Vec3 oh = h.spawn(dh);
  out.hit_sky = !closest_tiled(scene, oh, dh).hit && dh.z > 0.f;
  return out;
}

VELM_HD float value_or(const float* values, int64_t i, float fallback) {
  return values != nullptr && i >= 0 ? values[i] : fallback;
}

// Sample `sample` of primitive `prim`, both faces (the back face when two-sided), every band:
// add(face, b * n + primitive, absorbed / samples).
template <class Scene, class Add>
VELM_HD void energy_balance_sample(const Scene& scene, const BalancePrimitive& prim,
                                   const BalanceInputs& in, uint32_t sample, Add&& add) {
  const uint64_t n = in.n_primitives;
  Pcg32 rng = item_stream(prim.index, seeded_sequence(kEnergyBalanceSequence ^ sample, in.seed));
  // A uniform point on the triangle, shared by both faces.
  const float su = std::sqrt(rng.next_float()), r2 = rng.next_float();
  const float u = su * (1.f - r2), v = su * r2;
  for (int face = 0; face < (in.two_sided ? 2 : 1); ++face) {
    const Vec3 nf = face == 0 ? prim.front : -prim.front;
    const FaceSample fs =
        sample_face(scene, prim, nf, u, v, in.sun_direction, in.shortwave, rng);
    for (int b = 0; b < in.bands; ++b) {
      double absorbed;
      if (in.shortwave) {
        const double sun_e = in.sun[b], sky_l = in.sky[b];
        double incident = sun_e * fs.sun_cos;
        if (fs.escaped_up) incident += kPi * sky_l;
        if (fs.hit_index >= 0) {
          const double albedo_h =
              value_or(in.albedos, static_cast<int64_t>(b * n) + fs.hit_index, 0.f);
          incident += albedo_h * (sun_e * fs.hit_sun_cos + (fs.hit_sky ? kPi * sky_l : 0.0));
        }
        absorbed =
            (1.0 - value_or(in.albedos, static_cast<int64_t>(b * n + prim.index), 0.f)) * incident;
      } else {
        double incident = fs.escaped_up ? kPi * static_cast<double>(in.sky_longwave) : 0.0;
        if (fs.hit_index >= 0) {
          const double t = value_or(in.temperatures, fs.hit_index, 0.f);
          incident += value_or(in.emissivities, fs.hit_index, kDefaultEmissivity) *
                      kStefanBoltzmann * t * t * t * t;
        }
        absorbed =
            value_or(in.emissivities, static_cast<int64_t>(prim.index), kDefaultEmissivity) *
            incident;
      }
      add(face, static_cast<uint64_t>(b) * n + prim.index,
          static_cast<float>(absorbed) * in.inv_samples);
    }
  }
}

}  // namespace velm
