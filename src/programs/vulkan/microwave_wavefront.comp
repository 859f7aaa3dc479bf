// Microwave transport of caller-given rays, the device side of run_microwave_wavefront: passive
// brightness temperatures [T_H, T_V, T_3, T_4] (K, modified Stokes vector, H and V relative to
// the vertical plane through the ray) or active backscatter [HH, HV, VH, VV] (linear, per unit
// horizontal area) per ray. Three passes over the rays, 64 per work group (group y * groups_x +
// x), each ray's state kept between passes in its 160-byte work area:
//
//   pass 0  the first hit of the ray (through the repeating tile, which a ray from outside it
//           enters first);
//   pass 1  the path from that hit, one ray query per loop iteration (rays taken from a queue,
//           word 39 of ray 0's work area, so that lanes stay busy however long each path):
//             soil      emission (1 - r_p) T_eff and specular reflection r_p from the passive
//                       table at the local incidence cosine (linear between the table's
//                       cosines); active: the active table's sigma, and the path ends;
//             trunk     a dielectric wall: reflected with the response table's R_p, or with the
//                       matrix of its specular table when lut_info gives one (R_p the sums of
//                       its H and V rows), specularly or into directions drawn from its Mueller
//                       table when lut_info gives one; else transmitted into the wood, which
//                       absorbs kappa_a (trunk column 7) per metre and emits (1 - exp(-kappa_a
//                       L)) T along the chord L; active: the trunk-ground double bounce from the
//                       dihedral table, then on through the wood (with 1 - R_p);
//             vegetation the surface bounds a volume (entered through its front face, left
//                       through its back face) of scatterers whose phase matrix per unit volume
//                       is the Mueller table: free paths with extinction kappa_e = kappa_s +
//                       kappa_a, kappa_s the table's scattering coefficient (the cosine CDF's
//                       last value) and kappa_a the absorption coefficient (vegetation column
//                       1); at each interaction emission (kappa_a / kappa_e) T (column 0) and
//                       scattering into a direction drawn from the cosine and azimuth CDFs,
//                       weighted by M / (kappa_e q); active: single backscattering M(d -> -d)
//                       at the interaction, 4 pi mu0 M / kappa_e, and the path ends;
//             escaping  upwards, the sky of pass 2's atmosphere; downwards, nothing;
//           up to max_depth scatterings (passive; active paths scatter once);
//   pass 2  the atmosphere (optical depth tau at nadir, temperature T_air): a ray that starts
//           downwards crosses it first, t0 = exp(-tau / mu0), and receives t0 times the scene
//           plus (1 - t0) T_air (active: t0^2 times the backscatter); the sky seen by a path
//           leaving the scene upwards at cosine mu is (1 - t) T_air + t 2.725 K, t = exp(-tau /
//           mu) (computed in pass 1).
//
// The OptiX backend traces the same transport, step for step, from src/physics/microwave_path.h:
// a change here is a change there. Ray i of a call seeded `seed` draws from item_stream((i, 0),
// seeded_sequence(kMicrowaveSequence, seed)). Hit points are o + t d
// (the per-primitive records carry no corners), offset by a bound on that product's error.
//
//   binding 0      the scene TLAS
//   bindings 1, 2  ray origins and directions (xyz of four floats per ray)
//   binding 3      per primitive: unit normal, (optical) material id; then one record (at
//                  n_primitives, push word 44) with the scene's lowest and highest z in its
//                  normal's x and y
//   binding 4      global primitive index of each instance's first triangle
//   binding 5      material_map: optical material id -> microwave material (below 0: none;
//                  [0, S) soil, [S, S + V) vegetation, [S + V, S + V + T) trunk)
//   bindings 6-8   soil tables (S x R x 4 passive, S x R x 4 active, S x R x 2 smooth), row j
//                  at incidence cosine j / (R - 1)
//   binding 9      vegetation parameters, 8 per entry: temperature (K), absorption coefficient
//                  (m^-1)
//   binding 10     lut_info, 8 words per entry (V vegetation entries, then T trunk entries):
//                  first float of the Mueller table, of the cosine CDF, of the azimuth CDF;
//                  n_cti, n_cts, n_dphi (0: no table); trunks: first float of the specular
//                  table in the Mueller tables' buffer, n_cos (0: none; vegetation: both 0)
//   bindings 11-13 Mueller tables (16 floats, row-major 4 x 4, per cell of incidence cosine,
//                  scattering cosine and azimuth difference: even bins over [-1, 1], [-1, 1]
//                  and [0, 2 pi)), and the trunks' specular tables (n_cos row-major 4 x 4
//                  reflection matrices at cosines k / (n_cos - 1), linear between them),
//                  cosine CDFs (n_cti x n_cts: the scattering coefficient into the bins up to
//                  each), azimuth CDFs (n_cti x n_cts x n_dphi, any scale)
//   binding 14     trunk response table, T x R x 4: [(1 - R_H) T, (1 - R_V) T, R_H, R_V]
//   binding 15     trunk parameters, 8 per trunk: radius, length, moisture, temperature, axis
//                  x, y, z, absorption coefficient of the wood (m^-1)
//   binding 16     trunk-ground double bounce, T x 257 x 256 x 2: [sigma_HH, sigma_VV] towards a
//                  radar at cosine i / 256 and azimuth 2 pi j / 256
//   binding 17     dihedral ground table (S x R x 2, not read here)
//   binding 18     per-ray work area, 40 words
//   binding 19     output, four floats per ray
#version 460
#extension GL_EXT_ray_query : require
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_control_flow_attributes : require

