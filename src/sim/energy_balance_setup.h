// The energy balance before any tracing, the same for every backend: the request of a
// single-band or multiband call, its checks, and what it returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "physics/common.h"

namespace velm {

struct EnergyBalanceRequest {
  int32_t band_type = 0;  // 0 short wave, 1 long wave (single-band call)
  int32_t n_samples = 64;
  int32_t n_bands = 1;    // multiband call
  float sun_irradiance = 0.f, sky_diffuse_radiance = 0.f, sky_lw_radiance = 0.f;
  std::vector<float> sun_irradiances, sky_diffuse_radiances;  // multiband, empty: zeros
  float sun_direction[3] = {0.f, 0.f, 1.f};
  bool two_sided = true;
  std::vector<float> sw_albedos;  // empty, or one per primitive (per band and primitive)
  // Given with the call where the scene holds none (the CPU backend); empty: 0 K and 0.97.
  std::vector<float> temperatures, emissivities;
  uint64_t seed = 0;  // selects the sample streams (physics/pcg32.h seeded_sequence)
};

struct EnergyBalanceOutput {
  std::vector<float> top, bottom;  // (bands, primitives); bottom empty unless two-sided
};

// The checks of a call ("run_energy_balance: ..." or "run_energy_balance_multiband: ...", or the
// name `who` gives) over a built scene of `n_primitives` primitives, in this order: a scene
// without primitives (std::runtime_error), n_bands, n_samples, the lengths of the per-band and
// per-primitive arrays, band_type, finite non-negative energies, albedos and emissivities in
// [0, 1], temperatures finite and not negative (std::invalid_argument). Returns the unit sun
// direction, or +z when no sunlight is asked for (the direction is not read then).
Vec3 check_energy_balance(const EnergyBalanceRequest& req, bool multiband, int64_t n_primitives,
                          const std::string& who);

}  // namespace velm
