"""velm.microwave: bare soil against the closed form over the module's own soil model, the Vulkan
image against the native wavefront call it wraps, the sensor rays against the sensors' own
coordinates, and the messages for common mistakes."""

import math

import numpy as np
import pytest

import velm
import velm_gpu
from velm.microwave_tables import microwave_tables
from velm.microwaves import sensor_rays

F = 1.4e9
GPU = [pytest.mark.gpu, pytest.mark.skipif(not velm._native.nvidia_driver_answers(),
                                            reason="needs an NVIDIA driver with OptiX")]
BACKENDS = [pytest.param("vulkan", marks=pytest.mark.vulkan), pytest.param("optix", marks=GPU),
            pytest.param("cpu")]
SOIL = velm.Soil(moisture=0.25, rms_height=0.02)


def soil_plane(zenith):
    scene = velm.lambertian_plane(0.3, half=50.0)
    scene.sensor = velm.Orthographic.oblique(zenith, 40.0, extent=(10, 10), pixels=(3, 2),
                                             distance=30.0)
    return scene


@pytest.mark.parametrize("backend", BACKENDS)
def test_bare_soil_closed_forms(backend):
    # Seen at cosine mu through an atmosphere of optical depth tau, t = exp(-tau / mu):
    # T_p = t e_p + (1 - t) T_air (1 + r_p t) + r_p t^2 2.725 (e_p T_eff and r_p from the soil
    # model's rows at mu); active: sigma_pq t^2. The third and fourth Stokes values are 0.
    zenith, tau, t_air = 40.0, 0.2, 260.0
    scene = soil_plane(zenith)
    kw = dict(spp=2, air_temperature=t_air, atmosphere_tau=tau, backend=backend, progress=False)
    tb = velm.microwave(scene, {"ground": SOIL}, channels=4, **kw)
    sigma = velm.microwave(scene, {"ground": SOIL}, active=True, channels=4, **kw)
    mu = math.cos(math.radians(zenith))
    tables = microwave_tables(F, [SOIL.vector()], response_table_size=65)
    grid = np.linspace(0, 1, 65)
    row = {k: np.array([np.interp(mu, grid, c) for c in tables[k][0].T])
           for k in ("passive_soil_table", "active_soil_table")}
    t = math.exp(-tau / mu)
    e, r = row["passive_soil_table"][:2], row["passive_soil_table"][2:]
    rtol = 1e-4 if backend == "vulkan" else 3e-3
    np.testing.assert_allclose(tb.sel(polarization=["H", "V"]).values,
                               np.broadcast_to(t * e + (1 - t) * t_air * (1 + r * t)
                                               + r * t * t * 2.725, (2, 3, 2)), rtol=rtol)
    assert not tb.sel(polarization=["T3", "T4"]).values.any()
    np.testing.assert_allclose(sigma.values, np.broadcast_to(row["active_soil_table"] * t * t,
                                                             (2, 3, 4)), rtol=rtol)
    assert tb.dims == ("y", "x", "polarization") and tb.attrs["units"] == "K"
    assert sigma.name == "sigma0" and list(sigma.polarization) == ["HH", "HV", "VH", "VV"]
    # The fewer channels: H and V (HH and VV), and the mean of H and V (half the power sum).
    two = velm.microwave(scene, {"ground": SOIL}, active=True, channels=2, **kw)
    np.testing.assert_allclose(two.values, sigma.sel(polarization=["HH", "VV"]), rtol=1e-6)
    one = velm.microwave(scene, {"ground": SOIL}, channels=1, **kw)
    np.testing.assert_allclose(one[..., 0], tb[..., :2].mean("polarization"), rtol=1e-6)


@pytest.mark.vulkan
def test_forest_is_the_native_wavefront_over_the_sensor_pixels():
    # Nadir orthographic pixels, spp jittered parallel rays each (the same jitter stream), the
    # wavefront call on the same tables and the materials soil, leaf, bark mapped in that order.
    scene = velm.procedural_forest(n_trees=4, seed=5, bands=1, pixels=(5, 4))
    materials = {"soil": SOIL, "leaf": velm.Vegetation(290.0, 0.4, 0.6, 0.2),
                 "bark": velm.Trunk(radius=0.15, length=5.0)}
    got = velm.microwave(scene, materials, channels=4, spp=3, seed=7, max_depth=4,
                         backend="vulkan", progress=False)
    s = scene.sensor
    jitter = np.random.default_rng(7).random((s.width * s.height * 3, 2))
    ix = np.repeat(np.tile(np.arange(s.width), s.height), 3) + jitter[:, 0]
    iy = np.repeat(np.repeat(np.arange(s.height), s.width), 3) + jitter[:, 1]
    m = s.matrix
    origins = np.c_[m[0, 3] + (ix / s.width - 0.5) * s.extent[0],
                    m[1, 3] + (iy / s.height - 0.5) * s.extent[1],
                    np.full(len(ix), m[2, 3]), np.zeros(len(ix))].astype(np.float32)
    directions = np.tile(np.float32([0, 0, -1, 0]), (len(ix), 1))
    tables = microwave_tables(F, [SOIL.vector()], [(290.0, 0.4, materials["leaf"].phase())],
                              [materials["bark"].vector()], 65)
    native = scene._native["vulkan"]["native"]
    out = native.run_microwave_wavefront(False, 4, 293.0, 0.01, origins=origins,
                                         directions=directions,
                                         material_map=np.int32([0, 1, 2]), **tables)
    want = out.reshape(s.height, s.width, 3, 4).astype(np.float64).mean(axis=2)
    np.testing.assert_allclose(got.values, want, rtol=1e-6)
    assert 150 < float(got[..., :2].mean()) < 300


