"""VulkanContext, list_vulkan_devices and VulkanSceneManager: devices, messages, scene state,
per-primitive tables, lifetime and threads (on lavapipe, under the validation layer)."""

import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import velm_gpu as velm
from conftest import TRACE_SHADER

pytestmark = pytest.mark.vulkan

IDENTITY = np.eye(3, 4, dtype=np.float32).ravel()
TRI_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32)
TRI_I = np.array([[0, 1, 2]], np.int32)
NO_NORMALS = np.zeros((0, 3), np.float32)


def test_devices_and_context(vk_context):
    devices = velm.list_vulkan_devices()
    assert [list(d) for d in devices[:1]] == [[
        "device_index", "physical_index", "name", "vendor_id", "device_id", "device_type",
        "is_discrete", "api_version", "device_local_memory_mb", "has_compute_queue",
        "has_acceleration_structure", "has_ray_query", "has_buffer_device_address",
        "compatible", "unavailable_reason"]]
    usable = [d for d in devices if d["compatible"]]
    assert [d["device_index"] for d in devices] == list(range(len(usable))) + [-1] * (
        len(devices) - len(usable))
    first = usable[0]
    assert (vk_context.device_name(), vk_context.device_index(),
            vk_context.physical_device_index(), vk_context.total_vram_mb(),
            vk_context.api_version()) == (first["name"], 0, first["physical_index"],
                                          first["device_local_memory_mb"], first["api_version"])
    assert first["api_version"] >= 0x402000 and first["unavailable_reason"] == ""
    with pytest.raises(IndexError, match=rf"^Vulkan compatible device index {len(usable)} is "
                                         rf"outside \[0, {len(usable)}\)$"):
        velm.VulkanContext(len(usable))


def test_loader_failures_are_reported_with_their_label():
    # Without any driver the loader refuses the instance (or finds no device); either way the
    # error names the step.
    code = "import velm_gpu as v\ntry:\n v.VulkanContext()\nexcept RuntimeError as e:\n print(e)"
    env = dict(os.environ, VK_ICD_FILENAMES="/none.json", VK_DRIVER_FILES="/none.json")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout.strip()
    assert out in ("Vulkan: vkCreateInstance failed (-9)", "Vulkan: no physical devices were found")


def tri_scene(scene, built=True):
    scene.add_mesh(TRI_V, NO_NORMALS, TRI_I)
    scene.add_instance(0, 0.0, 0.0, 0.0)
    scene.upload_spectral_params([0.5, 0.25])
    if built:
        scene.build()
    return scene


def huge_scene(scene):
    """2^31 primitives: 1024 instances of a mesh of 2^21 (degenerate) triangles."""
    scene.add_mesh(TRI_V[:1], NO_NORMALS, np.zeros((2**21, 3), np.int32))
    scene.add_instances_xform(0, np.tile(IDENTITY, (1024, 1)))
    return scene


def _missing_shader_build(ctx):
    s = velm.VulkanSceneManager(ctx, "/nonexistent/trace.spv")
    s.add_mesh(TRI_V, NO_NORMALS, TRI_I)
    s.build()


@pytest.mark.parametrize("exc, message, call", [
    (IndexError, "Vulkan device index must be non-negative", lambda s, c: velm.VulkanContext(-1)),
    (RuntimeError, "Vulkan: cannot build an empty scene", lambda s, c: s.build()),
    (RuntimeError, "Vulkan: no acceleration structures to reuse; call build first",
     lambda s, c: tri_scene(s, built=False).build_reuse_geometry()),
    (RuntimeError, "Vulkan: build the scene before updating instance transforms",
     lambda s, c: tri_scene(s, built=False).refit_ias()),
    (RuntimeError, "Vulkan: build the scene before tracing rays",
     lambda s, c: tri_scene(s, built=False).trace_closest(np.zeros((0, 3)), np.zeros((0, 3)))),
    (RuntimeError, "Vulkan shader not found: /nonexistent/trace.spv",
     lambda s, c: _missing_shader_build(c)),
    (IndexError, "Vulkan instance id is outside the scene",
     lambda s, c: tri_scene(s).update_instance_transform(1, IDENTITY)),
    (IndexError, "Vulkan spectral update is outside the buffer",
     lambda s, c: tri_scene(s).update_spectral_params(1, [1.0, 2.0])),
    (IndexError, "Vulkan spectral update is outside the buffer",
     lambda s, c: tri_scene(s).update_spectral_params(-1, [1.0])),
    (ValueError, "Vulkan primitive temperature count must equal n_primitives()",
     lambda s, c: tri_scene(s).set_primitive_temperatures([300.0, 301.0])),
    (ValueError, "Vulkan primitive emissivity count must equal n_primitives()",
     lambda s, c: tri_scene(s).set_primitive_emissivities([])),
    (ValueError, "temperatures must be 1D",
     lambda s, c: tri_scene(s).set_primitive_temperatures([[300.0]])),
    (ValueError, "emissivities must be 1D",
     lambda s, c: tri_scene(s).set_primitive_emissivities([[0.9]])),
    (ValueError, "Vulkan SIF band count must be positive",
     lambda s, c: tri_scene(s).set_primitive_sif_spectra([], 0)),
    (ValueError, "Vulkan primitive SIF spectrum size must equal bands * n_primitives()",
     lambda s, c: tri_scene(s).set_primitive_sif_spectra([1.0, 2.0, 3.0], 2)),
    (ValueError, "origins and directions must have matching shape (N, 3)",
     lambda s, c: tri_scene(s).trace_closest(np.zeros((2, 3)), np.zeros((3, 3)))),
    (ValueError, "origins and directions must have matching shape (N, 3)",
     lambda s, c: tri_scene(s).trace_closest(np.zeros(3), np.zeros(3))),
    (ValueError, "Vulkan: trace_closest needs 0 <= t_min <= t_max",
     lambda s, c: tri_scene(s).trace_closest(np.zeros((1, 3)), np.ones((1, 3)), -1.0)),
    (ValueError, "transform must contain 12 floats",
     lambda s, c: tri_scene(s).add_instance_xform(0, np.zeros(11))),
    (OverflowError, "Vulkan primitive count exceeds int range",
     lambda s, c: huge_scene(s).n_primitives()),
])
def test_messages(vk_context, vk_scene, exc, message, call):
    with pytest.raises(exc) as e:
        call(vk_scene, vk_context)
    assert type(e.value) is exc and str(e.value) == message


