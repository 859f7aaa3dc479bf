// LiDAR on the CPU backend. Each pulse is a narrow cone of rays (the beam pattern) fired from an
// origin along a direction; the first surface along every ray returns single-scattered energy
// into a range-binned raw waveform per wavelength, and the waveforms are then convolved with the
// outgoing pulse and reduced to discrete returns (sim/waveform.h). Direct mode skips the beam and
// the waveform and records the first hit of each pulse's central ray.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "physics/common.h"
#include "sim/lidar_setup.h"

namespace velm::embree {
class EmbreeSceneManager;
}

namespace velm::lidar {

// Validates everything before tracing (std::invalid_argument for bad arguments or a scene whose
// materials or spectra the simulation would read out of range, std::runtime_error for a scene
// that was never built), prints one log line on standard output, traces on worker_count()
// threads and post-processes. Results are bit-identical for any worker count. `poll` runs on the
// calling thread between batches of pulses and may throw to stop the run (Ctrl-C).
LidarResult simulate_lidar_cpu(const embree::EmbreeSceneManager& scene, const LidarRequest& req,
                               const std::function<void()>& poll = {});

}  // namespace velm::lidar
