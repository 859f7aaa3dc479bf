// Small vector helpers shared by the compute shaders: the GLSL side of src/physics/common.h.
// vec3 stands for Vec3; dot, cross and length are GLSL's own.
#ifndef VELM_PHYSICS_COMMON_GLSL
#define VELM_PHYSICS_COMMON_GLSL

const float kPi = 3.14159265358979323846;
const float kInvPi = 0.31830988618379067154;
const float kTwoPi = 6.28318530717958647692;
const float kLargestFloat = 3.4028235e38;

// normalize() of common.h: a zero vector stays zero (GLSL's normalize would give NaN).
vec3 normalize_or_zero(vec3 a) {
  const float len = length(a);
  return len > 0.0 ? a * (1.0 / len) : a;
}

// Orthonormal frame (t, b, n) around a unit normal n.
struct Frame {
  vec3 t;
  vec3 b;
  vec3 n;
};
vec3 to_world(Frame f, vec3 local) { return f.t * local.x + f.b * local.y + f.n * local.z; }
vec3 to_local(Frame f, vec3 w) { return vec3(dot(f.t, w), dot(f.b, w), dot(f.n, w)); }

// The bitangent is taken perpendicular to the larger of n.x, n.y so the division never
// approaches zero for a unit normal.
Frame build_frame(vec3 n) {
  vec3 b;
  if (abs(n.x) > abs(n.y))
    b = vec3(n.z, 0.0, -n.x) * (1.0 / sqrt(n.x * n.x + n.z * n.z));
  else
    b = vec3(0.0, n.z, -n.y) * (1.0 / sqrt(n.y * n.y + n.z * n.z));
  Frame f;
  f.t = cross(b, n);
  f.b = b;
  f.n = n;
  return f;
}

// Relative rounding error of a hit point rebuilt from its barycentric coordinates in the mesh's
// frame and placed by an instance transform (see common.h): 16 units of float rounding.
const float kHitPointRelativeError = 9.5367432e-7;  // 2^-20

// Absolute bound on how far a rebuilt hit point can lie off its true surface. `weighted_vertices`
// is |w| max|v0| + |u| max|v1| + |v| max|v2|, `linear_norm` the largest absolute row sum of the
// instance's 3x3 part and `translation` the largest absolute component of its translation.
float hit_point_error(float weighted_vertices, float linear_norm, float translation) {
  return kHitPointRelativeError * (weighted_vertices * linear_norm + translation);
}

// The next float above / below v (v finite), by its bit pattern. Zero steps to the smallest
// normal float rather than to the smallest denormal as on the CPU: a device may flush denormals
// to zero, which would leave the point in place.
float next_float_up(float v) {
  if (v == 0.0) return 1.17549435e-38;
  const uint bits = floatBitsToUint(v);
  return uintBitsToFloat(v > 0.0 ? bits + 1u : bits - 1u);
}
float next_float_down(float v) { return -next_float_up(-v); }

// Moves a surface point off its surface to the side a new ray leaves by (the normal is flipped
// towards `d`), far enough that the rounding error of the point (`error`, an absolute bound)
// cannot leave it on the wrong side; each coordinate is then rounded one more float away from
// the surface. A ray from there cannot re-hit the surface it starts on, so rays need no minimum
// hit distance.
vec3 offset_ray_origin(vec3 p, vec3 n, vec3 d, float error) {
  if (dot(n, d) < 0.0) n = -n;
  const float step = error * (abs(n.x) + abs(n.y) + abs(n.z));
  vec3 o = p + n * step;
  for (int k = 0; k < 3; ++k) {
    if (n[k] > 0.0) o[k] = next_float_up(o[k]);
    else if (n[k] < 0.0) o[k] = next_float_down(o[k]);
  }
  return o;
}

#endif
