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

namespace {

// Cofactor matrix of the 3x3 part (rows a b c / d e f / g h i): det times the inverse transpose.
void cofactors(const Transform34& m, float out[9], float& det) {
  const float a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9],
              i = m[10];
  const float cof[9] = {e * i - f * h, f * g - d * i, d * h - e * g,
                        c * h - b * i, a * i - c * g, b * g - a * h,
                        b * f - c * e, c * d - a * f, a * e - b * d};
  det = a * cof[0] + b * cof[1] + c * cof[2];
  std::copy(cof, cof + 9, out);
}

BuiltInstance built_instance(const InstanceRecord& inst, const HostMesh& mesh) {
  BuiltInstance out;
  out.mesh_id = inst.mesh_id;
  out.material_id = mesh.material_id;
  out.transform = inst.transform;
  const Transform34& m = inst.transform;
  float det = 0.f;
  cofactors(m, out.normal_matrix, det);
  if (det < 0.f)
    for (float& v : out.normal_matrix) v = -v;
  float rows = 1.f;
  for (int r = 0; r < 3; ++r) {
    const float* row = &m[4 * r];
    out.linear_norm = std::max(out.linear_norm,
                               std::fabs(row[0]) + std::fabs(row[1]) + std::fabs(row[2]));
    out.translation = std::max(out.translation, std::fabs(row[3]));
    rows *= std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
  }
  out.conditioning = rows > 0.f ? std::fabs(det) / rows : 0.f;
  // Largest absolute row sum of the inverse, cof^T / det (columns of the cofactor matrix).
  float inverse_norm = 0.f;
  for (int c = 0; c < 3; ++c)
    inverse_norm = std::max(inverse_norm, std::fabs(out.normal_matrix[c]) +
                                              std::fabs(out.normal_matrix[3 + c]) +
                                              std::fabs(out.normal_matrix[6 + c]));
  out.inverse_norm = det != 0.f ? inverse_norm / std::fabs(det) : 0.f;
  return out;
}

inline Vec3 apply3(const float* m, Vec3 v) {
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
          m[6] * v.x + m[7] * v.y + m[8] * v.z};
}

inline float max_abs(const Float3& v) {
  return std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z)));
}

// The point with barycentric coordinates b on a triangle, rebuilt on the triangle rather than
// along the ray (origin + t d would carry the error of t, which grows with the distance
// travelled), and kept at least `margin` inside each of the triangle's edges. A new ray starts
// from this point: near an edge shared with another surface (the corner of a closed mesh) it
// must lie off that surface by more than its rounding error too, or the ray may start on the
// neighbouring wall and leave through it. The point moves along its own triangle by at most
// `margin`, where the triangle is wide enough; a sliver gives at most a quarter per coordinate.
inline Float3 point_on_triangle(const Float3 v[3], float b0, float b1, float b2, float margin) {
  const Vec3 p0(v[0].x, v[0].y, v[0].z), p1(v[1].x, v[1].y, v[1].z), p2(v[2].x, v[2].y, v[2].z);
  const float twice_area = length(cross(p1 - p0, p2 - p0));
  const float opposite[3] = {length(p2 - p1), length(p0 - p2), length(p1 - p0)};
  float b[3] = {b0, b1, b2}, sum = 0.f;
  for (int i = 0; i < 3; ++i) {
    // The distance to the edge opposite corner i is b_i times the triangle's height there.
    const float least = twice_area > 0.f ? margin * opposite[i] / twice_area : 0.25f;
    b[i] = std::fmax(b[i], std::fmin(least, 0.25f));
    sum += b[i];
  }
  for (float& x : b) x /= sum;
  // Relative to the corner of the largest coordinate: each edge-direction term then moves the
  // point from that corner into the triangle.
  const int i = b[0] >= b[1] ? (b[0] >= b[2] ? 0 : 2) : (b[1] >= b[2] ? 1 : 2);
  const int j = (i + 1) % 3, k = (i + 2) % 3;
  const Float3 &a = v[i], &p = v[j], &q = v[k];
  return {a.x + (b[j] * (p.x - a.x) + b[k] * (q.x - a.x)),
          a.y + (b[j] * (p.y - a.y) + b[k] * (q.y - a.y)),
          a.z + (b[j] * (p.z - a.z) + b[k] * (q.z - a.z))};
}

// Embree accepts only finite rays whose coordinates stay well inside the float range.
inline bool traceable(Vec3 o, Vec3 d) {
  const float m = kMaxRayCoordinate;
  return std::fabs(o.x) < m && std::fabs(o.y) < m && std::fabs(o.z) < m && std::isfinite(d.x) &&
         std::isfinite(d.y) && std::isfinite(d.z);
}

// A unit vector, or `fallback` when `v` has no usable direction (zero, denormal or not finite).
inline Vec3 unit_or(Vec3 v, Vec3 fallback) {
  const float len2 = dot(v, v);
  if (!(len2 > 1e-30f) || !std::isfinite(len2)) return fallback;
  return v * (1.f / std::sqrt(len2));
}

}  // namespace

