"""velm batches, seeds and sweeps, in this process and on a local Dask cluster of two worker
processes: merged batches against the runs they are made of, the cluster against this process
(bit for bit: the native results do not depend on the thread count), the Monte Carlo variance of
batches with independent streams, failures that name their parameter set, and pickling of what
tasks carry."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import velm
from velm.parallel import batch_seed, cached_scene, split

LAYERS = [0.0, 2.0, 4.0, 6.0]


def tile(sun_zenith=40.0, soil=0.2):
    s = velm.canopy_tile()
    s.sun = velm.Sun(sun_zenith, 0.0, (900.0, 600.0))
    s.materials["soil"] = velm.Lambertian((soil, soil + 0.1))
    s.sensor = velm.Orthographic.nadir(10.0, (4, 3), center=(5.0, 5.0), altitude=20.0)
    return s


def broken_tile(sun_zenith, soil):
    if sun_zenith > 50:
        raise ValueError(f"no canopy under a sun at {sun_zenith} degrees")
    return tile(sun_zenith, soil)


# Each simulation with a small budget (name -> (call, budget argument, total)).
PULSES = velm.nadir_pulses(4.0, 1.0, 10.0)
RUNS = {
    "render": (lambda s, **k: velm.render(s, **k), "spp", 6),
    "absorbed": (lambda s, **k: velm.absorbed(s, layer_heights=LAYERS, nx=2, ny=2,
                                              brf_directions=[(0, 0), (30, 90)], **k),
                 "photons", 30_000),
    "flux": (lambda s, **k: velm.flux(s, nx=2, ny=2, decompose=True, **k), "photons", 30_000),
    "energy_balance": (lambda s, **k: velm.energy_balance(s, longwave_sky_radiance=100.0, **k),
                       "samples", 6),
    "microwave": (lambda s, **k: velm.microwave(s, {"soil": velm.Soil(),
                                                    "leaf": velm.Vegetation()}, **k), "spp", 6),
}


def run(name, scene, budget=None, **kw):
    call, arg, total = RUNS[name]
    return call(scene, **{arg: total if budget is None else budget}, backend="cpu",
                progress=False, **kw)


def values(result):
    if hasattr(result, "data_vars"):
        return {k: np.asarray(v.values) for k, v in result.data_vars.items()}
    return {result.name: np.asarray(result.values)}


# ---- in this process ---------------------------------------------------------------------------

def test_batch_seeds_and_budgets():
    for seed in (0, 1, 2**64 - 1):
        seeds = [batch_seed(seed, k) for k in range(64)]
        assert seeds[0] == seed and 0 not in seeds[1:] and len(set(seeds)) == 64
        assert all(0 < s < 2**64 for s in seeds[1:])
    assert split(10, 3) == [4, 3, 3] and split(2, 5) == [1, 1]


@pytest.mark.parametrize("name", list(RUNS))
def test_batches_merge_the_runs_they_are_made_of(name):
    scene, total = tile(), RUNS[name][2]
    merged = run(name, scene, batches=3, seed=7)
    parts = [run(name, scene, budget=b, seed=batch_seed(7, k))
             for k, b in enumerate(split(total, 3))]
    assert merged.attrs["batches"] == 3 and merged.attrs[RUNS[name][1]] == total
    for key, got in values(merged).items():
        want = sum(b * values(p)[key].astype(np.float64)
                   for b, p in zip(split(total, 3), parts)) / total
        np.testing.assert_allclose(got, want, rtol=2e-6, atol=1e-30, err_msg=key)


def test_lidar_batches_keep_the_global_pulse_ids():
    scene = velm.lambertian_plane(0.4, half=10.0)
    o, d = PULSES
    whole = velm.lidar(scene, o, d, max_range=20.0, backend="cpu", progress=False)
    parts = velm.lidar(scene, o, d, max_range=20.0, batches=3, backend="cpu", progress=False)
    assert parts.attrs["pulses"] == len(o) == 16 and parts.sizes == whole.sizes
    # Every pulse hits the plane once, 10 m down, whichever batch fired it.
    np.testing.assert_array_equal(parts.pulse, np.arange(16))
    np.testing.assert_allclose(parts.range, 10.0, atol=0.1)
    np.testing.assert_array_equal(parts.pulse_index, np.arange(16))
    np.testing.assert_allclose(parts.waveform.sum(("range_bin", "band")),
                               whole.waveform.sum(("range_bin", "band")), rtol=0.05)


def test_merged_batches_estimate_the_whole_budget():
    # Energy is conserved in every batch; the merged absorbed fraction agrees with one run of the
    # whole budget within Monte Carlo error (the error of a quarter budget: with a native module
    # whose seeds are not there yet, the four batches repeat one stream).
    scene, n = tile(), 200_000
    whole = run("absorbed", scene, budget=n)
    merged = run("absorbed", scene, budget=n, batches=4, seed=3)
    for r in (whole, merged):
        total = r.absorbed_fraction.sum(("layer", "y", "x")) + r.albedo
        assert np.all(total.values <= 1.0 + 1e-9)
    f = merged.absorbed_fraction.sum(("layer", "y", "x")).values
    g = whole.absorbed_fraction.sum(("layer", "y", "x")).values
    sigma = np.sqrt(g * (1 - g) / (n / 4))
    assert np.all(np.abs(f - g) < 5 * sigma), (f, g, sigma)


def test_seeds_repeat_and_batches_are_independent():
    scene, n, m = tile(), 4_000, 40
    a = run("absorbed", scene, budget=n, seed=11)
    np.testing.assert_array_equal(a.absorbed, run("absorbed", scene, budget=n, seed=11).absorbed)
    assert not np.array_equal(a.absorbed, run("absorbed", scene, budget=n, seed=12).absorbed)
    # Four quarter-budget batches with independent streams have the variance of one run of the
    # whole budget (repeated streams would have four times as much).
    one = [run("absorbed", scene, budget=n, seed=1000 + i).absorbed_fraction.sum().item()
           for i in range(m)]
    four = [run("absorbed", scene, budget=n, batches=4, seed=i + 1).absorbed_fraction.sum().item()
            for i in range(m)]
    ratio = np.var(four, ddof=1) / np.var(one, ddof=1)
    assert 0.4 < ratio < 2.5, ratio


def test_scenes_of_one_geometry_share_the_built_geometry():
    a, b = tile(20.0), tile(50.0, soil=0.4)
    cached_scene(a)
    first = run("absorbed", a)
    native = a._native["cpu"]["native"]
    b = cached_scene(b)
    assert b._native["cpu"]["native"] is native and not a._native
    np.testing.assert_array_equal(run("absorbed", b).absorbed, run("absorbed", tile(50.0, 0.4))
                                  .absorbed)
    assert cached_scene(tile(20.0)) is a  # the same description: the cached copy
    np.testing.assert_array_equal(run("absorbed", cached_scene(tile(20.0))).absorbed,
                                  first.absorbed)


def test_what_tasks_carry_pickles():
    scene = velm.procedural_forest(n_trees=2, pixels=(4, 4))
    velm.render(scene, spp=1, backend="cpu", progress=False)  # a built native scene stays behind
    things = [velm.RPV(0.1, 0.8, -0.2, 1.1), velm.Leaf(0.1, 0.05, 0.1), velm.Lambertian((0.1, 0.2)),
              velm.Sun(30, 10, (1, 2)), velm.Sky(0.1), velm.Tile(5, 5, 3),
              velm.Orthographic.nadir(4.0, (2, 2)), velm.Fisheye.upward((1, 1, 1), fov=170.0),
              velm.Perspective.look_at((0, -5, 5), fov=40.0, pixels=(3, 2)),
              velm.Soil(moisture=0.3), velm.Vegetation(), velm.Trunk()]
    for x in things:
        assert pickle.loads(pickle.dumps(x)) == x, x
    copy = pickle.loads(pickle.dumps(scene))
    assert copy.fingerprint() == scene.fingerprint() and not copy._native
    image = velm.render(copy, spp=1, backend="cpu", progress=False)
    back = pickle.loads(pickle.dumps(image))
    assert back.identical(velm.render(scene, spp=1, backend="cpu", progress=False))
    ds = run("absorbed", tile(), budget=1000)
    assert pickle.loads(pickle.dumps(ds)).identical(ds)
    err = velm.TaskError("batch 1 failed", task="batch 1")
    assert str(pickle.loads(pickle.dumps(err))) == "batch 1 failed"


@pytest.mark.parametrize("call, exc, message", [
    (lambda s: velm.render(s, spp=2, batches=0), ValueError, "batches must be at least 1"),
    (lambda s: velm.render(s, spp=2, seed=-1), ValueError, r"seed must be in \[0, 2\^64 - 1\]"),
    (lambda s: velm.flux(s, nx=1, ny=1, seed=2**64), ValueError, "seed must be in"),
    (lambda s: velm.absorbed(s, layer_heights=LAYERS, seed=0.5), TypeError,
     "seed must be an integer"),
    (lambda s: velm.absorbed(s, layer_heights=LAYERS, photons=0, batches=2), ValueError,
     "photons must be at least 1"),
    (lambda s: velm.sweep(tile, {}, "render"), ValueError, "non-empty dict"),
    (lambda s: velm.sweep(tile, {"soil": []}, "render"), ValueError, "'soil' has no values"),
    (lambda s: velm.sweep(tile, {"soil": [0.1, 0.1]}, "render"), ValueError, "repeats"),
    (lambda s: velm.sweep(tile, {"soil": [0.1]}, "paint"), ValueError, "one of render"),
    (lambda s: velm.sweep(lambda soil: 3, {"soil": [0.1]}, progress=False), TypeError,
     "must return a velm.Scene"),
])
def test_bad_requests_are_refused(call, exc, message):
    with pytest.raises(exc, match=message):
        call(tile())


def test_sweep_here_stacks_results_and_names_a_failing_parameter_set():
    seen = []
    result = velm.sweep(tile, {"sun_zenith": [0.0, 30.0, 60.0]}, "flux", nx=1, ny=1,
                        photons=5_000, backend="cpu",
                        progress=lambda done, total, ms: seen.append((done, total)))
    assert seen == [(1, 3), (2, 3), (3, 3)]
    assert result.downwelling.dims[0] == "sun_zenith"
    down = result.downwelling.sum(("x", "y")).values[:, 0]
    assert down[0] > down[1] > down[2]  # less sun on the ground as it sinks
    with pytest.raises(ValueError, match=r"parameter set \(sun_zenith=60, soil=0.2\) failed: "
                                         r"ValueError: no canopy under a sun at 60") as e:
        velm.sweep(broken_tile, {"sun_zenith": [10, 60], "soil": [0.2]}, "render", spp=1,
                   backend="cpu", progress=False)
    assert isinstance(e.value, velm.TaskError) and isinstance(e.value.__cause__, ValueError)
    again = pickle.loads(pickle.dumps(e.value))
    assert isinstance(again, velm.TaskError) and isinstance(again, ValueError) and str(again) == str(e.value)


def test_velm_works_without_dask():
    code = ("import sys; sys.modules['dask'] = sys.modules['distributed'] = None\n"
            "import velm\n"
            "r = velm.flux(velm.canopy_tile(), nx=1, ny=1, photons=2000, batches=2, "
            "backend='cpu', progress=False)\n"
            "assert r.attrs['batches'] == 2\n")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120,
                   stdout=subprocess.DEVNULL)


# ---- on a local cluster of two worker processes -------------------------------------------------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, worker_dashboard_address=None)
    c = distributed.Client(cluster, timeout=60)
    try:
        c.wait_for_workers(2, timeout=120)
        yield c
    finally:
        c.close(timeout=30)
        cluster.close(timeout=30)


def test_cluster_sweep_equals_the_sweep_here(client):
    grid = {"sun_zenith": [20.0, 45.0], "soil": [0.1, 0.3]}
    kw = dict(layer_heights=LAYERS, photons=20_000, backend="cpu")
    there = velm.sweep(tile, grid, "absorbed", client=client, progress=False, **kw)
    here = velm.sweep(tile, grid, "absorbed", progress=False, **kw)
    assert there.absorbed.dims[:2] == ("sun_zenith", "soil")
    assert list(there.sun_zenith.values) == [20.0, 45.0] and list(there.soil.values) == [0.1, 0.3]
    assert there.identical(here)
    for i, z in enumerate(grid["sun_zenith"]):
        for j, soil in enumerate(grid["soil"]):
            one = velm.absorbed(tile(z, soil), progress=False, **kw)
            np.testing.assert_array_equal(there.absorbed[i, j], one.absorbed)
    # Each worker runs one native thread and keeps the scenes it built.
    info = client.run(lambda: (os.environ.get("VELM_NUM_THREADS"),
                               len(__import__("velm").parallel._scenes)))
    assert {t for t, _ in info.values()} == {"1"} and sum(n for _, n in info.values()) >= 4


def test_cluster_batches_equal_the_batches_here(client):
    scene = tile()
    one = run("absorbed", scene, batches=1, client=client)
    np.testing.assert_array_equal(one.absorbed, run("absorbed", scene).absorbed)
    there = run("render", scene, batches=3, seed=5, client=client)
    here = run("render", scene, batches=3, seed=5)
    np.testing.assert_array_equal(there.values, here.values)
    o, d = PULSES
    plane = velm.lambertian_plane(0.4, half=10.0)
    pts = velm.lidar(plane, o, d, max_range=20.0, batches=4, client=client, backend="cpu",
                     progress=False)
    np.testing.assert_array_equal(pts.pulse, np.arange(16))


def test_cluster_failure_names_the_parameter_set_and_ctrl_c_cancels(client, monkeypatch):
    with pytest.raises(ValueError, match=r"parameter set \(sun_zenith=70, soil=0.2\) failed: "
                                         r"ValueError: no canopy under a sun at 70") as e:
        velm.sweep(broken_tile, {"sun_zenith": [10, 70], "soil": [0.2]}, "flux", nx=1, ny=1,
                   photons=1000, backend="cpu", client=client, progress=False)
    assert isinstance(e.value, velm.TaskError)

    import distributed

    submitted = []

    def interrupted(futures):
        submitted.extend(futures)
        raise KeyboardInterrupt

    monkeypatch.setattr(distributed, "as_completed", interrupted)
    with pytest.raises(KeyboardInterrupt):
        velm.sweep(tile, {"sun_zenith": [10, 20, 30]}, "render", spp=64, backend="cpu",
                   client=client, progress=False)
    assert len(submitted) == 3 and all(f.cancelled() for f in submitted)
