// Buffers, submission, pipeline creation and the transport checks that the Python layer never
// lets through, on a real device (lavapipe here). Skipped without a Vulkan device, unless
// VELM_REQUIRE_VULKAN is set (make test), where that is a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vulkan/buffer.h"
#include "vulkan/context.h"
#include "vulkan/pipelines.h"
#include "vulkan/scene_manager.h"

namespace velm::vulkan {
namespace {

namespace fs = std::filesystem;

class VulkanDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      ctx_ = std::make_shared<VulkanContext>(0);
    } catch (const std::runtime_error& e) {
      if (std::getenv("VELM_REQUIRE_VULKAN")) FAIL() << "no Vulkan device: " << e.what();
      GTEST_SKIP() << "no Vulkan device: " << e.what();
    }
  }
  std::shared_ptr<VulkanContext> ctx_;
};

template <class E, class F>
void expect_error(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
  }
}

TEST_F(VulkanDevice, BufferBoundsAndMemoryKinds) {
  VulkanBuffer b = VulkanBuffer::create(*ctx_, 16, kUsageStorage, kHostMemory);
  const std::vector<unsigned char> bytes(17, 7);
  b.upload(bytes.data(), 8, 8);  // ends exactly at the end
  expect_error<std::out_of_range>([&] { b.upload(bytes.data(), 9, 8); },
                                  "Vulkan: buffer upload is outside allocation");
  expect_error<std::out_of_range>([&] { b.upload(nullptr, 4, 0); },
                                  "Vulkan: buffer upload is outside allocation");
  std::vector<unsigned char> back(17, 0);
  expect_error<std::out_of_range>([&] { b.download(back.data(), 17, 0); },
                                  "Vulkan: buffer download is outside allocation");
  b.download(back.data(), 8, 8);
  EXPECT_EQ(back[0], 7);

  // Recorded properties decide host access, whatever the driver's memory also offers.
  VulkanBuffer local = VulkanBuffer::create(*ctx_, 16, kUsageStorage, kDeviceLocal);
  EXPECT_EQ(local.memory_properties(), kDeviceLocal);
  expect_error<std::runtime_error>([&] { local.upload(bytes.data(), 4, 0); },
                                   "Vulkan: buffer memory is not host visible");
  expect_error<std::runtime_error>([&] { local.download(back.data(), 4, 0); },
                                   "Vulkan: buffer memory is not host visible");
  // A preferred kind no memory type has falls back to the required one.
  VulkanBuffer lazy = VulkanBuffer::create(*ctx_, 16, kUsageStorage, kHostMemory,
                                           VK_MEMORY_PROPERTY_LAZILY_ALLOCATED_BIT |
                                               VK_MEMORY_PROPERTY_PROTECTED_BIT);
  EXPECT_EQ(lazy.memory_properties(), kHostMemory);

  expect_error<std::invalid_argument>(
      [&] { VulkanBuffer::create(*ctx_, 0, kUsageStorage, kHostMemory); },
      "Vulkan buffer size must be non-zero");
  const uint64_t too_big = ctx_->limits().max_allocation + 1;
  expect_error<std::runtime_error>(
      [&] { VulkanBuffer::create(*ctx_, too_big, kUsageStorage, kHostMemory); },
      "Vulkan: a buffer of " + std::to_string(too_big) +
          " bytes exceeds the device's maxMemoryAllocationSize of " +
          std::to_string(ctx_->limits().max_allocation) + " bytes");
}

TEST_F(VulkanDevice, GrowthRoutine) {
  VulkanBuffer slot;
  ensure_capacity(*ctx_, slot, 300, kUsageStorage, 0);
  EXPECT_EQ(slot.size(), 512u);
  const VkBuffer kept = slot.handle();
  ensure_capacity(*ctx_, slot, 300, kUsageStorage, 0);
  EXPECT_EQ(slot.handle(), kept);
  ensure_capacity(*ctx_, slot, 1500, kUsageStorage, kSharedMemory);
  EXPECT_EQ(slot.size(), 2048u);
  const uint64_t range = ctx_->limits().max_storage_range;
  expect_error<std::runtime_error>(
      [&] { ensure_capacity(*ctx_, slot, range + 1, kUsageStorage, 0); },
      "Vulkan: a storage buffer of " + std::to_string(range + 1) +
          " bytes exceeds the device's maxStorageBufferRange of " + std::to_string(range) +
          " bytes");
  EXPECT_EQ(slot.size(), 2048u);  // refused before anything changed
}

