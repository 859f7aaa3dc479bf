"""Ready-made scenes and helpers: the procedural forest, flat test scenes, pulse patterns and
the microwave tables of the native Vulkan wavefront call.

Reference spectra are three-band values (blue ~470 nm, red ~660 nm, near infrared ~860 nm);
other band counts interpolate them linearly from the first to the last entry (``band_values``).
Irradiances are W m^-2 nm^-1, radiances W m^-2 sr^-1 nm^-1.
"""

from __future__ import annotations

import math

import numpy as np
import velm_gpu

from .materials import Lambertian, Leaf
from .scene import Mesh, Scene, Sky, Sun, Tile
from .sensors import Orthographic, nadir_camera, oblique_camera, sun_direction  # noqa: F401

SOIL_REFLECTANCE = (0.08, 0.15, 0.25)
LEAF_FRONT_REFLECTANCE = (0.05, 0.05, 0.45)
LEAF_BACK_REFLECTANCE = (0.07, 0.07, 0.40)
LEAF_TRANSMITTANCE = (0.02, 0.03, 0.45)
BARK_REFLECTANCE = (0.10, 0.15, 0.30)
SUN_IRRADIANCE = (2.0, 1.5, 1.0)  # W m^-2 nm^-1, clear-sky order of magnitude
SKY_RADIANCE = (0.08, 0.04, 0.02)  # W m^-2 sr^-1 nm^-1, a bluish constant sky
REFERENCE_WAVELENGTHS = (470.0, 660.0, 860.0)  # nm


def band_values(reference, bands: int) -> np.ndarray:
    """`reference` resampled to `bands` values (linear interpolation over the band index)."""
    ref = np.asarray(reference, np.float64)
    x = np.linspace(0.0, len(ref) - 1.0, bands)
    return np.interp(x, np.arange(len(ref)), ref).astype(np.float32)


def _placement(x, y, z, scale=(1.0, 1.0, 1.0), yaw=0.0):
    """Row-major 3x4: diagonal scale, then a rotation by `yaw` radians about z, then
    translation."""
    c, s = math.cos(yaw), math.sin(yaw)
    sx, sy, sz = scale
    return np.array([c * sx, -s * sy, 0, x, s * sx, c * sy, 0, y, 0, 0, sz, z], np.float32)


def ground_plane(half_x: float = 50.0, half_y: float = 50.0, max_edge: float = 100.0) -> dict:
    """A flat rectangle at z = 0 centred on the origin (normals +z), triangles of at most
    `max_edge` metres; a dict of vertices, normals and indices."""
    return velm_gpu.make_ground_plane(half_x, half_y, 0, max_edge)


def sphere(radius: float = 1.0, center=(0.0, 0.0, 0.0), subdivisions: int = 2) -> dict:
    """An icosphere (20 * 4^subdivisions triangles)."""
    return velm_gpu.make_sphere(radius, np.asarray(center, np.float32), subdivisions)


def cylinder(radius: float = 1.0, height: float = 1.0, segments: int = 8) -> dict:
    """An open cylinder along +z from 0 to `height`."""
    return velm_gpu.make_cylinder(radius, height, segments)


def lambertian_plane(reflectance=0.3, sun=None, sky=None, bands=(550.0,), half: float = 50.0,
                     pixels=(32, 32)) -> Scene:
    """A flat Lambertian square of side 2 half (m) at z = 0 under the sun (default: zenith 30
    degrees, 1 W m^-2 nm^-1) with a nadir orthographic sensor over its central square of side
    `half`."""
    s = Scene(bands=bands)
    s.add_material("ground", Lambertian(reflectance))
    s.add_mesh("ground", ground_plane(half, half), "ground")
    s.add_instance("ground")
    s.sun = sun if sun is not None else Sun(30.0, 0.0, 1.0)
    s.sky = sky
    s.sensor = Orthographic.nadir(half, pixels, altitude=10.0)
    return s


