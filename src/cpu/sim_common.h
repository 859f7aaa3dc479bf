// What the CPU simulations share besides the worker pool: the host hooks (progress, interrupt
// polling) and the CPU scene as the backend-neutral checks of scene/simulation_setup.h see it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cpu/embree_scene.h"
#include "scene/simulation_setup.h"

namespace velm::cpu {

struct HostHooks {
  // (done, total, value); runs on the calling thread between passes or batches.
  std::function<void(uint64_t, uint64_t, float)> progress;
  // Polled on the calling thread between passes; throws to stop the simulation (Ctrl-C).
  std::function<void()> poll;
  void report(uint64_t done, uint64_t total, float value) const {
    if (poll) poll();
    if (progress) progress(done, total, value);
  }
};

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
