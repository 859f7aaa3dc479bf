// Surface scattering models: Lambertian, RPV (Rahman-Pinty-Verstraete) and the diffuse-
// transmitting leaf. Directions are local to the frame around the shading normal that faces the
// side the path arrived from (z up). Values are BSDFs per steradian, densities per steradian.
#pragma once

#include "physics/common.h"
#include "physics/records.h"

namespace velm {

// A material as the scattering routines see it: its record and its spectral block.
struct MaterialView {
  uint32_t type;
  const float* p;  // spectral buffer at the material's offset
  int nb;          // band count
  float scalar0, scalar1;
};

VELM_HD MaterialView material_view(const MaterialRecord& m, const float* spectral, int nb) {
  return {m.type, spectral + m.spectral_offset, nb, m.scalars[0], m.scalars[1]};
}

struct DirectionSample {
  Vec3 w;
  float pdf;
};

// Cosine-weighted direction about +z (Malley's method: uniform disk, lifted to the hemisphere).
VELM_HD Vec3 sample_cosine(float u0, float u1) {
  const float r = std::sqrt(u0);
  const float phi = 6.2831855f * u1;
  const float x = r * std::cos(phi), y = r * std::sin(phi);
  return {x, y, std::sqrt(max_of(0.f, 1.f - x * x - y * y))};
}

// RPV reflectance factor (dimensionless). M is the Minnaert-like bowl term, F the
// Henyey-Greenstein phase function in the scattering angle, 1 + R(G) the hot-spot term.
VELM_HD float rpv(float rho0, float k, float theta, float rhoc, Vec3 wo, Vec3 wi) {
  if (wo.z <= 0.f || wi.z <= 0.f) return 0.f;
  const float m = std::pow(wo.z, k - 1.f) * std::pow(wi.z, k - 1.f);
  const float q = 1.f + theta * theta + 2.f * theta * dot(wo, wi);
  const float f = (1.f - theta * theta) / (std::sqrt(std::fmax(q, 1e-6f)) * q);
  auto angles = [](Vec3 w, float& tan_t, float& cos_p, float& sin_p, float& sin_t) {
    sin_t = std::sqrt(std::fmax(0.f, 1.f - w.z * w.z));
    tan_t = std::fabs(w.z) < 1e-6f ? 0.f : sin_t / w.z;
    cos_p = sin_t < 1e-6f ? 1.f : w.x / sin_t;
    sin_p = sin_t < 1e-6f ? 0.f : w.y / sin_t;
  };
  float tan_o, cos_po, sin_po, sin_o, tan_i, cos_pi, sin_pi, sin_i;
  angles(wo, tan_o, cos_po, sin_po, sin_o);
  angles(wi, tan_i, cos_pi, sin_pi, sin_i);
  float cos_dphi = 0.f;
  if (sin_o > 1e-6f && sin_i > 1e-6f)
    cos_dphi = std::fmin(1.f, std::fmax(-1.f, cos_po * cos_pi + sin_po * sin_pi));
  const float g =
      std::sqrt(std::fmax(0.f, tan_o * tan_o + tan_i * tan_i - 2.f * tan_o * tan_i * cos_dphi));
  return std::fmax(0.f, (1.f + (1.f - rhoc) / (1.f + g)) * m * rho0 * f);
}

// BSDF value for band b. In thermal mode a Lambertian surface's spectral value is its emissivity
// and it reflects 1 - emissivity (Kirchhoff).
VELM_HD float eval_bsdf(const MaterialView& m, int b, Vec3 wo, Vec3 wi, bool back_face,
                        bool thermal) {
  constexpr float inv_pi = 0.31830987f;
  switch (m.type) {
    case kMaterialLambertian: {
      if (wo.z <= 0.f || wi.z <= 0.f) return 0.f;
      const float rho = thermal ? 1.f - m.p[b] : m.p[b];
      return rho * inv_pi;
    }
    case kMaterialRpv:
      // rpv() is a reflectance factor; the BRDF is that factor over pi, so that k = 1, Theta = 0,
      // rho_c = 1 is exactly the Lambertian surface of albedo rho0.
      return rpv(m.p[b], m.p[m.nb + b], m.p[2 * m.nb + b], m.p[3 * m.nb + b], wo, wi) * inv_pi;
    case kMaterialLeaf: {
      if (wo.z <= 0.f) return 0.f;
      if (wi.z > 0.f) return (back_face ? m.p[m.nb + b] : m.p[b]) * inv_pi;
      return m.p[2 * m.nb + b] * inv_pi;
    }
    default:
      return 0.f;
  }
}

// The probability with which a leaf samples its reflection lobe: its scalar weights when they
// say anything, else the share of reflection in what the face hit scatters, averaged over the
// bands (mean rho / (mean rho + mean tau)). Any choice with both lobes possible where both carry
// light keeps the estimator unbiased; the fallback makes the default (both weights 0) one of
// them. Negative for a leaf that scatters nothing.
VELM_HD float leaf_reflection_probability(const MaterialView& m, bool back_face) {
  const float sum = m.scalar0 + m.scalar1;
  if (sum >= 1e-8f) return m.scalar0 / sum;
  float rho = 0.f, tau = 0.f;
  for (int b = 0; b < m.nb; ++b) {
    rho += back_face ? m.p[m.nb + b] : m.p[b];
    tau += m.p[2 * m.nb + b];
  }
  return rho + tau > 0.f ? rho / (rho + tau) : -1.f;
}

// Draws the next local direction. Lambertian and RPV share the cosine lobe; the leaf chooses
// reflection or transmission (leaf_reflection_probability) and mirrors the lobe for
// transmission. A zero pdf means no direction.
VELM_HD_HOT DirectionSample sample_bsdf(const MaterialView& m, bool back_face, float u0, float u1,
                                        float u2) {
  constexpr float inv_pi = 0.31830987f;
  switch (m.type) {
    case kMaterialLambertian:
    case kMaterialRpv: {
      const Vec3 w = sample_cosine(u0, u1);
      return {w, max_of(0.f, w.z) * inv_pi};
    }
    case kMaterialLeaf: {
      const float pr = leaf_reflection_probability(m, back_face);
      if (pr < 0.f) return {{0.f, 0.f, 1.f}, 0.f};
      Vec3 w = sample_cosine(u1, u2);
      if (u0 >= pr) {
        w.z = -w.z;
        return {w, std::fabs(w.z) * inv_pi * (1.f - pr)};
      }
      return {w, max_of(0.f, w.z) * inv_pi * pr};
    }
    default:
      return {{0.f, 0.f, 1.f}, 1.f};
  }
}

// Number of spectral values a material type reads per band (its block is this times nb).
VELM_HD int spectral_block_per_band(uint32_t type) {
  switch (type) {
    case kMaterialLambertian: return 1;
    case kMaterialRpv: return 4;
    case kMaterialLeaf: return 3;
    default: return 0;
  }
}

}  // namespace velm
