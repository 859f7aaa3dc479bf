// Forward photon transport shared by the CPU backend and the OptiX ray-generation programs: the
// walk of one photon (launch, closest hits with tile wrapping, scattering with roulette) and the
// tallies of the forward radiation simulation (absorption per voxel, leaf and terrain, BRF and
// albedo) and of the flux simulation (downwelling and upwelling per column).
//
// `Scene` is a backend's ray tracer (physics/backward_path.h). `Spectrum` holds the photon's
// per-band energy. `Add` says how a tally grows: `Add::add(double* cell, double value)` for the
// tallies private to a worker and `add_shared(...)` of the tally's `Add` object for those shared
// between workers (plain and queued compare-and-swap additions on the CPU, atomic additions on
// the GPU).
#pragma once

#include "physics/bsdf.h"
#include "physics/pcg32.h"
#include "physics/photon.h"
#include "physics/scatter.h"
#include "physics/surface.h"
#include "physics/tile.h"

namespace velm {

// The sequence number of photon streams: photon g of every forward and flux run seeded `seed`
// draws from item_stream(g, seeded_sequence(kPhotonSequence, seed)).
constexpr uint64_t kPhotonSequence = 0x70686F746F6E73ULL;
constexpr int kForwardRouletteDepth = 3;

struct PhotonWalkSettings {
  PhotonSourceSettings source;
  const MaterialRecord* materials;
  int nb;
  int max_depth;
  int rr_depth;
  RepetitionTile tile;
  bool repetition;
  float zmin, zmax;  // the scene's vertical extent: tile walks end outside it
  uint64_t seed = 0;  // the run's seed
};

// The stream and the launch of photon g: its random numbers drawn so far in `rng`, its energy in
// `w`. False when the source emits nothing.
template <class Spectrum>
VELM_HD bool start_photon(const PhotonWalkSettings& c, uint64_t g, Spectrum w, Pcg32& rng,
                          LaunchedPhoton& photon) {
  rng = item_stream(g, seeded_sequence(kPhotonSequence, c.seed));
  return launch_photon(c.source, rng, w, photon);
}

// Walks photon g. `tally.escape(direction, depth, w, photon)` is called when the photon leaves
// the scene; `tally.hit(hit, material, frame, wo, depth, w, photon, rays)` at every surface, and
// returns false to end the photon before it scatters (it may add the rays it traced itself to
// `rays`). Returns the rays traced.
template <class Scene, class Spectrum, class Tally>
VELM_HD uint64_t walk_photon(const PhotonWalkSettings& c, const Scene& scene, uint64_t g,
                             Spectrum w, Tally& tally) {
  Pcg32 rng;
  LaunchedPhoton photon;
  if (!start_photon(c, g, w, rng, photon)) return 0;
  Vec3 o = photon.origin, d = photon.direction;
  uint64_t rays = 0;
  int wraps = 0;
  for (int depth = 0; depth < c.max_depth;) {
    const SurfaceHit hit = scene.intersect_closest(o, d);
    ++rays;
    if (!hit.hit) {
      if (wrap_into_next_tile(c.tile, c.repetition, c.zmin, c.zmax, o, d, wraps)) continue;
      tally.escape(d, depth, w, photon);
      return rays;
    }
    const MaterialView mat = material_view(c.materials[hit.material_id], c.source.params, c.nb);
    const Frame frame = build_frame(hit.normal);
    const Vec3 wo = frame.to_local(-d);
    if (!tally.hit(hit, mat, frame, wo, depth, w, photon, rays)) return rays;

    if (!scatter(mat, frame, hit.geometric_normal, wo, hit.is_back_face, false, depth,
                 c.rr_depth, 1e-8, rng, w, d))
      return rays;
    o = hit.spawn(d);
    ++depth;
  }
  return rays;
}

// Absorbed fraction of the light hitting a surface: 1 - reflectance, and for a leaf
// 1 - (reflectance of the side hit + transmittance).
VELM_HD double absorptance(const MaterialView& m, int b, bool back_face) {
  switch (m.type) {
    case kMaterialLambertian:
    case kMaterialRpv:
      return 1.0 - m.p[b];
    case kMaterialLeaf:
      return 1.0 - (m.p[2 * m.nb + b] + (back_face ? m.p[m.nb + b] : m.p[b]));
    default:
      return 1.0;
  }
}

// The cell of coordinate / cell size, truncated towards zero and clamped into [0, n - 1] (NaN
// and values beyond the int range included).
VELM_HD int clamp_cell(float cells, int n) {
  if (!(cells >= 1.f)) return 0;
  if (!(cells < static_cast<float>(n))) return n - 1;
  return static_cast<int>(cells);
}

// The layer that holds height z: the first with heights[k] <= z < heights[k + 1]; above the
// stack the top layer, below it the first.
VELM_HD int layer_of(const float* heights, int nz, float z) {
  for (int k = 0; k < nz; ++k)
    if (heights[k] <= z && z < heights[k + 1]) return k;
  return z >= heights[0] ? nz - 1 : 0;
}

// ---- forward radiation ---------------------------------------------------------------------

// BRF views tested for visibility together (one packet on the CPU).
constexpr int kViewGroup = 8;

// Occlusion of n <= kViewGroup segments of length t_max in the repeating scene, one after the
// other; a backend that traces them together overloads this for its scene type.
template <class Scene>
VELM_HD void occluded_tiled_group(const Scene& scene, int n, const Vec3* origin,
                                  const Vec3* direction, float t_max, bool* blocked) {
  for (int i = 0; i < n; ++i) blocked[i] = scene.occluded_tiled(origin[i], direction[i], t_max);
}

struct ForwardTallySettings {
  int nx, ny, nz;
  float dx, dy;            // cell sizes, m
  const float* heights;    // nz + 1 layer boundaries, m
  int nb;
  int terrain_instance;    // -1: no terrain tally
  const uint64_t* leaf_offset;  // first leaf of each instance, or null: no leaf tally
  uint64_t total_leaves;
  const Vec3* views;       // BRF view directions, unit vectors away from the scene
  int num_views;
};

struct ForwardTallyTargets {
  double* grid;     // (nz, ny, nx, nb)
  double* leaf;     // (total_leaves, nb), shared between workers
  double* terrain;  // (nb), or null
  double* brf;      // (num_views, nb), or null
  double* albedo;   // (nb), or null
};

template <class Add, class Scene>
struct ForwardTally {
  const ForwardTallySettings* s;
  ForwardTallyTargets out;
  const Scene* scene;
  Add add_to{};  // makes the additions to the shared leaf tally

