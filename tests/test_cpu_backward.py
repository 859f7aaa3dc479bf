"""Backward images checked against closed-form radiances: on the CPU, and on both backends where
they share the check; and what every CPU simulation's driver shares: progress calls, a progress
callable that raises, and the VELM_MAX_DEPTH override."""

import math

import numpy as np
import pytest

import scenes
import velm_gpu as velm
from conftest import BACKENDS, image, new_scene
from test_cpu_forward import plane as tile
from test_optix import plane as facet

NADIR_CAM = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 20, 0, 0, 0, 1], np.float32)
INV_PI = 1 / math.pi
SUN = scenes.sun_direction(30.0, 40.0)
COS_SUN = math.cos(math.radians(30.0))


def plane_scene(params, material=(0, 0), scalars=(), bands=2, half=10.0, sun=(0.0, 0.0, 1.0),
                sun_offset=0, sky=None, sensor=(0, 16, 16, 8.0, 8.0, NADIR_CAM)):
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(half, half)
    s.add_mesh(g["vertices"], g["normals"], g["indices"])
    s.add_instance(0)
    s.set_num_bands(bands)
    s.upload_spectral_params(np.asarray(params, np.float32))
    s.add_material(material[0], material[1], list(scalars))
    s.set_emitter(0, np.asarray(sun, np.float32), sun_offset)
    if sky is not None:
        s.set_sky(sky)
    s.set_sensor(*sensor)
    s.build()
    return s


def sun_dir(zenith_deg, azimuth_deg=0.0):
    t, p = math.radians(zenith_deg), math.radians(azimuth_deg)
    return (math.sin(t) * math.cos(p), math.sin(t) * math.sin(p), math.cos(t))


def planck(temperature, wavelength_nm):
    """Blackbody radiance, W m^-2 sr^-1 nm^-1 (CODATA 2018 constants), in double precision."""
    lam = wavelength_nm * 1e-9
    x = 0.014387768775039337 / (temperature * lam)
    return 1.1910429723971884e-16 / (math.expm1(x) * lam**5) * 1e-9


def fluorescence(only):
    def setup(scene):
        scene.set_primitive_sif_spectra(np.repeat([1.5, 2.5], scene.n_primitives()), 2)
        scene.set_sif_only_mode(only)
    return setup


def at_300_kelvin(scene):  # the material's spectrum is then its emissivity
    scene.set_thermal_mode(True, [8000.0, 11000.0])
    scene.set_primitive_temperatures(np.full(scene.n_primitives(), 300.0, np.float32))


RHO = np.array([0.2, 0.5])
SUNLIT = RHO * 800.0 * COS_SUN / math.pi
PLANE_CASES = [  # (sun, sky, setup, expected); fluorescence and primitive temperatures: Vulkan
    ("sun", 800.0, None, None, SUNLIT, BACKENDS),
    ("sky", 0.0, [10.0, 40.0], None, RHO * [10.0, 40.0], BACKENDS),
    ("sun and sky", 800.0, [10.0, 40.0], None, SUNLIT + RHO * [10.0, 40.0], BACKENDS),
    ("SIF only", 800.0, None, fluorescence(True), [1.5, 2.5], BACKENDS[1:]),
    ("sun and SIF", 800.0, None, fluorescence(False), SUNLIT + [1.5, 2.5], BACKENDS[1:]),
    ("thermal", 0.0, None, at_300_kelvin, RHO * [planck(300.0, 8000.0), planck(300.0, 11000.0)],
     BACKENDS[1:]),
]


@pytest.mark.parametrize("backend, sun, sky, setup, expected", [
    pytest.param(b.values[0], *case[1:5], marks=b.marks, id=f"{b.values[0]}-{case[0]}")
    for case in PLANE_CASES for b in case[5]])
