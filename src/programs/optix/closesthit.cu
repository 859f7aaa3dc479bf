// Closest-hit programs of the optical pipelines. Radiance rays get the rebuilt hit surface;
// shadow rays are traced without their closest-hit program, which is here for the binding table.
#include "programs/optix/device_common.h"

VELM_PROGRAM __closesthit__radiance() {
  const velm::optix::LaunchSceneBlock& s = launch_params().scene;
  velm::device::report_surface_hit(
      s.instance_prefix != 0 ? velm::device::ptr<const uint32_t>(s.instance_prefix) : nullptr);
}

VELM_PROGRAM __closesthit__shadow() {}
