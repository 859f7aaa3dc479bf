// The OptiX launches without a GPU: every check they make before device work, the launch
// records byte for byte, tiles and batches, the LiDAR beam, pulse kernel and bins, and the LiDAR
// post-processing kernels' bodies run on the host against the CPU waveform code.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "byte_table.h"
#include "optix/launch_plan.h"
#include "optix/microwave_plan.h"
#include "optix/programs.h"

namespace velm::optix {
namespace {

// A built-looking scene: a 10 m ground square of one Lambertian material, a sun, a constant sky,
// one band, an orthographic sensor over it.
void describe(SceneDescription& d) {
  HostMesh ground;
  ground.vertices = {{-5, -5, 0}, {5, -5, 0}, {5, 5, 0}, {-5, 5, 0}};
  ground.triangles = {{0, 1, 2}, {0, 2, 3}};
  d.add_mesh(ground);
  d.add_instance(0, 0, 0, 0, 1);
  d.set_num_bands(1);
  d.upload_spectral_params({0.5f, 100.f, 0.02f});
  d.add_material(0, 0, {});
  const float sun[3] = {0.f, 0.f, 2.f};
  d.set_emitter(0, sun, 1);
  d.set_sky(2);
  d.set_sensor(0, 4, 3, 10.f, 10.f, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1}, 60.f, 0,
               false);
}

SceneFacts built(const SceneDescription& d) {
  SceneFacts f;
  f.built = true;
  f.bounds = d.compute_bounds();
  f.n_primitives = 2;
  f.lookup_instances = 1;
  f.max_mesh_triangles = 2;
  return f;
}

template <class E>
void expect_message(const std::function<void()>& run, const std::string& message,
                    const std::string& label) {
  try {
    run();
    ADD_FAILURE() << label << ": no exception, expected " << message;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message) << label;
  } catch (const std::exception& e) {
    ADD_FAILURE() << label << ": wrong exception type: " << e.what();
  }
}

// ---- checks before device work ------------------------------------------------------------------

struct Case {
  const char* label;
  bool runtime;  // runtime_error (else invalid_argument)
  std::string message;
  std::function<void(SceneDescription&, SceneFacts&)> run;
};

