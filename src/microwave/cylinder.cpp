#include "microwave/cylinder.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "microwave/bessel.h"
#include "microwave/dielectric.h"
#include "physics/common.h"

namespace velm::microwave {

namespace {

using cdouble = std::complex<double>;
constexpr double kTwoPiD = 6.283185307179586;
constexpr double kPiD = 3.141592653589793;

// 1/r without the library's general complex division; scaled so |r| near the limits of the
// double range neither overflows nor underflows in |r|^2.
cdouble reciprocal(cdouble r) {
  const double scale = std::max(std::fabs(r.real()), std::fabs(r.imag()));
  const cdouble rs = r / scale;
  return std::conj(rs) / (std::norm(rs) * scale);
}

bool is_finite(cdouble c) { return std::isfinite(c.real()) && std::isfinite(c.imag()); }

std::complex<float> to_float(cdouble c) {
  return {static_cast<float>(c.real()), static_cast<float>(c.imag())};
}

}  // namespace

CylinderCoefficients infinite_cylinder_series(double frequency, double radius,
                                              std::complex<double> eps, double theta, double phi,
                                              int order_limit) {
  const double cos_t = std::cos(theta);
  if (std::fabs(cos_t) < 1e-6) return {};
  const double sin_t = std::sin(theta);
  const double ka = kTwoPiD * frequency / 2.998e8 * radius;
  const double x = ka * cos_t;  // radial wavenumber outside, times the radius
  const double loss = std::fabs(eps.imag());
  // Radial wavenumber inside: k0 sqrt(eps - sin^2 theta), principal root (decaying inwards).
  const cdouble z(eps.real() - sin_t * sin_t, loss);
  const cdouble root = std::sqrt(z);
  const cdouble u = ka * root;
  // Coupling of TE and TM waves at oblique incidence; zero at broadside (sin theta = 0).
  const cdouble q = (1.0 / z - 1.0 / (cos_t * cos_t)) * (sin_t / ka);
  const cdouble A = cdouble(eps.real(), loss) / root;
  const cdouble B = 1.0 / root;

  double jx[kBesselOrders], yx[kBesselOrders];
  cdouble ju[kBesselOrders];
  bessel_j_real(x, jx);
  bessel_y_real(x, yx);
  // Every coefficient is a ratio of terms of equal degree (two) in J_n(u), so the exponential
  // scaling of J_n(u) cancels; it keeps a strongly absorbing cylinder in range. The threshold
  // on the determinant applies to the unscaled determinant, hence the factor here.
  bessel_j_complex_scaled(u, ju);
  const double det_floor = 1e-60 * std::exp(-4.0 * std::fabs(u.imag()));

  const double inv_x = 1.0 / x, inv_cos = 1.0 / cos_t;
  const cdouble inv_u = 1.0 / u;
  const cdouble turn(std::cos(phi), std::sin(phi));
  cdouble rotation = 1.0;  // exp(j n phi)
  cdouble s1 = 0.0, s2 = 0.0, sx = 0.0;
  const int last = std::clamp(order_limit, 0, kCylinderMaxOrder);
  for (int n = 0; n <= last; ++n, rotation *= turn) {
    const double jn = jx[n], jn_d = n * inv_x * jx[n] - jx[n + 1];
    const double yn = yx[n], yn_d = n * inv_x * yx[n] - yx[n + 1];
    // For a thin cylinder Y_n overflows at high order; from there on the coefficients, which
    // go like J_n(x)/Y_n(x), are far below anything representable.
    if (!std::isfinite(yn) || !std::isfinite(yn_d)) break;
    const cdouble hn(jn, yn), hn_d(jn_d, yn_d);  // Hankel function of the first kind
    const cdouble jun = ju[n], jun_d = double(n) * inv_u * ju[n] - ju[n + 1];

    const cdouble t1 = A * jun_d * jn - jn_d * jun * inv_cos;
    const cdouble t2 = B * jun_d * hn - jun * hn_d * inv_cos;
    const cdouble t3 = A * jun_d * hn - jun * hn_d * inv_cos;
    const cdouble t4 = B * jun_d * jn - jn_d * jun * inv_cos;
    const cdouble nq = double(n) * q;
    const cdouble g = nq * jun * hn;
    const cdouble det = t2 * t3 - g * g;
    const cdouble k = nq * nq * jun * jun * jn * hn;
    if (!(std::norm(det) > det_floor)) continue;  // a vanishing determinant adds nothing

    const cdouble inv_det = reciprocal(det);
    const cdouble c1 = (k - t1 * t2) * inv_det;
    const cdouble c2 = (k - t3 * t4) * inv_det;
    const cdouble c3 =
        n >= 1 ? -(2.0 * nq / (kPiD * x)) * jun * jun * inv_det * inv_cos : cdouble(0.0);
    if (!is_finite(c1) || !is_finite(c2) || !is_finite(c3)) continue;
    if (n == 0) {
      s1 += c1;
      s2 += c2;
    } else {
      const double sign = (n % 2 == 0) ? 2.0 : -2.0;  // (-1)^n * 2
      s1 += sign * rotation.real() * c1;
      s2 += sign * rotation.real() * c2;
      sx += sign * rotation.imag() * c3;
    }
  }
  return {to_float(s1), to_float(s2), to_float(sx)};
}

AmplitudeMatrix finite_cylinder_amplitude(Direction incident, Direction scattered, Direction axis,
                                          float frequency, float radius, float length,
                                          std::complex<float> eps, int order_limit) {
  auto unit = [](Direction d) {
    const float st = std::sin(d.theta);
    return Vec3(st * std::cos(d.phi), st * std::sin(d.phi), std::cos(d.theta));
  };
  auto horizontal = [](Direction d) { return Vec3(-std::sin(d.phi), std::cos(d.phi), 0.f); };

  // Global propagation and polarisation vectors.
  const Vec3 k1 = unit(incident), k2 = unit(scattered);
  const Vec3 h1 = horizontal(incident), h2 = horizontal(scattered);
  const Vec3 v1 = normalize(cross(h1, k1)), v2 = normalize(cross(h2, k2));

  // Cylinder frame: axis c and the local x', y' around it.
  const float st = std::sin(axis.theta), ct = std::cos(axis.theta);
  const float sp = std::sin(axis.phi), cp = std::cos(axis.phi);
  const Vec3 c(st * cp, st * sp, ct);
  const Vec3 xl(ct * cp, ct * sp, -st);
  const Vec3 yl(-sp, cp, 0.f);

  // Polarisation vectors relative to the axis (TE/TM of the cylinder problem).
  const Vec3 h1l = normalize(cross(c, k1)), v1l = normalize(cross(h1l, k1));
  const Vec3 h2l = normalize(cross(c, k2)), v2l = normalize(cross(h2l, k2));

  // beta: incidence measured from the plane normal to the axis; psi: scattered direction
  // measured from the axis.
  const float beta = 0.5f * kPi - std::acos(-std::clamp(dot(c, k1), -1.f, 1.f));
  const float psi = std::acos(std::clamp(dot(c, k2), -1.f, 1.f));

  // Azimuth between the back-propagated incident and the scattered direction around the axis.
  auto normalize2 = [](float a, float b) {
    const float len = std::sqrt(a * a + b * b);
    return len > 0.f ? std::pair<float, float>(a / len, b / len) : std::pair<float, float>(a, b);
  };
  const auto [p1x, p1y] = normalize2(-dot(k1, xl), -dot(k1, yl));
  const auto [p2x, p2y] = normalize2(dot(k2, xl), dot(k2, yl));
  float phi = std::acos(std::clamp(p2x * p1x + p2y * p1y, -1.f, 1.f));
  if (p2y * p1x - p2x * p1y < 0.f) phi = -phi;

  const CylinderCoefficients s = infinite_cylinder_series(
      frequency, radius, std::complex<double>(eps.real(), eps.imag()), std::fabs(beta), phi,
      order_limit);

  // Finite length: the phase mismatch along the axis, c.(k2 - k1) = cos psi + sin beta, turns
  // the infinite cylinder's delta function into sin(u)/u.
  const float mismatch = std::cos(psi) + std::sin(beta);
  float length_factor = 1.f;
  if (std::fabs(mismatch) >= 0.01f) {
    const float arg = mismatch * free_space_wavenumber(frequency) * length * 0.5f;
    length_factor = std::sin(arg) / arg;
  }
  const std::complex<float> j(0.f, 1.f);
  const std::complex<float> prefactor =
      -j * (length * std::sin(psi) * length_factor / (kPi * std::cos(beta)));

  // Local scattering matrix acting on the (v', h') components of the incident polarisation.
  const std::complex<float> t11 = s.s1, t12 = j * s.x, t21 = -j * s.x, t22 = s.s2;
  auto scatter = [&](Vec3 p, Vec3 q) {
    const float a1 = dot(p, v1l), a2 = dot(p, h1l);
    const std::complex<float> b1 = t11 * a1 + t12 * a2;
    const std::complex<float> b2 = t21 * a1 + t22 * a2;
    return prefactor * (dot(q, v2l) * b1 + dot(q, h2l) * b2);
  };
  return {scatter(v1, v2), scatter(h1, v2), scatter(v1, h2), scatter(h1, h2)};
}

}  // namespace velm::microwave
