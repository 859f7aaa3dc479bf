// The repeating scene: one tile [0, sx] x [0, sy] continued periodically in x and y; the GLSL
// side of src/physics/tile.h.
#ifndef VELM_PHYSICS_TILE_GLSL
#define VELM_PHYSICS_TILE_GLSL

struct RepetitionTile {
  int count;  // below 1: no repetition
  float x_size;
  float y_size;
};

// RepetitionTile::active() ("active" is a reserved word in GLSL).
bool tile_active(RepetitionTile tile) {
  return tile.count >= 1 && tile.x_size > 0.0 && tile.y_size > 0.0;
}

// Moves `o` to where the ray along `d` leaves the tile (the boundary plane ahead of it in x or
// y; only for components above 1e-8 in magnitude) and shifts it by one tile against the
// direction of travel across that axis. A ray on or just past that plane crosses at distance 0.
// Returns the distance travelled (>= 0), or a negative value when the ray meets no boundary.
float wrap_across_tile(RepetitionTile tile, inout vec3 o, vec3 d) {
  float t_best = 1e16;
  int axis = -1;
  if (abs(d.x) > 1e-8) {
    const float t = max(((d.x > 0.0 ? tile.x_size : 0.0) - o.x) / d.x, 0.0);
    if (t < t_best) { t_best = t; axis = 0; }
  }
  if (abs(d.y) > 1e-8) {
    const float t = max(((d.y > 0.0 ? tile.y_size : 0.0) - o.y) / d.y, 0.0);
    if (t < t_best) { t_best = t; axis = 1; }
  }
  if (axis < 0) return -1.0;
  o = o + d * t_best;
  if (axis == 0)
    o.x += d.x > 0.0 ? -tile.x_size : tile.x_size;
  else
    o.y += d.y > 0.0 ? -tile.y_size : tile.y_size;
  return t_best;
}

// Brings a sensor ray that starts outside the tile into it, so a repeating scene is seen from
// any camera position (`zmax`: the top of the scene).
void enter_tile(RepetitionTile tile, float zmax, inout vec3 o, vec3 d) {
  const float sx = tile.x_size, sy = tile.y_size;
  float px = o.x, py = o.y;
  if (o.z > zmax && d.z < -1e-8) {
    const float t = (zmax - o.z) / d.z;
    px = o.x + t * d.x;
    py = o.y + t * d.y;
  }
  if (px > sx)
    o.x -= trunc(px / sx) * sx;
  else if (px < 0.0)
    o.x += trunc((sx - px) / sx) * sx;
  if (py > sy)
    o.y -= trunc(py / sy) * sy;
  else if (py < 0.0)
    o.y += trunc((sy - py) / sy) * sy;
  float te = 0.0;
  if (o.x < 0.0 && d.x > 1e-8) te = max(te, -o.x / d.x);
  if (o.x > sx && d.x < -1e-8) te = max(te, (sx - o.x) / d.x);
  if (o.y < 0.0 && d.y > 1e-8) te = max(te, -o.y / d.y);
  if (o.y > sy && d.y < -1e-8) te = max(te, (sy - o.y) / d.y);
  if (te > 0.0) {
    o = o + d * te;
    o.x = min(max(o.x, 0.001), sx - 0.001);
    o.y = min(max(o.y, 0.001), sy - 0.001);
  }
}

// True when the ray is above the scene's slab [zlo, zhi] and not descending, or below it and not
// rising: crossing into the next tile cannot bring it to anything.
bool leaves_slab(vec3 o, vec3 d, float zlo, float zhi) {
  return (o.z >= zhi && d.z >= 0.0) || (o.z <= zlo && d.z <= 0.0);
}

// Moves a ray that met nothing into the next tile when the repeating scene may still hold
// something along it: it repeats, `wraps` is below the tile count, the ray does not leave the
// slab [zlo, zhi] and it crosses a tile boundary. Counts the wrap.
bool wrap_into_next_tile(RepetitionTile tile, bool repetition, float zlo, float zhi,
                         inout vec3 o, vec3 d, inout int wraps) {
  // One return, so that the step inlines into the caller's branch as it stands.
  const bool wrapped = repetition && wraps < tile.count && !leaves_slab(o, d, zlo, zhi) &&
                       wrap_across_tile(tile, o, d) >= 0.0;
  if (wrapped) ++wraps;
  return wrapped;
}

#endif