def test_plane_under_sun_sky_fluorescence_and_thermal_emission(backend, sun, sky, setup,
                                                                 expected, request):
    # Two bounces at most, before roulette: reflected sun and sky light are exact in every
    # pixel, SIF-only images hold the emission alone, and the warm plane emits eps B(T).
    s = new_scene(backend, request)
    scenes.lambertian_plane(s, RHO, [sun, sun], SUN, sensor=(6, 6), sky_radiance_per_band=sky)
    s.build()
    if setup is not None:
        setup(s)
    img = image(s, backend, spp=4, max_depth=2)
    assert img.shape == (6, 6, 2) and img.dtype == np.float32
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=1e-5)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("zenith, rtol", [(0.0, 4e-3), (30.0, 0.01)])
def test_the_sun_disk_seen_directly_carries_the_irradiance(backend, zenith, rtol, request):
    # A 1.5-degree perspective view centred on the sun: the pixels inside the disk see its
    # radiance E / 6.794e-5 sr, the sky around it stays 0, and the radiance times each pixel's
    # solid angle, summed over the image, is E (off the axes, single-precision directions move
    # the disk's edge by a few tenths of a percent of its area).
    sun = scenes.sun_direction(zenith, 40.0)
    s = new_scene(backend, request)
    scenes.lambertian_plane(s, [0.3], [800.0], sun, half=1.0, sensor=None)
    s.build()
    z = -sun.astype(np.float64)  # the camera looks along its -z axis
    x = np.cross([0.0, 1.0, 0.0] if zenith == 0 else [0.0, 0.0, 1.0], z)
    x /= np.linalg.norm(x)
    cam = np.eye(4)
    cam[:3, 0], cam[:3, 1], cam[:3, 2], cam[:3, 3] = x, np.cross(z, x), z, 1000 * sun
    fov, n = 1.5, 64
    s.set_sensor(scenes.PERSPECTIVE, n, n, 0, 0, cam.ravel().astype(np.float32), fov)
    img = np.asarray(image(s, backend, spp=64, max_depth=1))[..., 0].astype(np.float64)
    pitch = 2 * math.tan(math.radians(fov) / 2) / n  # pixel size on the image plane at depth 1
    c = (np.arange(n) + 0.5) * pitch - n * pitch / 2
    solid_angle = pitch**2 / (1 + c[:, None] ** 2 + c[None, :] ** 2) ** 1.5
    assert (img * solid_angle).sum() == pytest.approx(800.0, rel=rtol)
    assert img.max() == pytest.approx(800.0 / 6.794e-5, rel=1e-5)
    assert img[0, 0] == 0


def test_rpv_with_neutral_shape_matches_lambertian():
    lam = plane_scene([0.25, 0.25, 800, 800], sun=sun_dir(40), sun_offset=2)
    # RPV block: rho0, k, Theta, rho_c for each of two bands, then the sun.
    rpv = plane_scene([0.25, 0.25, 1, 1, 0, 0, 1, 1, 800, 800], material=(1, 0),
                      sun=sun_dir(40), sun_offset=8)
    np.testing.assert_allclose(velm.simulate_cpu(rpv, spp=4), velm.simulate_cpu(lam, spp=4),
                               rtol=1e-5)


@pytest.mark.parametrize("material, kw", [((0, 0), dict(max_depth=0)), ((7, 0), {})],
                         ids=["depth 0", "unknown type"])
def test_no_depth_and_unknown_material_types_give_black_images(material, kw):
    # max_depth 0 traces nothing; a material type the CPU does not know is a black absorber.
    s = plane_scene([0.3, 0.6, 1000, 400], material=material, sun_offset=2)
    assert not velm.simulate_cpu(s, spp=1, **kw).any()


@pytest.mark.parametrize("sun_z, looking_up, value", [
    (1.0, False, 0.4), (-1.0, True, 0.2), (-1.0, False, 0.3), (1.0, True, 0.3)],
    ids=["front reflection", "back reflection", "transmission down", "transmission up"])
