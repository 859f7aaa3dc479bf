#include "cpu/energy_balance.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>

#include "physics/energy_balance.h"
#include "sim/workers.h"

namespace velm::cpu {

namespace {

// Samples a worker takes at a time (whole primitives), samples between progress reports, and
// samples of one primitive between looks at the stop flag (Ctrl-C).
constexpr uint64_t kSamplesPerChunk = uint64_t{1} << 12;
constexpr uint64_t kSamplesPerBatch = uint64_t{1} << 22;
constexpr int32_t kSamplesBetweenStops = 256;

// The Embree scene as the shared energy balance reads it: hits carry their global primitive
// index, occlusion and closest hits walk the repeating tile.
struct BalanceScene {
  const embree::EmbreeSceneManager* scene = nullptr;
  const std::vector<uint64_t>* prefix = nullptr;  // global index of each instance's first triangle
  RepetitionTile tile;
  bool repetition = false;
  float zmin = 0.f, zmax = 0.f;

  SurfaceHit intersect_closest(Vec3 o, Vec3 d) const {
    SurfaceHit h = scene->intersect_closest(o, d);
    if (h.hit)
      h.global_primitive_id = static_cast<int32_t>((*prefix)[h.instance_id] + h.primitive_id);
    return h;
  }
  bool occluded_tiled(Vec3 o, Vec3 d, float t_max) const {
    return scene->occluded_tiled(o, d, t_max);
  }
};

// The global index of each built instance's first triangle, and the total after the last.
std::vector<uint64_t> instance_prefix(const embree::EmbreeSceneManager& scene) {
  std::vector<uint64_t> prefix{0};
  for (const embree::BuiltInstance& inst : scene.built_instances())
    prefix.push_back(prefix.back() + scene.desc().meshes()[inst.mesh_id].triangles.size());
  return prefix;
}

// Primitive t of built instance k as the energy balance samples it.
BalancePrimitive balance_primitive(const embree::EmbreeSceneManager& scene, size_t k, size_t t,
                                   uint64_t index) {
  const embree::BuiltInstance& inst = scene.built_instances()[k];
  const HostMesh& mesh = scene.desc().meshes()[inst.mesh_id];
  BalancePrimitive prim;
  std::copy(inst.transform.begin(), inst.transform.end(), prim.xf);
  prim.frame = inst.frame;
  const Int3& tri = mesh.triangles[t];
  const Float3* v[3] = {&mesh.vertices[tri.i0], &mesh.vertices[tri.i1], &mesh.vertices[tri.i2]};
  for (int c = 0; c < 3; ++c) prim.corner[c] = Vec3(v[c]->x, v[c]->y, v[c]->z);
  prim.index = index;
  prim.front = front_normal(prim);
  return prim;
}

}  // namespace

uint64_t primitive_count(const embree::EmbreeSceneManager& scene) {
  return scene.is_built() ? instance_prefix(scene).back() : 0;
}

EnergyBalanceOutput run_energy_balance(const embree::EmbreeSceneManager& scene,
                                       const EnergyBalanceRequest& req, bool multiband,
                                       const HostHooks& hooks) {
  const std::string who =
      multiband ? "run_energy_balance_multiband_cpu" : "run_energy_balance_cpu";
  if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
  const std::vector<uint64_t> prefix = instance_prefix(scene);
  const uint64_t n = prefix.back();
  const Vec3 sun = check_energy_balance(req, multiband, static_cast<int64_t>(n), who);
  const int bands = multiband ? req.n_bands : 1;
  checked_count({bands, static_cast<int64_t>(n), req.two_sided ? 2 : 1}, sizeof(double),
                who + ": the absorbed flux");

  // Per-band light of the multiband call: an array not given is zeros.
  std::vector<float> sun_e = multiband ? req.sun_irradiances : std::vector<float>{req.sun_irradiance};
  std::vector<float> sky_l =
      multiband ? req.sky_diffuse_radiances : std::vector<float>{req.sky_diffuse_radiance};
  sun_e.resize(bands, 0.f);
  sky_l.resize(bands, 0.f);

  BalanceScene bs;
  bs.scene = &scene;
  bs.prefix = &prefix;
  bs.tile = scene.desc().repetition();
  bs.repetition = bs.tile.active();
  bs.zmin = scene.min_height();
  bs.zmax = scene.max_height();
  BalanceInputs in;
  in.shortwave = multiband || req.band_type == 0;
  in.bands = bands;
  in.n_primitives = n;
  in.sun = sun_e.data();
  in.sky = sky_l.data();
  in.sky_longwave = req.sky_lw_radiance;
  in.sun_direction = sun;
  in.albedos = req.sw_albedos.empty() ? nullptr : req.sw_albedos.data();
  in.temperatures = req.temperatures.empty() ? nullptr : req.temperatures.data();
  in.emissivities = req.emissivities.empty() ? nullptr : req.emissivities.data();
  in.two_sided = req.two_sided;
  in.inv_samples = 1.f / static_cast<float>(req.n_samples);
  in.seed = req.seed;

  // Each primitive's tallies are summed by the one worker that owns it, sample after sample.
  const size_t values = static_cast<size_t>(bands) * n;
  std::vector<double> top(values, 0.0), bottom(req.two_sided ? values : 0, 0.0);
  const auto add = [&](int face, uint64_t i, float value) {
    (face == 0 ? top : bottom)[i] += value;
  };
  const uint64_t samples = static_cast<uint64_t>(req.n_samples);
  const uint64_t chunk = std::max<uint64_t>(1, kSamplesPerChunk / samples);
  const uint64_t batch = std::max<uint64_t>(chunk, kSamplesPerBatch / samples);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  parallel_batches(
      worker_count(), n, chunk, batch,
      [&](unsigned, uint64_t first, uint64_t end) {
        size_t k = static_cast<size_t>(std::upper_bound(prefix.begin(), prefix.end(), first) -
                                       prefix.begin()) - 1;
        for (uint64_t p = first; p < end; ++p) {
          while (p >= prefix[k + 1]) ++k;
          const BalancePrimitive prim = balance_primitive(scene, k, p - prefix[k], p);
          for (int32_t sample = 0; sample < req.n_samples; ++sample) {
            if (sample % kSamplesBetweenStops == 0 && stop.load(std::memory_order_relaxed)) return;
            energy_balance_sample(bs, prim, in, static_cast<uint32_t>(sample), add);
          }
        }
      },
      [&](uint64_t done) {
        const double ms = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        hooks.report(done, n, static_cast<float>(ms));
      },
      hooks.poll, &stop);
  EnergyBalanceOutput out;
  out.top.assign(top.begin(), top.end());
  out.bottom.assign(bottom.begin(), bottom.end());
  return out;
}

}  // namespace velm::cpu
