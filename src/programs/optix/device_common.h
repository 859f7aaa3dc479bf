// What every OptiX device program of this backend sees: the records the host fills (shared with
// the host through src/optix/launch_records.h), the physics of src/physics/ compiled for the
// device through VELM_HD, and the ray tracer those shared routines call, built on optixTrace.
//
// Ray convention of every pipeline: the two payload values carry the address of the tracing
// thread's SurfaceHit. Miss programs set its `hit` to false; closest-hit programs rebuild the hit
// surface into it (physics/surface.h, as the CPU backend does); occlusion rays skip the
// closest-hit program and end at the first hit, so a SurfaceHit that starts with hit = true is
// left so exactly when something blocks the segment.
#pragma once

#include "optix/launch_records.h"
#include "physics/common.h"
#include "physics/surface.h"
#include "physics/tile.h"
#include "programs/optix/optix_device.h"

#define VELM_PROGRAM extern "C" __global__ void

// The launch parameters, bound by name ("params") when the pipelines are created. Optical,
// energy-balance and LiDAR modules read LaunchParams; the microwave modules define
// VELM_MICROWAVE_PROGRAM first and read MicrowaveLaunchParams. The variable itself is raw storage
// of the record's size and alignment: a __constant__ variable must be trivially constructible,
// and the scene records carry default member initialisers for the host.
#ifndef VELM_MICROWAVE_PROGRAM
using VelmParams = velm::optix::LaunchParams;
#else
using VelmParams = velm::optix::MicrowaveLaunchParams;
#endif

struct alignas(alignof(VelmParams)) VelmParamsStorage {
  unsigned char bytes[sizeof(VelmParams)];
};

extern "C" {
__constant__ VelmParamsStorage params;
}

__device__ __forceinline__ const VelmParams& launch_params() {
  return *reinterpret_cast<const VelmParams*>(&params);
}

namespace velm::device {

namespace ox = velm::optix_device;

template <class T>
__device__ __forceinline__ T* ptr(uint64_t address) {
  return reinterpret_cast<T*>(address);
}

// ---- the payload ---------------------------------------------------------------------------------

__device__ __forceinline__ void split(const void* p, unsigned& lo, unsigned& hi) {
  const uint64_t a = reinterpret_cast<uint64_t>(p);
  lo = static_cast<unsigned>(a);
  hi = static_cast<unsigned>(a >> 32);
}

__device__ __forceinline__ SurfaceHit* payload_hit() {
  const uint64_t a = static_cast<uint64_t>(ox::payload_0()) |
                     (static_cast<uint64_t>(ox::payload_1()) << 32);
  return reinterpret_cast<SurfaceHit*>(a);
}

// Rays the CPU backend would refuse to trace (an origin beyond 1e18, a direction that is not
// finite) meet nothing there; they meet nothing here either.
__device__ __forceinline__ bool traceable(Vec3 o, Vec3 d) {
  const float m = 1e18f;
  return fabsf(o.x) < m && fabsf(o.y) < m && fabsf(o.z) < m && isfinite(d.x) && isfinite(d.y) &&
         isfinite(d.z);
}

// The closest hit along a ray from `o` (no minimum distance: spawned origins start off their
// surface) up to 1e16, with the binding-table layout of the calling pipeline.
__device__ __forceinline__ SurfaceHit trace_closest(uint64_t handle, Vec3 o, Vec3 d,
                                                    unsigned sbt_stride) {
  SurfaceHit hit;
  if (!traceable(o, d)) return hit;
  unsigned p0, p1;
  split(&hit, p0, p1);
  ox::trace(handle, o.x, o.y, o.z, d.x, d.y, d.z, 0.f, 1e16f, ox::kRayFlagDisableAnyHit, 0,
            sbt_stride, 0, p0, p1);
  return hit;
}

// Whether anything lies on the segment from `o` along `d` up to `t_max`.
__device__ __forceinline__ bool trace_occluded(uint64_t handle, Vec3 o, Vec3 d, float t_max,
                                               unsigned sbt_offset, unsigned sbt_stride,
                                               unsigned miss_index) {
  if (!traceable(o, d) || !(t_max > 0.f)) return false;
  SurfaceHit hit;
  hit.hit = true;
  unsigned p0, p1;
  split(&hit, p0, p1);
  ox::trace(handle, o.x, o.y, o.z, d.x, d.y, d.z, 0.f, t_max,
            ox::kRayFlagDisableAnyHit | ox::kRayFlagTerminateOnFirstHit |
                ox::kRayFlagDisableClosestHit,
            sbt_offset, sbt_stride, miss_index, p0, p1);
  return hit.hit;
}

// The scene as the shared transport routines see it (physics/backward_path.h): two records per
// mesh; occlusion rays use record kShadowRecord and miss program kShadowMiss. Pipelines with
// shadow programs use 1 and 1 (OptixScene); those with one hit and one miss program for both ray
// types (energy balance, microwave) use 0 and 0, and occlusion is a closest-hit-free ray of type 0
// (SingleProgramScene).
template <unsigned kShadowRecord, unsigned kShadowMiss>
struct TracedScene {
  uint64_t handle;
  RepetitionTile tile;
  bool repetition;
  float zmin, zmax;

