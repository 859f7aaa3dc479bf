// Energy balance by reverse ray tracing: for every primitive (launch x: triangle of the mesh,
// y: instance) and sample (z), a point drawn uniformly on the triangle and, per face, one
// cosine-weighted ray. What each face absorbs, in W m^-2 averaged over the face:
//
//  short wave (band_type 0, every band of the multiband call): incident = direct sun
//    E max(0, n.s) when the shadow ray escapes (the repeating tile honoured) + pi L_sky where the
//    sampled ray escapes upwards + the first-order reflection of a primitive h it hits, albedo_h
//    times h's own sunlit-and-sky irradiance (its sun term with its own shadow ray, its sky term
//    by one more cosine ray); absorbed = (1 - own albedo) incident.
//  long wave (band_type 1): incident = pi L_lw where the ray escapes upwards + eps_h sigma T_h^4
//    of a primitive it hits; absorbed = own emissivity times incident (Kirchhoff).
//
// With cosine-weighted rays the irradiance of a face is pi times the mean radiance they see, and
// the radiance of a Lambertian h is its exitance over pi, so each ray contributes h's exitance.
// Temperatures and emissivities are the scene's per-primitive values (0 K and 0.97 where none
// are set), albedos the caller's (0 where none are given).
#include "physics/photon.h"
#include "programs/optix/optical_settings.h"

using namespace velm;
using namespace velm::device;

