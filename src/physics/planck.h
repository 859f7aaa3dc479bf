// Blackbody spectral radiance (Planck's law) per nanometre of wavelength.
#pragma once

#include "physics/common.h"

namespace velm {

// W m^-2 sr^-1 nm^-1 for temperature in kelvin and wavelength in nanometres. c2 = h c / k and
// 2 h c^2 are CODATA 2018. Far in the Wien tail (x > 500) the radiance underflows to 0.
VELM_HD float planck(double temperature, double wavelength_nm) {
  const double lambda = wavelength_nm * 1e-9;
  const double x = 0.014387768775039337 / (temperature * lambda);
  if (x > 500.0) return 0.f;
  const double l5 = lambda * lambda * lambda * lambda * lambda;
  return static_cast<float>(1.1910429723971884e-16 / ((std::exp(x) - 1.0) * l5) * 1e-9);
}

}  // namespace velm
