// Backward path tracing into the sensor image: the device side of simulate_backward, mirroring
// the CPU backend's backward simulation (src/cpu/backward.cpp) path for path. Built once per
// band capacity (BAND_CAPACITY = 4, 8, ..., 128, with its work-group shape GROUP_X x GROUP_Y)
// into backward_optical_<capacity>.spv.
//
// One invocation per pixel of the dispatch's rows (x: column, y: row - first row). It traces the
// batch's samples, each sample s from the pixel's own stream item_stream(pixel,
// seeded_sequence(first + s, seed)) (the stream the CPU backend draws for that pixel and pass),
// and adds their radiance divided by the total samples per pixel to the image accumulator: after
// the last batch it holds the mean. A scene with more bands than the capacity is traced in
// chunks of bands, one path per chunk, each with the Russian roulette of its own bands.
//
//   binding 0      the scene TLAS
//   bindings 1-4   vertices (vec4), normals (vec4), triangles (uvec4, local), mesh records
//                  (uvec4: first vertex, first normal, first triangle, material id)
//   binding 5      instance records: normal matrix (inverse transpose, three vec4 rows), mesh id
//   binding 6      material records (48 bytes)
//   binding 7      spectral parameters, then in thermal mode the wavelengths (nm)
//   binding 8      image accumulator, ((row - accumulator_first_row) * width + column) * bands +
//                  band (the host splits an image too large for one binding into row ranges)
//   binding 9      OpticalParams (240 bytes); the shader adds the rays it traced to `rays`
//   binding 10     global primitive index of each instance's first triangle
//   binding 11     per-primitive temperatures (K), when `has_temperatures`
//   binding 12     per-primitive SIF radiance, band-major (band k of primitive i at k P + i)
#version 460
#extension GL_EXT_ray_query : require
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_control_flow_attributes : require

#ifndef BAND_CAPACITY
#define BAND_CAPACITY 4
#endif
#ifndef GROUP_X
#define GROUP_X 8
#endif
#ifndef GROUP_Y
#define GROUP_Y 8
#endif

layout(local_size_x = GROUP_X, local_size_y = GROUP_Y) in;

struct InstanceRecord {
  vec4 normal_matrix[3];
  uint mesh_id;
  uint zero[3];
};

layout(set = 0, binding = 0) uniform accelerationStructureEXT scene_tlas;
layout(std430, set = 0, binding = 1) readonly buffer Vertices { vec4 vertices[]; };
layout(std430, set = 0, binding = 2) readonly buffer Normals { vec4 normals[]; };
layout(std430, set = 0, binding = 3) readonly buffer Triangles { uvec4 triangles[]; };
layout(std430, set = 0, binding = 4) readonly buffer Meshes { uvec4 meshes[]; };
layout(std430, set = 0, binding = 5) readonly buffer Instances { InstanceRecord instances[]; };
layout(std430, set = 0, binding = 7) readonly buffer Spectral { float params[]; };

#include "physics/bsdf.glsl"
#include "physics/camera.glsl"
#include "physics/pcg32.glsl"
#include "physics/planck.glsl"
#include "physics/scatter.glsl"
#include "physics/sky.glsl"
#include "physics/tile.glsl"

vec3 mesh_vertex(uint i) { return vertices[i].xyz; }

#include "scene_queries.glsl"

layout(std430, set = 0, binding = 6) readonly buffer Materials { MaterialRecord materials[]; };
layout(std430, set = 0, binding = 8) buffer Image { float image[]; };
layout(std430, set = 0, binding = 9) buffer OpticalParams {
  uint width;
  uint height;
  uint bands;
  uint batch_samples;
  float ortho_width;
  float ortho_height;
  float fov;
  uint sensor_word84;
  int sensor_type;
  int projection_type;
  uint terrain_following;
  uint accumulator_first_row;
  vec4 camera_to_world[4];
  vec4 emitter_direction;
  vec4 sun_direction;  // the analytic sky's sun
  float scene_size_x;
  float scene_size_y;
  float scene_max_z;
  float repetition_count;
  uint thermal;
  int thermal_offset;
  uint has_temperatures;
  uint sif_only;
  uint has_sif;
  uint n_primitives;
  uint bands_again;
  float scene_min_z;
  int sun_offset;
  int sky_offset;
  int max_depth;
  int hosek_offset;
  uint first_sample;
  uint total_samples;
  uint first_row;
  uint rows;
  int rr_depth;  // Russian roulette starts at this depth (3, as on the CPU)
  uint rays;
  uvec2 seed;  // the run's seed
} p;
layout(std430, set = 0, binding = 10) readonly buffer Bases { uint instance_bases[]; };
layout(std430, set = 0, binding = 11) readonly buffer Temperatures { float temperatures[]; };
layout(std430, set = 0, binding = 12) readonly buffer Sif { float sif_spectra[]; };

