"""Microwave images on the CPU (simulate_microwave_cpu, simulate_active_microwave_cpu): closed
forms over bare soil, the Vulkan backend's forest reference, the checks the OptiX backend makes
before its device, and results independent of the worker count."""

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


def test_the_same_image_for_any_worker_count(monkeypatch):
    s = velm.EmbreeSceneManager()
    scenes.procedural_forest(s, 6, 7, sensor=None)
    cam, _, _ = scenes.oblique_view(35.0, 20.0)
    s.set_sensor(scenes.ORTHOGRAPHIC, 12, 40, 20.0, 20.0, cam)
    s.build()
    req = scenes.microwave_forest_request()
    images, calls = [], []
    for threads in ("1", "3"):
        monkeypatch.setenv("VELM_NUM_THREADS", threads)
        images.append(passive(s, 1.4e9, 4, 4, 6, 285.0, True, 0.01, **req,
                              progress=lambda *a: calls.append(a[:2])))
        images.append(active(s, 1.4e9, 4, 4, 1, 285.0, 0.01, **req))
    assert images[0].tobytes() == images[2].tobytes()
    assert images[1].tobytes() == images[3].tobytes()
    assert calls[0] == (480, 480)


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
    scenes.procedural_forest(s, 20, 7, sensor=None)
    cam, _, _ = scenes.oblique_view(35.0, 20.0)
    s.set_sensor(scenes.ORTHOGRAPHIC, 512, 512, 20.0, 20.0, cam)
    s.build()
    req = scenes.microwave_forest_request()
    assert seconds_to_stop(lambda: passive(s, spp=256, **req)) < 1.0
    assert seconds_to_stop(lambda: velm.run_energy_balance_cpu(s, 0, 1 << 16, 800.0)) < 1.0
