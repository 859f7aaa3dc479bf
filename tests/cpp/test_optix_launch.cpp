// The OptiX launches without a GPU: every check they make before device work, the launch
// records byte for byte, tiles and batches, the LiDAR beam, pulse kernel and bins, and the LiDAR
// post-processing kernels' bodies run on the host against the CPU waveform code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "optix/launch_plan.h"
#include "optix/programs.h"
#include "physics/microwave_tables.h"
#include "sim/microwave_plan.h"
#include "optix_test_support.h"

namespace velm::optix {
namespace {

// An orthographic sensor of width x height pixels over ortho x ortho m, 10 m up.
void sensor(SceneDescription& d, int32_t type, int32_t width, int32_t height, float ortho) {
  d.set_sensor(type, width, height, ortho, ortho, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1},
               60.f, 0, false);
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

// A built-looking scene: a 10 m ground square of one Lambertian material, a sun, a constant sky,
// one band, a 4 x 3 orthographic sensor over it; and requests of every kind that pass their
// checks (one pulse straight down from 10 m).
struct Ground {
  SceneDescription d{Flavor::OptiX};
  SceneFacts f;
  int spp = 1;
  ForwardRequest fwd;
  FluxRequest flux;
  EnergyBalanceRequest eb;
  lidar::LidarRequest li;
  MicrowaveRequest mw;
  const float origin[3] = {0, 0, 10}, down[3] = {0, 0, -1};