TEST(OptixLaunchChecks, EveryMessageComesBeforeDeviceWork) {
  ForwardRequest fwd;
  fwd.layer_heights = {0.f, 1.f};
  fwd.num_photons = 1000;
  FluxRequest flux;
  flux.num_photons = 1000;
  EnergyBalanceRequest eb;
  lidar::LidarRequest li;
  const float o[3] = {0, 0, 10}, dn[3] = {0, 0, -1};
  li.pulse_origins = o;
  li.pulse_directions = dn;
  li.origin_rows = li.direction_rows = 1;
  li.num_pulses = 1;
  MicrowaveRequest mw;

  auto not_built = [](SceneFacts& f) { f.built = false; };
  const std::vector<Case> cases = {
      {"simulate unbuilt", true, "Scene not built. Call scene.build() first.",
       [&](SceneDescription& d, SceneFacts& f) { not_built(f); plan_backward(d, f, 1, 4); }},
      {"simulate spp", false, "simulate: spp must be at least 1",
       [&](SceneDescription& d, SceneFacts& f) { plan_backward(d, f, 0, 4); }},
      {"simulate sensor", false, "simulate: set_sensor: sensor type 7",
       [&](SceneDescription& d, SceneFacts& f) {
         d.set_sensor(7, 4, 4, 1.f, 1.f, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}, 60.f, 0, false);
         plan_backward(d, f, 1, 4);
       }},
      {"simulate stale temperatures", false, "simulate: the per-primitive temperatures hold 3",
       [&](SceneDescription& d, SceneFacts& f) {
         d.set_primitive_temperatures({300.f, 300.f, 300.f}, 3);
         plan_backward(d, f, 1, 4);
       }},
      {"forward unbuilt", true, "Scene not built.",
       [&](SceneDescription& d, SceneFacts& f) { not_built(f); plan_forward(d, f, fwd); }},
      {"forward layers", true, "layer_heights needs at least 2 values",
       [&](SceneDescription& d, SceneFacts& f) {
         ForwardRequest r = fwd;
         r.layer_heights = {0.f};
         plan_forward(d, f, r);
       }},
      {"forward layer order", false, "simulate_forward: layer_heights must be strictly increasing",
       [&](SceneDescription& d, SceneFacts& f) {
         ForwardRequest r = fwd;
         r.layer_heights = {0.f, 2.f, 1.f};
         plan_forward(d, f, r);
       }},
      {"forward brf rows", false, "simulate_forward: brf_directions holds fewer",
       [&](SceneDescription& d, SceneFacts& f) {
         ForwardRequest r = fwd;
         r.num_brf_dirs = 1;
         plan_forward(d, f, r);
       }},
      {"forward bands", false,
       "simulate_forward: num_bands (2) must equal the scene's band count (1, set_num_bands)",
       [&](SceneDescription& d, SceneFacts& f) {
         ForwardRequest r = fwd;
         r.num_bands = 2;
         plan_forward(d, f, r);
       }},
      {"forward no source", false, "simulate_forward: prob_sun is 0 but the scene has no sky",
       [&](SceneDescription& d, SceneFacts& f) {
         ForwardRequest r = fwd;
         r.prob_sun = 0.f;
         d.set_sky(-1);
         plan_forward(d, f, r);
       }},
      {"forward extent", false, "simulate_forward: no horizontal extent",
       [&](SceneDescription& d, SceneFacts& f) {
         d.set_sensor(0, 4, 3, 0.f, 0.f, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10}, 60.f, 0, false);
         plan_forward(d, f, fwd);
       }},
      {"forward tile", false, "simulate_forward: a repeating scene needs positive tile sizes",
       [&](SceneDescription& d, SceneFacts& f) {
         d.set_repetitive(2, 0.f, 10.f);
         plan_forward(d, f, fwd);
       }},
      {"flux unbuilt", true, "Scene not built.",
       [&](SceneDescription& d, SceneFacts& f) { not_built(f); plan_flux(d, f, flux); }},
      {"flux grid", false, "simulate_flux: nx and ny must be > 0",
       [&](SceneDescription& d, SceneFacts& f) {
         FluxRequest r = flux;
         r.ny = 0;
         plan_flux(d, f, r);
       }},
      {"flux photons", false, "simulate_flux: num_photons must be > 0",
       [&](SceneDescription& d, SceneFacts& f) {
         FluxRequest r = flux;
         r.num_photons = 0;
         plan_flux(d, f, r);
       }},
      {"flux extent", false, "simulate_flux: scene extent unknown",
       [&](SceneDescription& d, SceneFacts& f) {
         d.set_sensor(0, 4, 3, 0.f, 0.f, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10}, 60.f, 0, false);
         plan_flux(d, f, flux);
       }},
      {"flux bounces", false, "simulate_flux: max_bounces must not be negative",
       [&](SceneDescription& d, SceneFacts& f) {
         FluxRequest r = flux;
         r.max_bounces = -1;
         plan_flux(d, f, r);
       }},
      {"eb unbuilt", true, "Scene not built. Call scene.build() first.",
       [&](SceneDescription& d, SceneFacts& f) {
         not_built(f);
         plan_energy_balance(d, f, eb, false);
       }},
      {"eb primitives", true, "run_energy_balance: scene has 0 primitives",
       [&](SceneDescription& d, SceneFacts& f) {
         f.n_primitives = 0;
         plan_energy_balance(d, f, eb, false);
       }},
      {"eb samples", false, "run_energy_balance: n_samples must be > 0",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.n_samples = 0;
         plan_energy_balance(d, f, r, false);
       }},
      {"eb band type", false, "run_energy_balance: band_type must be 0",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.band_type = 2;
         plan_energy_balance(d, f, r, false);
       }},
      {"eb albedo count", false, "run_energy_balance: sw_albedos must have n_primitives (2)",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.sw_albedos = {0.1f};
         plan_energy_balance(d, f, r, false);
       }},
      {"eb albedo range", false, "run_energy_balance: sw_albedos of primitive 1 must lie in [0, 1]",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.sw_albedos = {0.1f, 1.5f};
         plan_energy_balance(d, f, r, false);
       }},
      {"eb irradiance", false, "run_energy_balance: sun_irradiance must be finite and not negative",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.sun_irradiance = -1.f;
         plan_energy_balance(d, f, r, false);
       }},
      {"eb stale emissivities", false, "run_energy_balance: the per-primitive emissivities hold 3",
       [&](SceneDescription& d, SceneFacts& f) {
         d.set_primitive_emissivities({0.9f, 0.9f, 0.9f}, 3);
         plan_energy_balance(d, f, eb, false);
       }},
      {"eb sun", false, "run_energy_balance: the sun direction must be a finite non-zero",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.sun_irradiance = 100.f;
         r.sun_direction[2] = 0.f;
         plan_energy_balance(d, f, r, false);
       }},
      {"eb geometry", true, "EB RRT: scene has no geometry. Call scene.build() first.",
       [&](SceneDescription& d, SceneFacts& f) {
         f.lookup_instances = 0;
         plan_energy_balance(d, f, eb, false);
       }},
      {"eb multiband bands", false, "run_energy_balance_multiband: n_bands must be > 0",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.n_bands = 0;
         plan_energy_balance(d, f, r, true);
       }},
      {"eb multiband albedos", false,
       "run_energy_balance_multiband: sw_albedos must have n_bands * n_primitives values",
       [&](SceneDescription& d, SceneFacts& f) {
         EnergyBalanceRequest r = eb;
         r.n_bands = 2;
         r.sw_albedos = {0.1f, 0.1f};
         plan_energy_balance(d, f, r, true);
       }},
      {"eb multiband geometry", true,
       "EB multiband RRT: scene has no geometry. Call scene.build() first.",
       [&](SceneDescription& d, SceneFacts& f) {
         f.max_mesh_triangles = 0;
         plan_energy_balance(d, f, eb, true);
       }},
      {"lidar unbuilt", true, "Scene not built.",
       [&](SceneDescription& d, SceneFacts& f) { not_built(f); plan_lidar(d, f, li); }},
      {"lidar pulses", false, "No pulses to simulate.",
       [&](SceneDescription& d, SceneFacts& f) {
         lidar::LidarRequest r = li;
         r.num_pulses = 0;
         plan_lidar(d, f, r);
       }},
      {"lidar beam", false, "beam_samples_per_dim must be between 0 and 4096, got -1",
       [&](SceneDescription& d, SceneFacts& f) {
         lidar::LidarRequest r = li;
         r.beam_samples_per_dim = -1;
         plan_lidar(d, f, r);
       }},
      {"lidar spectra", false, "material 0 reads spectral parameters 0 to 3",
       [&](SceneDescription& d, SceneFacts& f) {
         lidar::LidarRequest r = li;
         r.num_wavelengths = 4;
         plan_lidar(d, f, r);
       }},
      {"microwave unbuilt", true, "Scene not built. Call scene.build() first.",
       [&](SceneDescription& d, SceneFacts& f) { not_built(f); plan_microwave(d, f, mw); }},
      {"microwave channels", false, "simulate_microwave: n_channels must be 1, 2 or 4",
       [&](SceneDescription& d, SceneFacts& f) {
         MicrowaveRequest r = mw;
         r.n_channels = 3;
         plan_microwave(d, f, r);
       }},
      {"microwave map", false,
       "simulate_active_microwave: material_map[0] = 2 is neither -1 nor one of the 0",
       [&](SceneDescription& d, SceneFacts& f) {
         MicrowaveRequest r = mw;
         r.active = true;
         r.material_map = {2};
         plan_microwave(d, f, r);
       }},
      {"microwave vegetation", false, "simulate_microwave: microwave material 0 (vegetation) needs "
                                      "an absorption coefficient",
       [&](SceneDescription& d, SceneFacts& f) {
         MicrowaveRequest r = mw;
         MicrowaveMaterial m;
         m.type = kMicrowaveVegetation;
         m.p[0] = 290.f;
         m.p[1] = -1.f;
         r.materials = {m};
         plan_microwave(d, f, r);
       }},
      {"microwave trunk", false, "simulate_microwave: microwave material 1: ",
       [&](SceneDescription& d, SceneFacts& f) {
         MicrowaveRequest r = mw;
         MicrowaveMaterial soil, trunk;
         soil.type = kMicrowaveSoil;
         const float sp[12] = {0.4f, 0.2f, 0.2f, 0.1f, 0, 0, 0, 290, 290, 1, 0.01f, 0.04f};
         std::copy(sp, sp + 12, soil.p);
         trunk.type = kMicrowaveTrunk;  // radius 0: the double bounce refuses it
         trunk.p[6] = 1.f;
         r.materials = {soil, trunk};
         plan_microwave(d, f, r);
       }},
  };
  for (const Case& c : cases) {
    SceneDescription d(Flavor::OptiX);
    describe(d);
    SceneFacts f = built(d);
    auto run = [&] { c.run(d, f); };
    if (c.runtime)
      expect_message<std::runtime_error>(run, c.message, c.label);
    else
      expect_message<std::invalid_argument>(run, c.message, c.label);
  }
}

