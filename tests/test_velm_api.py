"""velm against the native results it wraps, physics against closed forms, the messages for
common mistakes, and the native-scene cache."""

import math
import pickle

import numpy as np
import pytest

import conftest
import scenes
import velm
import velm_gpu

GPU = [pytest.mark.gpu, pytest.mark.skipif(not velm._native.nvidia_driver_answers(),
                                            reason="needs an NVIDIA driver with OptiX")]
BACKENDS = [pytest.param("cpu"), pytest.param("vulkan", marks=pytest.mark.vulkan),
            pytest.param("optix", marks=GPU)]


@pytest.fixture(scope="module")
def forest():
    return velm.procedural_forest(n_trees=5, seed=3, bands=3, pixels=(16, 12))


def native_forest(backend):
    """The same forest built on the native surface by the shared test builder."""
    if backend == "cpu":
        scene = velm_gpu.EmbreeSceneManager()
    elif backend == "vulkan":
        from velm._backends import vulkan_context
        scene = velm_gpu.VulkanSceneManager(vulkan_context(), conftest.TRACE_SHADER)
    else:
        from velm._backends import optix_context
        scene = velm_gpu.SceneManager(optix_context())
    info = scenes.procedural_forest(scene, 5, 3, bands=3, sensor=(16, 12))
    scene.build()
    return scene, info


NATIVE_ARGS = {"image": dict(spp=2, max_depth=6),
               "forward": dict(nx=2, ny=2, layer_heights=np.float32([-0.5, 3, 6, 12]),
                               num_photons=20000, num_bands=3, terrain_instance_id=0),
               "flux": dict(nx=3, ny=2, num_photons=20000, num_bands=3)}


def run_native(backend, scene, what):
    if backend != "optix":
        run = {"image": conftest.image, "forward": conftest.radiation, "flux": conftest.flux}[what]
        return run(scene, backend, **NATIVE_ARGS[what])
    from velm._backends import optix_simulator
    sim = optix_simulator()
    run = {"image": sim.simulate, "forward": sim.simulate_forward, "flux": sim.simulate_flux}[what]
    return run(scene, **NATIVE_ARGS[what])


@pytest.mark.parametrize("backend", BACKENDS)
def test_same_numbers_as_the_native_calls(forest, backend):
    scene, _ = native_forest(backend)
    image = velm.render(forest, spp=2, max_depth=6, backend=backend, progress=False)
    np.testing.assert_array_equal(image.values, run_native(backend, scene, "image"))
    assert image.dims == ("y", "x", "band") and image.shape == (12, 16, 3)
    assert image.attrs["units"] == "W m-2 sr-1 nm-1"
    np.testing.assert_allclose(image.x[[0, -1]], [-20 + 1.25, 20 - 1.25])

    fwd = velm.absorbed(forest, layer_heights=[-0.5, 3, 6, 12], nx=2, ny=2, photons=20000,
                        terrain="ground", backend=backend, progress=False)
    ref = run_native(backend, scene, "forward")
    np.testing.assert_allclose(fwd.absorbed.values, ref["grid"], rtol=1e-6)
    np.testing.assert_allclose(fwd.terrain.values, ref["terrain"], rtol=1e-6)
    np.testing.assert_allclose(fwd.absorbed_fraction * fwd.incident, fwd.absorbed, rtol=1e-12)
    np.testing.assert_allclose(fwd.layer, [1.25, 4.5, 9.0])

    fl = velm.flux(forest, nx=3, ny=2, photons=20000, backend=backend, progress=False)
    ref = run_native(backend, scene, "flux")
    cell = 40.0 * 40.0 / 6
    for k in ("downwelling", "upwelling"):
        np.testing.assert_allclose(fl[k].values * cell, ref[k], rtol=1e-6)
    assert fl.downwelling.attrs["units"] == "W m-2 nm-1"


