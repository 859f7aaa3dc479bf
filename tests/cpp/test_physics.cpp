#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "physics/bsdf.h"
#include "physics/camera.h"
#include "physics/pcg32.h"
#include "physics/photon.h"
#include "physics/planck.h"
#include "physics/sky.h"

namespace velm {
namespace {

// Published output of the PCG32 reference demo (pcg32-demo, seed 42, sequence 54).
TEST(Pcg32, MatchesReferenceStream) {
  Pcg32 rng(42u, 54u);
  const uint32_t expected[] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u,
                               0x83d2f293u, 0xbfa4784bu, 0xcbed606eu};
  for (uint32_t e : expected) EXPECT_EQ(rng.next_uint(), e);
}

TEST(Pcg32, FloatsInUnitIntervalAndTopValuesRoundToOne) {
  Pcg32 rng(7u, 3u);
  double sum = 0.0;
  for (int i = 0; i < 100000; ++i) {
    const float u = rng.next_float();
    ASSERT_GE(u, 0.f);
    ASSERT_LE(u, 1.f);
    sum += u;
  }
  EXPECT_NEAR(sum / 100000, 0.5, 0.005);
  EXPECT_EQ(static_cast<float>(0xFFFFFFFFu) * 2.3283064e-10f, 1.f);
}

// Neighbouring pixels (items) of one pass, one pixel over neighbouring passes, and one pixel and
// pass under neighbouring seeds must draw independent numbers: the correlation of their k-th
// draws over many pairs stays within the noise of independent streams (about 1/sqrt(n)).
TEST(Pcg32, NeighbouringStreamsAreUncorrelated) {
  constexpr int kPairs = 20000, kDraws = 4;
  struct Neighbours {
    const char* what;
    uint64_t item_b, sequence_b, seed_a, seed_b;  // relative to item 2i, sequence 7
  };
  const Neighbours cases[] = {{"items", 1, 7, 0, 0},
                              {"passes", 0, 8, 0, 0},
                              {"seeds 0 and 1", 0, 7, 0, 1},
                              {"seeds 1 and 2", 0, 7, 1, 2},
                              {"seed 1 pass 7, seed 2 pass 8", 0, 8, 1, 2}};
  for (const Neighbours& c : cases) {
    double sx[kDraws] = {}, sy[kDraws] = {}, sxx[kDraws] = {}, syy[kDraws] = {}, sxy[kDraws] = {};
    for (int i = 0; i < kPairs; ++i) {
      Pcg32 a = item_stream(2 * i, seeded_sequence(7, c.seed_a)),
            b = item_stream(2 * i + c.item_b, seeded_sequence(c.sequence_b, c.seed_b));
      for (int k = 0; k < kDraws; ++k) {
        const double x = a.next_float(), y = b.next_float();
        sx[k] += x, sy[k] += y, sxx[k] += x * x, syy[k] += y * y, sxy[k] += x * y;
      }
    }
    for (int k = 0; k < kDraws; ++k) {
      const double n = kPairs, cov = sxy[k] / n - sx[k] * sy[k] / (n * n);
      const double r = cov / std::sqrt((sxx[k] / n - sx[k] * sx[k] / (n * n)) *
                                       (syy[k] / n - sy[k] * sy[k] / (n * n)));
      EXPECT_LT(std::fabs(r), 4.0 / std::sqrt(n)) << "draw " << k << ", " << c.what;
    }
  }
}

// Seed 0 leaves every sequence as it is (the unseeded streams); the sequences of 64 other seeds
// over 4096 passes (small, neighbouring numbers, the hardest case) are 64 x 4096 distinct words,
// none of them an unseeded pass.
TEST(Pcg32, SeedsSelectDisjointSequences) {
  for (const uint64_t s : {0ULL, 1ULL, 0x70686F746F6E73ULL, ~0ULL})
    EXPECT_EQ(seeded_sequence(s, 0), s);
  std::set<uint64_t> seen;
  constexpr uint64_t kSeeds = 64, kPasses = 4096;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed)
    for (uint64_t pass = 0; pass < kPasses; ++pass) {
      const uint64_t s = seeded_sequence(pass, seed == kSeeds ? ~0ULL : seed);
      EXPECT_GE(s, kPasses);
      seen.insert(s);
    }
  EXPECT_EQ(seen.size(), kSeeds * kPasses);
}

std::vector<float> leaf_params(int nb) {
  // front 0.4, back 0.2, transmittance 0.3 in every band
  std::vector<float> p;
  for (float v : {0.4f, 0.2f, 0.3f})
    for (int b = 0; b < nb; ++b) p.push_back(v);
  return p;
}

