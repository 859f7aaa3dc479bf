"""Throughput of simulate_lidar_cpu against the raw Embree closest-hit rate on the same rays.

Builds a forest of about one million instanced triangles (a ground plane plus instanced icosphere
crowns and cylinder trunks), scans it with an airborne-style pulse pattern and reports:

- pulses/s and rays/s of simulate_lidar_cpu on 1 and 2 workers, and the speed-up;
- the raw Embree rtcIntersect1 rate for exactly the same beam rays on the same scene (the replay
  of the simulation's own rays), measured in the same run by bench/lidar_raw_rays.cpp (built next
  to the module as `lidar_raw_rays`) from a scene file this script writes, and the ratio of the
  two;
- the ratio to the closest-hit rate of random rays (uniform origins in the scene box, uniform
  directions) on the same scene, the yardstick of the other CPU benchmarks.

    PYTHONPATH=build/package python bench/bench_lidar.py [--pulses N] [--raw-bin PATH]
"""

import argparse
import contextlib
import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no idle BLAS threads competing for cores

import numpy as np  # noqa: E402

import velm_gpu as velm  # noqa: E402

BEAM_HALF_ANGLE = 0.0005
BEAM_SAMPLES = 10


def rot_z_scale(angle, sx, sy, sz, t):
    c, s = np.cos(angle), np.sin(angle)
    return [c * sx, -s * sy, 0, t[0], s * sx, c * sy, 0, t[1], 0, 0, sz, t[2]]


def build_forest(num_trees, seed=1):
    """Returns (scene, meshes, instances) with meshes as (vertices, normals, indices) and
    instances as (mesh id, 12 floats)."""
    rng = np.random.default_rng(seed)
    meshes = [velm.make_ground_plane(100.0, 100.0, max_tri_edge=2.0),
              velm.make_sphere(1.0, np.zeros(3, np.float32), 2),
              velm.make_cylinder(0.15, 1.0, 16)]
    materials = [0, 1, 2]
    xy = rng.uniform(-95, 95, (num_trees, 2))
    radius = rng.uniform(1.5, 3.0, num_trees)
    height = rng.uniform(4.0, 12.0, num_trees)
    spin = rng.uniform(0, 2 * np.pi, num_trees)
    crowns = np.array([rot_z_scale(a, r, r, 1.3 * r, (x, y, h + 1.3 * r))
                       for a, r, h, (x, y) in zip(spin, radius, height, xy)], np.float32)
    trunks = np.array([rot_z_scale(a, 1, 1, h + 0.5 * r, (x, y, 0))
                       for a, r, h, (x, y) in zip(spin, radius, height, xy)], np.float32)

    s = velm.EmbreeSceneManager()
    for m, mat in zip(meshes, materials):
        s.add_mesh(m["vertices"], m["normals"], m["indices"], mat)
    s.add_instance(0)
    s.add_instances_xform(1, crowns)
    s.add_instances_xform(2, trunks)
    s.set_num_bands(1)
    # soil; leaf front, back, transmittance; bark
    s.upload_spectral_params(np.array([0.3, 0.45, 0.4, 0.45, 0.35], np.float32))
    s.add_material(0, 0, [])
    s.add_material(13, 1, [0.5, 0.5])
    s.add_material(0, 4, [])
    s.build()
    identity = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)
    instances = [(0, identity)] + [(1, c) for c in crowns] + [(2, t) for t in trunks]
    return s, meshes, instances


def scan_pattern(num_pulses, altitude=80.0, max_angle_deg=15.0, seed=2):
    """A cross-track scanner flying along y: pulses fan out in x by up to max_angle."""
    rng = np.random.default_rng(seed)
    y = np.linspace(-80, 80, num_pulses)
    ang = np.radians(rng.uniform(-max_angle_deg, max_angle_deg, num_pulses))
    origins = np.column_stack([np.zeros(num_pulses), y, np.full(num_pulses, altitude)])
    dirs = np.column_stack([np.sin(ang), np.zeros(num_pulses), -np.cos(ang)])
    return origins.astype(np.float32), dirs.astype(np.float32)


def write_scene_file(path, meshes, instances, origins, directions):
    with open(path, "wb") as f:
        f.write(b"VLRB")
        f.write(struct.pack("<i", len(meshes)))
        for m in meshes:
            v, n, t = m["vertices"], m["normals"], m["indices"]
            f.write(struct.pack("<iii", len(v), len(t), len(n)))
            f.write(np.ascontiguousarray(v, "<f4").tobytes())
            f.write(np.ascontiguousarray(n, "<f4").tobytes())
            f.write(np.ascontiguousarray(t, "<i4").tobytes())
        f.write(struct.pack("<i", len(instances)))
        for mesh_id, xf in instances:
            f.write(struct.pack("<i", mesh_id))
            f.write(np.ascontiguousarray(xf, "<f4").tobytes())
        f.write(struct.pack("<i", len(origins)))
        f.write(np.ascontiguousarray(origins, "<f4").tobytes())
        f.write(np.ascontiguousarray(directions, "<f4").tobytes())
        f.write(struct.pack("<fi", BEAM_HALF_ANGLE, BEAM_SAMPLES))


