// Scattering by a dielectric cylinder: the exact series solution for an infinitely long
// circular cylinder at oblique incidence, and the amplitude matrix of a finite cylinder built
// from it (the infinite-cylinder coefficients times the length factor of a finite scatterer).
#pragma once

#include <complex>

namespace velm::microwave {

// Highest order of the cylinder series; the Bessel routines provide one order more for the
// derivatives. Orders beyond it contribute nothing measurable while k0 * radius stays below
// about 10 (the coefficients fall off like (x/2)^(2n)/(n!)^2 with x = k0 * radius * cos).
constexpr int kCylinderMaxOrder = 30;

// Scattering coefficients of an infinite cylinder: S1 and S2 for the two co-polarised
// components and X for the cross-polarised one (zero at broadside incidence).
struct CylinderCoefficients {
  std::complex<float> s1, s2, x;
};

// Series solution for a cylinder of the given radius (m) at frequency (Hz), relative
// permittivity eps = real + j*imag (only |imag| is used: the medium is taken as lossy whatever
// the sign convention of the caller), incidence angle theta measured from the plane normal to
// the axis (0 = broadside, 0..pi/2), azimuth phi of the scattered direction around the axis,
// orders 0..order_limit (at most kCylinderMaxOrder). Computed in double precision. Near
// end-on incidence (|cos theta| < 1e-6) the coefficients are zero.
CylinderCoefficients infinite_cylinder_series(double frequency, double radius,
                                              std::complex<double> eps, double theta, double phi,
                                              int order_limit = kCylinderMaxOrder);

// Scattering amplitude matrix, first letter the polarisation along the scattered direction,
// second along the incident one.
struct AmplitudeMatrix {
  std::complex<float> vv, vh, hv, hh;
};

// A direction by its polar angle from +z and azimuth from +x (radians).
struct Direction {
  float theta = 0.f, phi = 0.f;
};

// Amplitude matrix of a finite dielectric cylinder (radius, length in m) with axis direction
// `axis`, for propagation directions `incident` and `scattered` in the global frame, with the
// global polarisation vectors h = (-sin phi, cos phi, 0) and v = h x k of each direction.
// Single-precision geometry; the series inside is double precision.
AmplitudeMatrix finite_cylinder_amplitude(Direction incident, Direction scattered, Direction axis,
                                          float frequency, float radius, float length,
                                          std::complex<float> eps,
                                          int order_limit = kCylinderMaxOrder);

}  // namespace velm::microwave
