// The microwave simulations before any tracing, the same for every backend: the request the
// module layer builds from the caller's soil, vegetation and trunk tables, its checks, the
// 96-byte material records, the per-pixel random states, and the response tables the transport
// interpolates (the soil and trunk models of microwave/ evaluated on a grid of cosines). Pure
// functions of the scene description and the request.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "physics/microwave_tables.h"
#include "physics/pcg32.h"
#include "sim/setup.h"

namespace velm {

// A microwave material as the module layer builds it from one table row.
struct MicrowaveMaterial {
  int32_t type = 0;
  float p[12] = {};  // p1 .. p12; those not set are 0
  std::vector<float> mueller;  // n_cti x n_cts x n_dphi 4x4 matrices
  std::vector<float> cos_cdf;  // n_cti x n_cts
  std::vector<float> phi_cdf;  // n_cti x n_cts x n_dphi
  int32_t n_cti = 0, n_cts = 0, n_dphi = 0;
  std::vector<float> specular;  // n_cos 4x4 matrices (trunk)
  int32_t n_cos = 0;
};

struct MicrowaveRequest {
  bool active = false;
  float frequency = 1.4e9f;  // Hz
  int32_t n_channels = 2;
  int32_t spp = 64;
  int32_t max_depth = 8;
  float air_temperature = 293.f;  // K
  bool include_atmosphere = true;  // passive; the atmosphere enters through atm_tau alone
  float atm_tau = 0.01f;
  std::vector<MicrowaveMaterial> materials;
  std::vector<int32_t> material_map;  // optical material id -> microwave material, -1 none
  uint64_t seed = 0;  // selects the pixel streams (microwave_pixel_stream)
};

// The response tables, kResponseColumns floats per cosine of the grid of
// physics/microwave_tables.h:
//   soil:       T_B,H, T_B,V, r_H, r_V (emission), sigma_HH, sigma_HV, sigma_VH, sigma_VV
//   trunk:      (1 - R_H) T, (1 - R_V) T, R_H, R_V (emission), the wood's power absorption
//               coefficient 2 k0 |Im sqrt(eps)| (1/m), three zeros
//   vegetation: zeros (its data are the record's parameters and tables)
// Active requests append the trunk-ground double bounce of every trunk over the first soil
// material (zeros without one).

// The trunk-ground tables of recent requests, which take a while to evaluate, by frequency, soil
// and trunk parameters.
struct DihedralCache {
  std::vector<std::pair<std::vector<float>, std::vector<float>>> entries;  // key, table
};

struct MicrowavePlan {
  int32_t width = 0, height = 0;
  uint64_t pixels = 0;
  float wavelength = 0.f;
  std::vector<MicrowaveMaterialRecord> records;  // table pointers still zero
  // materials x kResponseTableSize x kResponseColumns, then (active) kDihedralPerTrunk per trunk
  std::vector<float> response;
  // The request's map, padded with -1 to cover every optical material a mesh uses (empty when
  // the request has none).
  std::vector<int32_t> material_map;
};

// "Scene not built. Call scene.build() first.", then the checks of the request: frequency,
// channels (1, 2 or 4), spp, depth, temperatures, tables (sizes, finite values), the material
// map (each entry -1 or a microwave material), the scene and its sensor, and an image of at most
// `max_pixels` pixels; then the soil and trunk models' own checks while the response tables are
// evaluated. Messages start with `who`. `cache`, when given, keeps trunk-ground tables between
// calls.
MicrowavePlan plan_microwave(const SceneDescription& d, const BuiltScene& built,
                             const MicrowaveRequest& req, const std::string& who,
                             DihedralCache* cache = nullptr,
                             uint64_t max_pixels = std::numeric_limits<uint64_t>::max());

// The tables of a plan as the host reads them: `records` receives the plan's records pointing at
// the request's own Mueller and specular tables; it, the plan and the request must outlive the
// result.
MicrowaveTables host_tables(const MicrowavePlan& plan, const MicrowaveRequest& req,
                            std::vector<MicrowaveMaterialRecord>& records);

// The record of a material, without its table pointers.
MicrowaveMaterialRecord microwave_record(const MicrowaveMaterial& m);

// The random state of pixel i in a run seeded `seed`: with k = seeded_sequence(i, seed) (k = i
// for seed 0), increment 26 k + 15 and state increment * 0x5851F42D4C957F2E +
// k * 0xDD71370215ED71FD + 0xB1EC917C461A6673 (mod 2^64), 16 bytes each: state, increment.
std::vector<uint64_t> microwave_random_states(uint64_t pixels, uint64_t seed = 0);
// The stream of pixel i as microwave_random_states starts it.
inline Pcg32 microwave_pixel_stream(uint64_t pixel, uint64_t seed = 0) {
  const uint64_t i = seeded_sequence(pixel, seed);
  Pcg32 rng;
  rng.inc = 26 * i + 15;
  rng.state = rng.inc * 0x5851F42D4C957F2EULL + i * 0xDD71370215ED71FDULL + 0xB1EC917C461A6673ULL;
  return rng;
}

}  // namespace velm
