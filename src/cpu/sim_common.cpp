#include "cpu/sim_common.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "physics/bsdf.h"

namespace velm::cpu {

int max_depth_override(int max_depth, const char* prefix) {
  if (const char* env = std::getenv("VELM_MAX_DEPTH")) {
    const int v = std::atoi(env);
    if (v > 0) {
      std::printf("%s VELM_MAX_DEPTH=%d\n", prefix, v);
      std::fflush(stdout);
      return v;
    }
  }
  return max_depth;
}

namespace {
// |det| over the product of the row lengths at or below which a transform counts as singular:
// the float rounding of the determinant itself.
constexpr float kSingularConditioning = 1.1920929e-7f;

void check_block(const std::string& who, const std::string& what, int64_t offset, int64_t size,
                 size_t buffer_size) {
  if (offset < 0 || offset + size > static_cast<int64_t>(buffer_size))
    throw std::invalid_argument(who + ": " + what + " spectral block [" + std::to_string(offset) +
                                ", " + std::to_string(offset + size) +
                                ") runs past the spectral parameter buffer (" +
                                std::to_string(buffer_size) + " values)");
}
}  // namespace

uint64_t checked_count(std::initializer_list<int64_t> counts, size_t element_size,
                       const std::string& what) {
  // Below 2^47 bytes: no machine holds more, and every index product stays far from overflow.
  constexpr uint64_t kMaxBytes = uint64_t{1} << 47;
  const uint64_t max_elements = kMaxBytes / std::max<size_t>(element_size, 1);
  for (int64_t c : counts)
    if (c < 0) throw std::invalid_argument(what + " has a negative dimension");
  uint64_t n = 1;
  for (int64_t c : counts) {
    if (c == 0) return 0;
    if (static_cast<uint64_t>(c) > max_elements / n)
      throw std::invalid_argument(what + " is too large to allocate");
    n *= static_cast<uint64_t>(c);
  }
  return n;
}

Vec3 unit_direction(const float* v, const std::string& what) {
  const double x = v[0], y = v[1], z = v[2];
  const double len = std::sqrt(x * x + y * y + z * z);
  if (!(len > 0.0) || !std::isfinite(len))
    throw std::invalid_argument(what + " must be a finite non-zero vector");
  return {static_cast<float>(x / len), static_cast<float>(y / len), static_cast<float>(z / len)};
}

void check_scene_for_simulation(const embree::EmbreeSceneManager& scene, const std::string& who,
                                int num_bands, const ScenePrerequisites& need) {
  if (!scene.is_built())
    throw std::runtime_error(who + ": the scene has not been built; call build() first");
  const SceneDescription& d = scene.desc();
  const size_t n_params = d.spectral_params().size();
  const auto& materials = d.materials();
  if (need.materials) {
    std::vector<bool> used(materials.size(), false);
    for (size_t m = 0; m < d.meshes().size(); ++m) {
      const uint32_t id = d.meshes()[m].material_id;
      if (id >= materials.size())
        throw std::invalid_argument(who + ": mesh " + std::to_string(m) + " has material id " +
                                    std::to_string(id) + " outside the material list (" +
                                    std::to_string(materials.size()) + " materials)");
      used[id] = true;
    }
    for (size_t id = 0; id < materials.size(); ++id) {
      if (!used[id]) continue;
      const MaterialRecord& rec = materials[id];
      check_block(who, "material " + std::to_string(id) + " (type " + std::to_string(rec.type) + ")",
                  rec.spectral_offset,
                  static_cast<int64_t>(spectral_block_per_band(rec.type)) * num_bands, n_params);
    }
  }
  if (need.thermal) {
    // Thermal emission reads the first value of every material's block as its emissivity.
    for (size_t id = 0; id < materials.size(); ++id)
      check_block(who, "material " + std::to_string(id) + " emissivity",
                  materials[id].spectral_offset, num_bands, n_params);
  }
  if (need.sun)
    check_block(who, "sun irradiance", d.emitter().spectral_offset, num_bands, n_params);
  if (need.sun_direction)
    unit_direction(d.emitter().direction, who + ": the sun direction (set_emitter)");
  if (need.thermal) {
    // Temperatures are read as kelvin by Planck's law: a NaN or negative one has no radiance.
    for (size_t id = 0; id < materials.size(); ++id)
      for (int k = 2; k <= 4; ++k)
        if (!(materials[id].scalars[k] >= 0.f) || !std::isfinite(materials[id].scalars[k]))
          throw std::invalid_argument(who + ": material " + std::to_string(id) + " temperature " +
                                      std::to_string(k) + " (scalar_params) must be finite and "
                                      "non-negative kelvin");
  }
  const RepetitionTile& tile = d.repetition();
  if (tile.active() && !(std::isfinite(tile.x_size) && std::isfinite(tile.y_size)))
    throw std::invalid_argument(who + ": the repeating tile size must be finite (set_repetitive)");
  const auto& built = scene.built_instances();
  for (size_t i = 0; i < built.size(); ++i)
    if (!(built[i].conditioning > kSingularConditioning))
      throw std::invalid_argument(who + ": instance " + std::to_string(i) +
                                  " has a singular transform (its 3x3 part flattens space), so "
                                  "its normals are undefined");
  if (need.sky) {
    const SkySettings& sky = d.sky();
    if (sky.hosek_offset >= 0)
      check_block(who, "analytic sky", sky.hosek_offset, 10 * int64_t{num_bands}, n_params);
    else if (sky.constant_offset >= 0)
      check_block(who, "sky radiance", sky.constant_offset, num_bands, n_params);
  }
}

}  // namespace velm::cpu
