#include "microwave/cylinder.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "microwave/bessel.h"

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

double wavenumber(double frequency) { return kTwoPiD * frequency / 2.998e8; }  // rad/m

// Bessel values of orders 0..count-1: on the stack for moderate sizes, on the heap for thick
// cylinders at high frequency.
template <class T>
class OrderBuffer {
 public:
  explicit OrderBuffer(int count) {
    if (count > kStackOrders) heap_.resize(static_cast<size_t>(count));
    data_ = count > kStackOrders ? heap_.data() : stack_;
  }
  OrderBuffer(const OrderBuffer&) = delete;
  OrderBuffer& operator=(const OrderBuffer&) = delete;
  T* data() { return data_; }

 private:
  static constexpr int kStackOrders = 64;
  T stack_[kStackOrders];
  std::vector<T> heap_;
  T* data_;
};

// Highest order the series may reach for the argument x: a margin beyond where the convergence
// test ends it (about x + 4.6 x^(1/3) for a relative 1e-8), at least kCylinderMinOrder, at most
// max_order and kCylinderOrderCap.
int highest_series_order(double x, int max_order) {
  const double reach = x + 6.0 * std::cbrt(x) + 6.0;
  const int natural = reach < kCylinderOrderCap
                          ? std::max(kCylinderMinOrder, static_cast<int>(std::ceil(reach)))
                          : kCylinderOrderCap;
  return std::clamp(max_order, 0, natural);
}

// What every order of the series shares: the outside argument x = k0 a cos(theta), the inside
// argument u = k0 a sqrt(eps - sin^2 theta), the coupling q of TE and TM waves, and the Bessel
// values J_n(x), Y_n(x) and the scaled J_n(u) of orders 0..last + 1.
struct SeriesState {
  double x, inv_x, inv_cos;
  cdouble inv_u, q, A, B;
  double det_floor;
  const double *jx, *yx;
  const cdouble* ju;
};

struct OrderCoefficients {
  cdouble c1, c2, c3;
};

// Coefficients of order n; zeros where the order adds nothing. Returns false once Y_n(x) has
// overflowed: for a thin cylinder the coefficients of that order and above, which go like
// J_n(x)/Y_n(x), are far below anything representable.
bool order_coefficients(const SeriesState& s, int n, OrderCoefficients& out) {
  out = {};
  const double* jx = s.jx;
  const double* yx = s.yx;
  const double jn = jx[n], jn_d = n * s.inv_x * jx[n] - jx[n + 1];
  const double yn = yx[n], yn_d = n * s.inv_x * yx[n] - yx[n + 1];
  if (!std::isfinite(yn) || !std::isfinite(yn_d)) return false;
  const cdouble hn(jn, yn), hn_d(jn_d, yn_d);  // Hankel function of the first kind
  const cdouble jun = s.ju[n], jun_d = double(n) * s.inv_u * s.ju[n] - s.ju[n + 1];

  const cdouble t1 = s.A * jun_d * jn - jn_d * jun * s.inv_cos;
  const cdouble t2 = s.B * jun_d * hn - jun * hn_d * s.inv_cos;
  const cdouble t3 = s.A * jun_d * hn - jun * hn_d * s.inv_cos;
  const cdouble t4 = s.B * jun_d * jn - jn_d * jun * s.inv_cos;
  const cdouble nq = double(n) * s.q;
  const cdouble g = nq * jun * hn;
  const cdouble det = t2 * t3 - g * g;
  const cdouble k = nq * nq * jun * jun * jn * hn;
  if (!(std::norm(det) > s.det_floor)) return true;  // a vanishing determinant adds nothing

  const cdouble inv_det = reciprocal(det);
  const cdouble c1 = (k - t1 * t2) * inv_det;
  const cdouble c2 = (k - t3 * t4) * inv_det;
  const cdouble c3 =
      n >= 1 ? -(2.0 * nq / (kPiD * s.x)) * jun * jun * inv_det * s.inv_cos : cdouble(0.0);
  if (is_finite(c1) && is_finite(c2) && is_finite(c3)) out = {c1, c2, c3};
  return true;
}

}  // namespace

