"""The CPU backend under hostile or careless input, and the geometric precision of its rays.

Grouped by cause: what enters the scene, what a simulation refuses when it starts, sizes,
concurrency, and light that must not leak or be miscounted.
"""

import math
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import velm_gpu as velm

from conftest import seconds_to_stop
from test_cpu_backward import NADIR_CAM, plane_scene, sun_dir

SANITIZED = bool(os.environ.get("VELM_SANITIZED"))
NAN, INF = float("nan"), float("inf")
TRI_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32)
NO_NORMALS = np.zeros((0, 3), np.float32)
IDENTITY = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)


def with_nan(values, index, value=NAN):
    a = np.array(values, np.float32)
    a.flat[index] = value
    return a


# ---- what enters the scene (the values refused where they enter: tests/test_scene.py) ------

def test_build_refuses_geometry_beyond_what_rays_can_reach():
    s = velm.EmbreeSceneManager()
    s.add_mesh(TRI_V, NO_NORMALS, np.array([[0, 1, 2]]))
    s.add_instance(0, 0, 0, 0, 1e19)
    with pytest.raises(ValueError, match="beyond 1e18"):
        s.build()
    assert not s.is_built()


# ---- what a simulation refuses when it starts ----------------------------------------------

def lit_plane(**kw):
    return plane_scene([0.5, 0.5, 1000, 1000], sun=sun_dir(20), sun_offset=2, **kw)


def sensor(cam=NADIR_CAM, kind=0, size=(8.0, 8.0), fov=60.0, shape=(16, 16)):
    return (kind, shape[0], shape[1], size[0], size[1], np.asarray(cam, np.float32), fov)


def forward(s, **kw):
    return velm.simulate_forward_cpu(s, layer_heights=[-1, 1], num_photons=100, **kw)


def singular():
    s = lit_plane()
    s.add_instance(0, 0, 0, 5, 0.0)  # flattened to a point: no normal exists
    s.build()
    return s


@pytest.mark.parametrize("make, run, message", [
    (lambda: lit_plane(sensor=sensor(cam=with_nan(NADIR_CAM, 11, 1e19))), velm.simulate_cpu,
     "camera position must lie within 1e18"),
    (lambda: lit_plane(sensor=sensor(size=(NAN, 8.0))), velm.simulate_cpu,
     "finite positive ortho_w and ortho_h"),
    (lambda: lit_plane(sensor=sensor(kind=1, fov=0.0)), velm.simulate_cpu,
     "between 0 and 180 degrees"),
    (lambda: lit_plane(sensor=sensor(shape=(-4, 16))), velm.simulate_cpu,
     "width and height must not be negative"),
    (lambda: plane_scene([0.5, 0.5, 1000, 1000], sun=(NAN, 0, 1), sun_offset=2),
     velm.simulate_cpu, r"sun direction \(set_emitter\) must be a finite non-zero vector"),
    (lambda: plane_scene([0.5, 0.5, 1000, 1000], sun=(0, 0, 0), sun_offset=2), forward,
     r"sun direction \(set_emitter\) must be a finite non-zero vector"),
    (lambda: lit_plane(), lambda s: forward(s, brf_directions=[0, NAN, 1], num_brf_dirs=1),
     "brf_directions row 0 must be a finite non-zero vector"),
    (lambda: lit_plane(), lambda s: velm.simulate_lidar_cpu(s, [0, 0, 1e19], [0, 0, -1], 1),
     "beyond 1e18"),
    (lambda: (s := lit_plane(), s.set_repetitive(2, INF, 10))[0], velm.simulate_cpu,
     "repeating tile size must be finite"),
    # (the image's and the radiation field's refusals: tests/test_bad_input.py)
    (singular, forward, "instance 1 has a singular transform"),
    (singular, lambda s: velm.simulate_lidar_cpu(s, [0, 0, 9], [0, 0, -1], 1),
     "instance 1 has a singular transform"),
])
def test_simulations_refuse_what_they_cannot_use(make, run, message):
    with pytest.raises(ValueError, match=message):
        run(make())


