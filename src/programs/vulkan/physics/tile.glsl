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

// True when the ray is above the scene's slab [zlo, zhi] and not descending, or below it and not
// rising: crossing into the next tile cannot bring it to anything.
bool leaves_slab(vec3 o, vec3 d, float zlo, float zhi) {
  return (o.z >= zhi && d.z >= 0.0) || (o.z <= zlo && d.z <= 0.0);
}

#endif
