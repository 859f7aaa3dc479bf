// The material data of the microwave simulations as the shared transport
// (physics/microwave_path.h) reads it: the 96-byte material records, the material map and the
// response tables that plan_microwave evaluates (sim/microwave_plan.h for their columns), and
// the channels a pixel reports. Table pointers are device addresses in the device programs and
// host addresses on the CPU; the reading is the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "physics/microwave_path.h"

namespace velm {

enum MicrowaveMaterialType : int32_t {
  kMicrowaveSoil = 1,
  kMicrowaveVegetation = 2,
  kMicrowaveTrunk = 3,
};

// One microwave material as the transport reads it. Soil reads p[0..7] and, at byte 40, p9
// (float), p10 as an integer (the dielectric model), p11 and p12 (floats); vegetation p[0..7] and
// trunk p[0..6], with their tables after them. Pointers are stored as 64-bit integers.
struct MicrowaveMaterialRecord {
  int32_t type;  // 1 soil, 2 vegetation, 3 trunk
  uint32_t reserved0;
  float p[8];        // p1 .. p8
  uint64_t mueller;  // soil: p9, p10 (int)
  uint64_t cos_cdf;  // soil: p11, p12
  uint64_t phi_cdf;
  int32_t n_cti, n_cts, n_dphi;
  uint32_t reserved1;
  uint64_t specular;
  int32_t n_cos;
  uint32_t reserved2;
};
static_assert(sizeof(MicrowaveMaterialRecord) == 96);
static_assert(offsetof(MicrowaveMaterialRecord, p) == 8);
static_assert(offsetof(MicrowaveMaterialRecord, mueller) == 40);
static_assert(offsetof(MicrowaveMaterialRecord, n_cti) == 64);
static_assert(offsetof(MicrowaveMaterialRecord, specular) == 80);
static_assert(offsetof(MicrowaveMaterialRecord, n_cos) == 88);

// Cosines of the soil and trunk response tables: kResponseTableSize values j / (size - 1) on
// [0, 1]; kResponseColumns floats each (sim/microwave_plan.h). The trunk-ground double bounce follows
// the response tables, one kDihedralCosines x kDihedralAzimuths x [sigma_HH, sigma_VV] table per
// trunk material in material order, towards a radar at cosine i / (kDihedralCosines - 1) and
// azimuth 2 pi j / kDihedralAzimuths.
constexpr int32_t kResponseTableSize = 256;
constexpr int32_t kResponseColumns = 8;
constexpr int32_t kDihedralCosines = 257;
constexpr int32_t kDihedralAzimuths = 256;
constexpr int64_t kDihedralPerTrunk = int64_t{kDihedralCosines} * kDihedralAzimuths * 2;

struct MicrowaveTables {
  const MicrowaveMaterialRecord* records = nullptr;
  uint32_t material_count = 0;
  const int32_t* map = nullptr;  // optical material id -> material, or null: nothing mapped
  uint32_t map_size = 0;
  const float* response = nullptr;  // then the dihedral tables
  uint32_t response_size = kResponseTableSize;

  VELM_HD int32_t kind(int32_t optical, int32_t& index) const {
    index = 0;
    if (map == nullptr || optical < 0 || static_cast<uint32_t>(optical) >= map_size)
      return kMicrowaveNone;
    const int32_t m = map[optical];
    if (m < 0 || static_cast<uint32_t>(m) >= material_count) return kMicrowaveNone;
    index = m;
    const int32_t t = records[m].type;
    return t == kMicrowaveSoil         ? kSoilSurface
           : t == kMicrowaveVegetation ? kVegetationVolume
           : t == kMicrowaveTrunk      ? kTrunkWall
                                       : kMicrowaveNone;
  }

  // Columns `first` to first + 3 of material m's response table at cosine mu, linear between
  // the table's cosines.
  VELM_HD void row(int32_t m, float mu, int first, float out[4]) const {
    const uint32_t n = response_size;
    const float x = min_of(max_of(mu, 0.f), 1.f) * static_cast<float>(n - 1);
    const uint32_t j = min_of(static_cast<uint32_t>(x), n - 2);
    const float f = x - static_cast<float>(j);
    const float* a = response + (static_cast<uint64_t>(m) * n + j) * kResponseColumns + first;
    const float* b = a + kResponseColumns;
    for (int k = 0; k < 4; ++k) out[k] = a[k] + f * (b[k] - a[k]);
  }
  VELM_HD void soil_passive(int32_t m, float mu, float out[4]) const { row(m, mu, 0, out); }
  VELM_HD void soil_active(int32_t m, float mu, float out[4]) const { row(m, mu, 4, out); }
  VELM_HD void trunk_response(int32_t m, float mu, float out[4]) const { row(m, mu, 0, out); }

