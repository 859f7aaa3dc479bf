#include "sim/microwave_plan.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <stdexcept>

#include "microwave/soil.h"
#include "microwave/trunk.h"

namespace velm {

namespace {

void require(bool ok, const std::string& who, const std::string& what) {
  if (!ok) throw std::invalid_argument(who + ": " + what);
}

bool finite_all(const std::vector<float>& v) {
  for (float x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

std::vector<float> cosines(float lo) {
  std::vector<float> c(kResponseTableSize);
  for (int32_t k = 0; k < kResponseTableSize; ++k)
    c[k] = lo + (1.f - lo) * static_cast<float>(k) / static_cast<float>(kResponseTableSize - 1);
  return c;
}

// The first 12 values of a soil material as the soil models read them.
// The rms height (p11) as the device record carries it: 0.008 m where it is not positive.
microwave::SoilParameters soil_of(const MicrowaveMaterial& m) {
  float p[12];
  std::memcpy(p, m.p, sizeof p);
  if (!(p[10] > 0.f)) p[10] = 0.008f;
  return microwave::soil_parameters_from(p);
}

void soil_table(float frequency, const MicrowaveMaterial& m, float* out) {
  const microwave::SoilParameters soil = soil_of(m);
  const std::vector<float> mu = cosines(0.f);
  std::vector<float> emission(4 * mu.size()), backscatter(4 * mu.size());
  microwave::soil_emission(frequency, soil, mu.data(), mu.size(), emission.data());
  microwave::soil_backscatter(frequency, soil, mu.data(), mu.size(), backscatter.data());
  for (size_t k = 0; k < mu.size(); ++k)
    for (int c = 0; c < 4; ++c) {
      out[k * kResponseColumns + c] = emission[4 * k + c];
      out[k * kResponseColumns + 4 + c] = backscatter[4 * k + c];
    }
}

void trunk_table(float frequency, const MicrowaveMaterial& m, float* out) {
  const microwave::TrunkParameters trunk = microwave::trunk_parameters_from(m.p);
  const std::vector<float> mu = cosines(0.f);
  std::vector<float> emission(4 * mu.size());
  microwave::trunk_emission(frequency, trunk, mu.data(), mu.size(), emission.data());
  // Power absorption coefficient of the wood: twice the imaginary part of its wavenumber.
  const std::complex<double> eps(microwave::trunk_permittivity(frequency, trunk));
  const double k0 = 2.0 * 3.141592653589793 * frequency / 2.998e8;
  const float absorption = static_cast<float>(2.0 * k0 * std::fabs(std::sqrt(eps).imag()));
  for (size_t k = 0; k < mu.size(); ++k) {
    for (int c = 0; c < 4; ++c) out[k * kResponseColumns + c] = emission[4 * k + c];
    out[k * kResponseColumns + 4] = absorption;
  }
}

// The trunk-ground double bounce towards a radar at each cosine and azimuth of the table's grid:
// the wave reaches the trunk along -r and leaves it for the flat ground (normal +z) along r
// mirrored in it (and the reverse path). Writes kDihedralPerTrunk floats.
void dihedral_table(float frequency, const MicrowaveMaterial& soil, const MicrowaveMaterial& trunk,
                    float* out) {
  const size_t n = static_cast<size_t>(kDihedralCosines) * kDihedralAzimuths;
  std::vector<float> to_trunk, to_ground, normals;
  to_trunk.reserve(3 * n);
  to_ground.reserve(3 * n);
  normals.reserve(3 * n);
  for (int32_t i = 0; i < kDihedralCosines; ++i) {
    const double c = static_cast<double>(i) / (kDihedralCosines - 1);
    const double s = std::sqrt(std::fmax(0.0, 1.0 - c * c));
    for (int32_t j = 0; j < kDihedralAzimuths; ++j) {
      const double phi = 2.0 * 3.141592653589793 * j / kDihedralAzimuths;
      const float x = static_cast<float>(s * std::cos(phi));
      const float y = static_cast<float>(s * std::sin(phi));
      const float z = static_cast<float>(c);
      to_trunk.insert(to_trunk.end(), {-x, -y, -z});
      to_ground.insert(to_ground.end(), {x, y, -z});
      normals.insert(normals.end(), {0.f, 0.f, 1.f});
    }
  }
  microwave::trunk_ground_backscatter(frequency, soil_of(soil),
                                      microwave::trunk_parameters_from(trunk.p), to_trunk.data(),
                                      to_ground.data(), normals.data(), n, out);
}

// dihedral_table through the cache.
void cached_dihedral(float frequency, const MicrowaveMaterial& soil,
                     const MicrowaveMaterial& trunk, DihedralCache* cache, float* out) {
  if (cache == nullptr) return dihedral_table(frequency, soil, trunk, out);
  std::vector<float> key{frequency};
  key.insert(key.end(), soil.p, soil.p + 12);
  key.insert(key.end(), trunk.p, trunk.p + microwave::kTrunkParameterCount);
  for (const auto& [k, table] : cache->entries)
    if (k == key) {
      std::copy(table.begin(), table.end(), out);
      return;
    }
  dihedral_table(frequency, soil, trunk, out);
  constexpr size_t kKept = 8;
  if (cache->entries.size() >= kKept) cache->entries.erase(cache->entries.begin());
  cache->entries.emplace_back(std::move(key), std::vector<float>(out, out + kDihedralPerTrunk));
}

// Rows of a cumulative distribution: none may start below 0 or decrease.
bool cumulative(const std::vector<float>& cdf, size_t length) {
  if (length == 0) return true;
  for (size_t r = 0; r + length <= cdf.size(); r += length) {
    if (!(cdf[r] >= 0.f)) return false;
    for (size_t k = 1; k < length; ++k)
      if (!(cdf[r + k] >= cdf[r + k - 1])) return false;
  }
  return true;
}

void check_material(const MicrowaveMaterial& m, size_t index, const std::string& who) {
  const std::string what = "microwave material " + std::to_string(index);
  require(m.type == kMicrowaveSoil || m.type == kMicrowaveVegetation || m.type == kMicrowaveTrunk,
          who, what + " has type " + std::to_string(m.type) + "; 1 soil, 2 vegetation, 3 trunk");
  for (float v : m.p) require(std::isfinite(v), who, what + " has a parameter that is not finite");
  if (m.type == kMicrowaveVegetation) {
    require(m.p[0] >= 0.f, who, what + " (vegetation) needs a temperature (column 0) >= 0 K");
    require(m.p[1] >= 0.f, who,
            what + " (vegetation) needs an absorption coefficient (column 1) >= 0 per metre");
  }
  const size_t cells = static_cast<size_t>(std::max(m.n_cti, 0)) * std::max(m.n_cts, 0) *
                       std::max(m.n_dphi, 0);
  require(m.mueller.size() == 16 * cells && m.cos_cdf.size() == cells / std::max(m.n_dphi, 1) &&
              m.phi_cdf.size() == cells,
          who, what + " has Mueller or distribution tables of inconsistent sizes");
  require(finite_all(m.mueller) && finite_all(m.cos_cdf) && finite_all(m.phi_cdf) &&
              finite_all(m.specular),
          who, what + " has a table value that is not finite");
  require(cumulative(m.cos_cdf, static_cast<size_t>(std::max(m.n_cts, 0))) &&
              cumulative(m.phi_cdf, static_cast<size_t>(std::max(m.n_dphi, 0))),
          who, what + " has a cumulative distribution that is negative or decreases");
  require(m.specular.size() == 16 * static_cast<size_t>(std::max(m.n_cos, 0)), who,
          what + " has a specular table of inconsistent size");
}

}  // namespace

MicrowaveMaterialRecord microwave_record(const MicrowaveMaterial& m) {
  MicrowaveMaterialRecord r;
  std::memset(&r, 0, sizeof r);
  r.type = m.type;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(&r);
  if (m.type == kMicrowaveSoil) {
    std::memcpy(r.p, m.p, 8 * sizeof(float));
    const int32_t model = static_cast<int32_t>(m.p[9]);
    const float p11 = m.p[10] > 0.f ? m.p[10] : 0.008f;
    const float p12 = m.p[11] > 0.f ? m.p[11] : 0.04f;
    std::memcpy(bytes + 40, &m.p[8], 4);
    std::memcpy(bytes + 44, &model, 4);
    std::memcpy(bytes + 48, &p11, 4);
    std::memcpy(bytes + 52, &p12, 4);
  } else if (m.type == kMicrowaveVegetation) {
    std::memcpy(r.p, m.p, 8 * sizeof(float));
  } else if (m.type == kMicrowaveTrunk) {
    std::memcpy(r.p, m.p, 7 * sizeof(float));
  }
  if ((m.type == kMicrowaveVegetation || m.type == kMicrowaveTrunk) && !m.mueller.empty()) {
    r.n_cti = m.n_cti;
    r.n_cts = m.n_cts;
    r.n_dphi = m.n_dphi;
  }
  if (m.type == kMicrowaveTrunk && !m.specular.empty() && m.n_cos > 0) r.n_cos = m.n_cos;
  return r;
}

MicrowaveTables host_tables(const MicrowavePlan& plan, const MicrowaveRequest& req,
                            std::vector<MicrowaveMaterialRecord>& records) {
  records = plan.records;
  for (size_t i = 0; i < records.size(); ++i) {
    const MicrowaveMaterial& m = req.materials[i];
    if (records[i].n_cti > 0) {
      records[i].mueller = reinterpret_cast<uint64_t>(m.mueller.data());
      records[i].cos_cdf = reinterpret_cast<uint64_t>(m.cos_cdf.data());
      records[i].phi_cdf = reinterpret_cast<uint64_t>(m.phi_cdf.data());
    }
    if (records[i].n_cos > 0) records[i].specular = reinterpret_cast<uint64_t>(m.specular.data());
  }
  MicrowaveTables t;
  t.records = records.data();
  t.material_count = static_cast<uint32_t>(records.size());
  t.map = plan.material_map.empty() ? nullptr : plan.material_map.data();
  t.map_size = static_cast<uint32_t>(plan.material_map.size());
  t.response = plan.response.data();
  return t;
}

std::vector<uint64_t> microwave_random_states(uint64_t pixels, uint64_t seed) {
  std::vector<uint64_t> out(2 * pixels);
  for (uint64_t i = 0; i < pixels; ++i) {
    const Pcg32 rng = microwave_pixel_stream(i, seed);
    out[2 * i] = rng.state;
    out[2 * i + 1] = rng.inc;
  }
  return out;
}

MicrowavePlan plan_microwave(const SceneDescription& d, const BuiltScene& built,
                             const MicrowaveRequest& req, const std::string& who,
                             DihedralCache* cache, uint64_t max_pixels) {
  if (!built.built) throw std::runtime_error("Scene not built. Call scene.build() first.");
  require(std::isfinite(req.frequency) && req.frequency > 0.f, who,
          "frequency must be a finite positive value in Hz");
  require(req.n_channels == 1 || req.n_channels == 2 || req.n_channels == 4, who,
          "n_channels must be 1, 2 or 4");
  require(req.spp >= 1, who, "spp must be at least 1");
  require(req.max_depth >= 1, who, "max_depth must be at least 1");
  require(std::isfinite(req.air_temperature) && req.air_temperature >= 0.f, who,
          "air_temperature must be finite and not negative");
  require(std::isfinite(req.atm_tau) && req.atm_tau >= 0.f, who,
          "atm_tau must be finite and not negative");
  for (size_t i = 0; i < req.materials.size(); ++i) check_material(req.materials[i], i, who);
  const int64_t n_materials = static_cast<int64_t>(req.materials.size());
  for (size_t i = 0; i < req.material_map.size(); ++i)
    require(req.material_map[i] >= -1 && req.material_map[i] < n_materials, who,
            "material_map[" + std::to_string(i) + "] = " + std::to_string(req.material_map[i]) +
                " is neither -1 nor one of the " + std::to_string(n_materials) +
                " microwave materials");
  ScenePrerequisites need;
  need.materials = false;
  need.sun_direction = false;
  check_scene_for_simulation(d, built, who, 1, need);
  const SensorBlock& sensor = d.sensor();
  MicrowavePlan plan;
  plan.width = std::max(sensor.width, 0);
  plan.height = std::max(sensor.height, 0);
  plan.pixels = static_cast<uint64_t>(plan.width) * static_cast<uint64_t>(plan.height);
  if (plan.pixels > 0) check_sensor(sensor, who);
  checked_count({plan.width, plan.height, req.n_channels}, sizeof(float), who + ": the image");
  require(plan.pixels <= max_pixels, who, "the image has more pixels than one launch takes");
  plan.wavelength = 2.998e8f / req.frequency;
  if (!req.material_map.empty()) {
    plan.material_map = req.material_map;
    size_t used = 0;
    for (const HostMesh& mesh : d.meshes()) used = std::max<size_t>(used, mesh.material_id + 1);
    if (plan.material_map.size() < used) plan.material_map.resize(used, -1);
  }

  const MicrowaveMaterial* first_soil = nullptr;
  for (const MicrowaveMaterial& m : req.materials)
    if (m.type == kMicrowaveSoil && first_soil == nullptr) first_soil = &m;
  size_t trunks = 0;
  for (const MicrowaveMaterial& m : req.materials) trunks += m.type == kMicrowaveTrunk ? 1 : 0;
  const size_t rows = req.materials.size() * kResponseTableSize * kResponseColumns;
  plan.response.assign(rows + (req.active ? trunks * kDihedralPerTrunk : 0), 0.f);
  size_t trunk = 0;
  for (size_t i = 0; i < req.materials.size(); ++i) {
    const MicrowaveMaterial& m = req.materials[i];
    float* out = plan.response.data() + i * kResponseTableSize * kResponseColumns;
    try {
      if (m.type == kMicrowaveSoil) soil_table(req.frequency, m, out);
      if (m.type == kMicrowaveTrunk) {
        trunk_table(req.frequency, m, out);
        if (req.active && first_soil != nullptr)
          cached_dihedral(req.frequency, *first_soil, m, cache,
                          plan.response.data() + rows + trunk * kDihedralPerTrunk);
        ++trunk;
      }
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(who + ": microwave material " + std::to_string(i) + ": " +
                                  e.what());
    }
    plan.records.push_back(microwave_record(m));
  }
  return plan;
}

}  // namespace velm
