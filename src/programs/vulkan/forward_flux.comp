// Forward photon tracing: the device side of simulate_flux (mode 0) and
// simulate_forward_radiation (mode 1), mirroring the CPU backend's photon walk and tallies
// (src/cpu/forward.cpp) photon for photon: photon g of a run seeded `seed` draws from
// item_stream(g, seeded_sequence(kPhotonSequence, seed)), the stream the CPU backend gives it.
//
// Work: the dispatch has an invocation per photon of the batch (x, 64 per work group) and per
// band (y). The invocations share the batch's work through a queue in the parameter record:
// items are (photon, chunk of BAND_CAPACITY bands) pairs, and an invocation takes items until the
// queue is empty, starting the next as soon as its photon ends, so the lanes of a SIMD batch
// stay busy however long each photon's walk. A photon of a scene with up to BAND_CAPACITY bands
// is traced once for all its bands, as on the CPU; with more, once per chunk of bands, each with
// the Russian roulette of its own bands.
//
// Sums go into fixed-point cells of three 32-bit words: a 32-bit fraction, then a 64-bit
// integer part (low word first), counted in the run's unit of 2^k W (deposit_scale = 2^-k, the
// power of two nearest below the area of one photon). Carries go from each word into the next, so
// the sums are exact whatever the order of the additions, and a cell holds 2^64 units: any total
// the photons of one run can bring.
//
//   binding 0      the scene TLAS
//   bindings 1-6   normals (vec4), triangles (uvec4, local), mesh records (uvec4: first vertex,
//                  first normal, first triangle, material id), instance records, material
//                  records, spectral parameters
//   binding 11     ForwardParams (160 bytes); the shader adds the rays it traced to `rays`
//   flux:          7 downwelling, 8 upwelling, 9 direct and 10 diffuse downwelling cells
//                  ((row j * nx + column i) * bands + band), 12 the vertices (vec4)
//   radiation:     7 the vertices (vec4), 12 grid cells (((layer * ny + j) * nx + i) * bands +
//                  band), 13 leaf cells (global primitive * bands + band), 14 terrain cells
//                  (band), 15 layer heights, 16 global primitive index of each instance's first
//                  triangle
#version 460
#extension GL_EXT_ray_query : require
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_control_flow_attributes : require

#define BAND_CAPACITY 8

layout(local_size_x = 64) in;

struct InstanceRecord {
  vec4 normal_matrix[3];
  uint mesh_id;
  uint zero[3];
};

layout(set = 0, binding = 0) uniform accelerationStructureEXT scene_tlas;
layout(std430, set = 0, binding = 1) readonly buffer Normals { vec4 normals[]; };
layout(std430, set = 0, binding = 2) readonly buffer Triangles { uvec4 triangles[]; };
layout(std430, set = 0, binding = 3) readonly buffer Meshes { uvec4 meshes[]; };
layout(std430, set = 0, binding = 4) readonly buffer Instances { InstanceRecord instances[]; };
layout(std430, set = 0, binding = 6) readonly buffer Spectral { float params[]; };
layout(std430, set = 0, binding = 7) buffer Words7 { uint words7[]; };
layout(std430, set = 0, binding = 8) buffer Words8 { uint words8[]; };
layout(std430, set = 0, binding = 9) buffer Words9 { uint words9[]; };
layout(std430, set = 0, binding = 10) buffer Words10 { uint words10[]; };
layout(std430, set = 0, binding = 11) buffer ForwardParams {
  uint batch_photons;
  uint bands;
  uint nx;
  uint ny;
  uint first_photon;
  int max_depth;
  int rr_depth;
  int max_bounces;
  float extent_x;
  float extent_y;
  float plane_height;
  float area_per_photon;
  vec3 emitter_direction;
  uint next_item;  // uploaded 0: the work queue of the batch, (photon, band chunk) items
  vec3 sun_direction;  // the analytic sky's sun
  float deposit_scale;  // 2^-k: cells count units of 2^k W
  float tile_x;
  float tile_y;
  float scene_max_z;
  float repetition_count;
  int sun_offset;
  int sky_offset;
  int hosek_offset;
  uint decompose;
  float prob_sun;
  float scene_min_x;
  float scene_min_y;
  float scene_min_z;
  uint mode;
  uint layers;
  int terrain_instance;
  uint per_leaf;
  uint n_primitives;
  float scene_max_x;
  float scene_max_y;
  uint rays;
  uvec2 seed;  // the run's seed
  uvec2 zero168;
} f;
layout(std430, set = 0, binding = 12) buffer Words12 { uint words12[]; };
layout(std430, set = 0, binding = 13) buffer Words13 { uint words13[]; };
layout(std430, set = 0, binding = 14) buffer Words14 { uint words14[]; };
layout(std430, set = 0, binding = 15) readonly buffer Layers { float layer_heights[]; };
layout(std430, set = 0, binding = 16) readonly buffer Bases { uint instance_bases[]; };

