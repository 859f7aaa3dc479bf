#include "cpu/backward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>

#include "cpu/workers.h"
#include "physics/bsdf.h"
#include "physics/camera.h"
#include "physics/pcg32.h"
#include "physics/planck.h"
#include "physics/scatter.h"
#include "physics/sky.h"
#include "physics/tile.h"

namespace velm::cpu {

namespace {

constexpr int kRouletteDepth = 3;
constexpr double kSunSolidAngle = 6.794e-5;  // sr, solid angle of the solar disk
// Cosine of the disk's angular radius: the cone of exactly that solid angle, 2 pi (1 - cos).
// Tested in double, so that the directions seen as sun add up to the irradiance E and not to
// E times the area of a cone widened by float rounding near 1.
constexpr double kSunDiskCosine = 1.0 - kSunSolidAngle / 6.283185307179586;

// Everything a path reads, resolved once per call.
struct PathContext {
  const embree::EmbreeSceneManager* scene;
  const SensorBlock* sensor;
  const float* params;
  const MaterialRecord* materials;
  int nb;
  int max_depth;
  bool thermal;
  const float* wavelengths;
  Vec3 sun;              // unit vector towards the sun
  const float* sun_irradiance;  // W m^-2 per band
  int hosek_offset;
  Vec3 hosek_sun;
  const float* sky_constant;  // W m^-2 sr^-1 per band, or null
  bool terrain_following;
  RepetitionTile tile;
  bool repetition;
  float zmin, zmax;
};

// Brings a sensor ray that starts outside the tile into it, so a repeating scene is seen from
// any camera position.
void enter_tile(const PathContext& c, Vec3& o, Vec3 d) {
  const float sx = c.tile.x_size, sy = c.tile.y_size;
  float px = o.x, py = o.y;
  if (o.z > c.zmax && d.z < -1e-8f) {
    const float t = (c.zmax - o.z) / d.z;
    px = o.x + t * d.x;
    py = o.y + t * d.y;
  }
  if (px > sx)
    o.x -= std::trunc(px / sx) * sx;
  else if (px < 0.f)
    o.x += std::trunc((sx - px) / sx) * sx;
  if (py > sy)
    o.y -= std::trunc(py / sy) * sy;
  else if (py < 0.f)
    o.y += std::trunc((sy - py) / sy) * sy;
  float te = 0.f;
  if (o.x < 0.f && d.x > 1e-8f) te = std::max(te, -o.x / d.x);
  if (o.x > sx && d.x < -1e-8f) te = std::max(te, (sx - o.x) / d.x);
  if (o.y < 0.f && d.y > 1e-8f) te = std::max(te, -o.y / d.y);
  if (o.y > sy && d.y < -1e-8f) te = std::max(te, (sy - o.y) / d.y);
  if (te > 0.f) {
    o = o + d * te;
    o.x = std::min(std::max(o.x, 0.001f), sx - 0.001f);
    o.y = std::min(std::max(o.y, 0.001f), sy - 0.001f);
  }
}

// One path for pixel (x, y) in pass `pass`; adds its radiance to L (nb doubles).
void trace_path(const PathContext& c, int x, int y, int pass, double* T, double* L,
                BackwardStats& stats) {
  const int nb = c.nb;
  const auto& scene = *c.scene;
  const uint64_t w = static_cast<uint64_t>(c.sensor->width);
  Pcg32 rng = item_stream(static_cast<uint64_t>(y) * w + static_cast<uint64_t>(x),
                          static_cast<uint64_t>(pass));
  for (int b = 0; b < nb; ++b) {
    T[b] = 1.0;
    L[b] = 0.0;
  }
  const float jx = rng.next_float();
  const float jy = rng.next_float();
  SensorRay ray = sensor_ray(*c.sensor, static_cast<float>(x) + jx, static_cast<float>(y) + jy);
  if (dot(ray.direction, ray.direction) < 0.5f) return;
  Vec3 o = ray.origin, d = ray.direction;

  if (c.terrain_following && c.sensor->type == kSensorOrthographic && d.z != 0.f) {
    const float t = -o.z / d.z;
    const Vec3 p0(o.x + t * d.x, o.y + t * d.y, o.z);
    const embree::HitRecord ground = scene.intersect_closest(p0, Vec3(0.f, 0.f, -1.f));
    ++stats.closest_rays;
    if (ground.hit) o = Vec3(p0.x, p0.y, o.z - ground.t) - d * 100000.f;
  }
  if (c.repetition) enter_tile(c, o, d);
  if (c.max_depth < 1) return;

  int depth = 0, wraps = 0;
  bool escaped = false;
  for (;;) {
    const embree::HitRecord hit = scene.intersect_closest(o, d);
    ++stats.closest_rays;
    if (!hit.hit) {
      if (c.repetition && wraps < c.tile.count && !leaves_slab(o, d, c.zmin, c.zmax) &&
          wrap_across_tile(c.tile, o, d) > 0.f) {
        ++wraps;
        continue;
      }
      escaped = true;
      break;
    }
    const MaterialView mat = material_view(c.materials[hit.material_id], c.params, nb);
    const MaterialRecord& rec = c.materials[hit.material_id];
    const Frame frame = build_frame(hit.normal);
    const Vec3 wo = frame.to_local(-d);

    if (c.thermal) {
      float temperature = rec.scalars[2];
      if (rec.scalars[3] > 0.f && rec.scalars[4] > 0.f) {
        const Vec3 so = hit.spawn(c.sun);
        ++stats.shadow_rays;
        temperature = scene.occluded_tiled(so, c.sun, 1e16f) ? rec.scalars[4] : rec.scalars[3];
      }
      if (temperature > 0.f) {
        for (int b = 0; b < nb; ++b)
          L[b] += static_cast<double>(planck(temperature, c.wavelengths[b])) * mat.p[b] * T[b];
      }
    } else {
      const float n_dot_l = dot(hit.normal, c.sun);
      if (n_dot_l > 0.f || rec.type == kMaterialLeaf) {
        const Vec3 so = hit.spawn(c.sun);
        ++stats.shadow_rays;
        if (std::fabs(n_dot_l) > 0.f && !scene.occluded_tiled(so, c.sun, 1e16f)) {
          const Vec3 wi = frame.to_local(c.sun);
          const double cos_l = std::fabs(n_dot_l);
          for (int b = 0; b < nb; ++b)
            L[b] += c.sun_irradiance[b] * eval_bsdf(mat, b, wo, wi, hit.is_back_face, false) *
                    T[b] * cos_l;
        }
      }
    }

    // The path ends once every band's throughput is at most 1e-10.
    if (!scatter(mat, frame, wo, hit.is_back_face, c.thermal, depth, kRouletteDepth, 1e-10, rng, T,
                 d))
      break;
    o = hit.spawn(d);
    if (++depth >= c.max_depth) break;
  }
  if (!escaped) return;

  const double cos_to_sun = static_cast<double>(d.x) * c.sun.x +
                            static_cast<double>(d.y) * c.sun.y + static_cast<double>(d.z) * c.sun.z;
  if (depth == 0 && !c.thermal && cos_to_sun >= kSunDiskCosine) {
    for (int b = 0; b < nb; ++b) L[b] += c.sun_irradiance[b] / kSunSolidAngle * T[b];
    return;
  }
  if (c.hosek_offset >= 0) {
    for (int b = 0; b < nb; ++b)
      L[b] += sky_radiance(c.params, c.hosek_offset, c.hosek_sun, d, b) * T[b];
  } else if (c.sky_constant != nullptr) {
    for (int b = 0; b < nb; ++b) L[b] += c.sky_constant[b] * T[b];
  }
}

// The sensor as the paths read it: a known type, a finite camera that spans space, and the size
// and angle its projection needs. Setting a sensor validates nothing, so a simulation checks here.
void check_sensor(const SensorBlock& s) {
  const std::string who = "simulate_cpu: set_sensor: ";
  if (s.type != kSensorOrthographic && s.type != kSensorPerspective && s.type != kSensorFisheye)
    throw std::invalid_argument(who + "sensor type " + std::to_string(s.type) +
                                " is not 0 (orthographic), 1 (perspective) or 4 (fisheye)");
  const float* m = s.camera_to_world;
  for (int i = 0; i < 12; ++i)
    if (!std::isfinite(m[i]))
      throw std::invalid_argument(who + "the camera matrix must be finite");
  for (int r = 0; r < 3; ++r)
    if (!(std::fabs(m[4 * r + 3]) < embree::kMaxRayCoordinate))
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

}  // namespace

ImageShape backward_image_shape(const embree::EmbreeSceneManager& scene) {
  const SensorBlock& s = scene.desc().sensor();
  if (s.width < 0 || s.height < 0)
    throw std::invalid_argument("simulate_cpu: the sensor's width and height must not be "
                                "negative");
  ImageShape shape{s.height, s.width, scene.desc().num_bands()};
  checked_count({shape.height, shape.width, std::max(shape.bands, 1)}, sizeof(double),
                "simulate_cpu: the image");
  return shape;
}

void simulate_backward(const embree::EmbreeSceneManager& scene, int spp, int max_depth,
                       const HostHooks& hooks, float* image, BackwardStats* stats_out) {
  if (spp < 1) throw std::invalid_argument("simulate_cpu: spp must be at least 1");
  const SceneDescription& desc = scene.desc();
  const int nb = desc.num_bands();
  if (nb < 1) throw std::invalid_argument("simulate_cpu: the scene's band count must be at least 1");
  const bool thermal = desc.thermal().enabled;
  if (thermal && desc.thermal().wavelengths.size() < static_cast<size_t>(nb))
    throw std::invalid_argument("simulate_cpu: thermal mode needs one wavelength per band (" +
                                std::to_string(nb) + " bands, " +
                                std::to_string(desc.thermal().wavelengths.size()) +
                                " wavelengths)");
  const ImageShape shape = backward_image_shape(scene);
  const int width = shape.width, height = shape.height;
  const size_t n_values = static_cast<size_t>(width) * height * nb;
  const bool has_pixels = n_values > 0;
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
  check_scene_for_simulation(scene, "simulate_cpu", nb, need);
  const SensorBlock& sensor = desc.sensor();
  if (has_pixels) {
    check_sensor(sensor);
    if (desc.sky().hosek_offset >= 0)
      unit_direction(desc.sky().hosek_sun, "simulate_cpu: the analytic sky's sun direction");
  }
  max_depth = max_depth_override(max_depth, "[CPU bwd]");
  std::fill(image, image + n_values, 0.f);
  if (n_values == 0) return;

  PathContext c;
  c.scene = &scene;
  c.sensor = &sensor;
  c.params = desc.spectral_params().data();
  c.materials = desc.materials().data();
  c.nb = nb;
  c.max_depth = max_depth;
  c.thermal = thermal;
  c.wavelengths = desc.thermal().wavelengths.data();
  // The emitter direction is stored as given; light transport needs the unit vector.
  c.sun = reads_sun_direction ? unit_direction(desc.emitter().direction, "the sun direction")
                              : Vec3(0.f, 0.f, 1.f);
  c.sun_irradiance = thermal ? nullptr : c.params + desc.emitter().spectral_offset;
  c.hosek_offset = desc.sky().hosek_offset;
  c.hosek_sun = c.hosek_offset >= 0 ? unit_direction(desc.sky().hosek_sun, "the sky's sun")
                                    : Vec3(0.f, 0.f, 1.f);
  c.sky_constant = desc.sky().constant_offset >= 0 ? c.params + desc.sky().constant_offset : nullptr;
  c.terrain_following = desc.terrain_following();
  c.tile = desc.repetition();
  c.repetition = c.tile.active();
  c.zmin = scene.min_height();
  c.zmax = scene.max_height();

  const unsigned workers = worker_count();
  std::vector<double> accum(n_values, 0.0);
  // Per-worker throughput and radiance, sized once per call: nothing is allocated per path.
  std::vector<double> scratch(static_cast<size_t>(workers) * 2 * nb);
  struct alignas(64) PaddedStats {
    BackwardStats s;
  };
  std::vector<PaddedStats> stats(workers);
  const auto start = std::chrono::steady_clock::now();

  for (int pass = 0; pass < spp; ++pass) {
    parallel_chunks(workers, static_cast<uint64_t>(height), 1,
                    [&](unsigned wk, uint64_t row_begin, uint64_t row_end) {
                      double* T = scratch.data() + static_cast<size_t>(wk) * 2 * nb;
                      double* L = T + nb;
                      for (uint64_t y = row_begin; y < row_end; ++y) {
                        double* row = accum.data() + y * static_cast<size_t>(width) * nb;
                        for (int x = 0; x < width; ++x) {
                          trace_path(c, x, static_cast<int>(y), pass, T, L, stats[wk].s);
                          for (int b = 0; b < nb; ++b) row[static_cast<size_t>(x) * nb + b] += L[b];
                        }
                      }
                    });
    if (hooks.progress || hooks.poll) {
      if (hooks.progress) {
        const double inv = 1.0 / (pass + 1);
        for (size_t i = 0; i < n_values; ++i) image[i] = static_cast<float>(accum[i] * inv);
      }
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      hooks.report(static_cast<uint64_t>(pass + 1), static_cast<uint64_t>(spp),
                   static_cast<float>(ms));
    }
  }
  const double inv = 1.0 / spp;
  for (size_t i = 0; i < n_values; ++i) image[i] = static_cast<float>(accum[i] * inv);
  if (stats_out) {
    for (const auto& s : stats) {
      stats_out->closest_rays += s.s.closest_rays;
      stats_out->shadow_rays += s.s.shadow_rays;
    }
  }
}

}  // namespace velm::cpu
