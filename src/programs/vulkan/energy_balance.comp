// Energy balance: the radiant flux density (W m^-2) that each face of every primitive absorbs, the
// device side of run_energy_balance_gpu and run_energy_balance_multiband_gpu.
//
// A dispatch covers a range of primitives and a range of each face's samples, one work group per
// primitive (first_primitive + group y * groups_x + x); the host splits a call into dispatches of
// bounded work and adds up what each leaves. A group's 64 invocations share the samples of the
// primitive's faces (front: the side its normal points to; back, when two-sided): sample s of
// face f draws from item_stream((primitive, s), seeded_sequence((sequence, f), seed)), a uniform
// point on the triangle and a cosine-weighted direction about the face's normal, so the
// irradiance on the face is pi times the mean radiance the directions bring in. Each sample
// traces, one ray query per loop iteration (see trace_ray):
//
//   short wave (band_type 0)
//     - towards the sun, when the face turns to it and some band has sun: the sample point is
//       sunlit when the ray escapes (walking through the repeating tile), and brings E cos;
//     - the cosine-weighted ray: escaping upwards it brings the sky, pi L; escaping downwards,
//       nothing; hitting primitive h it brings h's first-order reflection, albedo_h times h's own
//       sunlit-and-sky irradiance at the hit point, which two more rays estimate there (towards
//       the sun, and one cosine-weighted ray about the face of h that was hit, for the sky),
//       traced with the probability of h's largest albedo and weighted by its inverse;
//     absorbed = (1 - albedo) * incident;
//   long wave (band_type 1)
//     - the cosine-weighted ray brings pi L_sky escaping upwards, eps_h sigma T_h^4 on hitting
//       primitive h; absorbed = eps * incident (Kirchhoff).
//
// Hit points are rebuilt from the barycentric coordinates on the hit primitive's world-space
// corners, which the host rounds once from double, and new rays leave them offset by a bound on
// that point's error (offset_ray_origin): no minimum hit distance is needed.
//
//   binding 0   the scene TLAS
//   binding 1   per primitive: corners p0, p1, p2 and unit normal, vec4 each
//   binding 2   global primitive index of each instance's first triangle
//   binding 3   temperatures (K), binding 4 long-wave emissivities, one per primitive
//   binding 5   short-wave albedos, band-major (band b of primitive p at b P + p)
//   binding 6   sun irradiance per band (W m^-2 on a surface facing the sun)
//   binding 7   sky radiance per band (W m^-2 sr^-1)
//   binding 8   absorbed by the front faces, binding 9 by the back faces, band-major: what the
//               dispatch's samples make of the call's mean (their sum over n_samples)
//
// Sums are compensated (Kahan): an invocation may add up hundreds of thousands of samples, and a
// plain float sum stops taking in additions far smaller than itself (with 2^26 samples of one
// value the mean drifted by 1.5%).
#version 460
#extension GL_EXT_ray_query : require
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_control_flow_attributes : require

#define MAX_BANDS 32
#define GROUP_SIZE 64

layout(local_size_x = GROUP_SIZE) in;

struct Geometry {
  vec4 p0;
  vec4 p1;
  vec4 p2;
  vec4 normal;
};

layout(set = 0, binding = 0) uniform accelerationStructureEXT scene_tlas;
layout(std430, set = 0, binding = 1) readonly buffer GeometryTable { Geometry geometry[]; };
layout(std430, set = 0, binding = 2) readonly buffer Bases { uint instance_bases[]; };
layout(std430, set = 0, binding = 3) readonly buffer Temperatures { float temperatures[]; };
layout(std430, set = 0, binding = 4) readonly buffer Emissivities { float emissivities[]; };
layout(std430, set = 0, binding = 5) readonly buffer Albedos { float albedos[]; };
// The sun values are this shader's spectral table, `params[]` as bsdf.glsl (whose cosine sampling
// it uses) names it.
layout(std430, set = 0, binding = 6) readonly buffer Sun { float params[]; };
layout(std430, set = 0, binding = 7) readonly buffer Sky { float sky[]; };
layout(std430, set = 0, binding = 8) writeonly buffer Top { float top[]; };
layout(std430, set = 0, binding = 9) writeonly buffer Bottom { float bottom[]; };

