// The records the simulation modes upload for their compute shaders: the scene tables shared by
// the optical and forward shaders, and the two parameter records. Their byte layouts are the
// contract with the shader files (src/programs/vulkan/), so they are fixed here and checked at
// compile time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velm::vulkan {

// One record per mesh: where its vertices, normals and triangles start in the concatenated
// tables (counted in elements), and its material id.
struct MeshTableRecord {
  uint32_t first_vertex;
  uint32_t first_normal;
  uint32_t first_triangle;
  uint32_t material_id;
};
static_assert(sizeof(MeshTableRecord) == 16, "mesh records are uint4");

// One record per instance: the normal matrix (inverse transpose of the 3x3 part, three rows of
// four floats, the fourth 0) and the mesh id.
struct InstanceTableRecord {
  float normal_matrix[3][4];
  uint32_t mesh_id;
  uint32_t zero[3];
};
static_assert(sizeof(InstanceTableRecord) == 64, "instance records are 64 bytes");

// One record per material: words 0 to 2 of the material record, a zero word, words 3 to 10
// (the eight scalar parameters).
struct MaterialTableRecord {
  uint32_t type;
  uint32_t spectral_offset;
  uint32_t word2;
  uint32_t zero;
  float scalars[8];
};
static_assert(sizeof(MaterialTableRecord) == 48, "material records are 48 bytes");

// Parameters of one optical dispatch (binding 9 of the optical shader).
struct OpticalParams {
  uint32_t width;
  uint32_t height;
  uint32_t bands;
  uint32_t batch_samples;  // samples per pixel of this batch
  float ortho_width;
  float ortho_height;
  float fov;  // radians
  uint32_t sensor_word84;
  int32_t sensor_type;
  int32_t projection_type;
  uint32_t terrain_following;
  uint32_t accumulator_first_row;  // the image row the accumulator starts at (0 unless split)
  float camera_to_world[16];
  float emitter_direction[3];
  uint32_t zero124;
  float sun_direction[3];  // the analytic sky's sun
  uint32_t zero140;
  float scene_size_x;
  float scene_size_y;
  float scene_max_z;
  float repetition_count;
  uint32_t thermal;
  int32_t thermal_offset;  // first thermal wavelength in the spectral table, -1 when off
  uint32_t has_temperatures;
  uint32_t sif_only;
  uint32_t has_sif;
  uint32_t n_primitives;
  uint32_t bands_again;
  float scene_min_z;  // the bottom of the scene bounds: tile walks end below it
  int32_t sun_offset;
  int32_t sky_offset;
  uint32_t max_depth;
  int32_t hosek_offset;
  uint32_t first_sample;
  uint32_t total_samples;
  uint32_t first_row;
  uint32_t rows;
  uint32_t roulette_depth;  // the value 3: Russian roulette from the third bounce on
  uint32_t rays;            // uploaded 0; the shader adds the rays it traced
  uint32_t seed[2];         // the run's seed, low word first
};
static_assert(sizeof(OpticalParams) == 240, "OpticalParams is 240 bytes");
static_assert(offsetof(OpticalParams, camera_to_world) == 48, "camera matrix at byte 48");
static_assert(offsetof(OpticalParams, emitter_direction) == 112, "emitter direction at byte 112");
static_assert(offsetof(OpticalParams, sun_direction) == 128, "sun direction at byte 128");
static_assert(offsetof(OpticalParams, thermal) == 160, "thermal mode at byte 160");
static_assert(offsetof(OpticalParams, sun_offset) == 192, "sun offset at byte 192");
static_assert(offsetof(OpticalParams, first_sample) == 208, "first sample at byte 208");
static_assert(offsetof(OpticalParams, roulette_depth) == 224, "constant 3 at byte 224");
static_assert(offsetof(OpticalParams, seed) == 232, "seed at byte 232");

