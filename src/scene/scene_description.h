// The host-side description of a scene that all three backends build from: meshes, instances,
// materials, the spectral parameter buffer, sun, sky, sensor, thermal settings, repetition tile
// and measurement plane. One implementation; where the three scene classes differ (messages,
// initial band count, what invalidates a build) the difference is keyed on the Flavor here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "scene/records.h"

namespace velm {

enum class Flavor { Vulkan, OptiX, Cpu };

class SceneDescription {
 public:
  explicit SceneDescription(Flavor flavor);
  SceneDescription(const SceneDescription&) = delete;
  SceneDescription& operator=(const SceneDescription&) = delete;

  Flavor flavor() const { return flavor_; }

  // ---- use by simulations ---------------------------------------------------------------------
  // A simulation reads the description (and its backend's acceleration structures) without a
  // copy, possibly on worker threads with the interpreter lock released. It holds an InUse for
  // its whole run; while any is held, every change to the scene throws std::runtime_error
  // (check_mutable), so nothing a running simulation reads can move or be freed.
  class InUse {
   public:
    explicit InUse(const SceneDescription& d) : d_(&d) { d_->users_.fetch_add(1); }
    ~InUse() { d_->users_.fetch_sub(1); }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

   private:
    const SceneDescription* d_;
  };
  bool in_use() const { return users_.load() > 0; }
  // Throws std::runtime_error while a simulation holds the scene; backends call it before they
  // rebuild, refit or otherwise change what simulations read.
  void check_mutable() const;

  // ---- geometry -------------------------------------------------------------------------------
  // Validates and appends; returns the new mesh id. Throws std::invalid_argument on bad meshes.
  int32_t add_mesh(HostMesh mesh);
  int32_t add_instance(int32_t mesh_id, float x, float y, float z, float scale);
  int32_t add_instance_xform(int32_t mesh_id, const float* transform12);
  // `transforms` holds count rows of 12 floats; returns the id of the first new instance.
  int32_t add_instances_xform(int32_t mesh_id, const float* transforms, int64_t count);
  void update_instance_transform(int32_t id, const float* transform12);

  const std::vector<HostMesh>& meshes() const { return meshes_; }
  const std::vector<InstanceRecord>& instances() const { return instances_; }
  int32_t num_instances() const { return static_cast<int32_t>(instances_.size()); }
  int32_t total_triangles() const;
  bool has_meshes() const { return !meshes_.empty(); }

  // Global primitive index: instances in order, triangles in mesh order. One entry more than
  // there are instances; the last entry is the primitive count.
  std::vector<uint64_t> primitive_prefix_sums() const;
  // World-space bounds: every instance's mesh box, its eight corners transformed; in the Vulkan
  // scene every transformed vertex (a zero box when there are no instances).
  SceneBounds compute_bounds() const;

  void set_repetitive(int32_t count, float x_size, float y_size);
  const RepetitionTile& repetition() const { return repetition_; }
  void set_measurement_plane(float height) {
    check_mutable();
    measurement_plane_ = height;
  }
  float measurement_plane() const { return measurement_plane_; }

  // ---- optical description --------------------------------------------------------------------
  void set_num_bands(int32_t n);
  int32_t num_bands() const { return num_bands_; }
  int32_t add_material(uint32_t type, uint32_t offset, const std::vector<float>& scalars);
  const std::vector<MaterialRecord>& materials() const { return materials_; }
  void upload_spectral_params(std::vector<float> params) {
    check_mutable();
    spectral_ = std::move(params);
  }
  void update_spectral_params(int64_t offset, const std::vector<float>& params);
  const std::vector<float>& spectral_params() const { return spectral_; }

  void set_emitter(uint32_t type, const float* direction3, uint32_t spectral_offset);
  void update_emitter_direction(const float* direction3);
  const EmitterRecord& emitter() const { return emitter_; }

  void set_sky(int32_t spectral_offset) {
    check_mutable();
    sky_.constant_offset = spectral_offset;
  }
  void set_hw_sky(int32_t spectral_offset, float sun_x, float sun_y, float sun_z);
  const SkySettings& sky() const { return sky_; }

  // fov in degrees; `matrix` holds up to 16 values in the caller's order.
  void set_sensor(int32_t type, int32_t width, int32_t height, float ortho_w, float ortho_h,
                  const std::vector<float>& matrix, float fov_degrees, int32_t projection_type,
                  bool terrain_following);
  const SensorBlock& sensor() const { return sensor_; }
  bool terrain_following() const { return terrain_following_; }

  void set_thermal_mode(bool enabled, std::vector<float> wavelengths);
  const ThermalSettings& thermal() const { return thermal_; }

  // ---- per-primitive overrides (GPU scenes) ---------------------------------------------------
  // `n_primitives` is the backend's primitive count (its last build's prefix table for OptiX).
  // Length and value checks with the flavor's messages; the scene is unchanged on failure.
  void set_primitive_temperatures(std::vector<float> values, int64_t n_primitives);
  void set_primitive_emissivities(std::vector<float> values, int64_t n_primitives);
  void set_primitive_sif_spectra(std::vector<float> spectra, int32_t n_sif_bands,
                                 int64_t n_primitives);
  void clear_primitive_temperatures();
  void clear_primitive_emissivities();
  void clear_primitive_sif_spectra();
  void set_sif_only_mode(bool enabled);
  const PrimitiveOverrides& primitive_overrides() const { return overrides_; }

  // Empties materials and spectra, resets sun and sky; geometry, sensor and tile stay.
  void clear_for_reuse();

  // ---- build state ----------------------------------------------------------------------------
  bool is_built() const { return built_; }
  void set_built(bool built) {
    check_mutable();
    built_ = built;
  }

 private:
  void check_mesh_id(int32_t mesh_id) const;
  void geometry_added();

  Flavor flavor_;
  std::vector<HostMesh> meshes_;
  std::vector<InstanceRecord> instances_;
  RepetitionTile repetition_;
  float measurement_plane_ = 0.f;

  int32_t num_bands_;
  std::vector<MaterialRecord> materials_;
  std::vector<float> spectral_;
  EmitterRecord emitter_;
  SkySettings sky_;
  SensorBlock sensor_;
  bool terrain_following_ = false;
  ThermalSettings thermal_;
  PrimitiveOverrides overrides_;

  bool built_ = false;
  mutable std::atomic<int> users_{0};
};

// Applies a row-major 3x4 transform to a point.
inline Float3 transform_point(const Transform34& m, const Float3& p) {
  return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
          m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

}  // namespace velm