layout(local_size_x = 64) in;

struct PrimitiveRecord {
  vec3 normal;
  uint zero12;
  int material_id;
  uint zero20[3];
};

layout(set = 0, binding = 0) uniform accelerationStructureEXT scene_tlas;
layout(std430, set = 0, binding = 1) readonly buffer Origins { vec4 origins[]; };
layout(std430, set = 0, binding = 2) readonly buffer Directions { vec4 directions[]; };
layout(std430, set = 0, binding = 3) readonly buffer Primitives { PrimitiveRecord prims[]; };
layout(std430, set = 0, binding = 4) readonly buffer Bases { uint instance_bases[]; };
layout(std430, set = 0, binding = 5) readonly buffer MaterialMap { int material_map[]; };
layout(std430, set = 0, binding = 6) readonly buffer PassiveSoil { float passive_soil[]; };
layout(std430, set = 0, binding = 7) readonly buffer ActiveSoil { float active_soil[]; };
layout(std430, set = 0, binding = 9) readonly buffer Vegetation { float vegetation[]; };
layout(std430, set = 0, binding = 10) readonly buffer LutInfo { uint lut_info[]; };
layout(std430, set = 0, binding = 11) readonly buffer Mueller { float mueller[]; };
layout(std430, set = 0, binding = 12) readonly buffer CosineCdf { float cosine_cdf[]; };
layout(std430, set = 0, binding = 13) readonly buffer AzimuthCdf { float azimuth_cdf[]; };
layout(std430, set = 0, binding = 14) readonly buffer TrunkResponse { float trunk_response[]; };
layout(std430, set = 0, binding = 15) readonly buffer Trunks { float trunks[]; };
layout(std430, set = 0, binding = 16) readonly buffer Dihedral { float dihedral[]; };
layout(std430, set = 0, binding = 18) buffer Work { uint work[]; };
layout(std430, set = 0, binding = 19) writeonly buffer Output { vec4 results[]; };

layout(push_constant) uniform MicrowaveParams {
  uint rays;
  uint pass_index;
  uint active_mode;
  uint max_depth;
  uint soil_count;
  uint vegetation_count;
  uint response_table_size;
  uint first_ray;  // of this dispatch in the call
  uint repetition_count;
  uint groups_x;
  uint trunk_count;
  uint n_primitives;  // record n_primitives of binding 3 holds the scene's z range
  float air_temperature;
  float atmosphere_tau;
  float scene_size_x;
  float scene_size_y;
  uvec2 seed;  // the run's seed
} pc;

