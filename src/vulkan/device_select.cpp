#include "vulkan/device_select.h"

#include <algorithm>
#include <tuple>

namespace velm::vulkan {

std::string unavailable_reason(const VulkanDeviceInfo& d) {
  if (d.api_version < kMinApiVersion) return "requires Vulkan 1.2";
  if (!d.has_compute_queue) return "no compute queue";
  if (!d.has_acceleration_structure) return "acceleration structures unavailable";
  if (!d.has_ray_query) return "ray query unavailable";
  if (!d.has_buffer_device_address) return "buffer device address unavailable";
  return "";
}

void classify(VulkanDeviceInfo& d) {
  d.unavailable_reason = unavailable_reason(d);
  d.compatible = d.unavailable_reason.empty();
}

int device_type_rank(uint32_t device_type) {
  switch (device_type) {
    case kDeviceDiscrete:
      return 0;
    case kDeviceIntegrated:
      return 1;
    case kDeviceVirtual:
      return 2;
    case kDeviceCpu:
      return 3;
    default:
      return 4;
  }
}

bool device_before(const VulkanDeviceInfo& a, const VulkanDeviceInfo& b) {
  // Negated where larger comes first; std::string compares byte-wise with a proper prefix first.
  const auto key = [](const VulkanDeviceInfo& d) {
    return std::make_tuple(!d.compatible, device_type_rank(d.device_type),
                           ~d.device_local_memory, d.vendor_id, d.device_id, std::cref(d.name),
                           d.physical_index);
  };
  return key(a) < key(b);
}

void sort_devices(std::vector<VulkanDeviceInfo>& devices) {
  std::stable_sort(devices.begin(), devices.end(), device_before);
}

std::optional<uint32_t> choose_compute_family(const std::vector<QueueFamilyDesc>& families) {
  std::optional<uint32_t> with_graphics;
  for (uint32_t i = 0; i < families.size(); ++i) {
    const QueueFamilyDesc& f = families[i];
    if (f.queue_count == 0 || !f.compute) continue;
    if (!f.graphics) return i;
    if (!with_graphics) with_graphics = i;
  }
  return with_graphics;
}

}  // namespace velm::vulkan
