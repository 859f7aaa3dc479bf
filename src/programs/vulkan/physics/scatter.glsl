// The step that continues a path (backward) or a photon (forward) past a surface; the GLSL side
// of src/physics/scatter.h.
//
// Per-band arrays hold the bands first_band .. first_band + band_count - 1 of the material
// (BAND_CAPACITY, defined by the including shader, bounds band_count). Band loops stay loops
// ([[dont_unroll]], GL_EXT_control_flow_attributes, enabled by the including shader): unrolled
// to the capacity they make a shader compile five to ten times longer on lavapipe.
#ifndef VELM_PHYSICS_SCATTER_GLSL
#define VELM_PHYSICS_SCATTER_GLSL

#include "physics/bsdf.glsl"
#include "physics/pcg32.glsl"

// Whether a direction with z `local_z` in the shading frame leaves on the side of the geometric
// surface that the shading frame says (facing `geometric_normal`, the side the path arrived from,
// when reflected; the other when transmitted). Interpolated normals would otherwise let light
// through closed meshes.
bool on_shading_side(vec3 geometric_normal, vec3 direction, float local_z) {
  const float g = dot(geometric_normal, direction);
  return local_z > 0.0 ? g > 0.0 : g < 0.0;
}

// Draws the next direction from the material (three draws, d3, d2, d1 into sample_bsdf), weights
// the per-band throughput by f |cos| / pdf and, from `rr_depth` on, plays Russian roulette with
// survival probability min(0.95, max throughput) (one more draw). Returns false when the path
// ends: no usable sample, a sample on the wrong side of the geometric surface (on_shading_side),
// every band at or below `extinct`, or roulette. On success `direction` is the new world
// direction.
bool scatter(MaterialView m, Frame frame, vec3 geometric_normal, vec3 wo, bool back_face,
             bool thermal, int depth, int rr_depth, float extinct, inout Pcg32 rng,
             inout float throughput[BAND_CAPACITY], int first_band, int band_count,
             out vec3 direction) {
  direction = vec3(0.0);
  const float d1 = next_float(rng), d2 = next_float(rng), d3 = next_float(rng);
  const DirectionSample s = sample_bsdf(m, back_face, d3, d2, d1);
  if (s.pdf < 1e-8 || s.w.z == 0.0) return false;
  const vec3 world = normalize_or_zero(to_world(frame, s.w));
  if (!on_shading_side(geometric_normal, world, s.w.z)) return false;
  const float cos_over_pdf = abs(s.w.z) / s.pdf;
  bool alive = false;
  [[dont_unroll]] for (int k = 0; k < band_count; ++k) {
    throughput[k] *= eval_bsdf(m, first_band + k, wo, s.w, back_face, thermal) * cos_over_pdf;
    alive = alive || throughput[k] > extinct;
  }
  if (!alive) return false;
  if (depth >= rr_depth) {
    float q = 0.0;
    [[dont_unroll]] for (int k = 0; k < band_count; ++k) q = max(q, throughput[k]);
    q = min(0.95, q);
    if (next_float(rng) >= q) return false;
    [[dont_unroll]] for (int k = 0; k < band_count; ++k) throughput[k] /= q;
  }
  direction = world;
  return true;
}

#endif
