// Procedural meshes: a flat ground plane, an icosphere and an open cylinder, in the same
// three-list form that add_mesh takes. Each generator appends to what the lists already hold
// and offsets its indices by the vertex count found on entry.
#pragma once

#include <vector>

#include "scene/records.h"

namespace velm {

struct MeshLists {
  std::vector<Float3> vertices;
  std::vector<Float3> normals;
  std::vector<Int3> triangles;
};

// Plane z = 0 centred on the origin, cells no wider than max_tri_edge, normals +z. Throws
// std::invalid_argument when the cell count is NaN or the grid would exceed 2^24 cells.
void append_ground_plane(MeshLists& out, float half_w, float half_h, float max_tri_edge);
// Icosphere: the icosahedron refined `subdivisions` times, midpoints not shared between faces.
// Throws std::invalid_argument for a radius or centre that is not finite or negative
// subdivisions.
void append_sphere(MeshLists& out, float radius, const Float3& center, int subdivisions);
// Open cylinder along +z from 0 to height, segments + 1 columns (the last repeats the first).
// Throws std::invalid_argument for a radius or height that is not finite, fewer than one segment
// (no angle step exists) and more than 2^24 segments.
void append_cylinder(MeshLists& out, float radius, float height, int segments);

}  // namespace velm
