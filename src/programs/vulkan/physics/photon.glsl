// Photon sources for the forward simulations: a diffuse source on the faces of the scene box for
// sky light, a collimated beam source for direct sunlight, and the launch that picks between them
// and gives each photon its energy; the GLSL side of src/physics/photon.h.
//
// Per-band arrays and band loops as in scatter.glsl (BAND_CAPACITY from the including shader).
#ifndef VELM_PHYSICS_PHOTON_GLSL
#define VELM_PHYSICS_PHOTON_GLSL

#include "physics/bsdf.glsl"
#include "physics/pcg32.glsl"
#include "physics/sky.glsl"

struct Box {
  vec3 lo;
  vec3 hi;
};

struct EmittedRay {
  vec3 origin;
  vec3 direction;
  float ratio;  // emitting area over the top face area: photons on side faces carry this weight
};

// Cosine-distributed photons leaving the top and side faces of the box inwards; the top face is
// chosen with probability A/S, so a photon carries ratio S/A.
EmittedRay emit_diffuse(Box box, float uf, float ua, float ub, float ur, float uphi) {
  const float dx = box.hi.x - box.lo.x, dy = box.hi.y - box.lo.y, dz = box.hi.z - box.lo.z;
  const float a = dx * dy, ax = dy * dz, ay = dx * dz;
  const float s_total = a + 2.0 * ax + 2.0 * ay;
  EmittedRay e;
  e.ratio = a > 0.0 ? s_total / a : 0.0;
  const float s = s_total * uf;
  vec3 normal;
  if (a > s || s_total <= 0.0) {
    e.origin = vec3(box.lo.x + dx * ua, box.lo.y + dy * ub, box.hi.z + 0.1);
    normal = vec3(0.0, 0.0, 1.0);
  } else {
    const float z = box.lo.z + dz * ub;
    if (a + ax > s) {
      e.origin = vec3(box.lo.x - 0.1, box.lo.y + dy * ua, z);
      normal = vec3(-1.0, 0.0, 0.0);
    } else if (a + 2.0 * ax > s) {
      e.origin = vec3(box.hi.x + 0.1, box.lo.y + dy * ua, z);
      normal = vec3(1.0, 0.0, 0.0);
    } else {
      const float x = box.lo.x + dx * ua;
      if (a + 2.0 * ax + ay > s) {
        e.origin = vec3(x, box.lo.y - 0.1, z);
        normal = vec3(0.0, -1.0, 0.0);
      } else {
        e.origin = vec3(x, box.hi.y + 0.1, z);
        normal = vec3(0.0, 1.0, 0.0);
      }
    }
  }
  const float r = sqrt(ur);
  const float phi = 6.2831855 * uphi;
  const vec3 local = vec3(r * cos(phi), r * sin(phi), sqrt(max(0.0, 1.0 - r * r)));
  e.direction = normalize_or_zero(to_world(build_frame(-normal), local));
  return e;
}

// A collimated beam entering the box through the faces it crosses, each chosen in proportion to
// its area projected on the beam.
EmittedRay emit_beam(Box box, vec3 d, float uf, float ua, float ub) {
  const float dx = box.hi.x - box.lo.x, dy = box.hi.y - box.lo.y, dz = box.hi.z - box.lo.z;
  const float at = abs(d.z) * dx * dy, ax = abs(d.x) * dy * dz, ay = abs(d.y) * dx * dz;
  const float s_total = at + ax + ay;
  EmittedRay e;
  e.direction = d;
  e.ratio = dx * dy > 0.0 ? s_total / (dx * dy) : 0.0;
  const float s = s_total * uf;
  if (at > s || s_total <= 0.0) {
    e.origin = vec3(box.lo.x + dx * ua, box.lo.y + dy * ub, box.hi.z + 0.1);
  } else if (at + ax > s) {
    e.origin = vec3(d.x >= 0.0 ? box.lo.x - 0.1 : box.hi.x + 0.1, box.lo.y + dy * ua,
                    box.lo.z + dz * ub);
  } else {
    e.origin = vec3(box.lo.x + dx * ua, d.y >= 0.0 ? box.lo.y - 0.1 : box.hi.y + 0.1,
                    box.lo.z + dz * ub);
  }
  return e;
}

