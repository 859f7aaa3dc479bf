// Scattering by a dielectric cylinder: the exact series solution for an infinitely long
// circular cylinder at oblique incidence, and the amplitude matrix of a finite cylinder built
// from it (the infinite-cylinder coefficients times the length factor of a finite scatterer).
#pragma once

#include <cmath>
#include <complex>

namespace velm::microwave {

// Orders of the cylinder series. With x = k0 * radius * cos(theta), the coefficients of order n
// stay of size one while n < x and fall off like J_n(x)/Y_n(x), faster than exponentially, once
// n exceeds x. Orders 0..kCylinderMinOrder are always summed (enough on their own up to x of
// about 18); beyond them the series goes on while n <= x or an order still adds more than
// kSeriesTolerance of the sum, which ends it near x + 4.6 x^(1/3) orders. kCylinderOrderCap
// bounds the work for absurdly thick cylinders.
constexpr int kCylinderMinOrder = 30;
constexpr int kCylinderOrderCap = 1000;
constexpr double kSeriesTolerance = 1e-8;

// Scattering coefficients of an infinite cylinder: S1 and S2 for the two co-polarised
// components and X for the cross-polarised one (zero at broadside incidence).
struct CylinderCoefficients {
  std::complex<float> s1, s2, x;
};

// Series solution for a cylinder of the given radius (m) at frequency (Hz), relative
// permittivity eps = real + j*imag (only |imag| is used: the medium is taken as lossy whatever
// the sign convention of the caller), incidence angle theta measured from the plane normal to
// the axis (0 = broadside, 0..pi/2), azimuth phi of the scattered direction around the axis.
// Sums orders 0..max_order at most, stopping at convergence past kCylinderMinOrder (a
// max_order of 30 or less sums exactly orders 0..max_order). Computed in double precision. Near
// end-on incidence (|cos theta| < 1e-6) the coefficients are zero.
CylinderCoefficients infinite_cylinder_series(double frequency, double radius,
                                              std::complex<double> eps, double theta, double phi,
                                              int max_order = kCylinderOrderCap);

// Scattering amplitude matrix, first letter the polarisation along the scattered direction,
// second along the incident one.
struct AmplitudeMatrix {
  std::complex<float> vv, vh, hv, hh;
};

// A direction by its polar angle from +z and azimuth from +x (radians).
struct Direction {
  double theta = 0.0, phi = 0.0;
};

// Amplitude matrix of a finite dielectric cylinder (radius, length in m) with axis direction
// `axis`, for propagation directions `incident` and `scattered` in the global frame, with the
// global polarisation vectors h = (-sin phi, cos phi, 0) and v = h x k of each direction.
// Geometry and series in double precision; only the result is rounded. The length factor's
// phase reaches k0 L (thousands of radians for a tall trunk at X band), so single-precision
// angles would scramble it.
AmplitudeMatrix finite_cylinder_amplitude(Direction incident, Direction scattered, Direction axis,
                                          double frequency, double radius, double length,
                                          std::complex<double> eps,
                                          int max_order = kCylinderOrderCap);

// Double-precision vectors for the scattering geometry.
struct Vec3d {
  double x = 0.0, y = 0.0, z = 0.0;
};
inline double dot(Vec3d a, Vec3d b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3d cross(Vec3d a, Vec3d b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double magnitude(Vec3d a) { return std::sqrt(dot(a, a)); }
// a / |a|, or a unchanged when it is zero. Any finite single-precision vector is normalised
// without overflow or underflow: its squared length fits the double range.
inline Vec3d normalized(Vec3d a) {
  const double len = magnitude(a);
  return len > 0.0 ? Vec3d{a.x / len, a.y / len, a.z / len} : a;
}
// Polar angle (accurate near the poles, unlike an arccosine of z) and azimuth of a unit vector.
inline Direction direction_of(Vec3d unit) {
  return {std::atan2(std::hypot(unit.x, unit.y), unit.z), std::atan2(unit.y, unit.x)};
}

}  // namespace velm::microwave
