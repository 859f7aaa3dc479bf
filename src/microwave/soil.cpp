#include "microwave/soil.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velm::microwave {

void require_valid_frequency(float frequency) {
  if (!(std::isfinite(frequency) && frequency > 0.f))
    throw std::invalid_argument("frequency must be a finite positive value in Hz");
}

SoilParameters soil_parameters_from(const float* p) {
  for (int i = 0; i < kSoilParameterCount; ++i)
    if (!std::isfinite(p[i])) throw std::invalid_argument("soil parameters must be finite");
  SoilParameters s;
  s.sand = p[0];
  s.clay = p[1];
  s.moisture = std::max(p[2], 0.f);
  s.roughness = p[3];
  s.exponent_v = p[4];
  s.exponent_h = p[5];
  s.mixing = p[6];
  s.surface_temperature = p[7];
  s.deep_temperature = p[8];
  // Truncation toward zero, compared as a float so that a huge selector cannot overflow an int.
  const float selector = std::trunc(p[9]);
  s.model = selector == 0.f   ? SoilDielectric::ClayMixing
            : selector == 2.f ? SoilDielectric::EmpiricalPolynomial
                              : SoilDielectric::SemiEmpirical;
  s.rms_height = p[10];
  return s;
}

Reflectivity fresnel_reflectivity(float mu, std::complex<float> eps) {
  // s = sqrt(eps - sin^2 theta) = n_t cos(theta_t), the normal wavenumber in the soil over k0;
  // the principal root makes the transmitted wave decay into a lossy medium.
  const std::complex<float> s = std::sqrt(eps - (1.f - mu * mu));
  const std::complex<float> em = eps * mu;
  // |a/b|^2 as |a|^2/|b|^2: no complex division needed.
  const float rh = std::norm(mu - s) / std::norm(mu + s);
  const float rv = std::norm(em - s) / std::norm(em + s);
  return {rh, rv};
}

float effective_soil_temperature(const SoilParameters& soil) {
  constexpr float kMoistureScale = 0.3f;  // w0
  constexpr float kExponent = 0.3f;       // b0
  const float ratio = std::min(soil.moisture / std::max(kMoistureScale, 1e-6f), 10.f);
  const float weight = std::min(std::pow(ratio, kExponent), 1.f);
  return soil.deep_temperature + (soil.surface_temperature - soil.deep_temperature) * weight;
}

Permittivity soil_permittivity(float frequency, const SoilParameters& soil, SoilDielectric model,
                               float temperature) {
  Permittivity eps;
  switch (model) {
    case SoilDielectric::ClayMixing:
      eps = clay_mixing_permittivity(frequency, soil.clay, soil.moisture);
      break;
    case SoilDielectric::EmpiricalPolynomial:
      eps = empirical_polynomial_permittivity(frequency, soil.sand, soil.clay, soil.moisture);
      break;
    case SoilDielectric::SemiEmpirical:
      eps = semi_empirical_permittivity(frequency, soil.sand, soil.clay, soil.moisture,
                                        temperature);
      break;
  }
  if (!eps.is_usable())
    throw std::invalid_argument("soil parameters give a non-finite permittivity");
  return eps;
}

void soil_emission(float frequency, const SoilParameters& soil, const float* cosines, size_t n,
                   float* out) {
  const float t_eff = effective_soil_temperature(soil);
  // The emission model never uses the empirical polynomial: selector 2 falls to semi-empirical.
  const SoilDielectric model =
      soil.model == SoilDielectric::ClayMixing ? SoilDielectric::ClayMixing
                                               : SoilDielectric::SemiEmpirical;
  const std::complex<float> eps = soil_permittivity(frequency, soil, model, t_eff).value();
  const float h = soil.roughness, q = soil.mixing;
  for (size_t i = 0; i < n; ++i) {
    const float mu = incidence_mu(cosines[i]);
    const Reflectivity r = fresnel_reflectivity(mu, eps);
    // Roughness lowers the coherent reflection by exp(-h cos^N theta) and mixes polarisations.
    const float mu_r = std::max(mu, 0.01f);
    const float rh = std::clamp(std::exp(-h * std::pow(mu_r, soil.exponent_h)) *
                                    ((1.f - q) * r.h + q * r.v),
                                0.f, 1.f);
    const float rv = std::clamp(std::exp(-h * std::pow(mu_r, soil.exponent_v)) *
                                    ((1.f - q) * r.v + q * r.h),
                                0.f, 1.f);
    float* row = out + 4 * i;
    row[0] = (1.f - rh) * t_eff;
    row[1] = (1.f - rv) * t_eff;
    row[2] = rh;
    row[3] = rv;
  }
}

void soil_backscatter(float frequency, const SoilParameters& soil, const float* cosines, size_t n,
                      float* out) {
  const float t_eff = effective_soil_temperature(soil);
  const std::complex<float> eps = soil_permittivity(frequency, soil, soil.model, t_eff).value();
  // Nadir reflectivity of the soil, the Fresnel reflectivity the roughness model scales with.
  const Reflectivity nadir = fresnel_reflectivity(1.f, eps);
  const float gamma0 = std::max(0.001f, 0.5f * (nadir.h + nadir.v));
  const float ks = std::clamp(free_space_wavenumber(frequency) * soil.rms_height, 0.1f, 6.f);
  const float exp_ks = std::exp(-ks);
  const float p_exponent = 1.f / (3.f * gamma0);
  // Cross-polarised ratio q and the co-polarised roughness factor g.
  const float q = std::clamp(0.23f * std::sqrt(gamma0) * (1.f - exp_ks), 0.f, 0.5f);
  const float g = 0.7f * (1.f - std::exp(-0.65f * std::pow(ks, 1.8f)));
  for (size_t i = 0; i < n; ++i) {
    const float mu = incidence_mu(cosines[i]);
    const Reflectivity r = fresnel_reflectivity(mu, eps);
    const float theta = std::acos(mu);
    // Co-polarised ratio p = sigma_HH / sigma_VV.
    const float sqrt_p =
        std::clamp(1.f - std::pow(2.f * theta / kPi, p_exponent) * exp_ks, 0.05f, 0.99f);
    const float p = sqrt_p * sqrt_p;
    const float mu2 = mu * mu;
    const float sigma_vv = std::max(0.f, g * mu2 * mu2 / sqrt_p * (r.v + r.h));
    float* row = out + 4 * i;
    row[0] = p * sigma_vv;
    row[1] = q * sigma_vv;
    row[2] = q * sigma_vv;
    row[3] = sigma_vv;
  }
}

void soil_smooth_reflectivity(float frequency, const SoilParameters& soil, bool allow_empirical,
                              const float* cosines, size_t n, float* out) {
  SoilDielectric model = soil.model;
  if (model == SoilDielectric::EmpiricalPolynomial && !allow_empirical)
    model = SoilDielectric::SemiEmpirical;
  const std::complex<float> eps =
      soil_permittivity(frequency, soil, model, soil.surface_temperature).value();
  for (size_t i = 0; i < n; ++i) {
    const Reflectivity r = fresnel_reflectivity(incidence_mu(cosines[i]), eps);
    out[2 * i] = r.h;
    out[2 * i + 1] = r.v;
  }
}

}  // namespace velm::microwave
