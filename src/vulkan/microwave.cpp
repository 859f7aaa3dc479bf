// run_microwave_wavefront: brightness temperatures or radar backscatter of caller-given rays,
// traced by the microwave shader (src/programs/vulkan/microwave_wavefront.comp) in three passes.
// The host checks the request and every table against the counts it is given, builds the
// per-primitive records, uploads everything into buffers the scene keeps between calls and reads
// four floats per ray back. Rays beyond what one storage binding of the per-ray work area holds
// run as several dispatches of the three passes.
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

constexpr uint64_t kWorkBytesPerRay = 160;
constexpr uint64_t kDihedralPerTrunk = 131584;  // 257 cosines x 256 azimuths x [HH, VV]
constexpr uint64_t kLutWords = 8;
constexpr uint64_t kParametersPerEntry = 8;
constexpr uint32_t kRaysPerGroup = 64;
constexpr uint32_t kMaxGroupsX = 65535;
constexpr uint64_t kMaxRays = 4294967295;  // ray indices are 32-bit in the shader
constexpr uint32_t kWorkRaysWord = 20;     // the work-area word counting a ray's queries

// Positions of the microwave buffers in the scene's cache: binding b at b - 1.
enum MicrowaveSlot {
  kOrigins,
  kDirections,
  kPrimitives,
  kBases,
  kMaterialMap,
  kPassiveSoil,
  kActiveSoil,
  kSmoothSoil,
  kVegetation,
  kLutInfo,
  kMueller,
  kCosineCdf,
  kAzimuthCdf,
  kTrunkResponse,
  kTrunkParameters,
  kTrunkDihedral,
  kDihedralGround,
  kWork,
  kOutput,
};

using Clock = std::chrono::steady_clock;

// The product of non-negative counts, saturating at UINT64_MAX.
uint64_t product(std::initializer_list<uint64_t> counts) {
  uint64_t n = 1;
  for (uint64_t c : counts) {
    if (c != 0 && n > UINT64_MAX / c) return UINT64_MAX;
    n *= c;
  }
  return n;
}

template <class T>
bool has_size(const std::vector<T>& v, std::initializer_list<uint64_t> counts) {
  return static_cast<uint64_t>(v.size()) == product(counts);
}

[[noreturn]] void refuse(const std::string& what) {
  throw std::invalid_argument("Vulkan microwave " + what);
}

bool finite_non_negative(float v) { return v >= 0.f && std::isfinite(v); }

void check_finite(const std::vector<float>& values, const char* name) {
  for (size_t i = 0; i < values.size(); ++i)
    if (!std::isfinite(values[i]))
      refuse(std::string(name) + " value " + std::to_string(i) + " is not finite");
}

// Rows of a cumulative table that must not decrease and start at a non-negative value.
void check_cumulative(const std::vector<float>& cdf, uint64_t first, uint64_t rows,
                      uint64_t length, uint64_t entry, const char* name) {
  for (uint64_t r = 0; r < rows; ++r) {
    const float* row = cdf.data() + first + r * length;
    bool ok = row[0] >= 0.f;
    for (uint64_t k = 1; k < length; ++k) ok = ok && row[k] >= row[k - 1];
    if (!ok)
      refuse("lut_info entry " + std::to_string(entry) + ": its " + name +
             " rows must start at 0 or more and never decrease");
  }
}