TEST_F(VulkanDevice, SubmissionsClearAndCopy) {
  const VkBufferUsageFlags usage = kUsageStorage | VK_BUFFER_USAGE_TRANSFER_SRC_BIT |
                                   VK_BUFFER_USAGE_TRANSFER_DST_BIT;
  VulkanBuffer device = VulkanBuffer::create(*ctx_, 64, usage, kDeviceLocal);
  VulkanBuffer readback = VulkanBuffer::create(*ctx_, 64, kUsageReadback, kHostMemory);
  VulkanBuffer host = VulkanBuffer::create(*ctx_, 64, usage, kHostMemory);
  const std::vector<uint32_t> ones(16, 0xFFFFFFFFu);
  host.upload(ones.data(), 64);
  readback.upload(ones.data(), 64);
  // A recording that fails leaves the context ready for the next submission.
  EXPECT_THROW(ctx_->submit_immediate([](VkCommandBuffer) { throw std::logic_error("x"); }),
               std::logic_error);
  ctx_->submit_immediate([&](VkCommandBuffer cmd) {
    record_clear(cmd, host);
    record_clear(cmd, device);
    record_copy_to_readback(cmd, device, readback, 32);
  });
  std::vector<uint32_t> got(16, 1);
  readback.download(got.data(), 64);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(got[i], i < 8 ? 0u : 0xFFFFFFFFu) << i;
  host.download(got.data(), 64);
  for (uint32_t v : got) EXPECT_EQ(v, 0u);
}

TEST_F(VulkanDevice, ShaderFilesAndPipelines) {
  const fs::path dir = fs::temp_directory_path() / ("velm_shaders_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string trace = (dir / "trace.spv").string();
  fs::copy_file(fs::path(VELM_TEST_SHADER_DIR) / "trace_closest.spv", trace,
                fs::copy_options::overwrite_existing);
  const auto write = [&](const char* name, size_t n) {
    std::ofstream(dir / name, std::ios::binary) << std::string(n, '\x03');
    return (dir / name).string();
  };
  const std::string six = write("six.spv", 6), empty = write("empty.spv", 0);
  expect_error<std::runtime_error>([&] { load_spirv(six); }, "Invalid SPIR-V shader: " + six);
  expect_error<std::runtime_error>([&] { load_spirv(empty); }, "Invalid SPIR-V shader: " + empty);
  expect_error<std::runtime_error>([&] { load_spirv(trace + ".missing"); },
                                   "Vulkan shader not found: " + trace + ".missing");
  EXPECT_EQ(load_spirv(trace)[0], 0x07230203u);  // the SPIR-V magic number

  VulkanPipelines p(*ctx_, trace);
  expect_error<std::out_of_range>([&] { p.create_optical_pipeline(6); },
                                  "Vulkan optical pipeline index is invalid");
  const std::pair<void (VulkanPipelines::*)(), const char*> missing[] = {
      {&VulkanPipelines::create_flux_pipeline, "forward_flux.spv"},
      {&VulkanPipelines::create_energy_balance_pipeline, "energy_balance.spv"},
      {&VulkanPipelines::create_microwave_pipeline, "microwave_wavefront.spv"}};
  for (auto [create, file] : missing)
    expect_error<std::runtime_error>([&] { (p.*create)(); },
                                     "Vulkan shader not found: " + (dir / file).string());
  expect_error<std::runtime_error>(
      [&] { p.create_optical_pipeline(1); },
      "Vulkan shader not found: " + (dir / "backward_optical_8.spv").string());
  EXPECT_NE(p.flux().set_layout, VkDescriptorSetLayout(VK_NULL_HANDLE));  // layouts stay
  EXPECT_EQ(p.flux().pipeline, VkPipeline(VK_NULL_HANDLE));
  p.create_trace_pipeline();
  EXPECT_NE(p.trace().pipeline, VkPipeline(VK_NULL_HANDLE));
  EXPECT_NE(p.trace_set(), VkDescriptorSet(VK_NULL_HANDLE));
  fs::remove_all(dir);
}

// The Python layer checks shapes first, so only these calls reach the scene's own checks.
TEST_F(VulkanDevice, MicrowaveChecksBehindThePythonLayer) {
  VulkanSceneManager scene(ctx_, std::string(VELM_TEST_SHADER_DIR) + "/trace_closest.spv");
  scene.desc().add_mesh({{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {{0, 1, 2}}, 0});
  scene.build();
  WavefrontRequest r;
  r.soil_count = 1;
  r.passive_soil = r.active_soil = std::vector<float>(8, 0.f);
  r.smooth_soil = r.dihedral_ground = std::vector<float>(4, 0.f);
  r.material_map = {0};
  EXPECT_TRUE(scene.run_microwave_wavefront(r, {}).empty());  // no rays, no device work
  r.origins = {0, 0, 1};
  r.directions = {0, 0, -1};
  expect_error<std::invalid_argument>([&] { scene.run_microwave_wavefront(r, {}); },
                                      "Vulkan microwave origins and directions must have shape "
                                      "(N, 4)");
}

}  // namespace
}  // namespace velm::vulkan
