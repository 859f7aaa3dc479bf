// The step that continues a path (backward) or a photon (forward) past a surface.
#pragma once

#include "physics/bsdf.h"
#include "physics/pcg32.h"

namespace velm {

// Draws the next direction from the material (three draws, d3, d2, d1 into sample_bsdf), weights
// the per-band throughput by f |cos| / pdf and, from `rr_depth` on, plays Russian roulette with
// survival probability min(0.95, max throughput) (one more draw). Returns false when the path
// ends: no usable sample, every band at or below `extinct`, or roulette. On success `direction`
// is the new world direction. `throughput` holds one value per band (Spectrum: anything with
// operator[], a pointer to doubles on the CPU).
template <class Spectrum>
VELM_HD bool scatter(const MaterialView& m, const Frame& frame, Vec3 wo, bool back_face,
                     bool thermal, int depth, int rr_depth, double extinct, Pcg32& rng,
                     Spectrum throughput, Vec3& direction) {
  const float d1 = rng.next_float(), d2 = rng.next_float(), d3 = rng.next_float();
  const DirectionSample s = sample_bsdf(m, d3, d2, d1);
  if (s.pdf < 1e-8f || s.w.z == 0.f) return false;
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
  direction = normalize(frame.to_world(s.w));
  return true;
}

}  // namespace velm
