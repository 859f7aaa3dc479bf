// Dielectric models of moist soil and of vegetation (wood) at microwave frequencies.
//
// Every model returns the pair (real, loss) of a lossy medium whose complex relative permittivity
// is eps = real - j*loss (loss >= 0 for an absorbing medium, time factor exp(+j*omega*t)). All
// arithmetic is single precision: these values feed single-precision response tables.
#pragma once

#include <cmath>
#include <complex>

namespace velm::microwave {

// Constants of the microwave subsystem, single precision as the tables use them.
constexpr float kSpeedOfLight = 2.998e8f;  // m/s
constexpr float kTwoPi = 6.2831855f;
constexpr float kPi = 3.1415927f;
constexpr float kVacuumPermittivity = 8.854e-12f;  // F/m

struct Permittivity {
  float real = 1.f;
  float loss = 0.f;
  // The complex permittivity real - j*loss, as the Fresnel equations take it.
  std::complex<float> value() const { return {real, -loss}; }
  // Whether the Fresnel equations can use it: finite, with its squared magnitude (with room for
  // the sums they square) inside the single-precision range, i.e. |eps| below about 9e18.
  // Natural media stay below 100; only parameters far outside their ranges come near it.
  bool is_usable() const { return std::isfinite(4.f * (real * real + loss * loss)); }
};

// Free-space wavenumber k0 = 2*pi*f/c (rad/m) for a frequency in Hz.
inline float free_space_wavenumber(float frequency) { return kTwoPi * frequency / kSpeedOfLight; }

// Clay mixing model: refractive index of the dry soil plus bound water (up to the transition
// moisture m_t, which grows with clay) and free water beyond it, each water phase a Debye
// relaxation; bound water also carries an ionic conductivity loss.
Permittivity clay_mixing_permittivity(float frequency, float clay, float moisture);

// Semi-empirical (Dobson-Peplinski type) mixing model: a power-law (alpha = 0.65) mix of solid
// particles, air and free water whose Debye parameters follow the temperature (K). The loss
// carries the effective ionic conductivity of the soil solution.
//
// Dry limit: for moisture <= 0 the water terms vanish and the result is the dry-soil value with
// no loss; the wet formula tends to it continuously as moisture -> 0 (the conductivity term
// decays like mv^(beta''/alpha - 1), and beta''/alpha > 1 for every texture with
// sand + clay <= 1).
// The regression for the effective conductivity turns negative for sandy soils (sand above
// about 0.37 without clay); a conductivity cannot be negative, so it is clamped at zero rather
// than letting the loss go negative (or NaN through a fractional power).
Permittivity semi_empirical_permittivity(float frequency, float sand, float clay, float moisture,
                                         float temperature, float bulk_density = 1.28f);

// Empirical polynomial model (Hallikainen et al., 1985): quadratic in moisture with coefficients
// linear in sand and clay percentage, tabulated at nine frequencies between 1.4 and 18 GHz and
// interpolated linearly in frequency. Below 1.4 GHz the first interval is extrapolated; above
// 18 GHz the 18 GHz row is used. The loss is clamped at zero; the real part is not clamped.
Permittivity empirical_polynomial_permittivity(float frequency, float sand, float clay,
                                               float moisture);

// The published coefficient table of the empirical polynomial model: nine frequency rows of
// (a0 a1 a2 b0 b1 b2 c0 c1 c2) for the real part and for the loss.
constexpr int kEmpiricalNodes = 9;
extern const float kEmpiricalNodeGHz[kEmpiricalNodes];
extern const float kEmpiricalRealCoefficients[kEmpiricalNodes][9];
extern const float kEmpiricalLossCoefficients[kEmpiricalNodes][9];

// Vegetation (wood) permittivity from the gravimetric moisture and temperature (K): a dry
// matrix of 1.5 plus bound water (Debye, 40 ps relaxation) up to a volume fraction of 0.12 and
// free water beyond it. Negative moisture is read as dry wood.
Permittivity vegetation_permittivity(float frequency, float moisture, float temperature);

}  // namespace velm::microwave
