// Pure builders of the records the OptiX backend hands to the driver and the device programs:
// the scene block, instance records, binding-table records, and the per-primitive tables. They
// take plain inputs (the scene description, device addresses as integers) and touch no device,
// so they are tested byte for byte without a GPU.
#pragma once

#include <cstdint>
#include <vector>

#include "optix/launch_records.h"
#include "optix/optix_abi.h"
#include "scene/scene_description.h"

namespace velm::optix {

// What the scene block needs from the GPU side of a SceneManager; zero where absent.
struct SceneDeviceState {
  TraversableHandle ias = 0;
  DevicePtr materials = 0;
  DevicePtr spectral_params = 0;
  DevicePtr emitter = 0;
  DevicePtr thermal_wavelengths = 0;
  uint32_t num_meshes = 0;
  uint32_t n_primitives = 0;
  DevicePtr temperatures = 0;
  DevicePtr instance_prefix = 0;
  DevicePtr emissivities = 0;
  DevicePtr sif_spectra = 0;
  DevicePtr instance_mesh_ids = 0;
  DevicePtr instance_transforms = 0;
  DevicePtr mesh_triangle_counts = 0;
  uint32_t lookup_instances = 0;
  uint32_t max_mesh_triangles = 0;
  DevicePtr mesh_vertex_pointers = 0;
  DevicePtr mesh_index_pointers = 0;
};

// The launch domain: the scene bounds, or the repeating tile [0, size x] x [0, size y] with the
// bounds' heights when the scene repeats (count >= 1).
void launch_domain(const SceneDescription& desc, const SceneBounds& bounds, float lo[3],
                   float hi[3]);

LaunchSceneBlock make_launch_scene_block(const SceneDescription& desc, const SceneBounds& bounds,
                                         const SceneDeviceState& gpu);

// The scene graph these records make: one instance structure whose instances point straight at
// the per-mesh geometry structures, so a ray visits at most two traversables. Every pipeline is
// told so; a smaller depth is undefined behaviour on the device.
constexpr unsigned kTraversableGraphDepth = 2;

// One record per instance, in instance order: transform, instance id = index, binding-table
// offset 2 x mesh id (a radiance and a shadow record per mesh), mask 255, the mesh's GAS.
std::vector<Instance> make_instance_records(const std::vector<InstanceRecord>& instances,
                                            const std::vector<TraversableHandle>& gas_by_mesh);

RaygenRecord make_raygen_record(const SbtHeader& header);
MissRecord make_miss_record(const SbtHeader& header);
MicrowaveMissRecord make_microwave_miss_record(const SbtHeader& header);  // 2.725 K three times
MeshHitData make_mesh_hit_data(DevicePtr vertices, DevicePtr normals, DevicePtr indices,
                               uint32_t material_id);
// Two records per mesh (first, second header) with the mesh's data; when there are fewer than
// `min_pairs` meshes, header-only pairs make up the count.
std::vector<HitgroupRecord> make_hit_records(const SbtHeader& first, const SbtHeader& second,
                                             const std::vector<MeshHitData>& meshes,
                                             size_t min_pairs);

// Per-primitive tables in global primitive order (prefix: the per-instance prefix sums of the
// instances they were built for).
std::vector<float> primitive_areas(const SceneDescription& desc,
                                   const std::vector<uint32_t>& prefix);  // m^2, world space
std::vector<int32_t> primitive_material_ids(const SceneDescription& desc,
                                            const std::vector<uint32_t>& prefix);

}  // namespace velm::optix
