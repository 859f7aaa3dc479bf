// Ray queries against the scene's TLAS and the hit record the simulations read: the GLSL side of
// the queries of src/cpu/embree_scene.cpp. intersect_closest is trace_ray + hit_record, occluded
// is trace_ray with any_hit, and occluded_tiled is occluded + next_shadow_segment until either
// says stop; the shaders put the pieces together in their main loops.
//
// The including shader declares, before including this file: `scene_tlas`, the mesh tables
// `normals[]` (vec4), `triangles[]` (uvec4, indices local to the mesh), `meshes[]` (uvec4: first
// vertex, first normal, first triangle, material id), `instances[]` (InstanceRecord) and a
// function `vec3 mesh_vertex(uint i)` that reads vertex i of the concatenated vertex table.
#ifndef VELM_SCENE_QUERIES_GLSL
#define VELM_SCENE_QUERIES_GLSL

#include "physics/common.glsl"
#include "physics/tile.glsl"

// Rays traced by this invocation (closest hits and occlusion tests), for the host's profile.
uint g_rays = 0u;

struct HitRecord {
  float t;
  vec3 position;          // rebuilt from the barycentric coordinates on the triangle
  vec3 normal;            // shading normal, facing the incoming ray's side
  vec3 geometric_normal;  // facing the side the ray came from
  int material_id;
  int primitive_id;  // triangle index within the mesh
  int instance_id;
  bool hit;
  bool is_back_face;
  float position_error;  // absolute bound on the distance of `position` from the surface
};

// Origin of a new ray leaving the surface along `direction`.
vec3 spawn(HitRecord h, vec3 direction) {
  return offset_ray_origin(h.position, h.geometric_normal, direction, h.position_error);
}

// Largest coordinate magnitude a ray may carry; a ray outside it, or not finite, meets nothing.
const float kMaxRayCoordinate = 1e18;
const float kRayFar = 1e16;

bool traceable(vec3 o, vec3 d) {
  return all(lessThan(abs(o), vec3(kMaxRayCoordinate))) && !any(isinf(d)) && !any(isnan(d));
}

// A unit vector, or `fallback` when `v` has no usable direction (zero, denormal or not finite).
vec3 unit_or(vec3 v, vec3 fallback) {
  const float len2 = dot(v, v);
  if (!(len2 > 1e-30) || isinf(len2)) return fallback;
  return v * (1.0 / sqrt(len2));
}

float max_abs(vec3 v) { return max(abs(v.x), max(abs(v.y), abs(v.z))); }

// The point with barycentric coordinates b on a triangle, rebuilt on the triangle rather than
// along the ray and kept at least `margin` inside each of its edges (embree_scene.cpp explains
// why); the point moves along its own triangle by at most `margin`, a sliver by at most a quarter
// per coordinate.
vec3 point_on_triangle(vec3 v[3], float b0, float b1, float b2, float margin) {
  const vec3 c = cross(v[1] - v[0], v[2] - v[0]);
  const vec3 opposite[3] = vec3[3](v[2] - v[1], v[0] - v[2], v[1] - v[0]);
  const float area2 = dot(c, c), margin2 = margin * margin;
  float b[3] = float[3](b0, b1, b2);
  bool moved = false;
  for (int i = 0; i < 3; ++i) {
    const float edge2 = dot(opposite[i], opposite[i]);
    if (!(b[i] * b[i] * area2 >= margin2 * edge2) || b[i] < 0.0) {
      const float least = area2 > 0.0 ? margin * sqrt(edge2 / area2) : 0.25;
      b[i] = max(b[i], min(least, 0.25));
      moved = true;
    }
  }
  if (moved) {
    const float sum = b[0] + b[1] + b[2];
    for (int i = 0; i < 3; ++i) b[i] /= sum;
  }
  // Relative to the corner of the largest coordinate.
  const int i = b[0] >= b[1] ? (b[0] >= b[2] ? 0 : 2) : (b[1] >= b[2] ? 1 : 2);
  const int j = (i + 1) % 3, k = (i + 2) % 3;
  return v[i] + (b[j] * (v[j] - v[i]) + b[k] * (v[k] - v[i]));
}

vec3 apply_rows(vec4 m[3], vec3 v) {
  return vec3(dot(m[0].xyz, v), dot(m[1].xyz, v), dot(m[2].xyz, v));
}

// What one ray query found: the closest hit, or for an occlusion test any hit.
struct RayQueryResult {
  bool hit;
  float t;
  int instance_id;
  int primitive_id;
  vec2 barycentrics;  // weights of the second and third corner
  mat4x3 object_to_world;
};

