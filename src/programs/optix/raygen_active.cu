// Active microwave image: single-bounce backscatter per pixel (microwave_transport.h).
#define VELM_MICROWAVE_PROGRAM
#include "programs/optix/microwave_transport.h"

VELM_PROGRAM __raygen__active_mw() { velm::device::microwave_pixel<true>(); }
