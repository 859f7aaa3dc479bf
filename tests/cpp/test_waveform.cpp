#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "cpu/lidar.h"
#include "sim/waveform.h"

namespace velm::lidar {
namespace {

double sum(const std::vector<float>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }

TEST(PulseKernel, NormalisedGaussianTapsOverThreeSigma) {
  const PulseKernel k = make_pulse_kernel(4.f, 0.15f);
  // 4 ns two-way -> 0.5996 m of range at FWHM -> sigma = 0.5996 / 2.3548 m.
  EXPECT_NEAR(k.sigma, 0.2546, 1e-4);
  ASSERT_EQ(k.half_width, 6);
  ASSERT_EQ(k.taps.size(), 13u);
  for (int i = 0; i < 13; ++i) {  // exactly Gaussian, so symmetric and rising to the centre
    const double x = (i - 6) * 0.15;
    EXPECT_NEAR(k.taps[i] / k.taps[6], std::exp(-0.5 * x * x / (k.sigma * k.sigma)), 1e-6);
  }
  // A well-sampled Gaussian sums to sqrt(2 pi) sigma / resolution; the centre tap is its inverse.
  EXPECT_NEAR(k.taps[6], 0.15 / (std::sqrt(2 * 3.141592653589793) * k.sigma), 1e-3);
  for (float fwhm : {0.5f, 1.f, 2.f, 7.f, 20.f}) {
    for (float res : {0.05f, 0.15f, 0.5f}) {
      const PulseKernel q = make_pulse_kernel(fwhm, res);
      EXPECT_EQ(q.half_width, 1 + static_cast<int>(3.f * q.sigma / res)) << fwhm << " " << res;
      EXPECT_EQ(q.taps.size(), static_cast<size_t>(2 * q.half_width + 1));
      EXPECT_NEAR(sum(q.taps), 1.0, 1e-5);
    }
  }
  // A very short pulse still has its two neighbouring taps.
  EXPECT_EQ(make_pulse_kernel(0.01f, 1.f).half_width, 1);
}

TEST(RangeBins, CountIncludesBothEnds) {
  EXPECT_EQ(range_bin_count(0.f, 100.f, 0.15f), 667);
  EXPECT_EQ(range_bin_count(0.f, 1.f, 0.5f), 3);
  EXPECT_EQ(range_bin_count(5.f, 5.f, 0.15f), 1);
}

TEST(LidarSettings, DegenerateValuesAreRefused) {
  EXPECT_THROW(make_pulse_kernel(0.f, 0.15f), std::invalid_argument);
  EXPECT_THROW(make_pulse_kernel(-1.f, 0.15f), std::invalid_argument);
  EXPECT_THROW(make_pulse_kernel(NAN, 0.15f), std::invalid_argument);
  EXPECT_THROW(make_pulse_kernel(4.f, 0.f), std::invalid_argument);
  EXPECT_THROW(make_pulse_kernel(1e9f, 0.15f), std::invalid_argument);
  EXPECT_THROW(make_pulse_kernel(1e-30f, 1.f), std::invalid_argument);  // sigma underflows
  EXPECT_THROW(range_bin_count(0.f, 100.f, 0.f), std::invalid_argument);
  EXPECT_THROW(range_bin_count(0.f, 100.f, -1.f), std::invalid_argument);
  EXPECT_THROW(range_bin_count(10.f, 5.f, 0.15f), std::invalid_argument);
  EXPECT_THROW(range_bin_count(0.f, INFINITY, 0.15f), std::invalid_argument);
  EXPECT_THROW(range_bin_count(0.f, 1e6f, 1e-6f), std::invalid_argument);
  EXPECT_THROW(make_beam_pattern(-1), std::invalid_argument);
  EXPECT_THROW(make_beam_pattern(kMaxBeamSamplesPerDim + 1), std::invalid_argument);
  WaveformSettings s;
  s.num_bins = 10;
  s.num_wavelengths = 0;
  EXPECT_THROW(WaveformProcessor{s}, std::invalid_argument);
  s.num_wavelengths = 1;
  s.max_returns_per_pulse = -1;
  EXPECT_THROW(WaveformProcessor{s}, std::invalid_argument);
  s.max_returns_per_pulse = 1;
  s.pulse_fwhm_ns = 0.f;
  EXPECT_THROW(WaveformProcessor{s}, std::invalid_argument);
}

// The defining gather sum: terms outside the window are dropped, nothing is renormalised.
std::vector<float> gather(const std::vector<float>& raw, int nb, int nw, const PulseKernel& k) {
  std::vector<float> out(raw.size(), 0.f);
  const int h = k.half_width;
  for (int i = 0; i < nb; ++i)
    for (int w = 0; w < nw; ++w) {
      float acc = 0.f;
      for (int m = -h; m <= h; ++m)
        if (i + m >= 0 && i + m < nb) acc += raw[(i + m) * nw + w] * k.taps[m + h];
      out[i * nw + w] = acc;
    }
  return out;
}

TEST(Convolution, BitIdenticalToTheGatherSum) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> val(0.f, 1e-3f);
  std::uniform_int_distribution<int> pick(0, 9);
  for (float fwhm : {1.f, 4.f, 9.f}) {
    const PulseKernel k = make_pulse_kernel(fwhm, 0.15f);
    for (int nb : {1, 2, 5, 37, 200}) {
      const int nw = 3;
      std::vector<float> raw(nb * nw, 0.f);
      for (float& v : raw)
        if (pick(rng) < 3) v = val(rng);  // sparse, like a real return
      raw[0] = raw[raw.size() - 1] = 1e-3f;  // returns at both edges of the window
      std::vector<float> out(raw.size());
      convolve_waveform(raw.data(), out.data(), nb, nw, k);
      const std::vector<float> ref = gather(raw, nb, nw, k);
      for (size_t i = 0; i < raw.size(); ++i) ASSERT_EQ(out[i], ref[i]) << nb << ":" << i;
    }
  }
}

struct Peaks {
  std::vector<int32_t> bins;
  std::vector<float> strengths;
};
Peaks peaks(const std::vector<float>& conv, int nw, float threshold, int max_returns) {
  Peaks p;
  std::vector<float> sums;
  const int n = extract_peaks(conv.data(), static_cast<int>(conv.size()) / nw, nw, threshold,
                              max_returns, sums, p.bins, p.strengths);
  EXPECT_EQ(n, static_cast<int>(p.bins.size()));
  return p;
}
using Bins = std::vector<int32_t>;

TEST(PeakExtraction, StrictLocalMaximaAboveThresholdNearestFirst) {
  const std::vector<float> s = {0, 1, 3, 1, 0, 2, 2, 0, 0.5f, 0.4f, 5, 4, 6};
  // Bin 2 is a peak, the plateau 5-6 is not, bins 8 and 10 are; bin 12 is the last bin and is
  // never scanned although it is above its neighbour.
  Peaks p = peaks(s, 1, 0.f, 10);
  EXPECT_EQ(p.bins, (Bins{2, 8, 10}));
  EXPECT_EQ(p.strengths, (std::vector<float>{3, 0.5f, 5}));
  // The threshold is strict too.
  EXPECT_EQ(peaks(s, 1, 0.5f, 10).bins, (Bins{2, 10}));
  EXPECT_EQ(peaks(s, 1, 3.f, 10).bins, (Bins{10}));
  EXPECT_TRUE(peaks(s, 1, 5.f, 10).bins.empty());
  // The nearest are kept, not the strongest.
  EXPECT_EQ(peaks({0, 1, 0, 9, 0, 8, 0}, 1, 0.f, 2).bins, (Bins{1, 3}));
  EXPECT_TRUE(peaks({0, 1, 0, 9, 0, 8, 0}, 1, 0.f, 0).bins.empty());
  // Fewer than three bins have no peaks.
  EXPECT_TRUE(peaks({5.f}, 1, 0.f, 5).bins.empty());
  EXPECT_TRUE(peaks({0.f, 5.f}, 1, 0.f, 5).bins.empty());
  EXPECT_EQ(peaks({0.f, 5.f, 0.f}, 1, 0.f, 5).bins, (Bins{1}));
}

TEST(PeakExtraction, WavelengthsAreSummed) {
  // Two wavelengths: bin 2 is a peak only of the sum.
  Peaks p = peaks({0, 0, 1, 0, 0.5f, 2, 0, 1, 0, 0}, 2, 0.f, 5);
  EXPECT_EQ(p.bins, (Bins{2}));
  EXPECT_EQ(p.strengths, (std::vector<float>{2.5f}));
}

TEST(PointRecords, RangeAtBinCentreAlongDirection) {
  std::vector<float> pts;
  append_point_records(7, Vec3(1, 2, 3), Vec3(0, 0, -1), {4, 10}, {0.5f, 0.25f}, 0.5f, 2.f, pts);
  const std::vector<float> expected = {1, 2, 3 - 4.25f, 0.5f,  1, 2, 4.25f, 7,
                                       1, 2, 3 - 7.25f, 0.25f, 2, 2, 7.25f, 7};
  EXPECT_EQ(pts, expected);
}

TEST(WaveformProcessor, WholeArrayMatchesPerPulseForAnyWorkerCount) {
  WaveformSettings s;
  s.num_bins = 120;
  s.num_wavelengths = 2;
  s.min_range = 1.f;
  s.peak_threshold = 1e-4f;
  const WaveformProcessor proc(s);
  const int pulses = 600;
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> bin(0, s.num_bins - 1);
  std::uniform_real_distribution<float> val(0.f, 1.f);
  std::vector<float> raw(static_cast<size_t>(pulses) * s.num_bins * s.num_wavelengths, 0.f);
  std::vector<float> origins(pulses * 3), directions(pulses * 3);
  for (int p = 0; p < pulses; ++p) {
    for (int r = 0; r < 3; ++r) raw[(p * s.num_bins + bin(rng)) * 2 + (r & 1)] += val(rng);
    origins[3 * p] = static_cast<float>(p);
    directions[3 * p + 2] = -1.f;
  }
  std::vector<float> serial = raw, serial_pts;
  WaveformScratch scratch;
  for (int p = 0; p < pulses; ++p)
    proc.process_pulse(serial.data() + static_cast<size_t>(p) * s.num_bins * 2, p,
                       Vec3(static_cast<float>(p), 0, 0), Vec3(0, 0, -1), scratch, serial_pts);
  ASSERT_GT(serial_pts.size(), static_cast<size_t>(pulses) * 8);
  for (unsigned workers : {1u, 2u, 5u}) {
    std::vector<float> w = raw;
    const std::vector<float> pts =
        proc.process_all(w.data(), pulses, origins.data(), directions.data(), workers);
    EXPECT_EQ(w, serial);
    EXPECT_EQ(pts, serial_pts);
  }
  // Records come pulse by pulse.
  for (size_t r = 8; r < serial_pts.size(); r += 8) EXPECT_GE(serial_pts[r + 7], serial_pts[r - 1]);
}

TEST(WaveformProcessor, SupportHintGivesWholeWindowResults) {
  WaveformSettings s;
  s.num_bins = 90;
  s.num_wavelengths = 2;
  s.peak_threshold = 0.f;
  s.max_returns_per_pulse = 3;
  const WaveformProcessor proc(s);
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> bin(0, s.num_bins - 1), count(0, 6);
  std::uniform_real_distribution<float> val(0.f, 1.f);
  WaveformScratch scratch;
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<float> raw(s.num_bins * 2, 0.f);
    int first = s.num_bins, last = -1;
    const int n = count(rng);
    for (int k = 0; k < n; ++k) {
      // Returns crowd the window's ends as well as its middle.
      const int b = trial % 3 == 0   ? bin(rng) % 8
                    : trial % 3 == 1 ? s.num_bins - 1 - bin(rng) % 8
                                     : bin(rng);
      raw[b * 2 + (k & 1)] += val(rng);
      first = std::min(first, b);
      last = std::max(last, b);
    }
    std::vector<float> full = raw, hinted = raw, full_pts, hinted_pts;
    proc.process_pulse(full.data(), trial, Vec3(0, 0, 0), Vec3(1, 0, 0), scratch, full_pts);
    proc.process_pulse(hinted.data(), trial, Vec3(0, 0, 0), Vec3(1, 0, 0), scratch, hinted_pts,
                       first, last);
    ASSERT_EQ(hinted, full) << trial;
    ASSERT_EQ(hinted_pts, full_pts) << trial;
  }
}

TEST(BeamPattern, CountsWeightsAndOrder) {
  EXPECT_EQ(make_beam_pattern(10).size(), 81u);
  // No lattice (0) or no lattice point in the disk (1): the central ray alone.
  for (int n : {0, 1}) {
    const std::vector<BeamSample> c = make_beam_pattern(n);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].u, 0.f);
    EXPECT_EQ(c[0].v, 0.f);
    EXPECT_EQ(c[0].weight, 1.f);
  }
  const std::vector<BeamSample> b = make_beam_pattern(2);
  ASSERT_EQ(b.size(), 5u);
  // i-major: (0,-1), (-1,0), (0,0), (1,0), (0,1).
  const float uv[5][2] = {{0, -1}, {-1, 0}, {0, 0}, {1, 0}, {0, 1}};
  double total = 0;
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(b[k].u, uv[k][0]);
    EXPECT_EQ(b[k].v, uv[k][1]);
    total += b[k].weight;
  }
  EXPECT_NEAR(total, 1.0, 1e-6);
  EXPECT_NEAR(b[0].weight / b[2].weight, 0.368, 1e-5);  // rim over centre
}

}  // namespace
}  // namespace velm::lidar
