// OptiXContext: one CUDA device, its stream and an OptiX device context. Scenes and simulators
// hold it through a shared_ptr, so it lives as long as anything built on it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "optix/optix_abi.h"

namespace velm {

class OptiXContext : public std::enable_shared_from_this<OptiXContext> {
 public:
  // Selects the device, creates the stream, loads the driver's OptiX table (once per process)
  // and creates the OptiX device context; throws std::runtime_error with the failing step's
  // message, releasing whatever it had created.
  explicit OptiXContext(int32_t device_id = 0);
  ~OptiXContext();
  OptiXContext(const OptiXContext&) = delete;
  OptiXContext& operator=(const OptiXContext&) = delete;

  int32_t device_id() const { return device_id_; }
  const std::string& device_name() const { return name_; }
  uint64_t total_memory() const { return total_memory_; }
  int64_t total_vram_mb() const { return static_cast<int64_t>(total_memory_ >> 20); }
  int64_t free_vram_mb() const;  // queried at each call
  int32_t compute_major() const { return major_; }
  int32_t compute_minor() const { return minor_; }
  std::string compute_capability() const {
    return std::to_string(major_) + "." + std::to_string(minor_);
  }

  optix::DeviceContext device_context() const { return device_context_; }
  optix::Stream stream() const { return stream_; }
  // Makes this context's device the calling thread's current CUDA device.
  void make_current() const;
  // Serialises builds and launches issued on this context's stream.
  std::mutex& submit_mutex() const { return submit_mutex_; }

 private:
  void release();

  optix::DeviceContext device_context_ = nullptr;
  optix::Stream stream_ = nullptr;
  int32_t device_id_ = 0;
  std::string name_;
  uint64_t total_memory_ = 0;
  int32_t major_ = 0;
  int32_t minor_ = 0;
  mutable std::mutex submit_mutex_;
};

}  // namespace velm
