// Energy balance by reverse ray tracing (physics/energy_balance.h): launch x is the triangle
// within its mesh, y the instance (from first_row), z the sample (from pass_index); each thread
// adds what its sample of both faces absorbs to the top and bottom tallies.
#include "physics/energy_balance.h"
#include "programs/optix/optical_settings.h"

using namespace velm;
using namespace velm::device;

namespace {

__device__ __forceinline__ bool load_primitive(const optix::LaunchSceneBlock& s, uint32_t triangle,
                                               uint32_t instance, BalancePrimitive& out) {
  if (instance >= s.lookup_instances) return false;
  const uint32_t mesh = ptr<const uint32_t>(s.instance_mesh_ids)[instance];
  if (triangle >= ptr<const uint32_t>(s.mesh_triangle_counts)[mesh]) return false;
  out.index = static_cast<uint64_t>(ptr<const uint32_t>(s.instance_prefix)[instance]) + triangle;
  const float* m = ptr<const float>(s.instance_transforms) + 12 * static_cast<uint64_t>(instance);
  for (int k = 0; k < 12; ++k) out.xf[k] = m[k];
  out.frame = instance_frame(out.xf);
  const float* v = ptr<const float* const>(s.mesh_vertex_pointers)[mesh];
  const uint32_t* tri = ptr<const uint32_t* const>(s.mesh_index_pointers)[mesh] +
                        3 * static_cast<uint64_t>(triangle);
  for (int k = 0; k < 3; ++k) out.corner[k] = load3(v + 3 * static_cast<uint64_t>(tri[k]));
  out.front = front_normal(out);
  return true;
}

// The launch's sample of its primitive: single band (sun and sky from the record) or multiband
// (per-band arrays), added atomically to the top and bottom tallies.
__device__ __forceinline__ void energy_balance_launch(bool multiband) {
  const optix::LaunchParams& p = launch_params();
  const optix::LaunchSceneBlock& s = p.scene;
  BalancePrimitive prim;
  const uint32_t instance = p.first_row + optix_device::launch_index_y();
  if (!load_primitive(s, optix_device::launch_index_x(), instance, prim)) return;
  BalanceInputs in;
  in.shortwave = multiband || p.eb_band_type == 0;
  in.bands = multiband ? p.ebm_bands : 1;
  in.n_primitives = s.n_primitives;
  in.sun = multiband ? ptr<const float>(p.ebm_sun_irradiance) : &p.eb_sun_irradiance;
  in.sky = multiband ? ptr<const float>(p.ebm_sky_diffuse) : &p.eb_sky_diffuse;
  in.sky_longwave = p.eb_sky_longwave;
  in.sun_direction = Vec3(p.eb_sun_direction[0], p.eb_sun_direction[1], p.eb_sun_direction[2]);
  in.albedos = ptr<const float>(multiband ? p.ebm_sw_albedos : p.eb_sw_albedos);
  in.temperatures = ptr<const float>(s.primitive_temperatures);
  in.emissivities = ptr<const float>(s.primitive_emissivities);
  in.two_sided = (multiband ? p.ebm_bottom : p.eb_bottom) != 0;
  in.inv_samples = 1.f / static_cast<float>(p.eb_samples);
  in.seed = p.seed;
  float* top = ptr<float>(multiband ? p.ebm_top : p.eb_top);
  float* bottom = ptr<float>(multiband ? p.ebm_bottom : p.eb_bottom);
  energy_balance_sample(scene_of<SingleProgramScene>(s), prim, in,
                        p.pass_index + optix_device::launch_index_z(),
                        [&](int face, uint64_t i, float value) {
                          atomicAdd((face == 0 ? top : bottom) + i, value);
                        });
}

}  // namespace

VELM_PROGRAM __raygen__eb_rrt() { energy_balance_launch(false); }

VELM_PROGRAM __raygen__eb_rrt_multiband() { energy_balance_launch(true); }

VELM_PROGRAM __miss__eb_rrt() { report_miss(); }

VELM_PROGRAM __closesthit__eb_rrt() {
  const optix::LaunchSceneBlock& s = launch_params().scene;
  report_surface_hit(s.instance_prefix != 0 ? ptr<const uint32_t>(s.instance_prefix) : nullptr);
}
