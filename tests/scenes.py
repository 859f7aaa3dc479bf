"""Canonical scenes shared by the tests, the benchmarks and the examples.

Every builder takes a scene object and describes a whole scene in it (geometry, materials,
spectra, sun, sky, sensor); it does not call ``build()``, so the caller may still change
settings (repetition, thermal mode, ...) first. Call a builder on a fresh scene: it replaces the
spectral parameter buffer and expects material ids to start at 0.

The builders use only what the three scene classes (``EmbreeSceneManager``, ``SceneManager``,
``VulkanSceneManager``) have in common:

- ``set_emitter`` and ``upload_spectral_params`` are called positionally (two of the classes
  take no keywords there), and so is the sensor's camera matrix (``cam_xform`` on two classes,
  ``camera_transform`` on the third);
- ``add_instance`` always gets x, y and z (the Vulkan scene has no defaults for them);
- meshes come with per-vertex normals in (N, 3) arrays, which every scene accepts.

Conventions
-----------
Sun direction: a unit vector from the scene towards the sun. ``sun_direction(zenith, azimuth)``
measures the azimuth in the horizontal plane from +x towards +y.

Spectra: one flat float32 buffer; each block holds one value per band, band-major within the
block (value of band b at block offset + b). Irradiances are spectral irradiances in
W m^-2 nm^-1 on a surface perpendicular to the sun, radiances in W m^-2 sr^-1 nm^-1,
reflectances and transmittances are unitless. The layout of each scene is given in its builder's
docstring and returned in its ``offsets`` entry.

Sensor: ``camera_to_world`` is a row-major 4x4 matrix whose first three columns are the
camera's x, y and z axes in world coordinates and whose fourth column is the camera position.
The camera looks along its -z axis. An orthographic pixel at image position (u, v) in
[-0.5, 0.5]^2 (u along the image width, v along its height) starts its ray at
position + u * ortho_w * x_axis + v * ortho_h * y_axis. The nadir sensor used here has the
identity rotation: it looks straight down (-z), image columns run along +x and image rows along
+y, so row 0 is the low-y edge of the footprint.
"""

import math

import numpy as np

import velm_gpu as velm

# Material type codes.
LAMBERTIAN = 0
RPV = 1
LEAF = 13

# Sensor type codes.
ORTHOGRAPHIC = 0
PERSPECTIVE = 1
FISHEYE = 4

# Three-band reference spectra (blue ~470 nm, red ~660 nm, near infrared ~860 nm). Other band
# counts interpolate these linearly from the first to the last entry.
SOIL_REFLECTANCE = (0.08, 0.15, 0.25)
LEAF_FRONT_REFLECTANCE = (0.05, 0.05, 0.45)
LEAF_BACK_REFLECTANCE = (0.07, 0.07, 0.40)
LEAF_TRANSMITTANCE = (0.02, 0.03, 0.45)
BARK_REFLECTANCE = (0.10, 0.15, 0.30)
SUN_IRRADIANCE = (2.0, 1.5, 1.0)  # W m^-2 nm^-1, clear-sky order of magnitude
SKY_RADIANCE = (0.08, 0.04, 0.02)  # W m^-2 sr^-1 nm^-1, a bluish constant sky


def band_values(reference, bands):
    """`reference` resampled to `bands` values (linear interpolation over the band index)."""
    ref = np.asarray(reference, np.float64)
    if bands == len(ref):
        return ref.astype(np.float32)
    x = np.linspace(0.0, len(ref) - 1.0, bands)
    return np.interp(x, np.arange(len(ref)), ref).astype(np.float32)


def sun_direction(zenith_deg, azimuth_deg):
    """Unit vector towards the sun; azimuth from +x towards +y."""
    th, ph = math.radians(zenith_deg), math.radians(azimuth_deg)
    return np.array(
        [math.sin(th) * math.cos(ph), math.sin(th) * math.sin(ph), math.cos(th)], np.float32
    )


def nadir_camera(x, y, altitude):
    """camera_to_world of a camera at (x, y, altitude) looking straight down (16 floats)."""
    return np.array(
        [1, 0, 0, x,
         0, 1, 0, y,
         0, 0, 1, altitude,
         0, 0, 0, 1],
        np.float32,
    )


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
    pts = np.einsum("nij,kj->nki", m[:, :, :3], corners) + m[:, None, :, 3]
    return pts.reshape(-1, 3).min(axis=0), pts.reshape(-1, 3).max(axis=0)