// Parameters of one forward batch (binding 11 of the forward shader), flux (mode 0) or
// radiation field (mode 1).
struct ForwardParams {
  uint32_t batch_photons;
  uint32_t bands;
  uint32_t nx;
  uint32_t ny;
  uint32_t first_photon;
  int32_t max_depth;
  int32_t rr_depth;
  int32_t max_bounces;
  float extent_x;
  float extent_y;
  float plane_height;
  float area_per_photon;  // extent x * extent y / total photons
  float emitter_direction[3];
  uint32_t next_item;  // uploaded 0: the shader's work queue over the batch
  float sun_direction[3];  // the analytic sky's sun
  float deposit_scale;     // 2^-k: the shader counts deposits in cells of unit 2^k W
  float tile_x;
  float tile_y;
  float scene_max_z;
  float repetition_count;
  int32_t sun_offset;
  int32_t sky_offset;
  int32_t hosek_offset;
  uint32_t decompose;
  float prob_sun;
  float scene_min[3];  // the scene box photons enter when there is no repeating tile
  uint32_t mode;
  uint32_t layers;
  int32_t terrain_instance;
  uint32_t per_leaf;
  uint32_t n_primitives;
  float scene_max_xy[2];
  uint32_t rays;  // uploaded 0; the shader adds the rays it traced
  uint32_t seed[2];  // the run's seed, low word first
  uint32_t zero168[2];
};
static_assert(sizeof(ForwardParams) == 176, "ForwardParams is 176 bytes");
static_assert(offsetof(ForwardParams, seed) == 160, "seed at byte 160");
static_assert(offsetof(ForwardParams, emitter_direction) == 48, "emitter direction at byte 48");
static_assert(offsetof(ForwardParams, tile_x) == 80, "extent at byte 80");
static_assert(offsetof(ForwardParams, prob_sun) == 112, "prob_sun at byte 112");
static_assert(offsetof(ForwardParams, mode) == 128, "mode word at byte 128");
static_assert(offsetof(ForwardParams, n_primitives) == 144, "primitives at byte 144");

// Push constants of one energy-balance dispatch (88 bytes): a range of primitives and a range of
// each face's samples.
struct EnergyBalanceParams {
  uint32_t n_primitives;
  uint32_t n_samples;  // cosine-weighted rays per face in the whole call
  uint32_t bands;      // in this dispatch, 1 to 32
  uint32_t band_type;  // 0 short-wave, 1 long-wave
  uint32_t two_sided;
  uint32_t repetition_count;  // 0 when negative
  uint32_t sequence;          // the constant 7765: the low word of the streams' sequence
  uint32_t groups_x;          // group (x, y) is the dispatch's primitive y groups_x + x
  float sun_direction[3];     // unit vector towards the sun
  float scene_size_x;
  float scene_size_y;
  float has_sun;  // 1 when some sun value of the call is above 0
  // The scene's vertical extent, which ends walks through the repeating tile.
  float scene_min_z;
  float scene_max_z;
  uint32_t first_primitive;  // group g works on primitive first_primitive + g
  uint32_t primitives;       // in this dispatch
  uint32_t first_sample;     // the samples s of each face in this dispatch: first_sample <= s
  uint32_t samples;          // < first_sample + samples
  uint32_t seed[2];          // the run's seed, low word first
};
static_assert(sizeof(EnergyBalanceParams) == 88, "EnergyBalanceParams is 88 bytes");
static_assert(offsetof(EnergyBalanceParams, seed) == 80, "seed at byte 80");
static_assert(offsetof(EnergyBalanceParams, sun_direction) == 32, "sun direction at byte 32");
static_assert(offsetof(EnergyBalanceParams, has_sun) == 52, "sun flag at byte 52");

// Per-primitive geometry of the energy-balance shader, in global primitive order: world-space
// corners and unit normal, each with a zero fourth float.
struct EnergyBalanceGeometry {
  float p0[4];
  float p1[4];
  float p2[4];
  float normal[4];
};
static_assert(sizeof(EnergyBalanceGeometry) == 64, "geometry records are 64 bytes");

// Push constants of the microwave shader (72 bytes), pushed before each of its three passes.
struct MicrowaveParams {
  uint32_t rays;  // in this dispatch
  uint32_t pass;  // 0 first hits, 1 paths, 2 atmosphere
  uint32_t active_mode;
  uint32_t max_depth;
  uint32_t soil_count;
  uint32_t vegetation_count;
  uint32_t response_table_size;
  uint32_t first_ray;  // index of the dispatch's first ray in the call: 0 unless split
  uint32_t repetition_count;  // 0 when negative
  uint32_t groups_x;          // min(ceil(rays / 64), 65535)
  uint32_t trunk_count;
  uint32_t n_primitives;  // the record after the last primitive's holds the scene's z range
  float air_temperature;  // K
  float atmosphere_tau;   // optical depth at nadir
  float scene_size_x;
  float scene_size_y;
  uint32_t seed[2];  // the run's seed, low word first
};
static_assert(sizeof(MicrowaveParams) == 72, "MicrowaveParams is 72 bytes");
static_assert(offsetof(MicrowaveParams, seed) == 64, "seed at byte 64");
static_assert(offsetof(MicrowaveParams, repetition_count) == 32, "repetitions at byte 32");
static_assert(offsetof(MicrowaveParams, air_temperature) == 48, "air temperature at byte 48");

// Per-primitive record of the microwave shader, in global primitive order: unit normal and the
// mesh's (optical) material id, which material_map turns into a microwave material.
struct MicrowavePrimitive {
  float normal[3];
  uint32_t zero12;
  int32_t material_id;
  uint32_t zero20[3];
};
static_assert(sizeof(MicrowavePrimitive) == 32, "microwave records are 32 bytes");

}  // namespace velm::vulkan
