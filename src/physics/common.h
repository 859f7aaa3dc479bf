// Small vector type and helpers shared by the CPU backend and the CUDA device programs.
// VELM_HD marks functions that both compilers see.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#define VELM_HD __host__ __device__ __forceinline__
#define VELM_HD_HOT VELM_HD
#else
#define VELM_HD inline
// For the few functions on the path of every ray (the hit rebuild, the scattering step): inlined
// into their caller on the host too, where the compiler would otherwise call them and pass their
// results through memory.
#define VELM_HD_HOT inline __attribute__((always_inline))
#endif

namespace velm {

constexpr float kPi = 3.14159265358979323846f;
constexpr float kInvPi = 0.31830988618379067154f;
constexpr float kTwoPi = 6.28318530717958647692f;

struct Vec3 {
  float x = 0.f, y = 0.f, z = 0.f;
  VELM_HD Vec3() = default;
  VELM_HD Vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
  VELM_HD float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
};

// Larger / smaller of two numbers where neither can be NaN: one instruction, where std::fmax
// becomes a library call to honour NaN operands.
template <class T>
VELM_HD T max_of(T a, T b) {
  return a > b ? a : b;
}
template <class T>
VELM_HD T min_of(T a, T b) {
  return a < b ? a : b;
}

VELM_HD Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
VELM_HD Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
VELM_HD Vec3 operator-(Vec3 a) { return {-a.x, -a.y, -a.z}; }
VELM_HD Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
VELM_HD Vec3 operator*(float s, Vec3 a) { return {a.x * s, a.y * s, a.z * s}; }
VELM_HD float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
VELM_HD Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
VELM_HD float length(Vec3 a) { return std::sqrt(dot(a, a)); }
VELM_HD Vec3 normalize(Vec3 a) {
  const float len = length(a);
  return len > 0.f ? a * (1.f / len) : a;
}

// The unit vector of v (three floats), normalised in double precision so any finite length works;
// a zero or non-finite v gives a non-finite result (callers check their inputs first).
VELM_HD Vec3 unit_vector(const float* v) {
  const double x = v[0], y = v[1], z = v[2];
  const double len = sqrt(x * x + y * y + z * z);
  return {static_cast<float>(x / len), static_cast<float>(y / len), static_cast<float>(z / len)};
}

// Orthonormal frame (t, b, n) around a unit normal n.
struct Frame {
  Vec3 t, b, n;
  VELM_HD Vec3 to_world(Vec3 local) const { return t * local.x + b * local.y + n * local.z; }
  VELM_HD Vec3 to_local(Vec3 w) const { return {dot(t, w), dot(b, w), dot(n, w)}; }
};

// The bitangent is taken perpendicular to the larger of n.x, n.y so the division never
// approaches zero for a unit normal.
VELM_HD Frame build_frame(Vec3 n) {
  Vec3 b;
  if (std::fabs(n.x) > std::fabs(n.y))
    b = Vec3(n.z, 0.f, -n.x) * (1.f / std::sqrt(n.x * n.x + n.z * n.z));
  else
    b = Vec3(0.f, n.z, -n.y) * (1.f / std::sqrt(n.y * n.y + n.z * n.z));
  return {cross(b, n), b, n};
}

// Relative rounding error of a hit point rebuilt from its barycentric coordinates in the mesh's
// frame (w v0 + u v1 + v v2) and placed by an instance transform: each step rounds a few times,
// and the bound is taken as 16 units of float rounding (2^-24) of the magnitudes involved, with
// room for the ray tracer's own transform of a new ray into the mesh frame.
constexpr float kHitPointRelativeError = 9.5367432e-7f;  // 2^-20

// Absolute bound on how far a rebuilt hit point can lie off its true surface. `weighted_vertices`
// is |w| max|v0| + |u| max|v1| + |v| max|v2| (the terms summed, not the result, set the error),
// `linear_norm` the largest absolute row sum of the instance's 3x3 part and `translation` the
// largest absolute component of its translation.
VELM_HD float hit_point_error(float weighted_vertices, float linear_norm, float translation) {
  return kHitPointRelativeError * (weighted_vertices * linear_norm + translation);
}

// The next float above / below v (v finite), by its bit pattern: no library call.
VELM_HD float next_float_up(float v) {
  if (v == 0.f) v = 0.f;  // -0 steps up like +0
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  bits = v >= 0.f ? bits + 1 : bits - 1;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}
VELM_HD float next_float_down(float v) { return -next_float_up(-v); }

// Moves a surface point off its surface to the side a new ray leaves by (the normal is flipped
// towards `d`), far enough that the rounding error of the point (`error`, an absolute bound)
// cannot leave it on the wrong side: the step along the normal is the error projected onto the
// normal's axes, and each coordinate is then rounded one more float away from the surface. A ray
// from there cannot re-hit the surface it starts on, so rays need no minimum hit distance and
// nearby surfaces (the other wall of a thin box, a touching leaf) are never skipped.
VELM_HD Vec3 offset_ray_origin(Vec3 p, Vec3 n, Vec3 d, float error) {
  if (dot(n, d) < 0.f) n = -n;
  const float step = error * (std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z));
  float out[3] = {p.x + n.x * step, p.y + n.y * step, p.z + n.z * step};
  for (int k = 0; k < 3; ++k) {
    if (n[k] > 0.f) out[k] = next_float_up(out[k]);
    else if (n[k] < 0.f) out[k] = next_float_down(out[k]);
  }
  return {out[0], out[1], out[2]};
}

}  // namespace velm