def _merge_bounds(boxes):
    lo = np.min([b[0] for b in boxes], axis=0)
    hi = np.max([b[1] for b in boxes], axis=0)
    return tuple(float(x) for x in lo), tuple(float(x) for x in hi)


def _placement(x, y, z, scale=(1.0, 1.0, 1.0), yaw=0.0):
    """Row-major 3x4: diagonal scale, then a rotation by `yaw` about z, then translation."""
    c, s = math.cos(yaw), math.sin(yaw)
    sx, sy, sz = scale
    return np.array(
        [c * sx, -s * sy, 0.0, x,
         s * sx, c * sy, 0.0, y,
         0.0, 0.0, sz, z],
        np.float32,
    )


def _add(scene, mesh, material_id):
    return scene.add_mesh(mesh["vertices"], mesh["normals"], mesh["indices"], material_id)


def _leaf_weights(front, transmittance):
    """Sampling weights (scalars 0 and 1) of a leaf: its mean reflectance and mean
    transmittance, so that each lobe is sampled in proportion to the light it carries."""
    r, t = float(np.mean(front)), float(np.mean(transmittance))
    return [r, t] if r + t > 0 else [0.5, 0.5]


def lambertian_plane(scene, reflectance_per_band, sun_irradiance_per_band, sun_dir, half=50.0,
                     sensor=(32, 32), sky_radiance_per_band=None, max_tri_edge=100.0):
    """A flat Lambertian square of side 2 * half at z = 0, centred on the origin, under the sun.

    Spectral layout (nb = number of bands = len(reflectance_per_band)):
        [0, nb)       reflectance
        [nb, 2 nb)    sun spectral irradiance
        [2 nb, 3 nb)  constant sky radiance (only when sky_radiance_per_band is given)

    `sensor` = (width, height) sets a nadir orthographic sensor over the central square of side
    `half` (well inside the plane's edges); None leaves the sensor alone.
    Returns a dict: bands, material, mesh, instance, offsets, bounds.
    """
    rho = np.asarray(reflectance_per_band, np.float32).ravel()
    nb = len(rho)
    sun = np.asarray(sun_irradiance_per_band, np.float32).ravel()
    if len(sun) != nb:
        raise ValueError("one sun irradiance per band is needed")
    blocks = [rho, sun]
    offsets = {"reflectance": 0, "sun": nb, "sky": None}
    if sky_radiance_per_band is not None:
        sky = np.asarray(sky_radiance_per_band, np.float32).ravel()
        if len(sky) != nb:
            raise ValueError("one sky radiance per band is needed")
        offsets["sky"] = 2 * nb
        blocks.append(sky)

    scene.set_num_bands(nb)
    scene.upload_spectral_params(np.concatenate(blocks))
    material = scene.add_material(LAMBERTIAN, offsets["reflectance"])
    plane = velm.make_ground_plane(half, half, 0, max_tri_edge)
    mesh = _add(scene, plane, material)
    instance = scene.add_instance(mesh, 0.0, 0.0, 0.0)
    scene.set_emitter(0, np.asarray(sun_dir, np.float32), offsets["sun"])
    if offsets["sky"] is not None:
        scene.set_sky(offsets["sky"])
    if sensor is not None:
        set_nadir_sensor(scene, sensor[0], sensor[1], half, half, altitude=10.0)
    return {
        "bands": nb,
        "material": material,
        "mesh": mesh,
        "instance": instance,
        "offsets": offsets,
        "bounds": ((-float(half), -float(half), 0.0), (float(half), float(half), 0.0)),
    }


