// run_energy_balance_gpu and run_energy_balance_multiband_gpu: the radiant flux density absorbed
// by each face of every primitive, for the thermal energy balance of its surface. The shader
// (src/programs/vulkan/energy_balance.comp, one work group per primitive) estimates the incident
// irradiance of a face from cosine-weighted rays; the host checks the request, uploads the
// per-primitive tables into buffers the scene keeps between calls, splits the work into
// dispatches of at most 2^20 samples (ranges of primitives, and of samples when one primitive
// has more), adds up what each leaves in double precision and polls for Ctrl-C between them.
// Bands beyond 32 run as several fused calls of at most 32.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

#include "vulkan/descriptors.h"
#include "vulkan/mode_records.h"
#include "vulkan/scene_manager.h"

namespace velm::vulkan {

namespace {

constexpr int32_t kMaxFusedBands = 32;
constexpr uint32_t kStreamSequence = 7765;  // the low word of the random streams' sequence
constexpr uint32_t kMaxGroupsX = 65535;  // groups in x; the rest of the primitives go in y
constexpr float kDefaultEmissivity = 0.97f;
// Samples (of all faces) per dispatch at most: a fifth of a second on lavapipe for a plain
// facet, up to a second in a forest.
constexpr uint64_t kSamplesPerDispatch = uint64_t{1} << 20;
// Primitives per dispatch when their samples must be split: enough groups to fill a device.
constexpr uint64_t kSplitPrimitives = 256;

// Positions of the energy-balance buffers in the scene's cache: binding b at b - 1.
enum EnergySlot {
  kGeometry,
  kBases,
  kTemperatures,
  kEmissivities,
  kAlbedos,
  kSun,
  kSky,
  kTop,
  kBottom,
};

using Clock = std::chrono::steady_clock;

bool finite_non_negative(float v) { return v >= 0.f && std::isfinite(v); }

// The first primitive (lowest index) with an albedo outside [0, 1] in any band, named with the
// band and the value.
void check_albedos(const std::vector<float>& albedos, int64_t n_primitives) {
  int64_t worst = -1, band = 0;
  for (size_t i = 0; i < albedos.size(); ++i) {
    const float a = albedos[i];
    const int64_t p = static_cast<int64_t>(i) % n_primitives;
    if (!(a >= 0.f && a <= 1.f) && (worst < 0 || p < worst)) {
      worst = p;
      band = static_cast<int64_t>(i) / n_primitives;
    }
  }
  if (worst < 0) return;
  std::ostringstream msg;
  msg << "Vulkan energy balance: primitive " << worst << " has albedo "
      << albedos[static_cast<size_t>(band * n_primitives + worst)] << " in band " << band
      << "; albedos must lie in [0, 1]";
  throw std::invalid_argument(msg.str());
}

// How a call's work is cut: dispatches of `primitives` primitives and `samples` samples of each
// face. Primitives take all their samples in one dispatch when they fit, as many primitives as
// fit; otherwise up to kSplitPrimitives primitives share a dispatch, each with an even part of
// its samples.
struct DispatchShape {
  uint64_t primitives;
  uint64_t samples;
};

DispatchShape dispatch_shape(uint64_t prims, uint64_t samples_per_primitive, uint64_t faces) {
  if (samples_per_primitive <= kSamplesPerDispatch)
    return {std::min(prims, kSamplesPerDispatch / samples_per_primitive),
            samples_per_primitive / faces};
  const uint64_t together = std::min(prims, kSplitPrimitives);
  return {together, std::max<uint64_t>(1, kSamplesPerDispatch / (together * faces))};
}

}  // namespace

void VulkanSceneManager::check_tlas_primitives(const char* who) const {
  int64_t held = 0;
  for (const InstanceShading& s : shading_)
    held += static_cast<int64_t>(desc_.meshes()[s.mesh].triangles.size());
  if (held != n_primitives())
    throw std::runtime_error(std::string(who) +
                             ": the scene's instances changed since its acceleration structures "
                             "were built; call build()");
}

EnergyBalanceResult VulkanSceneManager::run_energy_balance(
    int32_t band_type, int32_t n_samples, float sun_irradiance, float sky_diffuse_radiance,
    float sky_lw_radiance, const float sun_direction[3], bool two_sided,
    std::vector<float> albedos, const HostHooks& hooks, uint64_t seed) {
  EnergyBalanceLight light;
  light.sun = {sun_irradiance};
  light.sky = {band_type == 1 ? sky_lw_radiance : sky_diffuse_radiance};
  std::copy(sun_direction, sun_direction + 3, light.sun_direction);
  light.albedos = std::move(albedos);
  const std::lock_guard<std::recursive_mutex> lock(simulation_mutex_);
  return fused_energy_balance(band_type, n_samples, light, 1, two_sided, hooks, seed);
}

EnergyBalanceResult VulkanSceneManager::run_energy_balance_multiband(
    int32_t n_bands, int32_t n_samples, EnergyBalanceLight light, bool two_sided,
    const HostHooks& hooks, uint64_t seed) {
  if (n_bands < 1) throw std::invalid_argument("Vulkan energy balance n_bands must be positive");
  if (light.sun.size() != static_cast<size_t>(n_bands) ||
      light.sky.size() != static_cast<size_t>(n_bands))
    throw std::invalid_argument("Vulkan energy balance sun and sky arrays must match n_bands");
  const int64_t n_prims = n_primitives();
  if (!light.albedos.empty() &&
      static_cast<int64_t>(light.albedos.size()) != int64_t{n_bands} * n_prims)
    throw std::invalid_argument(
        "Vulkan energy balance albedos must have bands * n_primitives values");

  const std::lock_guard<std::recursive_mutex> lock(simulation_mutex_);
  if (n_bands <= kMaxFusedBands)
    return fused_energy_balance(0, n_samples, light, n_bands, two_sided, hooks, seed);
  // Chunks of 32 bands; band-major arrays make a chunk of bands one contiguous range.
  EnergyBalanceResult out;
  out.bands = n_bands;
  out.n_primitives = static_cast<int32_t>(n_prims);
  const size_t per_band = static_cast<size_t>(n_prims);
  SimulationProfile total;
  for (int32_t b0 = 0; b0 < n_bands; b0 += kMaxFusedBands) {
    const int32_t count = std::min(kMaxFusedBands, n_bands - b0);
    EnergyBalanceLight chunk;
    chunk.sun.assign(light.sun.begin() + b0, light.sun.begin() + b0 + count);
    chunk.sky.assign(light.sky.begin() + b0, light.sky.begin() + b0 + count);
    std::copy(light.sun_direction, light.sun_direction + 3, chunk.sun_direction);
    if (!light.albedos.empty())
      chunk.albedos.assign(light.albedos.begin() + b0 * per_band,
                           light.albedos.begin() + (b0 + count) * per_band);
    const EnergyBalanceResult r =
        fused_energy_balance(0, n_samples, chunk, count, two_sided, hooks, seed);
    if (out.top.empty()) {
      out.top.resize(static_cast<size_t>(n_bands) * per_band);
      if (two_sided) out.bottom.resize(out.top.size());
    }
    std::copy(r.top.begin(), r.top.end(), out.top.begin() + b0 * per_band);
    std::copy(r.bottom.begin(), r.bottom.end(), out.bottom.begin() + b0 * per_band);
    total.seconds += simulation_profile_.seconds;
    total.items += simulation_profile_.items;
    total.dispatches += simulation_profile_.dispatches;
  }
  simulation_profile_ = total;
  return out;
}

EnergyBalanceResult VulkanSceneManager::fused_energy_balance(int32_t band_type, int32_t n_samples,
                                                             const EnergyBalanceLight& light,
                                                             int32_t bands, bool two_sided,
                                                             const HostHooks& hooks,
                                                             uint64_t seed) {
  if (!desc_.is_built() || tlas_.empty())
    throw std::runtime_error("Vulkan: build the scene before energy-balance transport");
  if (band_type != 0 && band_type != 1)
    throw std::invalid_argument("Vulkan energy balance band_type must be 0 or 1");
  if (n_samples < 1)
    throw std::invalid_argument("Vulkan energy balance n_samples must be positive");
  if (bands < 1 || bands > kMaxFusedBands)
    throw std::invalid_argument("Vulkan fused energy balance supports 1 to 32 bands");
  if (light.sun.size() != static_cast<size_t>(bands) ||
      light.sky.size() != static_cast<size_t>(bands))
    throw std::invalid_argument("Vulkan energy balance sun and sky arrays must match n_bands");
  const int64_t n_prims = n_primitives();
  EnergyBalanceResult out;
  out.bands = bands;
  out.n_primitives = static_cast<int32_t>(n_prims);
  if (n_prims == 0) return out;
  const std::vector<float>& albedos = light.albedos;
  if (!albedos.empty() && static_cast<int64_t>(albedos.size()) != int64_t{bands} * n_prims)
    throw std::invalid_argument(
        "Vulkan energy balance albedos must have bands * n_primitives values");
  const double dx = light.sun_direction[0], dy = light.sun_direction[1],
               dz = light.sun_direction[2];
  const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
  if (!(length > 0.0))
    throw std::invalid_argument("Vulkan energy balance sun direction must be non-zero");

  // Beyond the checks above: what the shader reads must be usable.
  if (!std::isfinite(length))
    throw std::invalid_argument("Vulkan energy balance sun direction must be finite");
  for (size_t b = 0; b < light.sun.size(); ++b)
    if (!finite_non_negative(light.sun[b]) || !finite_non_negative(light.sky[b]))
      throw std::invalid_argument(
          "Vulkan energy balance sun and sky values must be finite and non-negative");
  check_albedos(albedos, n_prims);
  const PrimitiveOverrides& overrides = desc_.primitive_overrides();
  if (!overrides.temperatures.empty() &&
      static_cast<int64_t>(overrides.temperatures.size()) != n_prims)
    throw std::runtime_error("Vulkan primitive temperatures have an invalid length");
  if (!overrides.emissivities.empty() &&
      static_cast<int64_t>(overrides.emissivities.size()) != n_prims)
    throw std::runtime_error("Vulkan primitive emissivities have an invalid length");
  check_tlas_primitives("Vulkan energy balance");
  const uint64_t prims = static_cast<uint64_t>(n_prims);
  const uint64_t band_bytes = prims * static_cast<uint64_t>(bands) * sizeof(float);
  check_storage(prims * sizeof(EnergyBalanceGeometry), "the energy-balance geometry table");
  check_storage(band_bytes, "an energy-balance band table (bands x primitives floats)");
  const uint64_t faces = two_sided ? 2 : 1;
  const DispatchShape shape =
      dispatch_shape(prims, static_cast<uint64_t>(n_samples) * faces, faces);
  const uint32_t gx = static_cast<uint32_t>(std::min<uint64_t>(shape.primitives, kMaxGroupsX));
  const uint32_t gy = static_cast<uint32_t>((shape.primitives + gx - 1) / gx);
  if (gy > ctx_->limits().max_groups_y)
    throw std::runtime_error("Vulkan energy balance: " + std::to_string(prims) +
                             " primitives exceed the device's work-group limit");

  // Per-primitive tables. Corners are transformed in double and rounded once (primitive_record),
  // so each lies within half a float step of the triangle the TLAS holds: the shader's hit points
  // rebuilt on them need only a small offset.
  std::vector<EnergyBalanceGeometry> geometry;
  geometry.reserve(prims);
  std::vector<uint32_t> bases;
  bases.reserve(shading_.size());
  for (const InstanceShading& s : shading_) {
    bases.push_back(s.first_primitive);
    const HostMesh& mesh = desc_.meshes()[s.mesh];
    for (uint32_t t = 0; t < mesh.triangles.size(); ++t) {
      const PrimitiveRecord r = primitive_record(mesh, s.transform, t, 0);
      EnergyBalanceGeometry g{};
      const auto put = [](float* out, const Float3& v) {
        out[0] = v.x;
        out[1] = v.y;
        out[2] = v.z;
      };
      put(g.p0, r.p0);
      put(g.p1, r.p1);
      put(g.p2, r.p2);
      put(g.normal, r.normal);
      geometry.push_back(g);
    }
  }
  const std::vector<float> temperatures =
      overrides.temperatures.empty() ? std::vector<float>(prims, 0.f) : overrides.temperatures;
  const std::vector<float> emissivities = overrides.emissivities.empty()
                                              ? std::vector<float>(prims, kDefaultEmissivity)
                                              : overrides.emissivities;

  EnergyBalanceParams params{};
  params.n_primitives = static_cast<uint32_t>(prims);
  params.n_samples = static_cast<uint32_t>(n_samples);
  params.bands = static_cast<uint32_t>(bands);
  params.band_type = static_cast<uint32_t>(band_type);
  params.two_sided = two_sided ? 1 : 0;
  params.repetition_count = static_cast<uint32_t>(std::max(0, desc_.repetition().count));
  params.sequence = kStreamSequence;
  params.seed[0] = static_cast<uint32_t>(seed);
  params.seed[1] = static_cast<uint32_t>(seed >> 32);
  params.groups_x = gx;
  for (int k = 0; k < 3; ++k)
    params.sun_direction[k] = static_cast<float>(light.sun_direction[k] / length);
  params.scene_size_x = desc_.repetition().x_size;
  params.scene_size_y = desc_.repetition().y_size;
  params.has_sun =
      std::any_of(light.sun.begin(), light.sun.end(), [](float e) { return e > 0.f; }) ? 1.f
                                                                                        : 0.f;
  params.scene_min_z = bounds_.lo[2];
  params.scene_max_z = bounds_.hi[2];

  // Uploads into the scene's buffers; albedos are zeros when none are given, and both faces'
  // outputs start as zeros.
  struct Upload {
    EnergySlot slot;
    const void* data;  // null: zeros
    uint64_t bytes;
    const char* what;
  };
  const Upload uploads[] = {
      {kGeometry, geometry.data(), prims * sizeof(EnergyBalanceGeometry),
       "the energy-balance geometry table"},
      {kBases, bases.data(), bases.size() * sizeof(uint32_t), "the instance base table"},
      {kTemperatures, temperatures.data(), prims * sizeof(float), "the temperature table"},
      {kEmissivities, emissivities.data(), prims * sizeof(float), "the emissivity table"},
      {kAlbedos, albedos.empty() ? nullptr : albedos.data(), band_bytes, "the albedo table"},
      {kSun, light.sun.data(), light.sun.size() * sizeof(float), "the sun table"},
      {kSky, light.sky.data(), light.sky.size() * sizeof(float), "the sky table"},
      {kTop, nullptr, band_bytes, "the front-face results"},
      {kBottom, nullptr, band_bytes, "the back-face results"},
  };
  for (const Upload& u : uploads) {
    VulkanBuffer& b = energy_buffers_[u.slot];
    ensure_capacity(*ctx_, b, u.bytes, kUsageStorage, kSharedMemory);
    if (u.data != nullptr)
      b.upload(u.data, u.bytes);
    else
      b.write_mapped(u.bytes, [&](void* p) { std::memset(p, 0, u.bytes); });
  }

  if (pipelines_.energy_balance().pipeline == VK_NULL_HANDLE)
    pipelines_.create_energy_balance_pipeline();
  const ComputePipeline& pipeline = pipelines_.energy_balance();
  PerCallDescriptorSet set(*ctx_, pipeline.set_layout, 9, "energy balance");
  std::vector<StorageBinding> bound;
  for (const Upload& u : uploads) bound.push_back({&energy_buffers_[u.slot], u.what});
  set.write(tlas_.handle(), bound);

  // Each dispatch leaves its primitives' share of the mean in the face arrays. Where a face's
  // samples are split, the shares add up in double on the host.
  const uint64_t total_samples = static_cast<uint64_t>(n_samples);
  const bool split = shape.samples < total_samples;
  const size_t values = static_cast<size_t>(prims) * static_cast<size_t>(bands);
  out.top.resize(values);
  if (two_sided) out.bottom.resize(values);
  float* results[2] = {out.top.data(), out.bottom.data()};
  std::vector<double> sums(split ? values * faces : 0, 0.0);
  std::vector<float> share(split ? static_cast<size_t>(shape.primitives) : 0);
  const VulkanBuffer* face_buffers[2] = {&energy_buffers_[kTop], &energy_buffers_[kBottom]};
  SimulationProfile prof;
  prof.items = prims * static_cast<uint64_t>(n_samples);
  const Clock::time_point start = Clock::now();
  for (uint64_t s0 = 0; s0 < total_samples; s0 += shape.samples) {
    for (uint64_t p0 = 0; p0 < prims; p0 += shape.primitives) {
      const uint64_t np = std::min(shape.primitives, prims - p0);
      params.first_primitive = static_cast<uint32_t>(p0);
      params.primitives = static_cast<uint32_t>(np);
      params.first_sample = static_cast<uint32_t>(s0);
      params.samples = static_cast<uint32_t>(std::min(shape.samples, total_samples - s0));
      const uint32_t groups_y = static_cast<uint32_t>((np + gx - 1) / gx);
      ctx_->submit_immediate([&](VkCommandBuffer cmd) {
        record_pushed_dispatch(cmd, pipeline.pipeline, pipeline.layout, set.set(), &params,
                               sizeof params, gx, groups_y);
        record_host_barrier(cmd);
      });
      ++prof.dispatches;
      for (uint64_t f = 0; f < faces; ++f)
        for (uint64_t b = 0; b < static_cast<uint64_t>(bands); ++b) {
          const uint64_t at = b * prims + p0;
          float* into = split ? share.data() : results[f] + at;
          face_buffers[f]->download(into, np * sizeof(float), at * sizeof(float));
          if (split)
            for (uint64_t k = 0; k < np; ++k) sums[f * values + at + k] += share[k];
        }
      if (hooks.poll) hooks.poll();
    }
  }
  prof.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  simulation_profile_ = prof;

  for (uint64_t f = 0; split && f < faces; ++f)
    std::copy(sums.begin() + f * values, sums.begin() + (f + 1) * values, results[f]);
  return out;
}

}  // namespace velm::vulkan
