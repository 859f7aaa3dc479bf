// Generic trace shader: the closest hit of every ray against the scene's TLAS with a ray
// query. One invocation per ray, 64 per work group along x.
//
//   binding 0  the scene TLAS
//   binding 1  ray records, 32 bytes: origin, t_min, direction, t_max
//   binding 2  hit records, 32 bytes: t, instance id, triangle, hit flag, barycentrics u and v
//              (weights of the second and third corner), front-face flag, reserved
//   push       the number of rays
//
// A miss reports t = t_max, instance and triangle -1, hit 0 and front face 1. A ray the ray
// query cannot take (a non-finite origin or direction, a negative or NaN t_min, t_max below
// t_min) is reported as a miss instead of being traced.
#version 460
#extension GL_EXT_ray_query : require

layout(local_size_x = 64) in;

struct Ray {
  vec3 origin;
  float t_min;
  vec3 direction;
  float t_max;
};

struct Hit {
  float t;
  int instance_id;
  int primitive_id;
  uint hit;
  float u;
  float v;
  uint front_face;
  uint reserved;
};

layout(set = 0, binding = 0) uniform accelerationStructureEXT scene_tlas;
layout(std430, set = 0, binding = 1) readonly buffer Rays { Ray rays[]; };
layout(std430, set = 0, binding = 2) writeonly buffer Hits { Hit hits[]; };
layout(push_constant) uniform Push { uint ray_count; };

const float kLargestFloat = 3.402823466e38;

bool finite3(vec3 v) { return !any(isnan(v)) && !any(isinf(v)); }

void main() {
  const uint i = gl_GlobalInvocationID.x;
  if (i >= ray_count) return;
  const Ray ray = rays[i];
  const float t_max = min(ray.t_max, kLargestFloat);

  Hit h;
  h.t = ray.t_max;
  h.instance_id = -1;
  h.primitive_id = -1;
  h.hit = 0u;
  h.u = 0.0;
  h.v = 0.0;
  h.front_face = 1u;
  h.reserved = 0u;

  if (finite3(ray.origin) && finite3(ray.direction) && ray.t_min >= 0.0 && t_max >= ray.t_min) {
    rayQueryEXT q;
    // Every geometry is opaque, so traversal alone finds the closest triangle.
    rayQueryInitializeEXT(q, scene_tlas, gl_RayFlagsOpaqueEXT, 0xFF, ray.origin, ray.t_min,
                          ray.direction, t_max);
    while (rayQueryProceedEXT(q)) {
    }
    if (rayQueryGetIntersectionTypeEXT(q, true) ==
        gl_RayQueryCommittedIntersectionTriangleEXT) {
      h.t = rayQueryGetIntersectionTEXT(q, true);
      h.instance_id = rayQueryGetIntersectionInstanceCustomIndexEXT(q, true);
      h.primitive_id = rayQueryGetIntersectionPrimitiveIndexEXT(q, true);
      h.hit = 1u;
      const vec2 uv = rayQueryGetIntersectionBarycentricsEXT(q, true);
      h.u = uv.x;
      h.v = uv.y;
      // Front: the side from which the corners appear counter-clockwise, where
      // cross(P1 - P0, P2 - P0) points (the procedural meshes' normals point there too).
      h.front_face = rayQueryGetIntersectionFrontFaceEXT(q, true) ? 1u : 0u;
    }
  }
  hits[i] = h;
}
