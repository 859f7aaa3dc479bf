// Forward photon tracing on the CPU: absorbed radiation in a layered voxel grid (fPAR), per leaf
// and on the terrain, BRF and albedo; and flux maps of downwelling and upwelling radiation.
#pragma once

#include <vector>

#include "cpu/embree_scene.h"
#include "cpu/sim_common.h"

namespace velm::cpu {

using velm::ForwardRequest;
using velm::FluxRequest;

struct ForwardResult {
  int nz = 0;
  std::vector<float> grid;     // (nz, ny, nx, bands)
  std::vector<float> leaf;     // (leaves, bands), empty unless per_leaf
  std::vector<float> brf;      // (num_brf_dirs, bands)
  std::vector<float> albedo;   // (bands)
  std::vector<float> terrain;  // (bands)
  uint64_t rays = 0;
};

ForwardResult simulate_forward(const embree::EmbreeSceneManager& scene, const ForwardRequest& req,
                               const HostHooks& hooks);

struct FluxResult {
  std::vector<float> downwelling, upwelling;  // (ny, nx, bands)
  std::vector<float> direct, diffuse;         // when decomposed
  uint64_t rays = 0;
};

FluxResult simulate_flux(const embree::EmbreeSceneManager& scene, const FluxRequest& req,
                         const HostHooks& hooks);

}  // namespace velm::cpu
