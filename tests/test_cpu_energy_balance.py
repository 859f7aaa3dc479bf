"""Energy balance on the CPU (run_energy_balance_cpu, run_energy_balance_multiband_cpu): closed
forms (a lone sunlit facet, a facet in an isothermal black box), the Vulkan backend's forest
reference, and the checks shared with the OptiX launches (progress: tests/test_cpu_backward.py)."""

import numpy as np
import pytest

import velm_gpu as velm
from test_optix import (black_box_facet, chunks_of_64_bands_equal_separate_calls,
                        energy_balance_totals, isolated_facet_absorbs_its_sun_and_sky,
                        isothermal_black_box_facet_absorbs_eps_sigma_t4, plane, sun_dir,
                        within_energy_balance)

pytestmark = pytest.mark.skipif(not hasattr(velm, "run_energy_balance_cpu"),
                                reason="needs the CPU backend")
run = getattr(velm, "run_energy_balance_cpu", None)
run_multiband = getattr(velm, "run_energy_balance_multiband_cpu", None)


def test_isolated_facet():
    isolated_facet_absorbs_its_sun_and_sky(plane(None, [0.3, 0.0]), run, run_multiband)


def test_chunks_of_64_bands_equal_separate_calls():
    chunks_of_64_bands_equal_separate_calls(plane(None, [0.3, 0.0]), run_multiband)


def test_isothermal_black_box():
    s = velm.EmbreeSceneManager()
    t, eps = 300.0, 0.8
    temps, emiss = black_box_facet(s, t, eps)
    top, bot = run(s, 1, 16, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, True, None, temps, emiss)
    isothermal_black_box_facet_absorbs_eps_sigma_t4(top, bot, t, eps)


def test_forest_matches_the_vulkan_backend():
    """Every material's front and back faces, short and long wave, against the Vulkan backend's
    and against the same streams' numbers recorded with the reference."""
    s = velm.EmbreeSceneManager()
    for key, totals, ref in energy_balance_totals(s, lambda *a: run(s, *a)):
        within_energy_balance(totals, ref)
        np.testing.assert_allclose(totals, ref["host_twin"], rtol=1e-6, err_msg=key)


@pytest.mark.parametrize("multiband, kwargs, exc, message", [
    # The module layer's conversions (as on the OptiX Simulator, tests/test_optix.py).
    (False, dict(sw_albedos=[[0.1]]), RuntimeError, "sw_albedos must be 1D"),
    (True, dict(n_bands=3, sun_irradiance=[1, 2]), RuntimeError,
     "sun_irradiance must be 1D with length n_bands"),
    (True, dict(n_bands=1, sw_albedos=[[0.5]]), RuntimeError,
     "sw_albedos must be 1D (flattened [n_bands * n_prims])"),
    (False, dict(temperatures=[[300.0]]), ValueError, "temperatures must be 1D"),
    # The checks shared with the OptiX launches.
    (False, dict(band_type=2), ValueError, "run_energy_balance_cpu: band_type must be 0"),
    (False, dict(n_samples=0), ValueError, "run_energy_balance_cpu: n_samples must be > 0"),
    (True, dict(n_bands=0), ValueError, "run_energy_balance_multiband_cpu: n_bands must be > 0"),
    (False, dict(sw_albedos=[0.1]), ValueError,
     "run_energy_balance_cpu: sw_albedos must have n_primitives (2) values, got 1"),
    (True, dict(n_bands=2, sw_albedos=[0.1] * 2), ValueError,
     "run_energy_balance_multiband_cpu: sw_albedos must have n_bands * n_primitives values"),
    (False, dict(sw_albedos=[0.1, 1.5]), ValueError,
     "run_energy_balance_cpu: sw_albedos of primitive 1 must lie in [0, 1]"),
    (False, dict(sun_irradiance=-1.0), ValueError,
     "run_energy_balance_cpu: sun_irradiance must be finite and not negative"),
    (False, dict(sun_irradiance=1.0, sun_dir_z=0.0), ValueError,
     "run_energy_balance_cpu: the sun direction"),
    (False, dict(temperatures=[300.0]), ValueError,
     "run_energy_balance_cpu: temperatures (one per primitive) must have 2 values, got 1"),
    (False, dict(emissivities=[0.5, -0.1]), ValueError,
     "run_energy_balance_cpu: emissivities of primitive 1 must lie in [0, 1]"),
    (False, dict(unbuilt=True), RuntimeError, "Scene not built. Call scene.build() first."),
])
def test_bad_requests_are_refused_before_any_tracing(multiband, kwargs, exc, message):
    s = velm.EmbreeSceneManager() if kwargs.pop("unbuilt", False) else plane(None, [0.3, 0.0])
    with pytest.raises(exc) as e:
        (run_multiband if multiband else run)(s, **kwargs)
    assert str(e.value).startswith(message)