// The Mueller table entries lut_info describes lie inside the three tables, with at least one
// bin on each axis, and their distributions are cumulative; a trunk's specular table lies inside
// mueller_lut, and only trunks have one.
void check_luts(const MicrowaveRequest& r) {
  const uint64_t entries = static_cast<uint64_t>(r.vegetation_count) + r.trunk_count;
  for (uint64_t e = 0; e < entries; ++e) {
    const uint32_t* info = r.lut_info.data() + e * kLutWords;
    const uint64_t n_i = info[3], n_s = info[4], n_phi = info[5], n_cos = info[7];
    if (e < static_cast<uint64_t>(r.vegetation_count) && (info[6] != 0 || n_cos != 0))
      refuse("lut_info entry " + std::to_string(e) +
             " is vegetation: its words 6 and 7 (a trunk's specular table) must be 0");
    if (n_cos > 0 && uint64_t{info[6]} + product({n_cos, 16}) > r.mueller_lut.size())
      refuse("lut_info entry " + std::to_string(e) +
             ": its specular table reaches beyond mueller_lut");
    if (n_i == 0) continue;
    if (n_s == 0 || n_phi == 0)
      refuse("lut_info entry " + std::to_string(e) +
             " needs at least one scattering-cosine bin and one azimuth bin");
    const uint64_t cells = product({n_i, n_s, n_phi});
    if (uint64_t{info[0]} + product({cells, 16}) > r.mueller_lut.size() ||
        uint64_t{info[1]} + product({n_i, n_s}) > r.cosine_cdf.size() ||
        uint64_t{info[2]} + cells > r.azimuth_cdf.size())
      refuse("lut_info entry " + std::to_string(e) +
             " reaches beyond mueller_lut, cosine_cdf or azimuth_cdf");
    check_cumulative(r.cosine_cdf, info[1], n_i, n_s, e, "cosine_cdf");
    check_cumulative(r.azimuth_cdf, info[2], n_i * n_s, n_phi, e, "azimuth_cdf");
  }
}

}  // namespace