#include "physics/bsdf.glsl"
#include "physics/pcg32.glsl"
#include "physics/photon.glsl"
#include "physics/scatter.glsl"
#include "physics/tile.glsl"

layout(std430, set = 0, binding = 5) readonly buffer Materials { MaterialRecord materials[]; };

const uint kFluxMode = 0u;

// The vertex table sits at binding 12 in flux mode and at binding 7 in radiation mode.
vec3 mesh_vertex(uint i) {
  if (f.mode == kFluxMode)
    return vec3(uintBitsToFloat(words12[4u * i]), uintBitsToFloat(words12[4u * i + 1u]),
                uintBitsToFloat(words12[4u * i + 2u]));
  return vec3(uintBitsToFloat(words7[4u * i]), uintBitsToFloat(words7[4u * i + 1u]),
              uintBitsToFloat(words7[4u * i + 2u]));
}

#include "scene_queries.glsl"

// The sequence number of photon streams (kPhotonSequence of the CPU backend).
const uvec2 kPhotonSequence = uvec2(0x746F6E73u, 0x0070686Fu);

// A 32-bit integer hash with good avalanche (Wellons' lowbias32).
uint hash32(uint x) {
  x ^= x >> 16u;
  x *= 0x7FEB352Du;
  x ^= x >> 15u;
  x *= 0x846CA68Bu;
  x ^= x >> 16u;
  return x;
}

// A non-negative number of units as a 64.32 fixed-point value: x the fraction in units of 2^-32,
// y and z the integer part's low and high words. A value below 2^-8 has bits finer than 2^-32;
// they are rounded up with the probability they make up (`dither` uniform in [0, 1)), so no
// deposit is biased, and a cell that receives a million equal deposits of 1e-5 sums to their
// total, not to a truncated one. Every step is exact in float: v - floor(v) is, and so is the
// split of the integer part at 2^32 (both halves are multiples of the integer's last bit). Values
// from 2^64 on (which no photon brings) are held at the largest float below it.
uvec3 to_fixed(float v, float dither) {
  v = min(v, 18446742974197923840.0);
  const float whole = floor(v);
  float fraction = (v - whole) * 4294967296.0;
  if (fraction < 16777216.0) fraction = min(floor(fraction + dither), 4294967295.0);
  const float high = floor(whole * 2.3283064365386963e-10);
  return uvec3(uint(fraction), uint(whole - high * 4294967296.0), uint(high));
}

// The dither of one deposit: a hash of the photon, its hit and the band, independent of the
// photon's random stream (which the walk alone draws from, as on the CPU).
float deposit_dither(uint photon, int depth, int band) {
  return float(hash32(hash32(photon) ^ (uint(depth) * 0x9E3779B9u + uint(band))) >> 8u) *
         5.9604645e-8;
}

// Adds `v` W to fixed-point cell `cell` of a word buffer: each word's atomic addition returns
// what was there, which tells whether it wrapped, and the carry goes into the next word's
// addition. The three additions of one deposit need not be seen together: a sum of words mod
// 2^96 is the same in any order.
#define DEFINE_ADD_FIXED(name, words)                                          \
  void name(uint cell, float v, float dither) {                                 \
    const uvec3 x = to_fixed(v * f.deposit_scale, dither);                      \
    const uint at = 3u * cell;                                                  \
    const uint old0 = atomicAdd(words[at], x.x);                                \
    const uint add1 = x.y + (old0 + x.x < old0 ? 1u : 0u);                      \
    uint add2 = x.z + (add1 < x.y ? 1u : 0u);                                   \
    if (add1 != 0u) {                                                           \
      const uint old1 = atomicAdd(words[at + 1u], add1);                        \
      add2 += old1 + add1 < old1 ? 1u : 0u;                                     \
    }                                                                           \
    if (add2 != 0u) atomicAdd(words[at + 2u], add2);                            \
  }
