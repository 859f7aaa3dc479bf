// A procedural forest for the benchmarks: a ground plane and instanced trees (cylinder trunk,
// icosphere crown), sized by the total number of instanced triangles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <cmath>
#include <ctime>
#include <random>
#include <vector>

#include "sim/workers.h"

#include "cpu/embree_scene.h"
#include "scene/procedural.h"

namespace velm::bench {

inline int add_lists(SceneDescription& d, const MeshLists& m, uint32_t material) {
  HostMesh mesh;
  mesh.vertices = m.vertices;
  mesh.normals = m.normals;
  mesh.triangles = m.triangles;
  mesh.material_id = material;
  return d.add_mesh(std::move(mesh));
}

// Three bands; materials: 0 soil (Lambertian), 1 bark (Lambertian), 2 leaf (type 13).
inline void make_forest(embree::EmbreeSceneManager& scene, int target_triangles, int image_size,
                        float half = 100.f) {
  SceneDescription& d = scene.desc();
  MeshLists ground, trunk, crown;
  append_ground_plane(ground, half, half, 2.f);
  append_cylinder(trunk, 0.3f, 6.f, 16);
  append_sphere(crown, 3.f, {0.f, 0.f, 0.f}, 3);
  const int g = add_lists(d, ground, 0), t = add_lists(d, trunk, 1), c = add_lists(d, crown, 2);
  d.add_instance(g, 0.f, 0.f, 0.f, 1.f);
  const int per_tree = static_cast<int>(trunk.triangles.size() + crown.triangles.size());
  const int n_trees =
      std::max(1, (target_triangles - static_cast<int>(ground.triangles.size())) / per_tree);
  std::mt19937 gen(12345);
  std::uniform_real_distribution<float> pos(-half * 0.95f, half * 0.95f), sc(0.7f, 1.3f);
  for (int i = 0; i < n_trees; ++i) {
    const float x = pos(gen), y = pos(gen), s = sc(gen);
    d.add_instance(t, x, y, 0.f, s);
    d.add_instance(c, x, y, 6.f * s + 2.f * s, s);
  }
  d.set_num_bands(3);
  // soil 3, bark 3, leaf 9 (front, back, transmittance), sun 3, sky 3
  d.upload_spectral_params({0.10f, 0.15f, 0.25f, 0.08f, 0.10f, 0.15f,       //
                            0.05f, 0.10f, 0.45f, 0.06f, 0.09f, 0.35f,       //
                            0.03f, 0.08f, 0.45f,                            //
                            500.f, 600.f, 400.f, 20.f, 25.f, 15.f});
  d.add_material(kMaterialLambertian, 0, {});
  d.add_material(kMaterialLambertian, 3, {});
  d.add_material(kMaterialLeaf, 6, {0.5f, 0.5f});
  const float sun[3] = {0.35f, 0.2f, 0.915f};
  d.set_emitter(0, sun, 15);
  d.set_sky(18);
  const std::vector<float> cam = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 100, 0, 0, 0, 1};
  d.set_sensor(kSensorOrthographic, image_size, image_size, 2.f * half, 2.f * half, cam, 60.f, 0,
               false);
}