def test_build_states_and_bounds(vk_scene):
    s = vk_scene
    s.add_mesh(TRI_V, NO_NORMALS, TRI_I)
    s.add_mesh(TRI_V + 5, NO_NORMALS, TRI_I)
    assert s.aabb() == ((0, 0, 0), (0, 0, 0)) and s.has_gpu_meshes()
    s.build()  # two meshes, no instances: one identity instance each
    assert (s.is_built(), s.num_instances(), s.total_triangles(), s.n_primitives()) == (
        True, 2, 2, 2)
    assert s.aabb() == ((0, 0, 0), (6, 6, 5))
    # A turned instance: the bounds are those of its vertices, not of its turned box.
    c, n = math.cos(0.5), math.sin(0.5)
    turn = np.array([c, -n, 0, 0, n, c, 0, 0, 0, 0, 1, 10], np.float32)
    s.update_instance_transform(0, turn)
    assert not s.is_built()
    with pytest.raises(RuntimeError, match="build the scene before tracing"):
        s.trace_closest(np.zeros((1, 3)), np.ones((1, 3)))
    s.refit_instances()
    v = TRI_V @ turn.reshape(3, 4)[:, :3].T + turn.reshape(3, 4)[:, 3]
    lo, hi = s.aabb()
    np.testing.assert_allclose(lo, np.minimum(v.min(0), [5, 5, 5]), atol=1e-6)
    np.testing.assert_allclose((s.min_height(), s.max_height()), (5, 10))
    s.clear_for_reuse()  # keeps geometry, structures and bounds; the scene must be made ready
    assert (s.is_built(), s.aabb()[1][2], s.add_material(0, 0)) == (False, 10.0, 0)
    s.build_reuse_gas()
    assert s.is_built()


def test_settings_and_primitive_tables(vk_scene):
    s = vk_scene
    s.set_sensor(1, 640, 480, 2.0, 3.0, np.arange(12, dtype=np.float32), fov=90.0,
                 projection_type=2)
    cfg = s.sensor_config()
    assert (cfg["type"], cfg["width"], cfg["height"], cfg["ortho_width"], cfg["projection_type"]
            ) == (1, 640, 480, 2.0, 2)
    assert cfg["fov"] == pytest.approx(math.pi / 2, rel=1e-6)
    np.testing.assert_array_equal(cfg["camera_to_world"], np.r_[np.arange(12), np.zeros(4)])
    s.set_repetitive(count=3, scene_x_size=2.5, scene_y_size=4.0)
    assert s.repetitive_config() == (3, 2.5, 4.0)

    s.add_mesh(TRI_V, NO_NORMALS, TRI_I, material_id=2)
    # A square and a degenerate triangle, whose normal is taken as +z.
    s.add_mesh(np.r_[TRI_V, [[1, 1, 0]]], NO_NORMALS, [[0, 1, 2], [1, 3, 2], [3, 3, 3]],
               material_id=5)
    xf = np.array([[2, 0, 0, 1, 0, 3, 0, 0, 0, 0, 1, 7]], np.float32)
    s.add_instances_xform(1, np.r_[xf, [IDENTITY]])
    s.add_instance(0, 0.0, 0.0, 0.0, 4.0)
    s.add_instance(0, 0.0, 0.0, 1.0, -1.0)  # a point reflection turns both edges: still +z
    g = s.primitive_geometry()
    assert list(g) == ["vertices", "normals", "areas", "material_ids", "instance_ids",
                       "primitive_ids"]
    np.testing.assert_allclose(g["vertices"][0], [[1, 0, 7], [3, 0, 7], [1, 3, 7]])
    np.testing.assert_allclose(g["vertices"][7], [[0, 0, 1], [-1, 0, 1], [0, -1, 1]])
    np.testing.assert_allclose(g["areas"], [3, 3, 0, 0.5, 0.5, 0, 8, 0.5])
    np.testing.assert_allclose(g["normals"], np.tile([0, 0, 1], (8, 1)))
    np.testing.assert_array_equal(g["material_ids"], [5, 5, 5, 5, 5, 5, 2, 2])
    np.testing.assert_array_equal(g["instance_ids"], [0, 0, 0, 1, 1, 1, 2, 3])
    np.testing.assert_array_equal(g["primitive_ids"], [0, 1, 2, 0, 1, 2, 0, 0])
    np.testing.assert_array_equal(s.get_primitive_areas(), g["areas"])
    np.testing.assert_array_equal(s.get_primitive_mat_ids(), g["material_ids"])
    assert s.get_primitive_mat_ids().dtype == np.int32 and s.n_primitives() == 8

    s.set_primitive_temperatures(np.full(8, 300.0))
    s.set_primitive_emissivities(np.linspace(0.9, 1.0, 8))
    np.testing.assert_allclose(s.get_primitive_emissivities(), np.linspace(0.9, 1.0, 8))
    s.set_primitive_sif_spectra(np.ones(16), 2)
    s.clear_primitive_temperatures()
    s.clear_primitive_sif_spectra()
    assert s.get_primitive_temperatures().shape == (0,)