#include "physics/pcg32.glsl"
#include "ray_queries.glsl"

const float kCosmicBackground = 2.725;  // K
const uvec2 kMicrowaveSequence = uvec2(0x65766177u, 0x006D6963u);
const uint kWorkWords = 40u;
const uint kDihedralCosines = 257u, kDihedralAzimuths = 256u;
const uint kDihedralPerTrunk = kDihedralCosines * kDihedralAzimuths * 2u;
const int kMaxSteps = 256;  // ray queries of one path, at most

// Work-area words of a ray.
const uint kWorkOrigin = 0u;     // 3 words, then the flags
const uint kWorkFlags = 3u;      // bit 0: the first query hit; bit 1: the ray is usable
const uint kWorkDirection = 4u;  // 3 words, then the hit distance
const uint kWorkPoint = 8u;      // hit point, then its error bound
const uint kWorkPrimitive = 12u;
const uint kWorkResult = 16u;  // 4 words: what pass 1 found
const uint kWorkRays = 20u;    // ray queries of passes 0 and 1
const uint kWorkQueue = 39u;   // of ray 0 only: pass 1's queue of rays

RepetitionTile g_tile;
float g_zlo, g_zhi;

// ---- small helpers ---------------------------------------------------------------------------

void put3(uint at, vec3 v) {
  work[at] = floatBitsToUint(v.x);
  work[at + 1u] = floatBitsToUint(v.y);
  work[at + 2u] = floatBitsToUint(v.z);
}
vec3 get3(uint at) {
  return vec3(uintBitsToFloat(work[at]), uintBitsToFloat(work[at + 1u]),
              uintBitsToFloat(work[at + 2u]));
}

// Error bound of the hit point o + t d: the product's rounding and the query's own error in t,
// which shows across the surface at most in proportion to the distances involved.
float hit_point_bound(vec3 o, vec3 d, float t, vec3 p) {
  return 2.0 * kHitPointRelativeError * (max_abs(o) + t * max_abs(d) + max_abs(p));
}

// Whether a ray that met nothing goes on in the next tile (moving `o` there).
bool wrap_on(inout vec3 o, vec3 d, inout int wraps) {
  if (!tile_active(g_tile) || wraps >= g_tile.count || leaves_slab(o, d, g_zlo, g_zhi))
    return false;
  if (!(wrap_across_tile(g_tile, o, d) > 0.0)) return false;
  ++wraps;
  return true;
}

// A table row of `columns` values at incidence cosine mu, linear between the R cosines j / (R -
// 1) of entry `entry`.
vec4 cosine_row(uint table, uint entry, uint columns, float mu) {
  const uint r = pc.response_table_size;
  const float x = clamp(mu, 0.0, 1.0) * float(r - 1u);
  const uint j = min(uint(x), r - 2u);
  const float f = x - float(j);
  const uint at = (entry * r + j) * columns;
  vec4 a = vec4(0.0), b = vec4(0.0);
  for (uint c = 0u; c < columns; ++c) {
    float v0, v1;
    if (table == 0u) {
      v0 = passive_soil[at + c];
      v1 = passive_soil[at + columns + c];
    } else if (table == 1u) {
      v0 = active_soil[at + c];
      v1 = active_soil[at + columns + c];
    } else {
      v0 = trunk_response[at + c];
      v1 = trunk_response[at + columns + c];
    }
    a[c] = v0;
    b[c] = v1;
  }
  return mix(a, b, f);
}
const uint kPassiveSoil = 0u, kActiveSoil = 1u, kTrunkResponse = 2u;

// Sky brightness (K) seen upwards at cosine mu through the atmosphere.
float sky_brightness(float mu) {
  const float t = exp(-pc.atmosphere_tau / max(mu, 1e-6));
  return (1.0 - t) * pc.air_temperature + t * kCosmicBackground;
}

