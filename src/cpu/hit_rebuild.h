// The hit rebuild of the CPU ray queries in SSE: surface_hit (physics/surface.h) with the three
// components of each vector in the lanes of one register. Every lane performs the scalar code's
// own operations in the scalar code's order, and the horizontal sums add x, y and z in the order
// dot() does, so the hit is the same to the bit as surface_hit's (tests/cpp/test_hit_rebuild.cpp
// holds the two against each other); it takes about half the instructions, and it runs once for
// every closest hit the CPU traces.
//
// Corners and normals are read with 16-byte loads: the vertex buffer is one Embree allocated,
// which it pads for such loads, and the normal arrays carry one element of padding. Without SSE2
// the same functions call surface_hit itself.
#pragma once

#include "physics/surface.h"
#include "scene/records.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velm::embree {

#if defined(__SSE2__)

// What the rebuild needs of an instance, in columns: the transform's and the normal matrix's.
struct alignas(16) HitTransform {
  __m128 column[4];         // row-major 3x4 transform: (m0, m4, m8), ..., (m3, m7, m11)
  __m128 normal_column[3];  // InstanceFrame::normal_matrix, same layout
  float linear_norm = 0.f, inverse_norm = 0.f, translation = 0.f;
};

inline HitTransform hit_transform(const float* xf, const InstanceFrame& f) {
  HitTransform h;
  for (int c = 0; c < 4; ++c) h.column[c] = _mm_setr_ps(xf[c], xf[4 + c], xf[8 + c], 0.f);
  const float* n = f.normal_matrix;
  for (int c = 0; c < 3; ++c) h.normal_column[c] = _mm_setr_ps(n[c], n[3 + c], n[6 + c], 0.f);
  h.linear_norm = f.linear_norm;
  h.inverse_norm = f.inverse_norm;
  h.translation = f.translation;
  return h;
}

namespace sse {

template <int i>
inline __m128 lane(__m128 v) {
  return _mm_shuffle_ps(v, v, _MM_SHUFFLE(i, i, i, i));
}
// (a.x b.x + a.y b.y) + a.z b.z, as dot() adds them.
inline float dot(__m128 a, __m128 b) {
  const __m128 p = _mm_mul_ps(a, b);
  return _mm_cvtss_f32(_mm_add_ss(_mm_add_ss(p, lane<1>(p)), _mm_movehl_ps(p, p)));
}
// (y, z, x) and (z, x, y).
inline __m128 yzx(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 2, 1)); }
inline __m128 zxy(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 1, 0, 2)); }
inline __m128 cross(__m128 a, __m128 b) {
  return _mm_sub_ps(_mm_mul_ps(yzx(a), zxy(b)), _mm_mul_ps(zxy(a), yzx(b)));
}
inline __m128 negate(__m128 v) { return _mm_xor_ps(v, _mm_set1_ps(-0.f)); }
inline __m128 abs(__m128 v) { return _mm_andnot_ps(_mm_set1_ps(-0.f), v); }
// ((c0 p.x + c1 p.y) + c2 p.z), as apply3() and transform_point() add them.
inline __m128 apply(const __m128* c, __m128 p) {
  return _mm_add_ps(_mm_add_ps(_mm_mul_ps(c[0], lane<0>(p)), _mm_mul_ps(c[1], lane<1>(p))),
                    _mm_mul_ps(c[2], lane<2>(p)));
}
// unit_or(): v over its length, or `fallback` when v has no usable direction.
inline __m128 unit_or(__m128 v, __m128 fallback) {
  const float len2 = dot(v, v);
  if (!(len2 > 1e-30f) || !std::isfinite(len2)) return fallback;
  return _mm_mul_ps(v, _mm_set1_ps(1.f / std::sqrt(len2)));
}
inline Vec3 vec(__m128 v) {
  alignas(16) float f[4];
  _mm_store_ps(f, v);
  return {f[0], f[1], f[2]};
}
inline __m128 load(const Float3& p) { return _mm_loadu_ps(&p.x); }

}  // namespace sse

