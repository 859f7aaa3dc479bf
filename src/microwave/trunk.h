// Tree trunks at microwave frequencies: emission of the trunk surface seen as a smooth
// dielectric, and the trunk-ground double bounce (dihedral) backscatter, in which a wave is
// scattered by the trunk, modelled as a finite dielectric cylinder, and specularly reflected by
// the soil (or the reverse path).
#pragma once

#include <complex>
#include <cstddef>

#include "microwave/soil.h"
#include "physics/common.h"

namespace velm::microwave {

// The trunk parameter vector as the module and the launch tables carry it (7 floats).
constexpr int kTrunkParameterCount = 7;

struct TrunkParameters {
  float radius = 0.f;       // m
  float length = 0.f;       // m
  float moisture = 0.f;     // gravimetric fraction
  float temperature = 0.f;  // K
  Vec3 axis{0.f, 0.f, 1.f};  // direction of the trunk axis, as given
};

// Reads the first 7 values of a trunk vector; throws std::invalid_argument when one of them is
// not finite.
TrunkParameters trunk_parameters_from(const float* values);

// Wood permittivity of the trunk at the frequency (Hz); throws std::invalid_argument when the
// parameters (a moisture or temperature far outside any physical range, or an absurd frequency)
// give one the Fresnel equations cannot use, as the soil models do.
std::complex<float> trunk_permittivity(float frequency, const TrunkParameters& trunk);

// Rows [(1 - R_H) T, (1 - R_V) T, R_H, R_V] for n cosines (out holds 4n floats): Fresnel
// reflectivities of the wood permittivity and the trunk temperature T.
void trunk_emission(float frequency, const TrunkParameters& trunk, const float* cosines, size_t n,
                    float* out);

// Rows [sigma_HH, sigma_VV] (linear) of the trunk-ground double bounce for n geometries given
// as three row-major (n, 3) arrays: the direction towards the trunk, the direction towards the
// ground, and the ground normal. The vectors need not be unit length (each is normalised in
// double precision, whatever its size), but must be finite and non-zero; the trunk needs a
// positive radius and length and a non-zero axis. Throws std::invalid_argument before writing
// anything otherwise. The geometry is evaluated in double precision and only the rows are
// rounded.
void trunk_ground_backscatter(float frequency, const SoilParameters& soil,
                              const TrunkParameters& trunk, const float* to_trunk,
                              const float* to_ground, const float* ground_normals, size_t n,
                              float* out);

}  // namespace velm::microwave
