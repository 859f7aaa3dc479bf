// Small vector type and helpers shared by the CPU backend and the CUDA device programs.
// VELM_HD marks functions that both compilers see.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#define VELM_HD __host__ __device__ __forceinline__
#else
#define VELM_HD inline
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

VELM_HD float bits_to_float(int32_t i) {
  float f;
  std::memcpy(&f, &i, sizeof f);
  return f;
}
VELM_HD int32_t float_to_bits(float f) {
  int32_t i;
  std::memcpy(&i, &f, sizeof i);
  return i;
}

// Moves a surface point off the surface towards the side a new ray leaves by, so the ray cannot
// re-hit the surface it starts on (integer-offset method, Ray Tracing Gems ch. 6). Far from the
// origin the step is a fixed number of float ulps, so it scales with the coordinate's magnitude;
// near the origin, where ulps vanish, a small absolute step is taken instead.
VELM_HD Vec3 offset_ray_origin(Vec3 p, Vec3 n, Vec3 d) {
  if (dot(n, d) < 0.f) n = -n;
  constexpr float kOrigin = 1.f / 32.f;
  constexpr float kFloatScale = 1.f / 65536.f;
  constexpr float kIntScale = 256.f;
  float out[3];
  for (int k = 0; k < 3; ++k) {
    const float pk = p[k], nk = n[k];
    if (std::fabs(pk) < kOrigin) {
      out[k] = pk + nk * kFloatScale;
    } else {
      const int32_t of = static_cast<int32_t>(kIntScale * nk);
      out[k] = bits_to_float(float_to_bits(pk) + (pk < 0.f ? -of : of));
    }
  }
  return {out[0], out[1], out[2]};
}

}  // namespace velm
