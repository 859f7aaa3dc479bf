"""Canonical native scenes shared by the tests and the benchmarks.

The builders users need (sun direction, cameras, the procedural forest, the microwave tables)
live in ``velm``; the ones here fill a native scene object with them.

A builder describes a whole scene (geometry, materials, spectra, sun, sky, sensor) in a fresh
scene object and does not call ``build()``, so the caller may still change settings first. It
replaces the spectral buffer and expects material ids to start at 0. Only what the three scene
classes share is used: ``set_emitter``, ``upload_spectral_params`` and the sensor's camera matrix
are passed positionally, ``add_instance`` always gets x, y and z, and meshes come with (N, 3)
per-vertex normals.

Conventions. Sun direction: a unit vector from the scene towards the sun, azimuth measured from
+x towards +y. Spectra: one flat float32 buffer of blocks, one value per band in each (band b of
a block at its offset + b); irradiances in W m^-2 nm^-1 on a surface facing the sun, radiances in
W m^-2 sr^-1 nm^-1. Each builder's docstring gives its layout and returns it as ``offsets``.
Sensor: ``camera_to_world`` is a row-major 4x4 matrix whose first three columns are the camera's
axes and whose fourth is its position; the camera looks along -z. An orthographic pixel at image
position (u, v) in [-0.5, 0.5]^2 starts at position + u ortho_w x_axis + v ortho_h y_axis. The
nadir sensor here has the identity rotation: image columns run along +x, rows along +y (row 0 is
the low-y edge).
"""

import math

import numpy as np

import velm_gpu as velm
from velm._backends import populate
from velm.builders import (BARK_REFLECTANCE, LEAF_BACK_REFLECTANCE,  # noqa: F401
                           LEAF_FRONT_REFLECTANCE, LEAF_TRANSMITTANCE, SKY_RADIANCE,
                           SOIL_REFLECTANCE, SUN_IRRADIANCE, band_values)
from velm.builders import procedural_forest as forest_description
from velm.microwave_tables import (DIHEDRAL_AZIMUTHS, DIHEDRAL_COSINES,  # noqa: F401
                                   FOREST_TRUNK, MOIST_SOIL, dihedral_directions,
                                   microwave_forest_request, microwave_forest_tables,
                                   microwave_tables, vegetation_phase, wood_absorption)
from velm.sensors import nadir_camera as camera_matrix
from velm.sensors import sun_direction  # noqa: F401

# Material type codes.
LAMBERTIAN = 0
RPV = 1
LEAF = 13

# Sensor type codes.
ORTHOGRAPHIC = 0
PERSPECTIVE = 1
FISHEYE = 4


def nadir_camera(x, y, altitude):
    """velm's nadir camera-to-world matrix as the 16 floats the native set_sensor reads."""
    return camera_matrix(x, y, altitude).ravel()


def set_nadir_sensor(scene, width, height, extent_x, extent_y, center=(0.0, 0.0), altitude=100.0):
    """Orthographic sensor of width x height pixels covering extent_x by extent_y metres
    around `center`, looking straight down from `altitude`. Returns the camera matrix."""
    cam = nadir_camera(center[0], center[1], altitude)
    scene.set_sensor(ORTHOGRAPHIC, int(width), int(height), float(extent_x), float(extent_y), cam)
    return cam


def corner_bounds(vertices, transforms):
    """World box of instances of one mesh, as the scenes compute it: the mesh-space box's eight
    corners, each transformed by an instance's row-major 3x4 matrix. Returns (lo, hi) arrays."""
    v = np.asarray(vertices, np.float64)
    lo, hi = v.min(axis=0), v.max(axis=0)
    corners = np.array([[(hi if k & (1 << a) else lo)[a] for a in range(3)] for k in range(8)])
    m = np.asarray(transforms, np.float64).reshape(-1, 3, 4)
    pts = (np.einsum("nij,kj->nki", m[:, :, :3], corners) + m[:, None, :, 3]).reshape(-1, 3)
    return pts.min(axis=0), pts.max(axis=0)


def _add(scene, mesh, material_id):
    return scene.add_mesh(mesh["vertices"], mesh["normals"], mesh["indices"], material_id)


def _spectra(scene, blocks):
    """Sets the band count and uploads the named blocks (None: left out) one after another.
    Returns (band count, offsets by name; None for a block left out)."""
    given = {k: np.asarray(v, np.float32).ravel() for k, v in blocks.items() if v is not None}
    nb = len(next(iter(given.values())))
    for name, values in given.items():
        if len(values) != nb:
            raise ValueError(f"{name}: one value per band is needed")
    scene.set_num_bands(nb)
    scene.upload_spectral_params(np.concatenate(list(given.values())))
    offsets = {name: k * nb for k, name in enumerate(given)}
    return nb, {**offsets, **{name: None for name in blocks if name not in given}}


