// The step that continues a path (backward) or a photon (forward) past a surface.
#pragma once

#include "physics/bsdf.h"
#include "physics/pcg32.h"

namespace velm {

// Interpolated (shading) normals tilt the hemisphere the BSDF sees against the triangle's own
// plane. A direction the shading frame calls reflected (local z > 0) that points through the
// triangle by its geometric normal would cross the surface while weighted as a reflection, and a
// "transmitted" one would stay on the near side: light would leak into closed meshes. Such a
// direction carries nothing. `geometric_normal` faces the side the path arrived from; `local_z`
// is the direction's z in the shading frame.
VELM_HD bool on_shading_side(Vec3 geometric_normal, Vec3 direction, float local_z) {
  const float g = dot(geometric_normal, direction);
  return local_z > 0.f ? g > 0.f : g < 0.f;
}

// Draws the next direction from the material (three draws, d3, d2, d1 into sample_bsdf), weights
// the per-band throughput by f |cos| / pdf and, from `rr_depth` on, plays Russian roulette with
// survival probability min(0.95, max throughput) (one more draw). Returns false when the path
// ends: no usable sample, a sample that leaves on the wrong side of the geometric surface
// (on_shading_side), every band at or below `extinct`, or roulette. On success `direction` is the
// new world direction. `throughput` holds one value per band (Spectrum: anything with
// operator[], a pointer to doubles on the CPU).
template <class Spectrum>
VELM_HD_HOT bool scatter(const MaterialView& m, const Frame& frame, Vec3 geometric_normal,
                         Vec3 wo, bool back_face, bool thermal, int depth, int rr_depth,
                         double extinct, Pcg32& rng, Spectrum throughput, Vec3& direction) {
  const float d1 = rng.next_float(), d2 = rng.next_float(), d3 = rng.next_float();
  const DirectionSample s = sample_bsdf(m, back_face, d3, d2, d1);
  if (s.pdf < 1e-8f || s.w.z == 0.f) return false;
  const Vec3 world = normalize(frame.to_world(s.w));
  if (!on_shading_side(geometric_normal, world, s.w.z)) return false;
  const double cos_over_pdf = std::fabs(s.w.z) / static_cast<double>(s.pdf);
  bool alive = false;
  for (int b = 0; b < m.nb; ++b) {
    throughput[b] *= eval_bsdf(m, b, wo, s.w, back_face, thermal) * cos_over_pdf;
    alive |= throughput[b] > extinct;
  }
  if (!alive) return false;
  if (depth >= rr_depth) {
    double q = 0.0;
    for (int b = 0; b < m.nb; ++b) q = max_of(q, static_cast<double>(throughput[b]));
    q = min_of(0.95, q);
    if (rng.next_float() >= q) return false;
    for (int b = 0; b < m.nb; ++b) throughput[b] /= q;
  }
  direction = world;
  return true;
}

}  // namespace velm