DEFINE_ADD_FIXED(add_words7, words7)
DEFINE_ADD_FIXED(add_words8, words8)
DEFINE_ADD_FIXED(add_words9, words9)
DEFINE_ADD_FIXED(add_words10, words10)
DEFINE_ADD_FIXED(add_words12, words12)
DEFINE_ADD_FIXED(add_words13, words13)
DEFINE_ADD_FIXED(add_words14, words14)

// Absorbed fraction of the light hitting a surface: 1 - reflectance, and for a leaf
// 1 - (reflectance of the side hit + transmittance).
float absorptance(MaterialView m, int b, bool back_face) {
  if (m.type == kMaterialLambertian || m.type == kMaterialRpv) return 1.0 - block(m, 0, b);
  if (m.type == kMaterialLeaf)
    return 1.0 - (block(m, 2, b) + (back_face ? block(m, 1, b) : block(m, 0, b)));
  return 1.0;
}

// The cell of coordinate / cell size, truncated towards zero and clamped into [0, n - 1] (NaN
// and values beyond the int range included).
int clamp_cell(float cells, int n) {
  if (!(cells >= 1.0)) return 0;
  if (!(cells < float(n))) return n - 1;
  return int(cells);
}

void main() {
  const int nb = int(f.bands);
  const uint chunks = uint((nb + BAND_CAPACITY - 1) / BAND_CAPACITY);
  const uint items = f.batch_photons * chunks;

  PhotonSourceSettings source;
  source.box.lo = vec3(f.scene_min_x, f.scene_min_y, f.scene_min_z);
  source.box.hi = vec3(f.scene_max_x, f.scene_max_y, f.scene_max_z);
  source.sun_direction = unit_direction(f.emitter_direction);
  source.nb = nb;
  source.sun_offset = f.sun_offset;
  source.sky_offset = f.sky_offset;
  source.hosek_offset = f.hosek_offset;
  source.hosek_sun = unit_direction(f.sun_direction.xyz);
  RepetitionTile tile;
  tile.count = int(f.repetition_count);
  tile.x_size = f.tile_x;
  tile.y_size = f.tile_y;
  source.repetition = tile_active(tile);
  // Photons enter the repeating tile from above everything in it.
  source.launch_height = max(f.plane_height, f.scene_max_z) + 0.1;
  source.sx = f.extent_x;
  source.sy = f.extent_y;
  source.area_per_photon = f.area_per_photon;
  source.prob_sun = f.prob_sun;

  const bool flux = f.mode == kFluxMode;
  const int nx = int(f.nx), ny = int(f.ny);
  const float dx = f.extent_x / float(nx), dy = f.extent_y / float(ny);
  const bool want_terrain = f.terrain_instance >= 0;
  const bool want_leaf = f.per_leaf != 0u && f.n_primitives > 0u;
  const int layers = int(f.layers);

  // The photon in flight (walk_photon of the CPU backend, taken apart at its ray query): a lane
  // whose photon ends takes the next item of the batch's queue at once, so every iteration
  // traces one ray on every lane still working.
  bool alive = false;
  uint g = 0u;  // the photon
  int first = 0, count = 0;
  Pcg32 rng;
  float w[BAND_CAPACITY];
  LaunchedPhoton photon;
  vec3 o = vec3(0.0), d = vec3(0.0, 0.0, -1.0);
  int depth = 0, wraps = 0;
  // Flux: the cell of the previous hit (-1: none or outside the grid), the hits recorded, and
  // whether max_bounces of them are (the photon then ends at its next hit; escaping before it,
  // it still leaves its last cell upwards).
  int prev = -1, recorded = 0;
  bool stop = false;
  for (;;) {
    if (!alive) {
      const uint item = atomicAdd(f.next_item, 1u);
      if (item >= items) break;
      g = f.first_photon + item / chunks;
      first = int(item % chunks) * BAND_CAPACITY;
      count = min(BAND_CAPACITY, nb - first);
      rng = item_stream(uvec2(g, 0u), seeded_sequence(kPhotonSequence, f.seed));
      alive = launch_photon(source, rng, w, first, count, photon);
      o = photon.origin;
      d = photon.direction;
      depth = 0;
      wraps = 0;
      prev = -1;
      recorded = 0;
      stop = false;
      if (!alive || f.max_depth < 1) {
        alive = false;
        continue;
      }
    }

    RayQueryResult r;
    r.hit = false;
    if (traceable(o, d)) r = trace_ray(o, d, kRayFar, false);
    if (!r.hit) {
      if (source.repetition && wraps < tile.count &&
          !leaves_slab(o, d, f.scene_min_z, f.scene_max_z) && wrap_across_tile(tile, o, d) > 0.0) {
        ++wraps;
        continue;
      }
      // Escaped: light that left a surface upwards leaves the column of its last hit.
      if (flux && depth > 0 && prev >= 0)
        [[dont_unroll]] for (int k = 0; k < count; ++k) {
          const float e = w[k] * photon.scale;
          if (e > 0.0)
            add_words8(uint(prev * nb + first + k), e, deposit_dither(g, depth, first + k));
        }
      alive = false;
      continue;
    }
    const HitRecord hit = hit_record(r, d);
    const MaterialView mat = material_view(materials[hit.material_id], nb);
    const Frame frame = build_frame(hit.normal);
    const vec3 wo = to_local(frame, -d);
    if (flux) {
      if (stop) {
        alive = false;
        continue;
      }
      // Truncation towards zero: hits just below 0 fall into the first column.
      const float fx = hit.position.x / dx, fy = hit.position.y / dy;
      int c = -1;
      if (fx > -1.0 && fx < float(nx) && fy > -1.0 && fy < float(ny))
        c = min(int(fy), ny - 1) * nx + min(int(fx), nx - 1);
      if (c >= 0 && (f.max_bounces == 0 || recorded < f.max_bounces)) {
        // Direct light: a sun photon at its first surface, before any scattering.
        const bool is_direct = photon.is_sun && depth == 0;
        [[dont_unroll]] for (int k = 0; k < count; ++k) {
          const float e = w[k] * photon.scale;
          if (!(e > 0.0)) continue;
          const uint i = uint(c * nb + first + k);
          const float dither = deposit_dither(g, depth, first + k);
          add_words7(i, e, dither);
          if (f.decompose != 0u) {
            if (is_direct)
              add_words9(i, e, dither);
            else
              add_words10(i, e, dither);
          }
          if (prev >= 0 && prev != c) add_words8(uint(prev * nb + first + k), e, dither);
        }
        ++recorded;
      }
      if (f.max_bounces > 0 && recorded >= f.max_bounces) stop = true;
      prev = c;
    } else if (want_terrain && hit.instance_id == f.terrain_instance) {
      [[dont_unroll]] for (int k = 0; k < count; ++k) {
        const float e = absorptance(mat, first + k, hit.is_back_face) * w[k] * photon.scale;
        if (e > 0.0) add_words14(uint(first + k), e, deposit_dither(g, depth, first + k));
      }
    } else {
      const int ix = clamp_cell(hit.position.x / dx, nx);
      const int iy = clamp_cell(hit.position.y / dy, ny);
      const float z = hit.position.z;
      int iz = -1;
      for (int k = 0; k < layers; ++k)
        if (layer_heights[k] <= z && z < layer_heights[k + 1]) {
          iz = k;
          break;
        }
      if (iz < 0) iz = z >= layer_heights[0] ? layers - 1 : 0;
      const uint cell = uint(((iz * ny + iy) * nx + ix) * nb + first);
      const uint leaf =
          (instance_bases[hit.instance_id] + uint(hit.primitive_id)) * uint(nb) + uint(first);
      [[dont_unroll]] for (int k = 0; k < count; ++k) {
        const float e = absorptance(mat, first + k, hit.is_back_face) * w[k] * photon.scale;
        if (e > 0.0) {
          const float dither = deposit_dither(g, depth, first + k);
          add_words12(cell + uint(k), e, dither);
          if (want_leaf) add_words13(leaf + uint(k), e, dither);
        }
      }
    }
    if (!scatter(mat, frame, hit.geometric_normal, wo, hit.is_back_face, false, depth,
                 f.rr_depth, 1e-8, rng, w, first, count, d)) {
      alive = false;
      continue;
    }
    o = spawn(hit, d);
    alive = ++depth < f.max_depth;
  }
  if (g_rays > 0u) atomicAdd(f.rays, g_rays);
}