// ---- tiles, batches and launch pieces ----------------------------------------------------------

TEST(OptixLaunchPlans, TilesBatchesAndPieces) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  d.set_sensor(0, 4096, 4096, 10.f, 10.f, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10}, 60.f, 0, false);
  const BackwardPlan big = plan_backward(d, built(d), 2, 8);
  EXPECT_EQ(big.rows_per_launch, 1024u);
  EXPECT_EQ(big.launches_per_pass, 4u);
  d.set_sensor(0, 3000, 2000, 10.f, 10.f, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10}, 60.f, 0, false);
  const BackwardPlan odd = plan_backward(d, built(d), 1, 8);
  EXPECT_EQ(odd.rows_per_launch, 1398u);  // 2^22 / 3000
  EXPECT_EQ(odd.launches_per_pass, 2u);
  EXPECT_EQ(backward_launch_rows(odd, 1), 602u);
  d.set_sensor(0, 0, 0, 10.f, 10.f, {}, 60.f, 0, false);
  EXPECT_TRUE(plan_backward(d, built(d), 1, 8).empty());  // no sensor: an empty image

  const PhotonBatches one = photon_batches(1000);
  EXPECT_EQ(one.batch, 1024u);
  EXPECT_EQ(one.count(), 1u);
  EXPECT_EQ(one.rows(0), 1u);
  EXPECT_EQ(one.photons(0), 1000u);
  const PhotonBatches many = photon_batches(5000000);
  EXPECT_EQ(many.batch, 2097152u);
  ASSERT_EQ(many.count(), 3u);
  EXPECT_EQ(many.photons(2), 805696u);
  EXPECT_EQ(many.rows(2), 787u);

  EXPECT_EQ(energy_balance_chunks(65), (std::vector<std::pair<int32_t, int32_t>>{{0, 64}, {64, 1}}));
  SceneFacts f = built(d);
  f.max_mesh_triangles = 1 << 20;
  f.lookup_instances = 3000;
  EnergyBalanceRequest eb;
  const EnergyBalancePlan plan = plan_energy_balance(d, f, eb, false);
  uint64_t covered = 0;
  for (const EnergyBalanceLaunch& l : plan.launches) {
    EXPECT_LE(uint64_t{f.max_mesh_triangles} * l.instances * l.samples, kMaxLaunchSize);
    covered += uint64_t{l.instances} * l.samples;
  }
  EXPECT_EQ(covered, 3000u * 64u);
}

