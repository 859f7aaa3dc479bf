// Miss program of the microwave pipelines: the ray met nothing (the raygen programs add the sky
// themselves; the record's 2.725 K is the same cosmic background).
#define VELM_MICROWAVE_PROGRAM
#include "programs/optix/device_common.h"

VELM_PROGRAM __miss__mw_radiance() { velm::device::report_miss(); }