  __device__ SurfaceHit intersect_closest(Vec3 o, Vec3 d) const {
    return trace_closest(handle, o, d, 2);
  }
  __device__ bool occluded(Vec3 o, Vec3 d, float t_max) const {
    return trace_occluded(handle, o, d, t_max, kShadowRecord, 2, kShadowMiss);
  }
  __device__ bool occluded_tiled(Vec3 o, Vec3 d, float t_max) const {
    return velm::occluded_tiled(*this, tile, repetition, zmin, zmax, o, d, t_max);
  }
};
using OptixScene = TracedScene<1, 1>;
using SingleProgramScene = TracedScene<0, 0>;

// ---- the closest-hit and miss programs' work -------------------------------------------------------

__device__ __forceinline__ Vec3 load3(const float* p) { return {p[0], p[1], p[2]}; }

// Rebuilds the hit surface into the payload's SurfaceHit. `prefix` is the per-instance prefix
// table of the global primitive index (null when the scene has none).
__device__ __forceinline__ void report_surface_hit(const uint32_t* prefix) {
  SurfaceHit* out = payload_hit();
  const optix::MeshHitData& mesh = *static_cast<const optix::MeshHitData*>(ox::sbt_data());
  const unsigned prim = ox::primitive_index();
  const uint32_t* tri = ptr<const uint32_t>(mesh.indices) + 3 * static_cast<uint64_t>(prim);
  const float* v = ptr<const float>(mesh.vertices);
  const Vec3 corner[3] = {load3(v + 3 * static_cast<uint64_t>(tri[0])),
                          load3(v + 3 * static_cast<uint64_t>(tri[1])),
                          load3(v + 3 * static_cast<uint64_t>(tri[2]))};
  Vec3 normals[3];
  const bool has_normals = mesh.normals != 0;
  if (has_normals) {
    const float* n = ptr<const float>(mesh.normals);
    for (int k = 0; k < 3; ++k) normals[k] = load3(n + 3 * static_cast<uint64_t>(tri[k]));
  }
  float u, w;
  ox::triangle_barycentrics(u, w);
  Vec3 d;
  ox::world_ray_direction(d.x, d.y, d.z);
  float xf[12];
  const float* m = ox::instance_to_world();
  for (int k = 0; k < 12; ++k) xf[k] = m[k];
  const InstanceFrame frame = instance_frame(xf);
  *out = surface_hit(xf, frame, corner, has_normals ? normals : nullptr, u, w, d, ox::ray_tmax());
  const unsigned instance = ox::instance_id();
  out->primitive_id = static_cast<int32_t>(prim);
  out->instance_id = static_cast<int32_t>(instance);
  out->material_id = static_cast<int32_t>(mesh.material_id);
  out->global_primitive_id = prefix != nullptr ? static_cast<int32_t>(prefix[instance] + prim) : -1;
}

__device__ __forceinline__ void report_miss() { payload_hit()->hit = false; }

// ---- per-path storage ------------------------------------------------------------------------------

// One value per band of one path in a band-major per-path buffer: band b of path i at
// b * paths + i, so the threads of a warp touch neighbouring addresses.
struct PathSpectrum {
  float* base;
  uint32_t stride;
  __device__ float& operator[](int b) const { return base[static_cast<uint64_t>(b) * stride]; }
};

// Additions to tallies shared by all threads.
struct AtomicAdd {
  __device__ static void add(double* target, double value) { atomicAdd(target, value); }
  __device__ static void add_shared(double* target, double value) { atomicAdd(target, value); }
  __device__ static void add(float* target, float value) { atomicAdd(target, value); }
};

}  // namespace velm::device
