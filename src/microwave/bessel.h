// Bessel functions of integer order 0..31 for the dielectric-cylinder series.
//
// J_n of a real or complex argument comes from Miller's backward recurrence: started far above
// the argument, the recurrence J_(k-1) = (2k/w) J_k - J_(k+1) run downwards is dominated by the
// minimal solution J_n, so arbitrary start values converge to a multiple of it; the multiple is
// fixed by a normalisation. Y_n is dominant and comes from the forward recurrence started at
// Y_0, Y_1.
//
// The routines work in double precision. The single-precision overloads round the same values;
// the cylinder series uses the double ones directly.
#pragma once

#include <complex>

namespace velm::microwave {

constexpr int kBesselOrders = 32;  // orders 0..31: the series up to order 30 and J_31 for J_30'

// Start order of the backward recurrence for an argument of magnitude |w|. The error of Miller's
// method at order n is about (J_M / Y_M)(Y_n / J_n); starting at 1.5|w| + 20 (at least 51) keeps
// it below 1e-12 for |w| up to 80 and beyond, where a start just 20 orders above |w| fails once
// |w| exceeds about 60. The start is capped so a huge argument cannot make the loop unbounded.
int miller_start_order(double magnitude);

// J_0(x) ... J_31(x) for real x: normalised by J_0 + 2 sum J_2k = 1, which holds for every x
// and involves no cancellation on the real axis. |x| < 1e-12 gives J_0 = 1 and zeros.
void bessel_j_real(double x, double* j);
void bessel_j_real(float x, float* j);

// Y_0(x) ... Y_31(x) for x > 0 (not finite otherwise; high orders overflow to -inf for a tiny
// x, which is the true value's sign and size beyond the range of the type).
void bessel_y_real(double x, double* y);
void bessel_y_real(float x, float* y);

// Exponentially scaled J_n(w) * exp(-|Im w|), n = 0..31, for complex w. The scaling keeps the
// values finite for any imaginary part (J_n grows like exp(|Im w|)); ratios of products of
// equal degree, as in the cylinder series, are unaffected by it.
void bessel_j_complex_scaled(std::complex<double> w, std::complex<double>* j);
// Unscaled J_n(w), n = 0..31; the single-precision values overflow to infinity only where
// |J_n(w)| itself exceeds the float range (|Im w| above about 88).
void bessel_j_complex(std::complex<double> w, std::complex<double>* j);
void bessel_j_complex(std::complex<double> w, std::complex<float>* j);

// J_0(w) by its power series sum (-w^2/4)^k/(k!)^2: accurate for |w| up to about 17, beyond
// which the alternating terms (as large as e^|w|) cancel too much for double precision.
std::complex<double> bessel_j0_series(std::complex<double> w);

}  // namespace velm::microwave
