"""Microwave images on the CPU (simulate_microwave_cpu, simulate_active_microwave_cpu): closed
forms over bare soil, the Vulkan backend's forest reference, and the checks the OptiX backend makes
before its device (progress: tests/test_cpu_backward.py)."""

import numpy as np
import pytest

import scenes
import velm_gpu as velm
from conftest import seconds_to_stop
from test_optix import (_lut, bare_soil_at_nadir, forest_images_match_the_vulkan_backend, plane,
                        unmapped_surfaces_and_empty_tables_are_transparent)

pytestmark = pytest.mark.skipif(not hasattr(velm, "simulate_microwave_cpu"),
                                reason="needs the CPU backend")
passive = getattr(velm, "simulate_microwave_cpu", None)
active = getattr(velm, "simulate_active_microwave_cpu", None)


def test_bare_soil_at_nadir():
    bare_soil_at_nadir(plane(None, [0.3, 0.0]), passive, active)


def test_unmapped_surfaces_and_empty_tables_are_transparent():
    unmapped_surfaces_and_empty_tables_are_transparent(plane(None, [0.3, 0.0], slab=3.0), passive)


def test_forest_matches_the_vulkan_backend():
    """Soil, vegetation volumes and trunks, passive and active, through the same transport as
    the OptiX programs."""
    forest_images_match_the_vulkan_backend(velm.EmbreeSceneManager(), passive, active)


SOIL = np.array([[0.4, 0.2, 0.25, 0.1, 0, 0, 0, 295.0, 290.0, 1.0]], np.float32)


@pytest.mark.parametrize("kwargs, exc, message", [
    # The module layer's conversions (as on the OptiX Simulator, tests/test_optix.py).
    (dict(mw_soil_params=np.zeros(12)), ValueError,
     "array has incorrect number of dimensions: 1; expected 2"),
    (dict(mw_soil_params=np.zeros((1, 9))), RuntimeError,
     "mw_soil_params must have at least 10 columns"),
    (dict(mw_veg_params=np.zeros((1, 6)), mw_veg_mueller_luts=[_lut((2, 2, 2, 16))]),
     RuntimeError, "mueller_lut must be 5-D (cti,cts,dphi,4,4)"),
    (dict(mw_trunk_params=np.zeros((1, 6))), RuntimeError,
     "mw_trunk_params must have 7 columns (radius, length, moisture, temperature, ax_x, ax_y, "
     "ax_z)"),
    (dict(material_map=np.zeros((2, 2))), ValueError,
     "array has incorrect number of dimensions: 2; expected 1"),
    # The plan's checks, shared with the OptiX launches.
    (dict(frequency=0.0), ValueError,
     "simulate_microwave_cpu: frequency must be a finite positive value in Hz"),
    (dict(n_channels=3), ValueError, "simulate_microwave_cpu: n_channels must be 1, 2 or 4"),
    (dict(spp=0), ValueError, "simulate_microwave_cpu: spp must be at least 1"),
    (dict(max_depth=0), ValueError, "simulate_microwave_cpu: max_depth must be at least 1"),
    (dict(air_temperature=float("nan")), ValueError,
     "simulate_microwave_cpu: air_temperature must be finite and not negative"),
    (dict(atm_tau=-1.0), ValueError, "simulate_microwave_cpu: atm_tau must be finite and not"),
    (dict(mw_soil_params=SOIL, material_map=[1]), ValueError,
     "simulate_microwave_cpu: material_map[0] = 1 is neither -1 nor one of the 1 microwave"),
    (dict(mw_veg_params=np.zeros((1, 6)), mw_veg_mueller_luts=[
        (np.zeros((2, 2, 2, 4, 4)), np.float32([1, 0, 1, 1]), np.ones(8))]), ValueError,
     "simulate_microwave_cpu: microwave material 0 has a cumulative distribution that is "
     "negative or decreases"),
    (dict(unbuilt=True), RuntimeError, "Scene not built. Call scene.build() first."),
])
def test_bad_requests_are_refused_before_any_tracing(kwargs, exc, message):
    s = velm.EmbreeSceneManager() if kwargs.pop("unbuilt", False) else plane(None, [0.3, 0.0])
    with pytest.raises(exc) as e:
        passive(s, **kwargs)
    assert str(e.value).startswith(message)


def test_ctrl_c_stops_a_run_within_a_second():
    s = velm.EmbreeSceneManager()
    scenes.oblique_forest(s, 20, 7, 512, 512)
    s.build()
    req = scenes.microwave_forest_request()
    assert seconds_to_stop(lambda: passive(s, spp=256, **req)) < 1.0
    assert seconds_to_stop(lambda: velm.run_energy_balance_cpu(s, 0, 1 << 16, 800.0)) < 1.0


