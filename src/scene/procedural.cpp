#include "scene/procedural.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velm {

namespace {
// Largest grid the ground plane builds: 2^24 cells (2^25 triangles, about 1.2 GB of arrays).
constexpr double kMaxGroundCells = 16777216.0;

// Cells along one axis: ceil(2 * half / max_tri_edge), at least 1. A quotient that is NaN
// (0 / 0, NaN input) or so large that the grid could not be allocated is refused here instead
// of being truncated to an arbitrary integer.
int ground_cells(float half, float max_tri_edge) {
  const float q = std::ceil(2.f * half / max_tri_edge);
  if (std::isnan(q) || !std::isfinite(half))
    throw std::invalid_argument(
        "make_ground_plane: half sizes and max_tri_edge must give a finite cell count");
  if (q > static_cast<float>(kMaxGroundCells))
    throw std::invalid_argument("make_ground_plane: the grid would exceed 16777216 cells");
  return std::max(1, static_cast<int>(std::max(q, 1.f)));
}
}  // namespace

void append_ground_plane(MeshLists& out, float half_w, float half_h, float max_tri_edge) {
  const int nx = ground_cells(half_w, max_tri_edge);
  const int ny = ground_cells(half_h, max_tri_edge);
  if (static_cast<double>(nx) * ny > kMaxGroundCells)
    throw std::invalid_argument("make_ground_plane: the grid would exceed 16777216 cells");
  const int32_t base = static_cast<int32_t>(out.vertices.size());
  for (int j = 0; j <= ny; ++j) {
    for (int i = 0; i <= nx; ++i) {
      const float x = static_cast<float>(i) / nx * 2.f * half_w - half_w;
      const float y = static_cast<float>(j) / ny * 2.f * half_h - half_h;
      out.vertices.push_back({x, y, 0.f});
      out.normals.push_back({0.f, 0.f, 1.f});
    }
  }
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i < nx; ++i) {
      const int32_t a = base + j * (nx + 1) + i;
      // Counter-clockwise seen from +z.
      out.triangles.push_back({a, a + 1, a + nx + 1});
      out.triangles.push_back({a + 1, a + nx + 2, a + nx + 1});
    }
  }
}

namespace {
Float3 normalised(Float3 p) {
  const float len = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
  return {p.x / len, p.y / len, p.z / len};
}
Float3 midpoint_on_sphere(const Float3& a, const Float3& b) {
  return normalised({(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f, (a.z + b.z) * 0.5f});
}
}  // namespace

void append_sphere(MeshLists& out, float radius, const Float3& center, int subdivisions) {
  if (!std::isfinite(radius) || !std::isfinite(center.x) || !std::isfinite(center.y) ||
      !std::isfinite(center.z))
    throw std::invalid_argument("make_sphere: radius and center must be finite");
  if (subdivisions < 0)
    throw std::invalid_argument("make_sphere: subdivisions must not be negative");
  const float g = (1.f + std::sqrt(5.f)) / 2.f;
  std::vector<Float3> unit = {{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0},
                              {0, -1, g}, {0, 1, g}, {0, -1, -g}, {0, 1, -g},
                              {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}};
  for (auto& u : unit) u = normalised(u);
  std::vector<Int3> faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                             {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                             {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                             {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  for (int pass = 0; pass < subdivisions; ++pass) {
    std::vector<Int3> refined;
    refined.reserve(faces.size() * 4);
    for (const Int3& f : faces) {
      const int32_t ab = static_cast<int32_t>(unit.size());
      unit.push_back(midpoint_on_sphere(unit[f.i0], unit[f.i1]));
      unit.push_back(midpoint_on_sphere(unit[f.i1], unit[f.i2]));
      unit.push_back(midpoint_on_sphere(unit[f.i2], unit[f.i0]));
      const int32_t bc = ab + 1, ca = ab + 2;
      refined.push_back({f.i0, ab, ca});
      refined.push_back({f.i1, bc, ab});
      refined.push_back({f.i2, ca, bc});
      refined.push_back({ab, bc, ca});
    }
    faces.swap(refined);
  }
  const int32_t base = static_cast<int32_t>(out.vertices.size());
  for (const Float3& u : unit) {
    out.vertices.push_back(
        {center.x + radius * u.x, center.y + radius * u.y, center.z + radius * u.z});
    out.normals.push_back(u);
  }
  for (const Int3& f : faces) out.triangles.push_back({base + f.i0, base + f.i1, base + f.i2});
}

void append_cylinder(MeshLists& out, float radius, float height, int segments) {
  if (!std::isfinite(radius) || !std::isfinite(height))
    throw std::invalid_argument("make_cylinder: radius and height must be finite");
  if (segments < 1) throw std::invalid_argument("make_cylinder: segments must be at least 1");
  // Same size limit as the ground plane (2^25 triangles); it also keeps the column loop
  // (i <= segments) clear of integer overflow.
  if (segments > (1 << 24))
    throw std::invalid_argument("make_cylinder: segments must be at most 16777216");
  const int32_t base = static_cast<int32_t>(out.vertices.size());
  const float two_pi = 6.2831855f;
  for (int i = 0; i <= segments; ++i) {
    const float angle = static_cast<float>(i) * two_pi / static_cast<float>(segments);
    const float c = std::cos(angle), s = std::sin(angle);
    out.vertices.push_back({radius * c, radius * s, 0.f});
    out.vertices.push_back({radius * c, radius * s, height});
    out.normals.push_back({c, s, 0.f});
    out.normals.push_back({c, s, 0.f});
  }
  for (int i = 0; i < segments; ++i) {
    const int32_t b = base + 2 * i;
    out.triangles.push_back({b, b + 2, b + 1});
    out.triangles.push_back({b + 1, b + 2, b + 3});
  }
}

}  // namespace velm