// ---- launch records, byte for byte ---------------------------------------------------------------

LaunchSceneBlock scene_block() {
  LaunchSceneBlock b;
  std::memset(static_cast<void*>(&b), 0, sizeof b);
  b.ias_handle = 0x11;
  b.num_bands = 1;
  b.sensor.width = 4;
  b.scene_size[0] = 30.f;
  b.scene_size[1] = 40.f;
  b.repetitions = 2;
  b.domain_max[2] = 9.f;
  return b;
}

const PathBuffers kPaths{0xa1, 0xa2, 0xa3, 0xa4, 4096};

void common(ByteTable& t, uint32_t width, uint32_t paths) {
  t.field(8, width);
  t.field(24, scene_block());
  t.field(472, uint64_t{0xa1});
  t.field(480, uint64_t{0xa2});
  t.field(488, paths);
  t.field(492, int32_t{1});
  t.field(504, uint64_t{0xa3});
  t.field(512, uint64_t{0xa4});
}

TEST(OptixLaunchRecords, OpticalLaunches) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const BackwardPlan bp = plan_backward(d, built(d), 5, 7);
  LaunchParams p = backward_params(scene_block(), bp, 0xf0, kPaths);
  set_backward_launch(p, bp, 3, 0);
  ByteTable b(bytes_of(p));
  b.field(0, uint64_t{0xf0});
  common(b, 4, 4096);
  b.field(12, uint32_t{3});  // image height
  b.field(20, uint32_t{3});  // rows of this launch (first row 0)
  b.field(520, int32_t{7});
  b.field(524, int32_t{3});
  b.field(528, int32_t{5});
  b.field(532, uint32_t{3});
  b.field(544, uint32_t{3});
  b.rest_zero();

  ForwardRequest fr;
  fr.nx = 2;
  fr.ny = 5;
  fr.layer_heights = {0.f, 1.f, 4.f};
  fr.num_photons = 3000000;
  fr.per_leaf = true;
  fr.brf_directions = {0.f, 0.f, 2.f};
  fr.num_brf_dirs = 1;
  fr.prob_sun = 0.75f;
  fr.terrain_instance_id = 0;
  const ForwardPlan fp = plan_forward(d, built(d), fr);
  EXPECT_EQ(fp.leaf_offsets, (std::vector<uint64_t>{0, 2}));
  ForwardBuffers fb{0xb1, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8};
  p = forward_params(scene_block(), fp, fb, kPaths);
  set_photon_batch(p, fp.batches, 1);
  ByteTable f(bytes_of(p));
  common(f, 1024, 882 * 1024);  // the second batch: 902848 photons in 882 rows of 1024
  f.field(12, uint32_t{882});
  f.field(520, int32_t{16});
  f.field(524, int32_t{3});
  f.field(528, int32_t{1});
  f.field(532, uint32_t{1});
  f.field(544, uint32_t{1});
  f.field(552, uint64_t{0xb1});
  f.field(560, int32_t{2});
  f.field(564, int32_t{5});
  f.field(568, int32_t{2});
  f.field(572, 5.f);  // 10 m sensor footprint over 2 cells
  f.field(576, 2.f);
  f.field(584, uint64_t{0xb2});
  f.field(592, 100.0 / 3000000.0);
  f.field(600, 0.75f);
  f.field(608, uint64_t{0xb3});
  f.field(616, uint64_t{0xb4});
  f.field(624, uint32_t{2});
  f.field(628, uint8_t{1});
  f.field(632, uint64_t{0xb5});
  f.field(640, int32_t{0});
  f.field(644, uint32_t{902848});
  f.field(648, uint64_t{0xb6});
  f.field(656, uint64_t{0xb7});
  f.field(664, uint64_t{0xb8});
  f.field(672, int32_t{1});
  f.field(676, 4.f);
  f.rest_zero();

  FluxRequest xr;
  xr.nx = 4;
  xr.ny = 2;
  xr.num_photons = 1000;
  xr.prob_sun = 0.5f;
  xr.max_bounces = 2;
  xr.max_depth = 9;
  xr.rr_depth = 4;
  xr.decompose = true;
  const FluxPlan xp = plan_flux(d, built(d), xr);
  p = flux_params(scene_block(), xp, {0xc1, 0xc2, 0xc3, 0xc4}, kPaths);
  set_photon_batch(p, xp.batches, 0);
  ByteTable x(bytes_of(p));
  common(x, 1024, 1024);
  x.field(12, uint32_t{1});
  x.field(520, int32_t{9});
  x.field(524, int32_t{4});
  x.field(528, int32_t{1});
  x.field(592, 100.0 / 1000.0);
  x.field(600, 0.5f);
  x.field(644, uint32_t{1000});
  x.field(912, uint64_t{0xc1});
  x.field(920, uint64_t{0xc2});
  x.field(928, uint64_t{0xc3});
  x.field(936, uint64_t{0xc4});
  x.field(944, int32_t{4});
  x.field(948, int32_t{2});
  x.field(952, 2.5f);
  x.field(956, 5.f);
  x.field(960, int32_t{2});
  x.rest_zero();
}