def _leaf_material(scene, offset, front, transmittance):
    """A leaf whose scalars 0 and 1 (reflection / transmission sampling weights) are its mean
    reflectance and mean transmittance, so each lobe is sampled in proportion to its light."""
    r = float(np.mean(np.asarray(front, np.float32)))
    t = float(np.mean(np.asarray(transmittance, np.float32)))
    return scene.add_material(LEAF, offset, [r, t] if r + t > 0 else [0.5, 0.5])


def _light(scene, sun_dir, offsets):
    scene.set_emitter(0, np.asarray(sun_dir, np.float32), offsets["sun"])
    if offsets["sky"] is not None:
        scene.set_sky(offsets["sky"])


def lambertian_plane(scene, reflectance_per_band, sun_irradiance_per_band, sun_dir, half=50.0,
                     sensor=(32, 32), sky_radiance_per_band=None, max_tri_edge=100.0):
    """A flat Lambertian square of side 2 * half at z = 0, centred on the origin, under the sun.

    Spectral layout (nb bands): [0, nb) reflectance, [nb, 2 nb) sun irradiance, then a constant
    sky radiance (only when given). `sensor` = (width, height) sets a nadir orthographic sensor
    over the central square of side `half`; None leaves the sensor alone.
    Returns a dict: bands, material, mesh, instance, offsets, bounds.
    """
    nb, offsets = _spectra(scene, {"reflectance": reflectance_per_band,
                                   "sun": sun_irradiance_per_band, "sky": sky_radiance_per_band})
    material = scene.add_material(LAMBERTIAN, offsets["reflectance"])
    mesh = _add(scene, velm.make_ground_plane(half, half, 0, max_tri_edge), material)
    instance = scene.add_instance(mesh, 0.0, 0.0, 0.0)
    _light(scene, sun_dir, offsets)
    if sensor is not None:
        set_nadir_sensor(scene, sensor[0], sensor[1], half, half, altitude=10.0)
    h = float(half)
    return {"bands": nb, "material": material, "mesh": mesh, "instance": instance,
            "offsets": offsets, "bounds": ((-h, -h, 0.0), (h, h, 0.0))}


def leaf_slab(scene, front_reflectance, back_reflectance, transmittance,
              sun_irradiance_per_band, sun_dir, half=10.0, height=1.0, sensor=(32, 32),
              sky_radiance_per_band=None, ground_reflectance=None):
    """A horizontal square of leaf material (type 13), side 2 * half, at z = height, its front
    (the side its normals point to) facing up; optionally a Lambertian ground of the same size
    at z = 0 underneath, which sees the light transmitted through the slab.

    Spectral layout (nb bands): front reflectance, back reflectance, transmittance, sun
    irradiance at 0, nb, 2 nb, 3 nb; then, each only when given, sky radiance and ground
    reflectance. `sensor` = (width, height) sets a nadir orthographic sensor over the central
    square of side `half`; None leaves the sensor alone.
    Returns a dict: bands, materials, meshes, instances, offsets, bounds.
    """
    nb, offsets = _spectra(scene, {
        "front": front_reflectance, "back": back_reflectance, "transmittance": transmittance,
        "sun": sun_irradiance_per_band, "sky": sky_radiance_per_band,
        "ground": ground_reflectance})
    square = velm.make_ground_plane(half, half, 0, 2.0 * half)
    materials = {"leaf": _leaf_material(scene, offsets["front"], front_reflectance,
                                        transmittance)}
    meshes = {"leaf": _add(scene, square, materials["leaf"])}
    instances = {"leaf": scene.add_instance(meshes["leaf"], 0.0, 0.0, float(height))}
    if offsets["ground"] is not None:
        materials["ground"] = scene.add_material(LAMBERTIAN, offsets["ground"])
        meshes["ground"] = _add(scene, square, materials["ground"])
        instances["ground"] = scene.add_instance(meshes["ground"], 0.0, 0.0, 0.0)
    _light(scene, sun_dir, offsets)
    if sensor is not None:
        set_nadir_sensor(scene, sensor[0], sensor[1], half, half, altitude=float(height) + 10.0)
    h, z0 = float(half), 0.0 if offsets["ground"] is not None else float(height)
    return {"bands": nb, "materials": materials, "meshes": meshes, "instances": instances,
            "offsets": offsets, "bounds": ((-h, -h, z0), (h, h, float(height)))}


