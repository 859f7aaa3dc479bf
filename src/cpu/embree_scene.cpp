#include "cpu/embree_scene.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "physics/tile.h"

namespace velm::embree {

void to_column_major(const Transform34& m, float out[16]) {
  const float cols[16] = {m[0], m[4], m[8],  0.f, m[1], m[5], m[9],  0.f,
                          m[2], m[6], m[10], 0.f, m[3], m[7], m[11], 1.f};
  std::copy(cols, cols + 16, out);
}

EmbreeSceneManager::EmbreeSceneManager() {
  device_ = rtcNewDevice(nullptr);
  if (device_ == nullptr) throw std::runtime_error("Failed to create Embree device");
}

EmbreeSceneManager::~EmbreeSceneManager() {
  release_scenes();
  if (device_ != nullptr) rtcReleaseDevice(device_);
}

void EmbreeSceneManager::release_scenes() {
  for (RTCScene s : mesh_scenes_)
    if (s != nullptr) rtcReleaseScene(s);
  mesh_scenes_.clear();
  built_meshes_.clear();
  built_.clear();
  if (top_scene_ != nullptr) rtcReleaseScene(top_scene_);
  top_scene_ = nullptr;
}

namespace {

thread_local RayLog* t_ray_log = nullptr;
// How many RecordRays are alive in any thread. Queries look at their thread's log only when one
// is: in the module a thread-local variable costs a call to the loader on every access.
std::atomic<int> g_recording{0};

inline RayLog* ray_log() {
  return g_recording.load(std::memory_order_relaxed) != 0 ? t_ray_log : nullptr;
}

// Embree accepts only finite rays whose coordinates stay well inside the float range.
inline bool traceable(Vec3 o, Vec3 d) {
  const float m = kMaxRayCoordinate;
  // x * 0 is 0 for finite x and NaN for an infinity or NaN: one test for all three components.
  return std::fabs(o.x) < m && std::fabs(o.y) < m && std::fabs(o.z) < m &&
         d.x * 0.f + d.y * 0.f + d.z * 0.f == 0.f;
}

}  // namespace

RecordRays::RecordRays(RayLog* log) : previous_(t_ray_log) {
  t_ray_log = log;
  g_recording.fetch_add(1);
}
RecordRays::~RecordRays() {
  t_ray_log = previous_;
  g_recording.fetch_sub(1);
}

BuiltInstance EmbreeSceneManager::built_instance(const InstanceRecord& inst) const {
  BuiltInstance out;
  out.mesh_id = inst.mesh_id;
  out.transform = inst.transform;
  out.frame = instance_frame(inst.transform.data());
  out.hit = hit_transform(inst.transform.data(), out.frame);
  if (inst.mesh_id < built_meshes_.size()) {
    const BuiltMesh& mesh = built_meshes_[inst.mesh_id];
    out.material_id = mesh.material_id;
    out.vertices = mesh.vertices;
    out.triangles = mesh.triangles;
    out.normals = mesh.normals.empty() ? nullptr : mesh.normals.data();
    out.num_triangles = mesh.num_triangles;
  }
  return out;
}

void EmbreeSceneManager::snapshot_instances() {
  const auto& instances = desc_.instances();
  const size_t n = std::min(built_.size(), instances.size());
  for (size_t i = 0; i < n; ++i) built_[i] = built_instance(instances[i]);
  bounds_ = desc_.compute_bounds();
}

void EmbreeSceneManager::build() {
  desc_.check_mutable();
  const auto& meshes = desc_.meshes();
  const auto& instances = desc_.instances();
  // Nothing reaches Embree that it cannot trace: world coordinates must stay finite and well
  // inside the float range.
  const SceneBounds bounds = desc_.compute_bounds();
  for (int k = 0; k < 3; ++k)
    if (!(std::fabs(bounds.lo[k]) < kMaxRayCoordinate) ||
        !(std::fabs(bounds.hi[k]) < kMaxRayCoordinate))
      throw std::invalid_argument(
          "build: the instanced geometry reaches coordinates beyond 1e18 (or not finite); scale "
          "or move it closer to the origin");

  if (top_scene_ != nullptr) rtcReleaseScene(top_scene_);
  top_scene_ = rtcNewScene(device_);
  // Robust traversal: a ray along an edge shared by two triangles (a tiled ground, a mesh seam)
  // must hit one of them rather than leak through, or light passes through closed surfaces.
  rtcSetSceneFlags(top_scene_, RTC_SCENE_FLAG_ROBUST);
  built_.clear();
  for (RTCScene s : mesh_scenes_)
    if (s != nullptr) rtcReleaseScene(s);
  mesh_scenes_.assign(meshes.size(), nullptr);
  built_meshes_.assign(meshes.size(), BuiltMesh{});

  for (size_t m = 0; m < meshes.size(); ++m) {
    const HostMesh& mesh = meshes[m];
    RTCScene scene = rtcNewScene(device_);
    rtcSetSceneFlags(scene, RTC_SCENE_FLAG_ROBUST);
    RTCGeometry geom = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* vb = static_cast<float*>(rtcSetNewGeometryBuffer(
        geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 12, mesh.vertices.size()));
    std::memcpy(vb, mesh.vertices.data(), mesh.vertices.size() * sizeof(Float3));
    auto* ib = static_cast<uint32_t*>(rtcSetNewGeometryBuffer(
        geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 12, mesh.triangles.size()));
    std::memcpy(ib, mesh.triangles.data(), mesh.triangles.size() * sizeof(Int3));
    rtcCommitGeometry(geom);
    rtcAttachGeometry(scene, geom);
    rtcReleaseGeometry(geom);  // the scene holds it, and with it the buffers
    rtcCommitScene(scene);
    mesh_scenes_[m] = scene;
    BuiltMesh& built = built_meshes_[m];
    built.vertices = reinterpret_cast<const Float3*>(vb);
    built.triangles = reinterpret_cast<const Int3*>(ib);
    built.normals = mesh.normals;
    if (!built.normals.empty()) built.normals.push_back({0.f, 0.f, 0.f});
    built.num_triangles = static_cast<uint32_t>(mesh.triangles.size());
    built.material_id = mesh.material_id;
  }

  // Instances are attached under their own ids, so an instance's Embree geometry id is its
  // instance id and built_ is indexed by either; instances added after this build have no
  // geometry until the next one.
  built_.reserve(instances.size());
  for (size_t i = 0; i < instances.size(); ++i) {
    const InstanceRecord& inst = instances[i];
    RTCGeometry geom = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_INSTANCE);
    rtcSetGeometryInstancedScene(geom, mesh_scenes_[inst.mesh_id]);
    float xf[16];
    to_column_major(inst.transform, xf);
    rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, xf);
    rtcCommitGeometry(geom);
    rtcAttachGeometryByID(top_scene_, geom, static_cast<unsigned>(i));
    rtcReleaseGeometry(geom);
    built_.push_back(built_instance(inst));
  }
  rtcCommitScene(top_scene_);
  desc_.set_built(true);
  bounds_ = bounds;
}