TEST(Bsdf, LambertianValuesAndThermalKirchhoff) {
  const float rho[] = {0.5f, 0.9f};
  MaterialView m{kMaterialLambertian, rho, 2, 0.f, 0.f};
  const Vec3 up = normalize(Vec3(0.2f, 0.1f, 0.9f)), down(0.f, 0.f, -1.f);
  EXPECT_FLOAT_EQ(eval_bsdf(m, 0, up, up, false, false), 0.5f * 0.31830987f);
  EXPECT_EQ(eval_bsdf(m, 0, up, down, false, false), 0.f);
  EXPECT_EQ(eval_bsdf(m, 0, down, up, false, false), 0.f);
  EXPECT_NEAR(eval_bsdf(m, 1, up, up, false, true), 0.1f * 0.31830987f, 1e-7f);
}

TEST(Bsdf, LeafFrontBackAndTransmission) {
  const auto p = leaf_params(1);
  MaterialView m{kMaterialLeaf, p.data(), 1, 0.5f, 0.5f};
  const Vec3 up(0.f, 0.f, 1.f), down(0.f, 0.f, -1.f);
  EXPECT_FLOAT_EQ(eval_bsdf(m, 0, up, up, false, false), 0.4f * 0.31830987f);
  EXPECT_FLOAT_EQ(eval_bsdf(m, 0, up, up, true, false), 0.2f * 0.31830987f);
  EXPECT_FLOAT_EQ(eval_bsdf(m, 0, up, down, false, false), 0.3f * 0.31830987f);
  EXPECT_EQ(eval_bsdf(m, 0, down, up, false, false), 0.f);
  // A leaf that scatters nothing gives no direction.
  const std::vector<float> black(3, 0.f);
  MaterialView dark{kMaterialLeaf, black.data(), 1, 0.f, 0.f};
  EXPECT_EQ(sample_bsdf(dark, false, 0.3f, 0.4f, 0.5f).pdf, 0.f);
}

// The estimator f cos / pdf of the leaf sampler is unbiased for any sampling weights, the
// default (both 0) included: its mean over many samples is the reflectance of the face hit
// (front 0.4, back 0.2) and the transmittance (0.3).
TEST(Bsdf, LeafSamplingIsUnbiased) {
  const auto p = leaf_params(1);
  struct Case {
    float w_reflect, w_transmit;
    bool back;
  };
  for (const Case c : {Case{0.7f, 0.3f, false}, Case{0.f, 0.f, false}, Case{0.f, 0.f, true},
                       Case{0.1f, 0.9f, true}}) {
    MaterialView m{kMaterialLeaf, p.data(), 1, c.w_reflect, c.w_transmit};
    Pcg32 rng(1u, 2u);
    const Vec3 wo(0.f, 0.f, 1.f);
    double refl = 0.0, trans = 0.0;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
      const float u0 = rng.next_float(), u1 = rng.next_float(), u2 = rng.next_float();
      const DirectionSample s = sample_bsdf(m, c.back, u0, u1, u2);
      if (s.pdf <= 0.f) continue;
      const double est = eval_bsdf(m, 0, wo, s.w, c.back, false) * std::fabs(s.w.z) / s.pdf;
      (s.w.z > 0.f ? refl : trans) += est;
    }
    SCOPED_TRACE(testing::Message() << c.w_reflect << " " << c.w_transmit << " " << c.back);
    EXPECT_NEAR(refl / n, c.back ? 0.2 : 0.4, 0.01);
    EXPECT_NEAR(trans / n, 0.3, 0.01);
  }
}

TEST(Bsdf, RpvReducesToLambertian) {
  const Vec3 a = normalize(Vec3(0.3f, -0.2f, 0.8f)), b = normalize(Vec3(-0.5f, 0.1f, 0.4f));
  EXPECT_FLOAT_EQ(rpv(0.25f, 1.f, 0.f, 1.f, a, b), 0.25f);
  const float p[] = {0.25f, 1.f, 0.f, 1.f};
  MaterialView m{kMaterialRpv, p, 1, 0.f, 0.f};
  EXPECT_FLOAT_EQ(eval_bsdf(m, 0, a, b, false, false), 0.25f * 0.31830987f);
  // A hot spot: backscatter (wo == wi) is brighter than the mirror direction when rho_c < 1.
  const Vec3 mirror(-a.x, -a.y, a.z);
  EXPECT_GT(rpv(0.2f, 0.8f, -0.1f, 0.2f, a, a), rpv(0.2f, 0.8f, -0.1f, 0.2f, a, mirror));
}

TEST(Sky, ZenithValueWhenGammaEqualsSunZenith) {
  const float c[10] = {-1.f, -0.3f, 2.f, -1.5f, 0.4f, 0.3f, -2.f, 0.1f, 0.05f, 42.f};
  const float ts = 0.6f;
  const Vec3 sun(std::sin(ts), 0.f, std::cos(ts));
  EXPECT_NEAR(sky_radiance(c, sun, Vec3(0.f, 0.f, 1.f)), 42.f, 42.f * 1e-5f);
  float zero[10] = {};
  EXPECT_EQ(sky_radiance(zero, sun, Vec3(0.f, 0.f, 1.f)), 0.f);
}

