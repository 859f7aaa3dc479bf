// The surface point of a ray hit, rebuilt from the hit triangle and its barycentric coordinates
// rather than along the ray: position with an absolute error bound, geometric and shading
// normals through the inverse transpose of the instance transform, and the side that was hit.
// The CPU backend (Embree) and the OptiX closest-hit programs both build their hits here, so a
// hit means the same on every backend.
#pragma once

#include "physics/common.h"

namespace velm {

// What a hit reports to the simulations.
struct SurfaceHit {
  float t = 3.4028235e38f;
  Vec3 position{0.f, 0.f, 0.f};          // rebuilt from the barycentric coordinates
  Vec3 normal{0.f, 0.f, 1.f};            // shading normal, facing the incoming ray's side
  Vec3 geometric_normal{0.f, 0.f, 1.f};  // facing the side the ray came from
  int32_t material_id = -1;
  int32_t primitive_id = -1;  // triangle index within the mesh
  int32_t global_primitive_id = -1;
  int32_t instance_id = -1;
  bool hit = false;
  bool is_back_face = false;
  float position_error = 0.f;  // absolute bound on the distance of `position` from the surface

  // Origin of a new ray leaving the surface along `direction`.
  VELM_HD Vec3 spawn(Vec3 direction) const {
    return offset_ray_origin(position, geometric_normal, direction, position_error);
  }
};

// What the hit reconstruction needs of an instance's row-major 3x4 transform, computed once per
// instance on the CPU and per hit on the GPU.
struct InstanceFrame {
  // Maps mesh-frame normals to world normals: the inverse transpose of the 3x3 part, up to a
  // positive factor (its cofactor matrix times the determinant's sign), so it stays defined for
  // a flattening transform.
  float normal_matrix[9] = {};
  float linear_norm = 0.f;   // largest absolute row sum of the 3x3 part
  float inverse_norm = 0.f;  // the same of its inverse (0 when singular)
  float translation = 0.f;   // largest absolute translation component
  // |det| over the product of the rows' lengths: 1 for a rotation with any scales, 0 when the
  // transform flattens space and normals are undefined.
  float conditioning = 0.f;
};

VELM_HD InstanceFrame instance_frame(const float* m) {
  InstanceFrame out;
  const float a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9],
              i = m[10];
  // Cofactor matrix of the 3x3 part (rows a b c / d e f / g h i): det times the inverse
  // transpose.
  const float cof[9] = {e * i - f * h, f * g - d * i, d * h - e * g,
                        c * h - b * i, a * i - c * g, b * g - a * h,
                        b * f - c * e, c * d - a * f, a * e - b * d};
  const float det = a * cof[0] + b * cof[1] + c * cof[2];
  for (int k = 0; k < 9; ++k) out.normal_matrix[k] = det < 0.f ? -cof[k] : cof[k];
  float rows = 1.f;
  for (int r = 0; r < 3; ++r) {
    const float* row = m + 4 * r;
    out.linear_norm =
        std::fmax(out.linear_norm, std::fabs(row[0]) + std::fabs(row[1]) + std::fabs(row[2]));
    out.translation = std::fmax(out.translation, std::fabs(row[3]));
    rows *= std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
  }
  out.conditioning = rows > 0.f ? std::fabs(det) / rows : 0.f;
  // Largest absolute row sum of the inverse, cof^T / det (columns of the cofactor matrix).
  float inverse_norm = 0.f;
  for (int k = 0; k < 3; ++k)
    inverse_norm = std::fmax(inverse_norm, std::fabs(out.normal_matrix[k]) +
                                               std::fabs(out.normal_matrix[3 + k]) +
                                               std::fabs(out.normal_matrix[6 + k]));
  out.inverse_norm = det != 0.f ? inverse_norm / std::fabs(det) : 0.f;
  return out;
}

VELM_HD Vec3 apply3(const float* m, Vec3 v) {
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
          m[6] * v.x + m[7] * v.y + m[8] * v.z};
}