void EmbreeSceneManager::build_reuse_geometry() {
  desc_.check_mutable();
  if (top_scene_ == nullptr)
    throw std::runtime_error("build_reuse_geometry: there is no Embree scene to reuse. Call build() "
                             "first.");
  snapshot_instances();
  desc_.set_built(true);
}

void EmbreeSceneManager::update_instance_transform(int32_t id, const float* transform12) {
  desc_.update_instance_transform(id, transform12);
  if (!desc_.is_built() || top_scene_ == nullptr) return;
  if (static_cast<size_t>(id) >= built_.size()) return;
  RTCGeometry geom = rtcGetGeometry(top_scene_, static_cast<unsigned>(id));
  if (geom == nullptr)
    throw std::runtime_error("update_instance_transform: rtcGetGeometry returned null");
  float xf[16];
  to_column_major(desc_.instances()[id].transform, xf);
  rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, xf);
  rtcCommitGeometry(geom);
}

void EmbreeSceneManager::refit_ias() {
  desc_.check_mutable();
  if (!desc_.is_built() || top_scene_ == nullptr)
    throw std::runtime_error("refit_ias: scene not built. Call build() first.");
  rtcCommitScene(top_scene_);
  // Queries now see the new transforms: so do the normal matrices and the bounds that photon
  // sources and tile entry read.
  snapshot_instances();
}