CylinderCoefficients infinite_cylinder_series(double frequency, double radius,
                                              std::complex<double> eps, double theta, double phi,
                                              int max_order) {
  const double cos_t = std::cos(theta);
  if (std::fabs(cos_t) < 1e-6) return {};
  const double sin_t = std::sin(theta);
  const double ka = wavenumber(frequency) * radius;
  const double x = ka * cos_t;  // radial wavenumber outside, times the radius
  const double loss = std::fabs(eps.imag());
  // Radial wavenumber inside: k0 sqrt(eps - sin^2 theta), principal root (decaying inwards).
  const cdouble z(eps.real() - sin_t * sin_t, loss);
  const cdouble root = std::sqrt(z);
  const cdouble u = ka * root;

  const int last = highest_series_order(x, max_order);
  const int count = last + 2;  // J_(n+1) for the derivative of order n
  OrderBuffer<double> jx(count), yx(count);
  OrderBuffer<cdouble> ju(count);
  bessel_j_real(x, count, jx.data());
  bessel_y_real(x, count, yx.data());
  // Every coefficient is a ratio of terms of equal degree (two) in J_n(u), so the exponential
  // scaling of J_n(u) cancels; it keeps a strongly absorbing cylinder in range. The threshold
  // on the determinant applies to the unscaled determinant, hence the factor here.
  bessel_j_complex_scaled(u, count, ju.data());

  SeriesState s;
  s.x = x;
  s.inv_x = 1.0 / x;
  s.inv_cos = 1.0 / cos_t;
  s.inv_u = 1.0 / u;
  // Coupling of TE and TM waves at oblique incidence; zero at broadside (sin theta = 0).
  s.q = (1.0 / z - 1.0 / (cos_t * cos_t)) * (sin_t / ka);
  s.A = cdouble(eps.real(), loss) / root;
  s.B = 1.0 / root;
  s.det_floor = 1e-60 * std::exp(-4.0 * std::fabs(u.imag()));
  s.jx = jx.data();
  s.yx = yx.data();
  s.ju = ju.data();

  const cdouble turn(std::cos(phi), std::sin(phi));
  cdouble rotation = 1.0;  // exp(j n phi)
  cdouble s1 = 0.0, s2 = 0.0, sx = 0.0;
  OrderCoefficients c;
  for (int n = 0; n <= last && order_coefficients(s, n, c); ++n, rotation *= turn) {
    if (n == 0) {
      s1 += c.c1;
      s2 += c.c2;
      continue;
    }
    // Past the turning point n = x every further order is smaller than this one: once it is
    // negligible, so is the rest.
    if (n > kCylinderMinOrder && n > x) {
      const double order_size = 2.0 * (std::abs(c.c1) + std::abs(c.c2) + std::abs(c.c3));
      if (order_size <= kSeriesTolerance * (std::abs(s1) + std::abs(s2) + std::abs(sx))) break;
    }
    const double sign = (n % 2 == 0) ? 2.0 : -2.0;  // (-1)^n * 2
    s1 += sign * rotation.real() * c.c1;
    s2 += sign * rotation.real() * c.c2;
    sx += sign * rotation.imag() * c.c3;
  }
  return {to_float(s1), to_float(s2), to_float(sx)};
}

