#include "vulkan/context.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>

#include "vulkan/check.h"

namespace velm::vulkan {

namespace {

// Application and engine version 0.3.2, packed as VK_MAKE_VERSION does.
constexpr uint32_t kVelmVersion = (0u << 22) | (3u << 12) | 2u;

VkInstance create_instance() {
  uint32_t loader_version = VK_API_VERSION_1_0;
  check(vkEnumerateInstanceVersion(&loader_version), "vkEnumerateInstanceVersion");
  if (loader_version < kMinApiVersion)
    throw std::runtime_error("Vulkan 1.2 or newer is required for the VELM Ray Query backend");

  VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
  app.pApplicationName = "VELMPRO";
  app.applicationVersion = kVelmVersion;
  app.pEngineName = "VELMPRO";
  app.engineVersion = kVelmVersion;
  app.apiVersion = VK_API_VERSION_1_2;
  VkInstanceCreateInfo info{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
  info.pApplicationInfo = &app;
  VkInstance instance = VK_NULL_HANDLE;
  check(vkCreateInstance(&info, nullptr, &instance), "vkCreateInstance");
  return instance;
}

// Destroys an instance on every path out of a scope, unless released.
struct InstanceGuard {
  VkInstance instance;
  ~InstanceGuard() {
    if (instance != VK_NULL_HANDLE) vkDestroyInstance(instance, nullptr);
  }
};

std::vector<VkPhysicalDevice> enumerate_physical_devices(VkInstance instance) {
  uint32_t count = 0;
  check(vkEnumeratePhysicalDevices(instance, &count, nullptr),
        "vkEnumeratePhysicalDevices(count)");
  if (count == 0) throw std::runtime_error("Vulkan: no physical devices were found");
  std::vector<VkPhysicalDevice> devices(count);
  // VK_INCOMPLETE cannot be told apart from a device vanishing in between; keep what came back.
  const VkResult r = vkEnumeratePhysicalDevices(instance, &count, devices.data());
  if (r != VK_INCOMPLETE) check(r, "vkEnumeratePhysicalDevices");
  devices.resize(count);
  return devices;
}

std::vector<VkQueueFamilyProperties> queue_families(VkPhysicalDevice pd) {
  uint32_t n = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(pd, &n, nullptr);
  std::vector<VkQueueFamilyProperties> families(n);
  vkGetPhysicalDeviceQueueFamilyProperties(pd, &n, families.data());
  families.resize(n);
  return families;
}

std::vector<QueueFamilyDesc> describe(const std::vector<VkQueueFamilyProperties>& families) {
  std::vector<QueueFamilyDesc> out;
  for (const auto& f : families)
    out.push_back({f.queueCount, (f.queueFlags & VK_QUEUE_COMPUTE_BIT) != 0,
                   (f.queueFlags & VK_QUEUE_GRAPHICS_BIT) != 0});
  return out;
}

std::set<std::string> device_extensions(VkPhysicalDevice pd) {
  uint32_t n = 0;
  check(vkEnumerateDeviceExtensionProperties(pd, nullptr, &n, nullptr),
        "vkEnumerateDeviceExtensionProperties(count)");
  std::vector<VkExtensionProperties> props(n);
  const VkResult r = vkEnumerateDeviceExtensionProperties(pd, nullptr, &n, props.data());
  if (r != VK_INCOMPLETE) check(r, "vkEnumerateDeviceExtensionProperties");
  std::set<std::string> names;
  for (uint32_t i = 0; i < n && i < props.size(); ++i) names.insert(props[i].extensionName);
  return names;
}

VulkanDeviceInfo probe(VkPhysicalDevice pd, uint32_t index) {
  VulkanDeviceInfo d;
  d.physical_index = index;
  VkPhysicalDeviceProperties props;
  vkGetPhysicalDeviceProperties(pd, &props);
  d.name = props.deviceName;
  d.vendor_id = props.vendorID;
  d.device_id = props.deviceID;
  d.device_type = static_cast<uint32_t>(props.deviceType);
  d.api_version = props.apiVersion;

  VkPhysicalDeviceMemoryProperties mem;
  vkGetPhysicalDeviceMemoryProperties(pd, &mem);
  for (uint32_t h = 0; h < mem.memoryHeapCount; ++h)
    if (mem.memoryHeaps[h].flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT)
      d.device_local_memory += mem.memoryHeaps[h].size;

  for (const QueueFamilyDesc& f : describe(queue_families(pd)))
    if (f.queue_count > 0 && f.compute) d.has_compute_queue = true;

  const std::set<std::string> ext = device_extensions(pd);
  const bool accel_ext = ext.count(VK_KHR_ACCELERATION_STRUCTURE_EXTENSION_NAME) &&
                         ext.count(VK_KHR_DEFERRED_HOST_OPERATIONS_EXTENSION_NAME);
  const bool query_ext = ext.count(VK_KHR_RAY_QUERY_EXTENSION_NAME) != 0;

  // One feature query down the chain features2 -> buffer device address -> acceleration
  // structures -> ray query. The query itself is Vulkan 1.1 and an extension's record may only
  // be chained where the device offers the extension, so older devices and missing extensions
  // leave their flags false without asking.
  if (d.api_version >= VK_API_VERSION_1_1) {
    VkPhysicalDeviceRayQueryFeaturesKHR rq{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_RAY_QUERY_FEATURES_KHR};
    VkPhysicalDeviceAccelerationStructureFeaturesKHR as{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_FEATURES_KHR};
    VkPhysicalDeviceBufferDeviceAddressFeatures bda{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_BUFFER_DEVICE_ADDRESS_FEATURES};
    VkPhysicalDeviceFeatures2 f2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
    void** tail = &f2.pNext;
    const auto link = [&tail](auto& rec) {
      *tail = &rec;
      tail = &rec.pNext;
    };
    if (d.api_version >= kMinApiVersion) link(bda);
    if (accel_ext) link(as);
    if (query_ext) link(rq);
    vkGetPhysicalDeviceFeatures2(pd, &f2);
    d.has_buffer_device_address = bda.bufferDeviceAddress == VK_TRUE;
    d.has_acceleration_structure = accel_ext && as.accelerationStructure == VK_TRUE;
    d.has_ray_query = query_ext && rq.rayQuery == VK_TRUE;
  }
  classify(d);
  return d;
}

}  // namespace

std::vector<VulkanDeviceInfo> list_devices() {
  InstanceGuard guard{create_instance()};
  const std::vector<VkPhysicalDevice> handles = enumerate_physical_devices(guard.instance);
  std::vector<VulkanDeviceInfo> devices;
  for (uint32_t i = 0; i < handles.size(); ++i) devices.push_back(probe(handles[i], i));
  sort_devices(devices);
  return devices;
}

VulkanContext::VulkanContext(int32_t device) {
  if (device < 0) throw std::out_of_range("Vulkan device index must be non-negative");
  try {
    open(device);
  } catch (...) {
    release();
    throw;
  }
}

VulkanContext::~VulkanContext() { release(); }

void VulkanContext::open(int32_t device) {
  instance_ = create_instance();
  const std::vector<VkPhysicalDevice> handles = enumerate_physical_devices(instance_);
  std::vector<VulkanDeviceInfo> compatible;
  for (uint32_t i = 0; i < handles.size(); ++i) {
    VulkanDeviceInfo d = probe(handles[i], i);
    if (d.compatible) compatible.push_back(std::move(d));
  }
  sort_devices(compatible);
  if (compatible.empty())
    throw std::runtime_error("Vulkan: no device supports acceleration structures and ray query");
  if (static_cast<size_t>(device) >= compatible.size())
    throw std::out_of_range("Vulkan compatible device index " + std::to_string(device) +
                            " is outside [0, " + std::to_string(compatible.size()) + ")");
  device_index_ = device;
  info_ = compatible[static_cast<size_t>(device)];
  physical_ = handles[info_.physical_index];

  const std::vector<VkQueueFamilyProperties> families = queue_families(physical_);
  const std::optional<uint32_t> family = choose_compute_family(describe(families));
  if (!family) throw std::runtime_error("Vulkan: selected device has no compute queue");
  queue_family_ = *family;

  const float priority = 1.f;
  VkDeviceQueueCreateInfo queue_info{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
  queue_info.queueFamilyIndex = queue_family_;
  queue_info.queueCount = 1;
  queue_info.pQueuePriorities = &priority;
  const char* extensions[] = {VK_KHR_ACCELERATION_STRUCTURE_EXTENSION_NAME,
                              VK_KHR_RAY_QUERY_EXTENSION_NAME,
                              VK_KHR_DEFERRED_HOST_OPERATIONS_EXTENSION_NAME};
  VkPhysicalDeviceRayQueryFeaturesKHR rq{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_RAY_QUERY_FEATURES_KHR};
  rq.rayQuery = VK_TRUE;
  VkPhysicalDeviceAccelerationStructureFeaturesKHR as{
      VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_FEATURES_KHR};
  as.accelerationStructure = VK_TRUE;
  as.pNext = &rq;
  VkPhysicalDeviceBufferDeviceAddressFeatures bda{
      VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_BUFFER_DEVICE_ADDRESS_FEATURES};
  bda.bufferDeviceAddress = VK_TRUE;
  bda.pNext = &as;
  VkDeviceCreateInfo device_info{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
  device_info.pNext = &bda;
  device_info.queueCreateInfoCount = 1;
  device_info.pQueueCreateInfos = &queue_info;
  device_info.enabledExtensionCount = 3;
  device_info.ppEnabledExtensionNames = extensions;
  check(vkCreateDevice(physical_, &device_info, nullptr, &device_), "vkCreateDevice");
  vkGetDeviceQueue(device_, queue_family_, 0, &queue_);

  const auto load = [this](const char* name) {
    PFN_vkVoidFunction fn = vkGetDeviceProcAddr(device_, name);
    if (fn == nullptr) throw std::runtime_error(std::string("Vulkan: failed to load ") + name);
    return fn;
  };
  accel_.create = reinterpret_cast<PFN_vkCreateAccelerationStructureKHR>(
      load("vkCreateAccelerationStructureKHR"));
  accel_.destroy = reinterpret_cast<PFN_vkDestroyAccelerationStructureKHR>(
      load("vkDestroyAccelerationStructureKHR"));
  accel_.build_sizes = reinterpret_cast<PFN_vkGetAccelerationStructureBuildSizesKHR>(
      load("vkGetAccelerationStructureBuildSizesKHR"));
  accel_.cmd_build = reinterpret_cast<PFN_vkCmdBuildAccelerationStructuresKHR>(
      load("vkCmdBuildAccelerationStructuresKHR"));
  accel_.device_address = reinterpret_cast<PFN_vkGetAccelerationStructureDeviceAddressKHR>(
      load("vkGetAccelerationStructureDeviceAddressKHR"));

  VkCommandPoolCreateInfo pool_info{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
  pool_info.flags =
      VK_COMMAND_POOL_CREATE_TRANSIENT_BIT | VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  pool_info.queueFamilyIndex = queue_family_;
  check(vkCreateCommandPool(device_, &pool_info, nullptr, &command_pool_), "vkCreateCommandPool");
  VkCommandBufferAllocateInfo alloc{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
  alloc.commandPool = command_pool_;
  alloc.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  alloc.commandBufferCount = 1;
  check(vkAllocateCommandBuffers(device_, &alloc, &command_buffer_),
        "vkAllocateCommandBuffers(immediate)");
  // Created signalled, so the wait that opens every submission passes the first time.
  VkFenceCreateInfo fence_info{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
  fence_info.flags = VK_FENCE_CREATE_SIGNALED_BIT;
  check(vkCreateFence(device_, &fence_info, nullptr, &fence_), "vkCreateFence(immediate)");

  vkGetPhysicalDeviceMemoryProperties(physical_, &memory_);
  VkPhysicalDeviceAccelerationStructurePropertiesKHR asp{
      VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_PROPERTIES_KHR};
  VkPhysicalDeviceMaintenance3Properties m3{
      VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MAINTENANCE_3_PROPERTIES};
  m3.pNext = &asp;
  VkPhysicalDeviceProperties2 props{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2};
  props.pNext = &m3;
  vkGetPhysicalDeviceProperties2(physical_, &props);
  limits_.max_storage_range = props.properties.limits.maxStorageBufferRange;
  limits_.max_allocation = m3.maxMemoryAllocationSize;
  limits_.max_groups_x = props.properties.limits.maxComputeWorkGroupCount[0];
  limits_.max_groups_y = props.properties.limits.maxComputeWorkGroupCount[1];
  limits_.timestamp_valid_bits = families[queue_family_].timestampValidBits;
  limits_.timestamp_period_ns = props.properties.limits.timestampPeriod;
  limits_.scratch_alignment = std::max(1u, asp.minAccelerationStructureScratchOffsetAlignment);
  limits_.max_instances = asp.maxInstanceCount;
  limits_.max_primitives = asp.maxPrimitiveCount;
}

void VulkanContext::release() noexcept {
  if (device_ != VK_NULL_HANDLE) {
    vkDeviceWaitIdle(device_);
    if (fence_ != VK_NULL_HANDLE) vkDestroyFence(device_, fence_, nullptr);
    if (command_pool_ != VK_NULL_HANDLE) vkDestroyCommandPool(device_, command_pool_, nullptr);
    vkDestroyDevice(device_, nullptr);
  }
  if (instance_ != VK_NULL_HANDLE) vkDestroyInstance(instance_, nullptr);
  fence_ = VK_NULL_HANDLE;
  command_pool_ = VK_NULL_HANDLE;
  command_buffer_ = VK_NULL_HANDLE;
  device_ = VK_NULL_HANDLE;
  instance_ = VK_NULL_HANDLE;
}

uint32_t VulkanContext::find_memory_type(uint32_t type_bits, VkMemoryPropertyFlags wanted) const {
  for (uint32_t i = 0; i < memory_.memoryTypeCount; ++i)
    if ((type_bits & (1u << i)) && (memory_.memoryTypes[i].propertyFlags & wanted) == wanted)
      return i;
  throw std::runtime_error("Vulkan: no compatible memory type");
}

uint64_t VulkanContext::heap_size(uint32_t memory_type) const {
  return memory_.memoryHeaps[memory_.memoryTypes[memory_type].heapIndex].size;
}

VkCommandBuffer VulkanContext::begin_immediate() {
  // The fence is reset only when the submission that signals it is about to be made. Reset
  // earlier, a failure while recording or submitting would leave it unsignalled with nothing in
  // flight, and every later submission would wait on it forever.
  if (in_flight_) {
    check(vkWaitForFences(device_, 1, &fence_, VK_TRUE, UINT64_MAX), "vkWaitForFences(immediate)");
    in_flight_ = false;
  }
  check(vkResetCommandBuffer(command_buffer_, 0), "vkResetCommandBuffer(immediate)");
  VkCommandBufferBeginInfo begin{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  check(vkBeginCommandBuffer(command_buffer_, &begin), "vkBeginCommandBuffer");
  return command_buffer_;
}

void VulkanContext::finish_immediate() {
  check(vkEndCommandBuffer(command_buffer_), "vkEndCommandBuffer");
  check(vkResetFences(device_, 1, &fence_), "vkResetFences(immediate)");
  VkSubmitInfo submit{VK_STRUCTURE_TYPE_SUBMIT_INFO};
  submit.commandBufferCount = 1;
  submit.pCommandBuffers = &command_buffer_;
  check(vkQueueSubmit(queue_, 1, &submit, fence_), "vkQueueSubmit");
  in_flight_ = true;
  check(vkWaitForFences(device_, 1, &fence_, VK_TRUE, UINT64_MAX),
        "vkWaitForFences(immediate completion)");
  in_flight_ = false;
}

void VulkanContext::wait_idle() {
  const std::lock_guard<std::mutex> lock(submit_mutex_);
  vkDeviceWaitIdle(device_);
}

}  // namespace velm::vulkan
