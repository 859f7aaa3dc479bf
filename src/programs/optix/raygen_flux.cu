// Flux maps: one photon per launch index of the batch (the shared walk and flux tallies of
// physics/photon_walk.h), with atomic additions into the downwelling, upwelling and, when
// decomposed, direct and diffuse maps.
#include "programs/optix/optical_settings.h"

using namespace velm;
using namespace velm::device;

VELM_PROGRAM __raygen__flux() {
  const optix::LaunchParams& p = launch_params();
  const uint32_t i = optix_device::launch_index_y() * p.width +
                     optix_device::launch_index_x();
  if (i >= p.photons_in_launch) return;
  const PhotonWalkSettings walk = photon_walk_settings(p);
  const OptixScene scene = scene_of<OptixScene>(p.scene);
  const FluxTallySettings ts{p.flux_nx, p.flux_ny, p.flux_cell_x, p.flux_cell_y, p.num_bands,
                             p.flux_max_bounces};
  FluxTally<AtomicAdd> tally{&ts,
                             {ptr<double>(p.flux_down), ptr<double>(p.flux_up),
                              ptr<double>(p.flux_down_direct), ptr<double>(p.flux_down_diffuse)}};
  const PathSpectrum w{ptr<float>(p.path_throughput) + i, p.paths_per_launch};
  walk_photon(walk, scene, photon_index(p, i), w, tally);
}