  Ground() {
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
    sensor(d, 0, 4, 3, 10.f);
    f = built(d);
    fwd.layer_heights = {0.f, 1.f};
    fwd.num_photons = flux.num_photons = 1000;
    li.pulse_origins = origin;
    li.pulse_directions = down;
    li.origin_rows = li.direction_rows = li.num_pulses = 1;
  }
  Ground(const Ground&) = delete;
};

MicrowaveMaterial material(int32_t type, std::initializer_list<float> p) {
  MicrowaveMaterial m;
  m.type = type;
  std::copy(p.begin(), p.end(), m.p);
  return m;
}

// ---- checks before device work ------------------------------------------------------------------

enum Plan { kBackward, kForward, kFlux, kEnergyBalance, kMultiband, kLidar, kMicrowave };

void plan(Plan which, const Ground& s) {
  switch (which) {
    case kBackward: (void)plan_backward(s.d, s.f, s.spp, 4); break;
    case kForward: (void)plan_forward(s.d, s.f, s.fwd); break;
    case kFlux: (void)plan_flux(s.d, s.f, s.flux); break;
    case kEnergyBalance: (void)plan_energy_balance(s.d, s.f, s.eb, false); break;
    case kMultiband: (void)plan_energy_balance(s.d, s.f, s.eb, true); break;
    case kLidar: (void)plan_lidar(s.d, s.f, s.li); break;
    case kMicrowave: (void)plan_optix_microwave(s.d, s.f, s.mw); break;
  }
}

// Every check made before device work, in one table. Rows with a message give how it starts; rows
// with a name are the OptiX column of tests/test_bad_input.py (the same bad inputs under the same
// names, refused with the exception type the CPU and Vulkan backends raise).
TEST(OptixLaunchChecks, EveryRefusalComesBeforeDeviceWorkWithItsTypeAndMessage) {
  using S = Ground&;
  enum Kind { kValue, kIndex, kState };  // invalid_argument, out_of_range, runtime_error
  const std::function<void(S)> unbuilt = [](S s) { s.f.built = false; };
  const std::function<void(S)> flat = [](S s) { sensor(s.d, 0, 4, 3, 0.f); };
  // A sensor of `type` over 5 m x `ortho` m; `m0` (other than 1) fills the camera's 3 x 4 part.
  const auto camera = [](S s, int32_t type, float m0, float fov_degrees, float ortho = 5.f) {
    std::vector<float> m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1};
    if (m0 != 1.f) std::fill(m.begin(), m.begin() + 12, m0);
    s.d.set_sensor(type, 4, 4, 5.f, ortho, m, fov_degrees, 0, false);
  };
  const auto soil = [] {
    return material(kMicrowaveSoil, {0.3f, 0.2f, 0.3f, 0.2f, 0, 0, 0.1f, 295, 290, 1, 0.01f, 0});
  };
  const auto new_mesh = [](S s, uint32_t material) {
    HostMesh m;
    m.vertices = {{-1, -1, 1}, {1, -1, 1}, {1, 1, 1}};
    m.triangles = {{0, 1, 2}};
    m.material_id = material;
    s.d.add_instance(s.d.add_mesh(m), 0, 0, 0, 1);
  };
  const struct {
    Plan plan;
    Kind kind;
    const char* message;  // how the message starts; nullptr: the type alone
    std::function<void(S)> change;
    const char* name = nullptr;  // the row's name in tests/test_bad_input.py
  } cases[] = {
      {kBackward, kState, "Scene not built. Call scene.build() first.", unbuilt, "unbuilt"},
      {kBackward, kValue, "simulate: spp must be at least 1", [](S s) { s.spp = 0; }, "spp 0"},
      {kBackward, kState, "simulate: set_sensor: sensor type 7",
       [&](S s) { camera(s, 7, 1.f, 60.f); }, "sensor type 7"},
      {kBackward, kValue, "simulate: the per-primitive temperatures hold 3",
       [](S s) { s.d.set_primitive_temperatures({300.f, 300.f, 300.f}, 3); }},
      {kBackward, kValue, nullptr, [&](S s) { camera(s, 0, NAN, 60.f); }, "camera not finite"},
      {kBackward, kValue, nullptr, [&](S s) { camera(s, 0, 0.f, 60.f); }, "camera degenerate"},
      {kBackward, kValue, nullptr, [&](S s) { camera(s, 1, 1.f, 180.f); }, "perspective fov 180"},
      {kBackward, kIndex, nullptr, [&](S s) { new_mesh(s, 4); }, "mesh material outside the list"},
      {kBackward, kIndex, nullptr,
       [&](S s) { new_mesh(s, static_cast<uint32_t>(s.d.add_material(13, 1, {}))); },
       "material block past the buffer"},
      {kBackward, kIndex, nullptr, [](S s) { s.d.set_emitter(0, s.down, 5); },
       "sun block past the buffer"},
      {kBackward, kIndex, nullptr, [](S s) { s.d.set_sky(5); }, "sky block past the buffer"},
      {kBackward, kIndex, nullptr, [](S s) { s.d.set_hw_sky(0, 0.f, 1.f, 0.f); },
       "analytic sky past the buffer"},
      {kBackward, kValue, nullptr, [](S s) { s.d.upload_spectral_params({1.5f, 100.f, 0.02f}); },
       "reflectance above 1"},
      {kForward, kValue, nullptr, [](S s) { s.d.upload_spectral_params({NAN, 100.f, 0.02f}); },
       "reflectance not a number"},
      {kBackward, kValue, nullptr,
       [&](S s) {
         s.d.upload_spectral_params({0.5f, 100.f, 0.02f, 0.6f, 0.1f, 0.5f});
         new_mesh(s, static_cast<uint32_t>(s.d.add_material(13, 3, {})));
       },
       "leaf scattering more than it receives"},
      {kBackward, kValue, nullptr,
       [](S s) {
         const float zero[3] = {0, 0, 0};
         s.d.set_emitter(0, zero, 1);
       },
       "sun direction zero"},
      {kForward, kValue, nullptr,
       [](S s) {
         const float up[3] = {0, 0, INFINITY};
         s.d.set_emitter(0, up, 1);
       },
       "sun direction infinite"},
      {kFlux, kValue, nullptr,
       [](S s) {
         s.d.upload_spectral_params(std::vector<float>(13, 0.5f));
         s.d.set_hw_sky(3, 0.f, 0.f, 0.f);
       },
       "analytic sky's sun zero"},
      {kBackward, kValue, nullptr, [](S s) { s.d.set_thermal_mode(true, {}); },
       "thermal without wavelengths"},
      {kBackward, kValue, nullptr,
       [](S s) {
         s.d.add_material(0, 0, {0, 0, NAN});
         s.d.set_thermal_mode(true, {1e4f});
       },
       "thermal temperature not a number"},
      {kBackward, kValue, nullptr, [](S s) { s.d.add_instance(0, 0, 0, 0, 0.f); },
       "singular instance"},
      {kForward, kState, "Scene not built.", unbuilt},
      {kForward, kState, "layer_heights needs at least 2 values",
       [](S s) { s.fwd.layer_heights = {0.f}; }},
      {kForward, kValue, "simulate_forward: layer_heights must be strictly increasing",
       [](S s) { s.fwd.layer_heights = {0.f, 2.f, 1.f}; }, "layers not increasing"},
      {kForward, kValue, "simulate_forward: brf_directions holds fewer",
       [](S s) { s.fwd.num_brf_dirs = 1; }},
      {kForward, kValue,
       "simulate_forward: num_bands (2) must equal the scene's band count (1, set_num_bands)",
       [](S s) { s.fwd.num_bands = 2; }},
      {kForward, kValue, "simulate_forward: prob_sun is 0 but the scene has no sky",
       [](S s) {
         s.fwd.prob_sun = 0.f;
         s.d.set_sky(-1);
       },
       "prob_sun 0 without a sky"},
      {kForward, kState, "simulate_forward: no horizontal extent", flat},
      {kForward, kValue, "simulate_forward: a repeating scene needs positive tile sizes",
       [](S s) { s.d.set_repetitive(2, 0.f, 10.f); }},
      {kForward, kValue, nullptr, [](S s) { s.d.set_repetitive(2, INFINITY, 10.f); },
       "infinite tile"},
      {kForward, kValue, nullptr, [](S s) { s.fwd.num_photons = 0; }, "no photons"},
      {kForward, kValue, nullptr, [&](S s) { camera(s, 0, 1.f, 60.f, INFINITY); },
       "infinite orthographic extent"},
      {kForward, kIndex, nullptr, [](S s) { s.fwd.terrain_instance_id = 1; },
       "terrain instance beyond the scene"},
      {kFlux, kState, "Scene not built.", unbuilt},
      {kFlux, kValue, "simulate_flux: nx and ny must be > 0", [](S s) { s.flux.nx = 0; }, "nx 0"},
      {kFlux, kValue, "simulate_flux: num_photons must be > 0",
       [](S s) { s.flux.num_photons = 0; }},
      {kFlux, kState, "simulate_flux: scene extent unknown", flat},
      {kFlux, kState, nullptr, [&](S s) { camera(s, 1, 1.f, 60.f, 0.f); }, "no horizontal extent"},
      {kFlux, kValue, "simulate_flux: max_bounces must not be negative",
       [](S s) { s.flux.max_bounces = -1; }},
      {kFlux, kValue, nullptr, [](S s) { s.flux.prob_sun = 1.5f; }, "prob_sun above 1"},
      {kEnergyBalance, kState, "Scene not built. Call scene.build() first.", unbuilt,
       "energy balance unbuilt"},
      {kEnergyBalance, kState, "run_energy_balance: scene has 0 primitives",
       [](S s) { s.f.n_primitives = 0; }},
      {kEnergyBalance, kValue, "run_energy_balance: n_samples must be > 0",
       [](S s) { s.eb.n_samples = 0; }, "energy balance no samples"},
      {kEnergyBalance, kValue, "run_energy_balance: band_type must be 0",
       [](S s) { s.eb.band_type = 2; }, "energy balance band_type 2"},
      {kEnergyBalance, kValue, "run_energy_balance: sw_albedos must have n_primitives (2)",
       [](S s) { s.eb.sw_albedos = {0.1f}; }, "energy balance albedos of another length"},
      {kEnergyBalance, kValue, "run_energy_balance: sw_albedos of primitive 1 must lie in [0, 1]",
       [](S s) { s.eb.sw_albedos = {0.1f, 1.5f}; }, "energy balance albedo above 1"},
      {kEnergyBalance, kValue,
       "run_energy_balance: sun_irradiance must be finite and not negative",
       [](S s) { s.eb.sun_irradiance = -1.f; }, "energy balance sunlight negative"},
      {kEnergyBalance, kValue, "run_energy_balance: the per-primitive emissivities hold 3",
       [](S s) { s.d.set_primitive_emissivities({0.9f, 0.9f, 0.9f}, 3); }},
      {kEnergyBalance, kValue, "run_energy_balance: the sun direction must be a finite non-zero",
       [](S s) {
         s.eb.sun_irradiance = 800.f;
         s.eb.sun_direction[2] = 0.f;
       },
       "energy balance sun direction zero"},
      {kEnergyBalance, kValue, nullptr,
       [](S s) {
         s.eb.sun_irradiance = 800.f;
         s.eb.sun_direction[2] = INFINITY;
       },
       "energy balance sun direction infinite"},
      {kEnergyBalance, kState, "EB RRT: scene has no geometry. Call scene.build() first.",
       [](S s) { s.f.lookup_instances = 0; }},
      {kMultiband, kValue, "run_energy_balance_multiband: n_bands must be > 0",
       [](S s) { s.eb.n_bands = 0; }, "multiband no bands"},
      {kMultiband, kValue,
       "run_energy_balance_multiband: sw_albedos must have n_bands * n_primitives values",
       [](S s) {
         s.eb.n_bands = 2;
         s.eb.sw_albedos = {0.1f, 0.1f, 0.1f};
       },
       "multiband albedos of another length"},
      {kMultiband, kState, "EB multiband RRT: scene has no geometry. Call scene.build() first.",
       [](S s) { s.f.max_mesh_triangles = 0; }},
      {kLidar, kState, "Scene not built.", unbuilt},
      {kLidar, kValue, "No pulses to simulate.", [](S s) { s.li.num_pulses = 0; }},
      {kLidar, kValue, "beam_samples_per_dim must be between 0 and 4096, got -1",
       [](S s) { s.li.beam_samples_per_dim = -1; }},
      {kLidar, kValue, "material 0 reads spectral parameters 0 to 3",
       [](S s) { s.li.num_wavelengths = 4; }},
      {kMicrowave, kState, "Scene not built. Call scene.build() first.", unbuilt,
       "microwave unbuilt"},
      {kMicrowave, kValue, "simulate_microwave: n_channels must be 1, 2 or 4",
       [](S s) { s.mw.n_channels = 3; }},
      {kMicrowave, kValue, nullptr, [](S s) { s.mw.max_depth = 0; }, "microwave max_depth 0"},
      {kMicrowave, kValue, nullptr, [](S s) { s.mw.air_temperature = NAN; },
       "microwave air temperature not a number"},
      {kMicrowave, kValue, nullptr, [](S s) { s.mw.atm_tau = -1.f; },
       "microwave atmosphere negative"},
      {kMicrowave, kValue, nullptr,
       [&](S s) {
         s.mw.materials = {soil()};
         s.mw.material_map = {1};
       },
       "microwave material map beyond the materials"},
      {kMicrowave, kValue,
       "simulate_microwave: microwave material 0 (vegetation) needs an absorption coefficient",
       [](S s) { s.mw.materials = {material(kMicrowaveVegetation, {290.f, -1.f})}; },
       "microwave vegetation absorbing negatively"},
      {kMicrowave, kValue,
       "simulate_microwave: microwave material 0 has a cumulative distribution that is negative "
       "or decreases",
       [](S s) {
         MicrowaveMaterial m = material(kMicrowaveVegetation, {290.f, 0.1f});
         m.n_cti = m.n_cts = 1;
         m.n_dphi = 2;
         m.mueller.assign(32, 0.f);
         m.cos_cdf = {1.f};
         m.phi_cdf = {1.f, 0.5f};
         s.mw.materials = {m};
       }},
      {kMicrowave, kState, nullptr,
       [](S s) {
         s.mw.active = true;
         s.f.built = false;
       },
       "radar unbuilt"},
      {kMicrowave, kValue,
       "simulate_active_microwave: material_map[0] = 2 is neither -1 nor one of the 0",
       [](S s) {
         s.mw.active = true;
         s.mw.material_map = {2};
       }},
      {kMicrowave, kValue, nullptr,
       [&](S s) {
         s.mw.active = true;
         s.mw.materials = {soil()};
         s.mw.material_map = {1};
       },
       "radar material map beyond the materials"},
      // A trunk of radius 0 over a soil: the radar's double bounce refuses it.
      {kMicrowave, kValue, "simulate_active_microwave: microwave material 1: ", [](S s) {
         s.mw.active = true;
         s.mw.materials = {material(kMicrowaveSoil, {0.4f, 0.2f, 0.2f, 0.1f, 0, 0, 0, 290, 290, 1,
                                                     0.01f, 0.04f}),
                           material(kMicrowaveTrunk, {0, 0, 0, 0, 0, 0, 1.f})};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name ? c.name : c.message);
    Ground s;
    c.change(s);
    s.f.bounds = s.d.compute_bounds();  // what the build would make of the changed description
    const auto run = [&] { plan(c.plan, s); };
    const std::string got = c.kind == kState   ? message_of<std::runtime_error>(run)
                            : c.kind == kIndex ? message_of<std::out_of_range>(run)
                                               : message_of<std::invalid_argument>(run);
    if (c.message) {
      EXPECT_EQ(got.substr(0, std::strlen(c.message)), c.message);
    } else {
      EXPECT_NE(got.rfind("wrong exception type", 0), 0u) << got;
      EXPECT_NE(got, "no exception");
    }
  }
}

// ---- tiles, batches and launch pieces ----------------------------------------------------------

TEST(OptixLaunchPlans, TilesBatchesAndPieces) {
  Ground s;
  sensor(s.d, 0, 4096, 4096, 10.f);
  const BackwardPlan big = plan_backward(s.d, built(s.d), 2, 8);
  EXPECT_EQ(big.rows_per_launch, 1024u);
  EXPECT_EQ(big.launches_per_pass, 4u);
  sensor(s.d, 0, 3000, 2000, 10.f);
  const BackwardPlan odd = plan_backward(s.d, built(s.d), 1, 8);
  EXPECT_EQ(odd.rows_per_launch, 1398u);  // 2^22 / 3000
  EXPECT_EQ(odd.launches_per_pass, 2u);
  EXPECT_EQ(backward_launch_rows(odd, 1), 602u);
  sensor(s.d, 0, 0, 0, 10.f);
  EXPECT_TRUE(plan_backward(s.d, built(s.d), 1, 8).empty());  // no sensor: an empty image

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
  SceneFacts f = built(s.d);
  f.max_mesh_triangles = 1 << 20;
  f.lookup_instances = 3000;
  const EnergyBalancePlan plan = plan_energy_balance(s.d, f, s.eb, false);
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

// The part every optical launch shares: width, scene block, and kPaths for `paths` paths.
Fields common(uint32_t width, uint32_t paths) {
  return {{8, width},       {24, scene_block()}, {472, u64{0xa1}},  {480, u64{0xa2}},
          {488, paths},     {492, 1},            {504, u64{0xa3}},  {512, u64{0xa4}}};
}

TEST(OptixLaunchRecords, OpticalLaunches) {
  Ground s;
  // Every optical launch carries the run's seed, all 64 bits of it, at 496.
  const BackwardPlan bp = plan_backward(s.d, s.f, 5, 7, 0xFEDCBA9876543210ULL);
  LaunchParams p = backward_params(scene_block(), bp, 0xf0, kPaths);
  set_backward_launch(p, bp, 3, 0);
  // Image height 3 at 12, and 3 rows from row 0 at 20.
  expect_bytes(p, common(4, 4096),
               {{0, u64{0xf0}}, {12, 3u}, {20, 3u}, {496, u64{0xFEDCBA9876543210}}, {520, 7},
                {524, 3}, {528, 5}, {532, 3u}, {544, 3u}});

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
  fr.seed = 0x8000000000000001ULL;
  const ForwardPlan fp = plan_forward(s.d, s.f, fr);
  EXPECT_EQ(fp.leaf_offsets, (std::vector<uint64_t>{0, 2}));
  p = forward_params(scene_block(), fp, {0xb1, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8}, kPaths);
  set_photon_batch(p, fp.batches, 1);
  // The second batch: 902848 photons in 882 rows of 1024; 10 m of sensor footprint over 2 cells.
  expect_bytes(p, common(1024, 882 * 1024),
               {{12, 882u},         {496, u64{0x8000000000000001}},
                {520, 16},          {524, 3},         {528, 1},
                {532, 1u},          {544, 1u},        {552, u64{0xb1}},  {560, 2},
                {564, 5},           {568, 2},         {572, 5.f},        {576, 2.f},
                {584, u64{0xb2}},   {592, 100.0 / 3000000.0},            {600, 0.75f},
                {608, u64{0xb3}},   {616, u64{0xb4}}, {624, 2u},         {628, u8{1}},
                {632, u64{0xb5}},   {640, 0},         {644, 902848u},    {648, u64{0xb6}},
                {656, u64{0xb7}},   {664, u64{0xb8}}, {672, 1},          {676, 4.f}});

  FluxRequest xr;
  xr.nx = 4;
  xr.ny = 2;
  xr.num_photons = 1000;
  xr.prob_sun = 0.5f;
  xr.max_bounces = 2;
  xr.max_depth = 9;
  xr.rr_depth = 4;
  xr.decompose = true;
  xr.seed = 7;
  const FluxPlan xp = plan_flux(s.d, s.f, xr);
  p = flux_params(scene_block(), xp, {0xc1, 0xc2, 0xc3, 0xc4}, kPaths);
  set_photon_batch(p, xp.batches, 0);
  expect_bytes(p, common(1024, 1024),
               {{12, 1u},         {496, u64{7}},    {520, 9},          {524, 4},         {528, 1},
                {592, 100.0 / 1000.0},              {600, 0.5f},       {644, 1000u},
                {912, u64{0xc1}}, {920, u64{0xc2}}, {928, u64{0xc3}},  {936, u64{0xc4}},
                {944, 4},         {948, 2},         {952, 2.5f},       {956, 5.f},
                {960, 2}});
}

TEST(OptixLaunchRecords, EnergyBalanceAndLidar) {
  Ground s;
  EnergyBalanceRequest r;
  r.band_type = 1;
  r.n_samples = 16;
  r.sun_irradiance = 800.f;
  r.sky_diffuse_radiance = 20.f;
  r.sky_lw_radiance = 90.f;
  r.sun_direction[0] = 3.f;
  r.sun_direction[2] = 4.f;
  r.sw_albedos = {0.2f, 0.3f};
  r.seed = 0xFFFFFFFFFFFFFFFFULL;
  const EnergyBalancePlan single = plan_energy_balance(s.d, s.f, r, false);
  ASSERT_EQ(single.launches.size(), 1u);
  LaunchParams p = energy_balance_params(scene_block(), single, r, 1, {0xd1, 0xd2, 0xd3, 0, 0});
  set_energy_balance_launch(p, single.launches[0]);
  // Long wave: no sunlight read, so the sun direction is left at the zenith.
  expect_bytes(p, {{24, scene_block()}, {496, u64{0xFFFFFFFFFFFFFFFF}},
                   {856, 1},            {860, 16},          {864, 800.f},
                   {868, 20.f},         {872, 90.f},        {876, f3{0, 0, 1}},
                   {888, u64{0xd1}},    {896, u64{0xd2}},   {904, u64{0xd3}}});

  r.n_bands = 2;
  r.two_sided = false;
  r.sun_irradiances = {800.f, 700.f};
  r.sw_albedos = {0.1f, 0.2f, 0.3f, 0.4f};
  const EnergyBalancePlan multi = plan_energy_balance(s.d, s.f, r, true);
  p = energy_balance_params(scene_block(), multi, r, 2, {0xd1, 0xd2, 0xd3, 0xd4, 0xd5});
  expect_bytes(p, {{24, scene_block()}, {496, u64{0xFFFFFFFFFFFFFFFF}},
                   {860, 16},           {876, f3{0.6f, 0.f, 0.8f}},
                   {964, 2},            {968, u64{0xd4}},   {976, u64{0xd5}},
                   {984, u64{0xd1}},    {1000, u64{0xd3}}});

  const float o[6] = {0, 0, 10, 1, 1, 10}, dn[6] = {0, 0, -2, 0, 0, -1};
  lidar::LidarRequest li;
  li.pulse_origins = o;
  li.pulse_directions = dn;
  li.origin_rows = li.direction_rows = li.num_pulses = 2;
  li.max_returns_per_pulse = 3;
  const LidarPlan lp = plan_lidar(s.d, s.f, li);
  EXPECT_EQ(lp.directions, (std::vector<float>{0, 0, -1, 0, 0, -1}));
  const LidarBuffers lb{0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea};
  // 81 beam samples (the 11 x 11 lattice clipped to the disc), 667 bins, a pulse kernel of 13
  // taps (half width 6).
  expect_bytes(lidar_params(scene_block(), lp, li, lb, kPaths),
               {{24, scene_block()}, {472, u64{0xa1}}, {488, 4096u},      {492, 1},
                {520, 1},            {524, 999},       {544, 1u},         {680, u64{0xe1}},
                {688, u64{0xe2}},    {696, 2},         {704, u64{0xe3}},  {712, u64{0xe4}},
                {720, 81},           {724, 0.0005f},   {728, 1.f},        {732, 0.1f},
                {736, 0.15f},        {740, 0.f},       {744, 100.f},      {748, 667},
                {752, 1},            {756, 1u},        {760, u64{0xe5}},  {768, u64{0xe6}},
                {776, u64{0xe7}},    {792, 6},         {800, u64{0xe8}},  {808, 13},
                {812, 6},            {816, 1e-8f},     {820, 3}});

  li.direct_mode = true;
  const LidarPlan dp = plan_lidar(s.d, s.f, li);
  ASSERT_EQ(dp.beam.size(), 1u);
  const LaunchParams q = lidar_params(scene_block(), dp, li, lb, kPaths);
  EXPECT_EQ(q.lidar_raw_waveform, 0u);
  EXPECT_EQ(q.lidar_direct_mode, 1);
  EXPECT_EQ(q.lidar_direct_points, 0xe9u);
  EXPECT_EQ(q.lidar_direct_count, 0xeau);
  EXPECT_EQ(q.lidar_direct_pulses, 2);
}

TEST(OptixLaunchRecords, Microwave) {
  // Soil: the dielectric model 2.9 truncated, rms height 0 not positive so 0.008.
  expect_bytes(microwave_record(material(kMicrowaveSoil, {0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f,
                                                          7.5f, 8.5f, 2.9f, 0.f, -1.f})),
               {{0, 1}, {8, std::array<float, 8>{0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f}},
                {40, 8.5f}, {44, 2}, {48, 0.008f}, {52, 0.04f}});

  MicrowaveMaterial veg = material(kMicrowaveVegetation, {10, 11, 12, 13, 14, 15, 16, 17});
  veg.n_cti = 2;
  veg.n_cts = 3;
  veg.n_dphi = 4;
  veg.mueller.assign(2 * 3 * 4 * 16, 0.f);
  veg.cos_cdf.assign(2 * 3, 1.f);
  veg.phi_cdf.assign(2 * 3 * 4, 1.f);
  expect_bytes(microwave_record(veg), {{0, 2},
                                       {8, std::array<float, 8>{10, 11, 12, 13, 14, 15, 16, 17}},
                                       {64, std::array<int32_t, 3>{2, 3, 4}}});

  MicrowaveMaterial trunk = material(kMicrowaveTrunk, {20, 21, 22, 23, 24, 25, 26, 27, 28, 29,
                                                       30, 31});
  trunk.specular.assign(5 * 16, 1.f);
  trunk.n_cos = 5;
  expect_bytes(microwave_record(trunk),
               {{0, 3}, {8, std::array<float, 7>{20, 21, 22, 23, 24, 25, 26}}, {88, 5}});

  const std::vector<uint64_t> states = microwave_random_states(3);
  for (uint64_t i = 0; i < 3; ++i) {
    const uint64_t inc = 26 * i + 15;
    EXPECT_EQ(states[2 * i + 1], inc);
    EXPECT_EQ(states[2 * i], inc * 0x5851F42D4C957F2EULL + i * 0xDD71370215ED71FDULL +
                                 0xB1EC917C461A6673ULL);
  }

  Ground s;
  MicrowaveRequest req;
  req.frequency = 1.4e9f;
  req.n_channels = 4;
  req.spp = 8;
  req.max_depth = 3;
  req.air_temperature = 280.f;
  req.atm_tau = 0.02f;
  req.materials = {veg};
  req.material_map = {0};
  const MicrowavePlan plan = plan_optix_microwave(s.d, s.f, req);
  EXPECT_NEAR(plan.wavelength, 0.2141f, 1e-4f);
  expect_bytes(microwave_params(scene_block(), plan, req, {0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6}),
               {{0, u64{0xf1}},   {8, 4u},              {12, 3u},          {16, 4},
                {20, uint32_t{kResponseTableSize}},     {24, u64{0x11}},   {32, u64{0xf2}},
                {40, 1u},         {48, u64{0xf3}},      {56, 1.4e9f},      {60, plan.wavelength},
                {64, 280.f},      {68, 0.02f},          {72, scene_block().sensor},
                {208, 3},         {212, 8},             {216, u64{0xf6}},  {224, u64{0xf4}},
                {232, u64{0xf5}}, {240, 12u},           {260, f2{30.f, 40.f}},
                {268, 9.f},       {272, 2}});
}

// ---- LiDAR beam, kernel, bins and post-processing ----------------------------------------------

TEST(OptixLidar, BeamKernelAndBins) {
  Ground s;
  // The beam's size, the bins and the kernel's width are in the launch record's table above.
  const LidarPlan plan = plan_lidar(s.d, s.f, s.li);
  double sum = 0.0;
  for (const lidar::BeamSample& b : plan.beam) sum += b.weight;
  EXPECT_NEAR(sum, 1.0, 1e-6);
  s.li.beam_samples_per_dim = 0;
  const LidarPlan central = plan_lidar(s.d, s.f, s.li);
  ASSERT_EQ(central.beam.size(), 1u);
  EXPECT_EQ(central.beam[0].weight, 1.f);
  EXPECT_EQ(beam_offsets(central.beam), (std::vector<float>{0.f, 0.f}));

  // Direct points come back in the order pulses finished; records are in pulse order.
  const float points[12] = {1, 2, 3, 0.5f, 7, 9.5f, 4, 5, 6, 0.25f, 2, 3.5f};
  EXPECT_EQ(direct_point_records(points, 2),
            (std::vector<float>{4, 5, 6, 0.25f, 1, 1, 3.5f, 2, 1, 2, 3, 0.5f, 1, 1, 9.5f, 7}));
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
