"""Surface temperatures of a small canopy in radiative equilibrium, and its thermal image.

A 20 m x 20 m patch of soil with ten trees under a noon sun and a sky, in one broadband short-wave
band (so irradiances are W m^-2 and radiances W m^-2 sr^-1 here). Every primitive absorbs short
wave from the sun, the sky and the first reflection of its neighbours, and long wave from the sky
and from the primitives it sees, which depends on their temperatures. Radiative equilibrium
(absorbed = emitted, eps sigma T^4 from each face; the soil from its top only) is reached by
iterating temperatures -> long-wave absorption -> temperatures, to 0.05 K. There is no
convection or conduction here, so sunlit surfaces run hot.

The temperatures are then grouped in 0.5 K steps into meshes of one material and temperature,
rendered in thermal mode at 10 um (the sky black) and written, as brightness temperature, to
out/energy_balance_thermal.png.

    python -m velm.examples.energy_balance [--samples 64] [--backend vulkan]
"""

import argparse
import math
import time

import numpy as np

import velm
from velm.examples._plot import image_panel, out_dir, pyplot

SIGMA = 5.670374419e-8  # W m^-2 K^-4
EXTENT = 20.0
WAVELENGTH = 10000.0  # nm, of the thermal image
# Broadband short-wave albedo and long-wave emissivity per material of procedural_forest.
ALBEDO = {"soil": 0.20, "leaf": 0.25, "bark": 0.18}
EMISSIVITY = {"soil": 0.95, "leaf": 0.97, "bark": 0.94}
C1, C2 = 1.1910429723971884e-16, 0.014387768775039337  # 2 h c^2 (W m^2), h c / k (m K)


def brightness_temperature(radiance, wavelength_nm):
    """Inverse of Planck's law: K from W m^-2 sr^-1 nm^-1."""
    lam = wavelength_nm * 1e-9
    return C2 / (lam * np.log1p(C1 * 1e-9 / (np.maximum(radiance, 1e-30) * lam**5)))


def canopy():
    scene = velm.procedural_forest(n_trees=10, seed=7, bands=[550.0], extent=EXTENT,
                                   sun_zenith=25.0, pixels=None, ground_edge=0.5)
    for name in ALBEDO:
        scene.add_material(name, velm.Lambertian(ALBEDO[name], emissivity=EMISSIVITY[name]))
    scene.sun = velm.Sun(25.0, 135.0, 850.0)   # W m^-2 on a surface facing the sun
    scene.sky = velm.Sky(30.0)                 # W m^-2 sr^-1
    return scene


def equilibrium(scene, samples, backend):
    """Per-primitive temperatures (K) in radiative equilibrium, and the energy balance."""
    sky_longwave = 310.0 / math.pi  # W m^-2 sr^-1: 310 W m^-2 from the whole sky
    sw = velm.energy_balance(scene, samples=samples, backend=backend, progress=False)
    short_wave = (sw.shortwave_top + sw.shortwave_bottom.where(sw.material != "soil", 0.0))
    short_wave = short_wave.sum("band").values
    faces = np.where(sw.material.values == "soil", 1.0, 2.0)
    eps = np.array([EMISSIVITY[m] for m in sw.material.values])
    # Jacobi iterations on the emitted power x = sigma T^4, which long-wave absorption depends on
    # linearly; the slowest mode (the cavities inside the crowns) is extrapolated every third
    # step from the ratio of successive steps (Aitken).
    x = np.full(len(faces), SIGMA * 295.0**4)
    previous = None
    for k in range(30):
        t = (x / SIGMA) ** 0.25
        lw = velm.energy_balance(scene, samples=samples, longwave_sky_radiance=sky_longwave,
                                 temperatures=t, shortwave=False, backend=backend,
                                 progress=False)
        absorbed = short_wave + lw.longwave_top.values + np.where(
            faces == 2, lw.longwave_bottom.values, 0.0)
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
    return (x / SIGMA) ** 0.25, sw, short_wave


def thermal_scene(scene, temperatures, materials, pixels):
    """One mesh per (material, 0.5 K step) of the world triangles, seen from above at 10 um."""
    corners = np.concatenate([
        (scene.meshes[m].vertices @ xf[:, :3].T + xf[:, 3])[scene.meshes[m].indices]
        for m, xf in scene.instances])
    levels = np.round(temperatures * 2) / 2
    out = velm.Scene(bands=[WAVELENGTH])
    for name, level in sorted(set(zip(materials, levels))):
        pick = (materials == name) & (levels == level)
        key = f"{name} {level:.1f} K"
        eps = EMISSIVITY[name]
        out.add_material(key, velm.Lambertian(1 - eps, emissivity=eps, temperature=float(level)))
        v = corners[pick].reshape(-1, 3)
        out.add_mesh(key, velm.Mesh(v, np.arange(len(v)).reshape(-1, 3), key))
        out.add_instance(key)
    out.sensor = velm.Orthographic.nadir(EXTENT, (pixels, pixels), altitude=40.0)
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--samples", type=int, default=64, help="rays per primitive")
    ap.add_argument("--pixels", type=int, default=160)
    ap.add_argument("--backend", default=None)
    args = ap.parse_args(argv)
    backend = args.backend or (velm.default_backend() if velm.default_backend()
                               in velm.CAPABILITIES["energy_balance"] else "vulkan")
    scene = canopy()
    t0 = time.perf_counter()
    temperatures, sw, short_wave = equilibrium(scene, args.samples, backend)
    print(f"equilibrium of {len(temperatures)} primitives in {time.perf_counter() - t0:.1f} s "
          f"({args.samples} rays per face, {backend})")
    materials = sw.material.values
    for name in ALBEDO:
        pick = materials == name
        print(f"  {name:5s} {pick.sum():5d} primitives: {temperatures[pick].min():6.1f} to "
              f"{temperatures[pick].max():6.1f} K; absorbed short wave up to "
              f"{short_wave[pick].max():5.0f} W m^-2")
    hot = thermal_scene(scene, temperatures, materials, args.pixels)
    radiance = velm.render(hot, spp=16, max_depth=4, thermal=True, progress=False)
    image = radiance.isel(band=0).copy(data=brightness_temperature(radiance.isel(band=0).values,
                                                                   WAVELENGTH))
    image.attrs.update(units="K", long_name="brightness temperature at 10 um")
    print(f"thermal image ({len(hot.materials)} temperature groups): "
          f"{float(image.min()):.1f} to {float(image.max()):.1f} K")
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(6.4, 5.2))
    image_panel(ax, image, "Canopy in radiative equilibrium", cmap="inferno")
    fig.tight_layout()
    path = out_dir() / "energy_balance_thermal.png"
    fig.savefig(path, dpi=120)
    print(f"wrote {path}")
    return temperatures, image


if __name__ == "__main__":
    main()