// The one place a shader runs a ray query. Shaders that trace several kinds of rays call it from
// one site in their main loop: lanes of a SIMD batch then traverse together instead of waiting
// on each other at separate copies of the traversal.
RayQueryResult trace_ray(vec3 origin, vec3 direction, float t_max, bool any_hit) {
  RayQueryResult r;
  r.hit = false;
  r.t = t_max;
  r.instance_id = -1;
  r.primitive_id = -1;
  r.barycentrics = vec2(0.0);
  r.object_to_world = mat4x3(1.0);
  ++g_rays;
  rayQueryEXT q;
  const uint flags = gl_RayFlagsOpaqueEXT | (any_hit ? gl_RayFlagsTerminateOnFirstHitEXT : 0u);
  rayQueryInitializeEXT(q, scene_tlas, flags, 0xFF, origin, 0.0, direction,
                        min(t_max, kLargestFloat));
  while (rayQueryProceedEXT(q)) {
  }
  if (rayQueryGetIntersectionTypeEXT(q, true) == gl_RayQueryCommittedIntersectionTriangleEXT) {
    r.hit = true;
    r.t = rayQueryGetIntersectionTEXT(q, true);
    r.instance_id = rayQueryGetIntersectionInstanceCustomIndexEXT(q, true);
    r.primitive_id = rayQueryGetIntersectionPrimitiveIndexEXT(q, true);
    r.barycentrics = rayQueryGetIntersectionBarycentricsEXT(q, true);
    r.object_to_world = rayQueryGetIntersectionObjectToWorldEXT(q, true);
  }
  return r;
}

HitRecord no_hit() {
  HitRecord rec;
  rec.t = kLargestFloat;
  rec.position = vec3(0.0);
  rec.normal = vec3(0.0, 0.0, 1.0);
  rec.geometric_normal = vec3(0.0, 0.0, 1.0);
  rec.material_id = -1;
  rec.primitive_id = -1;
  rec.instance_id = -1;
  rec.hit = false;
  rec.is_back_face = false;
  rec.position_error = 0.0;
  return rec;
}

// The hit record of a closest-hit query along `direction` (the second half of intersect_closest):
// the point rebuilt on the triangle with its error bound, the normals through the instance's
// normal matrix, facing the side the ray came from.
HitRecord hit_record(RayQueryResult r, vec3 direction) {
  HitRecord rec = no_hit();
  if (!r.hit) return rec;
  const int inst = r.instance_id, prim = r.primitive_id;
  const mat4x3 xf = r.object_to_world;
  const vec4 nm[3] = instances[inst].normal_matrix;
  const uvec4 mesh = meshes[instances[inst].mesh_id];
  const uvec4 tri = triangles[mesh.z + uint(prim)];
  rec.hit = true;
  rec.t = r.t;
  rec.primitive_id = prim;
  rec.instance_id = inst;
  rec.material_id = int(mesh.w);

  const float u = r.barycentrics.x, v = r.barycentrics.y, w = 1.0 - u - v;
  const vec3 corner[3] = vec3[3](mesh_vertex(mesh.x + tri.x), mesh_vertex(mesh.x + tri.y),
                                 mesh_vertex(mesh.x + tri.z));
  const float weighted =
      abs(w) * max_abs(corner[0]) + abs(u) * max_abs(corner[1]) + abs(v) * max_abs(corner[2]);
  // Norms of the instance's linear part, its translation and its inverse (the transpose of the
  // normal matrix, which is the inverse transpose).
  float linear_norm = 0.0, translation = 0.0, inverse_norm = 0.0;
  for (int k = 0; k < 3; ++k) {
    linear_norm = max(linear_norm, abs(xf[0][k]) + abs(xf[1][k]) + abs(xf[2][k]));
    translation = max(translation, abs(xf[3][k]));
    inverse_norm = max(inverse_norm, abs(nm[0][k]) + abs(nm[1][k]) + abs(nm[2][k]));
  }
  rec.position_error = hit_point_error(weighted, linear_norm, translation);
  const vec3 local = point_on_triangle(corner, w, u, v, 2.0 * rec.position_error * inverse_norm);
  rec.position = xf * vec4(local, 1.0);

  // Front: the side where cross(P1 - P0, P2 - P0) points (the procedural meshes' normals too).
  const vec3 ng_local = cross(corner[1] - corner[0], corner[2] - corner[0]);
  rec.geometric_normal = unit_or(apply_rows(nm, ng_local), -direction);
  const vec3 n = w * normals[mesh.y + tri.x].xyz + u * normals[mesh.y + tri.y].xyz +
                 v * normals[mesh.y + tri.z].xyz;
  // Normals that cancel out (or a zero normal in the mesh) leave the flat normal in place.
  rec.normal = unit_or(apply_rows(nm, n), rec.geometric_normal);
  rec.is_back_face = dot(direction, rec.geometric_normal) > 0.0;
  if (rec.is_back_face) rec.geometric_normal = -rec.geometric_normal;
  if (dot(rec.normal, rec.geometric_normal) < 0.0) rec.normal = -rec.normal;
  return rec;
}

// One step of occluded_tiled's walk after a segment found nothing: moves the segment's origin
// into the next tile and shortens what remains of it. False when the walk is over (no tile, the
// repetitions used up, the ray left the slab [zlo, zhi], or nothing remains).
bool next_shadow_segment(inout vec3 origin, vec3 direction, inout float remaining,
                         inout int wraps, RepetitionTile tile, float zlo, float zhi) {
  if (!tile_active(tile) || wraps >= tile.count) return false;
  if (leaves_slab(origin, direction, zlo, zhi)) return false;
  const float t = wrap_across_tile(tile, origin, direction);
  if (t < 0.0) return false;
  remaining -= t;
  ++wraps;
  return remaining > 0.0;
}

#endif