def test_leaf_slab(sun_z, looking_up, value):
    """A single horizontal leaf: reflects by its front (0.4) or back (0.2) spectrum, transmits
    0.3 either way."""
    cam = NADIR_CAM
    if looking_up:  # the camera's z axis points down, so -z looks up
        cam = np.array([1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, -20, 0, 0, 0, 1], np.float32)
    s = plane_scene([0.4, 0.2, 0.3, 1000.0], material=(13, 0), scalars=[0.5, 0.5], bands=1,
                    sun=(0.0, 0.0, sun_z), sun_offset=3, sensor=(0, 8, 8, 4.0, 4.0, cam))
    assert float(velm.simulate_cpu(s, spp=2).mean()) == pytest.approx(value * 1000 * INV_PI,
                                                                       rel=1e-5)


def test_sunlit_and_shaded_temperatures():
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(10, 10)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=0)
    roof = velm.make_ground_plane(10, 2.5)
    s.add_mesh(roof["vertices"], roof["normals"], roof["indices"], material_id=1)
    s.add_instance(0)
    s.add_instance(1, 0, -5, 5)  # a strip over y in [-7.5, -2.5]: casts a shadow below
    s.set_num_bands(1)
    s.upload_spectral_params(np.array([1.0, 0.0], np.float32))
    s.add_material(0, 0, [0, 0, 0, 310.0, 290.0])  # ground: sunlit 310 K, shaded 290 K
    s.add_material(0, 1, [0, 0, 0.0])               # roof: emissivity 0, emits nothing
    s.set_emitter(0, np.array([0, 0, 1], np.float32), 0)
    s.set_thermal_mode(True, [10000.0])
    # Orthographic camera below the roof, looking down at the ground only.
    cam = NADIR_CAM.copy()
    cam[11] = 1.0
    s.set_sensor(0, 20, 20, 20.0, 20.0, cam)
    s.build()
    img = velm.simulate_cpu(s, spp=1, max_depth=1)[:, :, 0]
    shaded = img[3:7, :].mean()   # image rows for y in about [-7, -3]
    sunlit = img[12:18, :].mean()
    assert sunlit == pytest.approx(planck(310.0, 10000.0), rel=1e-4)
    assert shaded == pytest.approx(planck(290.0, 10000.0), rel=1e-4)


def test_fisheye_corners_stay_black():
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 5, 0, 0, 0, 1], np.float32)
    s = plane_scene([0.3, 0.3, 1000, 1000, 5, 5], sun_offset=2, sky=4,
                    sensor=(4, 32, 32, 0, 0, cam, 180.0, 0))
    img = velm.simulate_cpu(s, spp=1)
    assert not img[0, 0].any() and not img[-1, -1].any()
    assert img[16, 16].min() > 0


def test_unset_sensor_gives_empty_image():
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane()
    s.add_mesh(g["vertices"], g["normals"], g["indices"])
    s.add_instance(0)
    s.upload_spectral_params([0.5, 1.0])
    s.add_material(0, 0)
    s.build()
    assert velm.simulate_cpu(s, spp=1).shape == (0, 0, 1)


def balls_on_tiles(tiled):
    """Soil under a ball on the tile [0, 10]^2: repeated by the scene, or placed 5 x 5 times."""
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(5, 5)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=0)
    ball = velm.make_sphere(2.0, [0, 0, 0], 2)
    s.add_mesh(ball["vertices"], ball["normals"], ball["indices"], material_id=1)
    offsets = [(i, j) for i in range(-2, 3) for j in range(-2, 3)] if tiled else [(0, 0)]
    for i, j in offsets:
        s.add_instance(0, 5 + 10 * i, 5 + 10 * j, 0)
        s.add_instance(1, 3 + 10 * i, 5 + 10 * j, 2.5)
    s.set_num_bands(1)
    s.upload_spectral_params(np.array([0.2, 0.5, 1000.0, 30.0], np.float32))
    s.add_material(0, 0)
    s.add_material(0, 1)
    s.set_emitter(0, np.asarray(sun_dir(50, 20), np.float32), 2)
    s.set_sky(3)
    cam = np.array([1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 30, 0, 0, 0, 1], np.float32)
    s.set_sensor(0, 12, 12, 10.0, 10.0, cam)
    if not tiled:
        s.set_repetitive(2, 10.0, 10.0)
    s.build()
    return s