@pytest.mark.parametrize("backend", BACKENDS)
def test_lambertian_plane_closed_forms(backend):
    # A flat Lambertian surface under the sun alone: radiance rho E cos(sz) / pi everywhere,
    # absorbed fraction 1 - rho, albedo and BRF rho (in every direction).
    rho, e, sz = np.array([0.1, 0.5]), np.array([1.5, 0.8]), 40.0
    scene = velm.lambertian_plane(rho, velm.Sun(sz, 20.0, e), bands=(650, 850), half=10.0,
                                  pixels=(8, 8))
    image = velm.render(scene, spp=4, backend=backend, progress=False)
    want = rho * e * math.cos(math.radians(sz)) / math.pi
    np.testing.assert_allclose(image.mean(("x", "y")), want, rtol=1e-3)
    if backend != "vulkan":
        a = velm.absorbed(scene, layer_heights=[-1, 1], photons=40000, terrain="ground",
                          brf_directions=[(0, 0), (50, 120)], backend=backend, progress=False)
        # Photons start 0.1 m above the plane, so a slanting sun loses the strip of width
        # 0.1 tan(sz) at the plane's edge (0.4 % of this 20 m plane).
        np.testing.assert_allclose(a.terrain_fraction, 1 - rho, rtol=6e-3)
        np.testing.assert_allclose(a.albedo, rho, rtol=2e-2)
        np.testing.assert_allclose(a.brf, np.broadcast_to(rho, (2, 2)), rtol=2e-2)
        np.testing.assert_allclose(a.incident, e * math.cos(math.radians(sz)) * 100, rtol=1e-5)


@pytest.mark.parametrize("backend", BACKENDS)
def test_thermal_image_is_emissivity_times_planck(backend):
    # A plane at 300 K, emissivity 0.9, nothing else to see: L = eps B(T, lambda) per nm.
    scene = velm.lambertian_plane(0.1, bands=(8000.0, 11000.0), half=5.0, pixels=(4, 4))
    scene.materials["ground"] = velm.Lambertian(0.1, emissivity=0.9, temperature=300.0)
    image = velm.render(scene, spp=2, thermal=True, backend=backend, progress=False)
    lam = np.array([8000.0, 11000.0]) * 1e-9
    planck = 2 * 6.62607015e-34 * 2.99792458e8**2 / lam**5 / np.expm1(
        6.62607015e-34 * 2.99792458e8 / (lam * 1.380649e-23 * 300.0)) * 1e-9
    np.testing.assert_allclose(image.mean(("x", "y")), 0.9 * planck, rtol=1e-3)


SUN = velm.Sun(30, 0, 1.0)
MISTAKES = [
    ("no sensor", lambda s: setattr(s, "sensor", None), velm.render, ValueError,
     "no sensor: set scene.sensor = velm.Orthographic.nadir"),
    ("no light", lambda s: setattr(s, "sun", None), velm.render, ValueError,
     "neither a sun nor a sky"),
    ("band count", lambda s: s.materials.update(ground=velm.Lambertian([0.1, 0.2])),
     velm.render, ValueError, "has 2 values but the scene has 1 bands"),
    ("sun band count", lambda s: setattr(s, "sun", velm.Sun(30, 0, [1, 2, 3])), velm.render,
     ValueError, "sun irradiance has 3 values"),
    ("unknown material", lambda s: setattr(s.meshes["ground"], "material", "soil"),
     velm.render, ValueError, "uses material 'soil', which the scene does not have"),
    ("no extent", lambda s: setattr(s, "sensor", velm.Perspective.look_at((0, 0, 10))),
     lambda s, **k: velm.absorbed(s, layer_heights=[0, 1], **k), ValueError,
     "needs a horizontal extent"),
    ("sun on the horizon", lambda s: setattr(s, "sun", velm.Sun(89.9, 0, 1.0)),
     lambda s, **k: velm.flux(s, nx=1, ny=1, **k), ValueError, "within 0.6 degrees"),
    ("bad layers", lambda s: None, lambda s, **k: velm.absorbed(s, layer_heights=[1, 0], **k),
     ValueError, "strictly increasing"),
    ("cold thermal", lambda s: None, lambda s, **k: velm.render(s, thermal=True, **k),
     ValueError, "no material has a temperature"),
    ("lidar on vulkan", lambda s: None,
     lambda s, **k: velm.lidar(s, [[0, 0, 5]], [[0, 0, -1]], backend="vulkan"),
     NotImplementedError, "backends that have it: cpu, optix"),
    ("brf on vulkan", lambda s: None, lambda s, **k: velm.absorbed(
        s, layer_heights=[0, 1], brf_directions=[(0, 0)], backend="vulkan"),
     NotImplementedError, "absorbed with brf is not offered by the vulkan backend"),
    ("unknown backend", lambda s: None, lambda s, **k: velm.render(s, backend="gpu"),
     ValueError, "backend must be one of 'cpu', 'vulkan', 'optix'"),
]


