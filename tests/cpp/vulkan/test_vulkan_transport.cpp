// The transport calls' checks that the Python layer never lets through (it checks shapes first),
// on a real device (lavapipe here). Skipped without a Vulkan device, unless VELM_REQUIRE_VULKAN
// is set (make test), where that is a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "vulkan/scene_manager.h"

namespace velm::vulkan {
namespace {

TEST(VulkanTransport, ChecksBehindThePythonLayer) {
  std::shared_ptr<VulkanContext> ctx;
  try {
    ctx = std::make_shared<VulkanContext>(0);
  } catch (const std::runtime_error& e) {
    if (std::getenv("VELM_REQUIRE_VULKAN")) FAIL() << "no Vulkan device: " << e.what();
    GTEST_SKIP() << "no Vulkan device: " << e.what();
  }
  VulkanSceneManager scene(ctx, std::string(VELM_TEST_SHADER_DIR) + "/trace_closest.spv");
  scene.desc().add_mesh({{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {{0, 1, 2}}, 0});
  scene.build();

  MicrowaveRequest r;
  r.soil_count = 1;
  r.passive_soil = r.active_soil = std::vector<float>(8, 0.f);
  r.smooth_soil = r.dihedral_ground = std::vector<float>(4, 0.f);
  r.material_map = {0};
  EXPECT_TRUE(scene.run_microwave_wavefront(r, {}).empty());  // no rays, no device work
  r.origins = {0, 0, 1};
  r.directions = {0, 0, -1};
  try {
    scene.run_microwave_wavefront(r, {});
    ADD_FAILURE() << "three origin floats were accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Vulkan microwave origins and directions must have shape (N, 4)");
  }
}

}  // namespace
}  // namespace velm::vulkan