// Reflection of a Stokes vector by a surface of power reflectivities rh, rv (phases unknown:
// the cross terms take their geometric mean).
mat4 power_reflection(float rh, float rv) {
  const float c = sqrt(max(rh * rv, 0.0));
  return mat4(vec4(rh, 0.0, 0.0, 0.0), vec4(0.0, rv, 0.0, 0.0), vec4(0.0, 0.0, c, 0.0),
              vec4(0.0, 0.0, 0.0, c));
}

// ---- Mueller tables --------------------------------------------------------------------------

struct Lut {
  uint mueller;
  uint cosine;
  uint azimuth;
  uint n_i, n_s, n_phi;
};

Lut lut(uint entry) {
  Lut l;
  const uint at = 8u * entry;
  l.mueller = lut_info[at];
  l.cosine = lut_info[at + 1u];
  l.azimuth = lut_info[at + 2u];
  l.n_i = lut_info[at + 3u];
  l.n_s = lut_info[at + 4u];
  l.n_phi = lut_info[at + 5u];
  return l;
}

// The bin of v among n even bins over [lo, hi].
uint bin_of(float v, float lo, float hi, uint n) {
  const float x = (v - lo) / (hi - lo) * float(n);
  return uint(clamp(floor(x), 0.0, float(n - 1u)));
}

// Scattering coefficient (m^-1) for a wave along cosine mu: the cosine CDF's last value in its
// incidence bin (0 without a table).
float scattering_coefficient(Lut l, float mu) {
  if (l.n_i == 0u) return 0.0;
  return cosine_cdf[l.cosine + bin_of(mu, -1.0, 1.0, l.n_i) * l.n_s + l.n_s - 1u];
}

// The phase matrix of cell (a, j, k): the table's row-major 4 x 4 as a GLSL matrix.
mat4 phase_matrix(Lut l, uint a, uint j, uint k) {
  const uint at = l.mueller + ((a * l.n_s + j) * l.n_phi + k) * 16u;
  mat4 m;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m[c][r] = mueller[at + uint(4 * r + c)];
  return m;
}

// First i in [0, n) of a non-decreasing row whose value exceeds u (n - 1 when none does).
uint search(uint base, uint n, float u, bool cosine) {
  uint lo = 0u, hi = n - 1u;
  while (lo < hi) {
    const uint mid = (lo + hi) / 2u;
    const float v = cosine ? cosine_cdf[base + mid] : azimuth_cdf[base + mid];
    if (v > u)
      hi = mid;
    else
      lo = mid + 1u;
  }
  return lo;
}

// Draws the direction a wave travelling along d scatters into: the scattering-cosine bin from
// the cosine CDF of d's incidence bin, the azimuth-difference bin from that cell row's azimuth
// CDF, each uniform within its bin. Returns the cell's phase matrix over the density of the draw
// (per steradian), M / q; false when the table scatters nothing at this incidence.
bool sample_phase(Lut l, vec3 d, inout Pcg32 rng, out vec3 scattered, out mat4 weight) {
  scattered = d;
  weight = mat4(0.0);
  const uint a = bin_of(d.z, -1.0, 1.0, l.n_i);
  const uint row = l.cosine + a * l.n_s;
  const float kappa = cosine_cdf[row + l.n_s - 1u];
  if (!(kappa > 0.0)) return false;
  const uint j = search(row, l.n_s, next_float(rng) * kappa, true);
  const float mass = cosine_cdf[row + j] - (j > 0u ? cosine_cdf[row + j - 1u] : 0.0);
  const float width_mu = 2.0 / float(l.n_s);
  const float mu = clamp(-1.0 + (float(j) + next_float(rng)) * width_mu, -1.0, 1.0);
  const uint arow = l.azimuth + (a * l.n_s + j) * l.n_phi;
  const float total = azimuth_cdf[arow + l.n_phi - 1u];
  if (!(mass > 0.0 && total > 0.0)) return false;
  const uint k = search(arow, l.n_phi, next_float(rng) * total, false);
  const float share = azimuth_cdf[arow + k] - (k > 0u ? azimuth_cdf[arow + k - 1u] : 0.0);
  const float width_phi = kTwoPi / float(l.n_phi);
  const float dphi = (float(k) + next_float(rng)) * width_phi;
  const float q = mass / (kappa * width_mu) * share / (total * width_phi);
  const float phi = (abs(d.x) + abs(d.y) > 0.0 ? atan(d.y, d.x) : 0.0) + dphi;
  const float s = sqrt(max(0.0, 1.0 - mu * mu));
  scattered = vec3(s * cos(phi), s * sin(phi), mu);
  weight = phase_matrix(l, a, j, k) * (1.0 / q);
  return true;
}