  template <class Spectrum>
  VELM_HD void escape(Vec3 d, int, Spectrum w, const LaunchedPhoton& photon) {
    if (d.z > 0.f && out.albedo != nullptr)
      for (int b = 0; b < s->nb; ++b) {
        const double e = w[b] * photon.scale;
        if (e > 0.0) Add::add(out.albedo + b, e);
      }
  }

  template <class Spectrum>
  VELM_HD bool hit(const SurfaceHit& hit, const MaterialView& m, const Frame& frame, Vec3 wo, int,
                   Spectrum w, const LaunchedPhoton& photon, uint64_t& rays) {
    const int nb = s->nb;
    const double scale = photon.scale;
    if (out.terrain != nullptr && hit.instance_id == s->terrain_instance) {
      for (int b = 0; b < nb; ++b) {
        const double e = absorptance(m, b, hit.is_back_face) * w[b] * scale;
        if (e > 0.0) Add::add(out.terrain + b, e);
      }
    } else {
      const int ix = clamp_cell(hit.position.x / s->dx, s->nx);
      const int iy = clamp_cell(hit.position.y / s->dy, s->ny);
      const int iz = layer_of(s->heights, s->nz, hit.position.z);
      double* cell = out.grid + ((static_cast<size_t>(iz) * s->ny + iy) * s->nx + ix) * nb;
      double* leaf_row = nullptr;
      if (s->leaf_offset != nullptr && out.leaf != nullptr && hit.instance_id >= 0) {
        const uint64_t idx = s->leaf_offset[hit.instance_id] + static_cast<uint64_t>(hit.primitive_id);
        if (idx < s->total_leaves) leaf_row = out.leaf + idx * nb;
      }
      for (int b = 0; b < nb; ++b) {
        const double e = absorptance(m, b, hit.is_back_face) * w[b] * scale;
        if (e > 0.0) {
          Add::add(cell + b, e);
          if (leaf_row) add_to.add_shared(leaf_row + b, e);
        }
      }
    }
    if (out.brf != nullptr) {
      // The views that this hit sends light to, up to kViewGroup at a time, tested for
      // visibility together; a view whose BSDF value is zero in every band adds nothing and
      // traces no ray.
      int group[kViewGroup];
      Vec3 origin[kViewGroup], direction[kViewGroup];
      bool blocked[kViewGroup];
      for (int k0 = 0; k0 < s->num_views;) {
        int n = 0;
        for (; k0 < s->num_views && n < kViewGroup; ++k0) {
          const Vec3 v = s->views[k0];
          if (v.z <= 0.f) continue;
          const float n_dot_v = dot(hit.normal, v), c = std::fabs(n_dot_v);
          if (c < 1e-6f || !on_shading_side(hit.geometric_normal, v, n_dot_v)) continue;
          const Vec3 wi = frame.to_local(v);
          bool adds = false;
          for (int b = 0; b < nb && !adds; ++b)
            adds = eval_bsdf(m, b, wo, wi, hit.is_back_face, false) * w[b] * c * scale > 0.0;
          if (!adds) continue;
          group[n] = k0;
          origin[n] = hit.spawn(v);
          direction[n] = v;
          ++n;
        }
        if (n == 0) continue;
        rays += static_cast<uint64_t>(n);
        occluded_tiled_group(*scene, n, origin, direction, 1e16f, blocked);
        for (int i = 0; i < n; ++i) {
          if (blocked[i]) continue;
          const int k = group[i];
          const Vec3 v = direction[i], wi = frame.to_local(v);
          const double c = std::fabs(dot(hit.normal, v));
          for (int b = 0; b < nb; ++b) {
            const double e = eval_bsdf(m, b, wo, wi, hit.is_back_face, false) * w[b] * c * scale;
            if (e > 0.0) Add::add(out.brf + static_cast<size_t>(k) * nb + b, e);
          }
        }
      }
    }
    return true;
  }
};

// ---- flux ----------------------------------------------------------------------------------

struct FluxTallySettings {
  int nx, ny;
  float dx, dy;  // cell sizes, m
  int nb;
  int max_bounces;  // surface hits recorded per photon; 0: all
};

struct FluxTallyTargets {
  double* down;     // (ny, nx, nb)
  double* up;       // (ny, nx, nb)
  double* direct;   // (ny, nx, nb) or null: no split
  double* diffuse;  // (ny, nx, nb) or null
};

template <class Add>
struct FluxTally {
  const FluxTallySettings* s;
  FluxTallyTargets out;
  int64_t prev = -1;  // column of the previous recorded hit, -1 at the start or outside the grid
  int recorded = 0;
  bool stop = false;

