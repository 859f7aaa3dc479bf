"""Throughput of the OptiX launches on the benchmark forest (tests/scenes.py, about one million
instanced triangles) beside the CPU backend's figures for the same scene, stored with the GPU
references (tests/data/optix_reference.json, measured on the machine that wrote them).

Rays/s of `simulate` are its paths/s times the rays per path the CPU backend counts on this
scene: both trace the same paths (the same physics from the same random streams).

Run by scripts/gpu_check.sh; needs an NVIDIA GPU.
"""

import json
import os
import sys
import time

import numpy as np

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import scenes  # noqa: E402
import velm_gpu as velm  # noqa: E402


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    with open(os.path.join(ROOT, "tests", "data", "optix_reference.json")) as f:
        cpu = json.load(f)["benchmark"]
    ctx = velm.OptiXContext(0)
    sim = velm.Simulator(ctx, os.path.join(os.path.dirname(velm.__file__), "ptx"))
    scene = velm.SceneManager(ctx)
    info = scenes.benchmark_forest(scene)
    scene.set_populate_primitive_soa(True)  # for the energy balance
    build = timed(scene.build)
    size, spp, photons = info["size"], 64, 20_000_000
    sim.simulate(scene, spp=1)  # pipelines, binding tables, buffers
    t = timed(lambda: sim.simulate(scene, spp=spp))
    paths = size * size * spp / t
    rays = paths * cpu["rays_per_path"]
    layers = np.asarray(info["layer_heights"], np.float32)
    sim.simulate_forward(scene, 20, 20, layer_heights=layers, num_photons=100_000, num_bands=3)
    t = timed(lambda: sim.simulate_forward(scene, 20, 20, layer_heights=layers,
                                           num_photons=photons, num_bands=3))
    rate = photons / t
    print(f"benchmark forest: {info['triangles']} instanced triangles; OptiX build {build:.2f} s on "
          f"{ctx.device_name()}")
    print(f"simulate: {paths / 1e6:.1f} M paths/s, {rays / 1e6:.0f} M rays/s "
          f"(CPU, {cpu['cpu_threads']} threads: {cpu['cpu_rays_per_s'] / 1e6:.2f} M rays/s; "
          f"{rays / cpu['cpu_rays_per_s']:.0f}x)")
    print(f"simulate_forward: {rate / 1e6:.1f} M photons/s (CPU, {cpu['cpu_threads']} threads: "
          f"{cpu['cpu_photons_per_s'] / 1e6:.3f} M photons/s; {rate / cpu['cpu_photons_per_s']:.0f}x)")

    # Microwave: soil, trunks (bark) and crown volumes (leaf) of the forest request.
    req = scenes.microwave_forest_request()
    req["material_map"] = np.array([0, 2, 1], np.int32)  # soil, bark -> trunk, leaf -> crowns
    for name, run in (("simulate_microwave", sim.simulate_microwave),
                      ("simulate_active_microwave", sim.simulate_active_microwave)):
        run(scene, spp=1, **req)  # pipeline, tables
        t = timed(lambda: run(scene, spp=16, **req))
        print(f"{name}: {size * size * 16 / t / 1e6:.1f} M sensor rays/s")
    n = scene.n_primitives()
    sun = scenes.sun_direction(30.0, 0.0)
    sim.run_energy_balance(scene, 0, 1, 800.0, 40.0, 0.0, *sun, True)
    t = timed(lambda: sim.run_energy_balance(scene, 0, 8, 800.0, 40.0, 0.0, *sun, True))
    print(f"run_energy_balance: {n * 8 / t / 1e6:.1f} M primitive samples/s (short wave, both "
          f"faces, {n} primitives)")


if __name__ == "__main__":
    sys.exit(main())
