// Backward image: one path per pixel of the launch's rows for the current pass (the shared path
// of physics/backward_path.h), its radiance divided by the pass count added into the film, so
// the film holds the mean once every pass has run.
#include "programs/optix/optical_settings.h"

using namespace velm;
using namespace velm::device;

VELM_PROGRAM __raygen__backward() {
  const optix::LaunchParams& p = launch_params();
  const uint32_t x = optix_device::launch_index_x();
  const uint32_t row = optix_device::launch_index_y();
  const uint32_t y = p.first_row + row;
  const uint64_t path = static_cast<uint64_t>(row) * p.width + x;
  const BackwardSettings c = backward_settings(p);
  const OptixScene scene = scene_of<OptixScene>(p.scene);
  const PathSpectrum T{ptr<float>(p.path_throughput) + path, p.paths_per_launch};
  const PathSpectrum L{ptr<float>(p.path_radiance) + path, p.paths_per_launch};
  PathCounts counts;
  trace_backward_path(c, scene, static_cast<int>(x), static_cast<int>(y),
                      static_cast<int>(p.pass_index), T, L, counts);
  float* pixel = ptr<float>(p.film) + (static_cast<uint64_t>(y) * p.width + x) * c.nb;
  const float inv = 1.f / static_cast<float>(p.samples);
  for (int b = 0; b < c.nb; ++b) pixel[b] += L[b] * inv;
}