// Solid angle of the solar disk (sr) and the 1 - cos of the cone of exactly that solid angle,
// 2 pi (1 - cos).
const float kSunSolidAngle = 6.794e-5;
const float kSunDiskOneMinusCos = 1.0812987e-5;

// Everything a path reads, resolved once per invocation.
SensorBlock g_sensor;
vec3 g_sun;        // unit vector towards the sun
vec3 g_hosek_sun;  // unit vector of the analytic sky's sun
RepetitionTile g_tile;
bool g_repetition;
bool g_thermal;
bool g_sif_only;
int g_nb;

// 1 - cos of the angle between two directions without the cancellation of 1 - dot: |a x b|^2 /
// (|a| |b| (|a| |b| + a . b)), exact in relative terms however close the directions are and
// however far from unit length rounding left them.
float one_minus_cos(vec3 a, vec3 b) {
  const float norms = sqrt(dot(a, a) * dot(b, b));
  const float ab = dot(a, b);
  if (!(ab > 0.0)) return 1.0 - ab / norms;
  const vec3 c = cross(a, b);
  return dot(c, c) / (norms * (norms + ab));
}

float sun_irradiance(int b) { return params[p.sun_offset + b]; }

// Where a sample stands between two ray queries.
const int kStageNewSample = 0;  // the next sample starts: sensor ray, no query yet
const int kStageTerrain = 1;    // terrain following: the probe straight down
const int kStageClosest = 2;    // the path's next closest hit
const int kStageShadow = 3;     // an occlusion test towards the sun (a segment of it)

