"""Scaling out on Dask: forward photons on the benchmark forest (the twin of bench/forest.h as a
velm.Scene, about one million instanced triangles), 4 x 10^6 photons, in one process and on a
LocalCluster of two single-threaded worker processes, in the same run; what shipping the scene
description and building it cost per worker; and a sweep of 16 sun zeniths over the HET-style
canopy tile (velm.canopy_tile: leafy spheres over soil in a repeating tile), tasks per second.

    .venv/bin/python bench/bench_scale_out.py [--photons N] [--sweep-photons N]
"""

import argparse
import math
import os
import pickle
import sys
import time

import numpy as np

import velm

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_vulkan_trace import HALF, TRIANGLES, tree_transforms  # noqa: E402

LAYERS = np.arange(-1, 15, 3.0)


def forest_scene():
    """The benchmark forest: a 200 m x 200 m ground of 2 m triangles and seeded trees (a 16-sided
    trunk under an icosphere crown, scaled 0.7 to 1.3) up to about a million instanced triangles,
    three bands, sun and sky, an orthographic nadir sensor over the ground."""
    s = velm.Scene(bands=[470.0, 660.0, 860.0])
    s.add_material("soil", velm.Lambertian((0.10, 0.15, 0.25)))
    s.add_material("bark", velm.Lambertian((0.08, 0.10, 0.15)))
    s.add_material("leaf", velm.Leaf((0.05, 0.10, 0.45), (0.03, 0.08, 0.45),
                                     (0.06, 0.09, 0.35)))
    ground = velm.ground_plane(HALF, HALF, 2.0)
    trunk, crown = velm.cylinder(0.3, 6.0, 16), velm.sphere(3.0, (0, 0, 0), 3)
    s.add_mesh("ground", ground, "soil")
    s.add_mesh("trunk", trunk, "bark")
    s.add_mesh("crown", crown, "leaf")
    s.add_instance("ground")
    n = (TRIANGLES - len(ground["indices"])) // (len(trunk["indices"]) + len(crown["indices"]))
    trunks, crowns = tree_transforms(n)
    s.add_instances("trunk", trunks)
    s.add_instances("crown", crowns)
    d = np.array([0.35, 0.2, 0.915])
    d /= np.linalg.norm(d)
    s.sun = velm.Sun(math.degrees(math.acos(d[2])), math.degrees(math.atan2(d[1], d[0])),
                     (500.0, 600.0, 400.0))
    s.sky = velm.Sky((20.0, 25.0, 15.0))
    s.sensor = velm.Orthographic.nadir(2 * HALF, (64, 64), altitude=100.0)
    return s


def forward(scene, photons, **kw):
    return velm.absorbed(scene, layer_heights=LAYERS, nx=20, ny=20, photons=photons,
                         backend="cpu", progress=False, **kw)


def timed(fn, *args, **kw):
    t0 = time.perf_counter()
    out = fn(*args, **kw)
    return time.perf_counter() - t0, out


def build_seconds(scene):
    """Seconds to build the native CPU scene of a fresh copy of `scene` (in whatever process)."""
    from velm import _backends

    copy = pickle.loads(pickle.dumps(scene))
    t0 = time.perf_counter()
    _backends.native_scene(copy, "cpu")
    return time.perf_counter() - t0