// The phase matrix for scattering straight back against d.
mat4 backscatter_phase(Lut l, vec3 d) {
  return phase_matrix(l, bin_of(d.z, -1.0, 1.0, l.n_i), bin_of(-d.z, -1.0, 1.0, l.n_s),
                      bin_of(kPi, 0.0, kTwoPi, l.n_phi));
}

// The specular reflection matrix of trunk `trunk` at cosine mu, linear between its entries at
// cosines k / (n_cos - 1) (one entry: the same at every cosine); false when it has no specular
// table.
bool specular(uint trunk, float mu, out mat4 m) {
  m = mat4(0.0);
  const uint at = 8u * (pc.vegetation_count + trunk);
  const uint first = lut_info[at + 6u];
  const int n_cos = int(lut_info[at + 7u]);
  if (n_cos < 1) return false;
  const float x = clamp(mu, 0.0, 1.0) * float(n_cos - 1);
  const int j = min(int(x), max(n_cos - 2, 0));
  const float f = n_cos > 1 ? x - float(j) : 0.0;
  const int j1 = min(j + 1, n_cos - 1);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      const float a = mueller[first + uint(16 * j + 4 * r + c)];
      const float b = mueller[first + uint(16 * j1 + 4 * r + c)];
      m[c][r] = a + f * (b - a);
    }
  return true;
}

// Trunk-ground double bounce [sigma_HH, sigma_VV] towards a radar in direction r (unit, from
// the scene), bilinear in the radar's cosine and (periodic) azimuth.
vec2 dihedral_backscatter(uint trunk, vec3 r) {
  const float x = clamp(r.z, 0.0, 1.0) * float(kDihedralCosines - 1u);
  const uint i = min(uint(x), kDihedralCosines - 2u);
  const float fi = x - float(i);
  float phi = abs(r.x) + abs(r.y) > 0.0 ? atan(r.y, r.x) : 0.0;
  if (phi < 0.0) phi += kTwoPi;
  const float y = phi / kTwoPi * float(kDihedralAzimuths);
  const uint j = min(uint(y), kDihedralAzimuths - 1u);
  const float fj = y - float(j);
  const uint j1 = (j + 1u) % kDihedralAzimuths;
  const uint base = trunk * kDihedralPerTrunk;
  vec2 v[4];
  const uint ii[2] = uint[2](i, i + 1u), jj[2] = uint[2](j, j1);
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b) {
      const uint at = base + (ii[a] * kDihedralAzimuths + jj[b]) * 2u;
      v[2 * a + b] = vec2(dihedral[at], dihedral[at + 1u]);
    }
  return mix(mix(v[0], v[1], fj), mix(v[2], v[3], fj), fi);
}

// ---- the three passes ------------------------------------------------------------------------