// A point through a row-major 3x4 transform.
VELM_HD Vec3 transform_point(const float* m, Vec3 p) {
  return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
          m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

VELM_HD float max_abs(Vec3 v) {
  return max_of(std::fabs(v.x), max_of(std::fabs(v.y), std::fabs(v.z)));
}

// A unit vector, or `fallback` when `v` has no usable direction (zero, denormal or not finite).
VELM_HD Vec3 unit_or(Vec3 v, Vec3 fallback) {
  const float len2 = dot(v, v);
  if (!(len2 > 1e-30f) || !std::isfinite(len2)) return fallback;
  return v * (1.f / std::sqrt(len2));
}

// The point with barycentric coordinates b on a triangle, rebuilt on the triangle rather than
// along the ray (origin + t d would carry the error of t, which grows with the distance
// travelled), and kept at least `margin` inside each of the triangle's edges. A new ray starts
// from this point: near an edge shared with another surface (the corner of a closed mesh) it
// must lie off that surface by more than its rounding error too, or the ray may start on the
// neighbouring wall and leave through it. The point moves along its own triangle by at most
// `margin`, where the triangle is wide enough; a sliver gives at most a quarter per coordinate.
// `c` is the triangle's (v1 - v0) x (v2 - v0).
VELM_HD_HOT Vec3 point_on_triangle(const Vec3 v[3], Vec3 c, float b0, float b1, float b2,
                                   float margin) {
  const Vec3 opposite[3] = {v[2] - v[1], v[0] - v[2], v[1] - v[0]};
  // The distance to the edge opposite corner i is b_i |c| / |edge_i|; compared squared, so the
  // common case (far from every edge) takes no square root.
  const float area2 = dot(c, c), margin2 = margin * margin;
  float b[3] = {b0, b1, b2};
  bool moved = false;
  for (int i = 0; i < 3; ++i) {
    const float edge2 = dot(opposite[i], opposite[i]);
    if (!(b[i] * b[i] * area2 >= margin2 * edge2) || b[i] < 0.f) {
      const float least = area2 > 0.f ? margin * std::sqrt(edge2 / area2) : 0.25f;
      b[i] = std::fmax(b[i], std::fmin(least, 0.25f));
      moved = true;
    }
  }
  if (moved) {
    const float sum = b[0] + b[1] + b[2];
    for (int k = 0; k < 3; ++k) b[k] /= sum;
  }
  // Relative to the corner of the largest coordinate: each edge-direction term then moves the
  // point from that corner into the triangle.
  const int i = b[0] >= b[1] ? (b[0] >= b[2] ? 0 : 2) : (b[1] >= b[2] ? 1 : 2);
  const int j = (i + 1) % 3, k = (i + 2) % 3;
  const Vec3 a = v[i], p = v[j], q = v[k];
  return {a.x + (b[j] * (p.x - a.x) + b[k] * (q.x - a.x)),
          a.y + (b[j] * (p.y - a.y) + b[k] * (q.y - a.y)),
          a.z + (b[j] * (p.z - a.z) + b[k] * (q.z - a.z))};
}

// The hit of a ray along `direction` on the triangle `corner` (mesh frame; per-vertex normals
// `corner_normals`, or null) of an instance with transform `xf` (row-major 3x4) and frame `f`,
// at barycentric coordinates (u, v) and distance t. Fills everything but the ids.
VELM_HD_HOT SurfaceHit surface_hit(const float* xf, const InstanceFrame& f, const Vec3 corner[3],
                               const Vec3* corner_normals, float u, float v, Vec3 direction,
                               float t) {
  SurfaceHit rec;
  rec.hit = true;
  rec.t = t;
  const float w = 1.f - u - v;
  const float weighted = std::fabs(w) * max_abs(corner[0]) + std::fabs(u) * max_abs(corner[1]) +
                         std::fabs(v) * max_abs(corner[2]);
  rec.position_error = hit_point_error(weighted, f.linear_norm, f.translation);
  // The triangle's own normal, (v1 - v0) x (v2 - v0): the front face is the side from which the
  // corners run counter-clockwise.
  const Vec3 ng_local = cross(corner[1] - corner[0], corner[2] - corner[0]);
  // The world error bound as a distance in the mesh's frame (through the inverse's norm).
  const Vec3 local =
      point_on_triangle(corner, ng_local, w, u, v, 2.f * rec.position_error * f.inverse_norm);
  rec.position = transform_point(xf, local);
  rec.geometric_normal = unit_or(apply3(f.normal_matrix, ng_local), -direction);
  rec.normal = rec.geometric_normal;
  if (corner_normals != nullptr) {
    const Vec3 n0 = corner_normals[0], n1 = corner_normals[1], n2 = corner_normals[2];
    const Vec3 n(w * n0.x + u * n1.x + v * n2.x, w * n0.y + u * n1.y + v * n2.y,
                 w * n0.z + u * n1.z + v * n2.z);
    // Normals that cancel out (or a zero normal in the mesh) leave the flat normal in place.
    rec.normal = unit_or(apply3(f.normal_matrix, n), rec.geometric_normal);
  }
  rec.is_back_face = dot(direction, rec.geometric_normal) > 0.f;
  if (rec.is_back_face) rec.geometric_normal = -rec.geometric_normal;
  if (dot(rec.normal, rec.geometric_normal) < 0.f) rec.normal = -rec.normal;
  return rec;
}

}  // namespace velm
