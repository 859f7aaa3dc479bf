"""Canonical scenes shared by the tests, the benchmarks and the examples.

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
    return np.array([1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, altitude, 0, 0, 0, 1], np.float32)


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


def _placement(x, y, z, scale=(1.0, 1.0, 1.0), yaw=0.0):
    """Row-major 3x4: diagonal scale, then a rotation by `yaw` about z, then translation."""
    c, s = math.cos(yaw), math.sin(yaw)
    sx, sy, sz = scale
    return np.array([c * sx, -s * sy, 0, x, s * sx, c * sy, 0, y, 0, 0, sz, z], np.float32)


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
    nb, n, half = int(bands), int(n_trees), 0.5 * float(extent)
    rng = np.random.default_rng(seed)
    front = band_values(LEAF_FRONT_REFLECTANCE, nb)
    transmittance = band_values(LEAF_TRANSMITTANCE, nb)
    _, blocks = _spectra(scene, {
        "soil": band_values(SOIL_REFLECTANCE, nb), "leaf": front,
        "leaf_back": band_values(LEAF_BACK_REFLECTANCE, nb), "leaf_transmittance": transmittance,
        "bark": band_values(BARK_REFLECTANCE, nb), "sun": band_values(SUN_IRRADIANCE, nb),
        "sky": band_values(SKY_RADIANCE, nb) if sky else None})
    offsets = {k: blocks[k] for k in ("soil", "leaf", "bark", "sun", "sky")}
    materials = {
        "soil": scene.add_material(LAMBERTIAN, offsets["soil"]),
        "leaf": _leaf_material(scene, offsets["leaf"], front, transmittance),
        "bark": scene.add_material(LAMBERTIAN, offsets["bark"]),
    }
    ground = velm.make_ground_plane(half, half, 0,
                                    float(extent) / 4.0 if ground_edge is None else ground_edge)
    trunk = velm.make_cylinder(1.0, 1.0, int(trunk_segments))
    crown = velm.make_sphere(1.0, np.zeros(3, np.float32), int(crown_subdivisions))
    meshes = {"ground": _add(scene, ground, materials["soil"]),
              "trunk": _add(scene, trunk, materials["bark"]),
              "crown": _add(scene, crown, materials["leaf"])}

    trunk_h, crown_r = rng.uniform(2.0, 6.0, n), rng.uniform(1.0, 2.5, n)
    # A crown turned about z has a mesh-space box whose corners reach r * sqrt(2) from its axis;
    # keeping that inside the patch makes the scene's bounds those of the soil in x and y.
    margin = 2.5 * math.sqrt(2.0)
    xy = rng.uniform(-half + margin, half - margin, (n, 2))
    yaw = rng.uniform(0.0, 2.0 * math.pi, n)
    trunk_xf = np.array([_placement(x, y, 0.0, (0.1 * r, 0.1 * r, h))
                         for (x, y), h, r in zip(xy, trunk_h, crown_r)], np.float32).reshape(n, 12)
    crown_xf = np.array([_placement(x, y, h + 0.8 * r, (r, r, r), a)
                         for (x, y), h, r, a in zip(xy, trunk_h, crown_r, yaw)],
                        np.float32).reshape(n, 12)
    instances = {"ground": scene.add_instance(meshes["ground"], 0.0, 0.0, 0.0),
                 "trunks": scene.add_instances_xform(meshes["trunk"], trunk_xf),
                 "crowns": scene.add_instances_xform(meshes["crown"], crown_xf)}
    sun = sun_direction(sun_zenith_deg, sun_azimuth_deg)
    _light(scene, sun, offsets)

    boxes = [corner_bounds(ground["vertices"], [_placement(0.0, 0.0, 0.0)])]
    if n:
        boxes += [corner_bounds(trunk["vertices"], trunk_xf),
                  corner_bounds(crown["vertices"], crown_xf)]
    bounds = tuple(tuple(float(x) for x in f([b[k] for b in boxes], axis=0))
                   for k, f in ((0, np.min), (1, np.max)))
    if sensor is not None:
        set_nadir_sensor(scene, sensor[0], sensor[1], extent, extent, altitude=bounds[1][2] + 10.0)
    # Per primitive, in the global order of the GPU backends (instances in order, each one's
    # triangles in order): material id and world area.
    placed = [(ground, [_placement(0.0, 0.0, 0.0)], materials["soil"]),
              (trunk, trunk_xf, materials["bark"]), (crown, crown_xf, materials["leaf"])]
    mats, areas = [], []
    for mesh, xfs, material in placed:
        v, tri = np.asarray(mesh["vertices"], np.float64), np.asarray(mesh["indices"])
        for xf in np.asarray(xfs, np.float64).reshape(-1, 3, 4):
            w = v @ xf[:, :3].T + xf[:, 3]
            a, b, c = w[tri[:, 0]], w[tri[:, 1]], w[tri[:, 2]]
            areas.append(0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1))
            mats.append(np.full(len(tri), material))
    return {"bands": nb, "materials": materials, "meshes": meshes, "instances": instances,
            "offsets": offsets, "n_trees": n, "sun_direction": sun, "bounds": bounds,
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

# ---- microwave tables ---------------------------------------------------------------------------
#
# run_microwave_wavefront takes its physics as tables. Microwave materials are numbered soils
# first, then vegetation, then trunks; `material_map` sends each optical material id to one of
# them (-1: none). Soil parameter vectors have the 12 values of _evaluate_microwave_soil (sand,
# clay, moisture, h, N_V, N_H, Q, surface and deep temperature (K), dielectric model, rms height
# (m), unused); trunk vectors the 7 of _evaluate_microwave_trunk (radius, length (m), moisture,
# temperature (K), axis x, y, z).

DIHEDRAL_COSINES, DIHEDRAL_AZIMUTHS = 257, 256
MOIST_SOIL = (0.3, 0.2, 0.3, 0.2, 0.0, 0.0, 0.1, 295.0, 290.0, 1.0, 0.01, 0.0)
FOREST_TRUNK = (0.2, 4.0, 0.5, 293.0, 0.0, 0.0, 1.0)


def wood_absorption(frequency, moisture, temperature):
    """Power absorption coefficient (m^-1) of wood, 2 k0 |Im sqrt(eps)|, with eps from the
    module's vegetation dielectric model (which _evaluate_microwave_trunk uses but does not
    return)."""
    w = 2 * math.pi * frequency
    vb, vf = min(0.5 * moisture, 0.12), max(0.5 * moisture - 0.12, 0.0)
    t = temperature - 273.15
    yf = (1.1109e-10 - 3.824e-12 * t + 6.938e-14 * t**2 - 5.096e-16 * t**3) * w
    dw = 88.045 - 0.4147 * t + 0.0006295 * t**2 + 1.075e-5 * t**3 - 4.9
    yb = w * 4e-11
    re = 1.5 + vb * (4.9 + 52.8 / (1 + yb**2) - 1.5) + vf * (4.9 + dw / (1 + yf**2) - 1)
    im = vf * dw * yf / (1 + yf**2) + vb * 52.8 * yb / (1 + yb**2)
    return 2 * w / 2.998e8 * abs(np.sqrt(complex(re, -im)).imag)


def vegetation_phase(scattering_coefficient, asymmetry=0.0, n_cti=8, n_cts=16, n_dphi=16):
    """(mueller, cosine_cdf, azimuth_cdf) of a vegetation volume that scatters
    `scattering_coefficient` per metre into a Henyey-Greenstein pattern of the given asymmetry
    and depolarises (each of H and V receives half of the scattered power).

    The tables are per cell of incidence cosine, scattering cosine and azimuth difference: even
    bins over [-1, 1] (n_cti, n_cts) and [0, 2 pi) (n_dphi), each holding the phase matrix at its
    centre. mueller[a, j, k] is the 4 x 4 phase matrix (m^-1 sr^-1) acting on [T_H, T_V, T_3,
    T_4]; with p = (M_HH + M_HV + M_VH + M_VV) / 2, cosine_cdf[a, j] is the scattering coefficient
    into scattering-cosine bins 0 to j (its last value the whole, `scattering_coefficient`) and
    azimuth_cdf[a, j, k] integrates p over azimuth bins 0 to k."""
    mu_i = -1 + (np.arange(n_cti) + 0.5) * 2 / n_cti
    mu_s = -1 + (np.arange(n_cts) + 0.5) * 2 / n_cts
    phi = (np.arange(n_dphi) + 0.5) * 2 * math.pi / n_dphi
    cos_scatter = (mu_i[:, None, None] * mu_s[None, :, None] + np.sqrt(1 - mu_i**2)[:, None, None]
                   * np.sqrt(1 - mu_s**2)[None, :, None] * np.cos(phi)[None, None, :])
    g = float(asymmetry)
    p = (1 - g * g) / (4 * math.pi * (1 + g * g - 2 * g * cos_scatter) ** 1.5)
    d_mu, d_phi = 2 / n_cts, 2 * math.pi / n_dphi
    p *= (scattering_coefficient / (p.sum(axis=(1, 2)) * d_mu * d_phi))[:, None, None]
    azimuth = np.cumsum(p * d_phi, axis=2)
    cosine = np.cumsum(azimuth[:, :, -1] * d_mu, axis=1)
    mueller = np.zeros(p.shape + (4, 4))
    mueller[..., :2, :2] = 0.5 * p[..., None, None]
    return (mueller.astype(np.float32), cosine.astype(np.float32), azimuth.astype(np.float32))


def dihedral_directions():
    """The trunk-ground table's geometry: towards a radar at cosine i / 256 and azimuth 2 pi j /
    256 (row i * 256 + j), the wave arriving at the trunk travels along -r and leaves it for the
    ground along r mirrored in the flat ground (normal +z). Returns (to_trunk, to_ground,
    normals), each (257 * 256, 3)."""
    mu = np.repeat(np.linspace(0, 1, DIHEDRAL_COSINES), DIHEDRAL_AZIMUTHS)
    phi = np.tile(2 * math.pi * np.arange(DIHEDRAL_AZIMUTHS) / DIHEDRAL_AZIMUTHS, DIHEDRAL_COSINES)
    s = np.sqrt(1 - mu**2)
    r = np.c_[s * np.cos(phi), s * np.sin(phi), mu]
    return (-r).astype(np.float32), (r * [1, 1, -1]).astype(np.float32), \
        np.tile(np.float32([0, 0, 1]), (len(r), 1))


def microwave_tables(frequency, soils, vegetation=(), trunks=(), response_table_size=65):
    """The table arguments of run_microwave_wavefront (a dict: soil_count, vegetation_count,
    trunk_count, response_table_size and every table) for the given materials at `frequency`
    (Hz), the module's own models evaluated on an even grid of response_table_size incidence
    cosines from 0 to 1:

    - passive_soil_table, active_soil_table: _evaluate_microwave_soil, passive and active;
    - smooth_soil_table: _evaluate_microwave_soil_reflectivity; dihedral_ground_table: the same
      with the empirical dielectric model allowed, as the trunk-ground model sees the soil;
    - trunk_response_table: _evaluate_microwave_trunk; trunk_dihedral_scattering:
      _evaluate_microwave_trunk_ground over dihedral_directions(), each trunk on the first soil;
    - trunk_parameters: the trunk vector, then the wood's absorption coefficient;
    - vegetation_parameters: temperature (K), absorption coefficient (m^-1), six zeros.

    `vegetation` holds (temperature, absorption coefficient, phase) per entry, phase as
    vegetation_phase() returns it or None for none; lut_info numbers the vegetation tables first,
    then the trunks' (which have none here: they reflect specularly)."""
    r = int(response_table_size)
    mu = np.linspace(0, 1, r).astype(np.float32)
    soils = [np.asarray(s, np.float32) for s in soils]
    trunks = [np.asarray(t, np.float32) for t in trunks]

    def table(fn, rows, columns):
        return np.array([fn(x) for x in rows], np.float32).reshape(len(rows), r, columns)

    out = {"soil_count": len(soils), "vegetation_count": len(vegetation),
           "trunk_count": len(trunks), "response_table_size": r,
           "passive_soil_table": table(lambda s: velm._evaluate_microwave_soil(
               frequency, s, mu), soils, 4),
           "active_soil_table": table(lambda s: velm._evaluate_microwave_soil(
               frequency, s, mu, True), soils, 4),
           "smooth_soil_table": table(lambda s: velm._evaluate_microwave_soil_reflectivity(
               frequency, s, mu), soils, 2),
           "dihedral_ground_table": table(lambda s: velm._evaluate_microwave_soil_reflectivity(
               frequency, s, mu, True), soils, 2),
           "trunk_response_table": table(lambda t: velm._evaluate_microwave_trunk(
               frequency, t, mu), trunks, 4)}
    geometry = dihedral_directions()
    out["trunk_dihedral_scattering"] = np.array(
        [velm._evaluate_microwave_trunk_ground(frequency, soils[0], t, *geometry)
         for t in trunks], np.float32).reshape(len(trunks), 2 * len(geometry[0]))
    out["trunk_parameters"] = np.array(
        [np.r_[t[:7], wood_absorption(frequency, t[2], t[3])] for t in trunks],
        np.float32).reshape(len(trunks), 8)
    params, info, tables = [], [], [[], [], []]
    sizes = [0, 0, 0]
    for temperature, absorption, phase in vegetation:
        params.append([temperature, absorption, 0, 0, 0, 0, 0, 0])
        if phase is None:
            info.append([0] * 8)
            continue
        mueller, cosine_cdf, azimuth_cdf = phase
        info.append(sizes + list(mueller.shape[:3]) + [0, 0])
        for k, t in enumerate((mueller, cosine_cdf, azimuth_cdf)):
            tables[k].append(t.ravel())
            sizes[k] += t.size
    info += [[0] * 8] * len(trunks)
    out["vegetation_parameters"] = np.array(params, np.float32).reshape(len(vegetation), 8)
    out["lut_info"] = np.array(info, np.uint32).reshape(len(info), 8)
    for k, name in enumerate(("mueller_lut", "cosine_cdf", "azimuth_cdf")):
        out[name] = np.concatenate(tables[k]).astype(np.float32) if tables[k] else \
            np.zeros(0, np.float32)
    return out


