// Microwave transport of the passive and active launches. Each pixel averages `spp` sensor rays
// (jittered in the pixel with its own PCG32 stream, kept between calls). Materials are found
// through material_map from the hit mesh's optical material; a surface whose material maps to no
// microwave material (-1, or beyond the map) is transparent. Soil and trunk surfaces read their
// response tables (the module's soil and trunk models evaluated on a grid of cosines by the host,
// interpolated at the local incidence cosine |d . n|); vegetation meshes bound a volume that
// absorbs (column 1: kappa_a per metre), emits at its temperature (column 0, K) and scatters
// (kappa_s and the scattering directions from its Mueller table and distributions).
//
// Passive: brightness temperature per polarisation H, V (the third and fourth Stokes parameters
// are not modelled and are 0). A path adds the emission of each surface it meets, weighted by the
// reflectivities so far, and continues in the specular direction; a volume collision adds
// (kappa_a / kappa_e) T and scatters with weight kappa_s / kappa_e. An escaping path sees the sky,
// (1 - t) T_air + t 2.725 K with t = exp(-tau / mu). The sensor sees t_v L + (1 - t_v) T_air with
// t_v = exp(-tau / mu_v) of its own ray.
//
// Active: single bounce. The first soil surface returns its backscatter sigma_HH, HV, VH, VV at
// the local incidence, a trunk its trunk-ground double bounce at the radar's incidence; the
// vegetation volumes in between attenuate both ways by exp(-2 kappa_e l) and the atmosphere by
// t_v^2.
#pragma once

#include "physics/camera.h"
#include "physics/pcg32.h"
#include "programs/optix/device_common.h"

namespace velm::device {

constexpr float kCosmicBackground = 2.725f;  // K
constexpr int kMaxTransparentCrossings = 64;

struct MicrowaveScene {
  uint64_t handle;
  RepetitionTile tile;
  bool repetition;
  float zmin, zmax;