def test_repetition_matches_explicit_tiles():
    rep = velm.simulate_cpu(balls_on_tiles(tiled=False), spp=48)
    tiled = velm.simulate_cpu(balls_on_tiles(tiled=True), spp=48)
    # Same light field in expectation; compare pixel blocks and the mean.
    assert rep.mean() == pytest.approx(tiled.mean(), rel=0.02)
    blocks = lambda im: im.reshape(4, 3, 4, 3).mean(axis=(1, 3))  # noqa: E731
    np.testing.assert_allclose(blocks(rep), blocks(tiled), rtol=0.1, atol=2.0)


def microwave_view():
    s = velm.EmbreeSceneManager()
    scenes.oblique_forest(s, 6, 7, 12, 40)
    s.build()
    return s


def lit_plane():
    return plane_scene([0.3, 0.6, 1000, 400], sun_offset=2)


# (simulation, scene, run(scene, **kw), (done, total) of every progress call on one worker:
# images per pass, photons per batch of a million, energy balance and microwave images once their
# primitives and pixels are done)
RUNS = [
    ("image", lit_plane, lambda s, **k: velm.simulate_cpu(s, spp=5, **k),
     [(i, 5) for i in range(1, 6)]),
    ("flux", tile, lambda s, **k: velm.simulate_flux_cpu(s, 1, 1, 2_500_000, 1, max_depth=1, **k),
     [(1_000_000, 2_500_000), (2_000_000, 2_500_000), (2_500_000, 2_500_000)]),
    ("radiation", tile, lambda s, **k: velm.simulate_forward_cpu(
        s, layer_heights=[0, 1], num_photons=10, **k), [(10, 10)]),
    ("energy balance", lambda: facet(None, [0.3, 0.0]),
     lambda s, **k: velm.run_energy_balance_cpu(s, 0, 4, 800.0, 30.0, 0.0, *sun_dir(30), True,
                                                **k), [(2, 2)]),
    ("microwave", microwave_view, lambda s, **k: velm.simulate_microwave_cpu(
        s, 1.4e9, 4, 4, 6, 285.0, True, 0.01, **scenes.microwave_forest_request(), **k),
     [(480, 480)]),
]


@pytest.mark.parametrize("make, run, calls", [r[1:] for r in RUNS], ids=[r[0] for r in RUNS])
def test_progress_reports_and_a_raising_progress_stops_the_run(monkeypatch, make, run, calls):
    monkeypatch.setenv("VELM_NUM_THREADS", "1")
    s, seen = make(), []
    run(s, progress=lambda done, total, ms: seen.append((done, total, ms)))
    assert [c[:2] for c in seen] == calls
    assert all(isinstance(c[2], float) and c[2] >= 0 for c in seen)
    assert [c[2] for c in seen] == sorted(c[2] for c in seen)
    for exc in (RuntimeError, KeyboardInterrupt):
        stopped = []

        def progress(done, total, ms):
            stopped.append(done)
            raise exc("stop")

        with pytest.raises(exc, match="stop"):
            run(s, progress=progress)
        assert stopped == [calls[0][0]]


@pytest.mark.parametrize("tag, make, run", [
    ("bwd", lit_plane, lambda s: velm.simulate_cpu(s, spp=1, max_depth=9)),
    ("flux", tile, lambda s: velm.simulate_flux_cpu(s, 1, 1, 100, 1)),
    ("fwd", tile, lambda s: velm.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=100)),
])
def test_max_depth_environment_override(monkeypatch, capfd, make, run, tag):
    s = make()
    monkeypatch.setenv("VELM_MAX_DEPTH", "1")
    run(s)
    out = capfd.readouterr().out
    assert f"[CPU {tag}] VELM_MAX_DEPTH=1\n" in out
    if tag == "flux":
        assert "Forward flux (CPU): 100 photons, grid 1x1, 1 bands, max_bounces_record=0," in out
    for ignored in ("0", "-3", "abc"):
        monkeypatch.setenv("VELM_MAX_DEPTH", ignored)
        run(s)
        assert "VELM_MAX_DEPTH" not in capfd.readouterr().out
