// What the CPU simulations share besides the worker pool: the VELM_MAX_DEPTH override, the
// host hooks (progress, interrupt polling) and the up-front check that a scene's description is
// complete enough to simulate.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "cpu/embree_scene.h"

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

// A positive VELM_MAX_DEPTH replaces max_depth; the notice goes to standard output with the
// simulation's prefix, e.g. "[CPU bwd]".
int max_depth_override(int max_depth, const char* prefix);

struct ScenePrerequisites {
  bool sun = false;        // the sun's irradiance block is read
  bool sky = false;        // the sky blocks are read when set
  bool materials = true;   // mesh materials and their spectral blocks are read
  bool sun_direction = true;  // the sun's direction is read
  bool thermal = false;    // every material's first block (emissivity) is read, whatever its type
};

// Throws std::runtime_error for a scene that was never built, std::invalid_argument for a mesh
// whose material id is outside the material list, a block that runs past the spectral buffer, a
// sun direction that is not a finite non-zero vector, a repeating tile that is not finite, or an
// instance whose transform flattens space (its normals are undefined).
void check_scene_for_simulation(const embree::EmbreeSceneManager& scene, const std::string& who,
                                int num_bands, const ScenePrerequisites& need);

// The product of `counts` (each non-negative) as an element count, refusing one whose storage at
// `element_size` bytes would not be addressable: std::invalid_argument naming `what`.
uint64_t checked_count(std::initializer_list<int64_t> counts, size_t element_size,
                       const std::string& what);

// The unit vector of a finite non-zero direction (normalised in double, so lengths beyond the
// float range are fine); throws std::invalid_argument naming `what` otherwise.
Vec3 unit_direction(const float* v, const std::string& what);

}  // namespace velm::cpu