void first_hit(uint i) {
  const uint w = i * kWorkWords;
  vec3 o = origins[i].xyz;
  vec3 d = unit_direction(directions[i].xyz);
  uint flags = dot(d, d) > 0.5 && traceable(o, d) ? 2u : 0u;
  if (flags != 0u && tile_active(g_tile)) enter_tile(g_tile, g_zhi, o, d);
  const vec3 start = o;
  uint rays = 0u;
  int wraps = 0;
  RayQueryResult r;
  r.hit = false;
  while (flags != 0u) {
    ++rays;
    r = trace_ray(o, d, kRayFar, false);
    if (r.hit || !wrap_on(o, d, wraps)) break;
  }
  if (r.hit) {
    flags |= 1u;
    const vec3 p = o + r.t * d;
    put3(w + kWorkPoint, p);
    work[w + kWorkPoint + 3u] = floatBitsToUint(hit_point_bound(o, d, r.t, p));
    work[w + kWorkPrimitive] = instance_bases[r.instance_id] + uint(r.primitive_id);
  }
  put3(w + kWorkOrigin, r.hit ? o : start);
  work[w + kWorkFlags] = flags;
  put3(w + kWorkDirection, d);
  work[w + kWorkDirection + 3u] = floatBitsToUint(r.t);
  work[w + kWorkRays] = rays;
  if (i == 0u) work[kWorkQueue] = 0u;
}

// Microwave material of a primitive: kind 0 none, 1 soil, 2 vegetation, 3 trunk, and its index
// among its kind.
const int kNone = 0, kSoil = 1, kVegetation = 2, kTrunk = 3;
int material_kind(uint prim, out uint index) {
  const int m = material_map[prims[prim].material_id];
  index = 0u;
  if (m < 0) return kNone;
  uint u = uint(m);
  if (u < pc.soil_count) {
    index = u;
    return kSoil;
  }
  u -= pc.soil_count;
  if (u < pc.vegetation_count) {
    index = u;
    return kVegetation;
  }
  u -= pc.vegetation_count;
  if (u < pc.trunk_count) {
    index = u;
    return kTrunk;
  }
  return kNone;
}

// Extinction coefficient of vegetation entry v for a wave along d: the table's scattering
// coefficient plus the absorption coefficient (0: transparent).
float extinction(uint v, vec3 d) {
  return scattering_coefficient(lut(v), d.z) + vegetation[8u * v + 1u];
}

