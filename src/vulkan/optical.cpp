// simulate_backward: the sensor image by backward path tracing in one of the six band-capacity
// variants of the optical shader. The host checks the scene, uploads the tables of bindings 1 to
// 12 into buffers the scene keeps between calls, dispatches the image in sample batches and row
// bands, and reads the accumulator back as the shader left it (the mean over all samples).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "physics/bsdf.h"
#include "vulkan/descriptors.h"
#include "vulkan/mode_records.h"
#include "vulkan/scene_manager.h"

namespace velm::vulkan {

namespace {

// Positions of the optical buffers in the scene's cache: binding b at b - 1, then the image's
// read-back twin.
enum OpticalSlot {
  kVertices,
  kNormals,
  kTriangles,
  kMeshes,
  kInstances,
  kMaterials,
  kSpectral,
  kImage,
  kParams,
  kBases,
  kTemperatures,
  kSif,
  kReadback,
};

constexpr uint32_t kSampleBatch = 16;
constexpr uint64_t kItemsPerDispatch = 4194304;  // pixel-sample-band-group items
constexpr uint32_t kRouletteDepth = 3;

// Work-group shape of a variant: 8 x 8 up to 32 bands, 8 x 4 for 64, 4 x 4 for 128.
void group_shape(int variant, uint32_t& lx, uint32_t& ly) {
  lx = variant == 5 ? 4 : 8;
  ly = variant >= 4 ? 4 : 8;
}

using Clock = std::chrono::steady_clock;

// The unit vector of a finite non-zero direction; false otherwise (lengths beyond the float
// range are fine: the test is made in double).
bool usable_direction(const float* v) {
  const double x = v[0], y = v[1], z = v[2];
  const double len = std::sqrt(x * x + y * y + z * z);
  return len > 0.0 && std::isfinite(len);
}

// The sensor as the paths read it (the orthographic extent and the field of view are checked
// first, with their own messages): a finite camera whose axes span space, a finite extent, and
// a field of view the projection can take.
void check_sensor_geometry(const SensorBlock& s) {
  const float* m = s.camera_to_world;
  bool finite = true;
  for (int i = 0; i < 12; ++i) finite = finite && std::isfinite(m[i]);
  for (int r = 0; r < 3; ++r) finite = finite && std::fabs(m[4 * r + 3]) < 1e18f;
  const Vec3 cx(m[0], m[4], m[8]), cy(m[1], m[5], m[9]), cz(m[2], m[6], m[10]);
  const float det = dot(cross(cx, cy), cz);
  if (!finite || !(std::fabs(det) > 1.1920929e-7f * length(cx) * length(cy) * length(cz)))
    throw std::invalid_argument(
        "Vulkan: the camera matrix must be finite, with a position within 1e18 of the origin "
        "and axes (its first three columns) that span space");
  if (s.type == kSensorOrthographic) {
    if (!std::isfinite(s.ortho_width) || !std::isfinite(s.ortho_height))
      throw std::invalid_argument("Vulkan: orthographic sensor extent must be finite");
  } else if (s.type == kSensorPerspective) {
    if (!(s.fov < kPi))
      throw std::invalid_argument("Vulkan: a perspective sensor's field of view must be below "
                                  "180 degrees");
  } else if (!(s.fov < kTwoPi)) {
    throw std::invalid_argument("Vulkan: a fisheye sensor's field of view must be below 360 "
                                "degrees");
  }
}

}  // namespace

std::vector<float> VulkanSceneManager::simulate_backward(int32_t spp, int32_t max_depth,
                                                         const HostHooks& hooks, uint64_t seed) {
  if (!desc_.is_built())
    throw std::runtime_error("Vulkan: build the scene before simulating an image");
  const SensorBlock& sensor = desc_.sensor();
  if (sensor.type != kSensorOrthographic && sensor.type != kSensorPerspective &&
      sensor.type != kSensorFisheye)
    throw std::runtime_error(
        "Vulkan optical prototype supports orthographic, perspective, and fisheye sensors");
  if (sensor.width < 1 || sensor.height < 1)
    throw std::invalid_argument("Vulkan: sensor image dimensions must be positive");
  if (sensor.type == kSensorOrthographic) {
    if (!(sensor.ortho_width > 0.f) || !(sensor.ortho_height > 0.f))
      throw std::invalid_argument("Vulkan: orthographic sensor extent must be positive");
  } else if (!(sensor.fov > 0.f)) {
    throw std::invalid_argument("Vulkan: sensor field of view must be positive");
  }
  const int32_t nb = desc_.num_bands();
  if (nb < 1) throw std::invalid_argument("Vulkan: number of bands must be positive");
  if (spp < 1) throw std::invalid_argument("Vulkan: samples per pixel must be positive");
  if (max_depth < 1) throw std::invalid_argument("Vulkan: maximum path depth must be positive");
  const auto& materials = desc_.materials();
  const std::vector<float>& spectral = desc_.spectral_params();
  if (materials.empty()) throw std::runtime_error("Vulkan: scene has no optical materials");
  if (spectral.empty()) throw std::runtime_error("Vulkan: spectral parameter buffer is empty");
  const ThermalSettings& thermal = desc_.thermal();
  if (thermal.enabled && thermal.wavelengths.size() != static_cast<size_t>(nb))
    throw std::invalid_argument("Vulkan: thermal mode requires one wavelength per band");
  const PrimitiveOverrides& overrides = desc_.primitive_overrides();
  const bool has_sif = !overrides.sif_spectra.empty();
  if (has_sif && overrides.n_sif_bands != nb)
    throw std::invalid_argument("Vulkan: primitive SIF band count must match the simulation bands");
  const int64_t n_params = static_cast<int64_t>(spectral.size());
  const int64_t sun_offset = desc_.emitter().spectral_offset;
  if (sun_offset < 0 || sun_offset + nb > n_params)
    throw std::out_of_range("Vulkan: sun spectrum is outside the spectral parameter buffer");
  const SkySettings& sky = desc_.sky();
  if (sky.constant_offset >= 0 && int64_t{sky.constant_offset} + nb > n_params)
    throw std::out_of_range("Vulkan: sky spectrum is outside the spectral parameter buffer");
  if (sky.hosek_offset >= 0 && int64_t{sky.hosek_offset} + 10 * int64_t{nb} > n_params)
    throw std::out_of_range(
        "Vulkan: Hosek-Wilkie coefficients are outside the spectral parameter buffer");
  for (const HostMesh& mesh : desc_.meshes()) {
    if (mesh.normals.empty())
      throw std::runtime_error("Vulkan optical prototype requires one normal per vertex");
    if (mesh.material_id >= materials.size())
      throw std::out_of_range("Vulkan: mesh material id is outside the material table");
    const MaterialRecord& m = materials[mesh.material_id];
    if (m.type != kMaterialLambertian && m.type != kMaterialRpv && m.type != kMaterialLeaf)
      throw std::runtime_error(
          "Vulkan optical prototype supports diffuse, RPV, and diffuse-transmitting materials");
    if (int64_t{m.spectral_offset} + int64_t{spectral_block_per_band(m.type)} * nb > n_params)
      throw std::out_of_range("Vulkan: material spectrum is outside the spectral parameter buffer");
  }

  check_material_fractions(desc_, "Vulkan", nb, thermal.enabled);

  // Beyond the checks above: what the shader reads must be usable, and every table must fit one
  // storage binding.
  check_sensor_geometry(sensor);
  const bool has_temperatures = !overrides.temperatures.empty();
  bool sun_read = !overrides.sif_only && !thermal.enabled;
  if (!overrides.sif_only && thermal.enabled && !has_temperatures)
    for (const MaterialRecord& m : materials) sun_read |= m.scalars[3] > 0.f && m.scalars[4] > 0.f;
  if (sun_read && !usable_direction(desc_.emitter().direction))
    throw std::invalid_argument("Vulkan: the sun direction must be a finite non-zero vector");
  if (!overrides.sif_only && sky.hosek_offset >= 0 && !usable_direction(sky.hosek_sun))
    throw std::invalid_argument(
        "Vulkan: the Hosek-Wilkie sky's sun direction must be a finite non-zero vector");
  if (thermal.enabled && !overrides.sif_only) {
    // Temperatures are read as kelvin by Planck's law: a NaN or negative one has no radiance.
    const auto usable = [](float t) { return t >= 0.f && std::isfinite(t); };
    for (const MaterialRecord& m : materials)
      if (!usable(m.scalars[2]) || !usable(m.scalars[3]) || !usable(m.scalars[4]))
        throw std::invalid_argument("Vulkan: material temperatures (scalar_params 2 to 4) must be "
                                    "finite and non-negative kelvin");
    for (float t : overrides.temperatures)
      if (!usable(t))
        throw std::invalid_argument(
            "Vulkan: primitive temperatures must be finite and non-negative kelvin");
  }
  const RepetitionTile& tile = desc_.repetition();
  if (tile.active() && !(std::isfinite(tile.x_size) && std::isfinite(tile.y_size)))
    throw std::invalid_argument("Vulkan: the repeating tile size must be finite");
  const int64_t n_prims = n_primitives();
  if (has_temperatures && static_cast<int64_t>(overrides.temperatures.size()) != n_prims)
    throw std::runtime_error("Vulkan primitive temperatures have an invalid length");
  if (has_sif && static_cast<int64_t>(overrides.sif_spectra.size()) != int64_t{nb} * n_prims)
    throw std::invalid_argument(
        "Vulkan primitive SIF spectrum size must equal bands * n_primitives()");
  const uint64_t width = static_cast<uint64_t>(sensor.width);
  const uint64_t height = static_cast<uint64_t>(sensor.height);
  // An image too large for one storage binding is made in ranges of rows, each in the whole
  // accumulator; one row must fit.
  const uint64_t row_bytes = width * static_cast<uint64_t>(nb) * sizeof(float);
  check_storage(row_bytes, "one row of the image accumulator (width x bands floats)");
  const uint64_t rows_per_range = std::min(height, ctx_->limits().max_storage_range / row_bytes);
  const uint64_t image_bytes = rows_per_range * row_bytes;
  const int variant = optical_variant(nb);
  uint32_t lx = 8, ly = 8;
  group_shape(variant, lx, ly);
  if ((width + lx - 1) / lx > ctx_->limits().max_groups_x)
    throw std::runtime_error("Vulkan: a sensor image " + std::to_string(width) +
                             " pixels wide exceeds the device's limit of " +
                             std::to_string(uint64_t{ctx_->limits().max_groups_x} * lx) +
                             " columns per dispatch");

  const std::lock_guard<std::recursive_mutex> lock(simulation_mutex_);
  if (optical_running_)
    throw std::runtime_error("Vulkan: an image simulation of this scene is already running");
  struct Running {
    bool& flag;
    explicit Running(bool& f) : flag(f) { flag = true; }
    ~Running() { flag = false; }
  } running(optical_running_);

  // 1. Tables and the parameter record.
  const SceneTables tables = scene_tables();
  std::vector<float> spectral_table = spectral;
  int32_t thermal_offset = -1;
  if (thermal.enabled) {
    thermal_offset = static_cast<int32_t>(spectral_table.size());
    spectral_table.insert(spectral_table.end(), thermal.wavelengths.begin(),
                          thermal.wavelengths.end());
  }
  const std::vector<float> no_values = {0.f};
  const std::vector<float>& temperatures = has_temperatures ? overrides.temperatures : no_values;
  const std::vector<float>& sif = has_sif ? overrides.sif_spectra : no_values;

  OpticalParams params{};
  params.width = sensor.width;
  params.height = sensor.height;
  params.bands = static_cast<uint32_t>(nb);
  params.batch_samples = static_cast<uint32_t>(spp);
  params.seed[0] = static_cast<uint32_t>(seed);
  params.seed[1] = static_cast<uint32_t>(seed >> 32);
  params.ortho_width = sensor.ortho_width;
  params.ortho_height = sensor.ortho_height;
  params.fov = sensor.fov;
  std::memcpy(&params.sensor_word84, reinterpret_cast<const char*>(&sensor) + 84, 4);
  params.sensor_type = sensor.type;
  params.projection_type = sensor.projection_type;
  params.terrain_following = desc_.terrain_following() ? 1 : 0;
  std::copy(sensor.camera_to_world, sensor.camera_to_world + 16, params.camera_to_world);
  std::copy(desc_.emitter().direction, desc_.emitter().direction + 3, params.emitter_direction);
  std::copy(sky.hosek_sun, sky.hosek_sun + 3, params.sun_direction);
  params.scene_size_x = tile.x_size;
  params.scene_size_y = tile.y_size;
  params.scene_max_z = bounds_.hi[2];
  params.repetition_count = static_cast<float>(tile.count);
  params.thermal = thermal.enabled ? 1 : 0;
  params.thermal_offset = thermal_offset;
  params.has_temperatures = has_temperatures ? 1 : 0;
  params.sif_only = overrides.sif_only ? 1 : 0;
  params.has_sif = has_sif ? 1 : 0;
  params.n_primitives = static_cast<uint32_t>(n_prims);
  params.bands_again = static_cast<uint32_t>(nb);
  params.scene_min_z = bounds_.lo[2];
  params.sun_offset = static_cast<int32_t>(sun_offset);
  params.sky_offset = sky.constant_offset;
  params.max_depth = static_cast<uint32_t>(max_depth);
  params.hosek_offset = sky.hosek_offset;
  params.total_samples = static_cast<uint32_t>(spp);
  params.roulette_depth = kRouletteDepth;

  // 2. Buffers, grown as needed and kept; the image and its read-back twin by their own rule.
  struct Upload {
    OpticalSlot slot;
    const void* data;
    uint64_t bytes;
    const char* what;
  };
  const Upload uploads[] = {
      {kVertices, tables.vertices.data(), tables.vertices.size() * 4, "the vertex table"},
      {kNormals, tables.normals.data(), tables.normals.size() * 4, "the normal table"},
      {kTriangles, tables.triangles.data(), tables.triangles.size() * 4, "the triangle table"},
      {kMeshes, tables.meshes.data(), tables.meshes.size() * sizeof(MeshTableRecord),
       "the mesh table"},
      {kInstances, tables.instances.data(),
       tables.instances.size() * sizeof(InstanceTableRecord), "the instance table"},
      {kMaterials, tables.materials.data(),
       tables.materials.size() * sizeof(MaterialTableRecord), "the material table"},
      {kSpectral, spectral_table.data(), spectral_table.size() * 4, "the spectral table"},
      {kParams, &params, sizeof params, "the parameter record"},
      {kBases, tables.instance_bases.data(), tables.instance_bases.size() * 4,
       "the instance base table"},
      {kTemperatures, temperatures.data(), temperatures.size() * 4, "the temperature table"},
      {kSif, sif.data(), sif.size() * 4, "the SIF table"},
  };
  for (const Upload& u : uploads) check_storage(u.bytes, u.what);
  for (const Upload& u : uploads) {
    ensure_capacity(*ctx_, optical_buffers_[u.slot], std::max<uint64_t>(u.bytes, 4),
                    kUsageStorage, kSharedMemory);
    if (u.bytes > 0) optical_buffers_[u.slot].upload(u.data, u.bytes);
  }
  VulkanBuffer& image = optical_buffers_[kImage];
  VulkanBuffer& readback = optical_buffers_[kReadback];
  if (image.empty() || image.size() < image_bytes) {
    uint64_t capacity = image.empty() ? 256 : image.size();
    while (capacity < image_bytes) capacity *= 2;
    capacity = std::min(capacity, ctx_->limits().max_storage_range);
    image = VulkanBuffer::create(*ctx_, capacity,
                                 kUsageStorage | VK_BUFFER_USAGE_TRANSFER_SRC_BIT |
                                     VK_BUFFER_USAGE_TRANSFER_DST_BIT,
                                 kDeviceLocal);
  }
  if (readback.empty() || readback.size() < image_bytes)
    readback = VulkanBuffer::create(*ctx_, image.size(), kUsageReadback, kHostMemory);

  // 4, 5. The variant's pipeline and this call's descriptor set.
  if (pipelines_.optical(variant) == VK_NULL_HANDLE) pipelines_.create_optical_pipeline(variant);
  const VkPipeline pipeline = pipelines_.optical(variant);
  const VkPipelineLayout layout = pipelines_.optical_layouts().layout;
  PerCallDescriptorSet set(*ctx_, pipelines_.optical_layouts().set_layout, 12, "optical");
  // The uploads are in binding order but for the image (binding 8), which goes in between.
  std::vector<StorageBinding> bound;
  for (const Upload& u : uploads) bound.push_back({&optical_buffers_[u.slot], u.what});
  bound.insert(bound.begin() + kImage, {&image, "the image accumulator"});
  set.write(tlas_.handle(), bound);

  SimulationProfile prof;
  prof.items = width * height * static_cast<uint64_t>(spp);
  const Clock::time_point start = Clock::now();
  const uint64_t band_groups = std::max<uint64_t>(1, (static_cast<uint64_t>(nb) + 3) / 4);
  const uint64_t group_rows = uint64_t{ctx_->limits().max_groups_y} * ly;
  std::vector<float> out(static_cast<size_t>(width * height * static_cast<uint64_t>(nb)));
  for (uint64_t range = 0; range < height; range += rows_per_range) {
    const uint64_t range_rows = std::min(rows_per_range, height - range);
    params.accumulator_first_row = static_cast<uint32_t>(range);
    // 3. A zero image.
    ctx_->submit_immediate([&](VkCommandBuffer cmd) { record_clear(cmd, image); });
    // 6. Sample batches of 16, each in row bands of at most kItemsPerDispatch items.
    for (uint32_t first = 0; first < static_cast<uint32_t>(spp); first += kSampleBatch) {
      const uint32_t batch = std::min<uint32_t>(kSampleBatch, static_cast<uint32_t>(spp) - first);
      uint64_t rows_per_dispatch = std::max<uint64_t>(
          1, std::min(kItemsPerDispatch / (width * batch * band_groups), height));
      rows_per_dispatch = std::min(rows_per_dispatch, group_rows);
      for (uint64_t row = range; row < range + range_rows; row += rows_per_dispatch) {
        if (hooks.poll) hooks.poll();
        const uint64_t rows = std::min(range + range_rows - row, rows_per_dispatch);
        params.batch_samples = batch;
        params.first_sample = first;
        params.first_row = static_cast<uint32_t>(row);
        params.rows = static_cast<uint32_t>(rows);
        params.rays = 0;
        optical_buffers_[kParams].upload(&params, sizeof params);
        const uint32_t gx = static_cast<uint32_t>((width + lx - 1) / lx);
        const uint32_t gy = static_cast<uint32_t>((rows + ly - 1) / ly);
        ctx_->submit_immediate([&](VkCommandBuffer cmd) {
          record_dispatch(cmd, pipeline, layout, set.set(), gx, gy);
        });
        uint32_t rays = 0;
        optical_buffers_[kParams].download(&rays, sizeof rays, offsetof(OpticalParams, rays));
        prof.rays += rays;
        ++prof.dispatches;
      }
    }
    // 7. The accumulator as the shader left it.
    const uint64_t bytes = range_rows * row_bytes;
    ctx_->submit_immediate(
        [&](VkCommandBuffer cmd) { record_copy_to_readback(cmd, image, readback, bytes); });
    readback.download(out.data() + range * (row_bytes / sizeof(float)), bytes);
  }
  if (hooks.poll) hooks.poll();
  prof.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  simulation_profile_ = prof;
  return out;
}

}  // namespace velm::vulkan
