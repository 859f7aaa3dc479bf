// The OptiX backend's LiDAR post-processing on the GPU: three CUDA kernels compiled into the
// module (lidar_kernels.cu), each a thin wrapper that runs one *_item function of physics/waveform.h
// per thread, so the GPU and the CPU reduce waveforms with the same code. The launchers run on
// the default stream with 256 threads per block and throw the CUDA checker's error
// ("lidar postprocess launch") when a launch fails to start, or one naming the kernel when it
// faults on the device (each waits for its kernel to finish).
#pragma once

#include <cstdint>

namespace velm::optix {

constexpr int kLidarThreadsPerBlock = 256;

// Blocks of 256 threads that cover `items` items.
inline uint64_t lidar_blocks(uint64_t items) {
  return (items + kLidarThreadsPerBlock - 1) / kLidarThreadsPerBlock;
}

// ranges: 2 ints per pulse.
void launch_find_active_ranges(const float* raw, int32_t* ranges, int32_t pulses, int32_t bins,
                               int32_t wavelengths);
void launch_convolve_active_waveform(const float* raw, float* convolved, const float* kernel,
                                     const int32_t* ranges, int32_t pulses, int32_t bins,
                                     int32_t wavelengths, int32_t half_width);
// slots: pulses x max_returns records of 8 floats; counts: 1 int per pulse.
void launch_extract_peak_slots(const float* convolved, const int32_t* ranges,
                               const float* origins, const float* directions, float* slots,
                               int32_t* counts, int32_t pulses, int32_t bins, int32_t wavelengths,
                               int32_t half_width, float min_range, float range_resolution,
                               float peak_threshold, int32_t max_returns);

}  // namespace velm::optix
