"""Forward radiation (fPAR) and flux throughput on a forest of about one million instanced
triangles: photons/s and rays/s, the ratio to the raw Embree closest-hit rate on the same forest
measured in the same run (bench program `cpu_photons`), the ratio to the replay of each
simulation's own rays (recorded from a shorter run and traced again through plain
rtcIntersect1/rtcOccluded1 in the same process on the same number of workers) and to the same
rays through the library's own ray queries (which rebuild each hit on its triangle), the
1-to-2-worker speed-up, and what per-leaf tallies cost. Each rate a ratio is formed from is the
best of three rounds in the same process, each round measuring every rate once; the rate through
Python is the best of three runs.
"""

import subprocess
import sys
from pathlib import Path

import numpy as np

import velm_gpu as velm

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_backward import python_forest  # noqa: E402
from bench_microwave import best_time  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
TRIANGLES, PHOTONS = 1_000_000, 2_000_000


def main():
    scene = python_forest()
    scene.build()
    py_rate = PHOTONS / best_time(lambda: velm.simulate_forward_cpu(
        scene, 20, 20, layer_heights=np.arange(-1, 15, 3.0), num_photons=PHOTONS, num_bands=3), 3)

    out = subprocess.run([str(ROOT / "build" / "cpu_photons"), str(TRIANGLES), str(PHOTONS)],
                         check=True, capture_output=True, text=True).stdout
    v = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 2:
            v[parts[0]] = float(parts[1])
    hw = int(v["workers"])
    print(f"forest of ~{TRIANGLES} instanced triangles, {PHOTONS} photons, 3 bands")
    print(f"simulate_forward_cpu through Python: {py_rate / 1e6:.3f} M photons/s")
    for w in sorted({1, hw}):
        raw = v[f"raw_rays_per_s_{w}"]
        replay = {"forward": v[f"replay_forward_rays_per_s_{w}"],
                  "flux": v[f"replay_flux_rays_per_s_{w}"]}
        replay["forward_leaf"] = replay["forward"]  # the same rays
        print(f"-- {w} worker(s): raw Embree {raw / 1e6:.2f} M rays/s; own rays replayed: "
              f"forward {replay['forward'] / 1e6:.2f}, flux {replay['flux'] / 1e6:.2f} M rays/s")
        for name in ("forward", "forward_leaf", "flux"):
            p, r = v[f"{name}_photons_per_s_{w}"], v[f"{name}_rays_per_s_{w}"]
            print(f"   {name:13s} {p / 1e6:.3f} M photons/s  {r / 1e6:.2f} M rays/s  "
                  f"ratio {r / raw:.2f}")
            cpu = v[f"cpu_{name}_rays_per_s_{w}"]
            cpu_replay = v[f"cpu_replay_{name.replace('_leaf', '')}_rays_per_s_{w}"]
            print(f"   {'':13s} replay ratio {r / replay[name]:.2f}; in CPU time: ratio "
                  f"{cpu / v[f'cpu_raw_rays_per_s_{w}']:.2f}, replay ratio {cpu / cpu_replay:.2f}")
            q = v[f"query_{name.replace('_leaf', '')}_rays_per_s_{w}"]
            print(f"   {'':13s} own rays through velm's ray queries (hit rebuild included) "
                  f"{q / 1e6:.2f} M rays/s: {q / replay[name]:.2f} of the replay; simulation at "
                  f"{r / q:.2f} of its queries")
    if hw > 1:
        for name in ("forward", "flux"):
            s = v[f"{name}_photons_per_s_{hw}"] / v[f"{name}_photons_per_s_1"]
            print(f"speed-up 1 -> {hw} workers, {name}: {s:.2f}x")
    cost = v[f"forward_photons_per_s_{hw}"] / v[f"forward_leaf_photons_per_s_{hw}"] - 1
    print(f"per_leaf costs {100 * cost:.1f}% extra")


if __name__ == "__main__":
    sys.exit(main())
