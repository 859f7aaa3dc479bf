// Forward photon tracing on the CPU: absorbed radiation in a layered voxel grid (fPAR), per leaf
// and on the terrain, BRF and albedo; and flux maps of downwelling and upwelling radiation.
#pragma once

#include <vector>

#include "cpu/embree_scene.h"
#include "cpu/sim_common.h"

namespace velm::cpu {

using velm::FluxRequest;
using velm::FluxResult;
using velm::ForwardRequest;
using velm::ForwardResult;

ForwardResult simulate_forward(const embree::EmbreeSceneManager& scene, const ForwardRequest& req,
                               const HostHooks& hooks);

FluxResult simulate_flux(const embree::EmbreeSceneManager& scene, const FluxRequest& req,
                         const HostHooks& hooks);

}  // namespace velm::cpu
