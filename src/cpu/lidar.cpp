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
#include "sim/waveform.h"
#include "sim/workers.h"

namespace velm::lidar {

namespace {

// Additions to a pulse's private raw waveform.
struct PlainAdd {
  static void add(float* target, float value) { *target += value; }
};

Vec3 row3(const float* rows, int64_t p) {
  const float* v = rows + 3 * p;
  return {v[0], v[1], v[2]};
}

}  // namespace

LidarResult simulate_lidar_cpu(const embree::EmbreeSceneManager& scene, const LidarRequest& r,
                               const std::function<void()>& poll) {
  // ---- everything that can fail is checked before any work -------------------------------------
  check_lidar_request(r);
  const int32_t num_bins = range_bin_count(r.min_range, r.max_range, r.range_resolution);
  // Direct mode skips the waveform steps, so their settings are only checked in waveform mode.
  std::optional<WaveformProcessor> processor;
  if (!r.direct_mode) processor.emplace(waveform_settings(r, num_bins));
  check_waveform_size(r, num_bins);
  const uint64_t stride =
      static_cast<uint64_t>(num_bins) * static_cast<uint64_t>(r.num_wavelengths);
  if (!scene.is_built())
    throw std::runtime_error("simulate_lidar_cpu: the scene is not built. Call build() first.");
  // The shared scene checks (tile, instance transforms); materials are checked below for the
  // values a LiDAR return reads.
  cpu::ScenePrerequisites need;
  need.materials = false;
  need.sun_direction = false;
  cpu::check_scene_for_simulation(scene, "simulate_lidar_cpu", 1, need);
  std::vector<uint32_t> instance_meshes;
  for (const embree::BuiltInstance& inst : scene.built_instances())
    instance_meshes.push_back(inst.mesh_id);
  check_lidar_materials(scene.desc(), instance_meshes, r);

  const std::vector<BeamSample> beam = r.direct_mode ? std::vector<BeamSample>{}
                                                     : make_beam_pattern(r.beam_samples_per_dim);
  const unsigned workers = worker_count();
  std::printf("LiDAR (CPU): %d pulses, %d beam samples, %s mode, %d threads\n", r.num_pulses,
              r.direct_mode ? 1 : static_cast<int>(beam.size()),
              r.direct_mode ? "direct" : "waveform", static_cast<int>(workers));
  std::fflush(stdout);

  LidarResult result;
  result.num_pulses = r.num_pulses;
  result.num_bins = num_bins;
  result.num_wavelengths = r.num_wavelengths;
  result.direct_mode = r.direct_mode;
  // Direct mode records no waveform: the result holds none (the module hands out zeros that
  // cost no memory).
  if (!r.direct_mode) result.waveform.assign(static_cast<size_t>(r.num_pulses) * stride, 0.f);
  if (r.num_pulses == 0) return result;

  const std::vector<float> directions = unit_pulse_directions(r);
  const float* origins = r.pulse_origins;

  const SceneDescription& desc = scene.desc();
  ReturnSettings rs;
  rs.materials = desc.materials().data();
  rs.material_count = static_cast<uint32_t>(desc.materials().size());
  rs.params = desc.spectral_params().data();
  rs.num_bands = desc.num_bands();
  rs.num_wavelengths = r.num_wavelengths;
  rs.min_range = r.min_range;
  rs.max_range = r.max_range;
  rs.range_resolution = r.range_resolution;
  rs.num_bins = num_bins;
  rs.pulse_energy = r.pulse_energy;
  rs.sensor_area = r.sensor_area;
  const uint64_t num_pulses = static_cast<uint64_t>(r.num_pulses);

  // Interrupts (Ctrl-C) are polled while the workers trace; a wide beam also watches `stop`
  // inside its pulse. Nothing happens between batches.
  std::atomic<bool> stop{false};
  auto nothing_between = [](uint64_t) {};

  if (r.direct_mode) {
    // One record slot per pulse, compacted in pulse order afterwards: the record order is the
    // pulse order whatever the number of workers.
    std::vector<float> slots(num_pulses * kPointFields);
    std::vector<uint8_t> found(num_pulses, 0);
    parallel_batches(workers, num_pulses, 64, 65536, [&](unsigned, uint64_t begin,
                                                              uint64_t end) {
      for (uint64_t p = begin; p < end; ++p) {
        const Vec3 o = row3(origins, static_cast<int64_t>(p));
        const Vec3 d = row3(directions.data(), static_cast<int64_t>(p));
        float ret[5];
        if (!direct_return(rs, scene.intersect_closest(o, d), o, d, ret)) continue;
        float* rec = slots.data() + p * kPointFields;
        const float values[kPointFields] = {ret[0], ret[1], ret[2], ret[3], 1.f, 1.f, ret[4],
                                            static_cast<float>(p)};
        std::copy(values, values + kPointFields, rec);
        found[p] = 1;
      }
    }, nothing_between, poll, &stop);
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

  constexpr uint64_t kChunk = 16;
  const uint64_t chunks = (num_pulses + kChunk - 1) / kChunk;
  std::vector<std::vector<float>> chunk_points(chunks);
  std::vector<WaveformScratch> scratch(workers);

  constexpr size_t kStopCheck = 4096;  // beam samples between looks at `stop`
  parallel_chunks(workers, num_pulses, kChunk, [&](unsigned w, uint64_t begin, uint64_t end) {
    std::vector<float>& points = chunk_points[begin / kChunk];
    for (uint64_t p = begin; p < end; ++p) {
      const Vec3 o = row3(origins, static_cast<int64_t>(p));
      const Vec3 d = row3(directions.data(), static_cast<int64_t>(p));
      const Frame frame = build_frame(d);
      // The pulse's slice of the result is its private raw waveform.
      float* wave = result.waveform.data() + p * stride;
      int64_t first = num_bins, last = -1;  // bins that received energy
      for (size_t k = 0; k < beam.size(); ++k) {
        if (k % kStopCheck == kStopCheck - 1 && stop.load(std::memory_order_relaxed)) return;
        const Vec3 ray = beam_world_direction(frame, local[k]);
        const int32_t bin = add_beam_return<PlainAdd>(rs, scene.intersect_closest(o, ray), o, ray,
                                                      beam[k].weight, wave);
        if (bin < 0) continue;
        first = std::min<int64_t>(first, bin);
        last = std::max<int64_t>(last, bin);
      }
      // W2 to W4 while the pulse is still in cache; the same routine as a whole-array pass,
      // told where the raw waveform can be non-zero.
      processor->process_pulse(wave, static_cast<int64_t>(p), o, d, scratch[w], points,
                               static_cast<int32_t>(first), static_cast<int32_t>(last));
    }
  }, poll, &stop);

  size_t total = 0;
  for (const auto& c : chunk_points) total += c.size();
  result.points.reserve(total);
  for (const auto& c : chunk_points) result.points.insert(result.points.end(), c.begin(), c.end());
  return result;
}

}  // namespace velm::lidar