def test_a_thermal_material_without_a_spectrum_is_refused():
    s = lit_plane()
    s.add_material(5, 3, [])  # reflects nothing, but emits by its first value
    s.add_mesh(TRI_V, NO_NORMALS, [[0, 1, 2]], material_id=1)
    s.set_thermal_mode(True, [10000.0, 11000.0])
    s.build()
    with pytest.raises(IndexError, match="material 1 emissivity"):
        velm.simulate_cpu(s)


def test_directions_longer_than_one_change_nothing():
    s = lit_plane()
    views = lambda k: forward(s, brf_directions=[0, 0, k], num_brf_dirs=1)["brf"]  # noqa: E731
    np.testing.assert_array_equal(views(1.0), views(7.5))
    np.testing.assert_array_equal(views(1.0), views(3e30))
    far = velm.simulate_lidar_cpu(s, [1, 1, 5], [0, 0, -3e30], 1, direct_mode=True)["points"]
    near = velm.simulate_lidar_cpu(s, [1, 1, 5], [0, 0, -1], 1, direct_mode=True)["points"]
    np.testing.assert_array_equal(far, near)


# ---- sizes ---------------------------------------------------------------------------------

@pytest.mark.parametrize("run", [
    lambda s: velm.simulate_forward_cpu(s, 2**30, 2**30, layer_heights=[0, 1], num_photons=10),
    lambda s: velm.simulate_flux_cpu(s, 2**30, 2**30, 10, 1),
    lambda s: velm.simulate_forward_cpu(s, 2**16, 2**16, layer_heights=np.arange(2**16),
                                        num_photons=10),
])
def test_tallies_too_large_to_exist_are_refused_before_any_work(run):
    with pytest.raises(ValueError, match="too large"):
        run(lit_plane())


# ---- concurrency ---------------------------------------------------------------------------

MUTATIONS = [
    lambda s: s.upload_spectral_params([0.9, 0.9, 5, 5]),
    lambda s: s.add_material(0, 0),
    lambda s: s.set_thermal_mode(True, [1.0, 2.0]),
    lambda s: s.add_instance(0),
    lambda s: s.build(),
    lambda s: s.refit_ias(),
    lambda s: s.update_instance_transform(0, IDENTITY),
    lambda s: s.clear_for_reuse(),
]


def test_scene_refuses_changes_while_a_simulation_reads_it():
    reference = velm.simulate_cpu(lit_plane(), spp=3)
    s = lit_plane()
    refused = []

    def progress(done, total, ms):
        for mutate in MUTATIONS:
            with pytest.raises(RuntimeError, match="scene is in use by a running simulation"):
                mutate(s)
            refused.append(done)

    np.testing.assert_array_equal(velm.simulate_cpu(s, spp=3, progress=progress), reference)
    assert len(refused) == 3 * len(MUTATIONS)
    MUTATIONS[0](s)  # free again once the run is over


def test_other_threads_run_while_a_simulation_traces():
    s = lit_plane(sensor=sensor(shape=(256, 256)))
    ticks, errors = [], []

    def other():
        while not done.is_set():
            ticks.append(1)
            try:
                s.add_material(0, 0)
            except RuntimeError as e:
                errors.append(str(e))
            time.sleep(0.001)

    done = threading.Event()
    t = threading.Thread(target=other)
    t.start()
    try:
        velm.simulate_cpu(s, spp=16)
    finally:
        done.set()
        t.join()
    assert len(ticks) > 5 and errors and set(errors) == {"scene is in use by a running simulation"}


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs the address space")
def test_refused_worker_threads_raise_instead_of_ending_the_process():
    code = (
        "import resource, velm_gpu as v, numpy as np\n"
        "from test_cpu_backward import plane_scene\n"
        "s = plane_scene([0.5, 0.5, 1000, 1000], sun_offset=2)\n"
        "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
        "try:\n"
        "    v.simulate_cpu(s, spp=1)\n"
        "except RuntimeError as e:\n"
        "    print('refused:', e)\n"
    )
    env = dict(os.environ, VELM_NUM_THREADS="256", PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         cwd=os.path.dirname(__file__), timeout=60)
    assert out.returncode == 0, out.stderr
    assert "refused: could not start worker thread" in out.stdout


