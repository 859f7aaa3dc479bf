"""Backward image simulation throughput on a forest of about one million instanced triangles.

Prints paths/s and rays/s of simulate_cpu, the raw Embree closest-hit rate for incoherent rays on
the same forest measured in the same run (bench program `cpu_paths`, linked with the same core
library), their ratio, the 1-to-2-worker speed-up and the Embree build time.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import velm_gpu as velm

ROOT = Path(__file__).resolve().parents[1]
TRIANGLES, SIZE, SPP = 1_000_000, 256, 4


def python_forest(half=100.0):
    """The forest of bench/forest.h, built through the Python API."""
    s = velm.EmbreeSceneManager()
    ground = velm.make_ground_plane(half, half, 0, 2.0)
    trunk = velm.make_cylinder(0.3, 6.0, 16)
    crown = velm.make_sphere(3.0, [0, 0, 0], 3)
    g = s.add_mesh(ground["vertices"], ground["normals"], ground["indices"], 0)
    t = s.add_mesh(trunk["vertices"], trunk["normals"], trunk["indices"], 1)
    c = s.add_mesh(crown["vertices"], crown["normals"], crown["indices"], 2)
    s.add_instance(g)
    per_tree = len(trunk["indices"]) + len(crown["indices"])
    n = (TRIANGLES - len(ground["indices"])) // per_tree
    rng = np.random.default_rng(12345)
    xy = rng.uniform(-0.95 * half, 0.95 * half, (n, 2))
    sc = rng.uniform(0.7, 1.3, n)
    xf = np.zeros((n, 12), np.float32)
    xf[:, 0] = xf[:, 5] = xf[:, 10] = sc
    xf[:, 3], xf[:, 7] = xy[:, 0], xy[:, 1]
    s.add_instances_xform(t, xf)
    xf[:, 11] = 8.0 * sc
    s.add_instances_xform(c, xf)
    s.set_num_bands(3)
    s.upload_spectral_params(np.array(
        [0.10, 0.15, 0.25, 0.08, 0.10, 0.15, 0.05, 0.10, 0.45, 0.06, 0.09, 0.35, 0.03, 0.08,
         0.45, 500, 600, 400, 20, 25, 15], np.float32))
    s.add_material(0, 0)
    s.add_material(0, 3)
    s.add_material(13, 6, [0.5, 0.5])
    s.set_emitter(0, np.array([0.35, 0.2, 0.915], np.float32), 15)
    s.set_sky(18)
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 100, 0, 0, 0, 1], np.float32)
    s.set_sensor(0, SIZE, SIZE, 2 * half, 2 * half, cam)
    return s


def main():
    scene = python_forest()
    t0 = time.perf_counter()
    scene.build()
    build_py = time.perf_counter() - t0
    rates = {}
    for workers in ("1", "2"):
        os.environ["VELM_NUM_THREADS"] = workers
        velm.simulate_cpu(scene, spp=1)  # warm-up
        t0 = time.perf_counter()
        velm.simulate_cpu(scene, spp=SPP)
        rates[workers] = SIZE * SIZE * SPP / (time.perf_counter() - t0)
    os.environ.pop("VELM_NUM_THREADS")

    exe = ROOT / "build" / "cpu_paths"
    out = subprocess.run([str(exe), str(TRIANGLES), str(SIZE), str(SPP)], check=True,
                         capture_output=True, text=True).stdout
    core = {k: float(v) for k, v in (line.split() for line in out.splitlines())}
    rays_per_path = core["rays_per_path"]
    print(f"forest: {int(core['instanced_triangles'])} instanced triangles, "
          f"{int(core['instances'])} instances, image {SIZE}x{SIZE}, spp {SPP}")
    print(f"Embree build: {build_py * 1e3:.1f} ms (python API), "
          f"{core['build_seconds'] * 1e3:.1f} ms (core)")
    for w in ("1", "2"):
        paths = rates[w]
        rays = paths * rays_per_path
        raw = core[f"raw_rays_per_s_{w}"]
        print(f"{w} worker(s): simulate_cpu {paths / 1e6:.3f} M paths/s, {rays / 1e6:.2f} M rays/s;"
              f" raw Embree {raw / 1e6:.2f} M rays/s; ratio {rays / raw:.2f}")
    print(f"speed-up 1 -> 2 workers: {rates['2'] / rates['1']:.2f}x")


if __name__ == "__main__":
    sys.exit(main())
