// Microwave transport of one ray through the scene, shared by the OptiX device programs and the
// CPU backend: passive brightness temperatures [T_H, T_V, T_3, T_4] (K, modified Stokes vector, H
// and V relative to the vertical plane through the ray) or active backscatter [HH, HV, VH, VV]
// (linear, per unit horizontal area). It is the transport of the Vulkan microwave shader
// (src/programs/vulkan/microwave_wavefront.comp), step for step, so that both backends answer
// the same question with the same numbers:
//
//   soil        emission (1 - r_p) T_eff and specular reflection r_p at the local incidence
//               cosine; active: the soil's sigma there, and the path ends;
//   trunk       a dielectric wall met from outside: reflected with the power reflectivities R_p
//               or, when it has a specular table, that table's matrix (R_p then the sums of its
//               H and V rows), specularly or into directions drawn from its Mueller table when it
//               has one; else transmitted (1 - R_p) into the wood, which absorbs kappa_a per
//               metre and emits (1 - exp(-kappa_a L)) T along the chord L up to the next
//               surface (an open end: the diameter); active: the trunk-ground double bounce
//               towards the radar, then on through the wood (with 1 - R_p);
//   vegetation  the surface bounds a volume (entered through its front face, left through its
//               back face) of scatterers whose phase matrix per unit volume is the Mueller table:
//               free paths with extinction kappa_e = kappa_s + kappa_a (kappa_s the table's
//               scattering coefficient, the last value of its cosine CDF); at each interaction
//               emission (kappa_a / kappa_e) T and scattering into a direction drawn from the
//               tables, weighted by M / (kappa_e q); active: single backscattering
//               4 pi mu0 M(d -> -d) / kappa_e at the interaction, and the path ends;
//   escaping    upwards, the sky (1 - t) T_air + t 2.725 K with t = exp(-tau / mu); downwards,
//               nothing;
//   atmosphere  a ray that starts downwards crosses it first: t0 = exp(-tau / mu0) times the
//               scene plus (1 - t0) T_air (active: t0^2 times the backscatter).
//
// Passive paths end after max_depth scatterings; active paths scatter once. What a backend
// supplies: a Scene (intersect_closest(o, d) -> SurfaceHit, ray type of its own) and Tables, the
// material data (physics/microwave_tables.h on the OptiX and CPU backends).
#pragma once

#include "physics/common.h"
#include "physics/pcg32.h"
#include "physics/surface.h"
#include "physics/tile.h"

namespace velm {

constexpr float kCosmicBackground = 2.725f;  // K
constexpr int kMaxMicrowaveSteps = 256;      // ray queries of one path, at most

// A 4 x 4 matrix acting on Stokes vectors, row-major.
struct Mueller4 {
  float a[16];
};

VELM_HD Mueller4 mueller_diagonal(float h, float v, float c3, float c4) {
  Mueller4 m;
  for (int k = 0; k < 16; ++k) m.a[k] = 0.f;
  m.a[0] = h;
  m.a[5] = v;
  m.a[10] = c3;
  m.a[15] = c4;
  return m;
}

VELM_HD Mueller4 operator*(const Mueller4& x, const Mueller4& y) {
  Mueller4 m;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      float s = 0.f;
      for (int k = 0; k < 4; ++k) s += x.a[4 * r + k] * y.a[4 * k + c];
      m.a[4 * r + c] = s;
    }
  return m;
}

VELM_HD Mueller4 operator*(const Mueller4& x, float s) {
  Mueller4 m;
  for (int k = 0; k < 16; ++k) m.a[k] = x.a[k] * s;
  return m;
}

struct Stokes {
  float v[4] = {0.f, 0.f, 0.f, 0.f};
};

// found += W * (h, v, 0, 0)
VELM_HD void add_unpolarised(Stokes& found, const Mueller4& w, float h, float v) {
  for (int r = 0; r < 4; ++r) found.v[r] += w.a[4 * r] * h + w.a[4 * r + 1] * v;
}

// Reflection of a Stokes vector by a surface of power reflectivities rh, rv (phases unknown: the
// cross terms take their geometric mean).
VELM_HD Mueller4 power_reflection(float rh, float rv) {
  const float c = std::sqrt(max_of(rh * rv, 0.f));
  return mueller_diagonal(rh, rv, c, c);
}