# ---- geometry and light --------------------------------------------------------------------

def test_normals_of_scaled_instances_follow_the_inverse_transpose():
    # A square in the plane z = x, stretched 2x along z: the surface z = 2 x, whose normal is
    # (-2, 0, 1) / sqrt(5). Under a zenith sun a nadir camera sees rho E cos / pi.
    s = velm.EmbreeSceneManager()
    v = np.array([[-5, -5, -5], [5, -5, 5], [5, 5, 5], [-5, 5, -5]], np.float32)
    s.add_mesh(v, NO_NORMALS, [[0, 1, 2], [0, 2, 3]])
    s.add_instance_xform(0, np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0], np.float32))
    s.set_num_bands(1)
    s.upload_spectral_params([0.5, 1000.0])
    s.add_material(0, 0)
    s.set_emitter(0, np.array([0, 0, 1], np.float32), 1)
    s.set_sensor(0, 8, 8, 4.0, 4.0, NADIR_CAM)
    s.build()
    img = velm.simulate_cpu(s, spp=1, max_depth=1)
    np.testing.assert_allclose(img, 0.5 * 1000 / math.sqrt(5) / math.pi, rtol=1e-5)


def closed_box(size, center):
    """The 12 triangles of an axis-aligned cube without normals (flat shading), outward faces."""
    c = np.asarray(center, np.float64)
    corners = np.array([[x, y, z] for z in (-1, 1) for y in (-1, 1) for x in (-1, 1)]) * size / 2
    faces = [[0, 2, 3], [0, 3, 1], [4, 5, 7], [4, 7, 6], [0, 1, 5], [0, 5, 4],
             [2, 6, 7], [2, 7, 3], [0, 4, 6], [0, 6, 2], [1, 3, 7], [1, 7, 5]]
    return (corners + c).astype(np.float32), np.array(faces)


@pytest.mark.parametrize("size, center", [(0.02, (0, 0, 0)), (0.2, (3, -2, 1)),
                                          (2.0, (0, 0, 0)), (0.05, (900, -700, 40))])
def test_no_light_leaks_into_a_closed_box(size, center):
    # Camera inside a closed white box, sun and sky outside: the exact answer is 0.
    v, f = closed_box(size, center)
    s = velm.EmbreeSceneManager()
    s.add_mesh(v, NO_NORMALS, f)
    s.add_instance(0)
    s.set_num_bands(1)
    s.upload_spectral_params([0.9, 1000.0, 100.0])
    s.add_material(0, 0)
    s.set_emitter(0, np.array(sun_dir(30), np.float32), 1)
    s.set_sky(2)
    cam = np.array([1, 0, 0, center[0], 0, 1, 0, center[1], 0, 0, 1, center[2], 0, 0, 0, 1],
                   np.float32)
    s.set_sensor(4, 48, 48, 0, 0, cam, fov=350.0)  # a fisheye seeing nearly every direction
    s.build()
    assert not velm.simulate_cpu(s, spp=8, max_depth=12).any()


