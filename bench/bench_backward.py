"""Backward image simulation throughput on a forest of about one million instanced triangles.

Prints paths/s and rays/s of simulate_cpu, the raw Embree closest-hit rate for incoherent rays on
the same forest measured in the same run (bench program `cpu_paths`, linked with the same core
library), their ratio, the ratio to the replay of the simulation's own rays (recorded from one
pass and traced again through plain rtcIntersect1/rtcOccluded1 in the same process on the same
number of workers), the rate of the same rays through the library's own ray queries (which
rebuild each hit on its triangle), the 1-to-2-worker speed-up and the Embree build time. Each rate
a ratio is formed from is the best of three: of three rounds in the core program, each round
measuring every rate once, and of three images through Python.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

import velm_gpu as velm

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
import scenes  # noqa: E402
from bench_microwave import best_time  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
TRIANGLES, SIZE, SPP = 1_000_000, 256, 4


def python_forest():
    """The forest of bench/forest.h, built through the Python API (tests/scenes.py)."""
    s = velm.EmbreeSceneManager()
    scenes.benchmark_forest(s, TRIANGLES, size=SIZE)
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
        rates[workers] = SIZE * SIZE * SPP / best_time(lambda: velm.simulate_cpu(scene, spp=SPP), 3)
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
        replay = core[f"replay_rays_per_s_{w}"]
        print(f"   own rays replayed {replay / 1e6:.2f} M rays/s; replay ratio {rays / replay:.2f}")
        queries = core[f"query_rays_per_s_{w}"]
        print(f"   own rays through velm's ray queries (hit rebuild included) {queries / 1e6:.2f} "
              f"M rays/s: {queries / replay:.2f} of the replay; simulation at "
              f"{rays / queries:.2f} of its queries")
        cpu = {k: core[f"cpu_{k}_{w}"] for k in ("rays_per_s", "raw_rays_per_s", "replay_rays_per_s")}
        print(f"   in CPU time (core): ratio {cpu['rays_per_s'] / cpu['raw_rays_per_s']:.2f}, "
              f"replay ratio {cpu['rays_per_s'] / cpu['replay_rays_per_s']:.2f}")
    print(f"speed-up 1 -> 2 workers: {rates['2'] / rates['1']:.2f}x")


if __name__ == "__main__":
    sys.exit(main())