TEST(OptixLaunchRecords, EnergyBalanceAndLidar) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  EnergyBalanceRequest r;
  r.band_type = 1;
  r.n_samples = 16;
  r.sun_irradiance = 800.f;
  r.sky_diffuse_radiance = 20.f;
  r.sky_lw_radiance = 90.f;
  r.sun_direction[0] = 3.f;
  r.sun_direction[2] = 4.f;
  r.sw_albedos = {0.2f, 0.3f};
  const EnergyBalancePlan single = plan_energy_balance(d, built(d), r, false);
  ASSERT_EQ(single.launches.size(), 1u);
  LaunchParams p = energy_balance_params(scene_block(), single, r, 1, {0xd1, 0xd2, 0xd3, 0, 0});
  set_energy_balance_launch(p, single.launches[0]);
  ByteTable e(bytes_of(p));
  e.field(24, scene_block());
  e.field(856, int32_t{1});
  e.field(860, int32_t{16});
  e.field(864, 800.f);
  e.field(868, 20.f);
  e.field(872, 90.f);
  // Long wave: no sunlight read, so the sun direction is left at the zenith.
  const float zenith[3] = {0.f, 0.f, 1.f};
  e.field(876, zenith);
  e.field(888, uint64_t{0xd1});
  e.field(896, uint64_t{0xd2});
  e.field(904, uint64_t{0xd3});
  e.rest_zero();

  r.n_bands = 2;
  r.two_sided = false;
  r.sun_irradiances = {800.f, 700.f};
  r.sw_albedos = {0.1f, 0.2f, 0.3f, 0.4f};
  const EnergyBalancePlan multi = plan_energy_balance(d, built(d), r, true);
  p = energy_balance_params(scene_block(), multi, r, 2, {0xd1, 0xd2, 0xd3, 0xd4, 0xd5});
  ByteTable m(bytes_of(p));
  m.field(24, scene_block());
  m.field(860, int32_t{16});
  const float sun[3] = {0.6f, 0.f, 0.8f};
  m.field(876, sun);
  m.field(964, int32_t{2});
  m.field(968, uint64_t{0xd4});
  m.field(976, uint64_t{0xd5});
  m.field(984, uint64_t{0xd1});
  m.field(1000, uint64_t{0xd3});
  m.rest_zero();

  const float o[6] = {0, 0, 10, 1, 1, 10}, dn[6] = {0, 0, -2, 0, 0, -1};
  lidar::LidarRequest li;
  li.pulse_origins = o;
  li.pulse_directions = dn;
  li.origin_rows = li.direction_rows = 2;
  li.num_pulses = 2;
  li.max_returns_per_pulse = 3;
  const LidarPlan lp = plan_lidar(d, built(d), li);
  EXPECT_EQ(lp.directions, (std::vector<float>{0, 0, -1, 0, 0, -1}));
  LidarBuffers lb{0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea};
  ByteTable l(bytes_of(lidar_params(scene_block(), lp, li, lb, kPaths)));
  l.field(24, scene_block());
  l.field(472, uint64_t{0xa1});
  l.field(488, uint32_t{4096});
  l.field(492, int32_t{1});
  l.field(520, int32_t{1});
  l.field(524, int32_t{999});
  l.field(544, uint32_t{1});
  l.field(680, uint64_t{0xe1});
  l.field(688, uint64_t{0xe2});
  l.field(696, int32_t{2});
  l.field(704, uint64_t{0xe3});
  l.field(712, uint64_t{0xe4});
  l.field(720, int32_t{81});
  l.field(724, 0.0005f);
  l.field(728, 1.f);
  l.field(732, 0.1f);
  l.field(736, 0.15f);
  l.field(740, 0.f);
  l.field(744, 100.f);
  l.field(748, int32_t{667});
  l.field(752, int32_t{1});
  l.field(756, uint32_t{1});
  l.field(760, uint64_t{0xe5});
  l.field(768, uint64_t{0xe6});
  l.field(776, uint64_t{0xe7});
  l.field(792, int32_t{6});
  l.field(800, uint64_t{0xe8});
  l.field(808, int32_t{13});
  l.field(812, int32_t{6});
  l.field(816, 1e-8f);
  l.field(820, int32_t{3});
  l.rest_zero();

  li.direct_mode = true;
  const LidarPlan dp = plan_lidar(d, built(d), li);
  ASSERT_EQ(dp.beam.size(), 1u);
  const LaunchParams q = lidar_params(scene_block(), dp, li, lb, kPaths);
  EXPECT_EQ(q.lidar_raw_waveform, 0u);
  EXPECT_EQ(q.lidar_direct_mode, 1);
  EXPECT_EQ(q.lidar_direct_points, 0xe9u);
  EXPECT_EQ(q.lidar_direct_count, 0xeau);
  EXPECT_EQ(q.lidar_direct_pulses, 2);
}

