#include "cpu/lidar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "cpu/embree_scene.h"
#include "cpu/sim_common.h"
#include "cpu/waveform.h"
#include "cpu/workers.h"

namespace velm::lidar {

namespace {

constexpr float kPiF = 3.1415927f;
constexpr uint32_t kLeafType = 13;

std::string fmt(const char* format, long long a, long long b = 0, long long c = 0,
                long long d = 0) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, a, b, c, d);
  return buf;
}

bool finite3(const float* v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

void check_request(const LidarRequest& r) {
  if (r.num_pulses < 0)
    throw std::invalid_argument(fmt("num_pulses must not be negative, got %lld", r.num_pulses));
  if (r.beam_samples_per_dim < 1 || r.beam_samples_per_dim > kMaxBeamSamplesPerDim)
    throw std::invalid_argument(fmt("beam_samples_per_dim must be between 1 and %lld, got %lld",
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
    if (!(std::fabs(o[0]) < embree::kMaxRayCoordinate &&
          std::fabs(o[1]) < embree::kMaxRayCoordinate &&
          std::fabs(o[2]) < embree::kMaxRayCoordinate))
      throw std::invalid_argument(fmt("pulse_origins row %lld lies beyond 1e18 of the origin", p));
    // Normalised in double later, so any finite non-zero length is usable.
    const float* d = r.pulse_directions + 3 * p;
    if (!finite3(d) || (d[0] == 0.f && d[1] == 0.f && d[2] == 0.f))
      throw std::invalid_argument(
          fmt("pulse_directions row %lld is not a finite non-zero vector", p));
  }
}

// Every material that an instanced mesh carries must exist, and every spectral value the
// simulation may read for it must lie inside the spectral buffer: p[offset + w] for each
// wavelength, p[offset + num_bands + w] for the back face of a leaf, p[offset] in direct mode.
void check_materials(const embree::EmbreeSceneManager& scene, const LidarRequest& r) {
  const SceneDescription& desc = scene.desc();
  const auto& materials = desc.materials();
  const int64_t spectral_size = static_cast<int64_t>(desc.spectral_params().size());
  const int64_t nw = r.direct_mode ? 1 : r.num_wavelengths;
  std::vector<bool> seen(materials.size(), false);
  for (const embree::BuiltInstance& inst : scene.built_instances()) {
    const uint32_t mesh = inst.mesh_id, mat = inst.material_id;
    if (mat >= materials.size())
      throw std::invalid_argument(
          fmt("mesh %lld uses material %lld, but the scene has %lld materials", mesh, mat,
              static_cast<long long>(materials.size())));
    if (seen[mat]) continue;
    seen[mat] = true;
    const MaterialRecord& m = materials[mat];
    const int64_t offset = m.spectral_offset;
    int64_t lo = offset, hi = offset + nw - 1;
    if (!r.direct_mode && m.type == kLeafType) {
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

// Reflectance table lookup for one hit; the materials were checked up front.
struct SpectralView {
  const MaterialRecord* materials;
  size_t num_materials;
  const float* params;
  int64_t num_bands;

  const float* reflectance(int32_t material_id, bool back_face) const {
    if (material_id < 0 || static_cast<size_t>(material_id) >= num_materials)
      throw std::logic_error("LiDAR hit a material outside the checked material list");
    const MaterialRecord& m = materials[material_id];
    int64_t index = m.spectral_offset;
    if (back_face && m.type == kLeafType) index += num_bands;
    return params + index;
  }
};

Vec3 row3(const float* rows, int64_t p) {
  const float* v = rows + 3 * p;
  return {v[0], v[1], v[2]};
}

}  // namespace

std::vector<BeamSample> make_beam_pattern(int32_t samples_per_dim) {
  if (samples_per_dim < 1 || samples_per_dim > kMaxBeamSamplesPerDim)
    throw std::invalid_argument(fmt("beam_samples_per_dim must be between 1 and %lld, got %lld",
                                    kMaxBeamSamplesPerDim, samples_per_dim));
  const int32_t n = samples_per_dim;
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
  if (sum > 0.f)
    for (BeamSample& s : samples) s.weight /= sum;
  return samples;
}

LidarResult simulate_lidar_cpu(const embree::EmbreeSceneManager& scene, const LidarRequest& r,
                               const std::function<void()>& poll) {
  // ---- everything that can fail is checked before any work -------------------------------------
  check_request(r);
  const int32_t num_bins = range_bin_count(r.min_range, r.max_range, r.range_resolution);
  WaveformSettings ws;
  ws.num_bins = num_bins;
  ws.num_wavelengths = r.num_wavelengths;
  ws.range_resolution = r.range_resolution;
  ws.min_range = r.min_range;
  ws.pulse_fwhm_ns = r.pulse_fwhm_ns;
  ws.peak_threshold = r.peak_threshold;
  ws.max_returns_per_pulse = r.max_returns_per_pulse;
  // Direct mode skips the waveform steps, so their settings are only checked in waveform mode.
  std::optional<WaveformProcessor> processor;
  if (!r.direct_mode) processor.emplace(ws);
  const uint64_t stride =
      static_cast<uint64_t>(num_bins) * static_cast<uint64_t>(r.num_wavelengths);
  constexpr uint64_t kMaxFloats = std::numeric_limits<int64_t>::max() / sizeof(float);
  if (r.num_pulses > 0 && stride > kMaxFloats / static_cast<uint64_t>(r.num_pulses))
    throw std::invalid_argument(fmt(
        "the waveform of %lld pulses x %lld bins x %lld wavelengths is too large", r.num_pulses,
        num_bins, r.num_wavelengths));
  if (!scene.is_built())
    throw std::runtime_error("simulate_lidar_cpu: the scene is not built. Call build() first.");
  // The shared scene checks (tile, instance transforms); materials are checked below for the
  // values a LiDAR return reads.
  cpu::ScenePrerequisites need;
  need.materials = false;
  need.sun_direction = false;
  cpu::check_scene_for_simulation(scene, "simulate_lidar_cpu", 1, need);
  check_materials(scene, r);

  const std::vector<BeamSample> beam = r.direct_mode ? std::vector<BeamSample>{}
                                                     : make_beam_pattern(r.beam_samples_per_dim);
  const unsigned workers = cpu::worker_count();
  std::printf("LiDAR (CPU): %d pulses, %d beam samples, %s mode, %d threads\n", r.num_pulses,
              r.direct_mode ? 1 : static_cast<int>(beam.size()),
              r.direct_mode ? "direct" : "waveform", static_cast<int>(workers));
  std::fflush(stdout);

  LidarResult result;
  result.num_pulses = r.num_pulses;
  result.num_bins = num_bins;
  result.num_wavelengths = r.num_wavelengths;
  result.waveform.assign(static_cast<size_t>(r.num_pulses) * stride, 0.f);
  if (r.num_pulses == 0) return result;

  // Directions are unit vectors by contract; normalising guards the frame, the ranges and the
  // point positions against callers that pass unnormalised ones.
  std::vector<float> directions(static_cast<size_t>(r.num_pulses) * 3);
  for (int64_t p = 0; p < r.num_pulses; ++p) {
    const Vec3 d = cpu::unit_direction(r.pulse_directions + 3 * p, "pulse direction");
    directions[3 * p] = d.x;
    directions[3 * p + 1] = d.y;
    directions[3 * p + 2] = d.z;
  }
  const float* origins = r.pulse_origins;

  const SceneDescription& desc = scene.desc();
  const SpectralView spectra{desc.materials().data(), desc.materials().size(),
                             desc.spectral_params().data(), desc.num_bands()};
  const int64_t nw = r.num_wavelengths;
  const uint64_t num_pulses = static_cast<uint64_t>(r.num_pulses);

  // Pulses run in batches, with a poll for interrupts (Ctrl-C) between them.
  auto poll_between = [&](uint64_t) {
    if (poll) poll();
  };

  if (r.direct_mode) {
    // One record slot per pulse, compacted in pulse order afterwards: the record order is the
    // pulse order whatever the number of workers.
    std::vector<float> slots(num_pulses * kPointFields);
    std::vector<uint8_t> found(num_pulses, 0);
    cpu::parallel_batches(workers, num_pulses, 64, 65536, [&](unsigned, uint64_t begin,
                                                              uint64_t end) {
      for (uint64_t p = begin; p < end; ++p) {
        const Vec3 o = row3(origins, static_cast<int64_t>(p));
        const Vec3 d = row3(directions.data(), static_cast<int64_t>(p));
        const embree::HitRecord hit = scene.intersect_closest(o, d);
        if (!hit.hit) continue;
        const float range = length(hit.position - o);
        if (!(range >= r.min_range && range <= r.max_range)) continue;
        const float cosine = std::fabs(dot(-d, hit.normal));
        const float rho = spectra.reflectance(hit.material_id, false)[0];
        const float intensity =
            cosine * rho * r.pulse_energy * r.sensor_area / (kPiF * (range * range));
        float* rec = slots.data() + p * kPointFields;
        const float values[kPointFields] = {hit.position.x, hit.position.y, hit.position.z,
                                            intensity,      1.f,            1.f,
                                            range,          static_cast<float>(p)};
        std::copy(values, values + kPointFields, rec);
        found[p] = 1;
      }
    }, poll_between);
    for (uint64_t p = 0; p < num_pulses; ++p)
      if (found[p])
        result.points.insert(result.points.end(), slots.begin() + p * kPointFields,
                             slots.begin() + (p + 1) * kPointFields);
    return result;
  }

  // ---- waveform mode ----------------------------------------------------------------------------
  const float tan_half = std::tan(r.beam_half_angle_rad);
  std::vector<Vec3> local(beam.size());
  for (size_t k = 0; k < beam.size(); ++k) local[k] = beam_local_direction(beam[k], tan_half);
  const float bins_f = static_cast<float>(num_bins);

  constexpr uint64_t kChunk = 16;
  const uint64_t chunks = (num_pulses + kChunk - 1) / kChunk;
  std::vector<std::vector<float>> chunk_points(chunks);
  std::vector<WaveformScratch> scratch(workers);

  constexpr uint64_t kPollBatch = 4096;  // pulses between interrupt polls
  cpu::parallel_batches(workers, num_pulses, kChunk, kPollBatch, [&](unsigned w, uint64_t begin,
                                                                     uint64_t end) {
    std::vector<float>& points = chunk_points[begin / kChunk];
    for (uint64_t p = begin; p < end; ++p) {
      const Vec3 o = row3(origins, static_cast<int64_t>(p));
      const Vec3 d = row3(directions.data(), static_cast<int64_t>(p));
      const Frame frame = build_frame(d);
      // The pulse's slice of the result is its private raw waveform.
      float* wave = result.waveform.data() + p * stride;
      int64_t first = num_bins, last = -1;  // bins that received energy
      for (size_t k = 0; k < beam.size(); ++k) {
        const Vec3 ray = beam_world_direction(frame, local[k]);
        const embree::HitRecord hit = scene.intersect_closest(o, ray);
        if (!hit.hit) continue;
        const float range = length(hit.position - o);
        if (!(range >= r.min_range && range <= r.max_range)) continue;
        const float bin_f = (range - r.min_range) / r.range_resolution;
        if (!(bin_f >= 0.f) || !(bin_f < bins_f)) continue;
        const int64_t bin = static_cast<int64_t>(bin_f);
        const float cosine = std::fabs(dot(-ray, hit.normal));
        if (cosine < 1e-6f) continue;
        // Lambertian single scattering back into the receiver aperture:
        // E / R^2 * weight * A * cos / pi * rho.
        const float base =
            (r.pulse_energy / (range * range)) * beam[k].weight * r.sensor_area * cosine / kPiF;
        const float* rho = spectra.reflectance(hit.material_id, hit.is_back_face);
        first = std::min(first, bin);
        last = std::max(last, bin);
        float* cell = wave + bin * nw;
        for (int64_t wl = 0; wl < nw; ++wl) {
          const float s = base * rho[wl];
          if (s > 0.f) cell[wl] += s;
        }
      }
      // W2 to W4 while the pulse is still in cache; the same routine as a whole-array pass,
      // told where the raw waveform can be non-zero.
      processor->process_pulse(wave, static_cast<int64_t>(p), o, d, scratch[w], points,
                               static_cast<int32_t>(first), static_cast<int32_t>(last));
    }
  }, poll_between);

  size_t total = 0;
  for (const auto& c : chunk_points) total += c.size();
  result.points.reserve(total);
  for (const auto& c : chunk_points) result.points.insert(result.points.end(), c.begin(), c.end());
  return result;
}

}  // namespace velm::lidar