using Clock = std::chrono::steady_clock;
inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU seconds of the whole process: on a shared machine, rates in CPU time vary far less with
// the load of other processes than rates in wall time (the benchmarks print both).
inline double process_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Every rate a ratio is formed from is the best of this many rounds in the same process (see
// best_in_rounds).
constexpr int kRepeats = 3;

// The rate of one run of `run()`, which returns how much work it did: work per wall second
// (returned) and per CPU second of the process (in `cpu_rate`, when given).
template <class Run>
double rate_of(Run&& run, double* cpu_rate = nullptr) {
  const auto t0 = Clock::now();
  const double c0 = process_cpu_seconds();
  const double work = static_cast<double>(run());
  if (cpu_rate) *cpu_rate = work / (process_cpu_seconds() - c0);
  return work / seconds_since(t0);
}

// One measurement of a benchmark: `run(&cpu_rate)` does the work once and returns its rate per
// wall second (and per CPU second in cpu_rate); `rate` and `cpu_rate` keep the best.
struct Timed {
  std::function<double(double*)> run;
  double rate = 0.0, cpu_rate = 0.0;
};

// Runs every measurement once a round, one after another, for `rounds` rounds, keeping each one's
// best: a slow or fast spell of a shared machine then falls on both sides of every ratio formed
// from them, which best-of runs taken one measurement after the other do not ensure.
inline void best_in_rounds(const std::vector<Timed*>& timed, int rounds = kRepeats) {
  for (int round = 0; round < rounds; ++round)
    for (Timed* t : timed) {
      double cpu_rate = 0.0;
      t->rate = std::max(t->rate, t->run(&cpu_rate));
      t->cpu_rate = std::max(t->cpu_rate, cpu_rate);
    }
}

// Incoherent rays: uniform origins in the scene box, uniform directions on the sphere, traced
// once. `cpu_rate`, when given, receives the rate in rays per CPU second.
inline double raw_closest_hit_rate(const embree::EmbreeSceneManager& scene, unsigned workers,
                                   uint64_t n_rays, double* cpu_rate = nullptr) {
  const SceneBounds& b = scene.bounds();
  std::vector<float> rays(6 * n_rays);  // origin, direction
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  for (uint64_t i = 0; i < n_rays; ++i) {
    float* r6 = rays.data() + 6 * i;
    for (int k = 0; k < 3; ++k) r6[k] = b.lo[k] + u(gen) * (b.hi[k] - b.lo[k]);
    const float z = 2.f * u(gen) - 1.f, phi = 6.2831855f * u(gen), r = std::sqrt(1.f - z * z);
    r6[3] = r * std::cos(phi);
    r6[4] = r * std::sin(phi);
    r6[5] = z;
  }
  return rate_of([&] {
    parallel_chunks(workers, n_rays, 1024, [&](unsigned, uint64_t begin, uint64_t end) {
      for (uint64_t i = begin; i < end; ++i) {
        const float* r6 = rays.data() + 6 * i;
        RTCRayHit rh = embree::make_ray_hit(r6, r6 + 3, 1e-4f, 1e16f);
        embree::intersect1(scene.top_scene(), &rh);
      }
    });
    return n_rays;
  }, cpu_rate);
}

// The rays one run of `simulate` traces, in their order: the run goes on one worker (the
// calling thread, as there is no poll) with the calling thread's rays recorded.
template <class Simulate>
embree::RayLog record_rays(Simulate&& simulate) {
  const char* env = std::getenv("VELM_NUM_THREADS");
  const std::string saved = env ? env : "";
  setenv("VELM_NUM_THREADS", "1", 1);
  embree::RayLog log;
  {
    embree::RecordRays recording(&log);
    simulate();
  }
  if (env)
    setenv("VELM_NUM_THREADS", saved.c_str(), 1);
  else
    unsetenv("VELM_NUM_THREADS");
  return log;
}

// Recorded rays traced once on `workers` threads, closest-hit and occlusion rays each in their
// recorded order: `closest(origin, direction)` and `occluded(origin, direction, length)` trace one
// ray each. In rays per second of both kinds together (and per CPU second in `cpu_rate`).
template <class Closest, class Occluded>
inline double replay_with(const embree::RayLog& log, unsigned workers, double* cpu_rate,
                   Closest&& closest, Occluded&& occluded) {
  const uint64_t nc = log.closest.size() / 6, no = log.occlusion.size() / 7;
  return rate_of([&] {
    parallel_chunks(workers, nc, 1024, [&](unsigned, uint64_t begin, uint64_t end) {
      for (uint64_t i = begin; i < end; ++i) {
        const float* r = log.closest.data() + 6 * i;
        closest(r, r + 3);
      }
    });
    parallel_chunks(workers, no, 1024, [&](unsigned, uint64_t begin, uint64_t end) {
      for (uint64_t i = begin; i < end; ++i) {
        const float* r = log.occlusion.data() + 7 * i;
        occluded(r, r + 3, r[6]);
      }
    });
    return nc + no;
  }, cpu_rate);
}

// The recorded rays through plain rtcIntersect1 / rtcOccluded1.
inline double replay_rate(const embree::EmbreeSceneManager& scene, const embree::RayLog& log,
                          unsigned workers, double* cpu_rate = nullptr) {
  return replay_with(log, workers, cpu_rate, [&](const float* o, const float* d) {
    RTCRayHit rh = embree::make_ray_hit(o, d, 0.f, 1e16f);
    embree::intersect1(scene.top_scene(), &rh);
  }, [&](const float* o, const float* d, float length) {
    RTCRay ray = embree::make_ray(o, d, 0.f, length);
    embree::occluded1(scene.top_scene(), &ray);
  });
}

// The same recorded rays through the library's own ray queries (intersect_closest with its hit
// rebuild, occluded): what tracing the simulation's rays costs before any simulation work, so a
// replay ratio splits into the queries' share and the simulation's.
inline double query_replay_rate(const embree::EmbreeSceneManager& scene, const embree::RayLog& log,
                                unsigned workers, double* cpu_rate = nullptr) {
  return replay_with(log, workers, cpu_rate, [&](const float* o, const float* d) {
    scene.intersect_closest({o[0], o[1], o[2]}, {d[0], d[1], d[2]});
  }, [&](const float* o, const float* d, float length) {
    scene.occluded({o[0], o[1], o[2]}, {d[0], d[1], d[2]}, length);
  });
}

}  // namespace velm::bench
