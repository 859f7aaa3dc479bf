// trace_closest: caller-given rays against the built scene with the generic trace shader, then
// the host turns each hit record into ids, normals and the hit material's reflectance.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include "vulkan/check.h"
#include "vulkan/descriptors.h"
#include "vulkan/scene_manager.h"

namespace velm::vulkan {

namespace {

// What the shader reads per ray and writes per hit (32 bytes each).
struct RayRecord {
  float origin[3];
  float t_min;
  float direction[3];
  float t_max;
};
struct HitRecord {
  float t;
  int32_t instance_id;  // the TLAS custom index: the instance's position in the scene
  int32_t primitive_id;  // triangle within the instance's mesh
  uint32_t hit;
  float u, v;  // barycentric weights of the second and third corner
  uint32_t front_face;
  uint32_t reserved;
};
static_assert(sizeof(RayRecord) == 32 && sizeof(HitRecord) == 32, "trace records are 32 bytes");

constexpr uint32_t kGroupSize = 64;  // the trace shader's work group along x
// Rays per dispatch at most: a dispatch, with the host's work on its rays, takes about a fifth of
// a second on lavapipe, and Ctrl-C is looked at between dispatches.
constexpr size_t kRaysPerPoll = size_t{1} << 19;

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct V3 {
  float x, y, z;
};
inline V3 sub(const Float3& a, const Float3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline V3 cross(const V3& a, const V3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float dot(const V3& a, const float* d) { return a.x * d[0] + a.y * d[1] + a.z * d[2]; }
// Unit vector facing against `d`; false for a zero (or non-finite) vector.
inline bool facing_unit(V3 n, const float* d, float* out) {
  const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  if (!(len > 0.f) || !std::isfinite(len)) return false;
  const float s = (dot(n, d) > 0.f ? -1.f : 1.f) / len;
  out[0] = n.x * s;
  out[1] = n.y * s;
  out[2] = n.z * s;
  return true;
}

}  // namespace

TraceProfile VulkanSceneManager::last_trace_profile() const {
  const std::lock_guard<std::mutex> lock(trace_mutex_);
  return profile_;
}

size_t VulkanSceneManager::max_rays_per_dispatch() const {
  // One dispatch's rays must fit one storage binding and the work-group count limit in x.
  const DeviceLimits& lim = ctx_->limits();
  return static_cast<size_t>(std::min<uint64_t>(lim.max_storage_range / sizeof(RayRecord),
                                                uint64_t{lim.max_groups_x} * kGroupSize));
}

void VulkanSceneManager::grow_trace_buffers(size_t rays) {
  if (rays <= trace_capacity_ && !trace_rays_.empty()) return;
  size_t capacity = std::max<size_t>(trace_capacity_, 64);
  while (capacity < rays) capacity *= 2;
  capacity = std::min(capacity, max_rays_per_dispatch());
  const VkDeviceSize bytes = capacity * sizeof(RayRecord);
  check_storage_range(*ctx_, bytes);
  // Both new buffers exist before the old ones go.
  VulkanBuffer r = VulkanBuffer::create(*ctx_, bytes, kUsageStorage, kHostMemory);
  VulkanBuffer h = VulkanBuffer::create(*ctx_, bytes, kUsageStorage, kHostMemory);
  trace_rays_ = std::move(r);
  trace_hits_ = std::move(h);
  trace_capacity_ = capacity;
}

void VulkanSceneManager::bind_trace_buffers() {
  write_descriptor_set(*ctx_, pipelines_.trace_set(), tlas_.handle(),
                       {{&trace_rays_, "the ray records"}, {&trace_hits_, "the hit records"}});
}

void VulkanSceneManager::write_rays(const TraceRays& rays, size_t first, size_t n) {
  trace_rays_.write_mapped(n * sizeof(RayRecord), [&](void* p) {
    RayRecord* out = static_cast<RayRecord*>(p);
    const float* o = rays.origins + 3 * first;
    const float* d = rays.directions + 3 * first;
    for (size_t i = 0; i < n; ++i, o += 3, d += 3)
      out[i] = RayRecord{{o[0], o[1], o[2]}, rays.t_min, {d[0], d[1], d[2]}, rays.t_max};
  });
}

void VulkanSceneManager::dispatch_trace(size_t n, double& device_seconds) {
  const bool timed = ctx_->limits().timestamp_valid_bits > 0;
  if (timed && timestamps_ == VK_NULL_HANDLE) {
    VkQueryPoolCreateInfo info{VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO};
    info.queryType = VK_QUERY_TYPE_TIMESTAMP;
    info.queryCount = 2;
    check(vkCreateQueryPool(ctx_->device(), &info, nullptr, &timestamps_),
          "vkCreateQueryPool(trace)");
  }
  const uint32_t count = static_cast<uint32_t>(n);
  const ComputePipeline& p = pipelines_.trace();
  const VkDescriptorSet set = pipelines_.trace_set();
  ctx_->submit_immediate([&](VkCommandBuffer cmd) {
    if (timed) {
      vkCmdResetQueryPool(cmd, timestamps_, 0, 2);
      vkCmdWriteTimestamp(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, timestamps_, 0);
    }
    vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, p.pipeline);
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, p.layout, 0, 1, &set, 0, nullptr);
    vkCmdPushConstants(cmd, p.layout, VK_SHADER_STAGE_COMPUTE_BIT, 0, sizeof count, &count);
    vkCmdDispatch(cmd, (count + kGroupSize - 1) / kGroupSize, 1, 1);
    if (timed) vkCmdWriteTimestamp(cmd, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, timestamps_, 1);
    memory_barrier(cmd, VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT, VK_ACCESS_SHADER_WRITE_BIT,
                   VK_PIPELINE_STAGE_HOST_BIT, VK_ACCESS_HOST_READ_BIT);
  });
  if (timed) {
    uint64_t ticks[2] = {0, 0};
    check(vkGetQueryPoolResults(ctx_->device(), timestamps_, 0, 2, sizeof ticks, ticks,
                                sizeof(uint64_t), VK_QUERY_RESULT_64_BIT),
          "vkGetQueryPoolResults(trace)");
    const uint32_t bits = ctx_->limits().timestamp_valid_bits;
    const uint64_t mask = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    const uint64_t elapsed = ((ticks[1] & mask) - (ticks[0] & mask)) & mask;
    device_seconds += static_cast<double>(elapsed) * ctx_->limits().timestamp_period_ns * 1e-9;
  }
}

void VulkanSceneManager::read_hits(const TraceRays& rays, size_t first, size_t n,
                                   const TraceResults& out) {
  const auto& meshes = desc_.meshes();
  const auto& materials = desc_.materials();
  const std::vector<float>& spectrum = desc_.spectral_params();
  const int32_t bands = out.bands;
  trace_hits_.read_mapped(n * sizeof(HitRecord), [&](const void* p) {
    const HitRecord* hits = static_cast<const HitRecord*>(p);
    for (size_t k = 0; k < n; ++k) {
      const HitRecord& h = hits[k];
      const size_t i = first + k;
      const float* d = rays.directions + 3 * i;
      float* ng = out.geometric_normal + 3 * i;
      float* ns = out.normal + 3 * i;
      float* refl = out.reflectance + static_cast<size_t>(bands) * i;
      out.t[i] = h.t;
      out.instance_id[i] = h.instance_id;
      out.primitive_id[i] = h.primitive_id;
      out.hit[i] = h.hit != 0;
      out.is_back_face[i] = h.front_face == 0;
      out.global_primitive_id[i] = -1;
      out.material_id[i] = -1;
      ng[0] = ns[0] = 0.f;
      ng[1] = ns[1] = 0.f;
      ng[2] = ns[2] = 1.f;
      std::fill(refl, refl + bands, 0.f);
      if (h.hit == 0 || h.instance_id < 0 || static_cast<size_t>(h.instance_id) >= shading_.size())
        continue;

      const InstanceShading& s = shading_[static_cast<size_t>(h.instance_id)];
      const HostMesh& mesh = meshes[s.mesh];
      out.global_primitive_id[i] = static_cast<int32_t>(s.first_primitive) + h.primitive_id;
      out.material_id[i] = s.material;
      if (h.primitive_id >= 0 && static_cast<size_t>(h.primitive_id) < mesh.triangles.size()) {
        const Int3& tri = mesh.triangles[static_cast<size_t>(h.primitive_id)];
        const Float3 p0 = transform_point(s.transform, mesh.vertices[tri.i0]);
        const Float3 p1 = transform_point(s.transform, mesh.vertices[tri.i1]);
        const Float3 p2 = transform_point(s.transform, mesh.vertices[tri.i2]);
        facing_unit(cross(sub(p1, p0), sub(p2, p0)), d, ng);
        // Without vertex normals (or where they cancel out) the shading normal is the
        // geometric one.
        bool shaded = false;
        if (!mesh.normals.empty()) {
          if (s.singular)
            throw std::invalid_argument(
                "Vulkan: instance transform has a singular linear component");
          const float w = 1.f - h.u - h.v;
          const Float3 &a = mesh.normals[tri.i0], &b = mesh.normals[tri.i1],
                       &c = mesh.normals[tri.i2];
          const float n[3] = {w * a.x + h.u * b.x + h.v * c.x, w * a.y + h.u * b.y + h.v * c.y,
                              w * a.z + h.u * b.z + h.v * c.z};
          const auto& m = s.normal_matrix.rows;
          const V3 world{m[0][0] * n[0] + m[0][1] * n[1] + m[0][2] * n[2],
                         m[1][0] * n[0] + m[1][1] * n[1] + m[1][2] * n[2],
                         m[2][0] * n[0] + m[2][1] * n[1] + m[2][2] * n[2]};
          shaded = facing_unit(world, d, ns);
        }
        if (!shaded) std::copy(ng, ng + 3, ns);
      }

      // Reflectance: the material's first spectral block, or for a leaf seen from its back the
      // block after it.
      const int32_t m = s.material;
      if (m < 0 || static_cast<size_t>(m) >= materials.size()) continue;
      const MaterialRecord& mat = materials[static_cast<size_t>(m)];
      int64_t base = mat.spectral_offset;
      if (mat.type == kMaterialLeaf && out.is_back_face[i]) base += bands;
      if (bands > 0 && base + bands > static_cast<int64_t>(spectrum.size()))
        throw std::out_of_range("Vulkan LiDAR material spectrum is invalid");
      std::copy(spectrum.begin() + base, spectrum.begin() + base + bands, refl);
    }
  });
}

void VulkanSceneManager::trace_closest(const TraceRays& rays, const TraceResults& out,
                                       const HostHooks& hooks) {
  if (!desc_.is_built()) throw std::runtime_error("Vulkan: build the scene before tracing rays");
  if (rays.count == 0) return;
  if (out.bands < 0) throw std::invalid_argument("Vulkan: number of bands must not be negative");
  const std::lock_guard<std::mutex> lock(trace_mutex_);
  TraceProfile prof;
  prof.rays = rays.count;
  prof.device = ctx_->limits().timestamp_valid_bits > 0 ? 0.0 : -1.0;
  const size_t chunk = std::min(max_rays_per_dispatch(), kRaysPerPoll);
  Clock::time_point t0 = Clock::now();
  grow_trace_buffers(std::min(rays.count, chunk));
  bind_trace_buffers();
  prof.prepare += seconds_since(t0);
  for (size_t first = 0; first < rays.count; first += chunk) {
    const size_t n = std::min(chunk, rays.count - first);
    t0 = Clock::now();
    write_rays(rays, first, n);
    prof.prepare += seconds_since(t0);
    t0 = Clock::now();
    double device = 0.0;
    dispatch_trace(n, device);
    if (prof.device >= 0.0) prof.device += device;
    prof.submit += seconds_since(t0);
    ++prof.dispatches;
    t0 = Clock::now();
    read_hits(rays, first, n, out);
    prof.results += seconds_since(t0);
    // A stopped call leaves the buffers as a finished one does: the next call rewrites them.
    if (hooks.poll && first + n < rays.count) hooks.poll();
  }
  prof.capacity = trace_capacity_;
  profile_ = prof;
}

}  // namespace velm::vulkan
