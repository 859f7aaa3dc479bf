"""Surface temperatures of a small canopy in radiative equilibrium, and its thermal image.

On the Vulkan backend (lavapipe here): a 20 m x 20 m patch of soil with ten trees (bark trunks
under leafy icosphere crowns), a noon sun and a sky. Every primitive absorbs short-wave light from
the sun, the sky and the first-order reflection of its neighbours (run_energy_balance_gpu,
band_type 0), and long-wave radiation from the sky and from the primitives it sees, which depends
on their temperatures (band_type 1). Radiative equilibrium, the sum of both equal to what a
primitive emits, eps sigma T^4 from each of its faces (the soil from its top only), is reached by
iterating: temperatures -> long-wave absorption -> new temperatures, to 0.05 K. There is no
convection or conduction here, so sunlit surfaces run hot.

The temperatures then go to the CPU backend: the primitives are grouped into meshes of equal
temperature (0.5 K steps) and material, and simulate_cpu renders the thermal image at 10 um in
thermal mode; the radiance is converted back to brightness temperature and written, with a colour
scale, to out/energy_balance_thermal.png.

Run from the repository root:  python examples/energy_balance.py
"""

import math
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import scenes  # noqa: E402
import velm_gpu as velm  # noqa: E402

OUT = Path(__file__).resolve().parents[1] / "out"
SIGMA = 5.670374419e-8
EXTENT = 20.0
SUN_IRRADIANCE = 850.0   # W m^-2 on a surface facing the sun, broadband short wave
SKY_RADIANCE = 30.0      # W m^-2 sr^-1, short wave
SKY_LONGWAVE = 310.0 / math.pi  # W m^-2 sr^-1: 310 W m^-2 from the whole sky
SAMPLES = 128
# Broadband albedo and long-wave emissivity per material of procedural_forest.
ALBEDO = {"soil": 0.20, "leaf": 0.25, "bark": 0.18}
EMISSIVITY = {"soil": 0.95, "leaf": 0.97, "bark": 0.94}
WAVELENGTH = 10000.0  # nm, for the thermal image
SKY_BRIGHTNESS = 240.0  # K, of the clear sky at 10 um


def planck(temperature, wavelength_nm):
    """Blackbody radiance, W m^-2 sr^-1 nm^-1."""
    lam = wavelength_nm * 1e-9
    return 1.1910429723971884e-16 / (np.expm1(0.014387768775039337 / (temperature * lam))
                                     * lam**5) * 1e-9


def brightness_temperature(radiance, wavelength_nm):
    lam = wavelength_nm * 1e-9
    return 0.014387768775039337 / (lam * np.log1p(1.1910429723971884e-16 * 1e-9
                                                  / (np.maximum(radiance, 1e-30) * lam**5)))


def equilibrium(scene, info):
    """Per-primitive temperatures (K) in radiative equilibrium, with the classes of the
    primitives (material names) and the absorbed short wave."""
    names = {v: k for k, v in info["materials"].items()}
    classes = np.array([names[m] for m in scene.get_primitive_mat_ids()])
    albedo = np.array([ALBEDO[c] for c in classes], np.float32)
    eps = np.array([EMISSIVITY[c] for c in classes], np.float32)
    scene.set_primitive_emissivities(eps)
    # The soil emits from its top face only; the crowns and trunks from both.
    faces = np.where(scene.primitive_geometry()["instance_ids"] == info["instances"]["ground"],
                     1.0, 2.0)
    sun = info["sun_direction"]
    sw_top, sw_bottom = scene.run_energy_balance_gpu(0, SAMPLES, SUN_IRRADIANCE, SKY_RADIANCE,
                                                     0.0, *sun, True, albedo)
    short_wave = sw_top + np.where(faces == 2, sw_bottom, 0.0)
    # Jacobi iterations on the emitted power x = sigma T^4, which long-wave absorption depends
    # on linearly; the slowest mode (the cavities inside the crowns) is extrapolated every third
    # step from the ratio of successive steps (Aitken).
    x = np.full(len(classes), SIGMA * 295.0**4)
    previous = None
    for k in range(30):
        t = (x / SIGMA) ** 0.25
        scene.set_primitive_temperatures(t.astype(np.float32))
        lw_top, lw_bottom = scene.run_energy_balance_gpu(1, SAMPLES, 0.0, 0.0, SKY_LONGWAVE,
                                                         *sun, True)
        absorbed = short_wave + lw_top + np.where(faces == 2, lw_bottom, 0.0)
        step = absorbed / (faces * eps) - x
        ratio = np.linalg.norm(step) / np.linalg.norm(previous) if previous is not None else 0
        previous = step
        x = x + step
        if k % 3 == 2 and 0 < ratio < 0.95:
            x = x + ratio / (1 - ratio) * step
        change = np.abs((x / SIGMA) ** 0.25 - t).max()
        print(f"  iteration {k + 1:2d}: largest change {change:7.3f} K")
        if change < 0.05:
            break
    t = (x / SIGMA) ** 0.25
    return t, classes, short_wave


