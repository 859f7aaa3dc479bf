// The records the host hands the OptiX device programs: the scene block, the launch parameters of
// the optical, energy-balance and LiDAR launches, the microwave launch parameters and the
// shader-binding-table records. Host code and the device programs include this one header, so
// both read the same layout; every offset is checked at compile time. Device pointers are stored
// as 64-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "physics/records.h"

namespace velm::optix {

// Everything a launch needs to know about the scene, copied whole into LaunchParams.
struct LaunchSceneBlock {
  uint64_t ias_handle;
  uint64_t materials;  // MaterialRecord[material_count]
  uint32_t material_count;
  uint32_t reserved0;
  uint64_t spectral_params;  // float[]
  uint64_t emitter;          // EmitterRecord
  uint32_t emitter_count;    // always 1
  SensorBlock sensor;
  uint32_t reserved1;
  int32_t num_bands;
  uint32_t reserved2[7];
  float domain_min[3];
  float domain_max[3];
  int32_t sky_offset;
  int32_t hosek_sky_offset;
  float sun_direction[3];  // Hosek-Wilkie sun
  int32_t repetitions;
  float scene_size[2];
  uint32_t reserved3[2];
  uint32_t num_meshes;
  uint8_t thermal_mode;
  uint8_t reserved4[3];
  uint64_t thermal_wavelengths;  // float[num_bands]
  uint8_t terrain_following;
  uint8_t reserved5[3];
  float measurement_plane;
  uint64_t reserved_pointers[6];
  uint32_t n_primitives;
  uint32_t reserved6;
  uint64_t primitive_temperatures;  // float[n_primitives] or 0
  uint64_t instance_prefix;         // uint32[instances + 1]
  uint64_t primitive_emissivities;  // float[n_primitives] or 0
  uint64_t primitive_sif_spectra;   // float[n_sif_bands * n_primitives] or 0
  int32_t n_sif_bands;
  uint8_t sif_only;
  uint8_t reserved7[3];
  uint64_t instance_mesh_ids;        // uint32[lookup_instances]
  uint64_t instance_transforms;      // float[12 * lookup_instances]
  uint64_t mesh_triangle_counts;     // uint32[num_meshes]
  uint32_t lookup_instances;
  uint32_t max_mesh_triangles;
  uint64_t mesh_vertex_pointers;  // const float*[num_meshes]
  uint64_t mesh_index_pointers;   // const uint32*[num_meshes]
};
static_assert(sizeof(LaunchSceneBlock) == 448);
static_assert(offsetof(LaunchSceneBlock, material_count) == 16);
static_assert(offsetof(LaunchSceneBlock, spectral_params) == 24);
static_assert(offsetof(LaunchSceneBlock, emitter) == 32);
static_assert(offsetof(LaunchSceneBlock, emitter_count) == 40);
static_assert(offsetof(LaunchSceneBlock, sensor) == 44);
static_assert(offsetof(LaunchSceneBlock, num_bands) == 184);
static_assert(offsetof(LaunchSceneBlock, domain_min) == 216);
static_assert(offsetof(LaunchSceneBlock, domain_max) == 228);
static_assert(offsetof(LaunchSceneBlock, sky_offset) == 240);
static_assert(offsetof(LaunchSceneBlock, hosek_sky_offset) == 244);
static_assert(offsetof(LaunchSceneBlock, sun_direction) == 248);
static_assert(offsetof(LaunchSceneBlock, repetitions) == 260);
static_assert(offsetof(LaunchSceneBlock, scene_size) == 264);
static_assert(offsetof(LaunchSceneBlock, num_meshes) == 280);
static_assert(offsetof(LaunchSceneBlock, thermal_mode) == 284);
static_assert(offsetof(LaunchSceneBlock, thermal_wavelengths) == 288);
static_assert(offsetof(LaunchSceneBlock, terrain_following) == 296);
static_assert(offsetof(LaunchSceneBlock, measurement_plane) == 300);
static_assert(offsetof(LaunchSceneBlock, reserved_pointers) == 304);
static_assert(offsetof(LaunchSceneBlock, n_primitives) == 352);
static_assert(offsetof(LaunchSceneBlock, primitive_temperatures) == 360);
static_assert(offsetof(LaunchSceneBlock, instance_prefix) == 368);
static_assert(offsetof(LaunchSceneBlock, primitive_emissivities) == 376);
static_assert(offsetof(LaunchSceneBlock, primitive_sif_spectra) == 384);
static_assert(offsetof(LaunchSceneBlock, n_sif_bands) == 392);
static_assert(offsetof(LaunchSceneBlock, sif_only) == 396);
static_assert(offsetof(LaunchSceneBlock, instance_mesh_ids) == 400);
static_assert(offsetof(LaunchSceneBlock, instance_transforms) == 408);
static_assert(offsetof(LaunchSceneBlock, mesh_triangle_counts) == 416);
static_assert(offsetof(LaunchSceneBlock, lookup_instances) == 424);
static_assert(offsetof(LaunchSceneBlock, max_mesh_triangles) == 428);
static_assert(offsetof(LaunchSceneBlock, mesh_vertex_pointers) == 432);
static_assert(offsetof(LaunchSceneBlock, mesh_index_pointers) == 440);

// Launch parameters of the optical, energy-balance and LiDAR launches, bound to `params` in the
// device programs. The common part comes first; each mode reads its own fields after it and the
// host leaves the others zero.
struct LaunchParams {
  // common
  uint64_t film;
  uint32_t width;
  uint32_t height;  // image height, or rows of 1024 photons
  uint32_t first_row;
  uint32_t rows;
  LaunchSceneBlock scene;
  uint64_t path_hits;        // 64 bytes per path
  uint64_t path_rng;         // 16 bytes per path
  uint32_t paths_per_launch;
  int32_t num_bands;
  uint64_t seed;             // the run's seed (physics/pcg32.h seeded_sequence)
  uint64_t path_throughput;  // float[num_bands] per path
  uint64_t path_radiance;    // float[num_bands] per path
  int32_t max_depth;
  int32_t rr_depth;
  int32_t samples;
  uint32_t pass_index;
  uint64_t reserved1;
  uint32_t batch_index;  // same value as pass_index
  uint32_t reserved2;
  // forward
  uint64_t fwd_grid;  // double[]
  int32_t fwd_nx;
  int32_t fwd_ny;
  int32_t fwd_layers;
  float fwd_cell_x;
  float fwd_cell_y;
  uint32_t reserved3;
  uint64_t fwd_layer_heights;
  double photon_energy;  // forward: photon energy; flux: area per photon
  float prob_sun;
  uint32_t reserved4;
  uint64_t fwd_leaf;
  uint64_t fwd_leaf_offsets;
  uint32_t fwd_leaf_total;
  uint8_t fwd_per_leaf;
  uint8_t reserved5[3];
  uint64_t fwd_terrain;
  int32_t fwd_terrain_instance;
  uint32_t photons_in_launch;
  uint64_t fwd_brf_directions;
  uint64_t fwd_brf;
  uint64_t fwd_albedo;
  int32_t fwd_num_brf_dirs;
  float fwd_layer_top;
  // LiDAR
  uint64_t lidar_origins;
  uint64_t lidar_directions;
  int32_t lidar_num_pulses;
  uint32_t reserved6;
  uint64_t lidar_beam_offsets;
  uint64_t lidar_beam_weights;
  int32_t lidar_beam_samples;
  float lidar_beam_half_angle;
  float lidar_pulse_energy;
  float lidar_sensor_area;
  float lidar_range_resolution;
  float lidar_min_range;
  float lidar_max_range;
  int32_t lidar_bins;
  int32_t lidar_wavelengths;
  uint32_t lidar_one;  // the value 1
  uint64_t lidar_raw_waveform;
  uint64_t lidar_convolved_waveform;
  uint64_t lidar_return_slots;
  uint64_t reserved7;
  int32_t lidar_total_slots;
  uint32_t reserved8;
  uint64_t lidar_kernel;
  int32_t lidar_kernel_length;
  int32_t lidar_kernel_half_width;
  float lidar_peak_threshold;
  int32_t lidar_max_returns;
  uint8_t lidar_direct_mode;
  uint8_t reserved9[7];
  uint64_t lidar_direct_points;
  uint64_t lidar_direct_count;
  int32_t lidar_direct_pulses;
  uint32_t reserved10;
  // energy balance, one band
  int32_t eb_band_type;
  int32_t eb_samples;
  float eb_sun_irradiance;
  float eb_sky_diffuse;
  float eb_sky_longwave;
  float eb_sun_direction[3];
  uint64_t eb_top;
  uint64_t eb_bottom;
  uint64_t eb_sw_albedos;
  // flux
  uint64_t flux_down;
  uint64_t flux_up;
  uint64_t flux_down_direct;
  uint64_t flux_down_diffuse;
  int32_t flux_nx;
  int32_t flux_ny;
  float flux_cell_x;
  float flux_cell_y;
  int32_t flux_max_bounces;
  // energy balance, many bands
  int32_t ebm_bands;
  uint64_t ebm_sun_irradiance;
  uint64_t ebm_sky_diffuse;
  uint64_t ebm_top;
  uint64_t ebm_bottom;
  uint64_t ebm_sw_albedos;
};
static_assert(sizeof(LaunchParams) == 1008);
static_assert(offsetof(LaunchParams, scene) == 24);
static_assert(offsetof(LaunchParams, path_hits) == 472);
static_assert(offsetof(LaunchParams, paths_per_launch) == 488);
static_assert(offsetof(LaunchParams, seed) == 496);
static_assert(offsetof(LaunchParams, path_throughput) == 504);
static_assert(offsetof(LaunchParams, max_depth) == 520);
static_assert(offsetof(LaunchParams, pass_index) == 532);
static_assert(offsetof(LaunchParams, batch_index) == 544);
static_assert(offsetof(LaunchParams, fwd_grid) == 552);
static_assert(offsetof(LaunchParams, fwd_cell_y) == 576);
static_assert(offsetof(LaunchParams, fwd_layer_heights) == 584);
static_assert(offsetof(LaunchParams, photon_energy) == 592);
static_assert(offsetof(LaunchParams, prob_sun) == 600);
static_assert(offsetof(LaunchParams, fwd_leaf) == 608);
static_assert(offsetof(LaunchParams, fwd_leaf_total) == 624);
static_assert(offsetof(LaunchParams, fwd_per_leaf) == 628);
static_assert(offsetof(LaunchParams, fwd_terrain) == 632);
static_assert(offsetof(LaunchParams, photons_in_launch) == 644);
static_assert(offsetof(LaunchParams, fwd_brf_directions) == 648);
static_assert(offsetof(LaunchParams, fwd_num_brf_dirs) == 672);
static_assert(offsetof(LaunchParams, fwd_layer_top) == 676);
static_assert(offsetof(LaunchParams, lidar_origins) == 680);
static_assert(offsetof(LaunchParams, lidar_num_pulses) == 696);
static_assert(offsetof(LaunchParams, lidar_beam_offsets) == 704);
static_assert(offsetof(LaunchParams, lidar_beam_samples) == 720);
static_assert(offsetof(LaunchParams, lidar_max_range) == 744);
static_assert(offsetof(LaunchParams, lidar_one) == 756);
static_assert(offsetof(LaunchParams, lidar_raw_waveform) == 760);
static_assert(offsetof(LaunchParams, lidar_return_slots) == 776);
static_assert(offsetof(LaunchParams, lidar_total_slots) == 792);
static_assert(offsetof(LaunchParams, lidar_kernel) == 800);
static_assert(offsetof(LaunchParams, lidar_max_returns) == 820);
static_assert(offsetof(LaunchParams, lidar_direct_mode) == 824);
static_assert(offsetof(LaunchParams, lidar_direct_points) == 832);
static_assert(offsetof(LaunchParams, lidar_direct_count) == 840);
static_assert(offsetof(LaunchParams, lidar_direct_pulses) == 848);
static_assert(offsetof(LaunchParams, eb_band_type) == 856);
static_assert(offsetof(LaunchParams, eb_sun_direction) == 876);
static_assert(offsetof(LaunchParams, eb_top) == 888);
static_assert(offsetof(LaunchParams, eb_sw_albedos) == 904);
static_assert(offsetof(LaunchParams, flux_down) == 912);
static_assert(offsetof(LaunchParams, flux_down_diffuse) == 936);
static_assert(offsetof(LaunchParams, flux_nx) == 944);
static_assert(offsetof(LaunchParams, flux_max_bounces) == 960);
static_assert(offsetof(LaunchParams, ebm_bands) == 964);
static_assert(offsetof(LaunchParams, ebm_sun_irradiance) == 968);
static_assert(offsetof(LaunchParams, ebm_top) == 984);
static_assert(offsetof(LaunchParams, ebm_sw_albedos) == 1000);

// Launch parameters of the two microwave launches.
struct MicrowaveLaunchParams {
  uint64_t film;  // float[n_channels] per pixel, pixel-major
  uint32_t width;
  uint32_t height;
  int32_t n_channels;
  uint32_t response_size;  // cosines per response table (sim/microwave_plan.h)
  uint64_t ias_handle;
  uint64_t materials;  // MicrowaveMaterialRecord (physics/microwave_tables.h)
  uint32_t material_count;
  uint32_t reserved1;
  uint64_t material_map;  // int32 per optical material, or 0
  float frequency;        // Hz
  float wavelength;       // m
  float air_temperature;  // K
  float atm_tau;
  SensorBlock sensor;
  int32_t max_depth;
  int32_t spp;
  uint64_t response_tables;  // float[materials][response_size][8], see sim/microwave_plan.h
  uint64_t pixel_hits;  // 52 bytes per pixel
  uint64_t pixel_rng;   // 16 bytes per pixel
  uint32_t pixel_count;
  uint32_t reserved3[4];
  float scene_size[2];
  float scene_z_max;
  int32_t repetitions;
  uint32_t reserved4;
};
static_assert(sizeof(MicrowaveLaunchParams) == 280);
static_assert(offsetof(MicrowaveLaunchParams, ias_handle) == 24);
static_assert(offsetof(MicrowaveLaunchParams, material_map) == 48);
static_assert(offsetof(MicrowaveLaunchParams, frequency) == 56);
static_assert(offsetof(MicrowaveLaunchParams, atm_tau) == 68);
static_assert(offsetof(MicrowaveLaunchParams, sensor) == 72);
static_assert(offsetof(MicrowaveLaunchParams, response_size) == 20);
static_assert(offsetof(MicrowaveLaunchParams, max_depth) == 208);
static_assert(offsetof(MicrowaveLaunchParams, response_tables) == 216);
static_assert(offsetof(MicrowaveLaunchParams, pixel_hits) == 224);
static_assert(offsetof(MicrowaveLaunchParams, pixel_count) == 240);
static_assert(offsetof(MicrowaveLaunchParams, scene_size) == 260);
static_assert(offsetof(MicrowaveLaunchParams, scene_z_max) == 268);
static_assert(offsetof(MicrowaveLaunchParams, repetitions) == 272);

// ---- shader-binding-table records -------------------------------------------------------------
// Each record starts with the 32-byte header that the driver packs from its program group.
struct SbtHeader {
  alignas(16) uint8_t bytes[32];
};

// The hit data of one mesh, read by every closest-hit program.
struct MeshHitData {
  uint64_t vertices;  // float3 per vertex
  uint64_t normals;   // float3 per vertex, or 0
  uint64_t reserved;  // always 0
  uint64_t indices;   // uint3 per triangle
  uint32_t material_id;
  uint32_t pad;
};
static_assert(sizeof(MeshHitData) == 40);
static_assert(offsetof(MeshHitData, indices) == 24);
static_assert(offsetof(MeshHitData, material_id) == 32);

struct RaygenRecord {
  SbtHeader header;
  uint8_t data[16];
};
struct MissRecord {  // optical and energy-balance miss programs: no data
  SbtHeader header;
  uint8_t data[16];
};
struct MicrowaveMissRecord {
  SbtHeader header;
  float background_temperature[3];  // cosmic background, K
  uint32_t pad;
};
struct HitgroupRecord {
  SbtHeader header;
  MeshHitData mesh;
  uint8_t pad[8];
};
static_assert(sizeof(RaygenRecord) == 48 && alignof(RaygenRecord) == 16);
static_assert(sizeof(MissRecord) == 48);
static_assert(sizeof(MicrowaveMissRecord) == 48);
static_assert(offsetof(MicrowaveMissRecord, background_temperature) == 32);
static_assert(sizeof(HitgroupRecord) == 80 && alignof(HitgroupRecord) == 16);
static_assert(offsetof(HitgroupRecord, mesh) == 32);

}  // namespace velm::optix
