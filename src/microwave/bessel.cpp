#include "microwave/bessel.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velm::microwave {

namespace {

using cdouble = std::complex<double>;
constexpr double kPiD = 3.141592653589793;
constexpr double kEulerGamma = 0.5772156649015329;

// Below this magnitude the power series of J_0, J_1 is used for the normalisation; above it
// the alternating terms (up to about e^|w|) would cancel away too many digits and the Hankel
// expansion, whose smallest term is about e^(-2|w|), is accurate instead.
constexpr double kSeriesLimit = 17.0;

// Power series of J_nu(w) for nu = 0 or 1: (w/2)^nu sum (-w^2/4)^k / (k! (k+nu)!).
cdouble j_series(cdouble w, int nu) {
  const cdouble q = -0.25 * w * w;
  cdouble term = nu == 0 ? cdouble(1.0) : 0.5 * w;
  cdouble sum = term;
  for (int k = 1; k < 250; ++k) {
    term *= q / double(k * (k + nu));
    sum += term;
    if (k > 8 && std::abs(term) < 1e-14 * std::abs(sum)) break;
  }
  return sum;
}

// Hankel's asymptotic factors of order nu for large |w| (Re w >= 0):
//   J_nu = sqrt(2/(pi w)) (P cos chi - Q sin chi),  Y_nu = sqrt(2/(pi w)) (P sin chi + Q cos chi)
// with chi = w - (nu/2 + 1/4) pi. The series is summed until its terms stop decreasing (optimal
// truncation) or reach double rounding.
struct HankelFactors {
  cdouble p, q;
};

HankelFactors hankel_factors(cdouble w, int nu) {
  const double mu = 4.0 * nu * nu;
  cdouble p = 1.0, q = 0.0, term = 1.0;
  double previous = std::numeric_limits<double>::infinity();
  for (int k = 1; k < 100; ++k) {
    const double odd = 2.0 * k - 1.0;
    const cdouble next = term * ((mu - odd * odd) / (8.0 * k)) / w;
    const double size = std::abs(next);
    if (size >= previous) break;
    previous = size;
    term = next;
    // Terms alternate in pairs: +P, +Q, -P, -Q, ...
    switch (k % 4) {
      case 1: q += term; break;
      case 2: p -= term; break;
      case 3: q -= term; break;
      case 0: p += term; break;
    }
    if (size < 1e-17) break;
  }
  return {p, q};
}

double hankel_phase(double nu) { return (0.5 * nu + 0.25) * kPiD; }

// J_nu(w) * exp(-|Im w|) from Hankel's expansion.
cdouble j_hankel_scaled(cdouble w, int nu) {
  const HankelFactors f = hankel_factors(w, nu);
  const cdouble chi = w - hankel_phase(nu);
  const double damp = std::abs(w.imag());
  const cdouble i(0.0, 1.0);
  // cos(chi) e^-|Im w| and sin(chi) e^-|Im w| without forming the growing exponential.
  const cdouble e_plus = std::exp(i * chi - damp), e_minus = std::exp(-i * chi - damp);
  const cdouble cos_s = 0.5 * (e_plus + e_minus);
  const cdouble sin_s = (e_plus - e_minus) / (2.0 * i);
  return std::sqrt(2.0 / (kPiD * w)) * (f.p * cos_s - f.q * sin_s);
}

// Y_nu(x) for real x >= kYHankelLimit from Hankel's expansion (P and Q are real here).
double y_hankel(double x, int nu) {
  const HankelFactors f = hankel_factors(cdouble(x), nu);
  const double chi = x - hankel_phase(nu);
  return std::sqrt(2.0 / (kPiD * x)) * (f.p.real() * std::sin(chi) + f.q.real() * std::cos(chi));
}

// Accurate scaled J_nu(w) for nu = 0, 1 and Re w >= 0.
cdouble j_reference_scaled(cdouble w, int nu) {
  if (std::abs(w) <= kSeriesLimit) return j_series(w, nu) * std::exp(-std::abs(w.imag()));
  return j_hankel_scaled(w, nu);
}

// Y_0 and Y_1 for 0 < x < 8 from the ascending series with the logarithmic terms:
//   Y_0 = (2/pi)((ln(x/2) + gamma) J_0 + sum_k>=1 (-1)^(k+1) H_k q^k/(k!)^2),
//   Y_1 = (2/pi)((ln(x/2) + gamma) J_1 - 1/x)
//         - (x/2)/pi sum_k>=0 (-1)^k (H_k + H_(k+1)) q^k/(k!(k+1)!)
// with q = x^2/4 and H_k the harmonic numbers.
void y01_series(double x, double& y0, double& y1) {
  const double q = 0.25 * x * x;
  double t0 = 1.0, t1 = 1.0;  // (-q)^k/(k!)^2 and (-q)^k/(k!(k+1)!)
  double j0 = 1.0, j1 = 1.0;  // J_0 and J_1/(x/2)
  double s0 = 0.0, s1 = 1.0;  // the harmonic sums; s1 starts with H_0 + H_1 = 1
  double harmonic = 0.0;      // H_k
  for (int k = 1; k <= 40; ++k) {
    t0 *= -q / (double(k) * k);
    t1 *= -q / (double(k) * (k + 1));
    harmonic += 1.0 / k;
    j0 += t0;
    j1 += t1;
    s0 -= t0 * harmonic;
    s1 += t1 * (2.0 * harmonic + 1.0 / (k + 1));
    if (k > 4 && std::fabs(t0) < 1e-12 * std::fabs(j0)) break;
  }
  j1 *= 0.5 * x;
  const double log_term = std::log(0.5 * x) + kEulerGamma;
  y0 = (2.0 / kPiD) * (log_term * j0 + s0);
  y1 = (2.0 / kPiD) * (log_term * j1 - 1.0 / x) - (0.5 * x / kPiD) * s1;
}

// Y_0 and Y_1 for 8 <= x < kYHankelLimit: Hankel's form with rational fits of its P and Q
// factors, good to about 5e-8 of the amplitude sqrt(2/(pi x)).
void y01_fit(double x, double& y0, double& y1) {
  const double y = 8.0 / x, y2 = y * y;
  const double amplitude = std::sqrt(0.63661975 / x);
  const double p0 =
      (((2.0938872e-7 * y2 - 2.0733708e-6) * y2 + 2.7345104e-5) * y2 - 0.0010986286) * y2 + 1.0;
  const double q0 =
      (((7.621095e-7 - 9.349352e-8 * y2) * y2 - 6.9111475e-6) * y2 + 0.00014304888) * y2 -
      0.015625;
  const double p1 =
      (((2.4575202e-6 - 2.4033702e-7 * y2) * y2 - 3.5163965e-5) * y2 + 0.00183105) * y2 + 1.0;
  const double q1 =
      (((1.05787414e-7 * y2 - 8.822899e-7) * y2 + 8.449199e-6) * y2 - 0.00020026909) * y2 +
      0.046875;
  const double c0 = x - 0.7853982, c1 = x - 2.3561945;
  y0 = amplitude * (std::sin(c0) * p0 + std::cos(c0) * y * q0);
  y1 = amplitude * (std::sin(c1) * p1 + std::cos(c1) * y * q1);
}

}  // namespace

