#include "sim/setup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "physics/bsdf.h"
#include "physics/surface.h"

namespace velm {

int max_depth_override(int max_depth, const char* prefix) {
  if (const char* env = std::getenv("VELM_MAX_DEPTH")) {
    const int v = std::atoi(env);
    if (v > 0) {
      std::printf("%s VELM_MAX_DEPTH=%d\n", prefix, v);
      std::fflush(stdout);
      return v;
    }
  }
  return max_depth;
}

namespace {
// |det| over the product of the row lengths at or below which a transform counts as singular:
// the float rounding of the determinant itself.
constexpr float kSingularConditioning = 1.1920929e-7f;

void check_block(const std::string& who, const std::string& what, int64_t offset, int64_t size,
                 size_t buffer_size) {
  if (offset < 0 || offset + size > static_cast<int64_t>(buffer_size))
    throw std::out_of_range(who + ": " + what + " spectral block [" + std::to_string(offset) +
                                ", " + std::to_string(offset + size) +
                                ") runs past the spectral parameter buffer (" +
                                std::to_string(buffer_size) + " values)");
}

std::string value_text(float v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
  return text;
}

// The fractions of a Lambertian (its emissivity in thermal mode) or leaf material, band by band.
void check_fractions(const std::string& who, size_t id, const MaterialRecord& rec,
                     const float* params, int nb, bool thermal) {
  if (rec.type != kMaterialLambertian && rec.type != kMaterialLeaf) return;
  const float* p = params + rec.spectral_offset;
  const bool leaf = rec.type == kMaterialLeaf;
  const char* names[3] = {leaf ? "front reflectance" : (thermal ? "emissivity" : "reflectance"),
                          "back reflectance", "transmittance"};
  const std::string material =
      who + ": material " + std::to_string(id) + (leaf ? " (leaf)" : " (Lambertian)");
  for (int b = 0; b < nb; ++b) {
    for (int k = 0; k < (leaf ? 3 : 1); ++k) {
      const float v = p[k * nb + b];
      if (!(v >= 0.f && v <= 1.f))
        throw std::invalid_argument(material + " band " + std::to_string(b) + ": " + names[k] +
                                    " " + value_text(v) + " lies outside [0, 1]");
    }
    if (leaf && !thermal)
      for (int k = 0; k < 2; ++k)
        if (p[k * nb + b] + p[2 * nb + b] > 1.f + 1e-6f)
          throw std::invalid_argument(material + " band " + std::to_string(b) + ": " + names[k] +
                                      " " + value_text(p[k * nb + b]) + " plus transmittance " +
                                      value_text(p[2 * nb + b]) + " exceeds 1");
  }
}
}  // namespace

void check_material_fractions(const SceneDescription& d, const std::string& who, int num_bands,
                              bool thermal) {
  const auto& materials = d.materials();
  const size_t n_params = d.spectral_params().size();
  std::vector<bool> checked(materials.size(), false);
  for (const HostMesh& mesh : d.meshes()) {
    const uint32_t id = mesh.material_id;
    if (id >= materials.size() || checked[id]) continue;
    checked[id] = true;
    const MaterialRecord& rec = materials[id];
    const int64_t end =
        rec.spectral_offset + static_cast<int64_t>(spectral_block_per_band(rec.type)) * num_bands;
    if (end > static_cast<int64_t>(n_params)) continue;  // the block checks report it
    check_fractions(who, id, rec, d.spectral_params().data(), num_bands, thermal);
  }
}

void check_terrain_instance(const SceneDescription& d, int64_t terrain_instance_id,
                            const std::string& who) {
  const size_t n = d.instances().size();
  if (terrain_instance_id >= 0 && static_cast<uint64_t>(terrain_instance_id) >= n)
    throw std::out_of_range(who + ": terrain_instance_id " + std::to_string(terrain_instance_id) +
                            " is beyond the scene's " + std::to_string(n) + " instances");
}

uint64_t checked_count(std::initializer_list<int64_t> counts, size_t element_size,
                       const std::string& what) {
  // Below 2^47 bytes: no machine holds more, and every index product stays far from overflow.
  constexpr uint64_t kMaxBytes = uint64_t{1} << 47;
  const uint64_t max_elements = kMaxBytes / std::max<size_t>(element_size, 1);
  for (int64_t c : counts)
    if (c < 0) throw std::invalid_argument(what + " has a negative dimension");
  uint64_t n = 1;
  for (int64_t c : counts) {
    if (c == 0) return 0;
    if (static_cast<uint64_t>(c) > max_elements / n)
      throw std::invalid_argument(what + " is too large to allocate");
    n *= static_cast<uint64_t>(c);
  }
  return n;
}

Vec3 unit_direction(const float* v, const std::string& what) {
  const double x = v[0], y = v[1], z = v[2];
  const double len = std::sqrt(x * x + y * y + z * z);
  if (!(len > 0.0) || !std::isfinite(len))
    throw std::invalid_argument(what + " must be a finite non-zero vector");
  return unit_vector(v);
}

std::vector<float> instance_conditioning(const SceneDescription& d) {
  std::vector<float> out;
  out.reserve(d.instances().size());
  for (const InstanceRecord& inst : d.instances())
    out.push_back(instance_frame(inst.transform.data()).conditioning);
  return out;
}

void check_scene_for_simulation(const SceneDescription& d, const BuiltScene& built,
                                const std::string& who, int num_bands,
                                const ScenePrerequisites& need) {
  if (!built.built)
    throw std::runtime_error(who + ": the scene has not been built; call build() first");
  const size_t n_params = d.spectral_params().size();
  const auto& materials = d.materials();
  // A scene without materials or spectral values has nothing to shade with: a state error, like
  // the unbuilt scene, before the index errors it would otherwise raise.
  if (need.materials && materials.empty() && !d.meshes().empty())
    throw std::runtime_error(who + ": the scene has no materials (add_material)");
  if ((need.materials || need.sun || need.thermal) && n_params == 0)
    throw std::runtime_error(who + ": the spectral parameter buffer is empty "
                                   "(upload_spectral_params)");
  if (need.materials) {
    std::vector<bool> used(materials.size(), false);
    for (size_t m = 0; m < d.meshes().size(); ++m) {
      const uint32_t id = d.meshes()[m].material_id;
      if (id >= materials.size())
        throw std::out_of_range(who + ": mesh " + std::to_string(m) + " has material id " +
                                    std::to_string(id) + " outside the material list (" +
                                    std::to_string(materials.size()) + " materials)");
      used[id] = true;
    }
    for (size_t id = 0; id < materials.size(); ++id) {
      if (!used[id]) continue;
      const MaterialRecord& rec = materials[id];
      check_block(who, "material " + std::to_string(id) + " (type " + std::to_string(rec.type) + ")",
                  rec.spectral_offset,
                  static_cast<int64_t>(spectral_block_per_band(rec.type)) * num_bands, n_params);
    }
    check_material_fractions(d, who, num_bands, need.thermal);
  }
  if (need.thermal) {
    // Thermal emission reads the first value of every material's block as its emissivity.
    for (size_t id = 0; id < materials.size(); ++id)
      check_block(who, "material " + std::to_string(id) + " emissivity",
                  materials[id].spectral_offset, num_bands, n_params);
  }
  if (need.sun)
    check_block(who, "sun irradiance", d.emitter().spectral_offset, num_bands, n_params);
  if (need.sun_direction)
    unit_direction(d.emitter().direction, who + ": the sun direction (set_emitter)");
  if (need.thermal) {
    // Temperatures are read as kelvin by Planck's law: a NaN or negative one has no radiance.
    for (size_t id = 0; id < materials.size(); ++id)
      for (int k = 2; k <= 4; ++k)
        if (!(materials[id].scalars[k] >= 0.f) || !std::isfinite(materials[id].scalars[k]))
          throw std::invalid_argument(who + ": material " + std::to_string(id) + " temperature " +
                                      std::to_string(k) + " (scalar_params) must be finite and "
                                      "non-negative kelvin");
  }
  const RepetitionTile& tile = d.repetition();
  if (tile.active() && !(std::isfinite(tile.x_size) && std::isfinite(tile.y_size)))
    throw std::invalid_argument(who + ": the repeating tile size must be finite (set_repetitive)");
  if (tile.count >= 1 && !tile.active())
    throw std::invalid_argument(who + ": a repeating scene needs positive tile sizes "
                                      "(set_repetitive)");
  for (size_t i = 0; i < built.conditioning.size(); ++i)
    if (!(built.conditioning[i] > kSingularConditioning))
      throw std::invalid_argument(who + ": instance " + std::to_string(i) +
                                  " has a singular transform (its 3x3 part flattens space), so "
                                  "its normals are undefined");
  if (need.sky) {
    const SkySettings& sky = d.sky();
    if (sky.hosek_offset >= 0)
      check_block(who, "analytic sky", sky.hosek_offset, 10 * int64_t{num_bands}, n_params);
    else if (sky.constant_offset >= 0)
      check_block(who, "sky radiance", sky.constant_offset, num_bands, n_params);
  }
}

void check_sensor(const SensorBlock& s, const std::string& who_name, const SensorMessages* words) {
  const std::string who = who_name + ": set_sensor: ";
  if (s.type != kSensorOrthographic && s.type != kSensorPerspective && s.type != kSensorFisheye)
    throw std::runtime_error(words ? words->unsupported_type
                                   : who + "sensor type " + std::to_string(s.type) +
                                         " is not 0 (orthographic), 1 (perspective) or 4 "
                                         "(fisheye)");
  if (words && (s.width < 1 || s.height < 1)) throw std::invalid_argument(words->no_pixels);
  if (words && s.type == kSensorOrthographic && !(s.ortho_width > 0.f && s.ortho_height > 0.f))
    throw std::invalid_argument(words->no_ortho_extent);
  if (words && s.type != kSensorOrthographic && !(s.fov > 0.f))
    throw std::invalid_argument(words->no_field_of_view);
  const float* m = s.camera_to_world;
  for (int i = 0; i < 12; ++i)
    if (!std::isfinite(m[i]))
      throw std::invalid_argument(who + "the camera matrix must be finite");
  for (int r = 0; r < 3; ++r)
    if (!(std::fabs(m[4 * r + 3]) < kMaxOriginCoordinate))
      throw std::invalid_argument(who + "the camera position must lie within 1e18 of the origin");
  // The camera's axes must span space: a zero (never set) or flattening matrix has no view.
  const Vec3 cx(m[0], m[4], m[8]), cy(m[1], m[5], m[9]), cz(m[2], m[6], m[10]);
  const float det = dot(cross(cx, cy), cz);
  if (!(std::fabs(det) > 1.1920929e-7f * length(cx) * length(cy) * length(cz)))
    throw std::invalid_argument(who + "the camera matrix's axes (its first three columns) are "
                                      "degenerate");
  if (s.type == kSensorOrthographic) {
    if (!(s.ortho_width > 0.f && s.ortho_height > 0.f) || !std::isfinite(s.ortho_width) ||
        !std::isfinite(s.ortho_height))
      throw std::invalid_argument(who + "an orthographic sensor needs a finite positive ortho_w "
                                        "and ortho_h");
  } else {
    const float limit = s.type == kSensorPerspective ? kPi : kTwoPi;
    if (!(s.fov > 0.f && s.fov < limit))
      throw std::invalid_argument(
          who + (s.type == kSensorPerspective
                     ? "a perspective sensor needs a field of view between 0 and 180 degrees"
                     : "a fisheye sensor needs a field of view between 0 and 360 degrees"));
  }
}

ImageShape image_shape(const SceneDescription& d, const std::string& who) {
  const SensorBlock& s = d.sensor();
  if (s.width < 0 || s.height < 0)
    throw std::invalid_argument(who + ": the sensor's width and height must not be negative");
  ImageShape shape{s.height, s.width, d.num_bands()};
  checked_count({shape.height, shape.width, std::max(shape.bands, 1)}, sizeof(double),
                who + ": the image");
  return shape;
}

bool check_backward(const SceneDescription& desc, const BuiltScene& built, int spp,
                    const std::string& who) {
  if (spp < 1) throw std::invalid_argument(who + ": spp must be at least 1");
  const int nb = desc.num_bands();
  if (nb < 1) throw std::invalid_argument(who + ": the scene's band count must be at least 1");
  const bool thermal = desc.thermal().enabled;
  if (thermal && desc.thermal().wavelengths.size() < static_cast<size_t>(nb))
    throw std::invalid_argument(who + ": thermal mode needs one wavelength per band (" +
                                std::to_string(nb) + " bands, " +
                                std::to_string(desc.thermal().wavelengths.size()) +
                                " wavelengths)");
  const ImageShape shape = image_shape(desc, who);
  const bool has_pixels = shape.height > 0 && shape.width > 0;
  // The sun's direction is read for its light, and in thermal mode for sunlit and shaded
  // temperatures; a sensor never set has no pixels and reads nothing but the build state.
  bool reads_sun_direction = !thermal;
  for (const MaterialRecord& m : desc.materials())
    reads_sun_direction |= m.scalars[3] > 0.f && m.scalars[4] > 0.f;
  ScenePrerequisites need;
  need.sun = !thermal;
  need.sky = true;
  need.sun_direction = reads_sun_direction && has_pixels;
  need.thermal = thermal;
  check_scene_for_simulation(desc, built, who, nb, need);
  if (has_pixels) {
    check_sensor(desc.sensor(), who);
    if (desc.sky().hosek_offset >= 0)
      unit_direction(desc.sky().hosek_sun, who + ": the analytic sky's sun direction");
  }
  return reads_sun_direction;
}

bool has_photon_extent(const SceneDescription& d) {
  const RepetitionTile& tile = d.repetition();
  const SensorBlock& s = d.sensor();
  return (tile.x_size > 0.f && tile.y_size > 0.f) || (s.ortho_width > 0.f && s.ortho_height > 0.f);
}

Extent photon_extent(const SceneDescription& d, const std::string& who) {
  const RepetitionTile& tile = d.repetition();
  if (tile.x_size > 0.f && tile.y_size > 0.f) {
    if (!std::isfinite(tile.x_size) || !std::isfinite(tile.y_size))
      throw std::invalid_argument(who + ": the repeating tile size must be finite");
    return {tile.x_size, tile.y_size};
  }
  // No extent is a scene not set up for photons (a state error); an infinite one a bad value.
  const SensorBlock& s = d.sensor();
  if (!has_photon_extent(d))
    throw std::runtime_error(who +
                             ": no horizontal extent: set a repeating tile (set_repetitive) or "
                             "an orthographic sensor size (set_sensor)");
  if (!std::isfinite(s.ortho_width) || !std::isfinite(s.ortho_height))
    throw std::invalid_argument(who + ": the orthographic sensor size must be finite");
  return {s.ortho_width, s.ortho_height};
}

PhotonGrid photon_grid(const SceneDescription& d, const std::string& who, int32_t nx, int32_t ny,
                       int64_t num_photons) {
  PhotonGrid g;
  g.nx = nx;
  g.ny = ny;
  g.extent = photon_extent(d, who);
  g.dx = static_cast<float>(g.extent.sx) / nx;
  g.dy = static_cast<float>(g.extent.sy) / ny;
  g.area_per_photon = g.extent.sx * g.extent.sy / static_cast<double>(num_photons);
  return g;
}

void check_photon_request(const SceneDescription& d, const BuiltScene& built,
                          const std::string& who, int nx, int ny, int64_t num_photons,
                          int num_bands, float prob_sun) {
  if (num_bands < 1) throw std::invalid_argument(who + ": num_bands must be at least 1");
  if (num_photons < 1) throw std::invalid_argument(who + ": num_photons must be at least 1");
  if (nx < 1 || ny < 1) throw std::invalid_argument(who + ": nx and ny must be at least 1");
  if (!(prob_sun >= 0.f && prob_sun <= 1.f))
    throw std::invalid_argument(who + ": prob_sun must lie in [0, 1]");
  const SkySettings& sky = d.sky();
  if (prob_sun == 0.f && sky.hosek_offset < 0 && sky.constant_offset < 0)
    throw std::invalid_argument(who + ": prob_sun is 0 but the scene has no sky, so no photon "
                                      "source is left (set_sky or set_hw_sky)");
  check_scene_for_simulation(d, built, who, num_bands, {true, true, true});
  if (sky.hosek_offset >= 0)
    unit_direction(sky.hosek_sun, who + ": the analytic sky's sun direction");
}

void check_layer_heights(const std::vector<float>& heights, const std::string& who,
                         const char* too_few_message) {
  const int nz = static_cast<int>(heights.size()) - 1;
  if (nz < 1) throw std::runtime_error(too_few_message);
  for (int i = 0; i < nz; ++i)
    if (!(heights[i] < heights[i + 1]))
      throw std::invalid_argument(who + ": layer_heights must be strictly increasing");
}

std::vector<Vec3> view_directions(const std::vector<float>& rows, int num,
                                  const std::string& who) {
  if (num < 0) throw std::invalid_argument(who + ": num_brf_dirs must not be negative");
  if (rows.size() < static_cast<size_t>(num) * 3)
    throw std::invalid_argument(who + ": brf_directions holds fewer than num_brf_dirs rows of "
                                      "three");
  // View directions are used as unit vectors, like the sun's: a longer one must not scale the BRF.
  std::vector<Vec3> views(static_cast<size_t>(num));
  for (int k = 0; k < num; ++k)
    views[k] = unit_direction(&rows[3 * static_cast<size_t>(k)],
                              who + ": brf_directions row " + std::to_string(k));
  return views;
}

PhotonSourceSettings photon_source(const SceneDescription& d, const SceneBounds& b, int nb,
                                   const PhotonGrid& grid, float prob_sun) {
  PhotonSourceSettings s;
  s.box = {{b.lo[0], b.lo[1], b.lo[2]}, {b.hi[0], b.hi[1], b.hi[2]}};
  s.sun_direction = unit_direction(d.emitter().direction, "the sun direction");
  s.params = d.spectral_params().data();
  s.nb = nb;
  s.sun_offset = static_cast<int>(d.emitter().spectral_offset);
  s.sky_offset = d.sky().constant_offset;
  s.hosek_offset = d.sky().hosek_offset;
  s.hosek_sun = s.hosek_offset >= 0 ? unit_direction(d.sky().hosek_sun, "the sky's sun direction")
                                    : Vec3(0.f, 0.f, 1.f);
  s.repetition = d.repetition().active();
  // Photons enter the repeating tile from above everything in it: a measurement plane below the
  // canopy (the ground, by default) must not inject them under the leaves.
  s.launch_height = std::max(d.measurement_plane(), b.hi[2]) + 0.1f;
  s.sx = grid.extent.sx;
  s.sy = grid.extent.sy;
  s.area_per_photon = grid.area_per_photon;
  s.prob_sun = prob_sun;
  return s;
}

}  // namespace velm
