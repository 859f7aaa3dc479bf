#include "optix/context.h"

#include <cuda_runtime_api.h>

#include <stdexcept>

#include "optix/device_buffer.h"
#include "optix/optix_loader.h"

namespace velm {

OptiXContext::OptiXContext(int32_t device_id) : device_id_(device_id) {
  const cudaError_t set = cudaSetDevice(device_id);
  if (set != cudaSuccess) {
    cudaGetLastError();
    throw std::runtime_error(std::string("Failed to set CUDA device: ") +
                             cudaGetErrorString(set));
  }
  cudaDeviceProp props{};
  optix::check_cuda(cudaGetDeviceProperties(&props, device_id), "device properties");
  name_ = props.name;
  total_memory_ = props.totalGlobalMem;
  major_ = props.major;
  minor_ = props.minor;

  cudaStream_t stream = nullptr;
  if (cudaStreamCreate(&stream) != cudaSuccess) {
    cudaGetLastError();
    throw std::runtime_error("Failed to create CUDA stream");
  }
  stream_ = stream;

  try {
    optix::ensure_function_table();
    // Under the diagnostics switch the driver checks every call and launch (slowly) and its
    // level-3 warnings are written too.
    static const unsigned kWarningsToo = 3;
    const bool validation = optix::validation_requested();
    optix::DeviceContextOptions options{};
    options.log_callback = optix::log_callback;
    options.log_callback_data = validation ? const_cast<unsigned*>(&kWarningsToo) : nullptr;
    options.log_callback_level = 3;
    options.validation_mode = validation ? optix::kValidationModeAll : optix::kValidationModeOff;
    const optix::Result r =
        optix::table().device_context_create(nullptr, &options, &device_context_);
    if (r != optix::kSuccess)
      throw std::runtime_error(std::string("Failed to create OptiX device context: ") +
                               optix::error_name(r) + " \u2014 " + optix::error_string(r));
  } catch (...) {
    release();
    throw;
  }
}

OptiXContext::~OptiXContext() { release(); }

void OptiXContext::release() {
  if (device_context_ != nullptr) optix::table().device_context_destroy(device_context_);
  device_context_ = nullptr;
  if (stream_ != nullptr) cudaStreamDestroy(stream_);
  stream_ = nullptr;
}

void OptiXContext::make_current() const {
  optix::check_cuda(cudaSetDevice(device_id_), "set device");
}

int64_t OptiXContext::free_vram_mb() const {
  make_current();
  size_t free_bytes = 0, total_bytes = 0;
  optix::check_cuda(cudaMemGetInfo(&free_bytes, &total_bytes), "mem info");
  return static_cast<int64_t>(free_bytes >> 20);
}

}  // namespace velm
