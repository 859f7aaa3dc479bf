// Host-side scene records: meshes, instances, sky, thermal settings and per-primitive values.
// The records the physics reads (materials, sun, sensor, repeating tile) are in physics/records.h.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "physics/records.h"

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

// Sky: the Hosek-Wilkie analytic sky wins when its offset is set, then the constant sky.
struct SkySettings {
  int32_t constant_offset = -1;
  int32_t hosek_offset = -1;
  float hosek_sun[3] = {0.f, 0.f, 1.f};
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