layout(push_constant) uniform EnergyBalanceParams {
  uint n_primitives;
  uint n_samples;
  uint bands;
  uint band_type;
  uint two_sided;
  uint repetition_count;
  uint sequence;  // the low word of the streams' sequence
  uint groups_x;
  vec3 sun_direction;  // unit vector towards the sun
  float scene_size_x;
  float scene_size_y;
  float has_sun;      // 1 when some band has sun
  float scene_min_z;  // the scene's vertical extent: walks through the tile end outside it
  float scene_max_z;
  uint first_primitive;
  uint primitives;    // in this dispatch
  uint first_sample;  // the dispatch's samples of each face: first_sample .. + samples - 1
  uint samples;
  uvec2 seed;  // the run's seed
} pc;

#include "physics/bsdf.glsl"
#include "physics/pcg32.glsl"
#include "ray_queries.glsl"

const float kStefanBoltzmann = 5.670374419e-8;  // W m^-2 K^-4

float sun(int b) { return params[b]; }

// Per (face, band) sums of the group's invocations, reduced once at the end.
shared float partial[2 * MAX_BANDS * GROUP_SIZE];

// Where a sample stands between two ray queries.
const int kStageNew = 0;       // the next sample starts
const int kStageOwnSun = 1;    // occlusion test from the sample point towards the sun
const int kStageIncoming = 2;  // the cosine-weighted ray: closest hit
const int kStageHitSun = 3;    // occlusion test from the hit point towards the sun
const int kStageHitSky = 4;    // the hit point's sky ray: occlusion test
const int kStageDone = 5;      // add the sample's light

RepetitionTile g_tile;
vec3 g_sun;
bool g_short_wave;
bool g_has_sky;

vec3 corner(vec4 c) { return c.xyz; }

// Adds x to the compensated sum (sum, lost): `lost` keeps what the last additions rounded away,
// with its sign reversed, and goes into the next one. `precise` keeps the compiler from
// simplifying (t - sum) - y to zero.
void add_compensated(inout float sum, inout float lost, float x) {
  precise float y = x - lost;
  precise float t = sum + y;
  precise float rounded = (t - sum) - y;
  lost = rounded;
  sum = t;
}

// Error bound of a point with barycentric weights b on a triangle whose corners are rounded
// from exact values (hit_point_error with an identity placement).
float point_error(Geometry g, float b0, float b1, float b2) {
  const float weighted = abs(b0) * max_abs(g.p0.xyz) + abs(b1) * max_abs(g.p1.xyz) +
                         abs(b2) * max_abs(g.p2.xyz);
  return hit_point_error(weighted, 1.0, 0.0);
}

// A cosine-weighted direction about the unit normal n.
vec3 cosine_direction(vec3 n, inout Pcg32 rng) {
  const float u0 = next_float(rng);
  const float u1 = next_float(rng);
  return normalize(to_world(build_frame(n), sample_cosine(u0, u1)));
}

// Whether a ray that met nothing goes on in the next tile (moving `o` there).
bool wrap_on(inout vec3 o, vec3 d, inout int wraps) {
  if (!tile_active(g_tile) || wraps >= g_tile.count ||
      leaves_slab(o, d, pc.scene_min_z, pc.scene_max_z))
    return false;
  if (!(wrap_across_tile(g_tile, o, d) > 0.0)) return false;
  ++wraps;
  return true;
}