  template <class Spectrum>
  VELM_HD void escape(Vec3, int depth, Spectrum w, const LaunchedPhoton& photon) {
    if (depth > 0 && prev >= 0)
      for (int b = 0; b < s->nb; ++b) {
        const double e = w[b] * photon.scale;
        if (e > 0.0) Add::add(out.up + static_cast<size_t>(prev) * s->nb + b, e);
      }
  }

  template <class Spectrum>
  VELM_HD bool hit(const SurfaceHit& hit, const MaterialView&, const Frame&, Vec3, int depth,
                   Spectrum w, const LaunchedPhoton& photon, uint64_t&) {
    if (stop) return false;
    const int nb = s->nb;
    // Truncation towards zero: hits just below 0 fall into the first column. Compared in float
    // first, so no cast can overflow.
    const float fx = hit.position.x / s->dx, fy = hit.position.y / s->dy;
    int64_t c = -1;
    if (fx > -1.f && fx < static_cast<float>(s->nx) && fy > -1.f &&
        fy < static_cast<float>(s->ny)) {
      const int64_t ix = static_cast<int64_t>(fx) < s->nx - 1 ? static_cast<int64_t>(fx) : s->nx - 1;
      const int64_t iy = static_cast<int64_t>(fy) < s->ny - 1 ? static_cast<int64_t>(fy) : s->ny - 1;
      c = iy * s->nx + ix;
    }
    if (c >= 0 && (s->max_bounces == 0 || recorded < s->max_bounces)) {
      // Direct light: a sun photon at its first surface, before any scattering.
      const bool is_direct = photon.is_sun && depth == 0;
      for (int b = 0; b < nb; ++b) {
        const double e = w[b] * photon.scale;
        if (!(e > 0.0)) continue;
        const size_t i = static_cast<size_t>(c) * nb + b;
        Add::add(out.down + i, e);
        if (out.direct != nullptr) Add::add((is_direct ? out.direct : out.diffuse) + i, e);
        if (prev >= 0 && prev != c) Add::add(out.up + static_cast<size_t>(prev) * nb + b, e);
      }
      ++recorded;
    }
    if (s->max_bounces > 0 && recorded >= s->max_bounces) stop = true;
    prev = c;
    return true;
  }
};

}  // namespace velm