// A scattering table: phase matrices (16 floats, row-major) per cell of incidence cosine,
// scattering cosine and azimuth difference (even bins over [-1, 1], [-1, 1] and [0, 2 pi)), the
// cosine CDF (n_i x n_s: the scattering coefficient into the bins up to each) and the azimuth CDF
// (n_i x n_s x n_phi, any scale). n_i = 0: none.
struct PhaseTable {
  const float* mueller = nullptr;
  const float* cosine = nullptr;
  const float* azimuth = nullptr;
  int32_t n_i = 0, n_s = 0, n_phi = 0;
};

// The bin of v among n even bins over [lo, hi].
VELM_HD int32_t bin_of(float v, float lo, float hi, int32_t n) {
  const float x = std::floor((v - lo) / (hi - lo) * static_cast<float>(n));
  return static_cast<int32_t>(min_of(max_of(x, 0.f), static_cast<float>(n - 1)));
}

// Scattering coefficient (m^-1) for a wave along cosine mu: the cosine CDF's last value in its
// incidence bin (0 without a table).
VELM_HD float scattering_coefficient(const PhaseTable& l, float mu) {
  if (l.n_i < 1) return 0.f;
  return l.cosine[static_cast<int64_t>(bin_of(mu, -1.f, 1.f, l.n_i)) * l.n_s + l.n_s - 1];
}

VELM_HD Mueller4 phase_matrix(const PhaseTable& l, int32_t a, int32_t j, int32_t k) {
  const float* p = l.mueller + ((static_cast<int64_t>(a) * l.n_s + j) * l.n_phi + k) * 16;
  Mueller4 m;
  for (int i = 0; i < 16; ++i) m.a[i] = p[i];
  return m;
}

