#include "sim/waveform.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "sim/workers.h"

namespace velm::lidar {

int32_t range_bin_count(float min_range, float max_range, float range_resolution) {
  if (!(range_resolution > 0.f) || !std::isfinite(range_resolution))
    throw std::invalid_argument("range_resolution must be a positive finite number, got " +
                                std::to_string(range_resolution));
  if (!std::isfinite(min_range) || !std::isfinite(max_range))
    throw std::invalid_argument("min_range and max_range must be finite");
  if (max_range < min_range)
    throw std::invalid_argument("max_range (" + std::to_string(max_range) +
                                ") must not be below min_range (" + std::to_string(min_range) +
                                ")");
  const float span_bins = (max_range - min_range) / range_resolution;
  // 2^31 - 128 is the largest float below 2^31, so the truncation and the + 1 stay in int32.
  if (!(span_bins < 2147483520.f))
    throw std::invalid_argument(
        "the range window (max_range - min_range) / range_resolution holds too many bins");
  return static_cast<int32_t>(span_bins) + 1;
}

PulseKernel make_pulse_kernel(float pulse_fwhm_ns, float range_resolution) {
  if (!(pulse_fwhm_ns > 0.f) || !std::isfinite(pulse_fwhm_ns))
    throw std::invalid_argument("pulse_fwhm_ns must be a positive finite number, got " +
                                std::to_string(pulse_fwhm_ns));
  if (!(range_resolution > 0.f) || !std::isfinite(range_resolution))
    throw std::invalid_argument("range_resolution must be a positive finite number, got " +
                                std::to_string(range_resolution));
  PulseKernel k;
  // Two-way travel halves the range extent of the pulse; 2 sqrt(2 ln 2) turns a FWHM into sigma.
  k.sigma = (pulse_fwhm_ns * kLightMetresPerNs * 0.5f) / (2.f * std::sqrt(2.f * std::log(2.f)));
  const float reach = 3.f * k.sigma / range_resolution;
  if (!(reach < static_cast<float>(kMaxKernelHalfWidth)) || !(k.sigma * k.sigma > 0.f))
    throw std::invalid_argument(
        "pulse_fwhm_ns is too wide (or too narrow) for range_resolution: the pulse kernel would "
        "need " + std::to_string(reach) + " bins on each side");
  k.half_width = 1 + static_cast<int32_t>(reach);
  const int32_t n = 2 * k.half_width + 1;
  k.taps.resize(static_cast<size_t>(n));
  const float var = k.sigma * k.sigma;
  double sum = 0.0;
  for (int32_t i = 0; i < n; ++i) {
    const float x = static_cast<float>(i - k.half_width) * range_resolution;
    k.taps[i] = std::exp(-0.5f * (x * x) / var);
    sum += k.taps[i];
  }
  const float norm = static_cast<float>(sum);
  for (float& t : k.taps) t /= norm;
  return k;
}

namespace {

// W2 restricted to input bins [first, last] (zero elsewhere); `raw` points at bin `first`.
// Writes the outputs [first - H, last + H] of the window and leaves the rest of `out` alone.
void convolve_support(const float* raw, float* out, int32_t num_bins, int32_t num_wavelengths,
                      const PulseKernel& kernel, int32_t first, int32_t last) {
  const int32_t h = kernel.half_width;
  const int64_t out_first = std::max<int64_t>(0, int64_t{first} - h);
  const int64_t out_last = std::min<int64_t>(num_bins - 1, int64_t{last} + h);
  const int64_t nw = num_wavelengths;
  for (int64_t i = out_first; i <= out_last; ++i)
    for (int32_t w = 0; w < num_wavelengths; ++w)
      out[i * nw + w] = convolved_value(raw, first, last, static_cast<int32_t>(i), w,
                                        num_wavelengths, kernel.taps.data(), h);
}

// W3 restricted to the bins [first, last] outside which the convolved waveform is zero.
int32_t peaks_in_support(const float* conv, int32_t num_bins, int32_t num_wavelengths,
                         float threshold, int32_t max_returns, std::vector<int32_t>& bins,
                         std::vector<float>& strengths, int32_t first, int32_t last) {
  bins.clear();
  strengths.clear();
  auto emit = [&](int32_t bin, float strength) {
    bins.push_back(bin);
    strengths.push_back(strength);
  };
  return scan_peaks(conv, num_bins, num_wavelengths, threshold, max_returns, first, last, emit);
}

}  // namespace

void convolve_waveform(const float* raw, float* out, int32_t num_bins, int32_t num_wavelengths,
                       const PulseKernel& kernel) {
  if (num_bins <= 0) return;
  convolve_support(raw, out, num_bins, num_wavelengths, kernel, 0, num_bins - 1);
}

int32_t extract_peaks(const float* conv, int32_t num_bins, int32_t num_wavelengths,
                      float threshold, int32_t max_returns, std::vector<float>& sums,
                      std::vector<int32_t>& bins, std::vector<float>& strengths) {
  sums.clear();
  return peaks_in_support(conv, num_bins, num_wavelengths, threshold, max_returns, bins, strengths,
                          0, num_bins - 1);
}

void append_point_records(int64_t pulse_index, Vec3 origin, Vec3 direction,
                          const std::vector<int32_t>& bins, const std::vector<float>& strengths,
                          float range_resolution, float min_range, std::vector<float>& points) {
  const int32_t count = static_cast<int32_t>(bins.size());
  for (int32_t k = 0; k < count; ++k) {
    float rec[kPointFields];
    point_record(pulse_index, origin, direction, bins[k], strengths[k], k, count,
                 range_resolution, min_range, rec);
    points.insert(points.end(), rec, rec + kPointFields);
  }
}

WaveformProcessor::WaveformProcessor(const WaveformSettings& settings) : settings_(settings) {
  if (settings.num_bins < 0) throw std::invalid_argument("num_bins must not be negative");
  if (settings.num_wavelengths < 1)
    throw std::invalid_argument("num_wavelengths must be at least 1, got " +
                                std::to_string(settings.num_wavelengths));
  if (settings.max_returns_per_pulse < 0)
    throw std::invalid_argument("max_returns_per_pulse must not be negative, got " +
                                std::to_string(settings.max_returns_per_pulse));
  kernel_ = make_pulse_kernel(settings.pulse_fwhm_ns, settings.range_resolution);
}

void WaveformProcessor::process_pulse(float* waveform, int64_t pulse_index, Vec3 origin,
                                      Vec3 direction, WaveformScratch& scratch,
                                      std::vector<float>& points, int32_t first,
                                      int32_t last) const {
  const WaveformSettings& s = settings_;
  first = std::max(first, 0);
  last = std::min(last, s.num_bins - 1);
  if (first > last) return;  // an all-zero waveform convolves to zero and has no peaks
  const int64_t nw = s.num_wavelengths;
  // The convolution reads the raw values while it overwrites the waveform in place, so the raw
  // support goes to scratch first (stored from bin `first` on).
  scratch.raw.assign(waveform + first * nw, waveform + (last + 1) * nw);
  convolve_support(scratch.raw.data(), waveform, s.num_bins, s.num_wavelengths, kernel_, first,
                   last);
  const int64_t h = kernel_.half_width;
  peaks_in_support(waveform, s.num_bins, s.num_wavelengths, s.peak_threshold,
                   s.max_returns_per_pulse, scratch.bins, scratch.strengths,
                   static_cast<int32_t>(std::max<int64_t>(0, first - h)),
                   static_cast<int32_t>(std::min<int64_t>(s.num_bins - 1, last + h)));
  append_point_records(pulse_index, origin, direction, scratch.bins, scratch.strengths,
                       s.range_resolution, s.min_range, points);
}

std::vector<float> WaveformProcessor::process_all(float* waveforms, int64_t num_pulses,
                                                  const float* origins, const float* directions,
                                                  unsigned workers) const {
  if (num_pulses <= 0) return {};
  const int64_t stride = static_cast<int64_t>(settings_.num_bins) * settings_.num_wavelengths;
  constexpr uint64_t kChunk = 256;
  const uint64_t chunks = (static_cast<uint64_t>(num_pulses) + kChunk - 1) / kChunk;
  // One record list per chunk, joined in chunk order, so the records come out pulse by pulse
  // whichever worker handled which chunk.
  std::vector<std::vector<float>> chunk_points(chunks);
  std::vector<WaveformScratch> scratch(std::max(1u, workers));
  parallel_chunks(workers, static_cast<uint64_t>(num_pulses), kChunk,
                       [&](unsigned w, uint64_t begin, uint64_t end) {
                         std::vector<float>& out = chunk_points[begin / kChunk];
                         for (uint64_t p = begin; p < end; ++p) {
                           const float* o = origins + 3 * p;
                           const float* d = directions + 3 * p;
                           process_pulse(waveforms + static_cast<int64_t>(p) * stride,
                                         static_cast<int64_t>(p), Vec3(o[0], o[1], o[2]),
                                         Vec3(d[0], d[1], d[2]), scratch[w], out);
                         }
                       });
  size_t total = 0;
  for (const auto& c : chunk_points) total += c.size();
  std::vector<float> points;
  points.reserve(total);
  for (const auto& c : chunk_points) points.insert(points.end(), c.begin(), c.end());
  return points;
}

}  // namespace velm::lidar
