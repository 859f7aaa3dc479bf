// The repeating scene: one tile [0, sx] x [0, sy] continued periodically in x and y. A ray that
// leaves the tile re-enters it at the opposite side.
#pragma once

#include "physics/common.h"
#include "physics/records.h"

namespace velm {

// Moves `o` to where the ray along `d` leaves the tile (the boundary plane ahead of it in x or
// y: x = sx when moving towards +x, x = 0 towards -x; only for components above 1e-8 in
// magnitude) and shifts it by one tile against the direction of travel across that axis.
// A ray on or just past that plane (after a bounce at the edge) crosses at distance 0, so it
// cannot skip its own boundary and slip out of the tile. Returns the distance travelled (>= 0),
// or a negative value when the ray meets no boundary (it is then left unchanged).
VELM_HD float wrap_across_tile(const RepetitionTile& tile, Vec3& o, Vec3 d) {
  float t_best = 1e16f;
  int axis = -1;
  if (std::fabs(d.x) > 1e-8f) {
    const float t = std::fmax(((d.x > 0.f ? tile.x_size : 0.f) - o.x) / d.x, 0.f);
    if (t < t_best) t_best = t, axis = 0;
  }
  if (std::fabs(d.y) > 1e-8f) {
    const float t = std::fmax(((d.y > 0.f ? tile.y_size : 0.f) - o.y) / d.y, 0.f);
    if (t < t_best) t_best = t, axis = 1;
  }
  if (axis < 0) return -1.f;
  o = o + d * t_best;
  if (axis == 0)
    o.x += d.x > 0.f ? -tile.x_size : tile.x_size;
  else
    o.y += d.y > 0.f ? -tile.y_size : tile.y_size;
  return t_best;
}

// Brings a sensor ray that starts outside the tile into it, so a repeating scene is seen from
// any camera position (`zmax`: the top of the scene).
VELM_HD void enter_tile(const RepetitionTile& tile, float zmax, Vec3& o, Vec3 d) {
  const float sx = tile.x_size, sy = tile.y_size;
  float px = o.x, py = o.y;
  if (o.z > zmax && d.z < -1e-8f) {
    const float t = (zmax - o.z) / d.z;
    px = o.x + t * d.x;
    py = o.y + t * d.y;
  }
  if (px > sx)
    o.x -= std::trunc(px / sx) * sx;
  else if (px < 0.f)
    o.x += std::trunc((sx - px) / sx) * sx;
  if (py > sy)
    o.y -= std::trunc(py / sy) * sy;
  else if (py < 0.f)
    o.y += std::trunc((sy - py) / sy) * sy;
  float te = 0.f;
  if (o.x < 0.f && d.x > 1e-8f) te = std::fmax(te, -o.x / d.x);
  if (o.x > sx && d.x < -1e-8f) te = std::fmax(te, (sx - o.x) / d.x);
  if (o.y < 0.f && d.y > 1e-8f) te = std::fmax(te, -o.y / d.y);
  if (o.y > sy && d.y < -1e-8f) te = std::fmax(te, (sy - o.y) / d.y);
  if (te > 0.f) {
    o = o + d * te;
    o.x = std::fmin(std::fmax(o.x, 0.001f), sx - 0.001f);
    o.y = std::fmin(std::fmax(o.y, 0.001f), sy - 0.001f);
  }
}

// True when the ray is above the scene's slab [zlo, zhi] and not descending, or below it and not
// rising: crossing into the next tile cannot bring it to anything. Bounds every tile walk by the
// scene's extent, whatever the repetition count.
VELM_HD bool leaves_slab(Vec3 o, Vec3 d, float zlo, float zhi) {
  return (o.z >= zhi && d.z >= 0.f) || (o.z <= zlo && d.z <= 0.f);
}

// Moves a ray that met nothing into the next tile when the repeating scene may still hold
// something along it: it repeats, `wraps` is below the tile count, the ray does not leave the
// slab [zlo, zhi] and it crosses a tile boundary. Counts the wrap.
VELM_HD bool wrap_into_next_tile(const RepetitionTile& tile, bool repetition, float zlo, float zhi,
                                 Vec3& o, Vec3 d, int& wraps) {
  if (!repetition || wraps >= tile.count || leaves_slab(o, d, zlo, zhi) ||
      !(wrap_across_tile(tile, o, d) >= 0.f))
    return false;
  ++wraps;
  return true;
}

// Occlusion in the repeating scene: the segment re-enters the tile at the opposite side up to
// tile.count times. `scene.occluded(o, d, t_max)` is one backend's plain occlusion query;
// `repetition` says whether the tile is on, [zlo, zhi] is the scene's vertical extent.
template <class Scene>
VELM_HD bool occluded_tiled(const Scene& scene, const RepetitionTile& tile, bool repetition,
                            float zlo, float zhi, Vec3 origin, Vec3 direction,
                            float max_distance) {
  float remaining = max_distance;
  if (scene.occluded(origin, direction, remaining)) return true;
  if (!repetition) return false;
  for (int wrap = 0; wrap < tile.count; ++wrap) {
    // Past the top or bottom of the scene, moving away from it, nothing more can be met.
    if (leaves_slab(origin, direction, zlo, zhi)) return false;
    const float t = wrap_across_tile(tile, origin, direction);
    if (t < 0.f) return false;
    remaining -= t;
    if (!(remaining > 0.f)) return false;
    if (scene.occluded(origin, direction, remaining)) return true;
  }
  return false;
}

}  // namespace velm