def procedural_forest(scene, n_trees, seed, bands=3, extent=40.0, sun_zenith_deg=30.0,
                      sun_azimuth_deg=135.0, sensor=(128, 128), sky=True,
                      crown_subdivisions=2, trunk_segments=8, ground_edge=None):
    """A square patch of soil, side `extent` metres, centred on the origin, with `n_trees`
    trees at seeded random positions: an open cylinder trunk (bark) under an icosphere crown
    (leaf), two meshes instanced once per tree with ``add_instances_xform``. Crowns (even their
    bounding boxes) stay inside the patch, so the scene's x and y bounds are the patch's.

    Per tree (uniform draws): trunk height 2 to 6 m, crown radius 1 to 2.5 m, trunk radius
    0.1 x crown radius, crown centre 0.8 crown radii above the trunk top, crown turned by a
    random angle about z. The soil's triangles have edges of at most `ground_edge` metres (default
    extent / 4).

    Spectral layout (nb = `bands`, the module's reference spectra resampled):
        [0, nb) soil reflectance (material "soil", type 0); [nb, 4 nb) leaf front reflectance,
        back reflectance, transmittance (material "leaf", type 13); [4 nb, 5 nb) bark
        reflectance (material "bark", type 0); [5 nb, 6 nb) sun irradiance; [6 nb, 7 nb)
        constant sky radiance (only when `sky` is true).

    `sensor` = (width, height) sets an orthographic nadir sensor over the whole patch; None
    leaves it alone. Returns a dict: bands, materials, meshes, instances (ground id, first trunk
    id, first crown id), offsets, n_trees, sun_direction, bounds (the box build() will report).
    """
    description = forest_description(
        n_trees, seed, bands, extent, sun_zenith_deg, sun_azimuth_deg, pixels=None, sky=sky,
        crown_subdivisions=crown_subdivisions, trunk_segments=trunk_segments,
        ground_edge=ground_edge)
    n = int(n_trees)
    layout = populate(scene, description)
    groups = {name: np.asarray([xf for m, xf in description.instances if m == name])
              for name in description.meshes}
    instances = {"ground": 0, "trunks": 1, "crowns": 1 + n}
    boxes = [corner_bounds(description.meshes["ground"].vertices, groups["ground"].reshape(-1, 12))]
    if n:
        boxes += [corner_bounds(description.meshes[k].vertices, groups[k].reshape(-1, 12))
                  for k in ("trunk", "crown")]
    bounds = tuple(tuple(float(x) for x in f([b[k] for b in boxes], axis=0))
                   for k, f in ((0, np.min), (1, np.max)))
    if sensor is not None:
        set_nadir_sensor(scene, sensor[0], sensor[1], extent, extent, altitude=bounds[1][2] + 10.0)
    # Per primitive, in the global order of the GPU backends (instances in order, each one's
    # triangles in order): material id and world area.
    mats, areas = [], []
    for name, xf in description.instances:
        mesh = description.meshes[name]
        w = mesh.vertices.astype(np.float64) @ xf[:, :3].astype(np.float64).T + xf[:, 3]
        tri = mesh.indices
        a, b, c = w[tri[:, 0]], w[tri[:, 1]], w[tri[:, 2]]
        areas.append(0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1))
        mats.append(np.full(len(tri), layout.material_ids[mesh.material]))
    offsets = {k: layout.offsets.get(k) for k in ("soil", "leaf", "bark", "sun", "sky")}
    return {"bands": layout.bands, "materials": layout.material_ids, "meshes": layout.mesh_ids,
            "instances": instances, "offsets": offsets, "n_trees": n,
            "sun_direction": layout.sun_direction, "bounds": bounds,
            "primitive_materials": np.concatenate(mats), "primitive_areas": np.concatenate(areas)}


def canopy_tile(scene, repetitions=5):
    """Soil under three leafy spheres (radius 1.5 m, centres 3 m up) filling the repeating tile
    [0, 10]^2, repeated `repetitions` times around it; two bands, a sun at 40 degrees zenith
    (azimuth 0) and a constant sky. No sensor.

    Spectral layout: [0, 2) soil reflectance, [2, 8) leaf front reflectance, back reflectance
    and transmittance, [8, 10) sun irradiance, [10, 12) sky radiance. Materials: 0 soil (type
    0), 1 leaf (type 13); instance 0 is the ground (2 triangles), 1 to 3 the crowns (320 each).
    """
    _add(scene, velm.make_ground_plane(5.0, 5.0), 0)
    _add(scene, velm.make_sphere(1.5, np.zeros(3, np.float32), 2), 1)
    scene.add_instance(0, 5.0, 5.0, 0.0)
    for x, y in ((2.5, 2.5), (7.0, 4.0), (4.0, 8.0)):
        scene.add_instance(1, x, y, 3.0)
    _, offsets = _spectra(scene, {
        "soil": (0.2, 0.3), "front": (0.1, 0.45), "back": (0.05, 0.35),
        "transmittance": (0.05, 0.4), "sun": (900.0, 600.0), "sky": (40.0, 20.0)})
    scene.add_material(LAMBERTIAN, offsets["soil"])
    scene.add_material(LEAF, offsets["front"], [0.5, 0.5])
    _light(scene, sun_direction(40.0, 0.0), offsets)
    scene.set_repetitive(int(repetitions), 10.0, 10.0)


