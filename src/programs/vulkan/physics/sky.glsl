// Analytic sky radiance in the two-factor form of the Hosek-Wilkie model; the GLSL side of
// src/physics/sky.h. The coefficients live in the including shader's params[].
#ifndef VELM_PHYSICS_SKY_GLSL
#define VELM_PHYSICS_SKY_GLSL

#include "physics/common.glsl"

// `c` is the position in params[] of the ten coefficients of one band: c0..c8 shape, c9 zenith
// radiance.
float sky_radiance(uint c, vec3 sun, vec3 view) {
  const float zenith = params[c + 9u];
  if (zenith <= 0.0) return 0.0;
  const float c0 = params[c], c1 = params[c + 1u], c2 = params[c + 2u], c3 = params[c + 3u],
              c4 = params[c + 4u], c5 = params[c + 5u], c6 = params[c + 6u],
              c7 = params[c + 7u], c8 = params[c + 8u];
  const float cos_gamma = min(1.0, max(-1.0, dot(sun, view)));
  const float gamma = acos(cos_gamma);
  const float cos_theta = max(view.z, 0.001);
  const float theta_s = acos(min(1.0, max(0.0, sun.z)));
  const float f = (1.0 + c0 * exp(c1 / cos_theta)) *
                  (1.0 + c2 * exp(c3 * gamma) + c4 * cos_gamma * cos_gamma +
                   c5 * exp(c6 * gamma * gamma) + c7 * sqrt(cos_theta) + c8);
  const float cos_s = cos(theta_s);
  const float z = (1.0 + c0 * exp(c1)) *
                  (1.0 + c2 * exp(c3 * theta_s) + c4 * cos_s * cos_s +
                   c5 * exp(c6 * theta_s * theta_s) + c7 + c8);
  return max(0.0, zenith * f / max(z, 0.001));
}

// Sky radiance of the coefficients at sky_offset + 10 band.
float sky_radiance(int sky_offset, vec3 sun, vec3 view, int band) {
  return sky_radiance(uint(sky_offset + 10 * band), sun, view);
}

#endif