void EmbreeSceneManager::snapshot_instances() {
  const auto& instances = desc_.instances();
  const auto& meshes = desc_.meshes();
  const size_t n = std::min(built_.size(), instances.size());
  for (size_t i = 0; i < n; ++i)
    built_[i] = built_instance(instances[i], meshes[instances[i].mesh_id]);
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
    built_.push_back(built_instance(inst, meshes[inst.mesh_id]));
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

HitRecord EmbreeSceneManager::intersect_closest(Vec3 origin, Vec3 direction) const {
  HitRecord rec;
  if (top_scene_ == nullptr || !traceable(origin, direction)) return rec;
  const float o[3] = {origin.x, origin.y, origin.z}, d[3] = {direction.x, direction.y, direction.z};
  // No minimum distance: spawned rays start off their surface (HitRecord::spawn).
  RTCRayHit rh = make_ray_hit(o, d, 0.f, 1e16f);
  intersect1(top_scene_, &rh);
  if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return rec;

  rec.hit = true;
  rec.t = rh.ray.tfar;
  rec.primitive_id = static_cast<int32_t>(rh.hit.primID);
  const unsigned inst_id = rh.hit.instID[0];
  const Vec3 ng_local(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z);
  const Vec3 toward_ray = -direction;
  const auto& meshes = desc_.meshes();
  if (inst_id >= built_.size() || rh.hit.primID >= meshes[built_[inst_id].mesh_id].triangles.size()) {
    // Not one of our instances (cannot happen on a committed scene): report the bare hit.
    rec.position = origin + direction * rh.ray.tfar;
    rec.position_error = kHitPointRelativeError * (std::fabs(rec.t) + max_abs(
        Float3{origin.x, origin.y, origin.z})) * 4.f;
    rec.geometric_normal = rec.normal = unit_or(ng_local, toward_ray);
  } else {
    const BuiltInstance& inst = built_[inst_id];
    const HostMesh& mesh = meshes[inst.mesh_id];
    rec.instance_id = static_cast<int32_t>(inst_id);
    rec.material_id = static_cast<int32_t>(inst.material_id);
    const Int3& tri = mesh.triangles[rh.hit.primID];
    const float u = rh.hit.u, v = rh.hit.v, w = 1.f - u - v;
    const Float3 corner[3] = {mesh.vertices[tri.i0], mesh.vertices[tri.i1],
                              mesh.vertices[tri.i2]};
    const float weighted = std::fabs(w) * max_abs(corner[0]) + std::fabs(u) * max_abs(corner[1]) +
                           std::fabs(v) * max_abs(corner[2]);
    rec.position_error = hit_point_error(weighted, inst.linear_norm, inst.translation);
    // The world error bound as a distance in the mesh's frame (through the inverse's norm).
    const Float3 local =
        point_on_triangle(corner, w, u, v, 2.f * rec.position_error * inst.inverse_norm);
    const Float3 world = transform_point(inst.transform, local);
    rec.position = Vec3(world.x, world.y, world.z);
    rec.geometric_normal = unit_or(apply3(inst.normal_matrix, ng_local), toward_ray);
    rec.normal = rec.geometric_normal;
    if (!mesh.normals.empty()) {
      const Float3 &n0 = mesh.normals[tri.i0], &n1 = mesh.normals[tri.i1],
                   &n2 = mesh.normals[tri.i2];
      const Vec3 n(w * n0.x + u * n1.x + v * n2.x, w * n0.y + u * n1.y + v * n2.y,
                   w * n0.z + u * n1.z + v * n2.z);
      // Normals that cancel out (or a zero normal in the mesh) leave the flat normal in place.
      rec.normal = unit_or(apply3(inst.normal_matrix, n), rec.geometric_normal);
    }
  }
  rec.is_back_face = dot(direction, rec.geometric_normal) > 0.f;
  if (rec.is_back_face) rec.geometric_normal = -rec.geometric_normal;
  if (dot(rec.normal, rec.geometric_normal) < 0.f) rec.normal = -rec.normal;
  return rec;
}

bool EmbreeSceneManager::occluded(Vec3 origin, Vec3 direction, float max_distance) const {
  if (top_scene_ == nullptr || !traceable(origin, direction) || !(max_distance > 0.f))
    return false;
  const float o[3] = {origin.x, origin.y, origin.z}, d[3] = {direction.x, direction.y, direction.z};
  RTCRay ray = make_ray(o, d, 0.f, max_distance);
  occluded1(top_scene_, &ray);
  return ray.tfar < 0.f;
}

bool EmbreeSceneManager::occluded_tiled(Vec3 origin, Vec3 direction, float max_distance) const {
  float remaining = max_distance;
  if (occluded(origin, direction, remaining)) return true;
  const RepetitionTile& tile = desc_.repetition();
  if (!tile.active()) return false;
  for (int wrap = 0; wrap < tile.count; ++wrap) {
    // Past the top or bottom of the scene, moving away from it, nothing more can be met.
    if (leaves_slab(origin, direction, bounds_.lo[2], bounds_.hi[2])) return false;
    const float t = wrap_across_tile(tile, origin, direction);
    if (t < 0.f) return false;
    remaining -= t;
    if (!(remaining > 0.f)) return false;
    if (occluded(origin, direction, remaining)) return true;
  }
  return false;
}

}  // namespace velm::embree