namespace {

Vec3d unit_vector(Direction d) {
  const double st = std::sin(d.theta);
  return {st * std::cos(d.phi), st * std::sin(d.phi), std::cos(d.theta)};
}

Vec3d horizontal_polarisation(Direction d) { return {-std::sin(d.phi), std::cos(d.phi), 0.0}; }

// Azimuth from the back-propagated incident to the scattered direction around the axis, in the
// cylinder's local frame (x', y').
double azimuth_around_axis(Vec3d k1, Vec3d k2, Vec3d xl, Vec3d yl) {
  auto normalized2 = [](double a, double b) {
    const double len = std::hypot(a, b);
    return len > 0.0 ? std::pair<double, double>(a / len, b / len)
                     : std::pair<double, double>(a, b);
  };
  const auto [p1x, p1y] = normalized2(-dot(k1, xl), -dot(k1, yl));
  const auto [p2x, p2y] = normalized2(dot(k2, xl), dot(k2, yl));
  const double phi = std::acos(std::clamp(p2x * p1x + p2y * p1y, -1.0, 1.0));
  return p2y * p1x - p2x * p1y < 0.0 ? -phi : phi;
}

// Finite length: the phase mismatch along the axis, c.(k2 - k1) = cos psi + sin beta, turns the
// infinite cylinder's delta function into sin(u)/u, u = mismatch k0 L / 2.
double length_factor(double mismatch, double k0, double length) {
  if (std::fabs(mismatch) < 0.01) return 1.0;
  const double u = mismatch * k0 * length * 0.5;
  return std::sin(u) / u;
}

}  // namespace

AmplitudeMatrix finite_cylinder_amplitude(Direction incident, Direction scattered, Direction axis,
                                          double frequency, double radius, double length,
                                          std::complex<double> eps, int max_order) {
  // Global propagation and polarisation vectors.
  const Vec3d k1 = unit_vector(incident), k2 = unit_vector(scattered);
  const Vec3d h1 = horizontal_polarisation(incident), h2 = horizontal_polarisation(scattered);
  const Vec3d v1 = normalized(cross(h1, k1)), v2 = normalized(cross(h2, k2));

  // Cylinder frame: axis c and the local x', y' around it.
  const double st = std::sin(axis.theta), ct = std::cos(axis.theta);
  const double sp = std::sin(axis.phi), cp = std::cos(axis.phi);
  const Vec3d c{st * cp, st * sp, ct};
  const Vec3d xl{ct * cp, ct * sp, -st};
  const Vec3d yl{-sp, cp, 0.0};

  // Polarisation vectors relative to the axis (TE/TM of the cylinder problem).
  const Vec3d c_k1 = cross(c, k1), c_k2 = cross(c, k2);
  const Vec3d h1l = normalized(c_k1), v1l = normalized(cross(h1l, k1));
  const Vec3d h2l = normalized(c_k2), v2l = normalized(cross(h2l, k2));

  // beta: incidence measured from the plane normal to the axis; psi: scattered direction
  // measured from the axis. Sines and cosines come from dot and cross products, which keep
  // their precision near end-on incidence, where an arccosine of c.k1 would lose it.
  const double sin_beta = -dot(c, k1), cos_beta = magnitude(c_k1);
  const double sin_psi = magnitude(c_k2);
  if (cos_beta < 1e-6) return {};  // end-on: the series has no coefficients
  const double beta = std::atan2(sin_beta, cos_beta);
  const double phi = azimuth_around_axis(k1, k2, xl, yl);
  const CylinderCoefficients s =
      infinite_cylinder_series(frequency, radius, eps, std::fabs(beta), phi, max_order);

  const double mismatch = dot(c, k2) - dot(c, k1);
  const double lambda = length_factor(mismatch, wavenumber(frequency), length);
  const cdouble j(0.0, 1.0);
  const cdouble prefactor = -j * (length * sin_psi * lambda / (kPiD * cos_beta));

  // Local scattering matrix acting on the (v', h') components of the incident polarisation.
  const cdouble s1(s.s1), s2(s.s2), sx(s.x);
  const cdouble t11 = s1, t12 = j * sx, t21 = -j * sx, t22 = s2;
  auto scatter = [&](Vec3d p, Vec3d q) {
    const double a1 = dot(p, v1l), a2 = dot(p, h1l);
    const cdouble b1 = t11 * a1 + t12 * a2;
    const cdouble b2 = t21 * a1 + t22 * a2;
    return to_float(prefactor * (dot(q, v2l) * b1 + dot(q, h2l) * b2));
  };
  return {scatter(v1, v2), scatter(h1, v2), scatter(v1, h2), scatter(h1, h2)};
}

}  // namespace velm::microwave
