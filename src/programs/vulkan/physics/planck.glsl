// Blackbody spectral radiance (Planck's law) per nanometre of wavelength; the GLSL side of
// src/physics/planck.h, in single precision.
#ifndef VELM_PHYSICS_PLANCK_GLSL
#define VELM_PHYSICS_PLANCK_GLSL

// W m^-2 sr^-1 nm^-1 for temperature in kelvin and wavelength in nanometres; c2 = h c / k and
// 2 h c^2 are CODATA 2018. With the wavelength in nanometres the constants stay inside the float
// range: 2 h c^2 / lambda^5 per nm = 1.1910429723971884e20 / lambda_nm^5, x = c2 / (lambda T) =
// 1.4387768775039337e7 / (lambda_nm T). The Bose factor is written as e^-x / (1 - e^-x), which
// does not overflow, with the series of 1 - e^-x where x is small. Far in the Wien tail
// (x > 500) the radiance is 0.
float planck(float temperature, float wavelength_nm) {
  const float x = 1.4387768775039337e7 / (temperature * wavelength_nm);
  if (x > 500.0) return 0.0;
  const float e = exp(-x);
  const float one_minus_e = x < 1e-3 ? x * (1.0 - x * (0.5 - x / 6.0)) : 1.0 - e;
  const float l2 = wavelength_nm * wavelength_nm;
  return 1.1910429723971884e20 / (l2 * l2 * wavelength_nm) * (e / one_minus_e);
}

#endif
