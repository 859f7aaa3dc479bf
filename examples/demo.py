"""VELM demo: a small procedural forest on the CPU backend, and on the Vulkan backend beside it.

Builds a 40 m x 40 m soil patch with a few dozen trees (cylinder trunks under icosphere crowns),
three spectral bands (blue, red, near infrared), a Lambertian soil, a diffuse-transmitting leaf
material, a bark material, the sun at 30 degrees zenith, a constant sky and an orthographic
camera looking straight down, builds the Embree scene, prints what it holds, renders the
sensor image on the CPU and writes it as a colour picture (near infrared, red, blue as R, G, B:
a false-colour composite in which vegetation shows red) to out/demo_forest.png. Then renders the
same scene with the Vulkan backend (the first usable device: lavapipe here), writes
out/demo_forest_vulkan.png and the two side by side (out/demo_forest_cpu_vulkan.png), and prints
both timings and how closely the images agree.

Run from the repository root:  python examples/demo.py
"""

import os
import sys
import time
from pathlib import Path

import numpy as np

# The shared scene builders live beside the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import scenes  # noqa: E402
import velm_gpu as velm  # noqa: E402

N_TREES = 36
SEED = 2024
BANDS = 3
IMAGE = (256, 256)
SPP = 32
OUT = Path(__file__).resolve().parents[1] / "out"


def main():
    print(f"velm_gpu {velm.__version__}: {velm.__doc__}")
    print(f"backends compiled in: Vulkan={velm.HAS_VULKAN} OptiX={velm.HAS_OPTIX} "
          f"Embree={velm.HAS_EMBREE}")

    scene = velm.EmbreeSceneManager()
    info = scenes.procedural_forest(scene, n_trees=N_TREES, seed=SEED, bands=BANDS,
                                    sensor=IMAGE)
    t0 = time.perf_counter()
    scene.build()
    build_ms = 1e3 * (time.perf_counter() - t0)

    (x0, y0, z0), (x1, y1, z1) = scene.aabb()
    n_meshes = len(info["meshes"])
    n_inst = scene.num_instances()
    offsets = info["offsets"]
    print()
    print(f"meshes       {n_meshes} ({', '.join(info['meshes'])})")
    print(f"instances    {n_inst} (1 ground, {info['n_trees']} trunks, {info['n_trees']} crowns)")
    print(f"triangles    {scene.total_triangles()} in the meshes")
    print(f"materials    {len(info['materials'])}: "
          + ", ".join(f"{k}={v}" for k, v in info["materials"].items()))
    print(f"bands        {info['bands']}")
    print("spectra at   " + ", ".join(f"{k}@{v}" for k, v in offsets.items() if v is not None))
    sun = np.asarray(info["sun_direction"])
    print(f"sun towards  ({sun[0]:.3f}, {sun[1]:.3f}, {sun[2]:.3f})")
    print(f"sensor       orthographic nadir, {IMAGE[0]} x {IMAGE[1]} pixels")
    print(f"aabb         x [{x0:.2f}, {x1:.2f}]  y [{y0:.2f}, {y1:.2f}]  z [{z0:.2f}, {z1:.2f}]")
    print(f"built        {scene.is_built()} in {build_ms:.1f} ms")

    def progress(done, total, ms):
        if done == total or done % 8 == 0:
            print(f"  pass {done}/{total}  {ms / 1e3:.2f} s", flush=True)

    t0 = time.perf_counter()
    image = velm.simulate_cpu(scene, spp=SPP, max_depth=8, progress=progress)
    render_s = time.perf_counter() - t0
    write_png(image, OUT / "demo_forest.png")
    print(f"rendered     {image.shape[1]} x {image.shape[0]} x {image.shape[2]} bands, {SPP} spp, "
          f"in {render_s:.2f} s; mean radiance per band "
          + ", ".join(f"{v:.2f}" for v in image.mean(axis=(0, 1))) + " W m^-2 sr^-1")
    print(f"wrote        {OUT / 'demo_forest.png'}")
    render_vulkan(image, render_s)


def render_vulkan(cpu_image, cpu_s):
    """The same forest and image on the Vulkan backend, timed beside the CPU."""
    try:
        ctx = velm.VulkanContext()
    except (RuntimeError, IndexError) as e:
        print(f"vulkan       no usable device ({e}); skipped")
        return
    shader = os.path.join(os.path.dirname(velm.__file__), "shaders", "trace_closest.spv")
    scene = velm.VulkanSceneManager(ctx, shader)
    scenes.procedural_forest(scene, n_trees=N_TREES, seed=SEED, bands=BANDS, sensor=IMAGE)
    t0 = time.perf_counter()
    scene.build()
    build_ms = 1e3 * (time.perf_counter() - t0)
    scene.simulate_backward(spp=1, max_depth=1)  # the first call compiles the shader
    t0 = time.perf_counter()
    image = scene.simulate_backward(spp=SPP, max_depth=8)
    render_s = time.perf_counter() - t0
    rays = scene._last_simulation_profile()["rays"]
    write_png(image, OUT / "demo_forest_vulkan.png")
    write_png(np.concatenate([cpu_image, np.zeros_like(cpu_image[:, :8]), image], axis=1),
              OUT / "demo_forest_cpu_vulkan.png")
    diff = np.abs(image - cpu_image).mean() / cpu_image.mean()
    print(f"vulkan       {ctx.device_name()}: built in {build_ms:.1f} ms, rendered in "
          f"{render_s:.2f} s ({rays / render_s / 1e6:.2f} M rays/s); mean radiance per band "
          + ", ".join(f"{v:.2f}" for v in image.mean(axis=(0, 1))))
    print(f"timings      CPU {cpu_s:.2f} s, Vulkan {render_s:.2f} s for the same {SPP} spp; "
          f"mean |Vulkan - CPU| = {diff:.1e} of the mean radiance (same random streams)")
    print(f"wrote        {OUT / 'demo_forest_vulkan.png'}, {OUT / 'demo_forest_cpu_vulkan.png'}")


def write_png(image, path):
    """False-colour composite: bands (2, 1, 0) as (R, G, B), each stretched to its 99th
    percentile and gamma-encoded for display."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rgb = image[:, :, [2, 1, 0]] if image.shape[2] >= 3 else np.repeat(image[:, :, :1], 3, 2)
    scale = np.percentile(rgb.reshape(-1, 3), 99, axis=0)
    rgb = np.clip(rgb / np.maximum(scale, 1e-12), 0, 1) ** (1 / 2.2)
    path.parent.mkdir(parents=True, exist_ok=True)
    plt.imsave(path, rgb)


if __name__ == "__main__":
    main()