def test_contexts_and_scenes_in_a_loop_do_not_leak():
    def rss_mb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    rays = np.tile([0.2, 0.2, 1.0], (100_000, 1)).astype(np.float32)
    down = np.tile([0.0, 0.0, -1.0], (100_000, 1)).astype(np.float32)

    def cycle():
        # The scene alone keeps its context alive.
        scene = tri_scene(velm.VulkanSceneManager(velm.VulkanContext(), TRACE_SHADER))
        assert scene.trace_closest(rays, down)["hit"].all()

    for _ in range(10):
        cycle()
    before = rss_mb()
    for _ in range(20):
        cycle()
    # Each cycle allocates about 7 MB of buffers; kept, they would add up to well over 100 MB.
    assert rss_mb() - before < 30


PROFILE_DURING_A_RUN = """
import sys, threading, time
import numpy as np
import velm_gpu as v
sys.path.insert(0, sys.argv[1])
import scenes
from conftest import TRACE_SHADER

s = v.VulkanSceneManager(v.VulkanContext(), TRACE_SHADER)
scenes.lambertian_plane(s, [0.3], [1000.0], scenes.sun_direction(30, 0), half=5.0)
s.build()
started = threading.Event()
flux = threading.Thread(target=lambda: s.simulate_flux(
    2, 2, 2 * 2**21, 1, max_depth=1, progress=lambda *a: started.set()))
flux.start()
started.wait()
s._last_simulation_profile()
flux.join()
n = 2 * 2**20
rays = np.tile(np.float32([[0.3, 0.2, 5.0]]), (n, 1)), np.tile(np.float32([[0, 0, -1]]), (n, 1))
started.clear()
trace = threading.Thread(target=lambda: (started.set(), s.trace_closest(*rays)))
trace.start()
started.wait()
time.sleep(0.1)
s._last_trace_profile()
trace.join()
print("done")
"""


def test_profiles_asked_for_during_a_run_wait_for_it():
    # The run needs the interpreter lock between its dispatches; a profile query from another
    # thread waits for the run without holding it (holding it, both waited for ever).
    out = subprocess.run([sys.executable, "-c", PROFILE_DURING_A_RUN, os.path.dirname(__file__)],
                         capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout.strip()) == (0, "done"), out.stderr[-2000:]


def test_threads_share_a_context_and_a_scene(vk_context):
    scenes = [tri_scene(velm.VulkanSceneManager(vk_context, TRACE_SHADER)) for _ in range(2)]
    rng = np.random.default_rng(3)
    origins = np.c_[rng.uniform(-0.5, 1.5, (20_000, 2)), np.ones(20_000)].astype(np.float32)
    down = np.tile([0.0, 0.0, -1.0], (20_000, 1)).astype(np.float32)
    expected = scenes[0].trace_closest(origins, down)["hit"]
    errors = []

    def work(scene):
        try:
            for _ in range(5):
                np.testing.assert_array_equal(scene.trace_closest(origins, down)["hit"], expected)
        except Exception as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(s,)) for s in scenes + scenes]
    for t in threads:
        t.start()
    # While a trace holds a scene (the interpreter lock released), changes to it are refused.
    refused = []
    while any(t.is_alive() for t in threads) and not refused:
        try:
            scenes[0].build()
        except RuntimeError as e:
            refused.append(str(e))
    for t in threads:
        t.join()
    assert errors == []
    assert refused == ["scene is in use by a running simulation"]
