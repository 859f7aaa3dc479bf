#include "cpu/sim_common.h"

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
void check_block(const std::string& who, const std::string& what, int64_t offset, int64_t size,
                 size_t buffer_size) {
  if (offset < 0 || offset + size > static_cast<int64_t>(buffer_size))
    throw std::invalid_argument(who + ": " + what + " spectral block [" + std::to_string(offset) +
                                ", " + std::to_string(offset + size) +
                                ") runs past the spectral parameter buffer (" +
                                std::to_string(buffer_size) + " values)");
}
}  // namespace

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
  if (need.sun)
    check_block(who, "sun irradiance", d.emitter().spectral_offset, num_bands, n_params);
  if (need.sky) {
    const SkySettings& sky = d.sky();
    if (sky.hosek_offset >= 0)
      check_block(who, "analytic sky", sky.hosek_offset, 10 * int64_t{num_bands}, n_params);
    else if (sky.constant_offset >= 0)
      check_block(who, "sky radiance", sky.constant_offset, num_bands, n_params);
  }
}

}  // namespace velm::cpu
