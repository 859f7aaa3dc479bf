// Raw Embree closest-hit rate for the rays of a trace_closest run, as the yardstick for
// bench/bench_vulkan_trace.py. Reads the scene and rays the Python script wrote, builds the same
// two-level Embree scene as EmbreeSceneManager, and times plain rtcIntersect1 over all rays on
// the given numbers of threads. The hit distances (infinity for a miss) of the last run go to
// the output file, so the script can check that both backends saw the same scene.
//
//   embree_rays <scene file> <t output file> <threads> [<threads> ...]
//
// Prints one line per thread count: "raw_embree threads=<n> rays=<count> seconds=<s>
// rays_per_s=<r> hits=<h>".
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu/embree_compat.h"
#include "cpu/embree_scene.h"
#include "sim/workers.h"

namespace {

template <class T>
void read_n(std::ifstream& in, T* out, size_t n) {
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n * sizeof(T)));
  if (!in) throw std::runtime_error("scene file is truncated");
}
template <class T>
T read1(std::ifstream& in) {
  T v;
  read_n(in, &v, 1);
  return v;
}

// File layout (little-endian): "VTRC", mesh count, per mesh (vertex count, triangle count,
// vertices, triangles), instance count, per instance (mesh id, 12 floats), ray count, origins,
// directions, t_min, t_max.
struct Rays {
  std::vector<float> origins, directions;
  float t_min = 0.f, t_max = 0.f;
};

Rays load(const char* path, velm::SceneDescription& d) {
  std::ifstream in(path, std::ios::binary);
  char magic[4];
  read_n(in, magic, 4);
  if (std::string(magic, 4) != "VTRC") throw std::runtime_error("not a VTRC file");
  const int32_t meshes = read1<int32_t>(in);
  for (int32_t m = 0; m < meshes; ++m) {
    velm::HostMesh mesh;
    mesh.vertices.resize(static_cast<size_t>(read1<int32_t>(in)));
    mesh.triangles.resize(static_cast<size_t>(read1<int32_t>(in)));
    read_n(in, mesh.vertices.data(), mesh.vertices.size());
    read_n(in, mesh.triangles.data(), mesh.triangles.size());
    d.add_mesh(std::move(mesh));
  }
  const int32_t instances = read1<int32_t>(in);
  for (int32_t i = 0; i < instances; ++i) {
    const int32_t mesh = read1<int32_t>(in);
    float xf[12];
    read_n(in, xf, 12);
    d.add_instance_xform(mesh, xf);
  }
  Rays r;
  const size_t n = static_cast<size_t>(read1<int32_t>(in));
  r.origins.resize(3 * n);
  r.directions.resize(3 * n);
  read_n(in, r.origins.data(), 3 * n);
  read_n(in, r.directions.data(), 3 * n);
  r.t_min = read1<float>(in);
  r.t_max = read1<float>(in);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <scene file> <t output file> <threads> [<threads> ...]\n",
                 argv[0]);
    return 2;
  }
  velm::embree::EmbreeSceneManager scene;
  const Rays rays = load(argv[1], scene.desc());
  scene.build();
  const size_t n = rays.origins.size() / 3;
  std::vector<float> t(n);
  for (int a = 3; a < argc; ++a) {
    const unsigned threads = static_cast<unsigned>(std::max(1, std::atoi(argv[a])));
    std::vector<uint64_t> hits(threads * 8, 0);  // one cache line per worker
    const auto t0 = std::chrono::steady_clock::now();
    velm::parallel_chunks(threads, n, 4096, [&](unsigned w, uint64_t b, uint64_t e) {
      for (uint64_t i = b; i < e; ++i) {
        RTCRayHit rh = velm::embree::make_ray_hit(&rays.origins[3 * i], &rays.directions[3 * i],
                                                  rays.t_min, rays.t_max);
        velm::embree::intersect1(scene.top_scene(), &rh);
        const bool hit = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        t[i] = hit ? rh.ray.tfar : std::numeric_limits<float>::infinity();
        hits[w * 8] += hit;
      }
    });
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    uint64_t total = 0;
    for (unsigned w = 0; w < threads; ++w) total += hits[w * 8];
    std::printf("raw_embree threads=%u rays=%zu seconds=%.6f rays_per_s=%.1f hits=%llu\n",
                threads, n, s, n / s, static_cast<unsigned long long>(total));
  }
  std::ofstream(argv[2], std::ios::binary)
      .write(reinterpret_cast<const char*>(t.data()), static_cast<std::streamsize>(4 * n));
  return 0;
}
