// Miss programs of the optical pipelines: the ray met nothing.
#include "programs/optix/device_common.h"

VELM_PROGRAM __miss__radiance() { velm::device::report_miss(); }

VELM_PROGRAM __miss__shadow() { velm::device::report_miss(); }
