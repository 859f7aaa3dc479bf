// Bessel functions of integer order 0..count-1 (count >= 2) for the dielectric-cylinder series,
// in double precision.
//
// J_n of a real or complex argument comes from Miller's backward recurrence: started far above
// the argument, the recurrence J_(k-1) = (2k/w) J_k - J_(k+1) run downwards is dominated by the
// minimal solution J_n, so arbitrary start values converge to a multiple of it; the multiple is
// fixed by a normalisation. Y_n is dominant and comes from the forward recurrence started at
// Y_0, Y_1.
#pragma once

#include <complex>

namespace velm::microwave {

// Start order of the backward recurrence for `count` orders of an argument of magnitude |w|.
// The error of Miller's method at order n is about (J_M / Y_M)(Y_n / J_n); starting at
// 1.5|w| + 20 (at least 51) keeps it below 1e-12 for |w| up to 80 and beyond, where a start just
// 20 orders above |w| fails once |w| exceeds about 60. The start is also at least 16 orders
// above the highest order wanted, which matters only for orders far above |w|, where
// J_(n+16)/J_n is negligible. |w| is capped so a huge argument cannot make the loop unbounded.
int miller_start_order(double magnitude, int count);

// Y_0 and Y_1 change method at these arguments: the ascending series below 8, a rational fit
// of Hankel's form (good to 5e-8 of the amplitude) up to 20, Hankel's expansion summed in double
// precision from 20 on, where its smallest term (about e^(-2x)) lies below 1e-17. The fit is kept
// where the 31-order cylinder series is converged, so its results there do not move; beyond, the
// series runs to many more orders of similar size and needs the full precision.
constexpr double kYSeriesLimit = 8.0;
constexpr double kYHankelLimit = 20.0;

// J_n(x) for real x: normalised by J_0 + 2 sum J_2k = 1, which holds for every x and involves
// no cancellation on the real axis. |x| < 1e-12 gives J_0 = 1 and zeros.
void bessel_j_real(double x, int count, double* j);

// Y_n(x) for x > 0 (not finite otherwise; high orders overflow to -inf for a tiny x, which is
// the true value's sign and size beyond the range of the type).
void bessel_y_real(double x, int count, double* y);

// Exponentially scaled J_n(w) * exp(-|Im w|) for complex w. The scaling keeps the values finite
// for any imaginary part (J_n grows like exp(|Im w|)); ratios of products of equal degree, as
// in the cylinder series, are unaffected by it.
void bessel_j_complex_scaled(std::complex<double> w, int count, std::complex<double>* j);

}  // namespace velm::microwave
