"""Seeds: every simulation takes `seed`; 0 gives the unseeded streams, any other seed streams
independent of them, the same on every backend (the CPU and Vulkan streams are compared with the
backends' images, flux and radiation fields: tests/test_vulkan_simulations.py) and for any worker
count."""

import numpy as np
import pytest
from scipy import stats

import scenes
import velm_gpu as velm
from conftest import new_scene

SEED = 0x9E3779B97F4A7C15  # above 2^63: all 64 bits reach the streams


def forest(s):
    scenes.procedural_forest(s, 5, 3, bands=2, extent=20.0, sensor=(12, 12))


def tile(s):
    scenes.canopy_tile(s, repetitions=2)


def microwave_view(s):
    scenes.oblique_forest(s, 5, 3, 6, 6, bands=2, extent=20.0)


def wavefront(active):
    """Rays of the oblique view and the forest's tables for the Vulkan microwave call."""
    def run(s, **kw):
        _, origins, direction = scenes.oblique_view(35.0, 20.0)
        u = np.linspace(-0.45, 0.45, 6)
        o = origins(*np.meshgrid(u, u)).reshape(-1, 3)
        zero = np.zeros((len(o), 1), np.float32)
        d = np.broadcast_to(direction, o.shape)
        return s.run_microwave_wavefront(
            active, 2, 285.0, 0.01, origins=np.hstack([o, zero]).astype(np.float32),
            directions=np.hstack([d, zero]).astype(np.float32),
            **scenes.microwave_forest_tables(1.4e9), **kw)
    return run


SUN = (0.3, 0.2, 0.9)
MW = dict(frequency=1.4e9, n_channels=4, spp=3, **scenes.microwave_forest_request())
LIDAR_PULSES = np.float32([[x, y, 30.0] for x in (-3.0, 0.0, 3.0) for y in (-3.0, 3.0)])

# (backend, scene builder, run(scene, **seed), draws random numbers)
RUNS = {
    "simulate_cpu": ("cpu", forest, lambda s, **k: velm.simulate_cpu(s, 2, 6, **k), True),
    "simulate_forward_cpu": ("cpu", tile, lambda s, **k: velm.simulate_forward_cpu(
        s, 3, 3, layer_heights=[-1, 2, 6], num_photons=20000, num_bands=2, per_leaf=True,
        terrain_instance_id=0, **k), True),
    "simulate_flux_cpu": ("cpu", tile, lambda s, **k: velm.simulate_flux_cpu(
        s, 4, 4, 20000, 2, prob_sun=0.7, decompose=True, **k), True),
    "simulate_microwave_cpu": ("cpu", microwave_view, lambda s, **k: velm.simulate_microwave_cpu(
        s, max_depth=4, **MW, **k), True),
    "simulate_active_microwave_cpu": ("cpu", microwave_view,
                                      lambda s, **k: velm.simulate_active_microwave_cpu(
                                          s, **MW, **k), True),
    "run_energy_balance_cpu": ("cpu", tile, lambda s, **k: velm.run_energy_balance_cpu(
        s, 0, 4, 800.0, 30.0, 0.0, *SUN, True, **k), True),
    "run_energy_balance_multiband_cpu": ("cpu", tile,
                                         lambda s, **k: velm.run_energy_balance_multiband_cpu(
                                             s, 2, 4, [800.0, 500.0], [30.0, 20.0], *SUN, **k),
                                         True),
    "simulate_lidar_cpu": ("cpu", forest, lambda s, **k: velm.simulate_lidar_cpu(
        s, LIDAR_PULSES, np.float32([[0, 0.3, -1]] * 6), 6, **k), False),
    "simulate_backward": ("vulkan", forest, lambda s, **k: s.simulate_backward(2, 6, **k), True),
    "simulate_flux": ("vulkan", tile, lambda s, **k: s.simulate_flux(
        4, 4, 20000, 2, prob_sun=0.7, decompose=True, **k), True),
    "simulate_forward_radiation": ("vulkan", tile, lambda s, **k: s.simulate_forward_radiation(
        3, 3, [-1, 2, 6], 20000, 2, per_leaf=True, terrain_instance_id=0, **k), True),
    "run_energy_balance_gpu": ("vulkan", tile, lambda s, **k: s.run_energy_balance_gpu(
        0, 4, 800.0, 30.0, 0.0, *SUN, True, **k), True),
    "run_energy_balance_multiband_gpu": ("vulkan", tile,
                                         lambda s, **k: s.run_energy_balance_multiband_gpu(
                                             2, 4, [800.0, 500.0], [30.0, 20.0], *SUN, True,
                                             **k), True),
    "run_microwave_wavefront passive": ("vulkan", microwave_view, wavefront(False), True),
    "run_microwave_wavefront active": ("vulkan", microwave_view, wavefront(True), True),
}


