#include "microwave/trunk.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "microwave/cylinder.h"

namespace velm::microwave {

TrunkParameters trunk_parameters_from(const float* p) {
  for (int i = 0; i < kTrunkParameterCount; ++i)
    if (!std::isfinite(p[i])) throw std::invalid_argument("trunk parameters must be finite");
  TrunkParameters t;
  t.radius = p[0];
  t.length = p[1];
  t.moisture = p[2];
  t.temperature = p[3];
  t.axis = Vec3(p[4], p[5], p[6]);
  return t;
}

void trunk_emission(float frequency, const TrunkParameters& trunk, const float* cosines, size_t n,
                    float* out) {
  const std::complex<float> eps =
      vegetation_permittivity(frequency, trunk.moisture, trunk.temperature).value();
  const float t = trunk.temperature;
  for (size_t i = 0; i < n; ++i) {
    const Reflectivity r = fresnel_reflectivity(incidence_mu(cosines[i]), eps);
    float* row = out + 4 * i;
    row[0] = (1.f - r.h) * t;
    row[1] = (1.f - r.v) * t;
    row[2] = r.h;
    row[3] = r.v;
  }
}

namespace {

Direction direction_of(Vec3 d) {
  return {std::acos(std::clamp(d.z, -1.f, 1.f)), std::atan2(d.y, d.x)};
}

Vec3 row_vector(const float* rows, size_t i) {
  return {rows[3 * i], rows[3 * i + 1], rows[3 * i + 2]};
}

bool usable_vector(Vec3 v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && dot(v, v) > 0.f;
}

void check_geometry(const TrunkParameters& trunk, const float* to_trunk, const float* to_ground,
                    const float* ground_normals, size_t n) {
  if (!(trunk.radius > 0.f) || !(trunk.length > 0.f))
    throw std::invalid_argument("trunk radius and length must be positive");
  if (!(dot(trunk.axis, trunk.axis) > 0.f))
    throw std::invalid_argument("trunk axis must be a non-zero vector");
  for (size_t i = 0; i < n; ++i) {
    if (!usable_vector(row_vector(to_trunk, i)) || !usable_vector(row_vector(to_ground, i)) ||
        !usable_vector(row_vector(ground_normals, i)))
      throw std::invalid_argument("direction and normal vectors must be finite and non-zero");
  }
}

}  // namespace

void trunk_ground_backscatter(float frequency, const SoilParameters& soil,
                              const TrunkParameters& trunk, const float* to_trunk,
                              const float* to_ground, const float* ground_normals, size_t n,
                              float* out) {
  check_geometry(trunk, to_trunk, to_ground, ground_normals, n);

  // Soil permittivity at the surface temperature, by whichever model the selector names.
  const std::complex<float> soil_eps =
      soil_permittivity(frequency, soil, soil.model, soil.surface_temperature).value();
  const float k0 = free_space_wavenumber(frequency);
  const float roughness_phase = 2.f * k0 * soil.rms_height;
  const std::complex<float> trunk_eps =
      vegetation_permittivity(frequency, trunk.moisture, trunk.temperature).value();

  // Trunk axis angles; a vertical axis has no azimuth and gets phi = 0.
  const Vec3 a = normalize(trunk.axis);
  Direction axis{std::acos(std::clamp(a.z, -1.f, 1.f)), 0.f};
  if (std::sqrt(std::max(0.f, 1.f - a.z * a.z)) >= 1e-6f) axis.phi = std::atan2(a.y, a.x);

  const float r = trunk.radius, len = trunk.length;
  constexpr float kEightPi = 25.132742f;
  for (size_t i = 0; i < n; ++i) {
    const Vec3 d_trunk = normalize(row_vector(to_trunk, i));
    const Vec3 d_ground = normalize(row_vector(to_ground, i));
    const Vec3 normal = normalize(row_vector(ground_normals, i));

    // Specular reflection at the ground, reduced to its coherent part by the surface roughness.
    const float mu_g = std::max(std::fabs(dot(d_ground, normal)), 0.001f);
    const float sin_g = std::sqrt(std::max(0.f, 1.f - mu_g * mu_g));
    const Reflectivity ground = fresnel_reflectivity(mu_g, soil_eps);
    const float phase = roughness_phase * mu_g;
    const float coherent = std::exp(-phase * phase);

    const AmplitudeMatrix s =
        finite_cylinder_amplitude(direction_of(d_trunk), direction_of(d_ground), axis, frequency,
                                  r, len, trunk_eps, kCylinderMaxOrder);

    // Normalised by the area the trunk-ground corner presents to the beam.
    const float area = std::max(2.f * r * len * sin_g + 4.f * r * r * mu_g, 1e-6f);
    const float factor = kEightPi / area;
    out[2 * i] = factor * ground.h * coherent * std::norm(s.hh);
    out[2 * i + 1] = factor * ground.v * coherent * std::norm(s.vv);
  }
}

}  // namespace velm::microwave
