#include "cpu/sim_common.h"

namespace velm::cpu {

BuiltScene built_scene(const embree::EmbreeSceneManager& scene) {
  BuiltScene out;
  out.built = scene.is_built();
  for (const embree::BuiltInstance& inst : scene.built_instances())
    out.conditioning.push_back(inst.frame.conditioning);
  return out;
}

void check_scene_for_simulation(const embree::EmbreeSceneManager& scene, const std::string& who,
                                int num_bands, const ScenePrerequisites& need) {
  velm::check_scene_for_simulation(scene.desc(), built_scene(scene), who, num_bands, need);
}

}  // namespace velm::cpu
