// What every OptiX device program of this backend sees: the records the host fills (shared with
// the host through src/optix/launch_records.h) and the physics of src/physics/, compiled for the
// device through VELM_HD.
#pragma once

#include "optix/launch_records.h"
#include "physics/bsdf.h"
#include "physics/camera.h"
#include "physics/common.h"
#include "physics/pcg32.h"
#include "physics/photon.h"
#include "physics/planck.h"
#include "physics/scatter.h"
#include "physics/sky.h"
#include "physics/tile.h"

#define VELM_PROGRAM extern "C" __global__ void

// The launch parameters, bound by name ("params") when the pipelines are created. Optical,
// energy-balance and LiDAR modules read LaunchParams; the microwave modules define
// VELM_MICROWAVE_PROGRAM first and read MicrowaveLaunchParams. The variable itself is raw storage
// of the record's size and alignment: a __constant__ variable must be trivially constructible,
// and the scene records carry default member initialisers for the host.
#ifndef VELM_MICROWAVE_PROGRAM
using VelmParams = velm::optix::LaunchParams;
#else
using VelmParams = velm::optix::MicrowaveLaunchParams;
#endif

struct alignas(alignof(VelmParams)) VelmParamsStorage {
  unsigned char bytes[sizeof(VelmParams)];
};

extern "C" {
__constant__ VelmParamsStorage params;
}

__device__ __forceinline__ const VelmParams& launch_params() {
  return *reinterpret_cast<const VelmParams*>(&params);
}
