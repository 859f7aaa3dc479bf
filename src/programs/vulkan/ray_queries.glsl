// Ray queries against the scene's TLAS that need nothing but the TLAS: the one query site
// (trace_ray), the walk of occlusion tests through the repeating tile, and points on triangles.
// The including shader declares `scene_tlas` before including this file.
#ifndef VELM_RAY_QUERIES_GLSL
#define VELM_RAY_QUERIES_GLSL

#include "physics/common.glsl"
#include "physics/tile.glsl"

// Rays traced by this invocation (closest hits and occlusion tests), for the host's profile.
uint g_rays = 0u;

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

// A direction given by the caller as a unit vector (scaled first, so that very long or very
// short vectors normalise too); zero stays zero.
vec3 unit_direction(vec3 v) {
  const float m = max_abs(v);
  return m > 0.0 ? normalize(v / m) : vec3(0.0);
}

#endif
