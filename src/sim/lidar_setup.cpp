#include "sim/lidar_setup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "sim/setup.h"

namespace velm::lidar {

namespace {

std::string fmt(const char* format, long long a, long long b = 0, long long c = 0,
                long long d = 0) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, a, b, c, d);
  return buf;
}

bool finite3(const float* v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

}  // namespace

void check_lidar_request(const LidarRequest& r) {
  if (r.num_pulses < 0)
    throw std::invalid_argument(fmt("num_pulses must not be negative, got %lld", r.num_pulses));
  if (r.beam_samples_per_dim < 0 || r.beam_samples_per_dim > kMaxBeamSamplesPerDim)
    throw std::invalid_argument(fmt("beam_samples_per_dim must be between 0 and %lld, got %lld",
                                    kMaxBeamSamplesPerDim, r.beam_samples_per_dim));
  if (r.num_wavelengths < 1)
    throw std::invalid_argument(
        fmt("num_wavelengths must be at least 1, got %lld", r.num_wavelengths));
  if (r.max_returns_per_pulse < 0)
    throw std::invalid_argument(
        fmt("max_returns_per_pulse must not be negative, got %lld", r.max_returns_per_pulse));
  // tan() of the half angle spreads the beam; at or beyond a right angle the cone is meaningless.
  if (!(r.beam_half_angle_rad >= 0.f) || !(r.beam_half_angle_rad < 1.5707963f))
    throw std::invalid_argument("beam_half_angle_rad must lie in [0, pi/2), got " +
                                std::to_string(r.beam_half_angle_rad));
  if (!std::isfinite(r.pulse_energy) || !std::isfinite(r.sensor_area))
    throw std::invalid_argument("pulse_energy and sensor_area must be finite");
  const int64_t n = r.num_pulses;
  if (n > 0 && (r.pulse_origins == nullptr || r.origin_rows < n))
    throw std::invalid_argument(
        fmt("pulse_origins holds %lld rows of 3 values but num_pulses is %lld", r.origin_rows, n));
  if (n > 0 && (r.pulse_directions == nullptr || r.direction_rows < n))
    throw std::invalid_argument(
        fmt("pulse_directions holds %lld rows of 3 values but num_pulses is %lld",
            r.direction_rows, n));
  for (int64_t p = 0; p < n; ++p) {
    const float* o = r.pulse_origins + 3 * p;
    if (!finite3(o))
      throw std::invalid_argument(fmt("pulse_origins row %lld is not finite", p));
    if (!(std::fabs(o[0]) < kMaxOriginCoordinate &&
          std::fabs(o[1]) < kMaxOriginCoordinate &&
          std::fabs(o[2]) < kMaxOriginCoordinate))
      throw std::invalid_argument(fmt("pulse_origins row %lld lies beyond 1e18 of the origin", p));
    // Normalised in double later, so any finite non-zero length is usable.
    const float* d = r.pulse_directions + 3 * p;
    if (!finite3(d) || (d[0] == 0.f && d[1] == 0.f && d[2] == 0.f))
      throw std::invalid_argument(
          fmt("pulse_directions row %lld is not a finite non-zero vector", p));
  }
}

void check_lidar_materials(const SceneDescription& desc,
                           const std::vector<uint32_t>& instance_meshes, const LidarRequest& r) {
  const auto& materials = desc.materials();
  const int64_t spectral_size = static_cast<int64_t>(desc.spectral_params().size());
  const int64_t nw = r.direct_mode ? 1 : r.num_wavelengths;
  std::vector<bool> seen(materials.size(), false);
  for (const uint32_t mesh : instance_meshes) {
    const uint32_t mat = desc.meshes()[mesh].material_id;
    if (mat >= materials.size())
      throw std::invalid_argument(
          fmt("mesh %lld uses material %lld, but the scene has %lld materials", mesh, mat,
              static_cast<long long>(materials.size())));
    if (seen[mat]) continue;
    seen[mat] = true;
    const MaterialRecord& m = materials[mat];
    const int64_t offset = m.spectral_offset;
    int64_t lo = offset, hi = offset + nw - 1;
    if (!r.direct_mode && m.type == kMaterialLeaf) {
      const int64_t back = offset + desc.num_bands();
      lo = std::min(lo, back);
      hi = std::max(hi, back + nw - 1);
    }
    if (lo < 0 || hi >= spectral_size)
      throw std::invalid_argument(
          fmt("material %lld reads spectral parameters %lld to %lld, outside the spectral "
              "buffer of %lld values",
              mat, lo, hi, spectral_size));
  }
}

