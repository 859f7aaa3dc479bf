// Forward photon tracing on the CPU: absorbed radiation in a layered voxel grid (fPAR), per leaf
// and on the terrain, BRF and albedo; and flux maps of downwelling and upwelling radiation.
#pragma once

#include <vector>

#include "cpu/embree_scene.h"
#include "cpu/sim_common.h"

namespace velm::cpu {

struct ForwardRequest {
  int nx = 1, ny = 1;
  std::vector<float> layer_heights;
  int64_t num_photons = 10000000;
  int num_bands = 1;
  bool per_leaf = false;
  std::vector<float> brf_directions;  // num_brf_dirs rows of (x, y, z)
  int num_brf_dirs = 0;
  float prob_sun = 1.f;
  int max_depth = 16;
  int terrain_instance_id = -1;
};

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

struct FluxRequest {
  int nx = 1, ny = 1;
  int64_t num_photons = 0;
  int num_bands = 1;
  float prob_sun = 1.f;
  int max_bounces = 0;
  int max_depth = 16;
  int rr_depth = 3;
  bool decompose = false;
};

struct FluxResult {
  std::vector<float> downwelling, upwelling;  // (ny, nx, bands)
  std::vector<float> direct, diffuse;         // when decomposed
  uint64_t rays = 0;
};

FluxResult simulate_flux(const embree::EmbreeSceneManager& scene, const FluxRequest& req,
                         const HostHooks& hooks);

}  // namespace velm::cpu
