// Internal routines of the microwave models: dielectric models, Fresnel, the dielectric
// cylinder series and the finite-cylinder amplitude matrix.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <stdexcept>
#include <vector>

#include "microwave/cylinder.h"
#include "microwave/dielectric.h"
#include "microwave/soil.h"
#include "microwave/trunk.h"

namespace velm::microwave {
namespace {

// ---------------------------------------------------------------------------------------------
// Dielectric models

TEST(MicrowaveDielectric, EmpiricalModelReproducesPublishedRowsAtNodes) {
  // Dry, sand- and clay-free soil: eps' = a0, eps'' = max(a0'', 0). Wet (mv = 1): the sum of
  // the a0, b0, c0 columns. Published values of the 1985 table.
  struct Row {
    float ghz, a0, b0, c0, a0_loss, b0_loss, c0_loss;
  };
  const Row rows[] = {{1.4f, 2.862f, 3.803f, 119.006f, 0.356f, 5.507f, 17.753f},
                      {4.f, 2.927f, 5.505f, 114.826f, 0.004f, 0.951f, 16.759f},
                      {6.f, 1.993f, 38.086f, 10.720f, -0.123f, 7.502f, 2.942f},
                      {10.f, 2.502f, 10.101f, 77.482f, -0.070f, 6.620f, 21.578f},
                      {16.f, 2.237f, 15.505f, 48.260f, -0.027f, 6.179f, 34.126f}};
  for (const Row& r : rows) {
    const float f = r.ghz * 1e9f;
    const Permittivity dry = empirical_polynomial_permittivity(f, 0.f, 0.f, 0.f);
    EXPECT_EQ(dry.real, r.a0) << r.ghz;
    EXPECT_EQ(dry.loss, std::max(0.f, r.a0_loss)) << r.ghz;
    const Permittivity wet = empirical_polynomial_permittivity(f, 0.f, 0.f, 1.f);
    EXPECT_EQ(wet.real, (r.a0 + r.b0) + r.c0) << r.ghz;
    EXPECT_EQ(wet.loss, (r.a0_loss + r.b0_loss) + r.c0_loss) << r.ghz;
  }
  // Sand and clay enter through the percentage columns: 1.4 GHz, S = 50 %, C = 20 %, mv = 0.3.
  const Permittivity e = empirical_polynomial_permittivity(1.4e9f, 0.5f, 0.2f, 0.3f);
  const double real = (2.862 - 0.012 * 50 + 0.001 * 20) + (3.803 + 0.462 * 50 - 0.341 * 20) * 0.3 +
                      (119.006 - 0.500 * 50 + 0.633 * 20) * 0.09;
  const double loss = (0.356 - 0.003 * 50 - 0.008 * 20) + (5.507 + 0.044 * 50 - 0.002 * 20) * 0.3 +
                      (17.753 - 0.313 * 50 + 0.206 * 20) * 0.09;
  EXPECT_NEAR(e.real, real, 2e-5 * real);
  EXPECT_NEAR(e.loss, loss, 2e-5 * loss);
}

TEST(MicrowaveDielectric, EmpiricalModelInterpolatesLinearlyAndClamps) {
  const auto at = [](float ghz) {
    return empirical_polynomial_permittivity(ghz * 1e9f, 0.f, 0.f, 0.f);
  };
  EXPECT_NEAR(at(5.f).real, 0.5f * (2.927f + 1.993f), 1e-6f);
  EXPECT_NEAR(at(9.f).real, 0.5f * (1.997f + 2.502f), 1e-6f);
  EXPECT_NEAR(at(7.5f).real, 1.993f + 0.75f * (1.997f - 1.993f), 1e-6f);
  // Below 1.4 GHz the first interval is extended: at 0.7 GHz the weight is -0.7/2.6.
  EXPECT_NEAR(at(0.7f).real, 2.862f + (2.927f - 2.862f) * (-0.7f / 2.6f), 1e-6f);
  EXPECT_NEAR(at(0.7f).loss, 0.356f + (0.004f - 0.356f) * (-0.7f / 2.6f), 1e-6f);
  // At 18 GHz and above: the last row.
  EXPECT_EQ(at(25.f).real, 1.912f);
  EXPECT_EQ(at(100.f).real, 1.912f);
  EXPECT_EQ(at(25.f).loss, 0.f);  // -0.071 clamped
}

TEST(MicrowaveDielectric, SemiEmpiricalDryLimit) {
  const float dry = std::pow((std::pow(4.692144f, 0.65f) - 1.f) * 1.28f / 2.66f + 1.f, 1.5384616f);
  for (float sand : {0.f, 0.3f, 0.9f}) {
    for (float clay : {0.f, 0.1f, 0.6f}) {
      const Permittivity zero = semi_empirical_permittivity(1.4e9f, sand, clay, 0.f, 293.f);
      EXPECT_EQ(zero.real, dry);
      EXPECT_EQ(zero.loss, 0.f);
      const Permittivity negative = semi_empirical_permittivity(1.4e9f, sand, clay, -0.2f, 293.f);
      EXPECT_EQ(negative.real, dry);
      EXPECT_EQ(negative.loss, 0.f);
      // The wet model tends to it: finite at every tiny moisture, converging monotonically.
      float previous_gap = INFINITY;
      for (float mv : {1e-2f, 1e-4f, 1e-6f, 1e-10f, 1e-20f, 1e-30f, 1e-38f, 1e-44f}) {
        const Permittivity e = semi_empirical_permittivity(1.4e9f, sand, clay, mv, 293.f);
        ASSERT_TRUE(std::isfinite(e.real) && std::isfinite(e.loss)) << mv;
        EXPECT_GE(e.loss, 0.f);
        const float gap = std::fabs(e.real - dry) + e.loss;
        EXPECT_LE(gap, previous_gap * 1.0001f + 1e-7f) << sand << " " << clay << " " << mv;
        previous_gap = gap;
      }
      EXPECT_LT(previous_gap, 1e-5f);
    }
  }
}

TEST(MicrowaveDielectric, SemiEmpiricalWetSoilIsPlausible) {
  // Loam at L band: eps' grows with moisture from ~3 (dry) to ~25 (wet), with a loss of a few.
  float previous = 0.f;
  for (float mv : {0.05f, 0.1f, 0.2f, 0.3f, 0.4f}) {
    const Permittivity e = semi_empirical_permittivity(1.4e9f, 0.4f, 0.2f, mv, 293.f);
    EXPECT_GT(e.real, previous);
    EXPECT_GT(e.loss, 0.f);
    previous = e.real;
  }
  EXPECT_GT(previous, 15.f);
  EXPECT_LT(previous, 35.f);
}

TEST(MicrowaveDielectric, VegetationModel) {
  for (float f : {1e8f, 4.35e8f, 1.4e9f, 1e10f, 3e10f}) {
    const Permittivity dry = vegetation_permittivity(f, 0.f, 293.f);
    EXPECT_EQ(dry.real, 1.5f);
    EXPECT_EQ(dry.loss, 0.f);
    const Permittivity negative = vegetation_permittivity(f, -1.f, 293.f);
    EXPECT_EQ(negative.real, 1.5f);
    EXPECT_EQ(negative.loss, 0.f);
  }
  // Up to a volume fraction of 0.12 (moisture 0.24) only bound water: eps' - 1.5 is linear.
  const float f = 1.4e9f;
  const Permittivity a = vegetation_permittivity(f, 0.1f, 293.f);
  const Permittivity b = vegetation_permittivity(f, 0.2f, 293.f);
  EXPECT_NEAR(b.real - 1.5f, 2.f * (a.real - 1.5f), 1e-5f);
  EXPECT_NEAR(b.loss, 2.f * a.loss, 1e-6f);
  // Free water beyond it adds much more per unit moisture.
  const Permittivity c = vegetation_permittivity(f, 0.34f, 293.f);
  EXPECT_GT(c.real - vegetation_permittivity(f, 0.24f, 293.f).real, b.real - a.real);
}

TEST(MicrowaveDielectric, ClayMixingModel) {
  // Dry soil: (n_d - j k_d)^2.
  const float clay = 0.3f;
  const float n = 1.634f - 0.539f * clay + 0.2748f * clay * clay;
  const float k = 0.03952f - 0.04038f * clay;
  const Permittivity dry = clay_mixing_permittivity(1.4e9f, clay, 0.f);
  EXPECT_FLOAT_EQ(dry.real, n * n - k * k);
  EXPECT_FLOAT_EQ(dry.loss, 2.f * n * k);
  // Continuous at the transition moisture, steeper beyond it (free water).
  const float mt = 0.02863f + 0.30673f * clay;
  const Permittivity below = clay_mixing_permittivity(1.4e9f, clay, mt);
  const Permittivity above = clay_mixing_permittivity(1.4e9f, clay, mt + 1e-6f);
  EXPECT_NEAR(below.real, above.real, 1e-3f);
  const float slope_bound = (below.real - dry.real) / mt;
  const float slope_free =
      (clay_mixing_permittivity(1.4e9f, clay, mt + 0.1f).real - below.real) / 0.1f;
  EXPECT_GT(slope_free, slope_bound);
}

// ---------------------------------------------------------------------------------------------
// Fresnel and soil parameters

TEST(MicrowaveSurface, FresnelLimits) {
  // Normal incidence: ((1 - n)/(1 + n))^2 for both polarisations.
  const Reflectivity r = fresnel_reflectivity(1.f, {4.f, 0.f});
  EXPECT_FLOAT_EQ(r.h, 1.f / 9.f);
  EXPECT_FLOAT_EQ(r.v, 1.f / 9.f);
  // Vacuum reflects nothing; a perfect conductor (|eps| -> inf) everything.
  const Reflectivity air = fresnel_reflectivity(0.3f, {1.f, 0.f});
  EXPECT_NEAR(air.h, 0.f, 1e-12f);
  EXPECT_NEAR(air.v, 0.f, 1e-12f);
  const Reflectivity metal = fresnel_reflectivity(0.3f, {1.f, -1e9f});
  EXPECT_NEAR(metal.h, 1.f, 1e-4f);
  EXPECT_NEAR(metal.v, 1.f, 1e-3f);
  // The sign convention: eps' - j eps'' with eps'' > 0 is lossy; the principal root keeps the
  // transmitted wave decaying, so the reflectivities stay below one.
  for (float mu : {0.001f, 0.1f, 0.5f, 0.9f}) {
    const Reflectivity lossy = fresnel_reflectivity(mu, {15.f, -5.f});
    EXPECT_LT(lossy.h, 1.f);
    EXPECT_LT(lossy.v, 1.f);
    EXPECT_GT(lossy.v, 0.f);
  }
}

TEST(MicrowaveSurface, SoilParameterReading) {
  float p[12] = {0.3f, 0.2f, -0.1f, 0.f, 0.f, 0.f, 0.f, 295.f, 290.f, 2.9f, 0.01f, 0.04f};
  SoilParameters s = soil_parameters_from(p);
  EXPECT_EQ(s.moisture, 0.f);
  EXPECT_EQ(s.model, SoilDielectric::EmpiricalPolynomial);
  for (float sel : {0.f, 0.7f, -0.7f}) {
    p[9] = sel;
    EXPECT_EQ(soil_parameters_from(p).model, SoilDielectric::ClayMixing) << sel;
  }
  for (float sel : {1.f, 3.f, -2.f, 1e30f, -1e30f}) {
    p[9] = sel;
    EXPECT_EQ(soil_parameters_from(p).model, SoilDielectric::SemiEmpirical) << sel;
  }
  p[11] = NAN;
  EXPECT_THROW(soil_parameters_from(p), std::invalid_argument);
  EXPECT_THROW(require_valid_frequency(0.f), std::invalid_argument);
  EXPECT_NO_THROW(require_valid_frequency(1.f));
}

TEST(MicrowaveSurface, EffectiveTemperature) {
  SoilParameters s;
  s.surface_temperature = 300.f;
  s.deep_temperature = 280.f;
  s.moisture = 0.f;
  EXPECT_EQ(effective_soil_temperature(s), 280.f);
  s.moisture = 0.3f;  // saturated weight
  EXPECT_FLOAT_EQ(effective_soil_temperature(s), 300.f);
  s.moisture = 0.6f;
  EXPECT_FLOAT_EQ(effective_soil_temperature(s), 300.f);
  s.moisture = 0.0375f;  // (1/8)^0.3
  EXPECT_FLOAT_EQ(effective_soil_temperature(s), 280.f + 20.f * std::pow(0.125f, 0.3f));
}

// ---------------------------------------------------------------------------------------------
// Infinite cylinder series against the same series with scipy.special Bessel functions
// (double precision; the generating code is the reference implementation in
// tests/test_microwave.py, cylinder_series_ref).

// {frequency, radius, eps real, eps imag, theta, phi}, then S1, S2, X as {re, im}.
constexpr double kSeriesCases[][6] = {
    {1400000000.0, 0.15, 15.784955978393555, -5.9649767875671387, 0.29999999999999999, 2},
    {435000000.0, 0.25, 12, -4, 0, 3.1415926535897931},
    {5300000000.0, 0.05, 20, -6, 1, -0.69999999999999996},
    {10000000000.0, 0.04, 8, -1, 0.59999999999999998, 0.29999999999999999},
    {9000000000.0, 0.15, 50, -50, 0.20000000000000001, 1},
};
constexpr double kSeriesReference[][3][2] = {
    {{1.1643930273865644, -0.3237107594120649}, {-0.014118979745067274, 0.67184130801929409}, {-0.040074801863414715, -0.11839708726867243}},
    {{-2.9426832656318966, -0.90488682437584078}, {-2.3540943044717872, 0.44126843942903682}, {0, 0}},
    {{0.023629693961548071, -0.70734594431277864}, {0.25636646010273284, 1.0111411957099992}, {0.2320253710889969, -0.036194257871856234}},
    {{-0.94604742395004626, 0.2475862370255445}, {1.1711528617176805, -0.42479844864658034}, {0.027580140569582825, 0.09608343469122041}},
    {{2.8247855472586272, -2.267756143711209}, {-2.6996936342121116, 2.2764410745534973}, {-0.069540454582637232, -0.036756739139419278}},
};

std::complex<double> as_complex(const double (&c)[2]) { return {c[0], c[1]}; }
std::complex<double> widen(std::complex<float> c) { return {c.real(), c.imag()}; }

TEST(MicrowaveCylinder, SeriesMatchesScipyReference) {
  for (size_t i = 0; i < sizeof(kSeriesCases) / sizeof(kSeriesCases[0]); ++i) {
    const double* c = kSeriesCases[i];
    const CylinderCoefficients s =
        infinite_cylinder_series(c[0], c[1], {c[2], c[3]}, c[4], c[5]);
    const std::complex<double> got[3] = {widen(s.s1), widen(s.s2), widen(s.x)};
    double size = 0.0;
    for (const auto& r : kSeriesReference[i]) size = std::max(size, std::hypot(r[0], r[1]));
    for (int k = 0; k < 3; ++k)
      EXPECT_LT(std::abs(got[k] - as_complex(kSeriesReference[i][k])), 1e-5 * size)
          << "case " << i << " coefficient " << k << " got " << got[k];
  }
}

TEST(MicrowaveCylinder, OnlyTheMagnitudeOfTheLossCounts) {
  const CylinderCoefficients a = infinite_cylinder_series(1.4e9, 0.15, {15.0, -6.0}, 0.4, 1.1);
  const CylinderCoefficients b = infinite_cylinder_series(1.4e9, 0.15, {15.0, 6.0}, 0.4, 1.1);
  EXPECT_EQ(a.s1, b.s1);
  EXPECT_EQ(a.s2, b.s2);
  EXPECT_EQ(a.x, b.x);
}

TEST(MicrowaveCylinder, AirCylinderScattersNothing) {
  // With eps = 1 the inside and outside fields are the same wave: every coefficient vanishes
  // (to the rounding of J_n computed by the real and the complex routine).
  for (double radius : {0.01, 0.1, 0.3}) {
    for (double theta : {0.0, 0.3, 0.9, 1.4}) {
      for (double phi : {0.0, 1.0, 3.0}) {
        const CylinderCoefficients s =
            infinite_cylinder_series(1.4e9, radius, {1.0, 0.0}, theta, phi);
        EXPECT_LT(std::abs(s.s1), 1e-9) << radius << " " << theta;
        EXPECT_LT(std::abs(s.s2), 1e-9) << radius << " " << theta;
        EXPECT_LT(std::abs(s.x), 1e-9) << radius << " " << theta;
      }
    }
  }
  // For scale: a wet trunk of the same size.
  EXPECT_GT(std::abs(infinite_cylinder_series(1.4e9, 0.1, {15.0, -5.0}, 0.3, 1.0).s1), 0.1);
}

TEST(MicrowaveCylinder, BroadsideIncidenceHasNoCrossPolarisation) {
  for (double phi : {0.0, 0.5, 2.0, 3.14159}) {
    const CylinderCoefficients s = infinite_cylinder_series(1.4e9, 0.2, {15.0, -5.0}, 0.0, phi);
    EXPECT_EQ(s.x, std::complex<float>(0.f, 0.f));
    EXPECT_GT(std::abs(s.s1), 0.f);
    EXPECT_GT(std::abs(s.s2), 0.f);
  }
  // Oblique incidence couples the polarisations.
  EXPECT_GT(std::abs(infinite_cylinder_series(1.4e9, 0.2, {15.0, -5.0}, 0.5, 0.7).x), 1e-3);
}

TEST(MicrowaveCylinder, EndOnIncidenceGivesZero) {
  const double theta = 0.5 * 3.141592653589793 - 1e-7;
  const CylinderCoefficients s = infinite_cylinder_series(1.4e9, 0.2, {15.0, -5.0}, theta, 0.3);
  EXPECT_EQ(s.s1, std::complex<float>(0.f));
  EXPECT_EQ(s.s2, std::complex<float>(0.f));
  EXPECT_EQ(s.x, std::complex<float>(0.f));
}

TEST(MicrowaveCylinder, HighOrdersAreNegligibleForModerateSize) {
  // k0 a up to 10: the last orders of the 31-term series contribute nothing measurable.
  const double k0 = 6.283185307179586 * 1.4e9 / 2.998e8;
  for (double ka : {0.5, 3.0, 10.0}) {
    for (double theta : {0.0, 0.6, 1.2}) {
      const CylinderCoefficients full =
          infinite_cylinder_series(1.4e9, ka / k0, {15.0, -5.0}, theta, 0.9, 30);
      const CylinderCoefficients cut =
          infinite_cylinder_series(1.4e9, ka / k0, {15.0, -5.0}, theta, 0.9, 25);
      const double size = std::max(std::abs(full.s1), std::abs(full.s2));
      EXPECT_LT(std::abs(full.s1 - cut.s1), 1e-6 * size) << ka;
      EXPECT_LT(std::abs(full.s2 - cut.s2), 1e-6 * size) << ka;
      EXPECT_LT(std::abs(full.x - cut.x), 1e-6 * size) << ka;
    }
  }
}

TEST(MicrowaveCylinder, ThinAndStronglyAbsorbingCylindersStayFinite) {
  // A needle: Y_n(x) overflows at high orders; those orders contribute nothing.
  for (double radius : {1e-9, 1e-6, 1e-4}) {
    const CylinderCoefficients s = infinite_cylinder_series(1e8, radius, {15.0, -5.0}, 0.3, 1.0);
    EXPECT_TRUE(std::isfinite(std::abs(s.s1)) && std::isfinite(std::abs(s.s2)) &&
                std::isfinite(std::abs(s.x)))
        << radius;
    EXPECT_LT(std::abs(s.s1), 1e-3) << radius;
  }
  // Rayleigh regime: the co-polarised coefficient scales like (k0 a)^2.
  const double small1 = std::abs(infinite_cylinder_series(1e8, 1e-4, {15.0, -5.0}, 0.0, 1.0).s1);
  const double small2 = std::abs(infinite_cylinder_series(1e8, 2e-4, {15.0, -5.0}, 0.0, 1.0).s1);
  EXPECT_NEAR(small2 / small1, 4.0, 1e-3);
  // J_n(u) of a thick, very lossy cylinder exceeds the float range (|Im u| ~ 90 here); the
  // exponentially scaled values keep the coefficients exact (see the scipy reference above).
  const CylinderCoefficients s = infinite_cylinder_series(9e9, 0.15, {50.0, -50.0}, 0.2, 1.0);
  EXPECT_TRUE(std::isfinite(std::abs(s.s1)) && std::isfinite(std::abs(s.s2)));
}

// ---------------------------------------------------------------------------------------------
// Finite cylinder

TEST(MicrowaveCylinder, ForwardScatteringHasUnitLengthFactor) {
  // Along the forward direction c.(k2 - k1) = 0: the length factor is exactly 1, so the
  // amplitude is proportional to the length.
  const Direction in{1.1f, 0.4f}, axis{0.2f, 1.0f};
  const std::complex<float> eps(15.f, -5.f);
  const AmplitudeMatrix a = finite_cylinder_amplitude(in, in, axis, 1.4e9f, 0.1f, 3.f, eps);
  const AmplitudeMatrix b = finite_cylinder_amplitude(in, in, axis, 1.4e9f, 0.1f, 6.f, eps);
  EXPECT_NEAR(std::abs(b.vv - 2.f * a.vv), 0.f, 1e-6f * std::abs(b.vv));
  EXPECT_NEAR(std::abs(b.hh - 2.f * a.hh), 0.f, 1e-6f * std::abs(b.hh));
  // Away from the specular cone the length factor sin(u)/u falls off.
  const Direction out{1.9f, 2.0f};
  const AmplitudeMatrix c = finite_cylinder_amplitude(in, out, axis, 1.4e9f, 0.1f, 3.f, eps);
  const AmplitudeMatrix d = finite_cylinder_amplitude(in, out, axis, 1.4e9f, 0.1f, 30.f, eps);
  EXPECT_LT(std::abs(d.hh), 10.f * std::abs(c.hh));
}

TEST(MicrowaveCylinder, VerticalCylinderKeepsHorizontalPolarisationAtBroadside) {
  // A vertical cylinder lit horizontally: h is perpendicular to the axis and v parallel, the
  // TE/TM split is exact and nothing is depolarised.
  const Direction in{0.5f * kPi, 0.3f}, out{0.5f * kPi, 0.3f + kPi}, axis{0.f, 0.f};
  const AmplitudeMatrix s =
      finite_cylinder_amplitude(in, out, axis, 1.4e9f, 0.1f, 5.f, {15.f, -5.f});
  EXPECT_LT(std::abs(s.vh), 1e-6f * std::abs(s.vv));
  EXPECT_LT(std::abs(s.hv), 1e-6f * std::abs(s.vv));
  EXPECT_GT(std::abs(s.hh), 0.f);
}

TEST(MicrowaveTrunk, GroundBounceValidation) {
  SoilParameters soil;
  soil.moisture = 0.2f;
  soil.sand = 0.3f;
  soil.clay = 0.2f;
  soil.surface_temperature = 295.f;
  TrunkParameters trunk;
  trunk.radius = 0.1f;
  trunk.length = 5.f;
  trunk.moisture = 0.5f;
  trunk.temperature = 293.f;
  const float d1[] = {0.6f, 0.f, -0.8f}, d2[] = {0.6f, 0.f, 0.8f}, n[] = {0.f, 0.f, 1.f};
  float out[2] = {-1.f, -1.f};
  trunk_ground_backscatter(1.4e9f, soil, trunk, d1, d2, n, 1, out);
  EXPECT_GT(out[0], 0.f);
  EXPECT_GT(out[1], 0.f);
  TrunkParameters bad = trunk;
  bad.radius = 0.f;
  float untouched[2] = {-1.f, -1.f};
  EXPECT_THROW(trunk_ground_backscatter(1.4e9f, soil, bad, d1, d2, n, 1, untouched),
               std::invalid_argument);
  EXPECT_EQ(untouched[0], -1.f);
  const float zero[] = {0.f, 0.f, 0.f};
  EXPECT_THROW(trunk_ground_backscatter(1.4e9f, soil, trunk, d1, zero, n, 1, untouched),
               std::invalid_argument);
  EXPECT_EQ(untouched[0], -1.f);
}

}  // namespace
}  // namespace velm::microwave
