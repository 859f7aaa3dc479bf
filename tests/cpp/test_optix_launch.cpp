// The OptiX launches without a GPU: every check they make before device work, the launch
// records byte for byte, tiles and batches, the LiDAR beam, pulse kernel and bins, and the LiDAR
// post-processing kernels' bodies run on the host against the CPU waveform code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "optix/launch_plan.h"
#include "microwave/soil.h"
#include "microwave/trunk.h"
#include "physics/microwave_tables.h"
#include "sim/microwave_plan.h"
#include "physics/microwave_path.h"
#include "optix/programs.h"
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

TEST(OptixLaunchChecks, EveryMessageComesBeforeDeviceWork) {
  using S = Ground&;
  const std::function<void(S)> unbuilt = [](S s) { s.f.built = false; };
  const std::function<void(S)> flat = [](S s) { sensor(s.d, 0, 4, 3, 0.f); };
  const struct {
    Plan plan;
    bool runtime;         // runtime_error (else invalid_argument)
    const char* message;  // how the message starts
    std::function<void(S)> change;
  } cases[] = {
      {kBackward, true, "Scene not built. Call scene.build() first.", unbuilt},
      {kBackward, false, "simulate: spp must be at least 1", [](S s) { s.spp = 0; }},
      {kBackward, false, "simulate: set_sensor: sensor type 7",
       [](S s) { sensor(s.d, 7, 4, 4, 1.f); }},
      {kBackward, false, "simulate: the per-primitive temperatures hold 3",
       [](S s) { s.d.set_primitive_temperatures({300.f, 300.f, 300.f}, 3); }},
      {kForward, true, "Scene not built.", unbuilt},
      {kForward, true, "layer_heights needs at least 2 values",
       [](S s) { s.fwd.layer_heights = {0.f}; }},
      {kForward, false, "simulate_forward: layer_heights must be strictly increasing",
       [](S s) { s.fwd.layer_heights = {0.f, 2.f, 1.f}; }},
      {kForward, false, "simulate_forward: brf_directions holds fewer",
       [](S s) { s.fwd.num_brf_dirs = 1; }},
      {kForward, false,
       "simulate_forward: num_bands (2) must equal the scene's band count (1, set_num_bands)",
       [](S s) { s.fwd.num_bands = 2; }},
      {kForward, false, "simulate_forward: prob_sun is 0 but the scene has no sky", [](S s) {
         s.fwd.prob_sun = 0.f;
         s.d.set_sky(-1);
       }},
      {kForward, false, "simulate_forward: no horizontal extent", flat},
      {kForward, false, "simulate_forward: a repeating scene needs positive tile sizes",
       [](S s) { s.d.set_repetitive(2, 0.f, 10.f); }},
      {kFlux, true, "Scene not built.", unbuilt},
      {kFlux, false, "simulate_flux: nx and ny must be > 0", [](S s) { s.flux.ny = 0; }},
      {kFlux, false, "simulate_flux: num_photons must be > 0",
       [](S s) { s.flux.num_photons = 0; }},
      {kFlux, false, "simulate_flux: scene extent unknown", flat},
      {kFlux, false, "simulate_flux: max_bounces must not be negative",
       [](S s) { s.flux.max_bounces = -1; }},
      {kEnergyBalance, true, "Scene not built. Call scene.build() first.", unbuilt},
      {kEnergyBalance, true, "run_energy_balance: scene has 0 primitives",
       [](S s) { s.f.n_primitives = 0; }},
      {kEnergyBalance, false, "run_energy_balance: n_samples must be > 0",
       [](S s) { s.eb.n_samples = 0; }},
      {kEnergyBalance, false, "run_energy_balance: band_type must be 0",
       [](S s) { s.eb.band_type = 2; }},
      {kEnergyBalance, false, "run_energy_balance: sw_albedos must have n_primitives (2)",
       [](S s) { s.eb.sw_albedos = {0.1f}; }},
      {kEnergyBalance, false, "run_energy_balance: sw_albedos of primitive 1 must lie in [0, 1]",
       [](S s) { s.eb.sw_albedos = {0.1f, 1.5f}; }},
      {kEnergyBalance, false, "run_energy_balance: sun_irradiance must be finite and not negative",
       [](S s) { s.eb.sun_irradiance = -1.f; }},
      {kEnergyBalance, false, "run_energy_balance: the per-primitive emissivities hold 3",
       [](S s) { s.d.set_primitive_emissivities({0.9f, 0.9f, 0.9f}, 3); }},
      {kEnergyBalance, false, "run_energy_balance: the sun direction must be a finite non-zero",
       [](S s) {
         s.eb.sun_irradiance = 100.f;
         s.eb.sun_direction[2] = 0.f;
       }},
      {kEnergyBalance, true, "EB RRT: scene has no geometry. Call scene.build() first.",
       [](S s) { s.f.lookup_instances = 0; }},
      {kMultiband, false, "run_energy_balance_multiband: n_bands must be > 0",
       [](S s) { s.eb.n_bands = 0; }},
      {kMultiband, false,
       "run_energy_balance_multiband: sw_albedos must have n_bands * n_primitives values",
       [](S s) {
         s.eb.n_bands = 2;
         s.eb.sw_albedos = {0.1f, 0.1f};
       }},
      {kMultiband, true, "EB multiband RRT: scene has no geometry. Call scene.build() first.",
       [](S s) { s.f.max_mesh_triangles = 0; }},
      {kLidar, true, "Scene not built.", unbuilt},
      {kLidar, false, "No pulses to simulate.", [](S s) { s.li.num_pulses = 0; }},
      {kLidar, false, "beam_samples_per_dim must be between 0 and 4096, got -1",
       [](S s) { s.li.beam_samples_per_dim = -1; }},
      {kLidar, false, "material 0 reads spectral parameters 0 to 3",
       [](S s) { s.li.num_wavelengths = 4; }},
      {kMicrowave, true, "Scene not built. Call scene.build() first.", unbuilt},
      {kMicrowave, false, "simulate_microwave: n_channels must be 1, 2 or 4",
       [](S s) { s.mw.n_channels = 3; }},
      {kMicrowave, false,
       "simulate_active_microwave: material_map[0] = 2 is neither -1 nor one of the 0",
       [](S s) {
         s.mw.active = true;
         s.mw.material_map = {2};
       }},
      {kMicrowave, false,
       "simulate_microwave: microwave material 0 (vegetation) needs an absorption coefficient",
       [](S s) { s.mw.materials = {material(kMicrowaveVegetation, {290.f, -1.f})}; }},
      {kMicrowave, false,
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
      // A trunk of radius 0 over a soil: the radar's double bounce refuses it.
      {kMicrowave, false, "simulate_active_microwave: microwave material 1: ", [](S s) {
         s.mw.active = true;
         s.mw.materials = {material(kMicrowaveSoil, {0.4f, 0.2f, 0.2f, 0.1f, 0, 0, 0, 290, 290, 1,
                                                     0.01f, 0.04f}),
                           material(kMicrowaveTrunk, {0, 0, 0, 0, 0, 0, 1.f})};
       }},
  };
  for (const auto& c : cases) {
    Ground s;
    c.change(s);
    const auto run = [&] { plan(c.plan, s); };
    const std::string got = c.runtime ? message_of<std::runtime_error>(run)
                                      : message_of<std::invalid_argument>(run);
    EXPECT_EQ(got.substr(0, std::strlen(c.message)), c.message);
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


// ---- the microwave transport on the host ------------------------------------------------------
// The device programs' transport (physics/microwave_path.h) over the tables plan_microwave
// builds, traced through infinite horizontal layers, against closed forms and the models.

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
  MicrowavePlan plan;
  std::vector<MicrowaveMaterialRecord> records;
  MicrowaveTables t;
  HostTables(const Ground& s, MicrowaveRequest& req) {
    for (size_t i = 0; i < req.materials.size(); ++i)
      req.material_map.push_back(static_cast<int32_t>(i));
    plan = plan_optix_microwave(s.d, s.f, req);
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

TEST(OptixMicrowaveTransport, BareSoilAndAnAbsorbingCanopy) {
  Ground s;
  const float f = 1.4e9f, mu = 0.75f, tau = 0.05f, t_air = 280.f;
  // A soil whose rms height (p11) is not given: the launches read 0.008 m.
  MicrowaveRequest req;
  req.frequency = f;
  req.materials = {material(kMicrowaveSoil, kSoil), material(kMicrowaveVegetation, {300.f, 0.4f})};
  req.materials[0].p[10] = 0.f;
  HostTables h(s, req);
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

TEST(OptixMicrowaveTransport, ScatteringVolumesAndTrunks) {
  Ground s;
  const float f = 1.4e9f, mu = 0.6f;
  MicrowaveRequest req;
  req.frequency = f;
  req.materials = {material(kMicrowaveSoil, kSoil), isotropic_vegetation(290.f, 0.2f, 0.5f),
                   material(kMicrowaveTrunk, {0.2f, 4.f, 0.5f, 290.f, 0.3f, 0.f, 1.f})};
  HostTables h(s, req);
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
  HostTables ha(s, req);
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
}  // namespace velm::optix
