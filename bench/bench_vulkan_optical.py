"""Vulkan simulations against the raw ray-query rate of the same device, on the benchmark forest.

On the forest of bench_vulkan_trace.py (about one million instanced triangles, three bands, soil,
bark and leaf materials, sun and constant sky) prints, for the Vulkan backend (lavapipe here):

- the raw ray-query rate: trace_closest on 10^6 incoherent rays, device time (timestamps);
- simulate_backward: paths/s and rays/s (closest hits and shadow rays, as the shaders count
  them) and the rays/s as a fraction of the raw rate (target: at least 0.5);
- simulate_flux: photons/s and rays/s, and the same fraction;
- the CPU backend's simulate_cpu and simulate_flux_cpu on the same scene and work, for scale.
  Both backends draw the same random streams, so they trace the same paths: the CPU rays/s use
  the ray counts the Vulkan shaders report.

    python bench/bench_vulkan_optical.py [--size 256] [--spp 2] [--photons 1000000] [--repeats 2]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import velm_gpu as velm

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_vulkan_trace import HALF, TRACE_SHADER, forest, incoherent_rays  # noqa: E402

BANDS = 3
SPECTRA = np.array(
    [0.10, 0.15, 0.25,  # soil
     0.08, 0.10, 0.15,  # bark
     0.05, 0.10, 0.45, 0.06, 0.09, 0.35, 0.03, 0.08, 0.45,  # leaf front, back, transmittance
     500, 600, 400,  # sun
     20, 25, 15], np.float32)  # sky


def describe(scene, size):
    """The benchmark forest with its optical description, in either backend's scene."""
    meshes, instances = forest()
    for k, m in enumerate(meshes):
        scene.add_mesh(m["vertices"], m["normals"], m["indices"], k)
    scene.add_instance(0, 0.0, 0.0, 0.0)
    for mesh in (1, 2):
        scene.add_instances_xform(mesh, np.array([x for m, x in instances if m == mesh]))
    scene.set_num_bands(BANDS)
    scene.upload_spectral_params(SPECTRA)
    scene.add_material(0, 0)
    scene.add_material(0, 3)
    scene.add_material(13, 6, [0.5, 0.5])
    scene.set_emitter(0, np.array([0.35, 0.2, 0.915], np.float32), 15)
    scene.set_sky(18)
    # A nadir view of the whole forest; its footprint is also the flux grid's extent.
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 100, 0, 0, 0, 1], np.float32)
    scene.set_sensor(0, size, size, 2 * HALF, 2 * HALF, cam)


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=256)
    ap.add_argument("--spp", type=int, default=2)
    ap.add_argument("--photons", type=int, default=1_000_000)
    ap.add_argument("--rays", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=2)
    args = ap.parse_args()

    ctx = velm.VulkanContext()
    vk = velm.VulkanSceneManager(ctx, str(TRACE_SHADER))
    describe(vk, args.size)
    _, build_s = timed(vk.build)
    print(f"device: {ctx.device_name()}; forest: {vk.n_primitives()} instanced triangles, "
          f"{vk.num_instances()} instances, built in {build_s:.1f} s; load average "
          f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} cpus")

    # Every rate is the best of `repeats` runs: the machine may be shared.
    origins, directions = incoherent_rays(args.rays)
    vk.trace_closest(origins[:1000], directions[:1000])
    raw = 0.0
    for _ in range(args.repeats):
        vk.trace_closest(origins, directions)
        raw = max(raw, args.rays / vk._last_trace_profile()["device_s"])
    print(f"raw ray queries (trace_closest, incoherent): {raw / 1e6:.3f} Mrays/s device time")

    def best(run):
        out = None
        for _ in range(args.repeats):
            _, wall = timed(run)
            p = vk._last_simulation_profile()
            if out is None or p["seconds"] < out[1]["seconds"]:
                out = (wall, p)
        return out

    # Warm-up calls compile the shaders (lavapipe compiles at the first dispatch).
    vk.simulate_backward(spp=1, max_depth=8)
    wall, p = best(lambda: vk.simulate_backward(spp=args.spp, max_depth=8))
    paths = p["items"] / p["seconds"]
    rays_per_path = p["rays"] / p["items"]
    back_rate = p["rays"] / p["seconds"]
    print(f"simulate_backward {args.size}x{args.size}, spp {args.spp}: {paths / 1e6:.3f} M "
          f"paths/s, {back_rate / 1e6:.3f} Mrays/s ({rays_per_path:.2f} rays/path, "
          f"{p['dispatches']} dispatches, call {wall:.2f} s); {back_rate / raw:.2f} of the raw "
          f"rate (target >= 0.5)")

    vk.simulate_flux(16, 16, 10_000, BANDS)
    wall, p = best(lambda: vk.simulate_flux(16, 16, args.photons, BANDS))
    photons = p["items"] / p["seconds"]
    rays_per_photon = p["rays"] / p["items"]
    flux_rate = p["rays"] / p["seconds"]
    print(f"simulate_flux 16x16, {args.photons} photons: {photons / 1e6:.3f} M photons/s, "
          f"{flux_rate / 1e6:.3f} Mrays/s ({rays_per_photon:.2f} rays/photon, call {wall:.2f} "
          f"s); {flux_rate / raw:.2f} of the raw rate (target >= 0.5)")

    cpu = velm.EmbreeSceneManager()
    describe(cpu, args.size)
    cpu.build()
    velm.simulate_cpu(cpu, spp=1, max_depth=8)
    wall = min(timed(lambda: velm.simulate_cpu(cpu, spp=args.spp, max_depth=8))[1]
               for _ in range(args.repeats))
    cpu_paths = args.size * args.size * args.spp / wall
    print(f"CPU simulate_cpu ({os.cpu_count()} threads): {cpu_paths / 1e6:.3f} M paths/s, "
          f"{cpu_paths * rays_per_path / 1e6:.3f} Mrays/s; Vulkan/CPU {paths / cpu_paths:.2f}")
    wall = min(timed(lambda: velm.simulate_flux_cpu(cpu, 16, 16, args.photons, BANDS))[1]
               for _ in range(args.repeats))
    cpu_photons = args.photons / wall
    print(f"CPU simulate_flux_cpu: {cpu_photons / 1e6:.3f} M photons/s, "
          f"{cpu_photons * rays_per_photon / 1e6:.3f} Mrays/s; Vulkan/CPU "
          f"{photons / cpu_photons:.2f}")


if __name__ == "__main__":
    main()