def procedural_forest(n_trees: int = 36, seed: int = 2024, bands=3, extent: float = 40.0,
                      sun_zenith: float = 30.0, sun_azimuth: float = 135.0, pixels=(128, 128),
                      sky: bool = True, crown_subdivisions: int = 2, trunk_segments: int = 8,
                      ground_edge: float | None = None) -> Scene:
    """A square patch of soil, side `extent` metres, centred on the origin, with `n_trees`
    trees at seeded random positions: an open cylinder trunk ("bark", Lambertian) under an
    icosphere crown ("leaf", velm.Leaf). Crowns stay inside the patch, so the scene's x and y
    bounds are the patch's.

    Per tree (uniform draws): trunk height 2 to 6 m, crown radius 1 to 2.5 m, trunk radius 0.1
    crown radius, crown centre 0.8 crown radii above the trunk top, crown turned by a random
    angle about z. The soil's triangles have edges of at most `ground_edge` m (default
    extent / 4).

    bands: a band count (wavelengths spread from 470 to 860 nm) or the wavelengths (nm); the
    reference spectra are resampled to them. Materials, in this order: "soil", "leaf", "bark";
    meshes "ground", "trunk", "crown"; instances: the ground, then the trunks, then the crowns.
    `pixels` = (width, height) puts a nadir orthographic sensor over the patch (None: none).
    """
    if np.ndim(bands) == 0:
        nb = int(bands)
        wavelengths = np.interp(np.linspace(0, 2, nb), [0, 1, 2], REFERENCE_WAVELENGTHS) \
            if nb > 1 else np.array([660.0])
    else:
        wavelengths = np.asarray(bands, np.float64)
        nb = len(wavelengths)
    n, half = int(n_trees), 0.5 * float(extent)
    rng = np.random.default_rng(seed)
    s = Scene(bands=wavelengths)
    front = band_values(LEAF_FRONT_REFLECTANCE, nb)
    s.add_material("soil", Lambertian(band_values(SOIL_REFLECTANCE, nb)))
    s.add_material("leaf", Leaf(front, band_values(LEAF_TRANSMITTANCE, nb),
                                band_values(LEAF_BACK_REFLECTANCE, nb)))
    s.add_material("bark", Lambertian(band_values(BARK_REFLECTANCE, nb)))
    s.add_mesh("ground", ground_plane(half, half, float(extent) / 4.0
                                      if ground_edge is None else ground_edge), "soil")
    s.add_mesh("trunk", cylinder(1.0, 1.0, int(trunk_segments)), "bark")
    s.add_mesh("crown", sphere(1.0, (0, 0, 0), int(crown_subdivisions)), "leaf")

    trunk_h, crown_r = rng.uniform(2.0, 6.0, n), rng.uniform(1.0, 2.5, n)
    # A crown turned about z has a mesh-space box whose corners reach r sqrt(2) from its axis;
    # keeping that inside the patch keeps the scene's bounds those of the soil in x and y.
    margin = 2.5 * math.sqrt(2.0)
    xy = rng.uniform(-half + margin, half - margin, (n, 2))
    yaw = rng.uniform(0.0, 2.0 * math.pi, n)
    s.add_instance("ground")
    if n:
        s.add_instances("trunk", [_placement(x, y, 0.0, (0.1 * r, 0.1 * r, h))
                                  for (x, y), h, r in zip(xy, trunk_h, crown_r)])
        s.add_instances("crown", [_placement(x, y, h + 0.8 * r, (r, r, r), a)
                                  for (x, y), h, r, a in zip(xy, trunk_h, crown_r, yaw)])
    s.sun = Sun(sun_zenith, sun_azimuth, band_values(SUN_IRRADIANCE, nb))
    s.sky = Sky(band_values(SKY_RADIANCE, nb)) if sky else None
    if pixels is not None:
        top = float(s.bounds()[1][2])
        s.sensor = Orthographic.nadir(extent, pixels, altitude=top + 10.0)
    return s


def canopy_tile(repetitions: int = 5) -> Scene:
    """Soil under three leafy spheres (radius 1.5 m, centres 3 m up) filling the repeating tile
    [0, 10]^2, two bands (660 and 860 nm), the sun at 40 degrees zenith and a constant sky; a
    nadir sensor over the tile."""
    s = Scene(bands=[660.0, 860.0])
    s.add_material("soil", Lambertian((0.2, 0.3)))
    s.add_material("leaf", Leaf((0.1, 0.45), (0.05, 0.4), (0.05, 0.35)))
    s.add_mesh("ground", ground_plane(5.0, 5.0), "soil")
    s.add_mesh("crown", sphere(1.5, (0, 0, 0), 2), "leaf")
    s.add_instance("ground", position=(5.0, 5.0, 0.0))
    for x, y in ((2.5, 2.5), (7.0, 4.0), (4.0, 8.0)):
        s.add_instance("crown", position=(x, y, 3.0))
    s.sun = Sun(40.0, 0.0, (900.0, 600.0))
    s.sky = Sky((40.0, 20.0))
    s.tile = Tile(10.0, 10.0, repetitions)
    s.sensor = Orthographic.nadir(10.0, (16, 16), center=(5.0, 5.0), altitude=20.0)
    return s


def nadir_pulses(extent, spacing: float, altitude: float, center=(0.0, 0.0)):
    """Pulses on a regular grid (`spacing` m) over `extent` = (x, y) m (or one number) centred on
    `center`, fired straight down from `altitude`: (origins, directions), each (N, 3)."""
    ex, ey = np.broadcast_to(np.asarray(extent, float), (2,))
    xs = center[0] - ex / 2 + (np.arange(int(round(ex / spacing))) + 0.5) * spacing
    ys = center[1] - ey / 2 + (np.arange(int(round(ey / spacing))) + 0.5) * spacing
    gx, gy = np.meshgrid(xs, ys)
    o = np.column_stack([gx.ravel(), gy.ravel(), np.full(gx.size, float(altitude))])
    d = np.tile(np.float32([0, 0, -1]), (len(o), 1))
    return o.astype(np.float32), d


__all__ = ["band_values", "ground_plane", "sphere", "cylinder", "lambertian_plane",
           "procedural_forest", "canopy_tile", "nadir_pulses", "sun_direction", "nadir_camera",
           "oblique_camera", "Mesh"]
