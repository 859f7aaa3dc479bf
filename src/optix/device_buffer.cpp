#include "optix/device_buffer.h"

#include <cuda_runtime_api.h>

#include <algorithm>
#include <stdexcept>

namespace velm::optix {

std::string cuda_error_string(int status) {
  return cudaGetErrorString(static_cast<cudaError_t>(status));
}

void check_cuda(int status, const char* what) {
  if (status == cudaSuccess) return;
  cudaGetLastError();  // a failed call leaves its error behind for the next query
  throw std::runtime_error(std::string("CUDA: ") + what + " - " + cuda_error_string(status));
}

int cuda_driver_version() {
  int version = 0;
  if (cudaDriverGetVersion(&version) != cudaSuccess) {
    cudaGetLastError();
    return 0;
  }
  return version;
}

void select_device_quietly(int device) {
  if (cudaSetDevice(device) != cudaSuccess) cudaGetLastError();
}

size_t grown_capacity(size_t capacity, size_t need) {
  if (need == 0 || need <= capacity) return capacity;
  if (capacity == 0) return need;
  return std::max(need, capacity + capacity / 2);
}

DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& o) noexcept {
  if (this != &o) {
    reset();
    ptr_ = o.ptr_;
    bytes_ = o.bytes_;
    o.ptr_ = 0;
    o.bytes_ = 0;
  }
  return *this;
}

void DeviceBuffer::reset() {
  if (ptr_ != 0) cudaFree(reinterpret_cast<void*>(ptr_));
  ptr_ = 0;
  bytes_ = 0;
}

void DeviceBuffer::allocate(size_t bytes, const char* label) {
  reset();
  if (bytes == 0) return;
  void* p = nullptr;
  check_cuda(cudaMalloc(&p, bytes), label);
  ptr_ = reinterpret_cast<DevicePtr>(p);
  bytes_ = bytes;
}

void DeviceBuffer::upload(const void* src, size_t bytes, const char* label, size_t offset) {
  if (bytes == 0) return;
  if (offset + bytes > bytes_)
    throw std::logic_error(std::string("device copy past the end of the buffer: ") + label);
  check_cuda(cudaMemcpy(reinterpret_cast<void*>(ptr_ + offset), src, bytes,
                        cudaMemcpyHostToDevice),
             label);
}

void DeviceBuffer::assign(const void* src, size_t bytes, const char* alloc_label,
                          const char* copy_label) {
  allocate(bytes, alloc_label);
  upload(src, bytes, copy_label);
}

void DeviceBuffer::zero(const char* label) {
  if (bytes_ == 0) return;
  check_cuda(cudaMemset(reinterpret_cast<void*>(ptr_), 0, bytes_), label);
}

void DeviceBuffer::download(void* dst, size_t bytes, const char* label) const {
  if (bytes == 0) return;
  if (bytes > bytes_)
    throw std::logic_error(std::string("device copy past the end of the buffer: ") + label);
  check_cuda(cudaMemcpy(dst, reinterpret_cast<const void*>(ptr_), bytes, cudaMemcpyDeviceToHost),
             label);
}

void DeviceBuffer::grow(size_t need, const char* label) {
  const size_t capacity = grown_capacity(bytes_, need);
  if (capacity == bytes_) return;
  void* p = nullptr;
  check_cuda(cudaMalloc(&p, capacity), label);
  reset();
  ptr_ = reinterpret_cast<DevicePtr>(p);
  bytes_ = capacity;
}

}  // namespace velm::optix