// Inlined into intersect_closest, its one caller: the hit is then built where it is returned.
VELM_HD_HOT HitRecord EmbreeSceneManager::rebuild_hit(unsigned inst_id, unsigned prim_id,
                                                      float u, float v, float t,
                                                      Vec3 direction) const {
  // Every geometry of the top-level scene is one of the built instances; anything else is
  // reported as no hit rather than as a hit without a surface.
  if (inst_id >= built_.size() || prim_id >= built_[inst_id].num_triangles) return {};
  const BuiltInstance& inst = built_[inst_id];
  const Int3& tri = inst.triangles[prim_id];
  HitRecord rec =
      rebuild_surface_hit(inst.hit, inst.vertices, inst.normals, tri, u, v, direction, t);
  rec.primitive_id = static_cast<int32_t>(prim_id);
  rec.instance_id = static_cast<int32_t>(inst_id);
  rec.material_id = static_cast<int32_t>(inst.material_id);
  return rec;
}

HitRecord EmbreeSceneManager::intersect_closest(const Vec3& origin, const Vec3& direction) const {
  if (top_scene_ == nullptr || !traceable(origin, direction)) return {};
  const float o[3] = {origin.x, origin.y, origin.z}, d[3] = {direction.x, direction.y, direction.z};
  if (RayLog* log = ray_log())
    log->closest.insert(log->closest.end(), {o[0], o[1], o[2], d[0], d[1], d[2]});
  // No minimum distance: spawned rays start off their surface (HitRecord::spawn).
  RTCRayHit rh = make_ray_hit(o, d, 0.f, 1e16f);
  intersect1(top_scene_, &rh);
  if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return {};
  return rebuild_hit(rh.hit.instID[0], rh.hit.primID, rh.hit.u, rh.hit.v, rh.ray.tfar, direction);
}

bool EmbreeSceneManager::occluded(const Vec3& origin, const Vec3& direction,
                                  float max_distance) const {
  if (top_scene_ == nullptr || !traceable(origin, direction) || !(max_distance > 0.f))
    return false;
  const float o[3] = {origin.x, origin.y, origin.z}, d[3] = {direction.x, direction.y, direction.z};
  if (RayLog* log = ray_log())
    log->occlusion.insert(log->occlusion.end(), {o[0], o[1], o[2], d[0], d[1], d[2], max_distance});
  RTCRay ray = make_ray(o, d, 0.f, max_distance);
  occluded1(top_scene_, &ray);
  return ray.tfar < 0.f;
}

void EmbreeSceneManager::occluded8(int n, const Vec3* origins, const Vec3* directions,
                                   float max_distance, bool* out) const {
  if (top_scene_ == nullptr || !(max_distance > 0.f)) {
    std::fill(out, out + n, false);
    return;
  }
  alignas(32) int valid[8];
  alignas(32) RTCRay8 ray;
  bool any = false;
  for (int k = 0; k < 8; ++k) {
    valid[k] = 0;
    const Vec3 o3 = k < n ? origins[k] : Vec3(0.f, 0.f, 0.f);
    const Vec3 d3 = k < n ? directions[k] : Vec3(0.f, 0.f, 1.f);
    const float o[3] = {o3.x, o3.y, o3.z}, d[3] = {d3.x, d3.y, d3.z};
    set_lane(ray, k, o, d, 0.f, max_distance);
    if (k >= n) continue;
    if (!traceable(o3, d3)) {
      out[k] = false;
      continue;
    }
    if (RayLog* log = ray_log())
      log->occlusion.insert(log->occlusion.end(), {o[0], o[1], o[2], d[0], d[1], d[2],
                                                   max_distance});
    valid[k] = -1;
    any = true;
  }
  if (!any) return;
  embree::occluded8(valid, top_scene_, &ray);
  for (int k = 0; k < n; ++k)
    if (valid[k]) out[k] = ray.tfar[k] < 0.f;
}

void occluded_tiled_group(const EmbreeSceneManager& scene, int n, const Vec3* origin,
                          const Vec3* direction, float t_max, bool* blocked) {
  if (scene.desc().repetition().active()) {
    // Segments that wrap around the tile go on one by one.
    for (int i = 0; i < n; ++i) blocked[i] = scene.occluded_tiled(origin[i], direction[i], t_max);
    return;
  }
  for (int i = 0; i < n; i += 8)
    scene.occluded8(n - i < 8 ? n - i : 8, origin + i, direction + i, t_max, blocked + i);
}

bool EmbreeSceneManager::occluded_tiled(Vec3 origin, Vec3 direction, float max_distance) const {
  const RepetitionTile& tile = desc_.repetition();
  return velm::occluded_tiled(*this, tile, tile.active(), bounds_.lo[2], bounds_.hi[2], origin,
                              direction, max_distance);
}

}  // namespace velm::embree