// First i in [0, n) of a non-decreasing row whose value exceeds u (n - 1 when none does).
VELM_HD int32_t search_row(const float* row, int32_t n, float u) {
  int32_t lo = 0, hi = n - 1;
  while (lo < hi) {
    const int32_t mid = (lo + hi) / 2;
    if (row[mid] > u)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

// Draws the direction a wave travelling along d scatters into: the scattering-cosine bin from
// the cosine CDF of d's incidence bin, the azimuth-difference bin from that cell's azimuth CDF,
// each uniform within its bin. Gives the cell's phase matrix over the density of the draw (per
// steradian), M / q; false when the table scatters nothing at this incidence.
VELM_HD bool sample_phase(const PhaseTable& l, Vec3 d, Pcg32& rng, Vec3& scattered,
                          Mueller4& weight) {
  scattered = d;
  const int32_t a = bin_of(d.z, -1.f, 1.f, l.n_i);
  const float* row = l.cosine + static_cast<int64_t>(a) * l.n_s;
  const float kappa = row[l.n_s - 1];
  if (!(kappa > 0.f)) return false;
  const int32_t j = search_row(row, l.n_s, rng.next_float() * kappa);
  const float mass = row[j] - (j > 0 ? row[j - 1] : 0.f);
  const float width_mu = 2.f / static_cast<float>(l.n_s);
  const float mu =
      min_of(max_of(-1.f + (static_cast<float>(j) + rng.next_float()) * width_mu, -1.f), 1.f);
  const float* arow = l.azimuth + (static_cast<int64_t>(a) * l.n_s + j) * l.n_phi;
  const float total = arow[l.n_phi - 1];
  if (!(mass > 0.f && total > 0.f)) return false;
  const int32_t k = search_row(arow, l.n_phi, rng.next_float() * total);
  const float share = arow[k] - (k > 0 ? arow[k - 1] : 0.f);
  const float width_phi = kTwoPi / static_cast<float>(l.n_phi);
  const float dphi = (static_cast<float>(k) + rng.next_float()) * width_phi;
  const float q = mass / (kappa * width_mu) * share / (total * width_phi);
  const float phi = (std::fabs(d.x) + std::fabs(d.y) > 0.f ? std::atan2(d.y, d.x) : 0.f) + dphi;
  const float s = std::sqrt(max_of(0.f, 1.f - mu * mu));
  scattered = Vec3(s * std::cos(phi), s * std::sin(phi), mu);
  weight = phase_matrix(l, a, j, k) * (1.f / q);
  return true;
}

// The phase matrix for scattering straight back against d.
VELM_HD Mueller4 backscatter_phase(const PhaseTable& l, Vec3 d) {
  return phase_matrix(l, bin_of(d.z, -1.f, 1.f, l.n_i), bin_of(-d.z, -1.f, 1.f, l.n_s),
                      bin_of(kPi, 0.f, kTwoPi, l.n_phi));
}

VELM_HD Vec3 mirror(Vec3 d, Vec3 n) { return d - n * (2.f * dot(d, n)); }

enum MicrowaveKind : int32_t {
  kMicrowaveNone = 0,
  kSoilSurface = 1,
  kVegetationVolume = 2,
  kTrunkWall = 3,
};

struct MicrowaveSettings {
  bool active = false;
  int32_t max_depth = 1;
  float air_temperature = 0.f;  // K
  float atm_tau = 0.f;          // optical depth at nadir
  RepetitionTile tile;
  bool repetition = false;
  float zlo = -3.4028235e38f, zhi = 3.4028235e38f;  // the scene's vertical extent
};

// Sky brightness (K) seen upwards at cosine mu through the atmosphere.
VELM_HD float sky_brightness(const MicrowaveSettings& s, float mu) {
  const float t = std::exp(-s.atm_tau / max_of(mu, 1e-6f));
  return (1.f - t) * s.air_temperature + t * kCosmicBackground;
}

// What one ray from `o` along the unit direction `d` brings back (see the top of this file).
//
// Tables: kind(optical material id, index) -> MicrowaveKind and the material's index for the
// calls below; soil_passive / soil_active / trunk_response(index, mu, out[4]) at incidence cosine
// mu; vegetation_temperature, vegetation_absorption, trunk_radius, trunk_temperature,
// wood_absorption(index); dihedral(index, towards radar, out[2]) -> [sigma_HH, sigma_VV];
// phase(index) -> PhaseTable; specular(index, mu, Mueller4&) -> whether the trunk has a specular
// table, and its matrix at mu.
template <class Scene, class Tables>
VELM_HD Stokes microwave_ray(const Scene& scene, const Tables& tables, const MicrowaveSettings& s,
                             Vec3 o, Vec3 d, Pcg32& rng) {
  Stokes found;
  const bool radar = s.active;
  const Vec3 d0 = d;
  if (s.repetition) enter_tile(s.tile, s.zhi, o, d);
  const float mu0 = std::fabs(d.z);

  // Passive: the Stokes vector at the sensor per Stokes vector here.
  Mueller4 w = mueller_diagonal(1.f, 1.f, 1.f, 1.f);
  float one_h = 1.f, one_v = 1.f;  // active: power transmittance of the way so far
  float back = 1.f;                // active: transmittance of vegetation on the way back
  int32_t medium = -1;             // vegetation volume the path is in
  int32_t wood = -1;               // trunk the path is in
  int32_t depth = 0;
  int wraps = 0;
  const float kLargest = 3.4028235e38f;
  for (int step = 0; step < kMaxMicrowaveSteps; ++step) {
    // The extinction of the volume the path is in, along d (kappa_s + kappa_a).
    const PhaseTable l = medium >= 0 ? tables.phase(medium) : PhaseTable{};
    const float absorption = medium >= 0 ? tables.vegetation_absorption(medium) : 0.f;
    const float kappa = scattering_coefficient(l, d.z) + absorption;
    // The one ray query of this iteration; in a volume, as far as the next interaction.
    float free_path = kLargest;
    if (medium >= 0 && wood < 0 && kappa > 0.f)
      free_path = -std::log(1.f - min_of(rng.next_float(), 0.99999994f)) / kappa;
    const SurfaceHit hit = scene.intersect_closest(o, d);
    const bool surface = hit.hit && hit.t < free_path;
    const float travelled = surface ? hit.t : free_path;
    if (wood >= 0) {
      // Through the wood to whatever ends the chord (an open trunk's end: its diameter).
      const float chord = surface ? hit.t : 2.f * tables.trunk_radius(wood);
      const float kept = std::exp(-tables.wood_absorption(wood) * chord);
      if (radar) {
        one_h *= kept;
        one_v *= kept;
      } else {
        const float e = (1.f - kept) * tables.trunk_temperature(wood);
        add_unpolarised(found, w, e, e);
        w = w * kept;
      }
      wood = -1;
    }
    if (!surface && free_path == kLargest) {
      if (wrap_into_next_tile(s.tile, s.repetition, s.zlo, s.zhi, o, d, wraps)) continue;
      if (!radar && d.z > 0.f) {
        const float sky = sky_brightness(s, d.z);
        add_unpolarised(found, w, sky, sky);
      }
      break;
    }
    wraps = 0;
    if (radar && medium >= 0) back *= std::exp(-kappa * travelled);

    if (!surface) {
      // An interaction inside vegetation volume `medium`.
      o = o + d * free_path;
      if (radar) {
        if (l.n_i < 1) break;  // absorbs only
        const Mueller4 m = backscatter_phase(l, d);
        const float ways[4] = {one_h * one_h, one_h * one_v, one_v * one_h, one_v * one_v};
        const float sigma[4] = {m.a[0], m.a[1], m.a[4], m.a[5]};  // HH, HV, VH, VV
        for (int k = 0; k < 4; ++k)
          found.v[k] += 4.f * kPi * mu0 * sigma[k] / kappa * ways[k] * back;
        break;
      }
      // Absorption emits; scattering goes on with the phase matrix over the extinction.
      const float e = absorption / kappa * tables.vegetation_temperature(medium);
      add_unpolarised(found, w, e, e);
      if (depth >= s.max_depth || l.n_i < 1) break;
      Vec3 scattered;
      Mueller4 weight;
      if (!sample_phase(l, d, rng, scattered, weight)) break;
      w = w * (weight * (1.f / kappa));
      d = scattered;
      ++depth;
      continue;
    }

    // A surface: the side the path meets and the incidence cosine there.
    const Vec3 facing = hit.geometric_normal;
    const bool from_back = hit.is_back_face;
    const float mu = std::fabs(dot(d, facing));
    int32_t index = 0;
    const int32_t kind = tables.kind(hit.material_id, index);
    if (kind == kSoilSurface) {
      float row[4];
      if (radar) {
        tables.soil_active(index, mu, row);
        const float ways[4] = {one_h * one_h, one_h * one_v, one_v * one_h, one_v * one_v};
        for (int k = 0; k < 4; ++k) found.v[k] += row[k] * ways[k] * back;
        break;
      }
      tables.soil_passive(index, mu, row);
      add_unpolarised(found, w, row[0], row[1]);
      if (depth >= s.max_depth) break;
      w = w * power_reflection(row[2], row[3]);
      d = mirror(d, facing);
      o = hit.spawn(d);
      ++depth;
      continue;
    }
    if (kind == kVegetationVolume) {
      if (!from_back)
        medium = index;
      else if (medium == index)
        medium = -1;
    } else if (kind == kTrunkWall && !from_back) {
      float row[4];
      tables.trunk_response(index, mu, row);
      // The wall's reflectivities as the H and V channels see them: what reaches each from
      // the mirror direction per kelvin there, the sums of the reflection matrix's H and V rows
      // (the response table's R_p without a specular table). The wall lets the rest through, so
      // that reflection, transmission and the wood's emission add up to 1 (Kirchhoff).
      Mueller4 reflection;
      const bool tabled = tables.specular(index, mu, reflection);
      const float rh = min_of(
          max_of(tabled ? reflection.a[0] + reflection.a[1] : row[2], 0.f), 1.f);
      const float rv = min_of(
          max_of(tabled ? reflection.a[4] + reflection.a[5] : row[3], 0.f), 1.f);
      if (!tabled) reflection = power_reflection(rh, rv);
      if (radar) {
        float sigma[2];
        tables.dihedral(index, -d, sigma);
        found.v[0] += sigma[0] * one_h * one_h * back;
        found.v[3] += sigma[1] * one_v * one_v * back;
        one_h *= 1.f - rh;
        one_v *= 1.f - rv;
        wood = index;
      } else {
        // Reflected or transmitted with the mean reflectivity's odds (a draw only when both can
        // happen).
        const float reflect_p = 0.5f * (rh + rv);
        if (reflect_p > 0.f && (reflect_p >= 1.f || rng.next_float() < reflect_p)) {
          if (depth >= s.max_depth) break;
          w = w * (reflection * (1.f / reflect_p));
          const PhaseTable wall = tables.phase(index);
          Vec3 scattered = mirror(d, facing);
          if (wall.n_i > 0) {
            Mueller4 weight;
            if (!sample_phase(wall, d, rng, scattered, weight)) break;
            w = w * (weight * (1.f / scattering_coefficient(wall, d.z)));
          }
          d = scattered;
          o = hit.spawn(d);
          ++depth;
          continue;
        }
        w = w * (power_reflection(1.f - rh, 1.f - rv) * (1.f / (1.f - reflect_p)));
        wood = index;
      }
    }
    // On through the surface.
    o = hit.spawn(d);
  }

  // The atmosphere between the sensor and the scene, for a ray that starts downwards.
  if (d0.z < 0.f) {
    const float t0 = std::exp(-s.atm_tau / -d0.z);
    if (radar) {
      for (float& v : found.v) v *= t0 * t0;
    } else {
      for (float& v : found.v) v *= t0;
      found.v[0] += (1.f - t0) * s.air_temperature;
      found.v[1] += (1.f - t0) * s.air_temperature;
    }
  }
  return found;
}

}  // namespace velm
