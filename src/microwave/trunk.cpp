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
  const std::complex<float> eps = trunk_permittivity(frequency, trunk);
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

Vec3d row_vector(const float* rows, size_t i) {
  return {rows[3 * i], rows[3 * i + 1], rows[3 * i + 2]};
}

// Finite and non-zero. In double precision the squared length of any finite float vector is
// representable, so neither a huge nor a tiny vector is mistaken for a bad one.
bool usable_vector(Vec3d v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z) && dot(v, v) > 0.0;
}

void check_geometry(const TrunkParameters& trunk, const float* to_trunk, const float* to_ground,
                    const float* ground_normals, size_t n) {
  if (!(trunk.radius > 0.f) || !(trunk.length > 0.f))
    throw std::invalid_argument("trunk radius and length must be positive");
  const Vec3d axis{trunk.axis.x, trunk.axis.y, trunk.axis.z};
  if (!(dot(axis, axis) > 0.0)) throw std::invalid_argument("trunk axis must be a non-zero vector");
  for (size_t i = 0; i < n; ++i) {
    if (!usable_vector(row_vector(to_trunk, i)) || !usable_vector(row_vector(to_ground, i)) ||
        !usable_vector(row_vector(ground_normals, i)))
      throw std::invalid_argument("direction and normal vectors must be finite and non-zero");
  }
}

// Angles of the trunk axis. Within 1e-6 rad of vertical the azimuth is meaningless and is 0.
Direction axis_direction(Vec3 axis) {
  const Vec3d a = normalized(Vec3d{axis.x, axis.y, axis.z});
  Direction d = direction_of(a);
  if (std::hypot(a.x, a.y) < 1e-6) d.phi = 0.0;
  return d;
}

}  // namespace

std::complex<float> trunk_permittivity(float frequency, const TrunkParameters& trunk) {
  const Permittivity eps = vegetation_permittivity(frequency, trunk.moisture, trunk.temperature);
  if (!eps.is_usable())
    throw std::invalid_argument("trunk parameters give a non-finite permittivity");
  return eps.value();
}

void trunk_ground_backscatter(float frequency, const SoilParameters& soil,
                              const TrunkParameters& trunk, const float* to_trunk,
                              const float* to_ground, const float* ground_normals, size_t n,
                              float* out) {
  check_geometry(trunk, to_trunk, to_ground, ground_normals, n);

  // Soil permittivity at the surface temperature, by whichever model the selector names.
  const std::complex<float> soil_eps =
      soil_permittivity(frequency, soil, soil.model, soil.surface_temperature).value();
  const std::complex<float> trunk_eps = trunk_permittivity(frequency, trunk);
  const double k0 = 6.283185307179586 * frequency / 2.998e8;  // rad/m
  const double roughness_phase = 2.0 * k0 * soil.rms_height;
  const Direction axis = axis_direction(trunk.axis);

  const double r = trunk.radius, len = trunk.length;  // m
  constexpr double kEightPi = 25.132741228718345;
  for (size_t i = 0; i < n; ++i) {
    const Vec3d d_trunk = normalized(row_vector(to_trunk, i));
    const Vec3d d_ground = normalized(row_vector(to_ground, i));
    const Vec3d normal = normalized(row_vector(ground_normals, i));

    // Specular reflection at the ground, reduced to its coherent part by the surface roughness.
    const double mu_g = std::max(std::fabs(dot(d_ground, normal)), 0.001);
    const double sin_g = std::sqrt(std::max(0.0, 1.0 - mu_g * mu_g));
    const Reflectivity ground = fresnel_reflectivity(static_cast<float>(mu_g), soil_eps);
    const double phase = roughness_phase * mu_g;
    const double coherent = std::exp(-phase * phase);

    const AmplitudeMatrix s = finite_cylinder_amplitude(
        direction_of(d_trunk), direction_of(d_ground), axis, frequency, r, len, trunk_eps);

    // Normalised by the area the trunk-ground corner presents to the beam.
    const double area = std::max(2.0 * r * len * sin_g + 4.0 * r * r * mu_g, 1e-6);
    const double factor = kEightPi / area * coherent;
    out[2 * i] = static_cast<float>(factor * ground.h * std::norm(s.hh));
    out[2 * i + 1] = static_cast<float>(factor * ground.v * std::norm(s.vv));
  }
}

}  // namespace velm::microwave