@pytest.mark.parametrize("case, edit, call, exc, message", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_common_mistakes_are_refused_with_the_fix(case, edit, call, exc, message):
    scene = velm.lambertian_plane(0.3, SUN, pixels=(2, 2))
    edit(scene)
    with pytest.raises(exc) as err:
        call(scene, backend="cpu", progress=False)
    assert message in str(err.value)


NAN, INF = float("nan"), float("inf")
BAD_VALUES = [
    ("reflectance above 1", lambda s: velm.Lambertian([1.5]), ValueError,
     "Lambertian reflectance must lie in [0, 1], not 1.5"),
    ("NaN reflectance", lambda s: velm.Lambertian(NAN), ValueError,
     "Lambertian reflectance must lie in [0, 1], not nan"),
    ("text reflectance", lambda s: velm.Lambertian("dark"), ValueError,
     "Lambertian reflectance must be a number or one number per band, not 'dark'"),
    ("negative transmittance", lambda s: velm.Leaf(0.1, -0.1), ValueError,
     "Leaf transmittance must lie in [0, 1]"),
    ("leaf creating energy", lambda s: velm.Leaf(0.3, 0.5, back_reflectance=0.6), ValueError,
     "the leaf would create energy"),
    ("RPV theta of 1", lambda s: velm.RPV(theta=1.0), ValueError,
     "RPV theta must lie in [-0.999, 0.999], not 1.0"),
    ("infinite RPV k", lambda s: velm.RPV(k=INF), ValueError, "RPV k must be finite, not inf"),
    ("negative temperature", lambda s: velm.Lambertian(0.2, temperature=-1.0), ValueError,
     "Lambertian temperature must be at least 0"),
    ("negative irradiance", lambda s: velm.Sun(30, 0, [-1.0]), ValueError,
     "sun irradiance must be at least 0, not -1.0"),
    ("infinite sky", lambda s: velm.Sky(INF), ValueError, "sky radiance must be at least 0, not inf"),
    ("NaN sensor extent", lambda s: velm.Orthographic.nadir(extent=NAN, pixels=(2, 2)),
     ValueError, "orthographic extent must be positive and finite"),
    ("infinite tile", lambda s: velm.Tile(INF, 10.0), ValueError,
     "a tile needs positive, finite sizes"),
    ("NaN band", lambda s: velm.Scene(bands=[550.0, NAN]), ValueError,
     "band wavelengths (nm) must be at least 0.001, not (550.0, nan)"),
    ("missing mesh file", lambda s: velm.load_mesh("/no/such/tree.obj"), FileNotFoundError,
     "no mesh file '/no/such/tree.obj'"),
    ("NaN position", lambda s: s.add_instance("ground", position=(NAN, 0, 0)), ValueError,
     "instance transforms must be finite"),
    ("fractional spp", lambda s: velm.render(s, spp=1.5, backend="cpu"), TypeError,
     "spp must be an integer, not 1.5"),
    ("text photons", lambda s: velm.flux(s, nx=1, ny=1, photons="100", backend="cpu"), TypeError,
     "photons must be an integer, not '100'"),
]


@pytest.mark.parametrize("case, call, exc, message", BAD_VALUES, ids=[b[0] for b in BAD_VALUES])
def test_values_a_simulation_cannot_use_are_refused_where_given(case, call, exc, message):
    scene = velm.lambertian_plane(0.3, SUN, pixels=(2, 2))
    before = scene.fingerprint()
    with pytest.raises(exc) as err:
        call(scene)
    assert type(err.value) is exc and message in str(err.value)
    assert scene.fingerprint() == before
    # Counts written as whole floats (1e3) are counts.
    assert velm.flux(scene, nx=1, ny=1, photons=1e3, backend="cpu", progress=False).sizes


def test_scene_pickles_and_the_native_scene_is_reused_until_it_changes(forest):
    scene = pickle.loads(pickle.dumps(forest))
    assert scene == forest and scene.fingerprint() == forest.fingerprint()
    first = velm.render(scene, spp=1, backend="cpu", progress=False)
    native = scene._native["cpu"]["native"]
    again = velm.render(scene, spp=1, backend="cpu", progress=False)
    assert scene._native["cpu"]["native"] is native
    np.testing.assert_array_equal(first, again)
    # An optics change keeps the geometry; the result equals a fresh build's.
    scene.sun = velm.Sun(50, 10, velm.band_values(velm.builders.SUN_IRRADIANCE, 3))
    changed = velm.render(scene, spp=1, backend="cpu", progress=False)
    assert scene._native["cpu"]["native"] is native
    fresh = velm.render(pickle.loads(pickle.dumps(scene)), spp=1, backend="cpu",
                        progress=False)
    np.testing.assert_array_equal(changed, fresh)
    assert not np.array_equal(changed, first)
    scene.add_instance("crown", position=(0, 0, 8))
    velm.render(scene, spp=1, backend="cpu", progress=False)
    assert scene._native["cpu"]["native"] is not native


def test_per_leaf_results_group_by_instance_and_material(forest):
    fwd = velm.absorbed(forest, layer_heights=[-0.5, 3, 6, 12], photons=20000, per_leaf=True,
                        terrain="ground", backend="cpu", progress=False)
    # What every primitive absorbs lies in one grid cell; the terrain keeps its own tally.
    np.testing.assert_allclose(fwd.leaf.sum("primitive"), fwd.absorbed.sum(("layer", "y", "x")),
                               rtol=1e-6)  # both summed from float32 results
    by_instance = fwd.leaf.groupby("instance").sum()
    ground = forest.instances_of("ground")[0]
    assert float(by_instance.sel(instance=ground).sum()) == 0.0
    assert set(fwd.material.values) == set(forest.materials)
    # The ground's triangles cover its 40 m x 40 m square.
    assert float(fwd.area.where(fwd.instance == ground).sum()) == pytest.approx(1600.0)


def test_world_areas_and_bounds_of_placed_instances():
    """Against closed forms: areas under sheared, stretched, mirrored and tilted placements, and
    the box of a rotated, scaled cube."""
    # The unit right triangle through rows (2 1 0 / 0 3 0 / 0 0 5) spans (2, 0, 0) and
    # (1, 3, 0), area 3; mirrored in x, 1/2; tilted by (1 0 0 / 0 1 0 / 0 1 1), (1, 0, 0) and
    # (0, 1, 1): sqrt(2)/2.
    tri = velm.Scene()
    tri.add_material("m", velm.Lambertian(0.5))
    tri.add_mesh("t", {"vertices": [[0, 0, 0], [1, 0, 0], [0, 1, 0]], "indices": [[0, 1, 2]]},
                 material="m")
    tri.add_instances("t", [[[2, 1, 0, 7], [0, 3, 0, -2], [0, 0, 5, 1]],
                            [[-1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]],
                            [[1, 0, 0, 0], [0, 1, 0, 0], [0, 1, 1, 0]]])
    np.testing.assert_allclose(velm.primitive_areas(tri), [3.0, 0.5, math.sqrt(2) / 2])
    # A unit cube turned 45 degrees about z and doubled, centred at (10, 0, 2): its corners
    # reach sqrt(2) along x and y and 1 along z.
    box = velm.Scene()
    box.add_material("m", velm.Lambertian(0.5))
    corners = [[x, y, z] for x in (-0.5, 0.5) for y in (-0.5, 0.5) for z in (-0.5, 0.5)]
    box.add_mesh("cube", {"vertices": corners, "indices": [[0, 1, 2], [3, 4, 5], [5, 6, 7]]},
                 material="m")
    box.add_instance("cube", position=(10.0, 0.0, 2.0), scale=2.0, yaw=45.0)
    lo, hi = box.bounds()
    r = math.sqrt(2)
    np.testing.assert_allclose(np.r_[lo, hi], [10 - r, -r, 1, 10 + r, r, 3], atol=1e-6)


def test_a_scene_prints_as_a_summary(forest):
    """A line per part, with counts rather than arrays, however large the scene and its
    spectra."""
    scene = pickle.loads(pickle.dumps(forest))
    scene.add_instances("crown", np.tile(np.eye(4), (5000, 1, 1)))
    text = repr(scene)
    crowns = len(scene.instances_of("crown"))
    assert len(text.splitlines()) <= 10 and max(map(len, text.splitlines())) < 200
    assert f"crown x{crowns}" in text and f"{scene.primitive_count():,} triangles" in text
    assert f"{scene.meshes['crown'].triangle_count} triangles" in repr(scene.meshes["crown"])
    assert len(repr(scene.meshes["crown"])) < 80
    wide = velm.Scene(bands=np.linspace(400, 2500, 211))
    wide.sun = velm.Sun(20, 0, np.linspace(1, 2, 211))
    assert max(map(len, repr(wide).splitlines())) < 120


EB_BACKENDS = [pytest.param("cpu"), pytest.param("vulkan", marks=pytest.mark.vulkan)]


def parallel_squares_view_factor(side, distance):
    """View factor between directly opposed parallel squares (Howell's catalogue, C-11)."""
    x = y = side / distance
    a, b = math.sqrt(1 + x * x), math.sqrt(1 + y * y)
    return 2 / (math.pi * x * y) * (
        math.log(math.sqrt((1 + x * x) * (1 + y * y) / (1 + x * x + y * y)))
        + x * b * math.atan(x / b) + y * a * math.atan(y / a) - x * math.atan(x) - y * math.atan(y))


@pytest.mark.parametrize("backend", EB_BACKENDS)
def test_energy_balance_of_an_isolated_facet(backend):
    # Every ray from the top escapes and the sun is always seen:
    # top = (1 - albedo) (E cos(sz) + pi L_sky) per band; nothing reaches the bottom.
    rho, e, sky = np.array([0.2, 0.4]), np.array([1.2, 0.9]), np.array([0.05, 0.02])
    scene = velm.lambertian_plane(rho, velm.Sun(25, 40, e), velm.Sky(sky), bands=(600, 800),
                                  half=0.5)
    eb = velm.energy_balance(scene, samples=16, backend=backend, progress=False)
    want = (1 - rho) * (e * math.cos(math.radians(25)) + math.pi * sky)
    np.testing.assert_allclose(eb.shortwave_top, np.repeat(want[:, None], 2, 1), rtol=1e-4)
    assert not eb.shortwave_bottom.any()
    np.testing.assert_allclose(eb.area, [0.5, 0.5])


@pytest.mark.parametrize("backend", EB_BACKENDS)
def test_longwave_at_given_temperatures_between_two_facets(backend):
    # A black square under a hot black square 0.7 m above it, facing it: the lower one absorbs
    # F sigma T^4 + (1 - F) pi L_sky with F the analytic view factor (per-primitive temperatures
    # given to velm; the materials have none).
    scene = velm.Scene(bands=[10000.0])
    scene.add_material("black", velm.Lambertian(0.0, emissivity=1.0))
    square = velm.ground_plane(0.5, 0.5)
    scene.add_mesh("low", square, material="black")
    scene.add_mesh("high", velm.Mesh(square["vertices"], square["indices"][:, ::-1], "black"))
    scene.add_instance("low")
    scene.add_instance("high", position=(0.0, 0.0, 0.7))
    t, sky, n = 330.0, 90.0, 8192
    eb = velm.energy_balance(scene, samples=n, longwave_sky_radiance=sky, two_sided=False,
                             temperatures=[0, 0, t, t], shortwave=False, backend=backend,
                             progress=False)
    assert list(eb.data_vars) == ["longwave_top"]
    f = parallel_squares_view_factor(1.0, 0.7)
    hot, cold = 5.670374419e-8 * t**4, math.pi * sky
    noise = (hot - cold) * math.sqrt(f * (1 - f) / n)
    assert np.all(np.abs(eb.longwave_top[:2] - (f * hot + (1 - f) * cold)) < 4 * noise)