def trunk_wall_tables(mueller, reciprocal=False):
    """A trunk's mw_trunk_mueller_luts entry: a specular table of five 4 x 4 reflection
    matrices, far from the wood's Fresnel reflectivities (moist wood: H lower, V higher; dry
    wood: both higher), that change with the cosine and mix H, V and T3 asymmetrically (a
    transposed or misread matrix shows; `reciprocal`: H and V symmetrically, as a reciprocal
    wall does, and a T3 row that cancels for unpolarised light), with (`mueller`) or without
    (an empty table: specular reflection) a forward-scattering Mueller table for the reflected
    directions."""
    c = np.linspace(0, 1, 5)
    specular = np.zeros((5, 4, 4))
    specular[:, 0, 0], specular[:, 1, 1] = 0.3 + 0.1 * c, 0.6 + 0.2 * c
    specular[:, 0, 1], specular[:, 1, 0], specular[:, 2, 0] = 0.15, 0.05 + 0.1 * c, 0.1
    if reciprocal:
        specular[:, 1, 0], specular[:, 2, 1] = 0.15, -0.1
    specular[:, 2, 2] = specular[:, 3, 3] = 0.3
    phase = scenes.vegetation_phase(0.8, 0.6, 4, 8, 8) if mueller else (
        np.zeros((0, 1, 1, 4, 4), np.float32), np.zeros((0, 1), np.float32),
        np.zeros((0, 1, 1), np.float32))
    return (*phase, specular.astype(np.float32))


@pytest.mark.vulkan
@pytest.mark.parametrize("mueller, radar", [(False, False), (True, False), (False, True)],
                         ids=["passive", "passive-mueller", "active"])
def test_trunk_specular_tables_match_the_vulkan_wavefront(mueller, radar):
    """Thick trunks whose walls reflect with a specular table (and, with `mueller`, into
    directions drawn from a Mueller table): the CPU image's mean against the mean of as many
    Vulkan wavefront rays spread over the same view, within four standard errors of their
    difference (one ray's spread from the Vulkan rays; the CPU's rays are stratified by pixel,
    so that bounds theirs). Passive: moist wood warmer than the rest, so that what the walls
    reflect shows; active (which draws no reflected directions): dry wood (no absorption), so
    that the radar sees the soil through the trunks with the walls' transmission."""
    import velm as api
    from velm import _backends
    from velm.microwaves import sensor_rays

    scene = api.procedural_forest(n_trees=0, bands=1, extent=20.0, pixels=None)
    scene.add_mesh("thick trunk", api.builders.cylinder(0.8, 7.0, 16), "bark")
    scene.add_mesh("big crown", api.builders.sphere(2.0), "leaf")
    for x, y in ((-5.0, -4.0), (-1.0, 3.0), (3.0, -2.0), (5.0, 5.0), (-6.0, 4.0)):
        scene.add_instance("thick trunk", position=(x, y, 0.0))
    scene.add_instance("big crown", position=(2.0, 5.0, 4.0))
    scene.sensor = api.Orthographic.oblique(55.0, 20.0, extent=(16, 16), pixels=(24, 24),
                                            distance=60.0)
    cpu, _ = _backends.native_scene(scene, "cpu")
    vk, _ = _backends.native_scene(scene, "vulkan")
    soil = np.float32([scenes.MOIST_SOIL])
    trunk = np.float32([[0.8, 7.0, 0.0, 293.0, 0, 0, 1] if radar else
                        [0.8, 7.0, 0.5, 330.0, 0, 0, 1]])
    luts = [trunk_wall_tables(mueller)]
    veg = (290.0, 0.3, scenes.vegetation_phase(0.5, 0.3))
    req = dict(mw_soil_params=soil, mw_veg_params=np.float32([[290.0, 0.3, 0, 0, 0, 0]]),
               mw_trunk_params=trunk, material_map=np.int32([0, 1, 2]),
               mw_veg_mueller_luts=[veg[2]], mw_trunk_mueller_luts=luts)
    tables = scenes.microwave_tables(1.4e9, soil, [veg], trunk, 256, trunk_luts=luts)
    spp, n = 64, 24 * 24 * 64
    rng = np.random.default_rng(11)
    o, d = sensor_rays(scene.sensor, 24 * rng.random(n), 24 * rng.random(n))
    pad = np.zeros((n, 1))
    if radar:
        image = active(cpu, 1.4e9, 4, spp, 1, 285.0, 0.01, **req)
    else:
        image = passive(cpu, 1.4e9, 4, spp, 6, 285.0, True, 0.01, **req)
    v = np.asarray(vk.run_microwave_wavefront(
        radar, 1 if radar else 6, 285.0, 0.01, material_map=np.int32([0, 1, 2]),
        origins=np.c_[o, pad].astype(np.float32),
        directions=np.c_[d, pad].astype(np.float32), **tables), np.float64)
    mean = v.mean(axis=0)
    sigma = v.std(axis=0, ddof=1) * np.sqrt(2.0 / n)
    np.testing.assert_array_less(np.abs(image.mean(axis=(0, 1), dtype=np.float64) - mean),
                                 4 * sigma + 1e-6 * np.abs(mean) + 1e-12)


