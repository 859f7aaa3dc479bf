// The one place where the Embree 3 and Embree 4 APIs differ for us. The code is written to the
// Embree 4 API; on a machine with Embree 3.13 the few calls below adapt it (Embree 3 needs an
// intersect context per query, Embree 4 takes optional arguments instead).
#pragma once

#if VELM_EMBREE_MAJOR >= 4
#include <embree4/rtcore.h>
#else
#include <embree3/rtcore.h>
#endif

namespace velm::embree {

// A ray over [tnear, tfar] with every mask bit set, no time and no flags.
inline RTCRay make_ray(const float origin[3], const float direction[3], float tnear, float tfar) {
  RTCRay ray;
  ray.org_x = origin[0];
  ray.org_y = origin[1];
  ray.org_z = origin[2];
  ray.dir_x = direction[0];
  ray.dir_y = direction[1];
  ray.dir_z = direction[2];
  ray.tnear = tnear;
  ray.tfar = tfar;
  ray.time = 0.f;
  ray.mask = 0xFFFFFFFFu;
  ray.id = 0;
  ray.flags = 0;
  return ray;
}

// The same ray, ready for a closest-hit query (no hit recorded yet).
inline RTCRayHit make_ray_hit(const float origin[3], const float direction[3], float tnear,
                              float tfar) {
  RTCRayHit rh;
  rh.ray = make_ray(origin, direction, tnear, tfar);
  rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
  return rh;
}

inline void intersect1(RTCScene scene, RTCRayHit* ray_hit) {
#if VELM_EMBREE_MAJOR >= 4
  rtcIntersect1(scene, ray_hit);
#else
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  rtcIntersect1(scene, &context, ray_hit);
#endif
}

inline void occluded1(RTCScene scene, RTCRay* ray) {
#if VELM_EMBREE_MAJOR >= 4
  rtcOccluded1(scene, ray);
#else
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  rtcOccluded1(scene, &context, ray);
#endif
}

// Packets of 8 rays that share little but their start (the views of one hit).
inline void occluded8(const int* valid, RTCScene scene, RTCRay8* ray) {
#if VELM_EMBREE_MAJOR >= 4
  rtcOccluded8(valid, scene, ray);
#else
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  rtcOccluded8(valid, scene, &context, ray);
#endif
}

// Lane k of a packet (RTCRay8, RTCRay16, ...): the ray over [tnear, tfar] with every mask bit set,
// as make_ray.
template <class RayN>
inline void set_lane(RayN& ray, int k, const float origin[3], const float direction[3],
                     float tnear, float tfar) {
  ray.org_x[k] = origin[0];
  ray.org_y[k] = origin[1];
  ray.org_z[k] = origin[2];
  ray.dir_x[k] = direction[0];
  ray.dir_y[k] = direction[1];
  ray.dir_z[k] = direction[2];
  ray.tnear[k] = tnear;
  ray.tfar[k] = tfar;
  ray.time[k] = 0.f;
  ray.mask[k] = 0xFFFFFFFFu;
  ray.id[k] = 0;
  ray.flags[k] = 0;
}

}  // namespace velm::embree
