// Forward radiation: one photon per launch index of the batch (the shared walk and tallies of
// physics/photon_walk.h), its absorption tallied per voxel, leaf and terrain, its BRF
// contributions and its escape upwards, with atomic additions.
#include "programs/optix/optical_settings.h"

using namespace velm;
using namespace velm::device;

VELM_PROGRAM __raygen__forward() {
  const optix::LaunchParams& p = launch_params();
  const uint32_t i = optix_device::launch_index_y() * p.width +
                     optix_device::launch_index_x();
  if (i >= p.photons_in_launch) return;
  const PhotonWalkSettings walk = photon_walk_settings(p);
  const OptixScene scene = scene_of<OptixScene>(p.scene);
  ForwardTallySettings ts;
  ts.nx = p.fwd_nx;
  ts.ny = p.fwd_ny;
  ts.nz = p.fwd_layers;
  ts.dx = p.fwd_cell_x;
  ts.dy = p.fwd_cell_y;
  ts.heights = ptr<const float>(p.fwd_layer_heights);
  ts.nb = p.num_bands;
  ts.terrain_instance = p.fwd_terrain_instance;
  ts.leaf_offset = p.fwd_leaf != 0 ? ptr<const uint64_t>(p.fwd_leaf_offsets) : nullptr;
  ts.total_leaves = p.fwd_leaf_total;
  ts.views = ptr<const Vec3>(p.fwd_brf_directions);
  ts.num_views = p.fwd_num_brf_dirs;
  ForwardTally<AtomicAdd, OptixScene> tally{
      &ts,
      {ptr<double>(p.fwd_grid), ptr<double>(p.fwd_leaf), ptr<double>(p.fwd_terrain),
       ptr<double>(p.fwd_brf), ptr<double>(p.fwd_albedo)},
      &scene};
  const PathSpectrum w{ptr<float>(p.path_throughput) + i, p.paths_per_launch};
  walk_photon(walk, scene, photon_index(p, i), w, tally);
}
