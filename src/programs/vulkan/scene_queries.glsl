// Hit records of closest-hit queries against the scene's TLAS, the GLSL side of the queries of
// src/cpu/embree_scene.cpp: intersect_closest is trace_ray (ray_queries.glsl) + hit_record,
// occluded is trace_ray with any_hit, and occluded_tiled is occluded + next_shadow_segment until
// either says stop; the shaders put the pieces together in their main loops.
//
// The including shader declares, before including this file: `scene_tlas`, the mesh tables
// `normals[]` (vec4), `triangles[]` (uvec4, indices local to the mesh), `meshes[]` (uvec4: first
// vertex, first normal, first triangle, material id), `instances[]` (InstanceRecord) and a
// function `vec3 mesh_vertex(uint i)` that reads vertex i of the concatenated vertex table.
#ifndef VELM_SCENE_QUERIES_GLSL
#define VELM_SCENE_QUERIES_GLSL

#include "physics/common.glsl"
#include "physics/tile.glsl"
#include "ray_queries.glsl"

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

vec3 apply_rows(vec4 m[3], vec3 v) {
  return vec3(dot(m[0].xyz, v), dot(m[1].xyz, v), dot(m[2].xyz, v));
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

#endif
