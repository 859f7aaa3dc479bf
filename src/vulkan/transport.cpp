// simulate_flux and simulate_forward_radiation: photons traced forward from the sun and the sky by
// the forward shader, in batches of 2^21 photons with the progress callable after each (and
// Ctrl-C polls after every 2^18). The
// shader sums into fixed-point cells (a 32-bit fraction and a 64-bit integer part) counted in a
// unit chosen per run, which the host converts to floats at the end.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "physics/bsdf.h"
#include "vulkan/descriptors.h"
#include "vulkan/scene_manager.h"

namespace velm::vulkan {

namespace {

constexpr int64_t kPhotonBatch = 2097152;
// Photons per dispatch: a batch runs as dispatches of at most this many, with a Ctrl-C poll after
// each (a batch of 2^21 photons takes seconds on lavapipe, more in a forest).
constexpr int64_t kPhotonsPerPoll = 262144;
constexpr int64_t kMaxPhotons = 4294967295;
constexpr uint32_t kPhotonsPerGroup = 64;
constexpr uint64_t kCellBytes = 12;  // one 64.32 fixed-point cell: fraction word, integer words
// The shader's work queue counts (photon, chunk of 8 bands) items of a batch in 32 bits.
constexpr int32_t kMaxForwardBands =
    static_cast<int32_t>((uint64_t{1} << 32) / kPhotonBatch - 1) * 8;

using Clock = std::chrono::steady_clock;

bool usable_direction(const float* v) {
  const double x = v[0], y = v[1], z = v[2];
  const double len = std::sqrt(x * x + y * y + z * z);
  return len > 0.0 && std::isfinite(len);
}

struct Extent {
  float x = 0.f, y = 0.f;
};

// The horizontal extent photons are spread over and the grid covers: the repeating tile's sizes
// when both are set, else the orthographic sensor's footprint.
Extent photon_extent(const SceneDescription& d) {
  const RepetitionTile& tile = d.repetition();
  if (tile.x_size > 0.f && tile.y_size > 0.f) return {tile.x_size, tile.y_size};
  return {d.sensor().ortho_width, d.sensor().ortho_height};
}

// The checks both transport modes make after their own, with `who` ("Vulkan flux", "Vulkan
// radiation-field") in front: what the shader reads must exist and be usable.
void check_light_and_materials(const SceneDescription& d, const std::string& who, int32_t nb,
                               float prob_sun) {
  if (!(prob_sun >= 0.f && prob_sun <= 1.f))
    throw std::invalid_argument(who + " prob_sun must lie in [0, 1]");
  const SkySettings& sky = d.sky();
  const bool has_sky = sky.hosek_offset >= 0 || sky.constant_offset >= 0;
  if (prob_sun == 0.f && !has_sky)
    throw std::invalid_argument(who + " prob_sun is 0 but the scene has no sky, so no photon "
                                      "source is left");
  const int64_t n = static_cast<int64_t>(d.spectral_params().size());
  const auto& materials = d.materials();
  for (const HostMesh& mesh : d.meshes()) {
    if (mesh.material_id >= materials.size())
      throw std::out_of_range(who + " mesh material id is outside the material table");
    const MaterialRecord& m = materials[mesh.material_id];
    if (int64_t{m.spectral_offset} + int64_t{spectral_block_per_band(m.type)} * nb > n)
      throw std::out_of_range(who + " material spectrum is invalid");
  }
  check_material_fractions(d, who, nb, false);
  if (sky.hosek_offset >= 0 ? int64_t{sky.hosek_offset} + 10 * int64_t{nb} > n
                            : sky.constant_offset >= 0 && int64_t{sky.constant_offset} + nb > n)
    throw std::out_of_range(who + " sky spectrum is invalid");
  if (!usable_direction(d.emitter().direction))
    throw std::invalid_argument(who + " sun direction must be a finite non-zero vector");
  if (sky.hosek_offset >= 0 && prob_sun < 1.f && !usable_direction(sky.hosek_sun))
    throw std::invalid_argument(
        who + " Hosek-Wilkie sky's sun direction must be a finite non-zero vector");
  const RepetitionTile& tile = d.repetition();
  const Extent ext = photon_extent(d);
  if (!std::isfinite(ext.x) || !std::isfinite(ext.y) ||
      (tile.active() && !(std::isfinite(tile.x_size) && std::isfinite(tile.y_size))))
    throw std::invalid_argument(who + " scene extent must be finite");
}

// The product of non-negative counts, or a value above every storage limit when it would not
// fit 64 bits.
uint64_t product(std::initializer_list<uint64_t> counts) {
  uint64_t n = 1;
  for (uint64_t c : counts) {
    if (c != 0 && n > UINT64_MAX / c) return UINT64_MAX;
    n *= c;
  }
  return n;
}

VulkanBuffer storage_buffer(VulkanContext& ctx, uint64_t bytes) {
  return VulkanBuffer::create(ctx, std::max<uint64_t>(bytes, 4), kUsageStorage, kHostMemory);
}

template <class T>
VulkanBuffer upload_table(VulkanContext& ctx, const std::vector<T>& values) {
  VulkanBuffer b = storage_buffer(ctx, values.size() * sizeof(T));
  if (!values.empty()) b.upload(values.data(), values.size() * sizeof(T));
  return b;
}

// The unit of a run's cells, 2^k W: the power of two nearest below the area one photon stands
// for. A photon then deposits what it carries per unit area (its weight in W m^-2 over the
// probability of its source) in that unit, so a cell's 64-bit integer part holds 2^64 such
// deposits whatever the scene's size and photon count, and its 32-bit fraction resolves each to
// 2^-32 of itself. The exponent is kept within the range where 2^-k is a normal float.
int deposit_unit_exponent(float area_per_photon) {
  if (!(area_per_photon > 0.f) || !std::isfinite(area_per_photon)) return 0;
  return std::clamp(std::ilogb(area_per_photon), -120, 120);
}

// Fixed-point cells, zeroed.
VulkanBuffer cell_buffer(VulkanContext& ctx, uint64_t cells) {
  VulkanBuffer b = storage_buffer(ctx, cells * kCellBytes);
  const uint64_t bytes = std::max<uint64_t>(cells * kCellBytes, 4);
  b.write_mapped(bytes, [&](void* p) { std::memset(p, 0, bytes); });
  return b;
}

// The sums of `cells` fixed-point cells as floats in W: (high word 2^32 + middle word + low
// word 2^-32) 2^unit_exponent, in double.
std::vector<float> read_cells(const VulkanBuffer& b, uint64_t cells, int unit_exponent) {
  std::vector<float> out(cells);
  b.read_mapped(std::max<uint64_t>(cells * kCellBytes, 4), [&](const void* p) {
    const uint32_t* words = static_cast<const uint32_t*>(p);
    for (uint64_t i = 0; i < cells; ++i) {
      const uint32_t* w = words + 3 * i;
      const double units = static_cast<double>(w[2]) * 0x1p32 + static_cast<double>(w[1]) +
                           static_cast<double>(w[0]) * 0x1p-32;
      out[i] = static_cast<float>(std::ldexp(units, unit_exponent));
    }
  });
  return out;
}

// Bindings 1 to 6 of both photon modes: the scene tables.
std::vector<StorageBinding> scene_bindings(const PhotonSceneBuffers& b) {
  return {{&b.normals, "the normal table"},     {&b.triangles, "the triangle table"},
          {&b.meshes, "the mesh table"},        {&b.instances, "the instance table"},
          {&b.materials, "the material table"}, {&b.spectral, "the spectral table"}};
}

}  // namespace

ForwardParams VulkanSceneManager::forward_params(int64_t num_photons, int32_t bands, int32_t nx,
                                                 int32_t ny, float prob_sun, int32_t max_depth,
                                                 int32_t rr_depth, uint64_t seed) const {
  const Extent ext = photon_extent(desc_);
  const RepetitionTile& tile = desc_.repetition();
  ForwardParams p{};
  p.bands = static_cast<uint32_t>(bands);
  p.nx = static_cast<uint32_t>(nx);
  p.ny = static_cast<uint32_t>(ny);
  p.max_depth = max_depth;
  p.rr_depth = rr_depth;
  p.extent_x = ext.x;
  p.extent_y = ext.y;
  p.plane_height = desc_.measurement_plane();
  p.area_per_photon = static_cast<float>(static_cast<double>(ext.x) * ext.y /
                                         static_cast<double>(num_photons));
  p.deposit_scale = std::ldexp(1.f, -deposit_unit_exponent(p.area_per_photon));
  std::copy(desc_.emitter().direction, desc_.emitter().direction + 3, p.emitter_direction);
  std::copy(desc_.sky().hosek_sun, desc_.sky().hosek_sun + 3, p.sun_direction);
  p.tile_x = ext.x;
  p.tile_y = ext.y;
  p.scene_max_z = bounds_.hi[2];
  // The shader takes the tile as active from a positive count and the extent; a count without
  // both tile sizes repeats nothing.
  p.repetition_count = tile.active() ? static_cast<float>(tile.count) : 0.f;
  p.sun_offset = static_cast<int32_t>(desc_.emitter().spectral_offset);
  p.sky_offset = desc_.sky().constant_offset;
  p.hosek_offset = desc_.sky().hosek_offset;
  p.prob_sun = prob_sun;
  for (int k = 0; k < 3; ++k) p.scene_min[k] = bounds_.lo[k];
  p.scene_max_xy[0] = bounds_.hi[0];
  p.scene_max_xy[1] = bounds_.hi[1];
  p.terrain_instance = -1;
  p.seed[0] = static_cast<uint32_t>(seed);
  p.seed[1] = static_cast<uint32_t>(seed >> 32);
  return p;
}

void VulkanSceneManager::run_forward(ForwardParams& params, VulkanBuffer& params_buffer,
                                     const std::vector<StorageBinding>& bindings,
                                     const std::string& mode, int64_t num_photons,
                                     const HostHooks& hooks) {
  if (pipelines_.flux().pipeline == VK_NULL_HANDLE) pipelines_.create_flux_pipeline();
  const ComputePipeline& pipeline = pipelines_.flux();
  PerCallDescriptorSet set(*ctx_, pipeline.set_layout, 16, mode);
  set.write(tlas_.handle(), bindings);

  SimulationProfile prof;
  prof.items = static_cast<uint64_t>(num_photons);
  const Clock::time_point start = Clock::now();
  for (int64_t first = 0; first < num_photons; first += kPhotonBatch) {
    const int64_t batch = std::min(kPhotonBatch, num_photons - first);
    // Photon g follows stream g whichever dispatch traces it: parts of a batch add up to it.
    for (int64_t part = first; part < first + batch; part += kPhotonsPerPoll) {
      const int64_t count = std::min(kPhotonsPerPoll, first + batch - part);
      params.batch_photons = static_cast<uint32_t>(count);
      params.first_photon = static_cast<uint32_t>(part);
      params.rays = 0;
      params.next_item = 0;
      params_buffer.upload(&params, sizeof params);
      const uint32_t gx =
          static_cast<uint32_t>((count + kPhotonsPerGroup - 1) / kPhotonsPerGroup);
      ctx_->submit_immediate([&](VkCommandBuffer cmd) {
        record_dispatch(cmd, pipeline.pipeline, pipeline.layout, set.set(), gx, params.bands);
      });
      uint32_t rays = 0;
      params_buffer.download(&rays, sizeof rays, offsetof(ForwardParams, rays));
      prof.rays += rays;
      ++prof.dispatches;
      if (hooks.poll) hooks.poll();
    }
    prof.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (hooks.progress)
      hooks.progress(static_cast<uint64_t>(first + batch), static_cast<uint64_t>(num_photons),
                     static_cast<float>(prof.seconds * 1e3));
  }
  simulation_profile_ = prof;
}

PhotonSceneBuffers VulkanSceneManager::upload_photon_scene(const SceneTables& t,
                                                          const std::vector<float>& spectral) {
  for (const auto& [bytes, what] :
       {std::pair<uint64_t, const char*>{t.vertices.size() * 4, "the vertex table"},
        {t.normals.size() * 4, "the normal table"},
        {t.triangles.size() * 4, "the triangle table"},
        {t.meshes.size() * sizeof(MeshTableRecord), "the mesh table"},
        {t.instances.size() * sizeof(InstanceTableRecord), "the instance table"},
        {t.materials.size() * sizeof(MaterialTableRecord), "the material table"},
        {spectral.size() * 4, "the spectral table"}})
    check_storage(bytes, what);
  PhotonSceneBuffers b;
  b.normals = upload_table(*ctx_, t.normals);
  b.triangles = upload_table(*ctx_, t.triangles);
  b.meshes = upload_table(*ctx_, t.meshes);
  b.instances = upload_table(*ctx_, t.instances);
  b.materials = upload_table(*ctx_, t.materials);
  b.spectral = upload_table(*ctx_, spectral);
  b.vertices = upload_table(*ctx_, t.vertices);
  b.unused = storage_buffer(*ctx_, 4);
  b.params = storage_buffer(*ctx_, sizeof(ForwardParams));
  return b;
}

void VulkanSceneManager::check_forward_bands(int32_t nb, const char* who) const {
  const uint64_t limit = std::min<uint64_t>(ctx_->limits().max_groups_y, kMaxForwardBands);
  if (static_cast<uint64_t>(nb) > limit)
    throw std::runtime_error(std::string(who) + ": " + std::to_string(nb) + " bands exceed the " +
                             std::to_string(limit) + " bands one batch can trace on this device");
}

FluxResult VulkanSceneManager::simulate_flux(const FluxRequest& r, const HostHooks& hooks) {
  if (!desc_.is_built()) throw std::runtime_error("Vulkan: build the scene before simulating flux");
  if (r.nx < 1 || r.ny < 1)
    throw std::invalid_argument("Vulkan flux grid dimensions must be positive");
  if (r.num_photons < 1) throw std::invalid_argument("Vulkan flux photon count must be positive");
  if (r.num_photons > kMaxPhotons)
    throw std::invalid_argument("Vulkan flux currently supports at most 2^32-1 photons per run");
  const int32_t nb = r.num_bands;
  if (nb < 1 || nb != desc_.num_bands())
    throw std::invalid_argument("Vulkan flux band count must match the built scene");
  if (r.max_depth < 1 || r.rr_depth < 0)
    throw std::invalid_argument("Vulkan flux path depths are invalid");
  const auto& materials = desc_.materials();
  const std::vector<float>& spectral = desc_.spectral_params();
  if (materials.empty() || spectral.empty())
    throw std::runtime_error("Vulkan flux requires optical scene data");
  const int64_t sun_offset = desc_.emitter().spectral_offset;
  if (sun_offset < 0 || sun_offset + nb > static_cast<int64_t>(spectral.size()))
    throw std::out_of_range("Vulkan flux sun spectrum is invalid");
  const Extent ext = photon_extent(desc_);
  if (!(ext.x > 0.f) || !(ext.y > 0.f))
    throw std::runtime_error("Vulkan flux scene extent is unknown");
  for (const HostMesh& mesh : desc_.meshes())
    if (mesh.normals.empty())
      throw std::runtime_error("Vulkan flux requires one normal per vertex");
  for (const MaterialRecord& m : materials)
    if (m.type != kMaterialLambertian && m.type != kMaterialRpv && m.type != kMaterialLeaf)
      throw std::runtime_error(
          "Vulkan flux supports diffuse, RPV, and diffuse-transmitting materials");
  check_light_and_materials(desc_, "Vulkan flux", nb, r.prob_sun);
  const uint64_t cells = product({static_cast<uint64_t>(r.ny), static_cast<uint64_t>(r.nx),
                                  static_cast<uint64_t>(nb)});
  check_storage(product({cells, kCellBytes}), "a flux map (ny x nx x bands cells of 12 bytes)");
  check_forward_bands(nb, "Vulkan flux");

  const std::lock_guard<std::recursive_mutex> lock(simulation_mutex_);
  const SceneTables t = scene_tables();
  PhotonSceneBuffers sb = upload_photon_scene(t, spectral);
  VulkanBuffer down = cell_buffer(*ctx_, cells), up = cell_buffer(*ctx_, cells);
  const uint64_t split_cells = r.decompose ? cells : 0;
  VulkanBuffer direct = cell_buffer(*ctx_, split_cells), diffuse = cell_buffer(*ctx_, split_cells);

  ForwardParams p =
      forward_params(r.num_photons, nb, r.nx, r.ny, r.prob_sun, r.max_depth, r.rr_depth, r.seed);
  p.max_bounces = std::max(0, r.max_bounces);
  p.decompose = r.decompose ? 1 : 0;
  p.mode = 0;
  // Bindings 1 to 16; the vertices take binding 12, which the flux mode leaves free.
  std::vector<StorageBinding> bindings = scene_bindings(sb);
  bindings.insert(bindings.end(), {{&down, "the downwelling flux map"},
                                   {&up, "the upwelling flux map"},
                                   {&direct, "the direct downwelling flux map"},
                                   {&diffuse, "the diffuse downwelling flux map"},
                                   {&sb.params, "the parameter record"},
                                   {&sb.vertices, "the vertex table"}});
  bindings.resize(16, {&sb.unused, "a placeholder"});
  run_forward(p, sb.params, bindings, "flux", r.num_photons, hooks);

  const int unit = deposit_unit_exponent(p.area_per_photon);
  FluxResult out;
  out.upwelling = read_cells(up, cells, unit);
  if (r.decompose) {
    // Downwelling is the float sum of its two parts, so that direct + diffuse equals it exactly
    // in the arrays the caller receives (as the CPU backend reports it).
    out.direct = read_cells(direct, cells, unit);
    out.diffuse = read_cells(diffuse, cells, unit);
    out.downwelling.resize(cells);
    for (uint64_t i = 0; i < cells; ++i) out.downwelling[i] = out.direct[i] + out.diffuse[i];
  } else {
    out.downwelling = read_cells(down, cells, unit);
  }
  return out;
}

RadiationField VulkanSceneManager::simulate_forward_radiation(const RadiationRequest& r,
                                                              const HostHooks& hooks) {
  if (!desc_.is_built())
    throw std::runtime_error("Vulkan: build the scene before simulating a radiation field");
  const std::vector<float>& heights = r.layer_heights;
  if (r.nx < 1 || r.ny < 1 || heights.size() < 2)
    throw std::invalid_argument("Vulkan radiation-field grid is invalid");
  for (size_t i = 0; i + 1 < heights.size(); ++i)
    if (!(heights[i] < heights[i + 1]))
      throw std::invalid_argument(
          "Vulkan radiation-field layer heights must be strictly increasing");
  if (r.num_photons < 1 || r.num_photons > kMaxPhotons)
    throw std::invalid_argument("Vulkan radiation-field photon count must be in [1, 2^32-1]");
  const int32_t nb = r.num_bands;
  if (nb < 1 || nb != desc_.num_bands())
    throw std::invalid_argument("Vulkan radiation-field band count must match the built scene");
  if (r.max_depth < 1 || r.rr_depth < 0)
    throw std::invalid_argument("Vulkan radiation-field path depths are invalid");
  if (r.terrain_instance_id >= desc_.num_instances())
    throw std::out_of_range("Vulkan terrain instance id is invalid");
  const Extent ext = photon_extent(desc_);
  if (!(ext.x > 0.f) || !(ext.y > 0.f))
    throw std::runtime_error("Vulkan radiation-field scene extent is unknown");
  for (const HostMesh& mesh : desc_.meshes())
    if (mesh.normals.empty())
      throw std::runtime_error("Vulkan radiation field requires one normal per vertex");
  const auto& materials = desc_.materials();
  for (const MaterialRecord& m : materials)
    if (m.type != kMaterialLambertian && m.type != kMaterialRpv && m.type != kMaterialLeaf)
      throw std::runtime_error(
          "Vulkan radiation field supports diffuse, RPV, and diffuse-transmitting materials");
  const std::vector<float>& spectral = desc_.spectral_params();
  if (materials.empty() || spectral.empty())
    throw std::runtime_error("Vulkan radiation-field requires optical scene data");
  const int64_t sun_offset = desc_.emitter().spectral_offset;
  if (sun_offset < 0 || sun_offset + nb > static_cast<int64_t>(spectral.size()))
    throw std::out_of_range("Vulkan radiation-field sun spectrum is invalid");
  check_light_and_materials(desc_, "Vulkan radiation-field", nb, r.prob_sun);
  const uint64_t layers = heights.size() - 1;
  const uint64_t grid_cells = product({layers, static_cast<uint64_t>(r.ny),
                                       static_cast<uint64_t>(r.nx), static_cast<uint64_t>(nb)});
  check_storage(product({grid_cells, kCellBytes}),
                "the grid (layers x ny x nx x bands cells of 12 bytes)");
  const uint64_t n_prims = static_cast<uint64_t>(n_primitives());
  const uint64_t leaf_cells =
      product({static_cast<uint64_t>(nb), std::max<uint64_t>(1, n_prims)});
  if (r.per_leaf)
    check_storage(product({leaf_cells, kCellBytes}),
                  "the leaf tally (primitives x bands cells of 12 bytes)");
  check_forward_bands(nb, "Vulkan radiation field");

  const std::lock_guard<std::recursive_mutex> lock(simulation_mutex_);
  const SceneTables t = scene_tables();
  PhotonSceneBuffers sb = upload_photon_scene(t, spectral);
  VulkanBuffer grid = cell_buffer(*ctx_, grid_cells);
  VulkanBuffer leaf = cell_buffer(*ctx_, r.per_leaf ? leaf_cells : 0);
  VulkanBuffer terrain = cell_buffer(*ctx_, static_cast<uint64_t>(nb));
  VulkanBuffer layer_table = upload_table(*ctx_, heights);
  VulkanBuffer bases = upload_table(*ctx_, t.instance_bases);

  ForwardParams p =
      forward_params(r.num_photons, nb, r.nx, r.ny, r.prob_sun, r.max_depth, r.rr_depth, r.seed);
  p.mode = 1;
  p.layers = static_cast<uint32_t>(layers);
  p.terrain_instance = r.terrain_instance_id;
  p.per_leaf = r.per_leaf ? 1 : 0;
  p.n_primitives = t.n_primitives;
  // Bindings 1 to 16; the vertices take binding 7, which the radiation mode leaves free.
  std::vector<StorageBinding> bindings = scene_bindings(sb);
  bindings.insert(bindings.end(), {{&sb.vertices, "the vertex table"},
                                   {&sb.unused, "a placeholder"},
                                   {&sb.unused, "a placeholder"},
                                   {&sb.unused, "a placeholder"},
                                   {&sb.params, "the parameter record"},
                                   {&grid, "the grid"},
                                   {&leaf, "the leaf tally"},
                                   {&terrain, "the terrain tally"},
                                   {&layer_table, "the layer heights"},
                                   {&bases, "the instance base table"}});
  run_forward(p, sb.params, bindings, "radiation", r.num_photons, hooks);

  const int unit = deposit_unit_exponent(p.area_per_photon);
  RadiationField out;
  out.nx = r.nx;
  out.ny = r.ny;
  out.layers = static_cast<int32_t>(layers);
  out.bands = nb;
  out.grid = read_cells(grid, grid_cells, unit);
  if (r.per_leaf && n_prims >= 1) out.leaf = read_cells(leaf, leaf_cells, unit);
  if (r.terrain_instance_id >= 0)
    out.terrain = read_cells(terrain, static_cast<uint64_t>(nb), unit);
  return out;
}

}  // namespace velm::vulkan
