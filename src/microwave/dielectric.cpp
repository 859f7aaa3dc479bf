#include "microwave/dielectric.h"

#include <algorithm>
#include <cmath>

namespace velm::microwave {

namespace {

// Complex refractive index n - jk of a medium with permittivity real - j*loss.
struct RefractiveIndex {
  float n, k;
};
RefractiveIndex refractive_index(float real, float loss) {
  const float magnitude = std::sqrt(real * real + loss * loss);
  // |eps| >= |real| exactly, but not always after rounding: keep the roots real.
  return {std::sqrt(std::max(0.f, 0.5f * (magnitude + real))),
          std::sqrt(std::max(0.f, 0.5f * (magnitude - real)))};
}

// Debye relaxation time polynomial of free water (s) at t degrees Celsius.
float water_relaxation_time(float t) {
  return 1.1109e-10f - 3.824e-12f * t + 6.938e-14f * t * t - 5.096e-16f * t * t * t;
}

}  // namespace

Permittivity clay_mixing_permittivity(float frequency, float clay, float moisture) {
  const float omega = kTwoPi * frequency;
  const float C = clay;
  // Dry soil and the transition moisture between bound and free water.
  const float n_dry = 1.634f - 0.539f * C + 0.2748f * C * C;
  const float k_dry = 0.03952f - 0.04038f * C;
  const float m_transition = 0.02863f + 0.30673f * C;

  // Bound water: a Debye relaxation whose strength, time and conductivity follow the clay.
  const float delta_b = 79.8f - 85.4f * C + 32.7f * C * C - 4.9f;
  const float tau_b = 1.062e-11f + 3.45e-12f * C;
  const float sigma_b = 0.3112f + 0.467f * C;  // S/m
  const float wt_b = omega * tau_b;
  const float d_b = 1.f + wt_b * wt_b;
  const float eb_real = 4.9f + delta_b / d_b;
  const float eb_loss = delta_b * wt_b / d_b + sigma_b / (omega * kVacuumPermittivity);

  // Free water: Debye relaxation only.
  const float tau_u = 8.837e-12f;
  const float wt_u = omega * tau_u;
  const float d_u = 1.f + wt_u * wt_u;
  const float eu_real = 4.9f + 95.1f / d_u;
  const float eu_loss = 95.1f * wt_u / d_u;

  const RefractiveIndex bound = refractive_index(eb_real, eb_loss);
  const RefractiveIndex free = refractive_index(eu_real, eu_loss);

  float n, k;
  if (moisture <= m_transition) {
    n = n_dry + (bound.n - 1.f) * moisture;
    k = k_dry + bound.k * moisture;
  } else {
    const float excess = moisture - m_transition;
    n = n_dry + (bound.n - 1.f) * m_transition + (free.n - 1.f) * excess;
    k = k_dry + bound.k * m_transition + free.k * excess;
  }
  return {n * n - k * k, 2.f * n * k};
}

Permittivity semi_empirical_permittivity(float frequency, float sand, float clay, float moisture,
                                         float temperature, float bulk_density) {
  constexpr float kAlpha = 0.65f;
  constexpr float kInvAlpha = 1.5384616f;
  constexpr float kSolidPermittivity = 4.692144f;
  constexpr float kSolidDensity = 2.66f;  // g/cm^3
  const float S = sand, C = clay, rho_b = bulk_density;

  // Free water at t degrees Celsius: relaxation x = 2*pi*f*tau in this model's own form (the
  // relaxation polynomial times f, with its temperature correction b) and static permittivity.
  const float t = temperature - 273.15f;
  const float b = 2.282e-5f * 0.65f * t + 1.f - 0.00049646996f - 3.2785997e-6f + 3.034606e-9f;
  const float x = water_relaxation_time(t) * b * frequency;
  const float a = 1.613e-5f * 0.65f * t + 1.f - 0.0023764f + 1.35622495e-5f - 1.16221294e-7f;
  const float e_static = (87.134f - 0.1949f * t - 0.01276f * t * t + 0.0002491f * t * t * t) * a;
  const float delta = e_static - 4.9f;
  const float fw_real = 4.9f + delta / (1.f + x * x);
  const float fw_loss = delta * x / (1.f + x * x);

  const float beta_real = 1.275f - 0.519f * S - 0.152f * C;
  const float beta_loss = 1.338f - 0.603f * S - 0.166f * C;
  const float sigma = std::max(0.f, 1.939f * rho_b - 1.645f - 2.256f * S + 1.594f * C);

  // Solid particles and air, weighted by the bulk density.
  const float dry_term = (std::pow(kSolidPermittivity, kAlpha) - 1.f) * rho_b / 2.66f + 1.f;
  if (!(moisture > 0.f)) return {std::pow(dry_term, kInvAlpha), 0.f};

  const float mv = moisture;
  const float real_base =
      std::pow(mv, beta_real) * (std::pow(fw_real, kAlpha) - 1.f) + dry_term - mv;
  // Loss: ((sigma_term/mv + fw_loss)^alpha * mv^beta'')^(1/alpha), written as
  // (sigma_term + fw_loss*mv) * mv^(beta''/alpha - 1) so that it neither overflows nor turns
  // into inf*0 for a vanishing moisture.
  const float sigma_term = sigma * (kSolidDensity - rho_b) /
                           (kTwoPi * frequency * kVacuumPermittivity * kSolidDensity);
  const float loss = (sigma_term + fw_loss * mv) * std::pow(mv, beta_loss * kInvAlpha - 1.f);
  return {std::pow(real_base, kInvAlpha), loss};
}

const float kEmpiricalNodeGHz[kEmpiricalNodes] = {1.4f, 4.f,  6.f,  8.f, 10.f,
                                                  12.f, 14.f, 16.f, 18.f};

const float kEmpiricalRealCoefficients[kEmpiricalNodes][9] = {
    {2.862f, -0.012f, 0.001f, 3.803f, 0.462f, -0.341f, 119.006f, -0.500f, 0.633f},
    {2.927f, -0.012f, -0.001f, 5.505f, 0.371f, 0.062f, 114.826f, -0.389f, -0.547f},
    {1.993f, 0.002f, 0.015f, 38.086f, -0.176f, -0.633f, 10.720f, 1.256f, 1.522f},
    {1.997f, 0.002f, 0.018f, 25.579f, -0.170f, -0.412f, 39.793f, 0.723f, 0.941f},
    {2.502f, -0.003f, -0.003f, 10.101f, 0.221f, -0.004f, 77.482f, -0.061f, -0.135f},
    {2.200f, -0.001f, 0.012f, 26.473f, 0.013f, -0.523f, 34.333f, 0.284f, 1.062f},
    {2.301f, 0.001f, 0.009f, 17.918f, 0.084f, -0.282f, 50.149f, 0.012f, 0.387f},
    {2.237f, 0.002f, 0.009f, 15.505f, 0.076f, -0.217f, 48.260f, 0.168f, 0.289f},
    {1.912f, 0.007f, 0.021f, 29.123f, -0.190f, -0.545f, 6.960f, 0.822f, 1.195f},
};

const float kEmpiricalLossCoefficients[kEmpiricalNodes][9] = {
    {0.356f, -0.003f, -0.008f, 5.507f, 0.044f, -0.002f, 17.753f, -0.313f, 0.206f},
    {0.004f, 0.001f, 0.002f, 0.951f, 0.005f, -0.010f, 16.759f, 0.192f, 0.290f},
    {-0.123f, 0.002f, 0.003f, 7.502f, -0.058f, -0.116f, 2.942f, 0.452f, 0.543f},
    {-0.201f, 0.003f, 0.003f, 11.266f, -0.085f, -0.155f, 0.194f, 0.584f, 0.581f},
    {-0.070f, 0.000f, 0.001f, 6.620f, 0.015f, -0.081f, 21.578f, 0.293f, 0.332f},
    {-0.142f, 0.001f, 0.003f, 11.868f, -0.059f, -0.225f, 7.817f, 0.570f, 0.801f},
    {-0.096f, 0.001f, 0.002f, 8.583f, -0.005f, -0.153f, 28.707f, 0.297f, 0.357f},
    {-0.027f, -0.001f, 0.003f, 6.179f, 0.074f, -0.086f, 34.126f, 0.143f, 0.206f},
    {-0.071f, 0.000f, 0.003f, 6.938f, 0.029f, -0.128f, 29.945f, 0.275f, 0.377f},
};

Permittivity empirical_polynomial_permittivity(float frequency, float sand, float clay,
                                               float moisture) {
  const float f_ghz = frequency / 1e9f;
  const float* nodes = kEmpiricalNodeGHz;
  int lo = 0, hi = 1;
  if (f_ghz >= nodes[kEmpiricalNodes - 1]) {
    lo = hi = kEmpiricalNodes - 1;
  } else if (f_ghz > nodes[0]) {
    for (int i = 0; i < kEmpiricalNodes - 1; ++i) {
      if (nodes[i] < f_ghz && f_ghz <= nodes[i + 1]) {
        lo = i;
        hi = i + 1;
        break;
      }
    }
  }
  // Weight of the upper row; at a node (w = 1) the row is taken as published, not as
  // lo + (hi - lo), which could differ from it in the last bit.
  const float w = lo != hi ? (f_ghz - nodes[lo]) / (nodes[hi] - nodes[lo]) : 0.f;
  auto coefficient = [&](const float (*table)[9], int c) {
    if (w == 1.f) return table[hi][c];
    return table[lo][c] + (table[hi][c] - table[lo][c]) * w;
  };
  const float s_pct = 100.f * sand, c_pct = 100.f * clay, mv = moisture;
  auto evaluate = [&](const float (*table)[9]) {
    float k[9];
    for (int c = 0; c < 9; ++c) k[c] = coefficient(table, c);
    return (k[0] + k[1] * s_pct + k[2] * c_pct) + (k[3] + k[4] * s_pct + k[5] * c_pct) * mv +
           (k[6] + k[7] * s_pct + k[8] * c_pct) * mv * mv;
  };
  return {evaluate(kEmpiricalRealCoefficients),
          std::max(0.f, evaluate(kEmpiricalLossCoefficients))};
}

Permittivity vegetation_permittivity(float frequency, float moisture, float temperature) {
  const float volume = 0.5f * std::max(moisture, 0.f);
  const float v_bound = std::min(volume, 0.12f);
  const float v_free = std::max(volume - 0.12f, 0.f);
  const float t = temperature - 273.15f;
  const float omega = kTwoPi * frequency;

  // Free water: here the relaxation polynomial is a time, multiplied by the angular frequency.
  const float y_f = water_relaxation_time(t) * omega;
  const float delta_w = 88.045f - 0.4147f * t + 0.0006295f * t * t + 1.075e-5f * t * t * t - 4.9f;
  // Bound water: 40 ps relaxation, strength 52.8.
  const float y_b = omega * 4e-11f;

  const float real = 1.5f + v_bound * (4.9f + 52.8f / (1.f + y_b * y_b) - 1.5f) +
                     v_free * (4.9f + delta_w / (1.f + y_f * y_f) - 1.f);
  const float loss = v_free * delta_w * y_f / (1.f + y_f * y_f) +
                     v_bound * 52.8f * y_b / (1.f + y_b * y_b);
  return {real, loss};
}

}  // namespace velm::microwave
