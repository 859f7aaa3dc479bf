// Closest hit of the microwave pipelines: the rebuilt hit surface (the global primitive index is
// not needed there).
#define VELM_MICROWAVE_PROGRAM
#include "programs/optix/device_common.h"

VELM_PROGRAM __closesthit__mw_radiance() { velm::device::report_surface_hit(nullptr); }
