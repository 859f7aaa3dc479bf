// Backward Monte Carlo image simulation on the CPU: one path per pixel and pass from the sensor,
// next-event estimation towards the sun, sky and sun disk on escape, thermal emission in thermal
// mode.
#pragma once

#include <vector>

#include "cpu/embree_scene.h"
#include "cpu/sim_common.h"

namespace velm::cpu {

struct BackwardStats {
  uint64_t closest_rays = 0;
  uint64_t shadow_rays = 0;
};

using velm::ImageShape;

// The shape simulate_backward fills, (height, width, bands) of the scene's sensor; throws
// std::invalid_argument for a negative size or an image too large to address.
ImageShape backward_image_shape(const embree::EmbreeSceneManager& scene);

// Renders into `image` (height * width * bands floats, row-major (y, x, b)), which also holds the
// running mean when `hooks.progress` is called after each pass. `seed` selects the streams.
void simulate_backward(const embree::EmbreeSceneManager& scene, int spp, int max_depth,
                       const HostHooks& hooks, float* image, BackwardStats* stats = nullptr,
                       uint64_t seed = 0);

}  // namespace velm::cpu