void main() {
  const uint group = gl_WorkGroupID.y * pc.groups_x + gl_WorkGroupID.x;
  if (group >= pc.primitives) return;  // the whole group
  const uint prim = pc.first_primitive + group;
  const uint lane = gl_LocalInvocationID.x;
  const int nb = int(pc.bands);
  const uint faces = pc.two_sided != 0u ? 2u : 1u;
  const uint items = faces * pc.samples;
  g_tile.count = int(pc.repetition_count);
  g_tile.x_size = pc.scene_size_x;
  g_tile.y_size = pc.scene_size_y;
  g_sun = pc.sun_direction;
  g_short_wave = pc.band_type == 0u;
  g_has_sky = false;
  for (int b = 0; b < nb; ++b) g_has_sky = g_has_sky || sky[b] > 0.0;

  const Geometry own = geometry[prim];
  float sums[2][MAX_BANDS], lost[2][MAX_BANDS];
  for (int f = 0; f < 2; ++f)
    for (int b = 0; b < MAX_BANDS; ++b) {
      sums[f][b] = 0.0;
      lost[f][b] = 0.0;
    }

  // The sample in flight.
  uint item = lane;
  int stage = kStageNew;
  uint face = 0u;
  Pcg32 rng;
  vec3 x = vec3(0.0), n_face = vec3(0.0, 0.0, 1.0);  // sample point (offset later) and normal
  float x_error = 0.0;
  vec3 o = vec3(0.0), d = vec3(0.0, 0.0, 1.0);  // the ray of the current stage
  float remaining = 0.0;                        // of an occlusion walk
  int wraps = 0;
  vec3 incoming = vec3(0.0, 0.0, 1.0);
  float own_cos = 0.0;      // cos between the face's normal and the sun, when lit
  bool up = false;          // the cosine-weighted ray escaped upwards
  int hit_prim = -1;        // primitive it hit
  vec3 hit_point = vec3(0.0), hit_normal = vec3(0.0, 0.0, 1.0);
  float hit_error = 0.0, hit_cos = 0.0;  // hit_cos: sun on the face hit, when lit
  float hit_weight = 0.0;                // 1 / the probability its light was traced with
  bool hit_sky = false;

  for (;;) {
    if (stage == kStageNew) {
      if (item >= items) break;
      face = item % faces;
      const uint s = pc.first_sample + item / faces;
      rng = item_stream(uvec2(prim, s), seeded_sequence(uvec2(pc.sequence, face), pc.seed));
      // A uniform point on the triangle.
      const float su = sqrt(next_float(rng));
      const float b1 = next_float(rng) * su, b0 = 1.0 - su, b2 = su - b1;
      vec3 v[3] = vec3[3](own.p0.xyz, own.p1.xyz, own.p2.xyz);
      x_error = point_error(own, b0, b1, b2);
      x = point_on_triangle(v, b0, b1, b2, 2.0 * x_error);
      n_face = face == 0u ? own.normal.xyz : -own.normal.xyz;
      incoming = cosine_direction(n_face, rng);
      own_cos = 0.0;
      up = false;
      hit_prim = -1;
      hit_cos = 0.0;
      hit_sky = false;
      wraps = 0;
      const float c = dot(n_face, g_sun);
      if (g_short_wave && pc.has_sun > 0.0 && c > 0.0) {
        own_cos = c;
        o = offset_ray_origin(x, n_face, g_sun, x_error);
        d = g_sun;
        remaining = kRayFar;
        stage = kStageOwnSun;
      } else {
        o = offset_ray_origin(x, n_face, incoming, x_error);
        d = incoming;
        stage = kStageIncoming;
      }
    }

    if (stage != kStageDone) {
      // The one ray query of this iteration.
      const bool occlusion = stage != kStageIncoming;
      RayQueryResult r;
      r.hit = false;
      if (traceable(o, d)) r = trace_ray(o, d, occlusion ? remaining : kRayFar, occlusion);

      if (stage == kStageIncoming) {
        if (!r.hit) {
          if (!wrap_on(o, d, wraps)) {
            up = d.z > 0.0;
            stage = kStageDone;
          }
        } else {
          hit_prim = int(instance_bases[r.instance_id]) + r.primitive_id;
          if (!g_short_wave) {
            stage = kStageDone;
          } else {
            // The hit's own irradiance is estimated with probability of its largest albedo
            // and weighted by the inverse (Russian roulette): dark surfaces cost few rays.
            float largest = 0.0;
            for (int b = 0; b < nb; ++b)
              largest = max(largest, albedos[uint(b) * pc.n_primitives + uint(hit_prim)]);
            hit_weight = largest > 0.0 ? 1.0 / largest : 0.0;
            if (!(next_float(rng) < largest)) {
              hit_prim = -1;  // brings nothing
              stage = kStageDone;
            } else {
              const Geometry g = geometry[hit_prim];
              const float u = r.barycentrics.x, v = r.barycentrics.y, w = 1.0 - u - v;
              vec3 c3[3] = vec3[3](g.p0.xyz, g.p1.xyz, g.p2.xyz);
              hit_error = point_error(g, w, u, v);
              hit_point = point_on_triangle(c3, w, u, v, 2.0 * hit_error);
              hit_normal = dot(g.normal.xyz, d) > 0.0 ? -g.normal.xyz : g.normal.xyz;
              wraps = 0;
              const float c = dot(hit_normal, g_sun);
              if (pc.has_sun > 0.0 && c > 0.0) {
                hit_cos = c;
                o = offset_ray_origin(hit_point, hit_normal, g_sun, hit_error);
                d = g_sun;
                remaining = kRayFar;
                stage = kStageHitSun;
              } else if (g_has_sky) {
                d = cosine_direction(hit_normal, rng);
                o = offset_ray_origin(hit_point, hit_normal, d, hit_error);
                remaining = kRayFar;
                stage = kStageHitSky;
              } else {
                stage = kStageDone;
              }
            }
          }
        }
      } else {
        // An occlusion walk: blocked, or on through the tile, or free.
        const bool blocked = r.hit;
        const bool walking =
            !blocked && next_shadow_segment(o, d, remaining, wraps, g_tile, pc.scene_min_z,
                                            pc.scene_max_z);
        if (!walking) {
          wraps = 0;
          if (stage == kStageOwnSun) {
            if (blocked) own_cos = 0.0;
            o = offset_ray_origin(x, n_face, incoming, x_error);
            d = incoming;
            stage = kStageIncoming;
          } else if (stage == kStageHitSun) {
            if (blocked) hit_cos = 0.0;
            if (g_has_sky) {
              d = cosine_direction(hit_normal, rng);
              o = offset_ray_origin(hit_point, hit_normal, d, hit_error);
              remaining = kRayFar;
              stage = kStageHitSky;
            } else {
              stage = kStageDone;
            }
          } else {  // kStageHitSky
            hit_sky = !blocked && d.z > 0.0;
            stage = kStageDone;
          }
        }
      }
    }

    if (stage == kStageDone) {
      // The sample's incident irradiance in every band: pi times the radiance it brought.
      if (g_short_wave) {
        [[dont_unroll]] for (int b = 0; b < nb; ++b) {
          float e = sun(b) * own_cos + (up ? kPi * sky[b] : 0.0);
          if (hit_prim >= 0)
            e += albedos[uint(b) * pc.n_primitives + uint(hit_prim)] * hit_weight *
                 (sun(b) * hit_cos + (hit_sky ? kPi * sky[b] : 0.0));
          add_compensated(sums[face][b], lost[face][b], e);
        }
      } else {
        float emitted = 0.0;
        if (hit_prim >= 0) {
          const float t = temperatures[hit_prim];
          emitted = emissivities[hit_prim] * kStefanBoltzmann * (t * t) * (t * t);
        }
        [[dont_unroll]] for (int b = 0; b < nb; ++b)
          add_compensated(sums[face][b], lost[face][b], up ? kPi * sky[b] : emitted);
      }
      item = items - item > GROUP_SIZE ? item + GROUP_SIZE : items;  // never wraps
      stage = kStageNew;
    }
  }

  // Sums of the group, one (face, band) row per invocation.
  const uint rows = faces * uint(nb);
  for (uint f = 0u; f < faces; ++f)
    [[dont_unroll]] for (int b = 0; b < nb; ++b)
      partial[(f * uint(nb) + uint(b)) * GROUP_SIZE + lane] = sums[f][b] - lost[f][b];
  barrier();
  const float inv_samples = 1.0 / float(pc.n_samples);
  for (uint row = lane; row < rows; row += GROUP_SIZE) {
    float incident = 0.0, incident_lost = 0.0;
    for (uint k = 0u; k < GROUP_SIZE; ++k)
      add_compensated(incident, incident_lost, partial[row * GROUP_SIZE + k]);
    incident = (incident - incident_lost) * inv_samples;
    const uint f = row / uint(nb), b = row % uint(nb);
    const uint at = b * pc.n_primitives + prim;
    const float absorbed =
        g_short_wave ? (1.0 - albedos[at]) * incident : emissivities[prim] * incident;
    if (f == 0u)
      top[at] = absorbed;
    else
      bottom[at] = absorbed;
  }
}
