#include "cpu/microwave.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "physics/camera.h"
#include "physics/microwave_path.h"
#include "physics/microwave_tables.h"
#include "sim/workers.h"

namespace velm::cpu {

namespace {

// Rays a worker takes at a time (whole pixels), and rays between progress reports.
constexpr uint64_t kRaysPerChunk = uint64_t{1} << 12;
constexpr uint64_t kRaysPerBatch = uint64_t{1} << 22;

MicrowaveSettings transport_settings(const embree::EmbreeSceneManager& scene,
                                     const MicrowaveRequest& req) {
  MicrowaveSettings set;
  set.active = req.active;
  set.max_depth = req.max_depth;
  set.air_temperature = req.air_temperature;
  set.atm_tau = req.atm_tau;
  set.tile = scene.desc().repetition();
  set.repetition = set.tile.active();
  set.zlo = scene.min_height();
  set.zhi = scene.max_height();
  return set;
}

// Pixel (x, y): spp jittered sensor rays, their mean written as the request's channels.
void render_pixel(const embree::EmbreeSceneManager& scene, const MicrowaveTables& tables,
                  const MicrowaveSettings& set, const MicrowaveRequest& req,
                  const SensorBlock& sensor, uint32_t x, uint32_t y, float* out) {
  const uint64_t i = static_cast<uint64_t>(y) * static_cast<uint64_t>(sensor.width) + x;
  Pcg32 rng = microwave_pixel_stream(i, req.seed);
  float sum[4] = {0.f, 0.f, 0.f, 0.f};
  for (int s = 0; s < req.spp; ++s) {
    const float jx = rng.next_float(), jy = rng.next_float();
    const SensorRay ray =
        sensor_ray(sensor, static_cast<float>(x) + jx, static_cast<float>(y) + jy);
    if (dot(ray.direction, ray.direction) < 0.5f) continue;  // outside a fisheye's circle
    const Stokes v = microwave_ray(scene, tables, set, ray.origin, ray.direction, rng);
    for (int k = 0; k < 4; ++k) sum[k] += v.v[k];
  }
  const float inv = 1.f / static_cast<float>(req.spp);
  for (float& v : sum) v *= inv;
  microwave_channels(out, req.n_channels, sum, req.active);
}

}  // namespace

std::vector<float> simulate_microwave(const embree::EmbreeSceneManager& scene,
                                      const MicrowaveRequest& req, const HostHooks& hooks) {
  const std::string who =
      req.active ? "simulate_active_microwave_cpu" : "simulate_microwave_cpu";
  const MicrowavePlan plan = plan_microwave(scene.desc(), built_scene(scene), req, who);
  std::vector<float> film(plan.pixels * static_cast<uint64_t>(req.n_channels), 0.f);
  if (plan.pixels == 0) return film;
  std::vector<MicrowaveMaterialRecord> records;
  const MicrowaveTables tables = host_tables(plan, req, records);
  const MicrowaveSettings set = transport_settings(scene, req);
  const SensorBlock& sensor = scene.desc().sensor();
  const uint64_t spp = static_cast<uint64_t>(req.spp);
  const uint64_t chunk = std::max<uint64_t>(1, kRaysPerChunk / spp);
  const uint64_t batch = std::max<uint64_t>(chunk, kRaysPerBatch / spp);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  parallel_batches(
      worker_count(), plan.pixels, chunk, batch,
      [&](unsigned, uint64_t first, uint64_t end) {
        for (uint64_t i = first; i < end && !stop.load(std::memory_order_relaxed); ++i)
          render_pixel(scene, tables, set, req, sensor, static_cast<uint32_t>(i % plan.width),
                       static_cast<uint32_t>(i / plan.width), film.data() + i * req.n_channels);
      },
      [&](uint64_t done) {
        const double ms = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        hooks.report(done, plan.pixels, static_cast<float>(ms));
      },
      hooks.poll, &stop);
  return film;
}

}  // namespace velm::cpu
