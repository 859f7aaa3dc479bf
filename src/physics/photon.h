// Photon sources for the forward simulations: a diffuse source on the faces of the scene box for
// sky light, a collimated beam source for direct sunlight, and the launch that picks between them
// and gives each photon its energy.
#pragma once

#include "physics/bsdf.h"
#include "physics/pcg32.h"
#include "physics/sky.h"

namespace velm {

struct Box {
  Vec3 lo, hi;
};

struct EmittedRay {
  Vec3 origin;
  Vec3 direction;
  double ratio;  // emitting area over the top face area: photons on side faces carry this weight
};

// Cosine-distributed photons leaving the top and side faces of the box inwards. The top face
// is chosen with probability A/S, so a top-face photon carries ratio S/A times the energy of a
// top-only source: the side faces add the light that slant rays bring in through the sides.
VELM_HD EmittedRay emit_diffuse(const Box& box, float uf, float ua, float ub, float ur, float uphi) {
  const float dx = box.hi.x - box.lo.x, dy = box.hi.y - box.lo.y, dz = box.hi.z - box.lo.z;
  const float a = dx * dy, ax = dy * dz, ay = dx * dz;
  const float s_total = a + 2.f * ax + 2.f * ay;
  EmittedRay out;
  out.ratio = a > 0.f ? static_cast<double>(s_total) / a : 0.0;
  const float s = s_total * uf;
  Vec3 normal;
  if (a > s || s_total <= 0.f) {
    out.origin = {box.lo.x + dx * ua, box.lo.y + dy * ub, box.hi.z + 0.1f};
    normal = {0.f, 0.f, 1.f};
  } else {
    const float z = box.lo.z + dz * ub;
    if (a + ax > s) {
      out.origin = {box.lo.x - 0.1f, box.lo.y + dy * ua, z};
      normal = {-1.f, 0.f, 0.f};
    } else if (a + 2.f * ax > s) {
      out.origin = {box.hi.x + 0.1f, box.lo.y + dy * ua, z};
      normal = {1.f, 0.f, 0.f};
    } else {
      const float x = box.lo.x + dx * ua;
      if (a + 2.f * ax + ay > s) {
        out.origin = {x, box.lo.y - 0.1f, z};
        normal = {0.f, -1.f, 0.f};
      } else {
        out.origin = {x, box.hi.y + 0.1f, z};
        normal = {0.f, 1.f, 0.f};
      }
    }
  }
  const float r = std::sqrt(ur);
  const float phi = 6.2831855f * uphi;
  const Vec3 local(r * std::cos(phi), r * std::sin(phi), std::sqrt(max_of(0.f, 1.f - r * r)));
  out.direction = normalize(build_frame(-normal).to_world(local));
  return out;
}

// A collimated beam entering the box through the faces it crosses, each chosen in proportion to
// its area projected on the beam.
VELM_HD EmittedRay emit_beam(const Box& box, Vec3 d, float uf, float ua, float ub) {
  const float dx = box.hi.x - box.lo.x, dy = box.hi.y - box.lo.y, dz = box.hi.z - box.lo.z;
  const float at = std::fabs(d.z) * dx * dy, ax = std::fabs(d.x) * dy * dz,
              ay = std::fabs(d.y) * dx * dz;
  const float s_total = at + ax + ay;
  EmittedRay out;
  out.direction = d;
  out.ratio = dx * dy > 0.f ? static_cast<double>(s_total) / (dx * dy) : 0.0;
  const float s = s_total * uf;
  if (at > s || s_total <= 0.f) {
    out.origin = {box.lo.x + dx * ua, box.lo.y + dy * ub, box.hi.z + 0.1f};
  } else if (at + ax > s) {
    out.origin = {d.x >= 0.f ? box.lo.x - 0.1f : box.hi.x + 0.1f, box.lo.y + dy * ua,
                  box.lo.z + dz * ub};
  } else {
    out.origin = {box.lo.x + dx * ua, d.y >= 0.f ? box.lo.y - 0.1f : box.hi.y + 0.1f,
                  box.lo.z + dz * ub};
  }
  return out;
}

// What a photon launch needs from the scene.
struct PhotonSourceSettings {
  Box box;                    // scene bounds
  Vec3 sun_direction;         // towards the sun
  const float* params;        // spectral parameter buffer
  int nb;                     // bands
  int sun_offset;             // solar irradiance block, W m^-2 per band
  int sky_offset;             // constant sky radiance block, or -1
  int hosek_offset;           // analytic sky coefficients, or -1
  Vec3 hosek_sun;
  bool repetition;            // periodic tile on
  float launch_height;        // repeating: 0.1 above the higher of the measurement plane and the
                              // top of the scene
  double sx, sy;              // horizontal extent photons are spread over
  double area_per_photon;     // sx * sy / N
  float prob_sun;
};

struct LaunchedPhoton {
  Vec3 origin, direction;
  double scale;  // area per photon over the probability of its source
  bool is_sun;
};

VELM_HD double sky_radiance_for(const PhotonSourceSettings& s, Vec3 up_dir, int b) {
  if (s.hosek_offset >= 0) return sky_radiance(s.params, s.hosek_offset, s.hosek_sun, up_dir, b);
  return s.params[s.sky_offset + b];
}

// Launches one photon. Fills energy[b] (W per unit scale; Spectrum: anything with operator[])
// and returns false when no photon leaves (sun near the horizon, or a sun below it).
template <class Spectrum>
VELM_HD bool launch_photon(const PhotonSourceSettings& s, Pcg32& rng, Spectrum energy,
                           LaunchedPhoton& out) {
  const Vec3 l = s.sun_direction;
  if (std::fabs(l.z) < 0.01f) return false;
  const bool sky = s.hosek_offset >= 0 || s.sky_offset >= 0;
  bool sun = true;
  if (sky) {
    // The draw lies in [0, 1] (1 included), so a source of probability 0 is excluded explicitly:
    // it would carry an infinite weight.
    const float u = rng.next_float();
    sun = s.prob_sun >= 1.f || (s.prob_sun > 0.f && u < s.prob_sun);
  }
  const double pi = 3.141592653589793;
  double p_source;
  if (sun) {
    const Vec3 d = -l;
    if (d.z >= 0.f) return false;
    const float a = rng.next_float();
    const float b = rng.next_float();
    double weight;
    if (s.repetition) {
      const float t = 0.1f / (-d.z);
      out.origin = {static_cast<float>(a * s.sx) - t * d.x, static_cast<float>(b * s.sy) - t * d.y,
                    s.launch_height};
      weight = std::fabs(l.z);
    } else {
      const float c = rng.next_float();
      const EmittedRay e = emit_beam(s.box, d, c, b, a);
      out.origin = e.origin;
      weight = e.ratio;
    }
    out.direction = d;
    for (int k = 0; k < s.nb; ++k) energy[k] = static_cast<double>(s.params[s.sun_offset + k]) * weight;
    // Without a sky every photon is a sun photon, whatever prob_sun says.
    p_source = sky ? s.prob_sun : 1.0;
  } else {
    const float a = rng.next_float(), b = rng.next_float(), c = rng.next_float(),
                d = rng.next_float();
    if (s.repetition) {
      const Vec3 w = sample_cosine(a, b);
      out.direction = {w.x, w.y, -w.z};
      const float t = 0.1f / w.z;
      out.origin = {static_cast<float>(c * s.sx) - t * w.x, static_cast<float>(d * s.sy) - t * w.y,
                    s.launch_height};
      for (int k = 0; k < s.nb; ++k) energy[k] = pi * sky_radiance_for(s, w, k);
    } else {
      const float e = rng.next_float();
      const EmittedRay em = emit_diffuse(s.box, e, d, c, b, a);
      out.origin = em.origin;
      out.direction = em.direction;
      for (int k = 0; k < s.nb; ++k)
        energy[k] = pi * sky_radiance_for(s, -em.direction, k) * em.ratio;
    }
    p_source = 1.0 - s.prob_sun;
  }
  out.is_sun = sun;
  out.scale = s.area_per_photon / p_source;
  return true;
}

}  // namespace velm
