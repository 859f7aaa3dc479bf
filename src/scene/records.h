// Host-side scene records. The byte layouts of MaterialRecord, EmitterRecord and SensorBlock are
// what the GPU device programs read, so they are fixed here and checked at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velm {

struct Float3 {
  float x, y, z;
};
struct Int3 {
  int32_t i0, i1, i2;
};

// One triangle mesh in its own frame (metres). Normals are either empty or one per vertex.
struct HostMesh {
  std::vector<Float3> vertices;
  std::vector<Float3> normals;
  std::vector<Int3> triangles;
  uint32_t material_id = 0;  // index into the material list; checked when a simulation starts
};

// Row-major 3x4 transform: m00 m01 m02 tx, m10 m11 m12 ty, m20 m21 m22 tz.
using Transform34 = std::array<float, 12>;

struct InstanceRecord {
  uint32_t mesh_id = 0;
  Transform34 transform{};
};

// Material type codes.
enum MaterialType : uint32_t {
  kMaterialLambertian = 0,
  kMaterialRpv = 1,
  kMaterialLeaf = 13,  // diffuse-transmitting: front/back reflectance and transmittance
};

struct MaterialRecord {
  uint32_t type = 0;
  uint32_t spectral_offset = 0;  // first value of this material's block in the spectral buffer
  uint32_t reserved0 = 0;
  float scalars[8] = {};  // 0,1: leaf reflect/transmit sampling weights; 2..4: temperatures (K)
  uint32_t reserved1[11] = {};
};
static_assert(sizeof(MaterialRecord) == 88, "MaterialRecord is 88 bytes on the device");
static_assert(offsetof(MaterialRecord, scalars) == 12, "MaterialRecord scalars at byte 12");

// The sun. The direction points from the scene towards the sun and is stored as given.
struct EmitterRecord {
  uint32_t type = 0;
  float direction[3] = {};
  uint32_t reserved0[3] = {};
  uint32_t spectral_offset = 0;  // sun spectral irradiance block, W m^-2 per band
  uint32_t reserved1[12] = {};
};
static_assert(sizeof(EmitterRecord) == 80, "EmitterRecord is 80 bytes on the device");
static_assert(offsetof(EmitterRecord, direction) == 4, "EmitterRecord direction at byte 4");
static_assert(offsetof(EmitterRecord, spectral_offset) == 28, "EmitterRecord offset at byte 28");

enum SensorType : int32_t {
  kSensorOrthographic = 0,
  kSensorPerspective = 1,
  kSensorFisheye = 4,
};

struct SensorBlock {
  int32_t type = 0;
  int32_t width = 0;
  int32_t height = 0;
  float camera_to_world[16] = {};  // row-major 4x4, as given by the caller
  float fov = 0.f;                 // radians
  uint32_t reserved0[3] = {};
  float ortho_width = 0.f;
  float ortho_height = 0.f;
  uint32_t reserved1[7] = {};
  int32_t projection_type = 0;
  uint32_t reserved2 = 0;
};
static_assert(sizeof(SensorBlock) == 136, "SensorBlock is 136 bytes on the device");
static_assert(offsetof(SensorBlock, camera_to_world) == 12, "SensorBlock matrix at byte 12");
static_assert(offsetof(SensorBlock, fov) == 76, "SensorBlock fov at byte 76");
static_assert(offsetof(SensorBlock, ortho_width) == 92, "SensorBlock ortho width at byte 92");
static_assert(offsetof(SensorBlock, projection_type) == 128, "SensorBlock projection at byte 128");

// Sky: the Hosek-Wilkie analytic sky wins when its offset is set, then the constant sky.
struct SkySettings {
  int32_t constant_offset = -1;
  int32_t hosek_offset = -1;
  float hosek_sun[3] = {0.f, 0.f, 1.f};
};

struct RepetitionTile {
  int32_t count = 0;  // below 1: no repetition
  float x_size = 0.f;
  float y_size = 0.f;
  bool active() const { return count >= 1 && x_size > 0.f && y_size > 0.f; }
};

struct ThermalSettings {
  bool enabled = false;
  std::vector<float> wavelengths;  // one per band
};

// Optional per-primitive values of the GPU scenes, indexed by the global primitive index. Each
// overrides the material's value for that primitive where a kernel reads it; empty = none.
struct PrimitiveOverrides {
  std::vector<float> temperatures;  // K
  std::vector<float> emissivities;  // longwave, 0..1
  std::vector<float> sif_spectra;   // n_sif_bands x n_primitives, band-major
  int32_t n_sif_bands = 0;
  bool sif_only = false;            // backward images return SIF emission alone
};

struct SceneBounds {
  float lo[3] = {0.f, 0.f, 0.f};
  float hi[3] = {0.f, 0.f, 0.f};
};

}  // namespace velm