def thermal_image(scene, info, temperatures, classes):
    """The thermal image of the canopy at WAVELENGTH on the CPU backend."""
    geometry = scene.primitive_geometry()
    cpu = velm.EmbreeSceneManager()
    levels = np.round(temperatures * 2) / 2  # 0.5 K steps
    groups = sorted({(c, lv) for c, lv in zip(classes, levels)})
    emissivity = [EMISSIVITY[c] for c, _ in groups]
    cpu.set_num_bands(1)
    cpu.upload_spectral_params(np.array(emissivity + [0.0, planck(SKY_BRIGHTNESS, WAVELENGTH)],
                                        np.float32))
    for k, (c, lv) in enumerate(groups):
        pick = (classes == c) & (levels == lv)
        v = geometry["vertices"][pick].reshape(-1, 3)
        n = np.repeat(geometry["normals"][pick], 3, axis=0)
        cpu.add_material(scenes.LAMBERTIAN, k, [0.0, 0.0, float(lv)])
        mesh = cpu.add_mesh(v, n, np.arange(len(v), dtype=np.int32).reshape(-1, 3), k)
        cpu.add_instance(mesh, 0.0, 0.0, 0.0)
    cpu.set_emitter(0, info["sun_direction"], len(groups))
    cpu.set_sky(len(groups) + 1)
    cpu.set_thermal_mode(True, [WAVELENGTH])
    scenes.set_nadir_sensor(cpu, 200, 200, EXTENT, EXTENT, altitude=40.0)
    cpu.build()
    radiance = velm.simulate_cpu(cpu, spp=16, max_depth=4)[:, :, 0]
    return brightness_temperature(radiance, WAVELENGTH), len(groups)


def main():
    ctx = velm.VulkanContext()
    shader = os.path.join(os.path.dirname(velm.__file__), "shaders", "trace_closest.spv")
    scene = velm.VulkanSceneManager(ctx, shader)
    info = scenes.procedural_forest(scene, n_trees=10, seed=7, extent=EXTENT, sensor=None,
                                    sun_zenith_deg=25.0, ground_edge=0.5)
    scene.build()
    print(f"{ctx.device_name()}: {scene.n_primitives()} primitives, {info['n_trees']} trees")
    t0 = time.perf_counter()
    temperatures, classes, short_wave = equilibrium(scene, info)
    print(f"equilibrium in {time.perf_counter() - t0:.1f} s ({SAMPLES} rays per face)")
    for c in ALBEDO:
        pick = classes == c
        print(f"  {c:5s} {pick.sum():5d} primitives: {temperatures[pick].min():6.1f} to "
              f"{temperatures[pick].max():6.1f} K, mean {temperatures[pick].mean():6.1f} K; "
              f"absorbed short wave up to {short_wave[pick].max():5.0f} W m^-2")

    t0 = time.perf_counter()
    image, groups = thermal_image(scene, info, temperatures, classes)
    print(f"thermal image on the CPU backend ({groups} temperature groups) in "
          f"{time.perf_counter() - t0:.1f} s: {image.min():.1f} to {image.max():.1f} K")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    OUT.mkdir(parents=True, exist_ok=True)
    fig, ax = plt.subplots(figsize=(6, 5))
    half = EXTENT / 2
    im = ax.imshow(image, origin="lower", cmap="inferno", extent=(-half, half, -half, half))
    fig.colorbar(im, ax=ax, label="brightness temperature at 10 um (K)")
    ax.set_xlabel("x (m)")
    ax.set_ylabel("y (m)")
    ax.set_title("Canopy in radiative equilibrium")
    path = OUT / "energy_balance_thermal.png"
    fig.savefig(path, dpi=120, bbox_inches="tight")
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