  __device__ SurfaceHit intersect_closest(Vec3 o, Vec3 d) const {
    return trace_closest(handle, o, d, 2);
  }
};

__device__ __forceinline__ MicrowaveScene microwave_scene(const optix::MicrowaveLaunchParams& p) {
  MicrowaveScene s;
  s.handle = p.ias_handle;
  s.tile.count = p.repetitions;
  s.tile.x_size = p.scene_size[0];
  s.tile.y_size = p.scene_size[1];
  s.repetition = p.repetitions >= 1 && p.scene_size[0] > 0.f && p.scene_size[1] > 0.f;
  s.zmin = -3.4028235e38f;
  s.zmax = p.scene_z_max;
  return s;
}

// The microwave material of a hit, or -1.
__device__ __forceinline__ int32_t microwave_material(const optix::MicrowaveLaunchParams& p,
                                                      const SurfaceHit& hit,
                                                      uint32_t map_size) {
  if (p.material_map == 0 || hit.material_id < 0 ||
      static_cast<uint32_t>(hit.material_id) >= map_size)
    return -1;
  const int32_t m = ptr<const int32_t>(p.material_map)[hit.material_id];
  return m >= 0 && static_cast<uint32_t>(m) < p.material_count ? m : -1;
}

// Column `col` of material m's response table at cosine c (grid on [lo, 1]), interpolated.
__device__ __forceinline__ float response(const optix::MicrowaveLaunchParams& p, int32_t m,
                                          float c, float lo, int col) {
  const uint32_t n = p.response_size;
  const float* t = ptr<const float>(p.response_tables) + static_cast<uint64_t>(m) * n * 8;
  const float x = fminf(fmaxf((c - lo) / (1.f - lo), 0.f), 1.f) * static_cast<float>(n - 1);
  const uint32_t k = min(static_cast<uint32_t>(x), n - 2);
  const float f = x - static_cast<float>(k);
  return t[k * 8 + col] + f * (t[(k + 1) * 8 + col] - t[k * 8 + col]);
}

__device__ __forceinline__ const optix::MicrowaveMaterialRecord& record(
    const optix::MicrowaveLaunchParams& p, int32_t m) {
  return ptr<const optix::MicrowaveMaterialRecord>(p.materials)[m];
}

// The first index whose cumulative value reaches u times the last one.
__device__ __forceinline__ int32_t sample_cdf(const float* cdf, int32_t n, float u) {
  const float target = u * cdf[n - 1];
  for (int32_t k = 0; k < n; ++k)
    if (cdf[k] >= target) return k;
  return n - 1;
}

// A scattered propagation direction from vegetation material `r`'s tables for the incident
// direction d: the scattered cosine's bin from the cosine distribution of d's cosine bin, the
// azimuth difference's bin from its distribution, each uniform within its bin (cosines on
// [-1, 1], azimuth differences on [0, 2 pi)).
__device__ __forceinline__ Vec3 scatter_direction(const optix::MicrowaveMaterialRecord& r, Vec3 d,
                                                  Pcg32& rng) {
  const int32_t i =
      min(r.n_cti - 1, static_cast<int32_t>((d.z + 1.f) * 0.5f * static_cast<float>(r.n_cti)));
  const int32_t j =
      sample_cdf(ptr<const float>(r.cos_cdf) + static_cast<int64_t>(i) * r.n_cts, r.n_cts,
                 rng.next_float());
  const int32_t a = sample_cdf(
      ptr<const float>(r.phi_cdf) + (static_cast<int64_t>(i) * r.n_cts + j) * r.n_dphi, r.n_dphi,
      rng.next_float());
  const float c = fminf(1.f, fmaxf(-1.f, -1.f + (static_cast<float>(j) + rng.next_float()) * 2.f /
                                                    static_cast<float>(r.n_cts)));
  const float dphi = (static_cast<float>(a) + rng.next_float()) * kTwoPi / static_cast<float>(r.n_dphi);
  const float phi = atan2f(d.y, d.x) + dphi;
  const float s = sqrtf(fmaxf(0.f, 1.f - c * c));
  return {s * cosf(phi), s * sinf(phi), c};
}

__device__ __forceinline__ SurfaceHit closest_wrapped(const MicrowaveScene& scene, Vec3& o, Vec3& d) {
  int wraps = 0;
  for (;;) {
    const SurfaceHit hit = scene.intersect_closest(o, d);
    if (hit.hit) return hit;
    if (scene.repetition && wraps < scene.tile.count && !leaves_slab(o, d, scene.zmin, scene.zmax) &&
        wrap_across_tile(scene.tile, o, d) > 0.f) {
      ++wraps;
      continue;
    }
    return hit;
  }
}

// Brightness (K) of what a ray leaving the scene sees: the atmosphere and the cosmic background
// above it, nothing below the scene (as on the Vulkan backend).
__device__ __forceinline__ float sky_temperature(const optix::MicrowaveLaunchParams& p, Vec3 d) {
  if (!(d.z > 0.f)) return 0.f;
  const float t = expf(-p.atm_tau / fmaxf(d.z, 1e-6f));
  return (1.f - t) * p.air_temperature + t * kCosmicBackground;
}

__device__ __forceinline__ float vegetation_extinction(const optix::MicrowaveLaunchParams& p,
                                                       int32_t m, float cos_z, float& kappa_s) {
  kappa_s = response(p, m, cos_z, -1.f, 0);
  return kappa_s + record(p, m).p[1];
}

// Passive: the brightness temperatures (H, V) a path from o along d brings back.
__device__ __forceinline__ void passive_path(const optix::MicrowaveLaunchParams& p,
                                             const MicrowaveScene& scene,
                             uint32_t map_size, Vec3 o, Vec3 d, Pcg32& rng, float& out_h,
                             float& out_v) {
  float wh = 1.f, wv = 1.f, lh = 0.f, lv = 0.f;
  int depth = 0, crossings = 0;
  SurfaceHit hit = closest_wrapped(scene, o, d);
  for (;;) {
    if (!hit.hit) {
      const float sky = sky_temperature(p, d);
      lh += wh * sky;
      lv += wv * sky;
      break;
    }
    const int32_t m = microwave_material(p, hit, map_size);
    if (m < 0) {
      if (++crossings > kMaxTransparentCrossings) break;
      o = hit.spawn(d);
      hit = closest_wrapped(scene, o, d);
      continue;
    }
    const optix::MicrowaveMaterialRecord& r = record(p, m);
    if (r.type != optix::kMicrowaveVegetation) {
      // A smooth or rough dielectric surface: its emission, then the specular reflection.
      const Vec3 n = hit.normal;
      const float mu = fabsf(dot(d, n));
      lh += wh * response(p, m, mu, 0.f, 0);
      lv += wv * response(p, m, mu, 0.f, 1);
      wh *= response(p, m, mu, 0.f, 2);
      wv *= response(p, m, mu, 0.f, 3);
      if (++depth >= p.max_depth || wh + wv < 1e-6f) break;
      d = normalize(d - n * (2.f * dot(d, n)));
      o = hit.spawn(d);
      hit = closest_wrapped(scene, o, d);
      continue;
    }
    // Inside a vegetation volume from its entry surface to the next surface along the ray.
    Vec3 q = hit.spawn(d);
    bool done = false;
    for (;;) {
      const SurfaceHit exit = scene.intersect_closest(q, d);
      float kappa_s;
      const float kappa_e = vegetation_extinction(p, m, d.z, kappa_s);
      const float free_path =
          kappa_e > 0.f ? -logf(fmaxf(1.f - rng.next_float(), 1e-30f)) / kappa_e : 3.4e38f;
      if (!exit.hit || free_path >= exit.t) {
        if (exit.hit && microwave_material(p, exit, map_size) == m) {
          o = exit.spawn(d);  // out through the volume's far side
          hit = closest_wrapped(scene, o, d);
        } else {
          hit = exit;  // the sky, or a surface inside the volume
        }
        break;
      }
      const float temperature = r.p[0];
      const float absorbed = record(p, m).p[1] / kappa_e;
      lh += wh * absorbed * temperature;
      lv += wv * absorbed * temperature;
      const float albedo = kappa_s / kappa_e;
      wh *= albedo;
      wv *= albedo;
      if (++depth >= p.max_depth || wh + wv < 1e-6f || r.n_cti < 1 || r.cos_cdf == 0) {
        done = true;
        break;
      }
      q = q + d * free_path;
      d = scatter_direction(r, d, rng);
    }
    if (done) break;
  }
  out_h = lh;
  out_v = lv;
}

// Active: sigma (HH, HV, VH, VV) of the first soil or trunk surface along o, d, with the two-way
// attenuation of the vegetation volumes before it.
__device__ __forceinline__ void active_path(const optix::MicrowaveLaunchParams& p,
                                            const MicrowaveScene& scene,
                            uint32_t map_size, Vec3 o, Vec3 d, float sigma[4]) {
  for (int k = 0; k < 4; ++k) sigma[k] = 0.f;
  float attenuation = 1.f;
  SurfaceHit hit = closest_wrapped(scene, o, d);
  for (int crossings = 0; hit.hit && crossings <= kMaxTransparentCrossings; ++crossings) {
    const int32_t m = microwave_material(p, hit, map_size);
    if (m < 0) {
      o = hit.spawn(d);
      hit = closest_wrapped(scene, o, d);
      continue;
    }
    const optix::MicrowaveMaterialRecord& r = record(p, m);
    if (r.type == optix::kMicrowaveVegetation) {
      const Vec3 q = hit.spawn(d);
      const SurfaceHit exit = scene.intersect_closest(q, d);
      if (!exit.hit) return;
      float kappa_s;
      attenuation *= expf(-2.f * vegetation_extinction(p, m, d.z, kappa_s) * exit.t);
      if (microwave_material(p, exit, map_size) == m) {
        o = exit.spawn(d);
        hit = closest_wrapped(scene, o, d);
      } else {
        hit = exit;
      }
      continue;
    }
    // Soil: backscatter at the local incidence; trunk: the double bounce at the radar's.
    const float mu = r.type == optix::kMicrowaveSoil ? fabsf(dot(d, hit.normal)) : fabsf(d.z);
    for (int k = 0; k < 4; ++k) sigma[k] = attenuation * response(p, m, mu, 0.f, 4 + k);
    return;
  }
}

// The channels of a pixel from its polarised values: 1 the mean of H and V (total), 2 H and V,
// 4 all four.
__device__ __forceinline__ void write_channels(float* out, int n_channels, const float v[4],
                                               bool active) {
  if (n_channels == 1) {
    out[0] = active ? 0.5f * (v[0] + v[1] + v[2] + v[3]) : 0.5f * (v[0] + v[1]);
  } else if (n_channels == 2) {
    out[0] = v[0];
    out[1] = active ? v[3] : v[1];
  } else {
    for (int k = 0; k < 4; ++k) out[k] = v[k];
  }
}

// The launch of either mode: pixel (x, y), spp jittered rays, the mean written to the film.
template <bool kActive>
__device__ __forceinline__ void microwave_pixel() {
  const optix::MicrowaveLaunchParams& p = launch_params();
  const uint32_t x = optix_device::launch_index_x(), y = optix_device::launch_index_y();
  const uint64_t i = static_cast<uint64_t>(y) * p.width + x;
  uint64_t* state = ptr<uint64_t>(p.pixel_rng) + 2 * i;
  Pcg32 rng;
  rng.state = state[0];
  rng.inc = state[1];
  const MicrowaveScene scene = microwave_scene(p);
  // The host pads the map to every optical material a mesh uses, so any hit's id is inside it.
  const uint32_t map_size = 0xFFFFFFFFu;
  float sum[4] = {0.f, 0.f, 0.f, 0.f};
  for (int s = 0; s < p.spp; ++s) {
    const float jx = rng.next_float(), jy = rng.next_float();
    const SensorRay ray = sensor_ray(p.sensor, static_cast<float>(x) + jx, static_cast<float>(y) + jy);
    if (dot(ray.direction, ray.direction) < 0.5f) continue;
    const float t_view = expf(-p.atm_tau / fmaxf(fabsf(ray.direction.z), 1e-3f));
    if (kActive) {
      float sigma[4];
      active_path(p, scene, map_size, ray.origin, ray.direction, sigma);
      for (int k = 0; k < 4; ++k) sum[k] += sigma[k] * t_view * t_view;
    } else {
      float th, tv;
      passive_path(p, scene, map_size, ray.origin, ray.direction, rng, th, tv);
      const float up = (1.f - t_view) * p.air_temperature;
      sum[0] += t_view * th + up;
      sum[1] += t_view * tv + up;
    }
  }
  state[0] = rng.state;
  state[1] = rng.inc;
  const float inv = 1.f / static_cast<float>(p.spp);
  for (int k = 0; k < 4; ++k) sum[k] *= inv;
  write_channels(ptr<float>(p.film) + i * p.n_channels, p.n_channels, sum, kActive);
}

}  // namespace velm::device