def leaf_slab(scene, front_reflectance, back_reflectance, transmittance,
              sun_irradiance_per_band, sun_dir, half=10.0, height=1.0, sensor=(32, 32),
              sky_radiance_per_band=None, ground_reflectance=None):
    """A horizontal square of leaf material (type 13), side 2 * half, at z = height, its front
    (the side its normals point to) facing up. Optionally a Lambertian ground at z = 0 of the
    same size underneath, which sees the light transmitted through the slab.

    Spectral layout (nb = number of bands):
        [0, nb)        leaf front reflectance
        [nb, 2 nb)     leaf back reflectance
        [2 nb, 3 nb)   leaf transmittance
        [3 nb, 4 nb)   sun spectral irradiance
        then, each only when given: constant sky radiance (nb), ground reflectance (nb).

    The leaf's scalars 0 and 1 (reflection / transmission sampling weights) are its mean
    reflectance and mean transmittance. `sensor` = (width, height) sets a nadir orthographic
    sensor over the central square of side `half`; None leaves the sensor alone.
    Returns a dict: bands, materials, meshes, instances, offsets, bounds.
    """
    front = np.asarray(front_reflectance, np.float32).ravel()
    nb = len(front)
    blocks = {
        "front": front,
        "back": np.asarray(back_reflectance, np.float32).ravel(),
        "transmittance": np.asarray(transmittance, np.float32).ravel(),
        "sun": np.asarray(sun_irradiance_per_band, np.float32).ravel(),
    }
    if sky_radiance_per_band is not None:
        blocks["sky"] = np.asarray(sky_radiance_per_band, np.float32).ravel()
    if ground_reflectance is not None:
        blocks["ground"] = np.asarray(ground_reflectance, np.float32).ravel()
    for name, values in blocks.items():
        if len(values) != nb:
            raise ValueError(f"{name}: one value per band is needed")
    offsets = {name: k * nb for k, name in enumerate(blocks)}
    offsets.setdefault("sky", None)
    offsets.setdefault("ground", None)

    scene.set_num_bands(nb)
    scene.upload_spectral_params(np.concatenate(list(blocks.values())))
    materials = {"leaf": scene.add_material(
        LEAF, offsets["front"], _leaf_weights(blocks["front"], blocks["transmittance"]))}
    square = velm.make_ground_plane(half, half, 0, 2.0 * half)
    meshes = {"leaf": _add(scene, square, materials["leaf"])}
    instances = {"leaf": scene.add_instance(meshes["leaf"], 0.0, 0.0, float(height))}
    if offsets["ground"] is not None:
        materials["ground"] = scene.add_material(LAMBERTIAN, offsets["ground"])
        meshes["ground"] = _add(scene, square, materials["ground"])
        instances["ground"] = scene.add_instance(meshes["ground"], 0.0, 0.0, 0.0)
    scene.set_emitter(0, np.asarray(sun_dir, np.float32), offsets["sun"])
    if offsets["sky"] is not None:
        scene.set_sky(offsets["sky"])
    if sensor is not None:
        set_nadir_sensor(scene, sensor[0], sensor[1], half, half, altitude=float(height) + 10.0)
    z0 = 0.0 if offsets["ground"] is not None else float(height)
    return {
        "bands": nb,
        "materials": materials,
        "meshes": meshes,
        "instances": instances,
        "offsets": offsets,
        "bounds": ((-float(half), -float(half), z0), (float(half), float(half), float(height))),
    }