int miller_start_order(double magnitude, int count) {
  const double m = std::min(magnitude, 2000.0);
  return std::max({51, static_cast<int>(m) * 3 / 2 + 20, count - 1 + 16});
}

void bessel_j_real(double x, int count, double* j) {
  std::fill(j, j + count, 0.0);
  if (!(std::fabs(x) >= 1e-12)) {
    j[0] = 1.0;
    return;
  }
  const int start = miller_start_order(std::fabs(x), count);
  double above = 0.0, current = 1e-30, even_sum = 0.0;
  int lowest_stored = count;
  for (int k = start; k >= 1; --k) {
    if (k < count) {
      j[k] = current;
      lowest_stored = k;
    }
    if (k % 2 == 0) even_sum += current;
    const double below = (2.0 * k / x) * current - above;
    above = current;
    current = below;
    if (std::fabs(current) > 1e30) {
      // Keep the unnormalised sequence in range; only ratios matter.
      for (int m = lowest_stored; m < count; ++m) j[m] *= 1e-30;
      current *= 1e-30;
      above *= 1e-30;
      even_sum *= 1e-30;
    }
  }
  j[0] = current;
  const double scale = 1.0 / (current + 2.0 * even_sum);
  for (int n = 0; n < count; ++n) j[n] *= scale;
}

void bessel_y_real(double x, int count, double* y) {
  if (!(x > 0.0)) {
    const double value = x == 0.0 ? -std::numeric_limits<double>::infinity()
                                   : std::numeric_limits<double>::quiet_NaN();
    std::fill(y, y + count, value);
    return;
  }
  if (x < kYSeriesLimit) {
    y01_series(x, y[0], y[1]);
  } else if (x < kYHankelLimit) {
    y01_fit(x, y[0], y[1]);
  } else {
    y[0] = y_hankel(x, 0);
    y[1] = y_hankel(x, 1);
  }
  // Forward recurrence: Y_n grows with n, so it is stable upwards.
  for (int n = 1; n + 1 < count; ++n) y[n + 1] = (2.0 * n / x) * y[n] - y[n - 1];
}

void bessel_j_complex_scaled(std::complex<double> w, int count, std::complex<double>* j) {
  std::fill(j, j + count, cdouble(0.0));
  if (!(std::abs(w) >= 1e-12)) {
    j[0] = 1.0;
    return;
  }
  // J_n(-w) = (-1)^n J_n(w): work in the right half-plane, where Hankel's expansion holds.
  const bool reflect = w.real() < 0.0;
  if (reflect) w = -w;

  const int start = miller_start_order(std::abs(w), count);
  const cdouble inv_w = 1.0 / w;
  cdouble above = 0.0, current = 1e-30;
  int lowest_stored = count;
  for (int k = start; k >= 1; --k) {
    if (k < count) {
      j[k] = current;
      lowest_stored = k;
    }
    const cdouble below = (2.0 * k) * inv_w * current - above;
    above = current;
    current = below;
    if (std::norm(current) > 1e200) {
      for (int m = lowest_stored; m < count; ++m) j[m] *= 1e-100;
      current *= 1e-100;
      above *= 1e-100;
    }
  }
  j[0] = current;

  // Normalise by an independently computed J_0 or J_1, whichever is larger: both cannot be
  // small at once (their zeros interlace), so the scale factor is always well conditioned.
  // (The identity J_0 + 2 sum J_2k = 1 would cancel catastrophically off the real axis.)
  const cdouble ref0 = j_reference_scaled(w, 0), ref1 = j_reference_scaled(w, 1);
  const cdouble scale = std::norm(ref0) >= std::norm(ref1) ? ref0 / j[0] : ref1 / j[1];
  for (int n = 0; n < count; ++n) {
    j[n] *= scale;
    if (reflect && (n % 2 == 1)) j[n] = -j[n];
  }
}

}  // namespace velm::microwave
