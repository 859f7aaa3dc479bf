// The microwave transport every backend runs (physics/microwave_path.h) over the tables the
// shared plan builds (sim/microwave_plan.h), traced on the host through infinite horizontal
// layers, against closed forms and the microwave models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "microwave/soil.h"
#include "microwave/trunk.h"
#include "physics/microwave_path.h"
#include "physics/microwave_tables.h"
#include "sim/microwave_plan.h"
#include "sim/setup.h"

namespace velm {
namespace {

MicrowaveMaterial material(int32_t type, std::initializer_list<float> p) {
  MicrowaveMaterial m;
  m.type = type;
  std::copy(p.begin(), p.end(), m.p);
  return m;
}

// Infinite horizontal planes, each at height z, facing up (nz = 1) or down (-1), of one optical
// material (the microwave material of the same index through the identity map).
struct Layer {
  float z, nz;
  int32_t material;
};
struct Layers {
  std::vector<Layer> layers;
  SurfaceHit intersect_closest(Vec3 o, Vec3 d) const {
    SurfaceHit best;
    for (const Layer& l : layers) {
      const float t = (l.z - o.z) / d.z;
      if (d.z == 0.f || !(t > 0.f) || t >= best.t) continue;
      best.t = t;
      best.hit = true;
      best.position = Vec3(o.x + t * d.x, o.y + t * d.y, l.z);
      const Vec3 n(0.f, 0.f, l.nz);
      best.is_back_face = dot(d, n) > 0.f;
      best.geometric_normal = best.normal = best.is_back_face ? -n : n;
      best.material_id = l.material;
      best.position_error = 1e-6f * (1.f + max_abs(best.position));
    }
    return best;
  }
};

// The tables of `req` (materials mapped one to one) with host addresses where the device has
// device ones.
struct HostTables {
  SceneDescription d{Flavor::Cpu};
  MicrowavePlan plan;
  std::vector<MicrowaveMaterialRecord> records;
  MicrowaveTables t;
  // Over a scene the plan accepts: a 10 m ground square under a 4 x 3 orthographic sensor.
  explicit HostTables(MicrowaveRequest& req) {
    HostMesh ground;
    ground.vertices = {{-5, -5, 0}, {5, -5, 0}, {5, 5, 0}, {-5, 5, 0}};
    ground.triangles = {{0, 1, 2}, {0, 2, 3}};
    d.add_mesh(ground);
    d.add_instance(0, 0, 0, 0, 1);
    d.set_sensor(0, 4, 3, 10.f, 10.f, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1}, 60.f, 0,
                 false);
    for (size_t i = 0; i < req.materials.size(); ++i)
      req.material_map.push_back(static_cast<int32_t>(i));
    plan = plan_microwave(d, BuiltScene{true, instance_conditioning(d)}, req,
                          req.active ? "simulate_active_microwave" : "simulate_microwave",
                          nullptr, UINT64_MAX);
    t = host_tables(plan, req, records);
  }
};

// Mean and standard error of n rays along d from `height` above the origin.
struct Estimate {
  double mean[4] = {}, error[4] = {};
};
Estimate trace(const Layers& scene, const MicrowaveTables& t, const MicrowaveSettings& s, Vec3 d,
               int n, float height = 10.f) {
  Estimate e;
  double sq[4] = {};
  Pcg32 rng(7, 11);
  for (int i = 0; i < n; ++i) {
    const Stokes v = microwave_ray(scene, t, s, Vec3(0.f, 0.f, height), d, rng);
    for (int k = 0; k < 4; ++k) {
      e.mean[k] += v.v[k];
      sq[k] += static_cast<double>(v.v[k]) * v.v[k];
    }
  }
  for (int k = 0; k < 4; ++k) {
    e.mean[k] /= n;
    e.error[k] = std::sqrt(std::max(sq[k] / n - e.mean[k] * e.mean[k], 0.0) / n);
  }
  return e;
}

// An isotropic, depolarising scatterer of kappa_s per metre: kappa_s / (8 pi) in the four H-V
// entries of every cell's phase matrix, and the distributions that go with it.
MicrowaveMaterial isotropic_vegetation(float temperature, float absorption, float kappa_s) {
  MicrowaveMaterial m = material(kMicrowaveVegetation, {temperature, absorption});
  m.n_cti = 4;
  m.n_cts = 8;
  m.n_dphi = 8;
  const float p = kappa_s / (4.f * kPi), d_mu = 2.f / m.n_cts, d_phi = kTwoPi / m.n_dphi;
  for (int a = 0; a < m.n_cti; ++a)
    for (int j = 0; j < m.n_cts; ++j) {
      m.cos_cdf.push_back((j + 1) * p * kTwoPi * d_mu);
      for (int k = 0; k < m.n_dphi; ++k) {
        m.phi_cdf.push_back((k + 1) * p * d_phi);
        for (int c = 0; c < 16; ++c)
          m.mueller.push_back(c == 0 || c == 1 || c == 4 || c == 5 ? 0.5f * p : 0.f);
      }
    }
  return m;
}

const std::initializer_list<float> kSoil = {0.4f, 0.2f, 0.25f, 0.1f, 0.f, 0.f, 0.1f,
                                            290.f, 290.f, 1.f, 0.01f, 0.04f};

Vec3 towards(float mu) { return Vec3(std::sqrt(1.f - mu * mu), 0.f, -mu); }

void expect_within(const Estimate& e, const double expected[4], double floor, const char* what) {
  for (int k = 0; k < 4; ++k)
    EXPECT_NEAR(e.mean[k], expected[k], 4.0 * e.error[k] + floor) << what << ", channel " << k;
}

TEST(MicrowaveTransport, BareSoilAndAnAbsorbingCanopy) {
  const float f = 1.4e9f, mu = 0.75f, tau = 0.05f, t_air = 280.f;
  // A soil whose rms height (p11) is not given: the launches read 0.008 m.
  MicrowaveRequest req;
  req.frequency = f;
  req.materials = {material(kMicrowaveSoil, kSoil), material(kMicrowaveVegetation, {300.f, 0.4f})};
  req.materials[0].p[10] = 0.f;
  HostTables h(req);
  float given[12];
  std::copy(req.materials[0].p, req.materials[0].p + 12, given);
  given[10] = 0.008f;
  const microwave::SoilParameters soil = microwave::soil_parameters_from(given);
  float passive[4], active[4];
  microwave::soil_emission(f, soil, &mu, 1, passive);
  microwave::soil_backscatter(f, soil, &mu, 1, active);
  MicrowaveSettings set;
  set.max_depth = 4;
  set.air_temperature = t_air;
  set.atm_tau = tau;
  const double t0 = std::exp(-tau / mu), sky = (1 - t0) * t_air + t0 * kCosmicBackground;

  // Bare soil: its emission and the sky it reflects, through the atmosphere.
  Layers bare{{{0.f, 1.f, 0}}};
  Estimate e = trace(bare, h.t, set, towards(mu), 1);
  for (int p = 0; p < 2; ++p)
    EXPECT_NEAR(e.mean[p], t0 * (passive[p] + passive[2 + p] * sky) + (1 - t0) * t_air, 0.05);
  set.active = true;
  e = trace(bare, h.t, set, towards(mu), 1);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(e.mean[k], active[k] * t0 * t0, 1e-3 * active[0]);

  // A 2 m canopy that only absorbs (0.4 per metre, 300 K) over the soil.
  const Layers canopy{{{3.f, 1.f, 1}, {1.f, -1.f, 1}, {0.f, 1.f, 0}}};
  const double tv = std::exp(-0.4 * 2.0 / mu), warm = 300.0 * (1 - tv);
  double expected[4] = {};
  for (int p = 0; p < 2; ++p)
    expected[p] = t0 * (warm + tv * (passive[p] + passive[2 + p] * (warm + tv * sky))) +
                  (1 - t0) * t_air;
  set.active = false;
  expect_within(trace(canopy, h.t, set, towards(mu), 200000), expected, 0.0, "passive canopy");
  set.active = true;
  for (int k = 0; k < 4; ++k) expected[k] = active[k] * tv * tv * t0 * t0;
  expect_within(trace(canopy, h.t, set, towards(mu), 200000), expected, 0.0, "active canopy");
}

TEST(MicrowaveTransport, ScatteringVolumesAndTrunks) {
  const float f = 1.4e9f, mu = 0.6f;
  MicrowaveRequest req;
  req.frequency = f;
  req.materials = {material(kMicrowaveSoil, kSoil), isotropic_vegetation(290.f, 0.2f, 0.5f),
                   material(kMicrowaveTrunk, {0.2f, 4.f, 0.5f, 290.f, 0.3f, 0.f, 1.f})};
  HostTables h(req);
  MicrowaveSettings set;
  set.max_depth = 400;
  set.air_temperature = 290.f;

  // A scattering canopy between a soil floor and a soil ceiling, all at 290 K, seen from
  // between them: every path brings back 290 K whatever it scatters, and no polarisation.
  const Layers closed{{{4.f, -1.f, 0}, {2.f, 1.f, 1}, {1.f, -1.f, 1}, {0.f, 1.f, 0}}};
  const double isothermal[4] = {290.0, 290.0, 0.0, 0.0};
  Estimate e = trace(closed, h.t, set, towards(mu), 20000, 3.f);
  expect_within(e, isothermal, 1e-3, "isothermal enclosure");

  // Radar over a 2 m layer of isotropic scatterers on nothing: single scattering,
  // 4 pi mu0 kappa_s / (8 pi) (1 - exp(-2 kappa_e h / mu0)) / (2 kappa_e) per channel.
  const Layers layer{{{3.f, 1.f, 1}, {1.f, -1.f, 1}}};
  set.active = true;
  const double kappa_e = 0.7, sigma = 4 * kPi * mu * (0.5 / (8 * kPi)) *
                                      (1 - std::exp(-2 * kappa_e * 2 / mu)) / (2 * kappa_e);
  const double volume[4] = {sigma, sigma, sigma, sigma};
  expect_within(trace(layer, h.t, set, towards(mu), 200000), volume, 0.0, "volume backscatter");

  // A 10 cm wall of wood over nothing: reflected sky (no atmosphere), or the wood's emission
  // along its chord.
  const microwave::TrunkParameters trunk = microwave::trunk_parameters_from(req.materials[2].p);
  float row[4];
  microwave::trunk_emission(f, trunk, &mu, 1, row);
  const std::complex<double> eps(microwave::trunk_permittivity(f, trunk));
  const double kappa_w = 2 * (kTwoPi * f / 2.998e8) * std::fabs(std::sqrt(eps).imag());
  const double kept = std::exp(-kappa_w * 0.1 / mu);
  const Layers wall{{{1.f, 1.f, 2}, {0.9f, -1.f, 2}}};
  double expected[4] = {};
  for (int p = 0; p < 2; ++p)
    expected[p] = row[2 + p] * kCosmicBackground + (1 - row[2 + p]) * (1 - kept) * 290.0;
  set.active = false;
  expect_within(trace(wall, h.t, set, towards(mu), 100000), expected, 0.0, "passive wall");

  // The radar sees the trunk-ground double bounce at its own direction (a node of the table's
  // grid, cosine 160 / 256 and azimuth 2 pi 21 / 256; the tilted trunk makes it depend on both),
  // as the trunk model gives it.
  set.active = true;
  req.active = true;
  HostTables ha(req);
  const double c = 160.0 / 256, phi = kTwoPi * 21.0 / 256, sn = std::sqrt(1 - c * c);
  const Vec3 d(static_cast<float>(-sn * std::cos(phi)), static_cast<float>(-sn * std::sin(phi)),
               static_cast<float>(-c));
  const float to_trunk[3] = {d.x, d.y, d.z}, to_ground[3] = {-d.x, -d.y, d.z}, up[3] = {0, 0, 1};
  float model[2];
  microwave::trunk_ground_backscatter(f, microwave::soil_parameters_from(req.materials[0].p),
                                      trunk, to_trunk, to_ground, up, 1, model);
  e = trace(wall, ha.t, set, d, 1);
  EXPECT_NEAR(e.mean[0], model[0], 1e-3 * model[0]);
  EXPECT_NEAR(e.mean[3], model[1], 1e-3 * model[1]);
  EXPECT_EQ(e.mean[1], 0.0);
  EXPECT_EQ(e.mean[2], 0.0);

  // The same wall over a soil: the soil's backscatter comes back through the wall, which lets
  // (1 - r_p) through on the way down in polarisation p and (1 - r_q) on the way back in q, and
  // the wood keeps exp(-kappa_w chord) each way: channel pq gains
  // sigma_soil,pq (1 - r_p)(1 - r_q) kept^2. The wall's H and V reflectivities differ enough
  // here to tell the polarisations apart.
  const float cos_d = static_cast<float>(c);
  float wall_row[4], soil_row[4];
  microwave::trunk_emission(f, trunk, &cos_d, 1, wall_row);
  microwave::soil_backscatter(f, microwave::soil_parameters_from(req.materials[0].p), &cos_d, 1,
                              soil_row);
  ASSERT_GT(std::fabs(wall_row[2] - wall_row[3]), 0.05f);
  const double through[2] = {1.0 - wall_row[2], 1.0 - wall_row[3]};
  const double kept_d = std::exp(-kappa_w * 0.1 / c);
  const Layers wall_on_soil{{{1.f, 1.f, 2}, {0.9f, -1.f, 2}, {0.f, 1.f, 0}}};
  e = trace(wall_on_soil, ha.t, set, d, 1);
  for (int k = 0; k < 4; ++k) {
    const double soil = soil_row[k] * through[k / 2] * through[k % 2] * kept_d * kept_d;
    const double bounce = k == 0 ? model[0] : k == 3 ? model[1] : 0.0;
    EXPECT_NEAR(e.mean[k], soil + bounce, 5e-3 * soil + 1e-3 * bounce) << "channel " << k;
  }
}

}  // namespace
}  // namespace velm
