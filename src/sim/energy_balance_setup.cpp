#include "sim/energy_balance_setup.h"

#include <cmath>
#include <stdexcept>

#include "sim/setup.h"

namespace velm {

namespace {

void check_range(const std::vector<float>& v, float hi, const std::string& who, const char* what,
                 int64_t per_band) {
  for (size_t i = 0; i < v.size(); ++i)
    if (!(v[i] >= 0.f && v[i] <= hi))
      throw std::invalid_argument(
          who + ": " + what + " of primitive " +
          std::to_string(static_cast<int64_t>(i) % per_band) +
          (hi <= 1.f ? " must lie in [0, 1], got " : " must be finite and not negative, got ") +
          std::to_string(v[i]));
}

void check_length(const std::vector<float>& v, size_t expected, const std::string& who,
                  const std::string& what) {
  if (!v.empty() && v.size() != expected)
    throw std::invalid_argument(who + ": " + what + " must have " + std::to_string(expected) +
                                " values, got " + std::to_string(v.size()));
}

}  // namespace

Vec3 check_energy_balance(const EnergyBalanceRequest& req, bool multiband, int64_t n,
                          const std::string& who) {
  if (n < 1) throw std::runtime_error(who + ": scene has 0 primitives");
  if (multiband && req.n_bands < 1) throw std::invalid_argument(who + ": n_bands must be > 0");
  if (req.n_samples < 1) throw std::invalid_argument(who + ": n_samples must be > 0");
  const size_t primitives = static_cast<size_t>(n);
  if (multiband) {
    const size_t bands = static_cast<size_t>(req.n_bands);
    if (!req.sw_albedos.empty() && req.sw_albedos.size() != bands * primitives)
      throw std::invalid_argument(who + ": sw_albedos must have n_bands * n_primitives values");
    if (!req.sun_irradiances.empty() && req.sun_irradiances.size() != bands)
      throw std::invalid_argument(who + ": sun_irradiance must have n_bands values");
    if (!req.sky_diffuse_radiances.empty() && req.sky_diffuse_radiances.size() != bands)
      throw std::invalid_argument(who + ": sky_diffuse_radiance must have n_bands values");
  } else {
    if (req.band_type != 0 && req.band_type != 1)
      throw std::invalid_argument(who + ": band_type must be 0 (short wave) or 1 (long wave), "
                                        "got " + std::to_string(req.band_type));
    if (!req.sw_albedos.empty() && req.sw_albedos.size() != primitives)
      throw std::invalid_argument(who + ": sw_albedos must have n_primitives (" +
                                  std::to_string(n) + ") values, got " +
                                  std::to_string(req.sw_albedos.size()));
  }
  check_length(req.temperatures, primitives, who, "temperatures (one per primitive)");
  check_length(req.emissivities, primitives, who, "emissivities (one per primitive)");
  // Inputs the transport reads: finite, non-negative energies; albedos, emissivities in [0, 1];
  // temperatures finite and not negative; a sun direction when there is sunlight.
  auto finite_nonnegative = [&](float v, const char* what) {
    if (!(v >= 0.f) || !std::isfinite(v))
      throw std::invalid_argument(who + ": " + what + " must be finite and not negative");
  };
  finite_nonnegative(req.sun_irradiance, "sun_irradiance");
  finite_nonnegative(req.sky_diffuse_radiance, "sky_diffuse_radiance");
  finite_nonnegative(req.sky_lw_radiance, "sky_lw_radiance");
  for (float v : req.sun_irradiances) finite_nonnegative(v, "sun_irradiance");
  for (float v : req.sky_diffuse_radiances) finite_nonnegative(v, "sky_diffuse_radiance");
  check_albedos(req.sw_albedos, n, who);
  check_range(req.emissivities, 1.f, who, "emissivities", n);
  check_range(req.temperatures, 3.4028235e38f, who, "temperatures", n);
  bool sunlit = !multiband ? (req.band_type == 0 && req.sun_irradiance > 0.f) : false;
  for (float v : req.sun_irradiances) sunlit |= v > 0.f;
  return sunlit ? unit_direction(req.sun_direction, who + ": the sun direction")
                : Vec3(0.f, 0.f, 1.f);
}

void check_albedos(const std::vector<float>& albedos, int64_t n_primitives,
                   const std::string& who) {
  check_range(albedos, 1.f, who, "sw_albedos", n_primitives);
}

}  // namespace velm
