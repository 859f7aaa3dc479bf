// Entry points of the "miss_mw" module. Their bodies are placeholders until the
// launches that use them are written; they exist so that every module loads and every pipeline
// links.
#define VELM_MICROWAVE_PROGRAM
#include "programs/optix/device_common.h"

VELM_PROGRAM __miss__mw_radiance() {}