@contextlib.contextmanager
def quiet_stdout():
    """Silences the one-line log that every simulate_lidar_cpu call prints at the C level."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def time_lidar(scene, origins, directions, threads, repeats):
    """Best wall time of `repeats` calls on `threads` workers, and the last result."""
    os.environ["VELM_NUM_THREADS"] = str(threads)
    best, res = float("inf"), None
    with quiet_stdout():
        for _ in range(repeats):
            t0 = time.perf_counter()
            res = velm.simulate_lidar_cpu(scene, origins, directions, len(origins),
                                          beam_half_angle_rad=BEAM_HALF_ANGLE,
                                          beam_samples_per_dim=BEAM_SAMPLES)
            best = min(best, time.perf_counter() - t0)
    return best, res


def raw_rates(exe, path, threads):
    out = subprocess.run([str(exe), str(path), *map(str, threads)], check=True,
                         capture_output=True, text=True).stdout
    rates = {}
    for line in out.splitlines():
        fields = line.split()
        kv = dict(f.split("=") for f in fields[1:])
        rates[(fields[0], int(kv["threads"]))] = float(kv["rays_per_s"])
    return rates


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pulses", type=int, default=8000)
    ap.add_argument("--trees", type=int, default=2800)
    ap.add_argument("--rounds", type=int, default=3,
                    help="interleaved rounds of every measurement; the best of each is reported")
    ap.add_argument("--raw-bin", type=pathlib.Path,
                    default=pathlib.Path(velm.__file__).resolve().parent.parent / "lidar_raw_rays")
    args = ap.parse_args()

    t0 = time.perf_counter()
    scene, meshes, instances = build_forest(args.trees)
    tris = sum(len(meshes[m]["indices"]) for m, _ in instances)
    origins, directions = scan_pattern(args.pulses)
    rays_per_pulse = 81 if BEAM_SAMPLES == 10 else None
    rays = args.pulses * rays_per_pulse
    print(f"scene: {tris} instanced triangles in {len(instances)} instances "
          f"(built in {time.perf_counter() - t0:.2f} s)")
    have_raw = args.raw_bin.exists()
    if not have_raw:
        print(f"raw Embree rate: {args.raw_bin} not found (build the bench programs)")

    # The machine may be shared: every measurement is repeated in interleaved rounds and the best
    # of each kept, so a burst of outside load hits one sample rather than one configuration.
    time_lidar(scene, origins[:200], directions[:200], 1, 1)  # warm-up
    best = {1: float("inf"), 2: float("inf")}
    raw = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "forest.vlrb"
        write_scene_file(path, meshes, instances, origins, directions)
        for _ in range(args.rounds):
            for threads in (1, 2):
                t, res = time_lidar(scene, origins, directions, threads, 2)
                best[threads] = min(best[threads], t)
                if threads == 1:
                    ref = res
                else:
                    assert res["points"].tobytes() == ref["points"].tobytes()
            if have_raw:
                for key, rate in raw_rates(args.raw_bin, path, [1, 2]).items():
                    raw[key] = max(raw.get(key, 0.0), rate)

    t1, t2 = best[1], best[2]
    print(f"pulses: {args.pulses} x {rays_per_pulse} beam rays = {rays} rays, "
          f"{ref['num_returns']} returns; load average {os.getloadavg()[0]:.2f} "
          f"on {os.cpu_count()} cpus")
    print(f"simulate_lidar_cpu 1 worker : {args.pulses / t1:10.0f} pulses/s "
          f"{rays / t1 / 1e6:8.3f} Mrays/s")
    print(f"simulate_lidar_cpu 2 workers: {args.pulses / t2:10.0f} pulses/s "
          f"{rays / t2 / 1e6:8.3f} Mrays/s")
    print(f"speed-up 1 -> 2 workers: {t1 / t2:.2f}x (target 1.8x)")
    if not have_raw:
        return
    raw_scaling = raw[("raw_embree", 2)] / raw[("raw_embree", 1)]
    print(f"raw Embree itself: 1 -> 2 threads {raw_scaling:.2f}x (what the machine allowed)")
    for threads, t in ((1, t1), (2, t2)):
        r = raw[("raw_embree", threads)]
        closest = raw[("intersect_closest", threads)]
        print(f"raw Embree rtcIntersect1 {threads} thread(s): {r / 1e6:8.3f} Mrays/s, "
              f"EmbreeSceneManager.intersect_closest: {closest / 1e6:8.3f} Mrays/s; "
              f"simulate_lidar_cpu reaches {rays / t / r:.2f} of raw (target 0.5)")
        random = raw[("raw_random", threads)]
        print(f"   random rays {random / 1e6:8.3f} Mrays/s: simulate_lidar_cpu reaches "
              f"{rays / t / random:.2f} of the raw random rate")


if __name__ == "__main__":
    main()