TEST(OptixLaunchRecords, Microwave) {
  MicrowaveMaterial soil;
  soil.type = kMicrowaveSoil;
  for (int k = 0; k < 12; ++k) soil.p[k] = 0.5f + k;
  soil.p[9] = 2.9f;  // the dielectric model, truncated
  soil.p[10] = 0.f;  // rms height: not positive, so 0.008
  soil.p[11] = -1.f;
  ByteTable s(bytes_of(microwave_record(soil)));
  s.field(0, int32_t{1});
  const float p1_8[8] = {0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f};
  s.field(8, p1_8);
  s.field(40, 8.5f);
  s.field(44, int32_t{2});
  s.field(48, 0.008f);
  s.field(52, 0.04f);
  s.rest_zero();

  MicrowaveMaterial veg;
  veg.type = kMicrowaveVegetation;
  for (int k = 0; k < 8; ++k) veg.p[k] = 10.f + k;
  veg.n_cti = 2;
  veg.n_cts = 3;
  veg.n_dphi = 4;
  veg.mueller.assign(2 * 3 * 4 * 16, 0.f);
  veg.cos_cdf.assign(2 * 3, 1.f);
  veg.phi_cdf.assign(2 * 3 * 4, 1.f);
  ByteTable v(bytes_of(microwave_record(veg)));
  v.field(0, int32_t{2});
  const float v1_8[8] = {10, 11, 12, 13, 14, 15, 16, 17};
  v.field(8, v1_8);
  const int32_t dims[3] = {2, 3, 4};
  v.field(64, dims);
  v.rest_zero();

  MicrowaveMaterial trunk;
  trunk.type = kMicrowaveTrunk;
  for (int k = 0; k < 12; ++k) trunk.p[k] = 20.f + k;
  trunk.specular.assign(5 * 16, 1.f);
  trunk.n_cos = 5;
  ByteTable t(bytes_of(microwave_record(trunk)));
  t.field(0, int32_t{3});
  const float t1_7[7] = {20, 21, 22, 23, 24, 25, 26};
  t.field(8, t1_7);
  t.field(88, int32_t{5});
  t.rest_zero();

  const std::vector<uint64_t> states = microwave_random_states(3);
  for (uint64_t i = 0; i < 3; ++i) {
    const uint64_t inc = 26 * i + 15;
    EXPECT_EQ(states[2 * i + 1], inc);
    EXPECT_EQ(states[2 * i], inc * 0x5851F42D4C957F2EULL + i * 0xDD71370215ED71FDULL +
                                 0xB1EC917C461A6673ULL);
  }

  SceneDescription d(Flavor::OptiX);
  describe(d);
  MicrowaveRequest req;
  req.frequency = 1.4e9f;
  req.n_channels = 4;
  req.spp = 8;
  req.max_depth = 3;
  req.air_temperature = 280.f;
  req.atm_tau = 0.02f;
  req.materials = {veg};
  req.material_map = {0};
  const MicrowavePlan plan = plan_microwave(d, built(d), req);
  EXPECT_NEAR(plan.wavelength, 0.2141f, 1e-4f);
  ByteTable m(bytes_of(microwave_params(scene_block(), plan, req,
                                        {0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6})));
  m.field(0, uint64_t{0xf1});
  m.field(8, uint32_t{4});
  m.field(12, uint32_t{3});
  m.field(16, int32_t{4});
  m.field(20, uint32_t{kResponseTableSize});
  m.field(24, uint64_t{0x11});
  m.field(32, uint64_t{0xf2});
  m.field(40, uint32_t{1});
  m.field(48, uint64_t{0xf3});
  m.field(56, 1.4e9f);
  m.field(60, plan.wavelength);
  m.field(64, 280.f);
  m.field(68, 0.02f);
  m.field(72, scene_block().sensor);
  m.field(208, int32_t{3});
  m.field(212, int32_t{8});
  m.field(216, uint64_t{0xf6});
  m.field(224, uint64_t{0xf4});
  m.field(232, uint64_t{0xf5});
  m.field(240, uint32_t{12});
  const float size[2] = {30.f, 40.f};
  m.field(260, size);
  m.field(268, 9.f);
  m.field(272, int32_t{2});
  m.rest_zero();
}

