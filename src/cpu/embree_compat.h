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

}  // namespace velm::embree