def closed_box():
    """A closed box of soil, 20 x 20 x 12 m (ground, and walls and lid of a second soil), with
    two trunks under crowns inside: every path ends on something of the scene. An oblique
    orthographic sensor inside the box, 96 x 96 pixels. Materials soil, walls, bark, leaf."""
    import velm as api

    b = api.builders
    s = api.Scene(bands=[660.0])
    for name in ("soil", "walls", "bark"):
        s.add_material(name, api.Lambertian(0.2))
    s.add_material("leaf", api.Leaf(0.1, 0.1, 0.1))
    s.add_mesh("ground", b.ground_plane(10.0, 10.0), "soil")
    s.add_mesh("lid", b.ground_plane(10.0, 10.0), "walls")
    s.add_mesh("x wall", b.ground_plane(6.0, 10.0), "walls")
    s.add_mesh("y wall", b.ground_plane(10.0, 6.0), "walls")
    s.add_mesh("trunk", b.cylinder(0.3, 5.0, 12), "bark")
    s.add_mesh("crown", b.sphere(1.8), "leaf")
    s.add_instance("ground")
    s.add_instance("lid", position=(0.0, 0.0, 12.0))
    for side in (-10.0, 10.0):  # quarter turns about y and x (soil reflects on either face)
        s.add_instance("x wall", [[0, 0, 1, side], [0, 1, 0, 0], [-1, 0, 0, 6]])
        s.add_instance("y wall", [[1, 0, 0, 0], [0, 0, 1, side], [0, -1, 0, 6]])
    for x, y in ((-2.0, -2.0), (2.5, 1.5)):
        s.add_instance("trunk", position=(x, y, 0.0))
        s.add_instance("crown", position=(x, y, 6.5))
    s.sensor = api.Orthographic.oblique(40.0, 30.0, extent=(6, 6), pixels=(96, 96), distance=8.0)
    return s


@pytest.mark.parametrize("walls", ["fresnel", "specular", "mueller"])
@pytest.mark.parametrize("backend", ["cpu", pytest.param("vulkan", marks=pytest.mark.vulkan)])
def test_isothermal_box_is_in_equilibrium(backend, walls):
    """Kirchhoff: soils, vegetation, wood and air all at T, nothing seen beyond the scene:
    every pixel must see T_H = T_V = T (and T3 = T4 = 0), within Monte Carlo error, in blocks of
    32 x 32 pixels and over the whole image (one ray per pixel; the rays' spread gives the
    error). The trunk walls reflect with the wood's Fresnel R_p, with a specular table that mixes
    H and V (symmetrically, as a reciprocal wall does; its T3 row cancels for unpolarised light),
    or with that table into directions drawn from a Mueller table."""
    from velm import _backends
    from velm.microwaves import sensor_rays

    t = 300.0
    scene = closed_box()
    luts = [None if walls == "fresnel" else trunk_wall_tables(walls == "mueller", reciprocal=True)]
    soils = np.float32([[0.3, 0.2, 0.3, 0.2, 0, 0, 0.1, t, t, 1, 0.01, 0],
                        [0.6, 0.1, 0.1, 0.5, 1, 2, 0.3, t, t, 1, 0.02, 0]])
    trunk = np.float32([[0.3, 5.0, 0.5, t, 0, 0, 1]])
    veg = (t, 0.2, scenes.vegetation_phase(1.0, 0.5))
    material_map = np.int32([0, 1, 3, 2])  # soil, walls, bark, leaf
    soils_and_trunks = dict(mw_soil_params=soils, mw_veg_params=np.float32([[t, 0.2, 0, 0, 0, 0]]),
                            mw_trunk_params=trunk, material_map=material_map,
                            mw_veg_mueller_luts=[veg[2]], mw_trunk_mueller_luts=luts)
    native, _ = _backends.native_scene(scene, backend)
    w, h = scene.sensor.width, scene.sensor.height
    if backend == "cpu":
        v = passive(native, 1.4e9, 4, 1, 100, t, True, 0.01, **soils_and_trunks)
    else:
        tables = scenes.microwave_tables(1.4e9, soils, [veg], trunk, 256,
                                         trunk_luts=[x for x in luts if x is not None])
        iy, ix = np.divmod(np.arange(w * h), w)
        jitter = np.random.default_rng(5).random((2, w * h))
        o, d = sensor_rays(scene.sensor, ix + jitter[0], iy + jitter[1])
        pad = np.zeros((w * h, 1))
        v = native.run_microwave_wavefront(
            False, 100, t, 0.01, material_map=material_map,
            origins=np.c_[o, pad].astype(np.float32), directions=np.c_[d, pad].astype(np.float32),
            **tables).reshape(h, w, 4)
    v = np.asarray(v, np.float64) - [t, t, 0, 0]
    blocks = v.reshape(h // 32, 32, w // 32, 32, 4).transpose(0, 2, 1, 3, 4).reshape(-1, 1024, 4)
    for rays, k in ((blocks, 5), (v.reshape(1, -1, 4), 4)):
        error = rays.std(axis=1, ddof=1) / np.sqrt(rays.shape[1])
        np.testing.assert_array_less(np.abs(rays.mean(axis=1)), k * error + 1e-5 * t)
