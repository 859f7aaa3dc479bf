// Entry points of the "raygen_backward" module. Their bodies are placeholders until the
// launches that use them are written; they exist so that every module loads and every pipeline
// links.
#include "programs/optix/device_common.h"

VELM_PROGRAM __raygen__backward() {}
