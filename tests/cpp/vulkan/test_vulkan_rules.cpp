// Device choice, labels, shader file rules and instance normals: pure functions, no device.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "vulkan/check.h"
#include "vulkan/device_select.h"
#include "vulkan/pipelines.h"
#include "vulkan/primitives.h"

namespace velm::vulkan {
namespace {

VulkanDeviceInfo capable(uint32_t type, uint64_t memory_mb, uint32_t physical_index) {
  VulkanDeviceInfo d;
  d.physical_index = physical_index;
  d.name = "device " + std::to_string(physical_index);
  d.device_type = type;
  d.api_version = kMinApiVersion;
  d.device_local_memory = memory_mb << 20;
  d.has_compute_queue = d.has_acceleration_structure = d.has_ray_query =
      d.has_buffer_device_address = true;
  classify(d);
  return d;
}

TEST(VulkanDevices, FirstFailingRuleIsTheReason) {
  struct Case {
    void (*spoil)(VulkanDeviceInfo&);
    const char* reason;
  };
  const Case cases[] = {
      {[](VulkanDeviceInfo&) {}, ""},
      // Below 1.2 wins over everything else that is missing.
      {[](VulkanDeviceInfo& d) {
         d.api_version = 0x401000;
         d.has_ray_query = d.has_compute_queue = false;
       },
       "requires Vulkan 1.2"},
      {[](VulkanDeviceInfo& d) { d.has_compute_queue = d.has_ray_query = false; },
       "no compute queue"},
      {[](VulkanDeviceInfo& d) { d.has_acceleration_structure = d.has_ray_query = false; },
       "acceleration structures unavailable"},
      {[](VulkanDeviceInfo& d) { d.has_ray_query = d.has_buffer_device_address = false; },
       "ray query unavailable"},
      {[](VulkanDeviceInfo& d) { d.has_buffer_device_address = false; },
       "buffer device address unavailable"},
  };
  for (const Case& c : cases) {
    VulkanDeviceInfo d = capable(kDeviceDiscrete, 1, 0);
    c.spoil(d);
    classify(d);
    EXPECT_EQ(d.unavailable_reason, c.reason);
    EXPECT_EQ(d.compatible, std::string(c.reason).empty());
  }
}

TEST(VulkanDevices, StrictOrder) {
  // Listed in the expected order; each differs from the one before by one key.
  std::vector<VulkanDeviceInfo> want;
  want.push_back(capable(kDeviceDiscrete, 2048, 7));     // discrete beats more memory elsewhere
  want.push_back(capable(kDeviceIntegrated, 8192, 1));   // integrated, larger memory first
  want.push_back(capable(kDeviceIntegrated, 4096, 2));
  want.push_back(capable(kDeviceIntegrated, 4096, 3));   // same memory: smaller vendor first
  want.back().vendor_id = 5;
  want.push_back(capable(kDeviceIntegrated, 4096, 4));   // same vendor: smaller device id
  want.back().vendor_id = 5;
  want.back().device_id = 9;
  want.push_back(capable(kDeviceIntegrated, 4096, 6));   // a proper prefix of a name first
  want.back().vendor_id = 5, want.back().device_id = 10, want.back().name = "llvm";
  want.push_back(capable(kDeviceIntegrated, 4096, 5));
  want.back().vendor_id = 5, want.back().device_id = 10, want.back().name = "llvmpipe";
  want.push_back(capable(kDeviceIntegrated, 4096, 8));   // all equal: enumeration order
  want.back().vendor_id = 5, want.back().device_id = 10, want.back().name = "llvmpipe";
  for (uint32_t type : {kDeviceVirtual, kDeviceCpu, kDeviceOther})
    want.push_back(capable(type, 1 << 20, 10 + type));
  want.push_back(capable(kDeviceDiscrete, 1 << 20, 0));  // incompatible devices last
  want.back().has_ray_query = false;
  classify(want.back());

  std::vector<VulkanDeviceInfo> got(want.rbegin(), want.rend());
  sort_devices(got);
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i].physical_index, want[i].physical_index);
}

TEST(VulkanDevices, ComputeFamilyChoice) {
  using F = QueueFamilyDesc;
  EXPECT_EQ(choose_compute_family({{1, true, true}}), 0u);  // only a graphics family computes
  EXPECT_EQ(choose_compute_family({{1, true, true}, {0, true, false}, {2, true, false}}), 2u);
  EXPECT_EQ(choose_compute_family({F{1, false, true}, F{1, true, true}, F{1, true, false}}), 2u);
  EXPECT_FALSE(choose_compute_family({{1, false, true}, {0, true, false}}).has_value());
  EXPECT_FALSE(choose_compute_family({}).has_value());
}

TEST(VulkanLabels, FailureMessage) {
  EXPECT_EQ(failure_message("vkCreateDevice", VK_ERROR_INITIALIZATION_FAILED),
            "Vulkan: vkCreateDevice failed (-3)");
  try {
    check(VK_ERROR_OUT_OF_DEVICE_MEMORY, "vkCreateFence(immediate)");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Vulkan: vkCreateFence(immediate) failed (-2)");
  }
  EXPECT_NO_THROW(check(VK_SUCCESS, "vkQueueSubmit"));
}

TEST(VulkanShaders, OpticalVariantAndFiles) {
  const std::pair<int, int> bands_to_capacity[] = {{-1, 4}, {1, 4},   {4, 4},   {5, 8},
                                                   {32, 32}, {33, 64}, {128, 128}, {200, 128}};
  for (auto [bands, capacity] : bands_to_capacity)
    EXPECT_EQ(optical_capacity(optical_variant(bands)), capacity) << bands;
  EXPECT_EQ(optical_shader_file(0), "backward_optical_4.spv");
  EXPECT_EQ(optical_shader_file(5), "backward_optical_128.spv");
  EXPECT_EQ(shader_path_beside("/opt/velm/shaders/trace.spv", "forward_flux.spv"),
            "/opt/velm/shaders/forward_flux.spv");
  EXPECT_EQ(shader_path_beside("trace.spv", "forward_flux.spv"), "forward_flux.spv");
  EXPECT_EQ(shader_path_beside("/trace.spv", "energy_balance.spv"), "/energy_balance.spv");
}

TEST(VulkanNormals, InverseTranspose) {
  // Shear plus non-uniform scale: N^T M = I for the linear part.
  const Transform34 m = {2.f, 0.5f, 0.f, 7.f, 0.f, 1.f, 0.3f, 8.f, 0.1f, 0.f, 4.f, 9.f};
  const NormalMatrix n = normal_matrix(m);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      float s = 0.f;
      for (int k = 0; k < 3; ++k) s += n.rows[k][i] * m[4 * k + j];
      EXPECT_NEAR(s, i == j ? 1.f : 0.f, 1e-6f);
    }
  for (int r = 0; r < 3; ++r) EXPECT_EQ(n.rows[r][3], 0.f);
  // Singular transforms: the Python tests reach that message through the image and trace calls.
}

}  // namespace
}  // namespace velm::vulkan