// The batch's samples of pixel (x, y) in the bands first .. first + count - 1; returns their
// radiance summed in `sum`. Each sample is trace_path of the CPU backend, taken apart at its ray
// queries so that one loop iteration makes exactly one query: a lane whose sample ends starts
// its next one at once, and all lanes of a SIMD batch traverse at the same site.
void trace_samples(uint x, uint y, int first, int count, out float sum[BAND_CAPACITY]) {
  float T[BAND_CAPACITY], L[BAND_CAPACITY];
  for (int k = 0; k < BAND_CAPACITY; ++k) {
    sum[k] = 0.0;
    T[k] = 1.0;
    L[k] = 0.0;
  }
  Pcg32 rng;
  vec3 o = vec3(0.0), d = vec3(0.0, 0.0, -1.0);
  int depth = 0, wraps = 0;
  uint sample_index = 0u;
  int stage = kStageNewSample;
  // The hit whose lighting waits for an occlusion test, and that test's segment.
  HitRecord hit = no_hit();
  bool thermal_pair = false;
  vec3 shadow_origin = vec3(0.0);
  float shadow_remaining = 0.0;
  int shadow_wraps = 0;

  for (;;) {
    bool finished = false;  // the sample is over: add L and start the next
    bool escaped = false;   // it left the scene (sky or sun disk next)
    if (stage == kStageNewSample) {
      if (sample_index >= p.batch_samples) break;
      for (int k = 0; k < BAND_CAPACITY; ++k) {
        T[k] = 1.0;
        L[k] = 0.0;
      }
      rng = item_stream(uvec2(y * p.width + x, 0u),
                        seeded_sequence(uvec2(p.first_sample + sample_index, 0u), p.seed));
      const float jx = next_float(rng);
      const float jy = next_float(rng);
      const SensorRay ray = sensor_ray(g_sensor, float(x) + jx, float(y) + jy);
      o = ray.origin;
      d = ray.direction;
      depth = 0;
      wraps = 0;
      if (dot(ray.direction, ray.direction) < 0.5) {
        finished = true;
      } else if (p.terrain_following != 0u && g_sensor.type == kSensorOrthographic && d.z != 0.0) {
        const float t = -o.z / d.z;
        shadow_origin = vec3(o.x + t * d.x, o.y + t * d.y, o.z);  // the probe's origin
        stage = kStageTerrain;
      } else {
        stage = kStageClosest;
        if (g_repetition) enter_tile(g_tile, p.scene_max_z, o, d);
        finished = p.max_depth < 1;
      }
    }

    if (!finished) {
      // The one ray query of this iteration.
      vec3 qo = o, qd = d;
      float t_max = kRayFar;
      if (stage == kStageTerrain) {
        qo = shadow_origin;
        qd = vec3(0.0, 0.0, -1.0);
      } else if (stage == kStageShadow) {
        qo = shadow_origin;
        qd = g_sun;
        t_max = shadow_remaining;
      }
      RayQueryResult r;
      r.hit = false;
      if (traceable(qo, qd)) r = trace_ray(qo, qd, t_max, stage == kStageShadow);

      bool shade = false;  // the hit's lighting is known: emission, scattering
      bool lit = false;    // the sun reaches the hit (or, for a thermal pair, it is sunlit)
      if (stage == kStageTerrain) {
        if (r.hit) o = vec3(shadow_origin.x, shadow_origin.y, o.z - r.t) - d * 100000.0;
        stage = kStageClosest;
        if (g_repetition) enter_tile(g_tile, p.scene_max_z, o, d);
        finished = p.max_depth < 1;
      } else if (stage == kStageClosest) {
        if (!r.hit) {
          if (g_repetition && wraps < g_tile.count &&
              !leaves_slab(o, d, p.scene_min_z, p.scene_max_z) &&
              wrap_across_tile(g_tile, o, d) > 0.0) {
            ++wraps;
          } else {
            escaped = true;
            finished = true;
          }
        } else {
          hit = hit_record(r, d);
          const MaterialRecord rec = materials[hit.material_id];
          thermal_pair = false;
          shade = true;
          if (g_thermal && !g_sif_only) {
            thermal_pair = p.has_temperatures == 0u && rec.scalars[3] > 0.0 && rec.scalars[4] > 0.0;
            if (thermal_pair) {
              shadow_origin = spawn(hit, g_sun);
              stage = kStageShadow;
            }
          } else if (!g_thermal && !g_sif_only) {
            const float n_dot_l = dot(hit.normal, g_sun);
            if ((n_dot_l > 0.0 || rec.type == kMaterialLeaf) && abs(n_dot_l) > 0.0 &&
                on_shading_side(hit.geometric_normal, g_sun, n_dot_l)) {
              shadow_origin = spawn(hit, g_sun);
              stage = kStageShadow;
            }
          }
          if (stage == kStageShadow) {
            shadow_remaining = 1e16;
            shadow_wraps = 0;
            shade = false;
          }
        }
      } else {  // kStageShadow
        if (r.hit) {
          shade = true;
        } else if (!next_shadow_segment(shadow_origin, g_sun, shadow_remaining, shadow_wraps,
                                        g_tile, p.scene_min_z, p.scene_max_z)) {
          shade = true;
          lit = true;
        }
      }

      if (shade) {
        stage = kStageClosest;
        const MaterialRecord rec = materials[hit.material_id];
        const MaterialView mat = material_view(rec, g_nb);
        const Frame frame = build_frame(hit.normal);
        const vec3 wo = to_local(frame, -d);
        const uint primitive = instance_bases[hit.instance_id] + uint(hit.primitive_id);
        if (g_thermal && !g_sif_only) {
          float temperature = rec.scalars[2];
          if (p.has_temperatures != 0u)
            temperature = temperatures[primitive];
          else if (thermal_pair)
            temperature = lit ? rec.scalars[3] : rec.scalars[4];
          if (temperature > 0.0) {
            [[dont_unroll]] for (int k = 0; k < count; ++k) {
              const int b = first + k;
              L[k] += planck(temperature, params[p.thermal_offset + b]) * block(mat, 0, b) * T[k];
            }
          }
        } else if (lit) {
          const vec3 wi = to_local(frame, g_sun);
          const float cos_l = abs(dot(hit.normal, g_sun));
          [[dont_unroll]] for (int k = 0; k < count; ++k) {
            const int b = first + k;
            L[k] += sun_irradiance(b) * eval_bsdf(mat, b, wo, wi, hit.is_back_face, false) *
                    T[k] * cos_l;
          }
        }
        // Solar-induced fluorescence leaves every hit surface as an isotropic radiance.
        if (p.has_sif != 0u) {
          [[dont_unroll]] for (int k = 0; k < count; ++k)
            L[k] += sif_spectra[uint(first + k) * p.n_primitives + primitive] * T[k];
        }
        // The path ends once every band's throughput is at most 1e-10.
        if (!scatter(mat, frame, hit.geometric_normal, wo, hit.is_back_face, g_thermal, depth,
                     p.rr_depth, 1e-10, rng, T, first, count, d)) {
          finished = true;
        } else {
          o = spawn(hit, d);
          finished = ++depth >= p.max_depth;
        }
      }
    }

    if (escaped && !g_sif_only) {
      if (depth == 0 && !g_thermal && one_minus_cos(d, g_sun) <= kSunDiskOneMinusCos) {
        [[dont_unroll]] for (int k = 0; k < count; ++k)
          L[k] += sun_irradiance(first + k) / kSunSolidAngle * T[k];
      } else if (p.hosek_offset >= 0) {
        [[dont_unroll]] for (int k = 0; k < count; ++k)
          L[k] += sky_radiance(p.hosek_offset, g_hosek_sun, d, first + k) * T[k];
      } else if (p.sky_offset >= 0) {
        [[dont_unroll]] for (int k = 0; k < count; ++k)
          L[k] += params[p.sky_offset + first + k] * T[k];
      }
    }
    if (finished) {
      [[dont_unroll]] for (int k = 0; k < count; ++k) sum[k] += L[k];
      ++sample_index;
      stage = kStageNewSample;
    }
  }
}