std::vector<float> VulkanSceneManager::run_microwave_wavefront(const MicrowaveRequest& r,
                                                                const HostHooks& hooks) {
  if (!desc_.is_built() || tlas_.empty())
    throw std::runtime_error("Vulkan: build the scene before microwave transport");
  if (r.max_depth < 1 || r.response_table_size < 2 || r.soil_count < 0 ||
      r.vegetation_count < 0 || r.trunk_count < 0)
    throw std::invalid_argument("Vulkan microwave wavefront received invalid dimensions");
  if (r.origins.size() % 4 != 0 || r.directions.size() != r.origins.size())
    throw std::invalid_argument("Vulkan microwave origins and directions must have shape (N, 4)");
  const uint64_t n_rays = r.origins.size() / 4;
  if (n_rays == 0) return {};
  const uint64_t S = static_cast<uint64_t>(r.soil_count);
  const uint64_t V = static_cast<uint64_t>(r.vegetation_count);
  const uint64_t T = static_cast<uint64_t>(r.trunk_count);
  const uint64_t R = static_cast<uint64_t>(r.response_table_size);
  if (!has_size(r.passive_soil, {S, R, 4}) || !has_size(r.active_soil, {S, R, 4}) ||
      !has_size(r.smooth_soil, {S, R, 2}))
    throw std::invalid_argument("Vulkan microwave soil response tables have invalid sizes");
  if (!has_size(r.vegetation_parameters, {V, kParametersPerEntry}) ||
      !has_size(r.trunk_parameters, {T, kParametersPerEntry}) ||
      !has_size(r.trunk_response, {T, R, 4}) ||
      !has_size(r.trunk_dihedral, {T, kDihedralPerTrunk}) ||
      !has_size(r.dihedral_ground, {S, R, 2}) || !has_size(r.lut_info, {V + T, kLutWords}))
    throw std::invalid_argument("Vulkan microwave vegetation/trunk data has invalid sizes");
  check_tlas_primitives("Vulkan microwave");
  for (const InstanceShading& s : shading_)
    if (desc_.meshes()[s.mesh].material_id >= r.material_map.size() &&
        !desc_.meshes()[s.mesh].triangles.empty())
      throw std::invalid_argument("Vulkan microwave material map does not cover scene materials");

  // Beyond the checks above: what the shader reads must be usable.
  const uint64_t materials = S + V + T;
  for (size_t i = 0; i < r.material_map.size(); ++i)
    if (r.material_map[i] >= 0 && static_cast<uint64_t>(r.material_map[i]) >= materials)
      refuse("material_map entry " + std::to_string(i) + " is " +
             std::to_string(r.material_map[i]) +
             ", beyond the soil, vegetation and trunk materials (" + std::to_string(materials) +
             ")");
  if (n_rays > kMaxRays) refuse("wavefront supports at most 2^32-1 rays per call");
  for (uint64_t i = 0; i < n_rays; ++i) {
    const float* o = r.origins.data() + 4 * i;
    const float* d = r.directions.data() + 4 * i;
    const bool finite = std::isfinite(o[0]) && std::isfinite(o[1]) && std::isfinite(o[2]) &&
                        std::isfinite(d[0]) && std::isfinite(d[1]) && std::isfinite(d[2]);
    if (!finite || (d[0] == 0.f && d[1] == 0.f && d[2] == 0.f))
      refuse("ray " + std::to_string(i) +
             " needs a finite origin and a finite, non-zero direction");
  }
  if (!finite_non_negative(r.air_temperature) || !finite_non_negative(r.atmosphere_tau))
    refuse("air_temperature and atmosphere_tau must be finite and non-negative");
  const std::pair<const std::vector<float>*, const char*> tables[] = {
      {&r.passive_soil, "passive_soil_table"},
      {&r.active_soil, "active_soil_table"},
      {&r.smooth_soil, "smooth_soil_table"},
      {&r.vegetation_parameters, "vegetation_parameters"},
      {&r.trunk_parameters, "trunk_parameters"},
      {&r.trunk_response, "trunk_response_table"},
      {&r.trunk_dihedral, "trunk_dihedral_scattering"},
      {&r.dihedral_ground, "dihedral_ground_table"},
      {&r.mueller_lut, "mueller_lut"},
      {&r.cosine_cdf, "cosine_cdf"},
      {&r.azimuth_cdf, "azimuth_cdf"}};
  for (const auto& [values, name] : tables) check_finite(*values, name);
  for (uint64_t v = 0; v < V; ++v) {
    const float* p = r.vegetation_parameters.data() + v * kParametersPerEntry;
    if (!finite_non_negative(p[0]) || !finite_non_negative(p[1]))
      refuse("vegetation entry " + std::to_string(v) +
             " needs a temperature in kelvin (column 0) and a non-negative absorption "
             "coefficient (column 1)");
  }
  for (uint64_t t = 0; t < T; ++t) {
    const float* p = r.trunk_parameters.data() + t * kParametersPerEntry;
    if (!finite_non_negative(p[0]) || !finite_non_negative(p[3]) || !finite_non_negative(p[7]))
      refuse("trunk entry " + std::to_string(t) +
             " needs a non-negative radius (column 0), temperature in kelvin (column 3) and "
             "absorption coefficient of its wood (column 7)");
  }
  check_luts(r);

  // Rays per dispatch: as many as one storage binding of the work area holds.
  const uint64_t limit = ctx_->limits().max_storage_range;
  const uint64_t per_dispatch = std::min<uint64_t>(
      {n_rays, limit / kWorkBytesPerRay,
       uint64_t{kRaysPerGroup} * kMaxGroupsX * ctx_->limits().max_groups_y});
  const int64_t n_prims = n_primitives();
  const std::pair<uint64_t, const char*> sizes[] = {
      {(static_cast<uint64_t>(n_prims) + 1) * sizeof(MicrowavePrimitive),
       "the microwave primitive table"},
      {r.material_map.size() * 4, "material_map"},
      {r.passive_soil.size() * 4, "passive_soil_table"},
      {r.active_soil.size() * 4, "active_soil_table"},
      {r.smooth_soil.size() * 4, "smooth_soil_table"},
      {r.vegetation_parameters.size() * 4, "vegetation_parameters"},
      {r.lut_info.size() * 4, "lut_info"},
      {r.mueller_lut.size() * 4, "mueller_lut"},
      {r.cosine_cdf.size() * 4, "cosine_cdf"},
      {r.azimuth_cdf.size() * 4, "azimuth_cdf"},
      {r.trunk_response.size() * 4, "trunk_response_table"},
      {r.trunk_parameters.size() * 4, "trunk_parameters"},
      {r.trunk_dihedral.size() * 4, "trunk_dihedral_scattering"},
      {r.dihedral_ground.size() * 4, "dihedral_ground_table"}};
  for (const auto& [bytes, what] : sizes) check_storage(bytes, what);

  const std::lock_guard<std::recursive_mutex> lock(simulation_mutex_);
  // Per-primitive records, then the scene's z range for walks through the repeating tile.
  std::vector<MicrowavePrimitive> records;
  records.reserve(static_cast<size_t>(n_prims) + 1);
  std::vector<uint32_t> bases;
  for (const InstanceShading& s : shading_) {
    bases.push_back(s.first_primitive);
    const HostMesh& mesh = desc_.meshes()[s.mesh];
    for (uint32_t t = 0; t < mesh.triangles.size(); ++t) {
      const PrimitiveRecord g = primitive_record(mesh, s.transform, t, 0);
      MicrowavePrimitive m{};
      m.normal[0] = g.normal.x;
      m.normal[1] = g.normal.y;
      m.normal[2] = g.normal.z;
      m.material_id = static_cast<int32_t>(mesh.material_id);
      records.push_back(m);
    }
  }
  MicrowavePrimitive extent{};
  extent.normal[0] = bounds_.lo[2];
  extent.normal[1] = bounds_.hi[2];
  extent.material_id = -1;
  records.push_back(extent);

  // Every input in its slot (an empty one as a single zero), the per-ray buffers at the size of
  // the largest dispatch.
  const float zero = 0.f;
  const auto upload = [&](MicrowaveSlot slot, const void* data, uint64_t bytes) {
    VulkanBuffer& b = microwave_buffers_[slot];
    if (bytes == 0) {
      data = &zero;
      bytes = sizeof zero;
    }
    ensure_capacity(*ctx_, b, bytes, kUsageStorage, 0);
    b.upload(data, bytes);
  };
  const auto floats = [&](MicrowaveSlot slot, const std::vector<float>& v) {
    upload(slot, v.data(), v.size() * sizeof(float));
  };
  upload(kPrimitives, records.data(), records.size() * sizeof(MicrowavePrimitive));
  upload(kBases, bases.data(), bases.size() * sizeof(uint32_t));
  upload(kMaterialMap, r.material_map.data(), r.material_map.size() * sizeof(int32_t));
  floats(kPassiveSoil, r.passive_soil);
  floats(kActiveSoil, r.active_soil);
  floats(kSmoothSoil, r.smooth_soil);
  floats(kVegetation, r.vegetation_parameters);
  upload(kLutInfo, r.lut_info.data(), r.lut_info.size() * sizeof(uint32_t));
  floats(kMueller, r.mueller_lut);
  floats(kCosineCdf, r.cosine_cdf);
  floats(kAzimuthCdf, r.azimuth_cdf);
  floats(kTrunkResponse, r.trunk_response);
  floats(kTrunkParameters, r.trunk_parameters);
  floats(kTrunkDihedral, r.trunk_dihedral);
  floats(kDihedralGround, r.dihedral_ground);
  for (MicrowaveSlot slot : {kOrigins, kDirections, kOutput})
    ensure_capacity(*ctx_, microwave_buffers_[slot], per_dispatch * 16, kUsageStorage, 0);
  ensure_capacity(*ctx_, microwave_buffers_[kWork], per_dispatch * kWorkBytesPerRay,
                  kUsageStorage, 0);

  if (pipelines_.microwave().pipeline == VK_NULL_HANDLE) pipelines_.create_microwave_pipeline();
  const ComputePipeline& pipeline = pipelines_.microwave();
  PerCallDescriptorSet set(*ctx_, pipeline.set_layout, 19, "microwave");
  // Binding b + 1 holds slot b.
  static const char* const kNames[] = {
      "the ray origins", "the ray directions", "the microwave primitive table",
      "the instance base table", "material_map", "passive_soil_table", "active_soil_table",
      "smooth_soil_table", "vegetation_parameters", "lut_info", "mueller_lut", "cosine_cdf",
      "azimuth_cdf", "trunk_response_table", "trunk_parameters", "trunk_dihedral_scattering",
      "dihedral_ground_table", "the microwave work area", "the microwave results"};
  static_assert(sizeof kNames / sizeof kNames[0] == kOutput + 1, "one name per binding");
  std::vector<StorageBinding> bound;
  for (int b = kOrigins; b <= kOutput; ++b) bound.push_back({&microwave_buffers_[b], kNames[b]});
  set.write(tlas_.handle(), bound);

  MicrowaveParams params{};
  params.active_mode = r.active_mode ? 1 : 0;
  params.max_depth = static_cast<uint32_t>(r.max_depth);
  params.soil_count = static_cast<uint32_t>(S);
  params.vegetation_count = static_cast<uint32_t>(V);
  params.response_table_size = static_cast<uint32_t>(R);
  params.repetition_count = static_cast<uint32_t>(std::max(0, desc_.repetition().count));
  params.trunk_count = static_cast<uint32_t>(T);
  params.n_primitives = static_cast<uint32_t>(n_prims);
  params.air_temperature = r.air_temperature;
  params.atmosphere_tau = r.atmosphere_tau;
  params.scene_size_x = desc_.repetition().x_size;
  params.scene_size_y = desc_.repetition().y_size;
  params.seed[0] = static_cast<uint32_t>(r.seed);
  params.seed[1] = static_cast<uint32_t>(r.seed >> 32);

  std::vector<float> out(static_cast<size_t>(n_rays) * 4);
  SimulationProfile prof;
  prof.items = n_rays;
  const Clock::time_point start = Clock::now();
  for (uint64_t first = 0; first < n_rays; first += per_dispatch) {
    const uint64_t count = std::min(per_dispatch, n_rays - first);
    microwave_buffers_[kOrigins].upload(r.origins.data() + 4 * first, count * 16);
    microwave_buffers_[kDirections].upload(r.directions.data() + 4 * first, count * 16);
    const uint64_t groups = (count + kRaysPerGroup - 1) / kRaysPerGroup;
    const uint32_t gx = static_cast<uint32_t>(std::min<uint64_t>(groups, kMaxGroupsX));
    const uint32_t gy = static_cast<uint32_t>((groups + gx - 1) / gx);
    params.rays = static_cast<uint32_t>(count);
    params.first_ray = static_cast<uint32_t>(first);
    params.groups_x = gx;
    ctx_->submit_immediate([&](VkCommandBuffer cmd) {
      for (uint32_t pass = 0; pass < 3; ++pass) {
        params.pass = pass;
        record_pushed_dispatch(cmd, pipeline.pipeline, pipeline.layout, set.set(), &params,
                               sizeof params, gx, gy);
      }
      record_host_barrier(cmd);
    });
    prof.dispatches += 3;
    microwave_buffers_[kOutput].download(out.data() + 4 * first, count * 16);
    prof.rays_pending = count;
    if (hooks.poll) hooks.poll();
  }
  prof.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  simulation_profile_ = prof;
  return out;
}

SimulationProfile VulkanSceneManager::last_simulation_profile() const {
  const std::lock_guard<std::recursive_mutex> lock(simulation_mutex_);
  SimulationProfile p = simulation_profile_;
  if (p.rays_pending > 0) {
    // The microwave shader leaves each ray's query count in its work area; with several
    // dispatches only the last one's are left, and the rest are taken to be alike.
    uint64_t rays = 0;
    const uint64_t n = p.rays_pending;
    microwave_buffers_[kWork].read_mapped(n * kWorkBytesPerRay, [&](const void* data) {
      const uint32_t* words = static_cast<const uint32_t*>(data);
      for (uint64_t i = 0; i < n; ++i) rays += words[i * (kWorkBytesPerRay / 4) + kWorkRaysWord];
    });
    p.rays = static_cast<uint64_t>(static_cast<double>(rays) * static_cast<double>(p.items) /
                                   static_cast<double>(n));
    p.rays_pending = 0;
  }
  return p;
}

}  // namespace velm::vulkan
