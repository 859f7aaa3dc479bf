// What the LiDAR simulations of every backend share before tracing: the request, its checks, the
// checks of the materials and spectra a return reads, and the beam pattern.
#pragma once

#include <cstdint>
#include <vector>

#include "physics/lidar.h"
#include "scene/scene_description.h"
#include "sim/waveform.h"

namespace velm::lidar {

// Largest beam_samples_per_dim accepted (already some 13 million rays per pulse).
constexpr int32_t kMaxBeamSamplesPerDim = 4096;

// The (n + 1) x (n + 1) lattice u = 2 j / n - 1, v = 2 i / n - 1 (i-major) clipped to the unit
// disk, each point weighted by a Gaussian that falls to 0.368 (about 1/e) at the rim; the weights
// sum to one. n = 2 gives 5 samples and n = 10 gives 81. When the lattice leaves no point in the
// disk (n = 1: the four corners lie outside it) and for n = 0 (no lattice), the beam is its
// central ray alone, of weight 1. Throws std::invalid_argument for n outside
// [0, kMaxBeamSamplesPerDim].
std::vector<BeamSample> make_beam_pattern(int32_t samples_per_dim);

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

// What a LiDAR simulation returns, on every backend.
struct LidarResult {
  int32_t num_pulses = 0;
  int32_t num_bins = 0;
  int32_t num_wavelengths = 1;
  bool direct_mode = false;     // no waveform is recorded: `waveform` stays empty
  std::vector<float> waveform;  // num_pulses x num_bins x num_wavelengths (waveform mode)
  std::vector<float> points;    // 8 floats per return, pulse by pulse
  int64_t num_returns() const { return static_cast<int64_t>(points.size() / 8); }
};

// std::invalid_argument for a request no simulation can run: negative counts, a beam angle
// outside [0, pi/2), too many beam samples per dimension, non-finite energies, pulse arrays
// shorter than num_pulses, and pulse origins or directions that cannot be traced.
void check_lidar_request(const LidarRequest& r);

// Every material that an instance's mesh carries must exist, and every spectral value a return
// may read for it must lie inside the spectral buffer: p[offset + w] for each wavelength,
// p[offset + num_bands + w] for the back face of a leaf, p[offset] in direct mode.
// `instance_meshes` lists the mesh of each instance the backend traces.
void check_lidar_materials(const SceneDescription& desc,
                           const std::vector<uint32_t>& instance_meshes, const LidarRequest& r);

// std::invalid_argument when the waveforms, num_pulses x num_bins x num_wavelengths floats,
// cannot be addressed.
void check_waveform_size(const LidarRequest& r, int32_t num_bins);

// The settings of the waveform steps for a request's num_bins range bins.
WaveformSettings waveform_settings(const LidarRequest& r, int32_t num_bins);

// The pulse directions as unit vectors (normalised in double), 3 floats per pulse.
std::vector<float> unit_pulse_directions(const LidarRequest& r);

}  // namespace velm::lidar
