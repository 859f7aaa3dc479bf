// Raw Embree closest-hit rate for the rays of a LiDAR run, as the yardstick for
// bench/bench_lidar.py. Reads the scene and pulses that the Python script wrote, builds the same
// two-level Embree scene as EmbreeSceneManager (one scene per mesh, one instance geometry per
// instance, default flags), expands every pulse into its beam rays exactly as the LiDAR
// simulation does, and times plain rtcIntersect1 over them on the given numbers of threads.
// It also times EmbreeSceneManager::intersect_closest on the same rays (hit record with
// interpolated normals), to show where the simulation's time goes, and the closest-hit rate of
// random rays (uniform origins in the scene box, uniform directions) on the same scene, the
// yardstick the other CPU benchmarks use.
//
//   lidar_raw_rays <scene file> <threads> [<threads> ...]
//
// Prints one line per measurement: "<what> threads=<n> rays=<count> seconds=<s> rays_per_s=<r>".
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/forest.h"
#include "cpu/embree_compat.h"
#include "cpu/embree_scene.h"
#include "cpu/lidar.h"
#include "sim/workers.h"

namespace {

using velm::Vec3;

struct Mesh {
  std::vector<float> vertices;    // 3 per vertex
  std::vector<float> normals;     // 3 per vertex, or none
  std::vector<uint32_t> indices;  // 3 per triangle
};
struct Instance {
  int32_t mesh;
  float xf[12];
};
struct Input {
  std::vector<Mesh> meshes;
  std::vector<Instance> instances;
  std::vector<float> origins, directions;
  float beam_half_angle = 0.f;
  int32_t beam_samples_per_dim = 0;
};

template <class T>
T get(std::ifstream& in) {
  T v;
  in.read(reinterpret_cast<char*>(&v), sizeof v);
  if (!in) throw std::runtime_error("scene file is truncated");
  return v;
}
template <class T>
void get_n(std::ifstream& in, std::vector<T>& v, size_t n) {
  v.resize(n);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * sizeof(T)));
  if (!in) throw std::runtime_error("scene file is truncated");
}

// Layout (little-endian): "VLRB", int32 mesh count, per mesh int32 nv, int32 nt, int32 nn (0 or
// nv), float32 vertices[nv][3], float32 normals[nn][3], int32 triangles[nt][3]; int32 instance
// count, per instance int32 mesh id and float32 transform[12] (row-major 3x4); int32 pulse
// count, float32 origins[n][3], float32 directions[n][3]; float32 beam half angle; int32 beam
// samples per dimension.
Input read_input(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot open ") + path);
  char magic[4];
  in.read(magic, 4);
  if (!in || std::string(magic, 4) != "VLRB") throw std::runtime_error("not a VLRB file");
  Input d;
  d.meshes.resize(static_cast<size_t>(get<int32_t>(in)));
  for (Mesh& m : d.meshes) {
    const int32_t nv = get<int32_t>(in), nt = get<int32_t>(in), nn = get<int32_t>(in);
    get_n(in, m.vertices, static_cast<size_t>(nv) * 3);
    get_n(in, m.normals, static_cast<size_t>(nn) * 3);
    get_n(in, m.indices, static_cast<size_t>(nt) * 3);
  }
  d.instances.resize(static_cast<size_t>(get<int32_t>(in)));
  for (Instance& i : d.instances) {
    i.mesh = get<int32_t>(in);
    for (float& v : i.xf) v = get<float>(in);
  }
  const int32_t np = get<int32_t>(in);
  get_n(in, d.origins, static_cast<size_t>(np) * 3);
  get_n(in, d.directions, static_cast<size_t>(np) * 3);
  d.beam_half_angle = get<float>(in);
  d.beam_samples_per_dim = get<int32_t>(in);
  return d;
}

