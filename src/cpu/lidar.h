// LiDAR on the CPU backend. Each pulse is a narrow cone of rays (the beam pattern) fired from an
// origin along a direction; the first surface along every ray returns single-scattered energy
// into a range-binned raw waveform per wavelength, and the waveforms are then convolved with the
// outgoing pulse and reduced to discrete returns (cpu/waveform.h). Direct mode skips the beam and
// the waveform and records the first hit of each pulse's central ray.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "physics/common.h"

namespace velm::embree {
class EmbreeSceneManager;
}

namespace velm::lidar {

// One ray of the beam pattern: offset (u, v) in the unit disk and its normalised weight.
struct BeamSample {
  float u = 0.f, v = 0.f, weight = 0.f;
};

// Largest beam_samples_per_dim accepted (already some 13 million rays per pulse).
constexpr int32_t kMaxBeamSamplesPerDim = 4096;

// The (n + 1) x (n + 1) lattice u = 2 j / n - 1, v = 2 i / n - 1 (i-major) clipped to the unit
// disk, each point weighted by a Gaussian that falls to 0.368 (about 1/e) at the rim; the weights
// sum to one. n = 1 gives no samples (the four corners lie outside the disk), n = 2 gives 5 and
// n = 10 gives 81. Throws std::invalid_argument for n outside [1, kMaxBeamSamplesPerDim].
std::vector<BeamSample> make_beam_pattern(int32_t samples_per_dim);

// World direction of a beam sample for a pulse whose frame is build_frame(direction):
// the local direction (u tan_half, v tan_half, 1), normalised, then rotated and normalised again.
inline Vec3 beam_local_direction(const BeamSample& s, float tan_half) {
  return normalize(Vec3(s.u * tan_half, s.v * tan_half, 1.f));
}
inline Vec3 beam_world_direction(const Frame& f, Vec3 local) {
  return normalize(f.t * local.x + f.b * local.y + f.n * local.z);
}

struct LidarRequest {
  // Row-major pulse origins and directions, 3 floats a row; at least num_pulses rows each.
  const float* pulse_origins = nullptr;
  int64_t origin_rows = 0;
  const float* pulse_directions = nullptr;
  int64_t direction_rows = 0;
  int32_t num_pulses = 0;
  float beam_half_angle_rad = 0.0005f;
  int32_t beam_samples_per_dim = 10;
  float pulse_energy = 1.f;
  float sensor_area = 0.1f;
  float range_resolution = 0.15f;
  float min_range = 0.f;
  float max_range = 100.f;
  int32_t num_wavelengths = 1;
  float pulse_fwhm_ns = 4.f;
  float peak_threshold = 1e-8f;
  int32_t max_returns_per_pulse = 5;
  bool direct_mode = false;
};

struct LidarResult {
  int32_t num_pulses = 0;
  int32_t num_bins = 0;
  int32_t num_wavelengths = 1;
  std::vector<float> waveform;  // num_pulses x num_bins x num_wavelengths; zeros in direct mode
  std::vector<float> points;    // 8 floats per return, pulse by pulse
  int64_t num_returns() const { return static_cast<int64_t>(points.size() / 8); }
};

// Validates everything before tracing (std::invalid_argument for bad arguments or a scene whose
// materials or spectra the simulation would read out of range, std::runtime_error for a scene
// that was never built), prints one log line on standard output, traces on worker_count()
// threads and post-processes. Results are bit-identical for any worker count. `poll` runs on the
// calling thread between batches of pulses and may throw to stop the run (Ctrl-C).
LidarResult simulate_lidar_cpu(const embree::EmbreeSceneManager& scene, const LidarRequest& req,
                               const std::function<void()>& poll = {});

}  // namespace velm::lidar