std::vector<BeamSample> make_beam_pattern(int32_t samples_per_dim) {
  if (samples_per_dim < 0 || samples_per_dim > kMaxBeamSamplesPerDim)
    throw std::invalid_argument(fmt("beam_samples_per_dim must be between 0 and %lld, got %lld",
                                    kMaxBeamSamplesPerDim, samples_per_dim));
  const int32_t n = samples_per_dim;
  if (n == 0) return {{0.f, 0.f, 1.f}};
  const float nf = static_cast<float>(n);
  // exp(ln(0.368) r^2): 1 on the axis, 0.368 on the rim of the cone.
  const float rim_scale = -0.5f / std::log(0.368f);
  std::vector<BeamSample> samples;
  float sum = 0.f;
  for (int32_t i = 0; i <= n; ++i) {
    for (int32_t j = 0; j <= n; ++j) {
      const float u = 2.f * static_cast<float>(j) / nf - 1.f;
      const float v = 2.f * static_cast<float>(i) / nf - 1.f;
      const float r2 = u * u + v * v;
      if (r2 > 1.0001f) continue;
      const float w = std::exp((r2 * -0.5f) / rim_scale);
      samples.push_back({u, v, w});
      sum += w;
    }
  }
  if (samples.empty()) return {{0.f, 0.f, 1.f}};
  for (BeamSample& s : samples) s.weight /= sum;
  return samples;
}

void check_waveform_size(const LidarRequest& r, int32_t num_bins) {
  const uint64_t stride =
      static_cast<uint64_t>(num_bins) * static_cast<uint64_t>(r.num_wavelengths);
  constexpr uint64_t kMaxFloats = std::numeric_limits<int64_t>::max() / sizeof(float);
  if (r.num_pulses > 0 && stride > kMaxFloats / static_cast<uint64_t>(r.num_pulses))
    throw std::invalid_argument(fmt(
        "the waveform of %lld pulses x %lld bins x %lld wavelengths is too large", r.num_pulses,
        num_bins, r.num_wavelengths));
}

std::vector<float> unit_pulse_directions(const LidarRequest& r) {
  // Directions are unit vectors by contract; normalising guards the frame, the ranges and the
  // point positions against callers that pass unnormalised ones.
  std::vector<float> directions(static_cast<size_t>(std::max(r.num_pulses, 0)) * 3);
  for (int64_t p = 0; p < r.num_pulses; ++p) {
    const Vec3 d = unit_direction(r.pulse_directions + 3 * p, "pulse direction");
    directions[3 * p] = d.x;
    directions[3 * p + 1] = d.y;
    directions[3 * p + 2] = d.z;
  }
  return directions;
}

WaveformSettings waveform_settings(const LidarRequest& r, int32_t num_bins) {
  WaveformSettings ws;
  ws.num_bins = num_bins;
  ws.num_wavelengths = r.num_wavelengths;
  ws.range_resolution = r.range_resolution;
  ws.min_range = r.min_range;
  ws.pulse_fwhm_ns = r.pulse_fwhm_ns;
  ws.peak_threshold = r.peak_threshold;
  ws.max_returns_per_pulse = r.max_returns_per_pulse;
  return ws;
}

}  // namespace velm::lidar
