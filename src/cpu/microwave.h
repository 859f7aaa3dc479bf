// Passive and active microwave images on the CPU: every pixel of the scene's sensor averages
// `spp` rays jittered in the pixel, each traced by the shared microwave transport
// (physics/microwave_path.h) over the tables of the shared plan (sim/microwave_plan.h).
#pragma once

#include <vector>

#include "cpu/embree_scene.h"
#include "cpu/sim_common.h"
#include "sim/microwave_plan.h"

namespace velm::cpu {

// The image of a request, height x width x n_channels floats, row-major (y, x, channel):
// brightness temperatures (K) or linear backscatter coefficients. Pixel i = y * width + x draws
// from the stream microwave_pixel_stream(i, req.seed), so the image does not depend on the
// worker count.
// `hooks.progress` is called with (pixels done, pixels, elapsed milliseconds). Messages start with
// simulate_microwave_cpu or simulate_active_microwave_cpu.
std::vector<float> simulate_microwave(const embree::EmbreeSceneManager& scene,
                                      const MicrowaveRequest& req, const HostHooks& hooks);

}  // namespace velm::cpu
