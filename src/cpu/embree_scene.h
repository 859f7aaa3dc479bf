// The CPU backend's scene: the shared scene description plus a two-level Embree structure (one
// bottom-level scene per mesh, a top-level scene of instances) and the ray queries that every
// CPU simulation rests on.
#pragma once

#include <cstdint>
#include <vector>

#include "cpu/embree_compat.h"
#include "cpu/hit_rebuild.h"
#include "physics/common.h"
#include "physics/surface.h"
#include "scene/scene_description.h"

namespace velm::embree {

// A closest hit: the shared surface record (physics/surface.h).
using HitRecord = SurfaceHit;

// What the ray queries need of a built instance, fixed when the Embree scene is committed (a
// transform changed since then shows in queries only after the next refit or build).
struct BuiltInstance {
  uint32_t mesh_id = 0;
  uint32_t material_id = 0;
  Transform34 transform{};
  InstanceFrame frame;  // normal matrix, norms and conditioning of the transform
  HitTransform hit;  // the transform and the frame as the hit rebuild reads them
  // The mesh as Embree traces it (its own vertex and index buffers), reached from the instance
  // record without going through the scene description's mesh list.
  const Float3* vertices = nullptr;
  const Int3* triangles = nullptr;
  const Float3* normals = nullptr;  // per-vertex normals (one element of padding), or null
  uint32_t num_triangles = 0;
};

// Largest coordinate magnitude a ray may carry into Embree (its traversal asserts beyond about
// 1.8e18); the queries treat a ray outside this range, or not finite, as meeting nothing.
constexpr float kMaxRayCoordinate = 1e18f;

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
  HitRecord intersect_closest(const Vec3& origin, const Vec3& direction) const;
  bool occluded(const Vec3& origin, const Vec3& direction, float max_distance) const;
  // Up to 8 occlusion queries over the same length as one packet, for rays that start together.
  void occluded8(int n, const Vec3* origins, const Vec3* directions, float max_distance,
                 bool* out) const;
  // Occlusion in the repeating scene: the segment re-enters the tile at the opposite side up to
  // num_repetitions times.
  bool occluded_tiled(Vec3 origin, Vec3 direction, float max_distance) const;

  // The built instances, indexed by instance id (= Embree geometry id).
  const std::vector<BuiltInstance>& built_instances() const { return built_; }

 private:
  void release_scenes();
  void snapshot_instances();  // built_ and bounds_ from the description
  BuiltInstance built_instance(const InstanceRecord& inst) const;
  // The hit record of a ray along `direction` that Embree reports on triangle `prim` of
  // instance `inst` at barycentrics (u, v) and distance t.
  HitRecord rebuild_hit(unsigned inst, unsigned prim, float u, float v, float t,
                        Vec3 direction) const;

  SceneDescription desc_{Flavor::Cpu};
  RTCDevice device_ = nullptr;
  RTCScene top_scene_ = nullptr;
  std::vector<RTCScene> mesh_scenes_;
  struct BuiltMesh {
    const Float3* vertices = nullptr;  // Embree's buffers, alive with mesh_scenes_
    const Int3* triangles = nullptr;
    std::vector<Float3> normals;  // the mesh's, and one more for the rebuild's 16-byte loads
    uint32_t num_triangles = 0;
    uint32_t material_id = 0;
  };
  std::vector<BuiltMesh> built_meshes_;
  std::vector<BuiltInstance> built_;
  SceneBounds bounds_;
};

// Occlusion in the repeating scene of n segments of length t_max (the BRF views of one hit), 8
// at a time as packets: blocked[i] as scene.occluded_tiled gives it. Found by argument-dependent
// lookup from the forward tallies (physics/photon_walk.h).
void occluded_tiled_group(const EmbreeSceneManager& scene, int n, const Vec3* origin,
                          const Vec3* direction, float t_max, bool* blocked);

// The rays a thread hands to Embree, in order: closest-hit rays (origin, direction) and occlusion
// rays (origin, direction, length). Installed on one thread with RecordRays, for the benchmarks'
// replay of a simulation's own rays; a simulation that traces on one worker without a poll runs
// on the calling thread, so everything it traces lands here.
struct RayLog {
  std::vector<float> closest;   // 6 floats a ray
  std::vector<float> occlusion; // 7 floats a ray
};

// Installs `log` for the calling thread while in scope.
class RecordRays {
 public:
  explicit RecordRays(RayLog* log);
  ~RecordRays();
  RecordRays(const RecordRays&) = delete;
  RecordRays& operator=(const RecordRays&) = delete;

 private:
  RayLog* previous_;
};

// 4x4 column-major instance transform for Embree from our row-major 3x4.
void to_column_major(const Transform34& m, float out[16]);

}  // namespace velm::embree