def test_neighbouring_pixels_have_independent_noise():
    # A plane under an analytic sky that brightens towards the horizon: each pixel's value is
    # noise around its mean from the sampled sky directions. The noise of horizontal and vertical
    # neighbours must be uncorrelated (independent random streams), at any sample count.
    gradation = [-1.0, -0.2, 0, 0, 0, 0, 0, 0, 0, 100.0]  # 1 - exp(-0.2 / cos) over its zenith value
    s = plane_scene([0.5, 0.0] + gradation, bands=1, sun_offset=1,
                    sensor=(0, 96, 96, 8.0, 8.0, NADIR_CAM))
    s.set_hw_sky(2, 0.0, 0.0, 1.0)
    s.build()
    img = velm.simulate_cpu(s, spp=64, max_depth=2)[..., 0].astype(np.float64)
    noise = img - img.mean()
    limit = 4 / math.sqrt(noise.size)
    for a, b in ((noise[:, 1:], noise[:, :-1]), (noise[1:], noise[:-1])):
        assert abs(np.corrcoef(a.ravel(), b.ravel())[0, 1]) < limit


def test_refit_moves_the_bounds_that_photons_start_from():
    s = lit_plane()
    s.set_repetitive(1, 20, 20)
    s.build()
    lifted = IDENTITY.copy()
    lifted[[3, 7, 11]] = 10.0, 10.0, 50.0  # the 20 m plane now covers the tile, 50 m up
    s.update_instance_transform(0, lifted)
    s.refit_ias()
    assert s.aabb()[1][2] == 50.0
    r = velm.simulate_forward_cpu(s, layer_heights=[0, 100], num_photons=2000, num_bands=2)
    expected = 0.5 * 1000 * math.cos(math.radians(20)) * 400
    np.testing.assert_allclose(r["grid"].sum(axis=(0, 1, 2)), expected, rtol=1e-5)


def canopy(plane=None):
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(10, 10, 0, 20)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"], material_id=1)
    s.add_instance(0, 10, 10, 0)
    s.add_instance(1, 10, 10, 3)  # a leaf layer 3 m above the ground
    s.upload_spectral_params([0.2, 0.45, 0.4, 0.45, 1000.0])
    s.add_material(0, 0)
    s.add_material(13, 1, [0.45, 0.45])
    s.set_emitter(0, np.array(sun_dir(30), np.float32), 4)
    s.set_repetitive(4, 20, 20)
    if plane is not None:
        s.set_measurement_plane(plane)
    s.build()
    return velm.simulate_forward_cpu(s, layer_heights=[0, 10], num_photons=40000,
                                     brf_directions=[0, 0, 1], num_brf_dirs=1)


def test_photons_enter_a_canopy_from_above_without_a_measurement_plane():
    default, above = canopy(), canopy(plane=8.0)
    np.testing.assert_allclose(default["albedo"], above["albedo"], rtol=0.03)
    np.testing.assert_allclose(default["brf"], above["brf"], rtol=0.05)
    # The leaves reflect 0.45 of what reaches them from above: the albedo can't be lower.
    incident = 1000 * math.cos(math.radians(30)) * 400
    assert default["albedo"][0] / incident > 0.45


def test_huge_repetition_counts_end_with_the_scene():
    s = lit_plane()
    s.set_repetitive(2**31 - 1, 20, 20)
    s.build()
    start = time.perf_counter()
    velm.simulate_cpu(s, spp=2)
    forward(s)
    assert time.perf_counter() - start < 10


@pytest.mark.parametrize("pulses, beam", [(100_000, 40), (2, 4000)])  # 16 million rays a pulse
def test_ctrl_c_stops_a_lidar_run_within_a_second(pulses, beam):
    # The interrupt comes once the pulses are tracing (the set-up before is short: no polls).
    s = lit_plane()
    origins = np.tile([0.0, 0.0, 5.0], (pulses, 1))
    directions = np.tile([0.0, 0.0, -1.0], (pulses, 1))
    assert seconds_to_stop(lambda: velm.simulate_lidar_cpu(
        s, origins, directions, pulses, beam_samples_per_dim=beam), after=1.0) < 1.0
    assert velm.simulate_lidar_cpu(s, origins[:1], directions[:1], 1)["num_returns"] == 1