def het(sun_zenith):
    s = velm.canopy_tile()
    s.sun = velm.Sun(sun_zenith, 0.0, (900.0, 600.0))
    return s


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--photons", type=int, default=4_000_000)
    ap.add_argument("--sweep-photons", type=int, default=100_000)
    args = ap.parse_args()
    from distributed import Client, LocalCluster, get_task_stream

    os.environ.pop("VELM_NUM_THREADS", None)
    scene = forest_scene()
    print(f"forest: {scene.primitive_count()} instanced triangles, {scene.instance_count} "
          f"instances; {args.photons} photons, grid 20x20x{len(LAYERS) - 1}, 3 bands; "
          f"{os.cpu_count()} cores")
    t_build_here = build_seconds(scene)

    # One process: one native thread, then two (each from a fresh scene: build included).
    here = {}
    for threads in ("1", "2"):
        os.environ["VELM_NUM_THREADS"] = threads
        here[threads], ref = timed(forward, forest_scene(), args.photons)
    os.environ.pop("VELM_NUM_THREADS")

    t0 = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    client = Client(cluster)
    client.wait_for_workers(2)
    t_start = time.perf_counter() - t0
    try:
        # The same request on the cluster: two batches, one per worker; cold (the description
        # shipped and built on both workers), then warm (built scenes reused).
        tasks = {}
        for run in ("cold", "warm"):
            with get_task_stream(client) as stream:
                tasks[run + "_wall"], out = timed(forward, scene, args.photons, batches=2,
                                                  client=client)
            tasks[run] = [sum(p["stop"] - p["start"] for p in t["startstops"]
                              if p["action"] == "compute") for t in stream.data
                          if "velm.absorbed" in str(t["key"])]
        cold, warm = tasks["cold_wall"], tasks["warm_wall"]
        t0 = time.perf_counter()
        future = client.scatter(scene, broadcast=True, hash=False)
        t_ship = time.perf_counter() - t0
        client.cancel([future])
        builds = client.run(build_seconds, scene)
        size = len(pickle.dumps(scene)) / 2**20

        f = ref.absorbed_fraction.sum(("layer", "y", "x")).values
        g = out.absorbed_fraction.sum(("layer", "y", "x")).values
        print(f"\ncluster start (2 worker processes x 1 thread): {t_start:.1f} s (not counted)")
        print(f"one process, 1 thread : {here['1']:.2f} s  "
              f"({args.photons / here['1'] / 1e6:.3f} M photons/s)")
        print(f"one process, 2 threads: {here['2']:.2f} s  "
              f"({args.photons / here['2'] / 1e6:.3f} M photons/s)")
        print(f"cluster 2 x 1, cold   : {cold:.2f} s  speed-up {here['1'] / cold:.2f}x over 1 "
              f"thread, {here['2'] / cold:.2f}x of the 2-thread process")
        print(f"cluster 2 x 1, warm   : {warm:.2f} s  speed-up {here['1'] / warm:.2f}x over 1 "
              f"thread, {here['2'] / warm:.2f}x of the 2-thread process")
        print(f"scene description {size:.1f} MiB pickled; shipping it to both workers "
              f"{t_ship * 1e3:.0f} ms; native build {t_build_here:.2f} s here, per worker "
              + ", ".join(f"{v:.2f} s" for v in builds.values()))
        for run in ("cold", "warm"):
            longest = max(tasks[run])
            print(f"{run}: tasks computed " + ", ".join(f"{t:.2f} s" for t in tasks[run]) +
                  f"; wall minus the longest task (scheduling, shipping, transfers, merging): "
                  f"{tasks[run + '_wall'] - longest:.2f} s ({100 * (tasks[run + '_wall'] / longest - 1):.1f}%)")
        print(f"absorbed fraction per band, one process {np.round(f, 4)}, cluster "
              f"{np.round(g, 4)}")

        zeniths = list(np.linspace(0.0, 75.0, 16))
        kw = dict(layer_heights=[0.0, 2.0, 4.0, 6.0], photons=args.sweep_photons,
                  brf_directions=[(0.0, 0.0)], backend="cpu")
        t_here, _ = timed(velm.sweep, het, {"sun_zenith": zeniths}, "absorbed",
                          progress=False, **kw)
        t_there, res = timed(velm.sweep, het, {"sun_zenith": zeniths}, "absorbed",
                             client=client, progress=False, **kw)
        print(f"\nsweep of 16 sun zeniths over the HET-style canopy tile ({args.sweep_photons} "
              f"photons each, BRF at nadir): one process {16 / t_here:.1f} tasks/s "
              f"({t_here:.2f} s), cluster {16 / t_there:.1f} tasks/s ({t_there:.2f} s)")
        print("nadir BRF (860 nm) vs sun zenith:",
              np.round(res.brf.isel(direction=0, band=-1).values, 3))
    finally:
        client.close()
        cluster.close()


if __name__ == "__main__":
    sys.exit(main())
