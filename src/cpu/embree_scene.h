// The CPU backend's scene: the shared scene description plus a two-level Embree structure (one
// bottom-level scene per mesh, a top-level scene of instances) and the ray queries that every
// CPU simulation rests on.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "cpu/embree_compat.h"
#include "physics/common.h"
#include "scene/scene_description.h"

namespace velm::embree {

struct HitRecord {
  float t = 3.4028235e38f;
  Vec3 position{0.f, 0.f, 0.f};
  Vec3 normal{0.f, 0.f, 1.f};            // shading normal, facing the incoming ray's side
  Vec3 geometric_normal{0.f, 0.f, 1.f};  // facing the side the ray came from
  int32_t material_id = -1;
  int32_t primitive_id = -1;  // triangle index within the mesh
  int32_t global_primitive_id = -1;
  int32_t instance_id = -1;
  bool hit = false;
  bool is_back_face = false;
};

class EmbreeSceneManager {
 public:
  EmbreeSceneManager();
  ~EmbreeSceneManager();
  EmbreeSceneManager(const EmbreeSceneManager&) = delete;
  EmbreeSceneManager& operator=(const EmbreeSceneManager&) = delete;

  SceneDescription& desc() { return desc_; }
  const SceneDescription& desc() const { return desc_; }

  void update_instance_transform(int32_t id, const float* transform12);
  void build();
  void build_reuse_geometry();
  void refit_ias();
  void clear_for_reuse() { desc_.clear_for_reuse(); }
  bool is_built() const { return desc_.is_built(); }
  bool has_meshes() const { return desc_.has_meshes(); }

  const SceneBounds& bounds() const { return bounds_; }
  RTCScene top_scene() const { return top_scene_; }  // for benchmarks: raw Embree queries
  float min_height() const { return bounds_.lo[2]; }
  float max_height() const { return bounds_.hi[2]; }

  // Ray queries; safe to call concurrently on a committed scene. Directions are unit vectors.
  HitRecord intersect_closest(Vec3 origin, Vec3 direction) const;
  bool occluded(Vec3 origin, Vec3 direction, float max_distance) const;
  // Occlusion in the repeating scene: the segment re-enters the tile at the opposite side up to
  // num_repetitions times.
  bool occluded_tiled(Vec3 origin, Vec3 direction, float max_distance) const;

  // (mesh id, material id) per instance geometry id.
  const std::vector<std::pair<uint32_t, uint32_t>>& instance_table() const {
    return instance_table_;
  }

 private:
  void release_scenes();

  SceneDescription desc_{Flavor::Cpu};
  RTCDevice device_ = nullptr;
  RTCScene top_scene_ = nullptr;
  std::vector<RTCScene> mesh_scenes_;
  std::vector<std::pair<uint32_t, uint32_t>> instance_table_;
  SceneBounds bounds_;
};

// 4x4 column-major instance transform for Embree from our row-major 3x4.
void to_column_major(const Transform34& m, float out[16]);

}  // namespace velm::embree