// ---- LiDAR beam, kernel, bins and post-processing ----------------------------------------------

TEST(OptixLidar, BeamKernelAndBins) {
  SceneDescription d(Flavor::OptiX);
  describe(d);
  const float o[3] = {0, 0, 10}, dn[3] = {0, 0, -1};
  lidar::LidarRequest li;
  li.pulse_origins = o;
  li.pulse_directions = dn;
  li.origin_rows = li.direction_rows = 1;
  li.num_pulses = 1;
  const LidarPlan plan = plan_lidar(d, built(d), li);
  EXPECT_EQ(plan.bins, 667);
  EXPECT_EQ(plan.kernel.half_width, 6);
  EXPECT_EQ(plan.kernel.taps.size(), 13u);
  EXPECT_EQ(plan.beam.size(), 81u);  // the 11 x 11 lattice clipped to the disc
  double sum = 0.0;
  for (const lidar::BeamSample& s : plan.beam) sum += s.weight;
  EXPECT_NEAR(sum, 1.0, 1e-6);
  li.beam_samples_per_dim = 0;
  const LidarPlan central = plan_lidar(d, built(d), li);
  ASSERT_EQ(central.beam.size(), 1u);
  EXPECT_EQ(central.beam[0].weight, 1.f);
  EXPECT_EQ(beam_offsets(central.beam), (std::vector<float>{0.f, 0.f}));

  // Direct points come back in the order pulses finished; records are in pulse order.
  const float points[12] = {1, 2, 3, 0.5f, 7, 9.5f, 4, 5, 6, 0.25f, 2, 3.5f};
  EXPECT_EQ(direct_point_records(points, 2),
            (std::vector<float>{4, 5, 6, 0.25f, 1, 1, 3.5f, 2, 1, 2, 3, 0.5f, 1, 1, 9.5f, 7}));
}

