// Entry points of the "raygen_eb_rrt" module. Their bodies are placeholders until the
// launches that use them are written; they exist so that every module loads and every pipeline
// links.
#include "programs/optix/device_common.h"

VELM_PROGRAM __raygen__eb_rrt() {}

VELM_PROGRAM __raygen__eb_rrt_multiband() {}

VELM_PROGRAM __miss__eb_rrt() {}

VELM_PROGRAM __closesthit__eb_rrt() {}