// surface_hit() for triangle `tri` of a mesh with `vertices` and per-vertex `normals` (or null),
// both readable with 16-byte loads, placed by `h`.
inline SurfaceHit rebuild_surface_hit(const HitTransform& h, const Float3* vertices,
                                      const Float3* normals, const Int3& tri, float u, float v,
                                      Vec3 direction, float t) {
  using namespace sse;
  const __m128 c0 = load(vertices[tri.i0]), c1 = load(vertices[tri.i1]),
               c2 = load(vertices[tri.i2]);
  SurfaceHit rec;
  rec.hit = true;
  rec.t = t;
  const float w = 1.f - u - v;
  const __m128 b = _mm_setr_ps(w, u, v, 0.f);
  // The corners by coordinate, (c0, c1, c2) in the lanes of x, y and z.
  __m128 x = c0, y = c1, z = c2, unused = _mm_setzero_ps();
  _MM_TRANSPOSE4_PS(x, y, z, unused);
  // |w| max|c0| + |u| max|c1| + |v| max|c2|, each max as max_abs() takes it.
  const __m128 largest = _mm_max_ps(abs(x), _mm_max_ps(abs(y), abs(z)));
  const float weighted = dot(abs(b), largest);
  rec.position_error = hit_point_error(weighted, h.linear_norm, h.translation);
  const __m128 ng_local = cross(_mm_sub_ps(c1, c0), _mm_sub_ps(c2, c0));

  // point_on_triangle(): the point stays where it is unless it lies within the margin of an
  // edge (the edge opposite corner i is (c_{i+2} - c_{i+1})); that rare case takes the scalar
  // routine itself.
  const float margin = 2.f * rec.position_error * h.inverse_norm;
  const float area2 = dot(ng_local, ng_local), margin2 = margin * margin;
  const __m128 ox = _mm_sub_ps(zxy(x), yzx(x)), oy = _mm_sub_ps(zxy(y), yzx(y)),
               oz = _mm_sub_ps(zxy(z), yzx(z));
  const __m128 edge2 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(ox, ox), _mm_mul_ps(oy, oy)),
                                  _mm_mul_ps(oz, oz));
  const __m128 near_edge =
      _mm_or_ps(_mm_cmpnge_ps(_mm_mul_ps(_mm_mul_ps(b, b), _mm_set1_ps(area2)),
                              _mm_mul_ps(_mm_set1_ps(margin2), edge2)),
                _mm_cmplt_ps(b, _mm_setzero_ps()));
  __m128 local;
  if ((_mm_movemask_ps(near_edge) & 7) != 0) {
    const Vec3 corner[3] = {vec(c0), vec(c1), vec(c2)};
    const Vec3 p = point_on_triangle(corner, vec(ng_local), w, u, v, margin);
    local = _mm_setr_ps(p.x, p.y, p.z, 0.f);
  } else {
    // Relative to the corner of the largest coordinate, as point_on_triangle() builds it.
    const __m128 corners[3] = {c0, c1, c2};
    const float bc[3] = {w, u, v};
    const int i = bc[0] >= bc[1] ? (bc[0] >= bc[2] ? 0 : 2) : (bc[1] >= bc[2] ? 1 : 2);
    const int j = (i + 1) % 3, k = (i + 2) % 3;
    const __m128 a = corners[i];
    local = _mm_add_ps(a, _mm_add_ps(_mm_mul_ps(_mm_set1_ps(bc[j]), _mm_sub_ps(corners[j], a)),
                                     _mm_mul_ps(_mm_set1_ps(bc[k]), _mm_sub_ps(corners[k], a))));
  }
  rec.position = vec(_mm_add_ps(apply(h.column, local), h.column[3]));

  const __m128 d = _mm_setr_ps(direction.x, direction.y, direction.z, 0.f);
  __m128 geometric = unit_or(apply(h.normal_column, ng_local), negate(d));
  __m128 normal = geometric;
  if (normals != nullptr) {
    const __m128 n = _mm_add_ps(
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(w), load(normals[tri.i0])),
                   _mm_mul_ps(_mm_set1_ps(u), load(normals[tri.i1]))),
        _mm_mul_ps(_mm_set1_ps(v), load(normals[tri.i2])));
    normal = unit_or(apply(h.normal_column, n), geometric);
  }
  rec.is_back_face = dot(d, geometric) > 0.f;
  if (rec.is_back_face) geometric = negate(geometric);
  if (dot(normal, geometric) < 0.f) normal = negate(normal);
  rec.geometric_normal = vec(geometric);
  rec.normal = vec(normal);
  return rec;
}

#else  // no SSE2: the shared rebuild

struct HitTransform {
  float xf[12];
  InstanceFrame frame;
};

inline HitTransform hit_transform(const float* xf, const InstanceFrame& f) {
  HitTransform h;
  std::copy(xf, xf + 12, h.xf);
  h.frame = f;
  return h;
}

inline SurfaceHit rebuild_surface_hit(const HitTransform& h, const Float3* vertices,
                                      const Float3* normals, const Int3& tri, float u, float v,
                                      Vec3 direction, float t) {
  auto vec = [](const Float3& p) { return Vec3(p.x, p.y, p.z); };
  const Vec3 corner[3] = {vec(vertices[tri.i0]), vec(vertices[tri.i1]), vec(vertices[tri.i2])};
  Vec3 corner_normals[3];
  if (normals != nullptr) {
    corner_normals[0] = vec(normals[tri.i0]);
    corner_normals[1] = vec(normals[tri.i1]);
    corner_normals[2] = vec(normals[tri.i2]);
  }
  return surface_hit(h.xf, h.frame, corner, normals != nullptr ? corner_normals : nullptr, u, v,
                     direction, t);
}

#endif  // __SSE2__

}  // namespace velm::embree
