// SceneManager: the OptiX backend's scene. The shared scene description plus its GPU state: one
// GAS per mesh, an IAS over the instances, device copies of materials, spectral parameters and
// the sun, and on request the per-primitive tables that address every triangle by its global
// primitive index. Launches read all of it through one LaunchSceneBlock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "optix/context.h"
#include "optix/device_buffer.h"
#include "optix/launch_plan.h"
#include "optix/launch_records.h"
#include "optix/records.h"
#include "scene/scene_description.h"

namespace velm {

// The device copy of one mesh and its geometry acceleration structure.
struct GpuMeshRecord {
  optix::DeviceBuffer vertices;  // float3 per vertex
  optix::DeviceBuffer normals;   // float3 per vertex; empty when the mesh has none
  optix::DeviceBuffer indices;   // uint3 per triangle
  uint32_t vertex_count = 0;
  uint32_t triangle_count = 0;
  uint32_t material_id = 0;
  optix::TraversableHandle gas = 0;
  optix::DeviceBuffer gas_buffer;
};

class SceneManager {
 public:
  explicit SceneManager(std::shared_ptr<OptiXContext> context);
  ~SceneManager();
  SceneManager(const SceneManager&) = delete;
  SceneManager& operator=(const SceneManager&) = delete;

  SceneDescription& desc() { return desc_; }
  const SceneDescription& desc() const { return desc_; }
  const OptiXContext& context() const { return *context_; }

  // ---- build --------------------------------------------------------------------------------
  void build();
  // Materials, sun and per-primitive tables again; acceleration structures stay.
  void build_reuse_geometry();
  void refit_ias();
  void clear_for_reuse();
  void update_instance_transform(int32_t id, const float* transform12);
  bool is_built() const { return desc_.is_built(); }
  bool has_meshes() const { return !gpu_meshes_.empty(); }  // GPU mesh records exist
  const std::vector<GpuMeshRecord>& gpu_meshes() const { return gpu_meshes_; }

  // ---- settings that upload at once ---------------------------------------------------------
  void upload_spectral_params(std::vector<float> params);
  void update_spectral_params(int64_t offset, const std::vector<float>& params);
  void update_emitter_direction(const float* direction3);
  void set_thermal_mode(bool enabled, std::vector<float> wavelengths);
  void set_populate_primitive_soa(bool enabled) {
    desc_.check_mutable();
    populate_soa_ = enabled;
  }
  // Whether the next build() fills the per-primitive tables: asked for, or implied by thermal or
  // SIF-only mode.
  bool populates_primitive_tables() const;

  // ---- per-primitive tables -----------------------------------------------------------------
  int64_t n_primitives() const { return prefix_.empty() ? 0 : prefix_.back(); }
  const std::vector<float>& primitive_areas() const { return areas_; }
  std::vector<int32_t> primitive_material_ids() const;
  void set_primitive_temperatures(std::vector<float> values);
  void set_primitive_emissivities(std::vector<float> values);
  void set_primitive_sif_spectra(std::vector<float> spectra, int32_t n_sif_bands);
  void clear_primitive_temperatures();
  void clear_primitive_emissivities();
  void clear_primitive_sif_spectra();

  // ---- queries ------------------------------------------------------------------------------
  const SceneBounds& bounds() const { return bounds_; }
  float min_height() const { return bounds_.lo[2]; }
  float max_height() const { return bounds_.hi[2]; }
  optix::TraversableHandle ias_handle() const { return ias_handle_; }
  // Names the device state binding tables point into: a process-wide number renewed by every
  // build() and build_reuse_geometry(), never reused (0 before the first build), so a table built
  // for a freed scene never matches another scene built at the same address.
  uint64_t geometry_id() const { return geometry_id_; }
  // What the launches copy into their parameters.
  optix::LaunchSceneBlock launch_scene_block() const;
  // What the launch plans check and size from.
  optix::SceneFacts facts() const;

 private:
  void upload_mesh(size_t m);
  void build_gas(size_t m);
  void build_ias();

  void upload_materials_and_emitter();
  void build_primitive_tables();
  void free_primitive_tables();
  void release_device_state();

  std::shared_ptr<OptiXContext> context_;
  SceneDescription desc_{Flavor::OptiX};
  bool populate_soa_ = false;
  SceneBounds bounds_;

  std::vector<GpuMeshRecord> gpu_meshes_;
  optix::TraversableHandle ias_handle_ = 0;
  uint64_t geometry_id_ = 0;
  optix::DeviceBuffer ias_buffer_;
  optix::DeviceBuffer ias_instances_;
  uint32_t ias_instance_count_ = 0;
  optix::DeviceBuffer ias_update_buffer_;

  optix::DeviceBuffer materials_;
  optix::DeviceBuffer spectral_;
  optix::DeviceBuffer emitter_;
  optix::DeviceBuffer thermal_wavelengths_;

  std::vector<uint32_t> prefix_;  // per-instance prefix sums of the last build
  std::vector<float> areas_;
  optix::DeviceBuffer prefix_device_;
  optix::DeviceBuffer instance_mesh_ids_;
  optix::DeviceBuffer instance_transforms_;
  optix::DeviceBuffer mesh_vertex_pointers_;
  optix::DeviceBuffer mesh_index_pointers_;
  optix::DeviceBuffer mesh_triangle_counts_;
  uint32_t lookup_instances_ = 0;
  uint32_t max_mesh_triangles_ = 0;

  optix::DeviceBuffer temperatures_;
  optix::DeviceBuffer emissivities_;
  optix::DeviceBuffer sif_spectra_;
};

}  // namespace velm
