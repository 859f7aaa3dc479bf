// The few OptiX device functions the programs of this backend call. OptiX provides them as
// builtin functions that device code reaches with PTX `call` instructions; these are our own
// declarations of the ones we use, each a one-line wrapper of its builtin.
#pragma once

#include <cstdint>

namespace velm::optix_device {

// Ray flags of optixTrace.
constexpr unsigned kRayFlagNone = 0u;
constexpr unsigned kRayFlagDisableAnyHit = 1u << 0;
constexpr unsigned kRayFlagTerminateOnFirstHit = 1u << 2;
constexpr unsigned kRayFlagDisableClosestHit = 1u << 3;

// Traces a ray with two payload values (the layout of the builtin's operands is fixed: 32 payload
// slots out, the ray, the binding-table indices, the payload count and 32 payload slots in).
__forceinline__ __device__ void trace(uint64_t handle, float ox, float oy, float oz, float dx,
                                      float dy, float dz, float tmin, float tmax, unsigned flags,
                                      unsigned sbt_offset, unsigned sbt_stride, unsigned miss_index,
                                      unsigned& p0, unsigned& p1) {
  unsigned r[32];
  const unsigned type = 0;  // the default payload type
  const unsigned count = 2;
  const unsigned mask = 255;
  const float time = 0.f;
  const unsigned z = 0;
  asm volatile(
      "call"
      "(%0,%1,%2,%3,%4,%5,%6,%7,%8,%9,%10,%11,%12,%13,%14,%15,%16,%17,%18,%19,%20,%21,%22,%23,%24,"
      "%25,%26,%27,%28,%29,%30,%31),"
      "_optix_trace_typed_32,"
      "(%32,%33,%34,%35,%36,%37,%38,%39,%40,%41,%42,%43,%44,%45,%46,%47,%48,%49,%50,%51,%52,%53,"
      "%54,%55,%56,%57,%58,%59,%60,%61,%62,%63,%64,%65,%66,%67,%68,%69,%70,%71,%72,%73,%74,%75,"
      "%76,%77,%78,%79,%80);"
      : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3]), "=r"(r[4]), "=r"(r[5]), "=r"(r[6]),
        "=r"(r[7]), "=r"(r[8]), "=r"(r[9]), "=r"(r[10]), "=r"(r[11]), "=r"(r[12]), "=r"(r[13]),
        "=r"(r[14]), "=r"(r[15]), "=r"(r[16]), "=r"(r[17]), "=r"(r[18]), "=r"(r[19]),
        "=r"(r[20]), "=r"(r[21]), "=r"(r[22]), "=r"(r[23]), "=r"(r[24]), "=r"(r[25]),
        "=r"(r[26]), "=r"(r[27]), "=r"(r[28]), "=r"(r[29]), "=r"(r[30]), "=r"(r[31])
      : "r"(type), "l"(handle), "f"(ox), "f"(oy), "f"(oz), "f"(dx), "f"(dy), "f"(dz), "f"(tmin),
        "f"(tmax), "f"(time), "r"(mask), "r"(flags), "r"(sbt_offset), "r"(sbt_stride),
        "r"(miss_index), "r"(count), "r"(p0), "r"(p1), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z),
        "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z),
        "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z),
        "r"(z), "r"(z), "r"(z)
      :);
  p0 = r[0];
  p1 = r[1];
}

__forceinline__ __device__ unsigned payload_0() {
  unsigned v;
  asm volatile("call (%0), _optix_get_payload, (%1);" : "=r"(v) : "r"(0));
  return v;
}
__forceinline__ __device__ unsigned payload_1() {
  unsigned v;
  asm volatile("call (%0), _optix_get_payload, (%1);" : "=r"(v) : "r"(1));
  return v;
}

__forceinline__ __device__ unsigned launch_index_x() {
  unsigned v;
  asm("call (%0), _optix_get_launch_index_x, ();" : "=r"(v) :);
  return v;
}
__forceinline__ __device__ unsigned launch_index_y() {
  unsigned v;
  asm("call (%0), _optix_get_launch_index_y, ();" : "=r"(v) :);
  return v;
}
__forceinline__ __device__ unsigned launch_index_z() {
  unsigned v;
  asm("call (%0), _optix_get_launch_index_z, ();" : "=r"(v) :);
  return v;
}

// The data after the header of the current binding-table record.
__forceinline__ __device__ const void* sbt_data() {
  unsigned long long p;
  asm("call (%0), _optix_get_sbt_data_ptr_64, ();" : "=l"(p) :);
  return reinterpret_cast<const void*>(p);
}

__forceinline__ __device__ unsigned primitive_index() {
  unsigned v;
  asm("call (%0), _optix_read_primitive_idx, ();" : "=r"(v) :);
  return v;
}

// The instance id the host gave the instance record.
__forceinline__ __device__ unsigned instance_id() {
  unsigned v;
  asm("call (%0), _optix_read_instance_id, ();" : "=r"(v) :);
  return v;
}

__forceinline__ __device__ void triangle_barycentrics(float& u, float& v) {
  asm("call (%0, %1), _optix_get_triangle_barycentrics, ();" : "=f"(u), "=f"(v) :);
}

__forceinline__ __device__ float ray_tmax() {
  float t;
  asm("call (%0), _optix_get_ray_tmax, ();" : "=f"(t) :);
  return t;
}

__forceinline__ __device__ void world_ray_direction(float& x, float& y, float& z) {
  asm("call (%0), _optix_get_world_ray_direction_x, ();" : "=f"(x) :);
  asm("call (%0), _optix_get_world_ray_direction_y, ();" : "=f"(y) :);
  asm("call (%0), _optix_get_world_ray_direction_z, ();" : "=f"(z) :);
}

// The object-to-world transform of the hit instance (rows of a row-major 3x4 matrix): the scenes
// of this backend are one instance level over triangle meshes, so the hit's transform list holds
// exactly that instance.
__forceinline__ __device__ const float* instance_to_world() {
  unsigned long long handle, p;
  const unsigned index = 0;
  asm("call (%0), _optix_get_transform_list_handle, (%1);" : "=l"(handle) : "r"(index));
  asm("call (%0), _optix_get_instance_transform_from_handle, (%1);" : "=l"(p) : "l"(handle));
  return reinterpret_cast<const float*>(p);
}

}  // namespace velm::optix_device
