#include "optix/records.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "physics/microwave_path.h"

namespace velm::optix {

void launch_domain(const SceneDescription& desc, const SceneBounds& bounds, float lo[3],
                   float hi[3]) {
  const RepetitionTile& tile = desc.repetition();
  for (int k = 0; k < 3; ++k) {
    lo[k] = bounds.lo[k];
    hi[k] = bounds.hi[k];
  }
  if (tile.count >= 1) {
    lo[0] = 0.f;
    lo[1] = 0.f;
    hi[0] = tile.x_size;
    hi[1] = tile.y_size;
  }
}

LaunchSceneBlock make_launch_scene_block(const SceneDescription& desc, const SceneBounds& bounds,
                                         const SceneDeviceState& gpu) {
  LaunchSceneBlock b;
  std::memset(static_cast<void*>(&b), 0, sizeof b);
  b.ias_handle = gpu.ias;
  b.materials = gpu.materials;
  b.material_count = static_cast<uint32_t>(desc.materials().size());
  b.spectral_params = gpu.spectral_params;
  b.emitter = gpu.emitter;
  b.emitter_count = 1;
  b.sensor = desc.sensor();
  b.num_bands = desc.num_bands();
  launch_domain(desc, bounds, b.domain_min, b.domain_max);
  b.sky_offset = desc.sky().constant_offset;
  b.hosek_sky_offset = desc.sky().hosek_offset;
  for (int k = 0; k < 3; ++k) b.sun_direction[k] = desc.sky().hosek_sun[k];
  b.repetitions = desc.repetition().count;
  b.scene_size[0] = desc.repetition().x_size;
  b.scene_size[1] = desc.repetition().y_size;
  b.num_meshes = gpu.num_meshes;
  b.thermal_mode = desc.thermal().enabled ? 1 : 0;
  b.thermal_wavelengths = gpu.thermal_wavelengths;
  b.terrain_following = desc.terrain_following() ? 1 : 0;
  b.measurement_plane = desc.measurement_plane();
  b.n_primitives = gpu.n_primitives;
  b.primitive_temperatures = gpu.temperatures;
  b.instance_prefix = gpu.instance_prefix;
  b.primitive_emissivities = gpu.emissivities;
  b.primitive_sif_spectra = gpu.sif_spectra;
  b.n_sif_bands = desc.primitive_overrides().n_sif_bands;
  b.sif_only = desc.primitive_overrides().sif_only ? 1 : 0;
  b.instance_mesh_ids = gpu.instance_mesh_ids;
  b.instance_transforms = gpu.instance_transforms;
  b.mesh_triangle_counts = gpu.mesh_triangle_counts;
  b.lookup_instances = gpu.lookup_instances;
  b.max_mesh_triangles = gpu.max_mesh_triangles;
  b.mesh_vertex_pointers = gpu.mesh_vertex_pointers;
  b.mesh_index_pointers = gpu.mesh_index_pointers;
  return b;
}

std::vector<Instance> make_instance_records(const std::vector<InstanceRecord>& instances,
                                            const std::vector<TraversableHandle>& gas_by_mesh) {
  std::vector<Instance> out(instances.size());
  for (size_t i = 0; i < instances.size(); ++i) {
    const InstanceRecord& src = instances[i];
    if (src.mesh_id >= gas_by_mesh.size())
      throw std::logic_error("instance refers to a mesh without an acceleration structure");
    Instance& r = out[i];
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.transform, src.transform.data(), sizeof r.transform);
    r.instance_id = static_cast<uint32_t>(i);
    r.sbt_offset = 2 * src.mesh_id;
    r.visibility_mask = 255;
    r.flags = 0;
    r.traversable = gas_by_mesh[src.mesh_id];
  }
  return out;
}

RaygenRecord make_raygen_record(const SbtHeader& header) {
  RaygenRecord r;
  std::memset(&r, 0, sizeof r);
  r.header = header;
  return r;
}

MissRecord make_miss_record(const SbtHeader& header) {
  MissRecord r;
  std::memset(&r, 0, sizeof r);
  r.header = header;
  return r;
}

MicrowaveMissRecord make_microwave_miss_record(const SbtHeader& header) {
  MicrowaveMissRecord r;
  std::memset(&r, 0, sizeof r);
  r.header = header;
  for (float& t : r.background_temperature) t = kCosmicBackground;
  return r;
}

MeshHitData make_mesh_hit_data(DevicePtr vertices, DevicePtr normals, DevicePtr indices,
                               uint32_t material_id) {
  MeshHitData d;
  std::memset(&d, 0, sizeof d);
  d.vertices = vertices;
  d.normals = normals;
  d.indices = indices;
  d.material_id = material_id;
  return d;
}

std::vector<HitgroupRecord> make_hit_records(const SbtHeader& first, const SbtHeader& second,
                                             const std::vector<MeshHitData>& meshes,
                                             size_t min_pairs) {
  const size_t pairs = std::max(meshes.size(), min_pairs);
  std::vector<HitgroupRecord> out(2 * pairs);
  std::memset(out.data(), 0, out.size() * sizeof(HitgroupRecord));
  for (size_t m = 0; m < pairs; ++m) {
    out[2 * m].header = first;
    out[2 * m + 1].header = second;
    if (m < meshes.size()) {
      out[2 * m].mesh = meshes[m];
      out[2 * m + 1].mesh = meshes[m];
    }
  }
  return out;
}

std::vector<float> primitive_areas(const SceneDescription& desc,
                                   const std::vector<uint32_t>& prefix) {
  if (prefix.empty()) return {};
  std::vector<float> areas(prefix.back(), 0.f);
  const auto& instances = desc.instances();
  const auto& meshes = desc.meshes();
  const int64_t n_instances = static_cast<int64_t>(prefix.size()) - 1;
#pragma omp parallel for schedule(dynamic, 8)
  for (int64_t i = 0; i < n_instances; ++i) {
    const InstanceRecord& inst = instances[static_cast<size_t>(i)];
    const HostMesh& mesh = meshes[inst.mesh_id];
    const uint32_t first = prefix[static_cast<size_t>(i)];
    for (size_t t = 0; t < mesh.triangles.size(); ++t) {
      const Int3& tri = mesh.triangles[t];
      const Float3 a = transform_point(inst.transform, mesh.vertices[tri.i0]);
      const Float3 b = transform_point(inst.transform, mesh.vertices[tri.i1]);
      const Float3 c = transform_point(inst.transform, mesh.vertices[tri.i2]);
      const float ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
      const float vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
      const float cx = uy * vz - uz * vy, cy = uz * vx - ux * vz, cz = ux * vy - uy * vx;
      areas[first + t] = 0.5f * std::sqrt(cx * cx + cy * cy + cz * cz);
    }
  }
  return areas;
}

std::vector<int32_t> primitive_material_ids(const SceneDescription& desc,
                                            const std::vector<uint32_t>& prefix) {
  if (prefix.empty()) return {};
  std::vector<int32_t> ids(prefix.back(), 0);
  const auto& instances = desc.instances();
  const auto& meshes = desc.meshes();
  const int64_t n_instances = static_cast<int64_t>(prefix.size()) - 1;
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n_instances; ++i) {
    const HostMesh& mesh = meshes[instances[static_cast<size_t>(i)].mesh_id];
    const int32_t mat = static_cast<int32_t>(mesh.material_id);
    for (uint32_t p = prefix[static_cast<size_t>(i)]; p < prefix[static_cast<size_t>(i) + 1]; ++p)
      ids[p] = mat;
  }
  return ids;
}

}  // namespace velm::optix
