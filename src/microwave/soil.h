// Bare-soil microwave surface: Fresnel reflectivities of a smooth half-space, the effective
// emitting temperature, rough-surface emission, backscatter of a rough surface and the smooth
// (specular) reflectivity. Each evaluation takes the soil once and a batch of incidence cosines;
// everything that does not depend on the cosine (permittivity, effective temperature, roughness
// terms) is computed once per batch, so the per-cosine work is a Fresnel evaluation and a few
// products with no allocation.
#pragma once

#include <complex>
#include <cstddef>

#include "microwave/dielectric.h"

namespace velm::microwave {

// The soil parameter vector as the module and the launch tables carry it (12 floats).
constexpr int kSoilParameterCount = 12;

enum class SoilDielectric { ClayMixing, SemiEmpirical, EmpiricalPolynomial };

struct SoilParameters {
  float sand = 0.f;            // fraction 0..1
  float clay = 0.f;            // fraction 0..1
  float moisture = 0.f;        // volumetric, m^3/m^3
  float roughness = 0.f;       // h of the emission roughness model
  float exponent_v = 0.f;      // N_V, cosine exponent of the roughness loss, vertical channel
  float exponent_h = 0.f;      // N_H, the same for the horizontal channel
  float mixing = 0.f;          // Q, polarisation mixing
  float surface_temperature = 0.f;  // K
  float deep_temperature = 0.f;     // K
  SoilDielectric model = SoilDielectric::SemiEmpirical;
  float rms_height = 0.f;      // m
};

// Reads the first 12 values of a soil vector. The model selector (value 9) is truncated toward
// zero: 0 selects the clay mixing model, 2 the empirical polynomial, anything else the
// semi-empirical model. A negative moisture is read as zero (dry soil). Throws
// std::invalid_argument when any of the 12 values is not finite.
SoilParameters soil_parameters_from(const float* values);

struct Reflectivity {
  float h = 0.f;
  float v = 0.f;
};

// Fresnel power reflectivities of a smooth half-space of permittivity eps (imaginary part <= 0
// for loss) seen from air at incidence cosine mu > 0.
Reflectivity fresnel_reflectivity(float mu, std::complex<float> eps);

// Temperature that the soil emits at: the deep temperature, pulled towards the surface
// temperature as the top layer gets wetter (wet soil emits from a thinner layer).
float effective_soil_temperature(const SoilParameters& soil);

// Permittivity of the soil for one of the three dielectric models at the given temperature (K;
// used by the semi-empirical model only). Throws std::invalid_argument when the model gives a
// value the Fresnel equations cannot use (Permittivity::is_usable; only for parameters far
// outside their physical ranges).
Permittivity soil_permittivity(float frequency, const SoilParameters& soil, SoilDielectric model,
                               float temperature);

// Incidence cosine as the models use it: |cosine| kept away from grazing.
inline float incidence_mu(float cosine) {
  const float a = cosine < 0.f ? -cosine : cosine;
  return a > 0.001f ? a : 0.001f;
}

// Rows [T_B,H, T_B,V, r_H, r_V] of rough-surface emission (brightness temperatures in K and
// rough reflectivities) for n cosines; out holds 4n floats.
void soil_emission(float frequency, const SoilParameters& soil, const float* cosines, size_t n,
                   float* out);

// Rows [sigma_HH, sigma_HV, sigma_VH, sigma_VV] (linear backscatter coefficients) for n cosines;
// out holds 4n floats.
void soil_backscatter(float frequency, const SoilParameters& soil, const float* cosines, size_t n,
                      float* out);

// Rows [R_H, R_V] of the smooth-surface reflectivity for n cosines; out holds 2n floats. The
// empirical polynomial model is used only when allow_empirical is set; the semi-empirical model
// takes the surface temperature here, not the effective temperature.
void soil_smooth_reflectivity(float frequency, const SoilParameters& soil, bool allow_empirical,
                              const float* cosines, size_t n, float* out);

// Throws std::invalid_argument unless the frequency (Hz) is finite and positive.
void require_valid_frequency(float frequency);

}  // namespace velm::microwave
