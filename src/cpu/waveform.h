// Full-waveform LiDAR post-processing, shared by the CPU and GPU LiDAR simulations: the Gaussian
// outgoing-pulse kernel (W1), the convolution of the raw single-scattering waveform with it (W2),
// peak extraction on the wavelength-summed waveform (W3) and the point records of the peaks (W4).
// Nothing here knows about ray tracing; a backend hands over raw waveforms of
// num_pulses x num_bins x num_wavelengths floats (element (p, b, w) at
// (p * num_bins + b) * num_wavelengths + w) and gets convolved waveforms and point records back.
#pragma once

#include <cstdint>
#include <vector>

#include "physics/common.h"

namespace velm::lidar {

// Speed of light in metres per nanosecond.
constexpr float kLightMetresPerNs = 0.29979247f;

// A point record: x, y, z, intensity, return number (1-based), number of returns of its pulse,
// range, pulse index.
constexpr int kPointFields = 8;

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

// ---- the steps per element, for the CPU and the GPU kernels alike -------------------------------
// The functions below are compiled for the host and, through VELM_HD, for the device: the CPU's
// whole-pulse routines are built from them, and the module's three CUDA kernels
// (optix/lidar_kernels.cu) call the *_item functions once per thread.

// The bins of a pulse's raw waveform that hold any non-zero value: first and last (first > last
// when all are zero).
VELM_HD void active_bins(const float* raw, int32_t num_bins, int32_t num_wavelengths,
                         int32_t& first, int32_t& last) {
  first = num_bins;
  last = -1;
  const int64_t nw = num_wavelengths;
  for (int32_t i = 0; i < num_bins; ++i)
    for (int64_t w = 0; w < nw; ++w)
      if (raw[i * nw + w] != 0.f) {
        if (first > i) first = i;
        last = i;
        break;
      }
}

// W2 at output bin i and wavelength w for a raw waveform that is zero outside bins
// [first, last]; `support` points at bin `first`. Terms are added in increasing m (increasing
// input bin), the zero terms left out: each would add an exact +0.
VELM_HD float convolved_value(const float* support, int32_t first, int32_t last, int32_t i,
                              int32_t w, int32_t num_wavelengths, const float* taps,
                              int32_t half_width) {
  const int64_t nw = num_wavelengths;
  const int32_t lo = first > i - half_width ? first : i - half_width;
  const int32_t hi = last < i + half_width ? last : i + half_width;
  float sum = 0.f;
  for (int32_t j = lo; j <= hi; ++j) {
    const float v = support[static_cast<int64_t>(j - first) * nw + w];
    if (v != 0.f) sum += v * taps[i - j + half_width];
  }
  return sum;
}

// S(i): the convolved waveform at bin i summed over wavelengths, in wavelength order.
VELM_HD float wavelength_sum(const float* conv, int32_t i, int32_t num_wavelengths) {
  const int64_t nw = num_wavelengths;
  float s = 0.f;
  for (int64_t w = 0; w < nw; ++w) s += conv[i * nw + w];
  return s;
}

// W3 over a convolved waveform that is zero outside bins [first, last]: bins i of
// [max(1, first), min(num_bins - 2, last)] in increasing order are returns when S(i) is strictly
// above both neighbours and `threshold`; `emit(i, S(i))` is called for each, and the scan stops
// after `max_returns`. Returns the number of returns. A bin outside the support holds S = 0 next
// to another zero (or the window's end), so it is never a peak.
template <class Emit>
VELM_HD int32_t scan_peaks(const float* conv, int32_t num_bins, int32_t num_wavelengths,
                           float threshold, int32_t max_returns, int32_t first, int32_t last,
                           Emit& emit) {
  if (num_bins < 3 || max_returns <= 0) return 0;
  const int32_t scan_first = first > 1 ? first : 1;
  const int32_t scan_last = last < num_bins - 2 ? last : num_bins - 2;
  if (scan_first > scan_last) return 0;
  float prev = wavelength_sum(conv, scan_first - 1, num_wavelengths);
  float cur = wavelength_sum(conv, scan_first, num_wavelengths);
  int32_t count = 0;
  for (int32_t i = scan_first; i <= scan_last; ++i) {
    const float next = wavelength_sum(conv, i + 1, num_wavelengths);
    // Strict comparisons: a flat top (two equal neighbouring maxima) is not a peak.
    if (cur > prev && cur > next && cur > threshold) {
      emit(i, cur);
      if (++count >= max_returns) break;
    }
    prev = cur;
    cur = next;
  }
  return count;
}

// W4 for one return: the k-th (from 0) of `count` returns of a pulse, at bin `bin` of strength
// S. Its range is the bin's centre, (bin + 0.5) * range_resolution + min_range, and the point
// lies that far along the pulse's direction from its origin. Writes kPointFields floats.
VELM_HD void point_record(int64_t pulse_index, Vec3 origin, Vec3 direction, int32_t bin,
                          float strength, int32_t k, int32_t count, float range_resolution,
                          float min_range, float* out) {
  const float range = (static_cast<float>(bin) + 0.5f) * range_resolution + min_range;
  const Vec3 p = origin + direction * range;
  out[0] = p.x;
  out[1] = p.y;
  out[2] = p.z;
  out[3] = strength;
  out[4] = static_cast<float>(k + 1);
  out[5] = static_cast<float>(count);
  out[6] = range;
  out[7] = static_cast<float>(pulse_index);
}

// The body of find_active_ranges for pulse p: ranges[2 p], ranges[2 p + 1] = its active bins.
VELM_HD void find_active_range_item(int32_t p, const float* raw, int32_t* ranges,
                                    int32_t num_bins, int32_t num_wavelengths) {
  const int64_t stride = static_cast<int64_t>(num_bins) * num_wavelengths;
  active_bins(raw + p * stride, num_bins, num_wavelengths, ranges[2 * p], ranges[2 * p + 1]);
}

// The body of convolve_active_waveform for element `index` = p * num_bins + i: the convolved
// values of bin i of pulse p, for every wavelength, where they can be non-zero (within the
// kernel's half width of the pulse's active bins); other elements are left as they are (zero).
VELM_HD void convolve_active_item(uint64_t index, const float* raw, float* conv,
                                  const float* taps, const int32_t* ranges, int32_t num_bins,
                                  int32_t num_wavelengths, int32_t half_width) {
  const int64_t p = static_cast<int64_t>(index / static_cast<uint64_t>(num_bins));
  const int32_t i = static_cast<int32_t>(index % static_cast<uint64_t>(num_bins));
  const int32_t first = ranges[2 * p], last = ranges[2 * p + 1];
  if (first > last || i < first - half_width || i > last + half_width) return;
  const int64_t nw = num_wavelengths;
  const float* support = raw + (p * num_bins + first) * nw;
  float* out = conv + (p * num_bins + i) * nw;
  for (int32_t w = 0; w < num_wavelengths; ++w)
    out[w] = convolved_value(support, first, last, i, w, num_wavelengths, taps, half_width);
}

// The body of extract_peak_slots for pulse p: its returns as point records in slots
// [p * max_returns, p * max_returns + count) of `slots` (kPointFields floats each), and count in
// counts[p]. Origins and directions hold 3 floats per pulse (directions unit vectors).
VELM_HD void extract_peak_slots_item(int32_t p, const float* conv, const int32_t* ranges,
                                     const float* origins, const float* directions, float* slots,
                                     int32_t* counts, int32_t num_bins, int32_t num_wavelengths,
                                     int32_t half_width, float min_range,
                                     float range_resolution, float threshold,
                                     int32_t max_returns) {
  const int32_t first = ranges[2 * p], last = ranges[2 * p + 1];
  counts[p] = 0;
  if (first > last) return;
  const int32_t lo = first - half_width > 0 ? first - half_width : 0;
  const int32_t hi = last + half_width < num_bins - 1 ? last + half_width : num_bins - 1;
  const Vec3 o(origins[3 * p], origins[3 * p + 1], origins[3 * p + 2]);
  const Vec3 d(directions[3 * p], directions[3 * p + 1], directions[3 * p + 2]);
  float* mine = slots + static_cast<int64_t>(p) * max_returns * kPointFields;
  const float* wave = conv + static_cast<int64_t>(p) * num_bins * num_wavelengths;
  struct Slots {
    float* out;
    int32_t n;
    int64_t pulse;
    Vec3 o, d;
    float resolution, min_range;
    VELM_HD void operator()(int32_t bin, float strength) {
      // The count field is filled in once the scan knows it.
      point_record(pulse, o, d, bin, strength, n, 0, resolution, min_range,
                   out + static_cast<int64_t>(n) * kPointFields);
      ++n;
    }
  } emit{mine, 0, p, o, d, range_resolution, min_range};
  const int32_t n = scan_peaks(wave, num_bins, num_wavelengths, threshold, max_returns, lo, hi, emit);
  for (int32_t k = 0; k < n; ++k)
    mine[static_cast<int64_t>(k) * kPointFields + 5] = static_cast<float>(n);
  counts[p] = n;
}

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