def test_sensor_rays_follow_the_sensors_coordinates():
    # Perspective: a pixel centre's ray makes the view angles of Perspective.coords with the
    # optical axis; fisheye: the angle from the axis of Fisheye.coords (NaN outside the circle).
    cam = velm.Perspective.look_at((3, -2, 10), (0, 1, 0), fov=50, pixels=(5, 3))
    j, i = np.meshgrid(np.arange(3), np.arange(5), indexing="ij")
    o, d = sensor_rays(cam, i.ravel() + 0.5, j.ravel() + 0.5)
    m = cam.matrix.astype(np.float64)
    local = d @ m[:3, :3]  # camera frame (the rotation is orthonormal)
    c = cam.coords()
    np.testing.assert_allclose(np.degrees(np.arctan2(local[:, 0], -local[:, 2])),
                               np.broadcast_to(c["x"][1], (3, 5)).ravel(), atol=1e-6)
    np.testing.assert_allclose(np.degrees(np.arctan2(local[:, 1], -local[:, 2])),
                               np.broadcast_to(c["y"][1][:, None], (3, 5)).ravel(), atol=1e-6)
    np.testing.assert_allclose(o, np.broadcast_to(m[:3, 3], o.shape))
    eye = velm.Fisheye.upward((0, 0, 1), fov=170, pixels=(6, 6), projection="equidistant")
    j, i = np.meshgrid(np.arange(6), np.arange(6), indexing="ij")
    _, d = sensor_rays(eye, i.ravel() + 0.5, j.ravel() + 0.5)
    zenith = eye.coords()["view_zenith"][1].ravel()
    inside = ~np.isnan(zenith)
    np.testing.assert_allclose(np.degrees(np.arccos(d[inside, 2])), zenith[inside], atol=1e-5)
    assert not d[~inside].any()


MISTAKES = [
    ("unknown material", dict(materials={"soil": SOIL}), ValueError,
     "microwave material for 'soil': the scene has no material of that name"),
    ("not a microwave material", dict(materials={"ground": velm.Lambertian(0.2)}), TypeError,
     "must be a velm.Soil, velm.Vegetation or velm.Trunk, not Lambertian"),
    ("trunk without soil", dict(materials={"ground": velm.Trunk()}), ValueError,
     "trunks need a soil under them"),
    ("three channels", dict(materials={"ground": SOIL}, channels=3), ValueError,
     "channels must be 1, 2 or 4"),
    ("no sensor", dict(materials={"ground": SOIL}, sensor=None), ValueError, "no sensor"),
]


@pytest.mark.parametrize("case, kw, exc, message", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_common_mistakes_are_refused_with_the_fix(case, kw, exc, message):
    scene = soil_plane(30.0)
    if "sensor" in kw:
        scene.sensor = kw.pop("sensor")
    with pytest.raises(exc) as err:
        velm.microwave(scene, **{"backend": "vulkan", "progress": False, **kw})
    assert message in str(err.value)


@pytest.mark.parametrize("make, message", [
    (lambda: velm.Soil(moisture=1.5), "soil moisture must lie in [0, 1]"),
    (lambda: velm.Soil(dielectric="dobson"), "soil dielectric must be one of clay_mixing, semi_empirical"),
    (lambda: velm.Vegetation(asymmetry=1.0), "vegetation asymmetry must lie in (-1, 1)"),
    (lambda: velm.Trunk(axis=(0, 0, 0)), "trunk axis must be a non-zero 3-vector"),
    (lambda: velm.Trunk(radius=-1), "trunk radius (m) must be a finite number >= 0.0"),
])
def test_microwave_materials_check_their_fields(make, message):
    with pytest.raises(ValueError) as err:
        make()
    assert message in str(err.value)
    assert velm.Soil(dielectric="clay_mixing").vector()[9] == 0
    assert velm_gpu._evaluate_microwave_soil(F, velm.Soil().vector(), [0.5]).shape == (1, 4)