def microwave_forest_tables(frequency, soil=MOIST_SOIL, trunk=FOREST_TRUNK,
                            crown_scattering=0.5, crown_absorption=0.3, crown_temperature=293.0,
                            response_table_size=65):
    """Tables and material_map for procedural_forest: soil (material "soil") is soil 0, the
    crowns (material "leaf") a volume of forward-scattering vegetation, the trunks (material
    "bark") trunk 0."""
    tables = microwave_tables(
        frequency, [soil],
        [(crown_temperature, crown_absorption, vegetation_phase(crown_scattering, 0.3))],
        [trunk], response_table_size)
    tables["material_map"] = np.array([0, 1, 2], np.int32)  # soil, leaf, bark ids
    return tables


def microwave_forest_request(crown_scattering=0.5, crown_absorption=0.3, crown_temperature=293.0):
    """The materials of microwave_forest_tables as the OptiX Simulator's microwave calls take
    them (keyword arguments): the same soil, crowns and trunks, which the Simulator evaluates with
    the module's models itself."""
    return {"mw_soil_params": np.array([MOIST_SOIL], np.float32),
            "mw_veg_params": np.array([[crown_temperature, crown_absorption, 0, 0, 0, 0]],
                                      np.float32),
            "mw_trunk_params": np.array([FOREST_TRUNK], np.float32),
            "material_map": np.array([0, 1, 2], np.int32),
            "mw_veg_mueller_luts": [vegetation_phase(crown_scattering, 0.3)]}


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
