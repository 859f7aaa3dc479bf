// Analytic sky radiance in the two-factor form of the Hosek-Wilkie model: a gradation term in the
// view zenith angle times an indicatrix term in the angle to the sun, normalised by its own value
// at the zenith so that c9 is the zenith radiance.
#pragma once

#include "physics/common.h"

namespace velm {

// `coeffs` points at the ten coefficients of one band: c0..c8 shape, c9 zenith radiance.
VELM_HD float sky_radiance(const float* c, Vec3 sun, Vec3 view) {
  if (c[9] <= 0.f) return 0.f;
  const float cos_gamma = std::fmin(1.f, std::fmax(-1.f, dot(sun, view)));
  const float gamma = std::acos(cos_gamma);
  const float cos_theta = std::fmax(view.z, 0.001f);
  const float theta_s = std::acos(std::fmin(1.f, std::fmax(0.f, sun.z)));
  const float f = (1.f + c[0] * std::exp(c[1] / cos_theta)) *
                  (1.f + c[2] * std::exp(c[3] * gamma) + c[4] * cos_gamma * cos_gamma +
                   c[5] * std::exp(c[6] * gamma * gamma) + c[7] * std::sqrt(cos_theta) + c[8]);
  const float cos_s = std::cos(theta_s);
  const float z = (1.f + c[0] * std::exp(c[1])) *
                  (1.f + c[2] * std::exp(c[3] * theta_s) + c[4] * cos_s * cos_s +
                   c[5] * std::exp(c[6] * theta_s * theta_s) + c[7] + c[8]);
  return std::fmax(0.f, c[9] * f / std::fmax(z, 0.001f));
}

// Sky radiance of `params` + 10 b for band b.
VELM_HD float sky_radiance(const float* params, int sky_offset, Vec3 sun, Vec3 view, int band) {
  return sky_radiance(params + sky_offset + 10 * band, sun, view);
}

}  // namespace velm
