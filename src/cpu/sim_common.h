// What the CPU simulations share besides the worker pool: the host hooks (progress, interrupt
// polling) and the CPU scene as the backend-neutral checks of sim/setup.h see it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cpu/embree_scene.h"
#include "sim/setup.h"

namespace velm::cpu {

using velm::HostHooks;
using velm::checked_count;
using velm::max_depth_override;
using velm::ScenePrerequisites;
using velm::unit_direction;

// The build state and the built instances' conditioning of an Embree scene.
BuiltScene built_scene(const embree::EmbreeSceneManager& scene);

// velm::check_scene_for_simulation for an Embree scene.
void check_scene_for_simulation(const embree::EmbreeSceneManager& scene, const std::string& who,
                                int num_bands, const ScenePrerequisites& need);

}  // namespace velm::cpu
