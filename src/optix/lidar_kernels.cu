// The three LiDAR post-processing kernels, compiled into the module and registered with the CUDA
// runtime when it loads. Each thread runs one item of physics/waveform.h.
#include "optix/lidar_kernels.h"

#include <cuda_runtime_api.h>

#include "optix/device_buffer.h"
#include "physics/waveform.h"

namespace velm {
namespace {

__global__ void find_active_ranges(const float* raw, int* ranges, int pulses, int bins,
                                   int wavelengths) {
  const int64_t p = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (p >= pulses) return;
  lidar::find_active_range_item(static_cast<int32_t>(p), raw, ranges, bins, wavelengths);
}

__global__ void convolve_active_waveform(const float* raw, float* convolved, const float* kernel,
                                         const int* ranges, unsigned long long elements, int bins,
                                         int wavelengths, int half_width) {
  const uint64_t i = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i >= elements) return;
  lidar::convolve_active_item(i, raw, convolved, kernel, ranges, bins, wavelengths, half_width);
}

__global__ void extract_peak_slots(const float* convolved, const int* ranges, const float* origins,
                                   const float* directions, float* slots, int* counts, int pulses,
                                   int bins, int wavelengths, int half_width, float min_range,
                                   float range_resolution, float peak_threshold,
                                   int max_returns) {
  const int64_t p = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (p >= pulses) return;
  lidar::extract_peak_slots_item(static_cast<int32_t>(p), convolved, ranges, origins, directions,
                                 slots, counts, bins, wavelengths, half_width, min_range,
                                 range_resolution, peak_threshold, max_returns);
}

// A launch that could not start reports at once; one that faults on the device reports at the
// synchronisation, under its own name rather than that of whatever runs next.
void check_launch(const char* kernel) {
  optix::check_cuda(cudaGetLastError(), "lidar postprocess launch");
  optix::check_cuda(cudaDeviceSynchronize(), kernel);
}

}  // namespace

namespace optix {

void launch_find_active_ranges(const float* raw, int32_t* ranges, int32_t pulses, int32_t bins,
                               int32_t wavelengths) {
  find_active_ranges<<<static_cast<unsigned>(lidar_blocks(pulses)), kLidarThreadsPerBlock>>>(
      raw, ranges, pulses, bins, wavelengths);
  check_launch("lidar find_active_ranges");
}

void launch_convolve_active_waveform(const float* raw, float* convolved, const float* kernel,
                                     const int32_t* ranges, int32_t pulses, int32_t bins,
                                     int32_t wavelengths, int32_t half_width) {
  const uint64_t elements = static_cast<uint64_t>(pulses) * static_cast<uint64_t>(bins);
  convolve_active_waveform<<<static_cast<unsigned>(lidar_blocks(elements)),
                             kLidarThreadsPerBlock>>>(raw, convolved, kernel, ranges, elements,
                                                      bins, wavelengths, half_width);
  check_launch("lidar convolve_active_waveform");
}

void launch_extract_peak_slots(const float* convolved, const int32_t* ranges,
                               const float* origins, const float* directions, float* slots,
                               int32_t* counts, int32_t pulses, int32_t bins, int32_t wavelengths,
                               int32_t half_width, float min_range, float range_resolution,
                               float peak_threshold, int32_t max_returns) {
  extract_peak_slots<<<static_cast<unsigned>(lidar_blocks(pulses)), kLidarThreadsPerBlock>>>(
      convolved, ranges, origins, directions, slots, counts, pulses, bins, wavelengths, half_width,
      min_range, range_resolution, peak_threshold, max_returns);
  check_launch("lidar extract_peak_slots");
}

}  // namespace optix
}  // namespace velm
