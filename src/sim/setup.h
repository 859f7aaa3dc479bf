// What the simulations of every backend check and set up the same way from the scene
// description, before any work: the VELM_MAX_DEPTH override, the scene and sensor checks, sizes
// that must be addressable, the horizontal extent of the photon simulations and the settings of
// the shared photon source. Messages start with the simulation's name (`who`).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "physics/common.h"
#include "physics/photon.h"
#include "scene/scene_description.h"

namespace velm {

// What a simulation calls back on the calling thread between passes or batches.
struct HostHooks {
  // (done, total, value), e.g. passes done, passes, elapsed milliseconds.
  std::function<void(uint64_t, uint64_t, float)> progress;
  // Polled between passes; throws to stop the simulation (Ctrl-C).
  std::function<void()> poll;
  void report(uint64_t done, uint64_t total, float value) const {
    if (poll) poll();
    if (progress) progress(done, total, value);
  }
};

// The requests of the forward radiation and flux simulations, as the module layer hands them over.
struct ForwardRequest {
  int nx = 1, ny = 1;
  std::vector<float> layer_heights;
  int64_t num_photons = 10000000;
  int num_bands = 1;
  bool per_leaf = false;
  std::vector<float> brf_directions;  // num_brf_dirs rows of (x, y, z)
  int num_brf_dirs = 0;
  float prob_sun = 1.f;
  int max_depth = 16;
  int terrain_instance_id = -1;
  uint64_t seed = 0;  // selects the photon streams (physics/pcg32.h seeded_sequence)
};

struct FluxRequest {
  int nx = 1, ny = 1;
  int64_t num_photons = 0;
  int num_bands = 1;
  float prob_sun = 1.f;
  int max_bounces = 0;
  int max_depth = 16;
  int rr_depth = 3;
  bool decompose = false;
  uint64_t seed = 0;
};

// What the forward radiation and flux simulations return, as every backend fills them: absolute
// energies in float, element order as documented per array.
struct ForwardResult {
  int nz = 0;
  std::vector<float> grid;     // (nz, ny, nx, bands)
  std::vector<float> leaf;     // (leaves, bands), when per_leaf and there are leaves
  std::vector<float> brf;      // (num_brf_dirs, bands), when num_brf_dirs > 0
  std::vector<float> albedo;   // (bands), with brf
  std::vector<float> terrain;  // (bands), when terrain_instance_id >= 0
  uint64_t rays = 0;           // rays traced, where the backend counts them
};

struct FluxResult {
  std::vector<float> downwelling, upwelling;  // (ny, nx, bands)
  std::vector<float> direct, diffuse;         // when decomposed
  uint64_t rays = 0;
};

// A positive VELM_MAX_DEPTH (read with atoi) replaces max_depth; the notice goes to standard
// output with the simulation's prefix, e.g. "[CPU bwd]".
int max_depth_override(int max_depth, const char* prefix);

// The product of `counts` (each non-negative) as an element count, refusing one whose storage at
// `element_size` bytes would not be addressable: std::invalid_argument naming `what`.
uint64_t checked_count(std::initializer_list<int64_t> counts, size_t element_size,
                       const std::string& what);

// The unit vector of a finite non-zero direction (normalised in double, so lengths beyond the
// float range are fine); throws std::invalid_argument naming `what` otherwise.
Vec3 unit_direction(const float* v, const std::string& what);

// Lambertian reflectances (emissivities in thermal mode), leaf reflectances and transmittances
// are fractions of the light that arrives: each must lie in [0, 1], and a leaf face cannot
// scatter more than it receives (reflectance + transmittance <= 1; not checked in thermal mode,
// where the first block is the emissivity). Values outside give negative radiances or create
// energy. Checks the materials the meshes use; std::invalid_argument names the material, the
// band and the value.
void check_material_fractions(const SceneDescription& d, const std::string& who, int num_bands,
                              bool thermal);

// A terrain instance id (negative: none) must name one of the scene's instances:
// std::out_of_range otherwise.
void check_terrain_instance(const SceneDescription& d, int64_t terrain_instance_id,
                            const std::string& who);

struct ScenePrerequisites {
  bool sun = false;        // the sun's irradiance block is read
  bool sky = false;        // the sky blocks are read when set
  bool materials = true;   // mesh materials and their spectral blocks are read
  bool sun_direction = true;  // the sun's direction is read
  bool thermal = false;    // every material's first block (emissivity) is read, whatever its type
};

// The scene as a backend built it: whether it is built, and the conditioning of each built
// instance's transform (InstanceFrame::conditioning; 0 when it flattens space).
struct BuiltScene {
  bool built = false;
  std::vector<float> conditioning;
};
// The conditioning of the description's instances as they stand.
std::vector<float> instance_conditioning(const SceneDescription& d);

// Throws std::runtime_error for a scene that was never built, std::invalid_argument for a mesh
// whose material id is outside the material list, a block that runs past the spectral buffer, a
// sun direction that is not a finite non-zero vector, a repeating tile that is not finite, or an
// instance whose transform flattens space (its normals are undefined).
void check_scene_for_simulation(const SceneDescription& d, const BuiltScene& built,
                                const std::string& who, int num_bands,
                                const ScenePrerequisites& need);

// Largest coordinate a camera or pulse origin may have (the ray tracers' own limit is near 1.8e18).
constexpr float kMaxOriginCoordinate = 1e18f;

// The sensor as the paths read it: a known type, a finite camera that spans space, and the size
// and angle its projection needs. Setting a sensor validates nothing, so a simulation checks here.
void check_sensor(const SensorBlock& s, const std::string& who);

struct ImageShape {
  int height, width, bands;
};
// The shape of a backward image, (height, width, bands) of the scene's sensor; throws
// std::invalid_argument for a negative size or an image too large to address.
ImageShape image_shape(const SceneDescription& d, const std::string& who);

// Everything a backward image simulation checks before it starts (spp, bands, thermal
// wavelengths, the scene, the sensor and the sky's sun when there are pixels). Returns whether
// the paths read the sun's direction.
bool check_backward(const SceneDescription& d, const BuiltScene& built, int spp,
                    const std::string& who);

// The horizontal extent photons are spread over and the grids cover: the repeating tile when
// there is one, else the orthographic sensor footprint (std::invalid_argument when neither).
struct Extent {
  double sx, sy;
};
Extent photon_extent(const SceneDescription& d, const std::string& who);

// Checks shared by the forward and flux simulations: counts, prob_sun, a photon source, and the
// scene (materials, sun, sky).
void check_photon_request(const SceneDescription& d, const BuiltScene& built,
                          const std::string& who, int nx, int ny, int64_t num_photons,
                          int num_bands, float prob_sun);

// Layer boundaries of the forward grid: at least two, strictly increasing.
void check_layer_heights(const std::vector<float>& heights, const std::string& who,
                         const char* too_few_message);

// The BRF view directions as unit vectors (num rows of 3 floats, normalised like the sun's).
std::vector<Vec3> view_directions(const std::vector<float>& rows, int num, const std::string& who);

// The photon source of a forward or flux simulation over the scene `bounds`. Pointers in the
// result point into the description's spectral buffer (the GPU replaces them with device ones).
PhotonSourceSettings photon_source(const SceneDescription& d, const SceneBounds& bounds, int nb,
                                   Extent extent, int64_t num_photons, float prob_sun);

}  // namespace velm