void main() {
  const uint x = gl_GlobalInvocationID.x;
  const uint row = gl_GlobalInvocationID.y;
  if (x >= p.width || row >= p.rows) return;
  const uint y = p.first_row + row;
  if (y >= p.height) return;

  g_sensor.type = p.sensor_type;
  g_sensor.width = int(p.width);
  g_sensor.height = int(p.height);
  g_sensor.ortho_width = p.ortho_width;
  g_sensor.ortho_height = p.ortho_height;
  g_sensor.fov = p.fov;
  g_sensor.projection_type = p.projection_type;
  g_sensor.camera_to_world =
      vec4[3](p.camera_to_world[0], p.camera_to_world[1], p.camera_to_world[2]);
  g_sun = unit_direction(p.emitter_direction.xyz);
  g_hosek_sun = unit_direction(p.sun_direction.xyz);
  g_tile.count = int(p.repetition_count);
  g_tile.x_size = p.scene_size_x;
  g_tile.y_size = p.scene_size_y;
  g_repetition = tile_active(g_tile);
  g_thermal = p.thermal != 0u;
  g_sif_only = p.sif_only != 0u;
  g_nb = int(p.bands);

  const float inv_samples = 1.0 / float(p.total_samples);
  for (int first = 0; first < g_nb; first += BAND_CAPACITY) {
    const int count = min(BAND_CAPACITY, g_nb - first);
    float sum[BAND_CAPACITY];
    trace_samples(x, y, first, count, sum);
    const uint base = ((y - p.accumulator_first_row) * p.width + x) * p.bands + uint(first);
    [[dont_unroll]] for (int k = 0; k < count; ++k) image[base + uint(k)] += sum[k] * inv_samples;
  }
  if (g_rays > 0u) atomicAdd(p.rays, g_rays);
}
