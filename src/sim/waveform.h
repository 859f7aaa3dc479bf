// Full-waveform LiDAR post-processing, shared by the CPU and GPU LiDAR simulations: the Gaussian
// outgoing-pulse kernel (W1), the convolution of the raw single-scattering waveform with it (W2),
// peak extraction on the wavelength-summed waveform (W3) and the point records of the peaks (W4).
// Nothing here knows about ray tracing; a backend hands over raw waveforms of
// num_pulses x num_bins x num_wavelengths floats (element (p, b, w) at
// (p * num_bins + b) * num_wavelengths + w) and gets convolved waveforms and point records back.
#pragma once

#include <cstdint>
#include <vector>

#include "physics/waveform.h"

namespace velm::lidar {

// Largest kernel half-width accepted; a wider pulse relative to the bin size is a caller error
// (the kernel alone would take gigabytes).
constexpr int32_t kMaxKernelHalfWidth = 1 << 22;

// Number of range bins of the window [min_range, max_range] at the given resolution:
// trunc((max_range - min_range) / range_resolution) + 1. Throws std::invalid_argument for a
// non-positive or non-finite resolution, a non-finite window, max_range < min_range, or a count
// beyond int32.
int32_t range_bin_count(float min_range, float max_range, float range_resolution);

// W1. The outgoing pulse as a range blur: the two-way pulse of full width at half maximum
// pulse_fwhm_ns covers fwhm * c / 2 metres of range, so sigma = (fwhm * c / 2) / (2 sqrt(2 ln 2)).
// The kernel samples the Gaussian at whole bins out to H = 1 + trunc(3 sigma / resolution) on
// each side (K = 2 H + 1 taps) and is normalised to unit sum, so convolution preserves the
// energy of a return away from the window's ends.
struct PulseKernel {
  float sigma = 0.f;       // metres
  int32_t half_width = 0;  // H
  std::vector<float> taps; // 2 H + 1 values, tap H at zero offset
};
// Throws std::invalid_argument for a non-positive or non-finite pulse width or resolution, or a
// kernel wider than kMaxKernelHalfWidth.
PulseKernel make_pulse_kernel(float pulse_fwhm_ns, float range_resolution);

// W2 for one pulse: out[i, w] = sum over m = -H..H of raw[i + m, w] * tap[m + H], terms outside
// the window omitted (no renormalisation at the ends). `raw` and `out` hold num_bins x
// num_wavelengths floats and must not overlap. Terms are added in increasing m for every output,
// so the result does not depend on how sparse the input is.
void convolve_waveform(const float* raw, float* out, int32_t num_bins, int32_t num_wavelengths,
                       const PulseKernel& kernel);

// W3 for one pulse. S(i) is the sum over wavelengths of the convolved waveform at bin i. Bins
// i = 1 .. num_bins - 2 are scanned in increasing order and i is a return when S(i) is strictly
// above both neighbours and strictly above `threshold`; the scan stops after `max_returns`
// returns, so the nearest ones are kept. Writes the bins and their S(i) (`bins` and `strengths`
// are resized to the number of returns) and returns that number.
int32_t extract_peaks(const float* conv, int32_t num_bins, int32_t num_wavelengths,
                      float threshold, int32_t max_returns, std::vector<float>& sums_scratch,
                      std::vector<int32_t>& bins, std::vector<float>& strengths);

// W4 for one pulse: one record per return, in increasing range. The range of bin i is its
// centre, (i + 0.5) * range_resolution + min_range, and the point lies that far along the
// pulse's direction from its origin.
void append_point_records(int64_t pulse_index, Vec3 origin, Vec3 direction,
                          const std::vector<int32_t>& bins, const std::vector<float>& strengths,
                          float range_resolution, float min_range, std::vector<float>& points);

struct WaveformSettings {
  int32_t num_bins = 0;
  int32_t num_wavelengths = 1;
  float range_resolution = 0.15f;
  float min_range = 0.f;
  float pulse_fwhm_ns = 4.f;
  float peak_threshold = 1e-8f;
  int32_t max_returns_per_pulse = 5;
};

// Per-thread working memory of WaveformProcessor::process_pulse.
struct WaveformScratch {
  std::vector<float> raw;
  std::vector<float> sums;
  std::vector<int32_t> bins;
  std::vector<float> strengths;
};

// W1 to W4 with the kernel built once. Construction validates the settings (std::invalid_argument:
// bin count or max_returns_per_pulse negative, num_wavelengths below 1, and the kernel's checks).
class WaveformProcessor {
 public:
  explicit WaveformProcessor(const WaveformSettings& settings);

  const WaveformSettings& settings() const { return settings_; }
  const PulseKernel& kernel() const { return kernel_; }

  // W2 to W4 for one pulse. `waveform` holds the pulse's raw waveform on entry and its convolved
  // waveform on return; the pulse's point records are appended to `points`.
  void process_pulse(float* waveform, int64_t pulse_index, Vec3 origin, Vec3 direction,
                     WaveformScratch& scratch, std::vector<float>& points) const {
    process_pulse(waveform, pulse_index, origin, direction, scratch, points, 0,
                  settings_.num_bins - 1);
  }
  // The same when the raw waveform is known to be zero outside bins [first, last] (first > last:
  // all zero). Outside [first - H, last + H] the convolution is zero and no bin there can be a
  // strict peak, so only that stretch is touched; the results equal the whole-window ones bit
  // for bit.
  void process_pulse(float* waveform, int64_t pulse_index, Vec3 origin, Vec3 direction,
                     WaveformScratch& scratch, std::vector<float>& points, int32_t first,
                     int32_t last) const;

  // W2 to W4 for all pulses, spread over `workers` threads. `waveforms` (num_pulses x num_bins x
  // num_wavelengths) is convolved in place; origins and directions hold 3 floats per pulse.
  // Returns the point records, pulse by pulse; the result does not depend on `workers`.
  std::vector<float> process_all(float* waveforms, int64_t num_pulses, const float* origins,
                                 const float* directions, unsigned workers) const;

 private:
  WaveformSettings settings_;
  PulseKernel kernel_;
};

}  // namespace velm::lidar