def procedural_forest(scene, n_trees, seed, bands=3, extent=40.0, sun_zenith_deg=30.0,
                      sun_azimuth_deg=135.0, sensor=(128, 128), sky=True,
                      crown_subdivisions=2, trunk_segments=8):
    """A square patch of soil, side `extent` metres, centred on the origin, with `n_trees`
    trees at seeded random positions. A tree is an open cylinder trunk (bark) under an
    icosphere crown (leaf material); trunks and crowns are two meshes instanced once per tree
    with ``add_instances_xform``. Crowns (even their bounding boxes) stay inside the soil patch,
so the scene's bounds in x and y are those of the patch.

    Per tree (uniform draws): trunk height 2 to 6 m, crown radius 1 to 2.5 m, trunk radius
    0.1 x crown radius, crown centre 0.8 crown radii above the trunk top, crown turned by a
    random angle about z.

    Spectral layout (nb = `bands`):
        [0, nb)        soil reflectance                  (material "soil", type 0)
        [nb, 2 nb)     leaf front reflectance            (material "leaf", type 13)
        [2 nb, 3 nb)   leaf back reflectance
        [3 nb, 4 nb)   leaf transmittance
        [4 nb, 5 nb)   bark reflectance                  (material "bark", type 0)
        [5 nb, 6 nb)   sun spectral irradiance
        [6 nb, 7 nb)   constant sky radiance             (only when `sky` is true)
    The values are the three-band reference spectra of this module, resampled to nb bands.

    Sun: `sun_zenith_deg`, `sun_azimuth_deg` (from +x towards +y). `sensor` = (width, height)
    sets an orthographic nadir sensor that covers the whole patch; None leaves it alone.

    Returns a dict: bands, materials, meshes, instances (ground id, first trunk id, first crown
    id), offsets, n_trees, sun_direction, bounds (the world box the scene's build will report).
    """
    nb = int(bands)
    half = 0.5 * float(extent)
    rng = np.random.default_rng(seed)

    spectra = {
        "soil": band_values(SOIL_REFLECTANCE, nb),
        "leaf_front": band_values(LEAF_FRONT_REFLECTANCE, nb),
        "leaf_back": band_values(LEAF_BACK_REFLECTANCE, nb),
        "leaf_transmittance": band_values(LEAF_TRANSMITTANCE, nb),
        "bark": band_values(BARK_REFLECTANCE, nb),
        "sun": band_values(SUN_IRRADIANCE, nb),
    }
    if sky:
        spectra["sky"] = band_values(SKY_RADIANCE, nb)
    offsets = {name: k * nb for k, name in enumerate(spectra)}
    offsets = {
        "soil": offsets["soil"],
        "leaf": offsets["leaf_front"],
        "bark": offsets["bark"],
        "sun": offsets["sun"],
        "sky": offsets.get("sky"),
    }

    scene.set_num_bands(nb)
    scene.upload_spectral_params(np.concatenate(list(spectra.values())))
    materials = {
        "soil": scene.add_material(LAMBERTIAN, offsets["soil"]),
        "leaf": scene.add_material(
            LEAF, offsets["leaf"],
            _leaf_weights(spectra["leaf_front"], spectra["leaf_transmittance"])),
        "bark": scene.add_material(LAMBERTIAN, offsets["bark"]),
    }

    ground = velm.make_ground_plane(half, half, 0, float(extent) / 4.0)
    trunk = velm.make_cylinder(1.0, 1.0, int(trunk_segments))
    crown = velm.make_sphere(1.0, np.zeros(3, np.float32), int(crown_subdivisions))
    meshes = {
        "ground": _add(scene, ground, materials["soil"]),
        "trunk": _add(scene, trunk, materials["bark"]),
        "crown": _add(scene, crown, materials["leaf"]),
    }

    n = int(n_trees)
    trunk_h = rng.uniform(2.0, 6.0, n)
    crown_r = rng.uniform(1.0, 2.5, n)
    # A crown turned about z has a mesh-space box whose corners reach r * sqrt(2) from its axis;
    # keeping that inside the patch makes the scene's bounds those of the soil in x and y.
    margin = 2.5 * math.sqrt(2.0)
    xy = rng.uniform(-half + margin, half - margin, (n, 2))
    yaw = rng.uniform(0.0, 2.0 * math.pi, n)
    trunk_xf = np.array(
        [_placement(x, y, 0.0, (0.1 * r, 0.1 * r, h))
         for (x, y), h, r in zip(xy, trunk_h, crown_r)],
        np.float32,
    ).reshape(n, 12)
    crown_z = trunk_h + 0.8 * crown_r
    crown_xf = np.array(
        [_placement(x, y, z, (r, r, r), a) for (x, y), z, r, a in zip(xy, crown_z, crown_r, yaw)],
        np.float32,
    ).reshape(n, 12)

    instances = {
        "ground": scene.add_instance(meshes["ground"], 0.0, 0.0, 0.0),
        "trunks": scene.add_instances_xform(meshes["trunk"], trunk_xf),
        "crowns": scene.add_instances_xform(meshes["crown"], crown_xf),
    }

    sun = sun_direction(sun_zenith_deg, sun_azimuth_deg)
    scene.set_emitter(0, sun, offsets["sun"])
    if offsets["sky"] is not None:
        scene.set_sky(offsets["sky"])

    boxes = [corner_bounds(ground["vertices"], [_placement(0.0, 0.0, 0.0)])]
    if n:
        boxes.append(corner_bounds(trunk["vertices"], trunk_xf))
        boxes.append(corner_bounds(crown["vertices"], crown_xf))
    bounds = _merge_bounds(boxes)
    if sensor is not None:
        set_nadir_sensor(scene, sensor[0], sensor[1], extent, extent,
                         altitude=bounds[1][2] + 10.0)
    return {
        "bands": nb,
        "materials": materials,
        "meshes": meshes,
        "instances": instances,
        "offsets": offsets,
        "n_trees": n,
        "sun_direction": sun,
        "bounds": bounds,
    }
