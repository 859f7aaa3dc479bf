// The plain records the physics reads, shared by the host and the device programs: material,
// sun and sensor records (their byte layouts are what the GPU programs read, so they are fixed
// here and checked at compile time), the material and sensor codes, and the repeating tile.
#pragma once

#include <cstddef>
#include <cstdint>

#include "physics/common.h"

namespace velm {

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

struct RepetitionTile {
  int32_t count = 0;  // below 1: no repetition
  float x_size = 0.f;
  float y_size = 0.f;
  VELM_HD bool active() const { return count >= 1 && x_size > 0.f && y_size > 0.f; }
};

}  // namespace velm
