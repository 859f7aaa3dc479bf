// The one wrapper every tested Vulkan call goes through: a result other than VK_SUCCESS becomes
// std::runtime_error "Vulkan: <label> failed (<code>)", the code as a signed decimal, so a user
// can look the VkResult up (-3 is VK_ERROR_INITIALIZATION_FAILED, -2 out of device memory, ...).
#pragma once

#include <vulkan/vulkan.h>

#include <stdexcept>
#include <string>

namespace velm::vulkan {

inline std::string failure_message(const char* label, VkResult result) {
  return std::string("Vulkan: ") + label + " failed (" + std::to_string(static_cast<int>(result)) +
         ")";
}

inline void check(VkResult result, const char* label) {
  if (result != VK_SUCCESS) throw std::runtime_error(failure_message(label, result));
}

}  // namespace velm::vulkan