  VELM_HD float vegetation_temperature(int32_t m) const { return records[m].p[0]; }
  VELM_HD float vegetation_absorption(int32_t m) const { return records[m].p[1]; }
  VELM_HD float trunk_radius(int32_t m) const { return records[m].p[0]; }
  VELM_HD float trunk_temperature(int32_t m) const { return records[m].p[3]; }
  VELM_HD float wood_absorption(int32_t m) const {
    return response[static_cast<uint64_t>(m) * response_size * kResponseColumns + 4];
  }

  VELM_HD PhaseTable phase(int32_t m) const {
    const MicrowaveMaterialRecord& r = records[m];
    PhaseTable l;
    if (r.mueller == 0 || r.n_cti < 1) return l;
    l.mueller = reinterpret_cast<const float*>(r.mueller);
    l.cosine = reinterpret_cast<const float*>(r.cos_cdf);
    l.azimuth = reinterpret_cast<const float*>(r.phi_cdf);
    l.n_i = r.n_cti;
    l.n_s = r.n_cts;
    l.n_phi = r.n_dphi;
    return l;
  }

  // The specular reflection matrix of trunk m at cosine mu, linear between its entries at
  // cosines k / (n_cos - 1) (one entry: the same at every cosine).
  VELM_HD bool specular(int32_t m, float mu, Mueller4& out) const {
    const MicrowaveMaterialRecord& r = records[m];
    if (r.specular == 0 || r.n_cos < 1) return false;
    const float* t = reinterpret_cast<const float*>(r.specular);
    const float x = min_of(max_of(mu, 0.f), 1.f) * static_cast<float>(r.n_cos - 1);
    const int32_t j = min_of(static_cast<int32_t>(x), max_of(r.n_cos - 2, 0));
    const float f = r.n_cos > 1 ? x - static_cast<float>(j) : 0.f;
    const int32_t j1 = min_of(j + 1, r.n_cos - 1);
    for (int k = 0; k < 16; ++k) out.a[k] = t[16 * j + k] + f * (t[16 * j1 + k] - t[16 * j + k]);
    return true;
  }

  // Trunk-ground double bounce [sigma_HH, sigma_VV] of trunk m towards a radar in direction r
  // (unit, from the scene), bilinear in the radar's cosine and (periodic) azimuth.
  VELM_HD void dihedral(int32_t m, Vec3 r, float out[2]) const {
    int64_t ordinal = 0;
    for (int32_t k = 0; k < m; ++k) ordinal += records[k].type == kMicrowaveTrunk ? 1 : 0;
    const float* t = response +
                     static_cast<uint64_t>(material_count) * response_size * kResponseColumns +
                     ordinal * kDihedralPerTrunk;
    const float x = min_of(max_of(r.z, 0.f), 1.f) * static_cast<float>(kDihedralCosines - 1);
    const int32_t i = min_of(static_cast<int32_t>(x), kDihedralCosines - 2);
    const float fi = x - static_cast<float>(i);
    float phi = std::fabs(r.x) + std::fabs(r.y) > 0.f ? std::atan2(r.y, r.x) : 0.f;
    if (phi < 0.f) phi += kTwoPi;
    const float y = phi / kTwoPi * static_cast<float>(kDihedralAzimuths);
    const int32_t j = min_of(static_cast<int32_t>(y), kDihedralAzimuths - 1);
    const float fj = y - static_cast<float>(j);
    const int32_t j1 = (j + 1) % kDihedralAzimuths;
    for (int c = 0; c < 2; ++c) {
      const auto at = [&](int32_t a, int32_t b) {
        return t[(static_cast<int64_t>(a) * kDihedralAzimuths + b) * 2 + c];
      };
      const float lo = at(i, j) + fj * (at(i, j1) - at(i, j));
      const float hi = at(i + 1, j) + fj * (at(i + 1, j1) - at(i + 1, j));
      out[c] = lo + fi * (hi - lo);
    }
  }
};

// The channels of a pixel from the mean of its rays' four values: 1 the mean of H and V
// (passive) or half the sum of the four powers (active), 2 H and V or HH and VV, 4 all four.
VELM_HD void microwave_channels(float* out, int n_channels, const float v[4], bool active) {
  if (n_channels == 1) {
    out[0] = active ? 0.5f * (v[0] + v[1] + v[2] + v[3]) : 0.5f * (v[0] + v[1]);
  } else if (n_channels == 2) {
    out[0] = v[0];
    out[1] = active ? v[3] : v[1];
  } else {
    for (int k = 0; k < 4; ++k) out[k] = v[k];
  }
}

}  // namespace velm