TEST(Planck, MatchesPublishedRadiance) {
  // Blackbody at 300 K, 10 um: 9.924 W m^-2 sr^-1 um^-1 (e.g. standard tables), per nm 1e-3 less.
  EXPECT_NEAR(planck(300.0, 10000.0), 9.924e-3, 0.005e-3);
  // The Sun's photosphere at 5778 K, 500 nm: 2.63e13 W m^-3 sr^-1 = 2.63e4 per nm.
  EXPECT_NEAR(planck(5778.0, 500.0) / 2.63e4, 1.0, 0.01);
  EXPECT_EQ(planck(10.0, 100.0), 0.f);
}

TEST(Photon, VerticalBeamStartsOnTopWithUnitRatio) {
  const Box box{{-1.f, -2.f, 0.f}, {3.f, 2.f, 5.f}};
  Pcg32 rng(3u, 4u);
  for (int i = 0; i < 1000; ++i) {
    const EmittedRay e = emit_beam(box, Vec3(0.f, 0.f, -1.f), rng.next_float(), rng.next_float(),
                                   rng.next_float());
    ASSERT_FLOAT_EQ(e.origin.z, 5.1f);
    ASSERT_DOUBLE_EQ(e.ratio, 1.0);
  }
}

TEST(Photon, DiffuseSourceFacesInwardsWithAreaRatio) {
  const Box box{{0.f, 0.f, 0.f}, {2.f, 1.f, 3.f}};
  Pcg32 rng(5u, 6u);
  for (int i = 0; i < 2000; ++i) {
    const EmittedRay e = emit_diffuse(box, rng.next_float(), rng.next_float(), rng.next_float(),
                                      rng.next_float(), rng.next_float());
    EXPECT_NEAR(e.ratio, (2.0 + 2 * 3.0 + 2 * 6.0) / 2.0, 1e-9);
    EXPECT_NEAR(length(e.direction), 1.f, 1e-5f);
    if (e.origin.z > 3.f) { EXPECT_LE(e.direction.z, 0.f); }
    if (e.origin.x < 0.f) { EXPECT_GE(e.direction.x, 0.f); }
    if (e.origin.y > 1.f) { EXPECT_LE(e.direction.y, 0.f); }
    EXPECT_GE(e.origin.z, 0.f);  // the bottom face never emits
  }
}

TEST(Camera, FisheyeCornersHaveNoRay) {
  SensorBlock s;
  s.type = kSensorFisheye;
  s.width = s.height = 64;
  s.fov = kPi;  // 180 degrees
  const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::copy(identity, identity + 16, s.camera_to_world);
  for (int proj = 0; proj < 4; ++proj) {
    s.projection_type = proj;
    const SensorRay corner = sensor_ray(s, 0.5f, 0.5f);
    EXPECT_EQ(dot(corner.direction, corner.direction), 0.f) << proj;
    const SensorRay centre = sensor_ray(s, 32.f, 32.f);
    EXPECT_NEAR(centre.direction.z, -1.f, 1e-6f) << proj;
  }
}

// A stream whose next draw is exactly 1.0: rotation 0 and bits 27..58 of state ^ (state >> 18)
// all set, which bits 41..58 of the state give.
Pcg32 stream_drawing_one() {
  Pcg32 rng;
  rng.state = ((uint64_t{1} << 59) - 1) ^ ((uint64_t{1} << 41) - 1);
  rng.inc = 1;
  return rng;
}

TEST(PhotonLaunch, SourceOfProbabilityZeroIsNeverDrawn) {
  EXPECT_EQ(stream_drawing_one().next_float(), 1.f);
  const float params[3] = {1000.f, 50.f, 0.f};  // sun irradiance, sky radiance
  PhotonSourceSettings s{};
  s.box = {{0, 0, 0}, {10, 10, 1}};
  s.sun_direction = {0, 0, 1};
  s.params = params;
  s.nb = 1;
  s.sun_offset = 0;
  s.sky_offset = 1;
  s.hosek_offset = -1;
  s.repetition = true;
  s.launch_height = 1.1f;
  s.sx = s.sy = 10.0;
  s.area_per_photon = 1.0;
  for (float prob_sun : {1.f, 0.f}) {
    s.prob_sun = prob_sun;
    Pcg32 rng = stream_drawing_one();
    double energy[1];
    LaunchedPhoton photon;
    ASSERT_TRUE(launch_photon(s, rng, energy, photon));
    EXPECT_EQ(photon.is_sun, prob_sun == 1.f);
    EXPECT_EQ(photon.scale, 1.0);  // drawn with probability one: no weight beyond the area
  }
}

}  // namespace
}  // namespace velm