namespace {

constexpr double kStefanBoltzmann = 5.670374419e-8;  // W m^-2 K^-4
constexpr float kDefaultEmissivity = 0.97f;
constexpr uint64_t kEnergyBalanceSequence = 0x656E65726779ULL;

struct Primitive {
  uint64_t index;  // global primitive index
  float xf[12];
  InstanceFrame frame;
  Vec3 corner[3];  // mesh frame
  Vec3 front;      // world unit normal of the front face
};

__device__ __forceinline__ bool load_primitive(const optix::LaunchParams& p, uint32_t triangle,
                               uint32_t instance, Primitive& out) {
  const optix::LaunchSceneBlock& s = p.scene;
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
  out.front = unit_or(apply3(out.frame.normal_matrix,
                             cross(out.corner[1] - out.corner[0], out.corner[2] - out.corner[0])),
                      Vec3(0.f, 0.f, 1.f));
  return true;
}

// What one sample of one face sees, independent of the band.
struct FaceSample {
  float sun_cos;      // max(0, n.s) where the sun is visible, else 0
  bool escaped_up;    // the sampled ray left the scene upwards
  int64_t hit_index;  // global index of the primitive it hit, or -1
  float hit_sun_cos;  // the hit primitive's visible max(0, n_h.s)
  bool hit_sky;       // its cosine ray escaped upwards
};

template <class Rng>
__device__ __forceinline__ FaceSample sample_face(const SingleProgramScene& scene,
                                                  const Primitive& prim, Vec3 n,
                                  float u, float v, Vec3 sun, bool shortwave, Rng& rng) {
  FaceSample out{0.f, false, -1, 0.f, false};
  // The face's point as a hit seen from its side, so spawned rays leave from that side.
  const SurfaceHit self = surface_hit(prim.xf, prim.frame, prim.corner, nullptr, u, v, -n, 0.f);
  if (shortwave) {
    const float c = dot(n, sun);
    if (c > 0.f && !scene.occluded_tiled(self.spawn(sun), sun, 1e16f)) out.sun_cos = c;
  }
  const Vec3 local = sample_cosine(rng.next_float(), rng.next_float());
  Vec3 d = normalize(build_frame(n).to_world(local));
  Vec3 o = self.spawn(d);
  const SurfaceHit h = closest_tiled(scene, o, d);
  if (!h.hit) {
    out.escaped_up = d.z > 0.f;
    return out;
  }
  out.hit_index = h.global_primitive_id;
  if (!shortwave) return out;
  const Vec3 nh = h.geometric_normal;  // the side of h that faces this primitive
  const float ch = dot(nh, sun);
  if (ch > 0.f && !scene.occluded_tiled(h.spawn(sun), sun, 1e16f)) out.hit_sun_cos = ch;
  const Vec3 local_h = sample_cosine(rng.next_float(), rng.next_float());
  Vec3 dh = normalize(build_frame(nh).to_world(local_h));
  Vec3 oh = h.spawn(dh);
  out.hit_sky = !closest_tiled(scene, oh, dh).hit && dh.z > 0.f;
  return out;
}

__device__ __forceinline__ float value_or(const float* values, int64_t i, float fallback) {
  return values != nullptr && i >= 0 ? values[i] : fallback;
}

// One sample of one primitive, both faces (the back face when two-sided), for `bands` bands:
// sun and sky per band (single band: one value each), albedos band-major (b * n + primitive).
template <class Out>
__device__ __forceinline__ void energy_balance_sample(const optix::LaunchParams& p, bool multiband,
                                                      Out&& add) {
  const optix::LaunchSceneBlock& s = p.scene;
  const uint32_t triangle = optix_device::launch_index_x();
  const uint32_t instance = p.first_row + optix_device::launch_index_y();
  const uint32_t sample = p.pass_index + optix_device::launch_index_z();
  Primitive prim;
  if (!load_primitive(p, triangle, instance, prim)) return;
  const SingleProgramScene scene = scene_of<SingleProgramScene>(s);
  const Vec3 sun(p.eb_sun_direction[0], p.eb_sun_direction[1], p.eb_sun_direction[2]);
  const bool shortwave = multiband || p.eb_band_type == 0;
  const int bands = multiband ? p.ebm_bands : 1;
  const uint64_t n = s.n_primitives;
  const float* albedos = ptr<const float>(multiband ? p.ebm_sw_albedos : p.eb_sw_albedos);
  const float* temperatures = ptr<const float>(s.primitive_temperatures);
  const float* emissivities = ptr<const float>(s.primitive_emissivities);
  const bool two_sided = (multiband ? p.ebm_bottom : p.eb_bottom) != 0;
  const float inv_samples = 1.f / static_cast<float>(p.eb_samples);

  Pcg32 rng = item_stream(prim.index, kEnergyBalanceSequence ^ sample);
  // A uniform point on the triangle, shared by both faces.
  const float su = sqrtf(rng.next_float()), r2 = rng.next_float();
  const float u = su * (1.f - r2), v = su * r2;
  for (int face = 0; face < (two_sided ? 2 : 1); ++face) {
    const Vec3 nf = face == 0 ? prim.front : -prim.front;
    const FaceSample fs = sample_face(scene, prim, nf, u, v, sun, shortwave, rng);
    for (int b = 0; b < bands; ++b) {
      double incident;
      double absorbed;
      if (shortwave) {
        const float sun_e = multiband ? ptr<const float>(p.ebm_sun_irradiance)[b] : p.eb_sun_irradiance;
        const float sky_l = multiband ? ptr<const float>(p.ebm_sky_diffuse)[b] : p.eb_sky_diffuse;
        incident = static_cast<double>(sun_e) * fs.sun_cos;
        if (fs.escaped_up) incident += kPi * static_cast<double>(sky_l);
        if (fs.hit_index >= 0) {
          const double albedo_h = value_or(albedos, static_cast<int64_t>(b * n) + fs.hit_index, 0.f);
          incident += albedo_h * (static_cast<double>(sun_e) * fs.hit_sun_cos +
                                  (fs.hit_sky ? kPi * static_cast<double>(sky_l) : 0.0));
        }
        absorbed = (1.0 - value_or(albedos, static_cast<int64_t>(b * n + prim.index), 0.f)) * incident;
      } else {
        incident = fs.escaped_up ? kPi * static_cast<double>(p.eb_sky_longwave) : 0.0;
        if (fs.hit_index >= 0) {
          const double t = value_or(temperatures, fs.hit_index, 0.f);
          incident += value_or(emissivities, fs.hit_index, kDefaultEmissivity) * kStefanBoltzmann *
                      t * t * t * t;
        }
        absorbed = value_or(emissivities, static_cast<int64_t>(prim.index), kDefaultEmissivity) *
                   incident;
      }
      add(face, static_cast<uint64_t>(b) * n + prim.index, static_cast<float>(absorbed) * inv_samples);
    }
  }
}

}  // namespace

VELM_PROGRAM __raygen__eb_rrt() {
  const optix::LaunchParams& p = launch_params();
  float* top = ptr<float>(p.eb_top);
  float* bottom = ptr<float>(p.eb_bottom);
  energy_balance_sample(p, false, [&](int face, uint64_t i, float value) {
    atomicAdd((face == 0 ? top : bottom) + i, value);
  });
}

VELM_PROGRAM __raygen__eb_rrt_multiband() {
  const optix::LaunchParams& p = launch_params();
  float* top = ptr<float>(p.ebm_top);
  float* bottom = ptr<float>(p.ebm_bottom);
  energy_balance_sample(p, true, [&](int face, uint64_t i, float value) {
    atomicAdd((face == 0 ? top : bottom) + i, value);
  });
}

VELM_PROGRAM __miss__eb_rrt() { report_miss(); }

VELM_PROGRAM __closesthit__eb_rrt() {
  const optix::LaunchSceneBlock& s = launch_params().scene;
  report_surface_hit(s.instance_prefix != 0 ? ptr<const uint32_t>(s.instance_prefix) : nullptr);
}