void trace_path(uint i) {
  const uint w = i * kWorkWords;
  const bool radar = pc.active_mode != 0u;
  vec4 found = vec4(0.0);
  uint rays = work[w + kWorkRays];
  const uint flags = work[w + kWorkFlags];
  if ((flags & 2u) == 0u) {
    for (int k = 0; k < 4; ++k) work[w + kWorkResult + uint(k)] = 0u;
    return;
  }
  Pcg32 rng =
      item_stream(uvec2(pc.first_ray + i, 0u), seeded_sequence(kMicrowaveSequence, pc.seed));
  vec3 o = get3(w + kWorkOrigin);
  vec3 d = get3(w + kWorkDirection);
  const float mu0 = abs(d.z);
  // The query whose answer is at hand: pass 0's first hit.
  RayQueryResult r;
  r.hit = (flags & 1u) != 0u;
  r.t = uintBitsToFloat(work[w + kWorkDirection + 3u]);
  vec3 p = get3(w + kWorkPoint);
  float p_error = uintBitsToFloat(work[w + kWorkPoint + 3u]);
  uint prim = work[w + kWorkPrimitive];
  bool answered = true;

  mat4 W = mat4(1.0);     // passive: Stokes vector at the sensor per Stokes vector here
  vec2 one_way = vec2(1.0);  // active: power transmittance of the way so far, H and V
  float back = 1.0;          // active: transmittance of vegetation on the way back
  int medium = -1;           // vegetation volume the path is in
  int wood = -1;             // trunk the path is in
  float free_path = kLargestFloat;
  uint depth = 0u;
  int wraps = 0;
  for (int step = 0; step < kMaxSteps; ++step) {
    if (!answered) {
      // The one ray query of this iteration; in a volume, as far as the next interaction.
      free_path = kLargestFloat;
      if (medium >= 0 && wood < 0) {
        const float kappa = extinction(uint(medium), d);
        if (kappa > 0.0) free_path = -log(1.0 - min(next_float(rng), 0.99999994)) / kappa;
      }
      ++rays;
      r = trace_ray(o, d, min(free_path, kRayFar), false);
      if (r.hit) {
        p = o + r.t * d;
        p_error = hit_point_bound(o, d, r.t, p);
        prim = instance_bases[r.instance_id] + uint(r.primitive_id);
      }
    }
    answered = false;
    const float travelled = r.hit ? r.t : free_path;
    if (wood >= 0) {
      // Through the wood to whatever ends the chord (an open trunk's end: its diameter).
      const uint k = uint(wood);
      const float chord = r.hit ? r.t : 2.0 * trunks[8u * k];
      const float kept = exp(-trunks[8u * k + 7u] * chord);
      if (radar) {
        one_way *= kept;
      } else {
        found += W * vec4(vec2((1.0 - kept) * trunks[8u * k + 3u]), 0.0, 0.0);
        W *= kept;
      }
      wood = -1;
    }
    if (!r.hit && free_path == kLargestFloat) {
      if (wrap_on(o, d, wraps)) continue;
      if (!radar && d.z > 0.0) found += W * vec4(vec2(sky_brightness(d.z)), 0.0, 0.0);
      break;
    }
    wraps = 0;
    if (radar && medium >= 0) {
      const float kappa = extinction(uint(medium), d);
      back *= exp(-kappa * travelled);
    }

    if (!r.hit) {
      // An interaction inside vegetation volume `medium`.
      const uint v = uint(medium);
      const Lut l = lut(v);
      const float kappa = extinction(v, d);
      o = o + free_path * d;
      if (radar) {
        if (l.n_i == 0u) break;  // absorbs only
        const mat4 m = backscatter_phase(l, d);
        const vec4 s = vec4(m[0][0], m[1][0], m[0][1], m[1][1]);  // HH, HV, VH, VV
        const vec4 ways = vec4(one_way.x * one_way.x, one_way.x * one_way.y,
                               one_way.y * one_way.x, one_way.y * one_way.y);
        found += 4.0 * kPi * mu0 * s / kappa * ways * back;
        break;
      }
      // Absorption emits; scattering goes on with the phase matrix over the extinction.
      found += W * vec4(vec2(vegetation[8u * v + 1u] / kappa * vegetation[8u * v]), 0.0, 0.0);
      if (depth >= pc.max_depth || l.n_i == 0u) break;
      vec3 scattered;
      mat4 weight;
      if (!sample_phase(l, d, rng, scattered, weight)) break;
      W = W * (weight * (1.0 / kappa));
      d = scattered;
      ++depth;
      continue;
    }

    // A surface: its record normal, the side the path meets, and the incidence cosine there.
    const vec3 n = prims[prim].normal;
    const bool from_back = dot(d, n) > 0.0;
    const vec3 facing = from_back ? -n : n;
    const float mu = abs(dot(d, n));
    uint index;
    const int kind = material_kind(prim, index);
    if (kind == kSoil) {
      if (radar) {
        const vec4 sigma = cosine_row(kActiveSoil, index, 4u, mu);
        found += sigma * vec4(one_way.x * one_way.x, one_way.x * one_way.y,
                              one_way.y * one_way.x, one_way.y * one_way.y) * back;
        break;
      }
      const vec4 row = cosine_row(kPassiveSoil, index, 4u, mu);
      found += W * vec4(row.x, row.y, 0.0, 0.0);
      if (depth >= pc.max_depth) break;
      W = W * power_reflection(row.z, row.w);
      d = reflect(d, facing);
      o = offset_ray_origin(p, facing, d, p_error);
      ++depth;
      continue;
    }
    if (kind == kVegetation) {
      if (!from_back)
        medium = int(index);
      else if (medium == int(index))
        medium = -1;
    } else if (kind == kTrunk && !from_back) {
      const vec4 row = cosine_row(kTrunkResponse, index, 4u, mu);
      // The wall's reflectivities as the H and V channels see them: what reaches each from
      // the mirror direction per kelvin there, the sums of the reflection matrix's H and V rows
      // (the response table's R_p without a specular table). The wall lets the rest through, so
      // that reflection, transmission and the wood's emission add up to 1 (Kirchhoff).
      mat4 reflection;
      const bool tabled = specular(index, mu, reflection);
      const vec2 rows = vec2(reflection[0][0] + reflection[1][0],
                             reflection[0][1] + reflection[1][1]);
      const vec2 rr = clamp(tabled ? rows : row.zw, 0.0, 1.0);
      if (!tabled) reflection = power_reflection(rr.x, rr.y);
      if (radar) {
        const vec2 sigma = dihedral_backscatter(index, -d);
        found += vec4(sigma.x * one_way.x * one_way.x, 0.0, 0.0, sigma.y * one_way.y * one_way.y) *
                 back;
        one_way *= 1.0 - rr;
        wood = int(index);
      } else {
        // Reflected or transmitted with the mean reflectivity's odds (a draw only when both
        // can happen).
        const float reflect_p = 0.5 * (rr.x + rr.y);
        if (reflect_p > 0.0 && (reflect_p >= 1.0 || next_float(rng) < reflect_p)) {
          if (depth >= pc.max_depth) break;
          W = W * (reflection * (1.0 / reflect_p));
          const Lut l = lut(pc.vegetation_count + index);
          vec3 scattered = reflect(d, facing);
          if (l.n_i > 0u) {
            mat4 weight;
            if (!sample_phase(l, d, rng, scattered, weight)) break;
            W = W * (weight * (1.0 / scattering_coefficient(l, d.z)));
          }
          d = scattered;
          o = offset_ray_origin(p, facing, d, p_error);
          ++depth;
          continue;
        }
        W = W * (power_reflection(1.0 - rr.x, 1.0 - rr.y) * (1.0 / (1.0 - reflect_p)));
        wood = int(index);
      }
    }
    // On through the surface.
    o = offset_ray_origin(p, facing, d, p_error);
  }
  for (int k = 0; k < 4; ++k) work[w + kWorkResult + uint(k)] = floatBitsToUint(found[k]);
  work[w + kWorkRays] = rays;
}

