// CUDA runtime calls of the OptiX backend: the checker every call goes through and a device
// buffer that frees itself. Only this header and its source include the CUDA runtime, so the rest
// of the backend (and the tests that run without a driver) see plain integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "optix/optix_abi.h"

namespace velm::optix {

// Throws std::runtime_error "CUDA: " + what + " - " + the runtime's error text unless `status`
// (a cudaError_t) is success. Clears the runtime's last-error state first.
void check_cuda(int status, const char* what);
std::string cuda_error_string(int status);

// The CUDA version of the installed driver as cuDriverGetVersion counts it (13000 for 13.0), or
// 0 without a driver.
int cuda_driver_version();

// Makes `device` current for the calling thread, ignoring failure (for destructors: the buffers
// an object frees must go back to its own device).
void select_device_quietly(int device);

// The capacity a growing buffer moves to: unchanged when the need fits (or is zero), exactly the
// need from empty, otherwise at least half as much again as before.
size_t grown_capacity(size_t capacity, size_t need);

class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  ~DeviceBuffer() { reset(); }
  DeviceBuffer(DeviceBuffer&& o) noexcept : ptr_(o.ptr_), bytes_(o.bytes_) {
    o.ptr_ = 0;
    o.bytes_ = 0;
  }
  DeviceBuffer& operator=(DeviceBuffer&& o) noexcept;
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  DevicePtr get() const { return ptr_; }
  size_t size() const { return bytes_; }
  bool empty() const { return ptr_ == 0; }
  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(ptr_);
  }

  // Frees the memory (errors ignored: nothing can be done about them while releasing).
  void reset();
  // Frees what it holds, then allocates `bytes` (nothing for zero bytes).
  void allocate(size_t bytes, const char* label);
  // Synchronous copy of `bytes` from host memory to byte `offset` of the buffer.
  void upload(const void* src, size_t bytes, const char* label, size_t offset = 0);
  // Frees, allocates and copies: the common "(re)upload this array" step.
  void assign(const void* src, size_t bytes, const char* alloc_label, const char* copy_label);
  void zero(const char* label);
  void download(void* dst, size_t bytes, const char* label) const;
  // Grows to grown_capacity(size(), need); contents are not preserved.
  void grow(size_t need, const char* label);

 private:
  DevicePtr ptr_ = 0;
  size_t bytes_ = 0;
};

}  // namespace velm::optix