TEST(OptixPrograms, HelpersAreInlinedIntoTheirEntryPoints) {
  // Device functions of their own would be symbols shared by the modules of a pipeline.
  for (const ProgramModule& m : kProgramModules)
    EXPECT_EQ(read_ptx(VELM_PTX_DIR, m.name).find(".func"), std::string::npos) << m.name;
}

TEST(OptixLidar, KernelBodiesMatchTheCpuWaveformCode) {
  // Sparse raw waveforms with clusters, lone returns, plateaus and empty pulses, several
  // wavelengths; the three kernels' bodies run per item on the host against the CPU's
  // whole-pulse processing.
  const int32_t pulses = 40, bins = 300, nw = 3, max_returns = 4;
  lidar::WaveformSettings ws;
  ws.num_bins = bins;
  ws.num_wavelengths = nw;
  ws.range_resolution = 0.15f;
  ws.min_range = 2.f;
  ws.peak_threshold = 1e-4f;
  ws.max_returns_per_pulse = max_returns;
  const lidar::WaveformProcessor cpu(ws);
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  std::vector<float> raw(static_cast<size_t>(pulses) * bins * nw, 0.f), origins, directions;
  for (int32_t p = 0; p < pulses; ++p) {
    origins.insert(origins.end(), {u(gen), u(gen), 50.f});
    directions.insert(directions.end(), {0.f, 0.6f, -0.8f});
    if (p % 7 == 3) continue;  // empty pulse
    for (int k = 0; k < 6; ++k) {
      const int32_t b = static_cast<int32_t>(u(gen) * (bins - 1));
      for (int w = 0; w < nw; ++w) raw[(static_cast<size_t>(p) * bins + b) * nw + w] += u(gen);
    }
    if (p % 5 == 0)  // a plateau
      for (int w = 0; w < nw; ++w) raw[(static_cast<size_t>(p) * bins + 100) * nw + w] =
          raw[(static_cast<size_t>(p) * bins + 101) * nw + w] = 2.f;
  }
  std::vector<float> cpu_wave = raw;
  const std::vector<float> cpu_points =
      cpu.process_all(cpu_wave.data(), pulses, origins.data(), directions.data(), 2);

  const int32_t h = cpu.kernel().half_width;
  std::vector<int32_t> ranges(2 * pulses), counts(pulses);
  std::vector<float> conv(raw.size(), 0.f), slots(static_cast<size_t>(pulses) * max_returns * 8);
  for (int32_t p = 0; p < pulses; ++p) lidar::find_active_range_item(p, raw.data(), ranges.data(), bins, nw);
  for (uint64_t i = 0; i < static_cast<uint64_t>(pulses) * bins; ++i)
    lidar::convolve_active_item(i, raw.data(), conv.data(), cpu.kernel().taps.data(),
                                ranges.data(), bins, nw, h);
  for (int32_t p = 0; p < pulses; ++p)
    lidar::extract_peak_slots_item(p, conv.data(), ranges.data(), origins.data(),
                                   directions.data(), slots.data(), counts.data(), bins, nw, h,
                                   ws.min_range, ws.range_resolution, ws.peak_threshold,
                                   max_returns);
  EXPECT_EQ(conv, cpu_wave);
  EXPECT_EQ(slot_point_records(slots, counts, max_returns), cpu_points);
  EXPECT_GT(cpu_points.size(), 8u * pulses);
}

}  // namespace
}  // namespace velm::optix
