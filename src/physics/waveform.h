// The per-item steps of full-waveform LiDAR processing, compiled for the host and, through
// VELM_HD, for the device: the CPU's whole-pulse routines (sim/waveform.h) are built from them,
// and the OptiX backend's three CUDA kernels call the *_item functions once per thread. A raw
// waveform holds num_bins x num_wavelengths floats (element (b, w) at b * num_wavelengths + w).
#pragma once

#include <cstdint>

#include "physics/common.h"

namespace velm::lidar {

// Speed of light in metres per nanosecond.
constexpr float kLightMetresPerNs = 0.29979247f;

// A point record: x, y, z, intensity, return number (1-based), number of returns of its pulse,
// range, pulse index.
constexpr int kPointFields = 8;

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

}  // namespace velm::lidar
