#include "cpu/embree_scene.h"

#include <algorithm>
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
  if (top_scene_ != nullptr) rtcReleaseScene(top_scene_);
  top_scene_ = nullptr;
}

void EmbreeSceneManager::build() {
  desc_.check_mutable();
  const auto& meshes = desc_.meshes();
  const auto& instances = desc_.instances();

  if (top_scene_ != nullptr) rtcReleaseScene(top_scene_);
  top_scene_ = rtcNewScene(device_);
  // Robust traversal: a ray along an edge shared by two triangles (a tiled ground, a mesh seam)
  // must hit one of them rather than leak through, or light passes through closed surfaces.
  rtcSetSceneFlags(top_scene_, RTC_SCENE_FLAG_ROBUST);
  instance_table_.clear();
  for (RTCScene s : mesh_scenes_)
    if (s != nullptr) rtcReleaseScene(s);
  mesh_scenes_.assign(meshes.size(), nullptr);

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
    rtcReleaseGeometry(geom);
    rtcCommitScene(scene);
    mesh_scenes_[m] = scene;
  }

  // Instances are attached under their own ids, so an instance's Embree geometry id is its
  // instance id and instance_table_ is indexed by either; instances added after this build have
  // no geometry until the next one.
  instance_table_.reserve(instances.size());
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
    instance_table_.emplace_back(inst.mesh_id, meshes[inst.mesh_id].material_id);
  }
  rtcCommitScene(top_scene_);
  desc_.set_built(true);
  bounds_ = desc_.compute_bounds();
}

void EmbreeSceneManager::build_reuse_geometry() {
  desc_.check_mutable();
  bounds_ = desc_.compute_bounds();
  desc_.set_built(true);
}

void EmbreeSceneManager::update_instance_transform(int32_t id, const float* transform12) {
  desc_.update_instance_transform(id, transform12);
  if (!desc_.is_built() || top_scene_ == nullptr) return;
  if (static_cast<size_t>(id) >= instance_table_.size()) return;
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
}

namespace {
inline Vec3 linear_part(const Transform34& m, Vec3 v) {
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
          m[8] * v.x + m[9] * v.y + m[10] * v.z};
}
}  // namespace

HitRecord EmbreeSceneManager::intersect_closest(Vec3 origin, Vec3 direction) const {
  HitRecord rec;
  if (top_scene_ == nullptr) return rec;
  const float o[3] = {origin.x, origin.y, origin.z}, d[3] = {direction.x, direction.y, direction.z};
  RTCRayHit rh = make_ray_hit(o, d, 1e-4f, 1e16f);
  intersect1(top_scene_, &rh);
  if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return rec;

  rec.hit = true;
  rec.t = rh.ray.tfar;
  rec.position = origin + direction * rh.ray.tfar;
  rec.primitive_id = static_cast<int32_t>(rh.hit.primID);
  const unsigned inst_id = rh.hit.instID[0];
  uint32_t mesh_id = 0;
  const Transform34* xf = nullptr;
  if (inst_id < instance_table_.size()) {
    rec.instance_id = static_cast<int32_t>(inst_id);
    mesh_id = instance_table_[inst_id].first;
    rec.material_id = static_cast<int32_t>(instance_table_[inst_id].second);
    xf = &desc_.instances()[inst_id].transform;
  }
  const Vec3 ng_local(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z);
  Vec3 ng = normalize(xf ? linear_part(*xf, ng_local) : ng_local);
  Vec3 ns = ng;
  const auto& meshes = desc_.meshes();
  if (mesh_id < meshes.size()) {
    const HostMesh& mesh = meshes[mesh_id];
    if (!mesh.normals.empty() && rh.hit.primID < mesh.triangles.size()) {
      const Int3& tri = mesh.triangles[rh.hit.primID];
      const float u = rh.hit.u, v = rh.hit.v, w = 1.f - u - v;
      const Float3 &n0 = mesh.normals[tri.i0], &n1 = mesh.normals[tri.i1],
                   &n2 = mesh.normals[tri.i2];
      const Vec3 n(w * n0.x + u * n1.x + v * n2.x, w * n0.y + u * n1.y + v * n2.y,
                   w * n0.z + u * n1.z + v * n2.z);
      ns = normalize(xf ? linear_part(*xf, n) : n);
    }
  }
  rec.is_back_face = dot(direction, ng) > 0.f;
  if (rec.is_back_face) ng = -ng;
  if (dot(ns, ng) < 0.f) ns = -ns;
  rec.geometric_normal = ng;
  rec.normal = ns;
  return rec;
}

bool EmbreeSceneManager::occluded(Vec3 origin, Vec3 direction, float max_distance) const {
  if (top_scene_ == nullptr) return false;
  const float o[3] = {origin.x, origin.y, origin.z}, d[3] = {direction.x, direction.y, direction.z};
  RTCRay ray = make_ray(o, d, 1e-4f, max_distance);
  occluded1(top_scene_, &ray);
  return ray.tfar < 0.f;
}

bool EmbreeSceneManager::occluded_tiled(Vec3 origin, Vec3 direction, float max_distance) const {
  float remaining = max_distance;
  if (occluded(origin, direction, remaining)) return true;
  const RepetitionTile& tile = desc_.repetition();
  if (tile.count < 1 || !(tile.x_size > 0.f) || !(tile.y_size > 0.f)) return false;
  for (int wrap = 0; wrap < tile.count; ++wrap) {
    const float t = wrap_across_tile(tile, origin, direction);
    if (t < 0.f) return false;
    remaining -= t;
    if (!(remaining > 0.f)) return false;
    if (occluded(origin, direction, remaining)) return true;
  }
  return false;
}

}  // namespace velm::embree