def benchmark_forest(scene, triangles=1_000_000, half=100.0, size=256):
    """The benchmark forest (the twin of bench/forest.h): a 2 half x 2 half m ground finely
    tessellated, and seeded trees (a 16-sided trunk under an icosphere crown, both scaled 0.7 to
    1.3) until about `triangles` instanced triangles; three bands, a sun and a constant sky, and a
    size x size orthographic nadir sensor over the whole ground. Materials 0 soil, 1 bark
    (Lambertian), 2 leaf (type 13). Returns a dict: size, triangles, layer_heights (a profile of
    the canopy for the forward simulation)."""
    ground = velm.make_ground_plane(half, half, 0, 2.0)
    trunk = velm.make_cylinder(0.3, 6.0, 16)
    crown = velm.make_sphere(3.0, np.zeros(3, np.float32), 3)
    g = _add(scene, ground, 0)
    t = _add(scene, trunk, 1)
    c = _add(scene, crown, 2)
    scene.add_instance(g, 0.0, 0.0, 0.0)
    per_tree = len(trunk["indices"]) + len(crown["indices"])
    n = (triangles - len(ground["indices"])) // per_tree
    rng = np.random.default_rng(12345)
    xy = rng.uniform(-0.95 * half, 0.95 * half, (n, 2))
    sc = rng.uniform(0.7, 1.3, n)
    xf = np.zeros((n, 12), np.float32)
    xf[:, 0] = xf[:, 5] = xf[:, 10] = sc
    xf[:, 3], xf[:, 7] = xy[:, 0], xy[:, 1]
    scene.add_instances_xform(t, xf)
    xf[:, 11] = 8.0 * sc
    scene.add_instances_xform(c, xf)
    scene.set_num_bands(3)
    scene.upload_spectral_params(np.array(
        [0.10, 0.15, 0.25, 0.08, 0.10, 0.15, 0.05, 0.10, 0.45, 0.06, 0.09, 0.35, 0.03, 0.08,
         0.45, 500, 600, 400, 20, 25, 15], np.float32))
    scene.add_material(LAMBERTIAN, 0)
    scene.add_material(LAMBERTIAN, 3)
    scene.add_material(LEAF, 6, [0.5, 0.5])
    scene.set_emitter(0, np.array([0.35, 0.2, 0.915], np.float32), 15)
    scene.set_sky(18)
    cam = nadir_camera(0.0, 0.0, 100.0)
    scene.set_sensor(ORTHOGRAPHIC, size, size, 2 * half, 2 * half, cam)
    return {"size": size, "triangles": len(ground["indices"]) + n * per_tree,
            "layer_heights": np.arange(-1, 15, 3.0).astype(np.float32)}

# ---- microwave tables: velm.microwave_tables (imported above) -------------------------------


def oblique_forest(scene, n_trees, seed, width, height, **forest):
    """procedural_forest seen by an orthographic sensor of width x height pixels over 20 x 20 m,
    35 degrees from the zenith (the microwave view)."""
    procedural_forest(scene, n_trees, seed, sensor=None, **forest)
    cam, _, _ = oblique_view(35.0, 20.0)
    scene.set_sensor(ORTHOGRAPHIC, width, height, 20.0, 20.0, cam)


def oblique_view(zenith_deg, extent, altitude=100.0):
    """An orthographic view of extent x extent metres centred over the origin, looking down at
    zenith_deg from the +x side: (camera_to_world, origins(u, v), direction), origins(u, v) the
    ray origins at image coordinates u, v in [-0.5, 0.5] (arrays)."""
    th = math.radians(zenith_deg)
    x_axis = np.array([math.cos(th), 0.0, -math.sin(th)])
    y_axis = np.array([0.0, 1.0, 0.0])
    z_axis = np.array([math.sin(th), 0.0, math.cos(th)])
    position = altitude * z_axis
    cam = np.eye(4)
    cam[:3, 0], cam[:3, 1], cam[:3, 2], cam[:3, 3] = x_axis, y_axis, z_axis, position

    def origins(u, v):
        return (position + np.multiply.outer(u * extent, x_axis) +
                np.multiply.outer(v * extent, y_axis))

    return cam.astype(np.float32).ravel(), origins, -z_axis
