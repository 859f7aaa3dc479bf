// Surface scattering models: Lambertian, RPV (Rahman-Pinty-Verstraete) and the diffuse-
// transmitting leaf; the GLSL side of src/physics/bsdf.h. Directions are local to the frame
// around the shading normal that faces the side the path arrived from (z up). Values are BSDFs
// per steradian, densities per steradian.
//
// The including shader declares the spectral parameter buffer as `params[]` first.
#ifndef VELM_PHYSICS_BSDF_GLSL
#define VELM_PHYSICS_BSDF_GLSL

#include "physics/common.glsl"

const uint kMaterialLambertian = 0u;
const uint kMaterialRpv = 1u;
const uint kMaterialLeaf = 13u;

// A material record as the device tables hold it (48 bytes): type, spectral offset, a reserved
// word, a zero word, scalar parameters 0 to 7.
struct MaterialRecord {
  uint type;
  uint spectral_offset;
  uint reserved0;
  uint zero;
  float scalars[8];
};

// A material as the scattering routines see it: its type and where its spectral block starts.
struct MaterialView {
  uint type;
  uint p;  // position of the block in params[]
  int nb;  // band count
  float scalar0;
  float scalar1;
};

MaterialView material_view(MaterialRecord m, int nb) {
  MaterialView v;
  v.type = m.type;
  v.p = m.spectral_offset;
  v.nb = nb;
  v.scalar0 = m.scalars[0];
  v.scalar1 = m.scalars[1];
  return v;
}

float block(MaterialView m, int k, int b) { return params[m.p + uint(k * m.nb + b)]; }

struct DirectionSample {
  vec3 w;
  float pdf;
};

// Cosine-weighted direction about +z (Malley's method: uniform disk, lifted to the hemisphere).
vec3 sample_cosine(float u0, float u1) {
  const float r = sqrt(u0);
  const float phi = 6.2831855 * u1;
  const float x = r * cos(phi), y = r * sin(phi);
  return vec3(x, y, sqrt(max(0.0, 1.0 - x * x - y * y)));
}

void rpv_angles(vec3 w, out float tan_t, out float cos_p, out float sin_p, out float sin_t) {
  sin_t = sqrt(max(0.0, 1.0 - w.z * w.z));
  tan_t = abs(w.z) < 1e-6 ? 0.0 : sin_t / w.z;
  cos_p = sin_t < 1e-6 ? 1.0 : w.x / sin_t;
  sin_p = sin_t < 1e-6 ? 0.0 : w.y / sin_t;
}

// RPV reflectance factor (dimensionless): Minnaert-like bowl M, Henyey-Greenstein F in the
// scattering angle, hot-spot term 1 + R(G).
float rpv(float rho0, float k, float theta, float rhoc, vec3 wo, vec3 wi) {
  if (wo.z <= 0.0 || wi.z <= 0.0) return 0.0;
  const float m = pow(wo.z, k - 1.0) * pow(wi.z, k - 1.0);
  const float q = 1.0 + theta * theta + 2.0 * theta * dot(wo, wi);
  const float f = (1.0 - theta * theta) / (sqrt(max(q, 1e-6)) * q);
  float tan_o, cos_po, sin_po, sin_o, tan_i, cos_pi, sin_pi, sin_i;
  rpv_angles(wo, tan_o, cos_po, sin_po, sin_o);
  rpv_angles(wi, tan_i, cos_pi, sin_pi, sin_i);
  float cos_dphi = 0.0;
  if (sin_o > 1e-6 && sin_i > 1e-6)
    cos_dphi = min(1.0, max(-1.0, cos_po * cos_pi + sin_po * sin_pi));
  const float g = sqrt(max(0.0, tan_o * tan_o + tan_i * tan_i - 2.0 * tan_o * tan_i * cos_dphi));
  return max(0.0, (1.0 + (1.0 - rhoc) / (1.0 + g)) * m * rho0 * f);
}

// BSDF value for band b. In thermal mode a Lambertian surface's spectral value is its emissivity
// and it reflects 1 - emissivity (Kirchhoff).
float eval_bsdf(MaterialView m, int b, vec3 wo, vec3 wi, bool back_face, bool thermal) {
  const float inv_pi = 0.31830987;
  if (m.type == kMaterialLambertian) {
    if (wo.z <= 0.0 || wi.z <= 0.0) return 0.0;
    const float rho = thermal ? 1.0 - block(m, 0, b) : block(m, 0, b);
    return rho * inv_pi;
  }
  if (m.type == kMaterialRpv) {
    // rpv() is a reflectance factor; the BRDF is that factor over pi.
    return rpv(block(m, 0, b), block(m, 1, b), block(m, 2, b), block(m, 3, b), wo, wi) * inv_pi;
  }
  if (m.type == kMaterialLeaf) {
    if (wo.z <= 0.0) return 0.0;
    if (wi.z > 0.0) return (back_face ? block(m, 1, b) : block(m, 0, b)) * inv_pi;
    return block(m, 2, b) * inv_pi;
  }
  return 0.0;
}

// The probability with which a leaf samples its reflection lobe: its scalar weights when they
// say anything, else mean rho / (mean rho + mean tau) of the face hit; negative for a leaf that
// scatters nothing.
float leaf_reflection_probability(MaterialView m, bool back_face) {
  const float sum = m.scalar0 + m.scalar1;
  if (sum >= 1e-8) return m.scalar0 / sum;
  float rho = 0.0, tau = 0.0;
  [[dont_unroll]] for (int b = 0; b < m.nb; ++b) {
    rho += block(m, back_face ? 1 : 0, b);
    tau += block(m, 2, b);
  }
  return rho + tau > 0.0 ? rho / (rho + tau) : -1.0;
}

// Draws the next local direction. Lambertian and RPV share the cosine lobe; the leaf chooses
// reflection or transmission (leaf_reflection_probability) and mirrors the lobe for
// transmission. A zero pdf means no direction.
DirectionSample sample_bsdf(MaterialView m, bool back_face, float u0, float u1, float u2) {
  const float inv_pi = 0.31830987;
  DirectionSample s;
  s.w = vec3(0.0, 0.0, 1.0);
  s.pdf = 1.0;
  if (m.type == kMaterialLambertian || m.type == kMaterialRpv) {
    s.w = sample_cosine(u0, u1);
    s.pdf = max(0.0, s.w.z) * inv_pi;
  } else if (m.type == kMaterialLeaf) {
    const float pr = leaf_reflection_probability(m, back_face);
    if (pr < 0.0) {
      s.pdf = 0.0;
      return s;
    }
    s.w = sample_cosine(u1, u2);
    if (u0 >= pr) {
      s.w.z = -s.w.z;
      s.pdf = max(0.0, abs(s.w.z)) * inv_pi * (1.0 - pr);
    } else {
      s.pdf = max(0.0, s.w.z) * inv_pi * pr;
    }
  }
  return s;
}

// Number of spectral values a material type reads per band (its block is this times nb).
int spectral_block_per_band(uint type) {
  if (type == kMaterialLambertian) return 1;
  if (type == kMaterialRpv) return 4;
  if (type == kMaterialLeaf) return 3;
  return 0;
}

#endif