def arrays(result):
    """The result's arrays, in a fixed order, whatever its form (array, tuple or dict)."""
    if isinstance(result, dict):
        return [np.asarray(result[k]) for k in sorted(result)]
    if isinstance(result, tuple):
        return [np.asarray(a) for a in result]
    return [np.asarray(result)]


def identical(a, b):
    return all(x.shape == y.shape and x.tobytes() == y.tobytes()
               for x, y in zip(arrays(a), arrays(b), strict=True))


def built(backend, build, request=None):
    s = new_scene(backend, request)
    build(s)
    s.build()
    return s


@pytest.mark.parametrize("name", [
    pytest.param(n, marks=[pytest.mark.vulkan] if RUNS[n][0] == "vulkan" else [])
    for n in RUNS])
def test_seed_zero_is_the_default_and_a_seed_repeats_exactly(request, name):
    backend, build, run, random = RUNS[name]
    s = built(backend, build, request)
    default = run(s)
    assert identical(run(s, seed=0), default)
    seeded = run(s, seed=SEED)
    assert identical(run(s, seed=SEED), seeded)
    # Another seed draws other numbers (LiDAR draws none).
    assert identical(seeded, default) != random
    assert identical(run(s, seed=1), seeded) != random


@pytest.mark.parametrize("name", [n for n in RUNS if RUNS[n][0] == "cpu" and RUNS[n][3]])
def test_a_cpu_run_is_the_same_on_any_worker_count(monkeypatch, name):
    _, build, run, _ = RUNS[name]
    s = built("cpu", build)
    for seed in (0, SEED):
        results = []
        for threads in ("1", "2", "5"):
            monkeypatch.setenv("VELM_NUM_THREADS", threads)
            results.append(run(s, seed=seed))
        assert identical(results[0], results[1]) and identical(results[0], results[2])


def test_two_half_runs_of_different_seeds_have_the_variance_of_one_full_run():
    """The absorbed energy of a canopy tile (its fPAR) from N photons, over K seeds: the mean of
    two N/2-photon runs with different seeds varies as one N-photon run (their variances' ratio
    within the F distribution's 99.9% interval), while two N/2 runs with the same seed repeat
    each other and vary as one N/2 run, twice as much."""
    s = built("cpu", tile)
    n, k = 2000, 300

    def absorbed(photons, seed):
        r = velm.simulate_forward_cpu(s, 1, 1, layer_heights=[-1, 6], num_photons=photons,
                                      num_bands=2, seed=seed)
        return float(r["grid"][..., 0].sum())

    full = np.array([absorbed(n, 1 + i) for i in range(k)])
    split = np.array([(absorbed(n // 2, 10**6 + 2 * i) + absorbed(n // 2, 10**6 + 2 * i + 1)) / 2
                      for i in range(k)])
    same = np.array([(absorbed(n // 2, 2 * 10**6 + i) + absorbed(n // 2, 2 * 10**6 + i)) / 2
                     for i in range(k)])
    lo, hi = stats.f.ppf([0.0005, 0.9995], k - 1, k - 1)
    assert abs(split.mean() - full.mean()) < 4 * np.sqrt((split.var() + full.var()) / k)
    assert lo < split.var(ddof=1) / full.var(ddof=1) < hi
    assert same.var(ddof=1) / full.var(ddof=1) > hi
    assert lo < same.var(ddof=1) / (2 * full.var(ddof=1)) < hi


BAD_SEEDS = [-1, 2**64, 1.5, "1", None]


@pytest.mark.parametrize("call", [
    lambda seed: velm.simulate_flux_cpu(velm.EmbreeSceneManager(), 1, 1, 10, 1, seed=seed),
    lambda seed: velm.VulkanSceneManager.__new__(velm.VulkanSceneManager).simulate_flux(
        1, 1, 10, 1, seed=seed),
    lambda seed: velm.Simulator.__new__(velm.Simulator).simulate_flux(
        velm.SceneManager.__new__(velm.SceneManager), 1, 1, 10, 1, seed=seed),
], ids=["cpu", "vulkan", "optix"])
@pytest.mark.parametrize("seed", BAD_SEEDS, ids=repr)
def test_a_seed_outside_64_unsigned_bits_is_a_type_error_on_every_backend(call, seed):
    """The conversion refuses it before the scene is looked at, so no device is needed."""
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(seed)