void through_atmosphere(uint i) {
  const uint w = i * kWorkWords;
  vec4 found = vec4(0.0);
  for (int k = 0; k < 4; ++k) found[k] = uintBitsToFloat(work[w + kWorkResult + uint(k)]);
  if ((work[w + kWorkFlags] & 2u) != 0u) {
    const vec3 d = get3(w + kWorkDirection);
    if (d.z < 0.0) {
      const float t0 = exp(-pc.atmosphere_tau / -d.z);
      if (pc.active_mode != 0u)
        found *= t0 * t0;
      else
        found = t0 * found + vec4(vec2((1.0 - t0) * pc.air_temperature), 0.0, 0.0);
    }
  }
  results[i] = found;
}

void main() {
  const uint i = (gl_WorkGroupID.y * pc.groups_x + gl_WorkGroupID.x) * 64u + gl_LocalInvocationID.x;
  if (i >= pc.rays) return;
  g_tile.count = int(pc.repetition_count);
  g_tile.x_size = pc.scene_size_x;
  g_tile.y_size = pc.scene_size_y;
  g_zlo = prims[pc.n_primitives].normal.x;
  g_zhi = prims[pc.n_primitives].normal.y;
  if (pc.pass_index == 0u) {
    first_hit(i);
  } else if (pc.pass_index == 1u) {
    // Paths differ in length: each invocation takes rays from a queue until none is left, so a
    // lane whose path ended starts the next at once instead of idling beside longer ones.
    for (uint next = atomicAdd(work[kWorkQueue], 1u); next < pc.rays;
         next = atomicAdd(work[kWorkQueue], 1u))
      trace_path(next);
  } else {
    through_atmosphere(i);
  }
}
