// Device choice as pure functions over device descriptions, so the rules can be tested with
// made-up devices: what makes a device usable (and the first reason it is not), the one strict
// order in which devices are offered, and which queue family the backend submits to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velm::vulkan {

// Packed Vulkan 1.2 (VK_MAKE_API_VERSION(0, 1, 2, 0)): the oldest API the backend runs on.
constexpr uint32_t kMinApiVersion = 0x402000;

// Physical-device type codes (VkPhysicalDeviceType).
enum DeviceType : uint32_t {
  kDeviceOther = 0,
  kDeviceIntegrated = 1,
  kDeviceDiscrete = 2,
  kDeviceVirtual = 3,
  kDeviceCpu = 4,
};

// What the probe learns about one physical device.
struct VulkanDeviceInfo {
  uint32_t physical_index = 0;  // position in the instance's enumeration
  std::string name;
  uint32_t vendor_id = 0;
  uint32_t device_id = 0;
  uint32_t device_type = kDeviceOther;
  uint32_t api_version = 0;          // the device's own, packed
  uint64_t device_local_memory = 0;  // bytes, summed over device-local heaps
  bool has_compute_queue = false;
  bool has_acceleration_structure = false;
  bool has_ray_query = false;
  bool has_buffer_device_address = false;
  bool compatible = false;
  std::string unavailable_reason;  // empty when compatible
};

// The first rule the device fails, or "" when it has everything the backend needs.
std::string unavailable_reason(const VulkanDeviceInfo& d);
// Sets `compatible` and `unavailable_reason` from the capability fields.
void classify(VulkanDeviceInfo& d);

// Discrete 0, integrated 1, virtual 2, CPU 3, anything else 4: lower ranks are offered first.
int device_type_rank(uint32_t device_type);
// The strict device order: compatible first, then type rank, more device-local memory, smaller
// vendor id, smaller device id, name (byte-wise), enumeration position.
bool device_before(const VulkanDeviceInfo& a, const VulkanDeviceInfo& b);
void sort_devices(std::vector<VulkanDeviceInfo>& devices);

struct QueueFamilyDesc {
  uint32_t queue_count = 0;
  bool compute = false;
  bool graphics = false;
};
// The first compute family without graphics (a dedicated compute queue does not compete with
// rendering), else the first compute family; families without queues are skipped. Empty when
// no family can compute.
std::optional<uint32_t> choose_compute_family(const std::vector<QueueFamilyDesc>& families);

}  // namespace velm::vulkan