struct RawScene {
  RTCDevice device = nullptr;
  RTCScene top = nullptr;
  std::vector<RTCScene> meshes;
  explicit RawScene(const Input& d) {
    device = rtcNewDevice(nullptr);
    for (const Mesh& m : d.meshes) {
      RTCScene s = rtcNewScene(device);
      RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
      void* vb = rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 12,
                                         m.vertices.size() / 3);
      std::copy(m.vertices.begin(), m.vertices.end(), static_cast<float*>(vb));
      void* ib = rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 12,
                                         m.indices.size() / 3);
      std::copy(m.indices.begin(), m.indices.end(), static_cast<uint32_t*>(ib));
      rtcCommitGeometry(g);
      rtcAttachGeometry(s, g);
      rtcReleaseGeometry(g);
      rtcCommitScene(s);
      meshes.push_back(s);
    }
    top = rtcNewScene(device);
    for (const Instance& i : d.instances) {
      RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
      rtcSetGeometryInstancedScene(g, meshes[static_cast<size_t>(i.mesh)]);
      velm::Transform34 t;
      std::copy(i.xf, i.xf + 12, t.begin());
      float cm[16];
      velm::embree::to_column_major(t, cm);
      rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
      rtcCommitGeometry(g);
      rtcAttachGeometry(top, g);
      rtcReleaseGeometry(g);
    }
    rtcCommitScene(top);
  }
  ~RawScene() {
    rtcReleaseScene(top);
    for (RTCScene s : meshes) rtcReleaseScene(s);
    rtcReleaseDevice(device);
  }
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <scene file> <threads> [<threads> ...]\n", argv[0]);
    return 2;
  }
  try {
    const Input d = read_input(argv[1]);

    // The beam rays in the simulation's order: pulse by pulse, beam samples in pattern order.
    const std::vector<velm::lidar::BeamSample> beam =
        velm::lidar::make_beam_pattern(d.beam_samples_per_dim);
    const float tan_half = std::tan(d.beam_half_angle);
    const size_t pulses = d.origins.size() / 3;
    std::vector<Vec3> org, dir;
    org.reserve(pulses * beam.size());
    dir.reserve(pulses * beam.size());
    for (size_t p = 0; p < pulses; ++p) {
      const Vec3 o(d.origins[3 * p], d.origins[3 * p + 1], d.origins[3 * p + 2]);
      const Vec3 n = velm::normalize(
          Vec3(d.directions[3 * p], d.directions[3 * p + 1], d.directions[3 * p + 2]));
      const velm::Frame f = velm::build_frame(n);
      for (const auto& s : beam) {
        org.push_back(o);
        dir.push_back(velm::lidar::beam_world_direction(
            f, velm::lidar::beam_local_direction(s, tan_half)));
      }
    }
    const uint64_t rays = org.size();
    const uint64_t chunk = 16 * std::max<uint64_t>(1, beam.size());

    const RawScene raw(d);
    velm::embree::EmbreeSceneManager mgr;
    for (const Mesh& m : d.meshes) {
      velm::HostMesh h;
      for (size_t v = 0; v + 2 < m.vertices.size(); v += 3)
        h.vertices.push_back({m.vertices[v], m.vertices[v + 1], m.vertices[v + 2]});
      for (size_t v = 0; v + 2 < m.normals.size(); v += 3)
        h.normals.push_back({m.normals[v], m.normals[v + 1], m.normals[v + 2]});
      for (size_t t = 0; t + 2 < m.indices.size(); t += 3)
        h.triangles.push_back({static_cast<int32_t>(m.indices[t]),
                               static_cast<int32_t>(m.indices[t + 1]),
                               static_cast<int32_t>(m.indices[t + 2])});
      mgr.desc().add_mesh(std::move(h));
    }
    for (const Instance& i : d.instances) mgr.desc().add_instance_xform(i.mesh, i.xf);
    mgr.build();

    for (int a = 2; a < argc; ++a) {
      const unsigned threads = static_cast<unsigned>(std::max(1, std::atoi(argv[a])));
      for (int rep = 0; rep < 2; ++rep) {  // first pass warms caches; the second is reported
        // Hit counts keep the traversal from being optimised away; summed per chunk so the
        // workers do not share a cache line per ray.
        std::vector<uint64_t> hits(threads * 8, 0);
        auto t0 = std::chrono::steady_clock::now();
        velm::parallel_chunks(threads, rays, chunk, [&](unsigned w, uint64_t b, uint64_t e) {
          uint64_t n = 0;
          for (uint64_t r = b; r < e; ++r) {
            const float o[3] = {org[r].x, org[r].y, org[r].z};
            const float d[3] = {dir[r].x, dir[r].y, dir[r].z};
            RTCRayHit rh = velm::embree::make_ray_hit(o, d, 1e-4f, 1e16f);
            velm::embree::intersect1(raw.top, &rh);
            n += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
          }
          hits[8 * w] += n;
        });
        const double raw_s = seconds_since(t0);

        t0 = std::chrono::steady_clock::now();
        velm::parallel_chunks(threads, rays, chunk, [&](unsigned w, uint64_t b, uint64_t e) {
          uint64_t n = 0;
          for (uint64_t r = b; r < e; ++r) n += mgr.intersect_closest(org[r], dir[r]).hit;
          hits[8 * w] += n;
        });
        const double mgr_s = seconds_since(t0);
        if (rep == 1) {
          constexpr uint64_t kRandomRays = 1000000;
          const double random = velm::bench::raw_closest_hit_rate(mgr, threads, kRandomRays);
          std::printf("raw_random threads=%u rays=%llu seconds=%.6f rays_per_s=%.1f\n", threads,
                      static_cast<unsigned long long>(kRandomRays), kRandomRays / random, random);
          std::printf("raw_embree threads=%u rays=%llu seconds=%.6f rays_per_s=%.1f\n", threads,
                      static_cast<unsigned long long>(rays), raw_s, rays / raw_s);
          std::printf("intersect_closest threads=%u rays=%llu seconds=%.6f rays_per_s=%.1f\n",
                      threads, static_cast<unsigned long long>(rays), mgr_s, rays / mgr_s);
        }
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lidar_raw_rays: %s\n", e.what());
    return 1;
  }
  return 0;
}