// What a photon launch needs from the scene.
struct PhotonSourceSettings {
  Box box;             // scene bounds
  vec3 sun_direction;  // towards the sun, unit
  int nb;              // bands
  int sun_offset;      // solar irradiance block, W m^-2 per band
  int sky_offset;      // constant sky radiance block, or -1
  int hosek_offset;    // analytic sky coefficients, or -1
  vec3 hosek_sun;
  bool repetition;     // periodic tile on
  float launch_height; // repeating: 0.1 above the higher of the measurement plane and the top
  float sx, sy;        // horizontal extent photons are spread over
  float area_per_photon;
  float prob_sun;
};

struct LaunchedPhoton {
  vec3 origin;
  vec3 direction;
  float scale;  // area per photon over the probability of its source
  bool is_sun;
};

float sky_radiance_for(PhotonSourceSettings s, vec3 up_dir, int b) {
  if (s.hosek_offset >= 0) return sky_radiance(s.hosek_offset, s.hosek_sun, up_dir, b);
  return params[s.sky_offset + b];
}

// Launches one photon. Fills energy[k] for the bands first_band + k (W per unit scale) and
// returns false when no photon leaves (sun near the horizon, or a sun below it).
bool launch_photon(PhotonSourceSettings s, inout Pcg32 rng, out float energy[BAND_CAPACITY],
                   int first_band, int band_count, out LaunchedPhoton photon) {
  for (int k = 0; k < BAND_CAPACITY; ++k) energy[k] = 0.0;
  photon.origin = vec3(0.0);
  photon.direction = vec3(0.0, 0.0, -1.0);
  photon.scale = 0.0;
  photon.is_sun = false;
  const vec3 l = s.sun_direction;
  if (abs(l.z) < 0.01) return false;
  const bool sky = s.hosek_offset >= 0 || s.sky_offset >= 0;
  bool sun = true;
  if (sky) {
    // The draw lies in [0, 1] (1 included), so a source of probability 0 is excluded explicitly.
    const float u = next_float(rng);
    sun = s.prob_sun >= 1.0 || (s.prob_sun > 0.0 && u < s.prob_sun);
  }
  float p_source;
  if (sun) {
    const vec3 d = -l;
    if (d.z >= 0.0) return false;
    const float a = next_float(rng);
    const float b = next_float(rng);
    float weight;
    if (s.repetition) {
      const float t = 0.1 / (-d.z);
      photon.origin = vec3(a * s.sx - t * d.x, b * s.sy - t * d.y, s.launch_height);
      weight = abs(l.z);
    } else {
      const float c = next_float(rng);
      const EmittedRay e = emit_beam(s.box, d, c, b, a);
      photon.origin = e.origin;
      weight = e.ratio;
    }
    photon.direction = d;
    [[dont_unroll]] for (int k = 0; k < band_count; ++k)
      energy[k] = params[s.sun_offset + first_band + k] * weight;
    // Without a sky every photon is a sun photon, whatever prob_sun says.
    p_source = sky ? s.prob_sun : 1.0;
  } else {
    const float a = next_float(rng), b = next_float(rng), c = next_float(rng),
                d = next_float(rng);
    if (s.repetition) {
      const vec3 w = sample_cosine(a, b);
      photon.direction = vec3(w.x, w.y, -w.z);
      const float t = 0.1 / w.z;
      photon.origin = vec3(c * s.sx - t * w.x, d * s.sy - t * w.y, s.launch_height);
      [[dont_unroll]] for (int k = 0; k < band_count; ++k)
        energy[k] = kPi * sky_radiance_for(s, w, first_band + k);
    } else {
      const float e = next_float(rng);
      const EmittedRay em = emit_diffuse(s.box, e, d, c, b, a);
      photon.origin = em.origin;
      photon.direction = em.direction;
      [[dont_unroll]] for (int k = 0; k < band_count; ++k)
        energy[k] = kPi * sky_radiance_for(s, -em.direction, first_band + k) * em.ratio;
    }
    p_source = 1.0 - s.prob_sun;
  }
  photon.is_sun = sun;
  photon.scale = s.area_per_photon / p_source;
  return true;
}

#endif
