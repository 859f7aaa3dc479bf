"""L-band brightness temperatures and radar backscatter of the demo forest over moist soil.

The 40 m x 40 m procedural forest seen at 1.4 GHz from 35 degrees off nadir through a thin
atmosphere: a moist rough soil, crowns as volumes of forward-scattering vegetation, trunks as
wood cylinders (with the trunk-ground double bounce for the radar). Writes the H and V
brightness temperatures (K) and the VV backscatter (dB) side by side to
out/microwave_image.png.

    python -m velm.examples.microwave_image [--pixels 96] [--spp 8] [--backend vulkan]
"""

import argparse
import time

import numpy as np

import velm
from velm.examples._plot import image_panel, out_dir, pyplot

MATERIALS = {"soil": velm.Soil(moisture=0.3, rms_height=0.01),
             "leaf": velm.Vegetation(temperature=293.0, absorption=0.3, scattering=0.5,
                                     asymmetry=0.3),
             "bark": velm.Trunk(radius=0.2, length=4.0, moisture=0.5, temperature=293.0)}


def microwave_backend(asked):
    """The asked backend, else the default one where it offers microwaves, else Vulkan."""
    if asked:
        return asked
    b = velm.default_backend()
    return b if b in velm.CAPABILITIES["microwave"] else "vulkan"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pixels", type=int, default=96)
    ap.add_argument("--spp", type=int, default=8)
    ap.add_argument("--frequency", type=float, default=1.4e9, help="Hz")
    ap.add_argument("--backend", default=None)
    args = ap.parse_args(argv)
    backend = microwave_backend(args.backend)
    scene = velm.procedural_forest(n_trees=36, seed=2024, bands=1, pixels=None)
    # The image x axis slants at 35 degrees: 30 m of it cover 37 m of ground.
    scene.sensor = velm.Orthographic.oblique(35.0, 0.0, extent=(30.0, 36.0),
                                             pixels=(args.pixels, args.pixels))
    kw = dict(frequency=args.frequency, spp=args.spp, air_temperature=285.0, backend=backend)
    t0 = time.perf_counter()
    tb = velm.microwave(scene, MATERIALS, atmosphere_tau=0.01, **kw)
    sigma = velm.microwave(scene, MATERIALS, active=True, **kw)
    print(f"{backend}: two {args.pixels} x {args.pixels} images, {args.spp} rays per pixel, in "
          f"{time.perf_counter() - t0:.1f} s")
    print(f"T_H {float(tb.sel(polarization='H').mean()):.1f} K, "
          f"T_V {float(tb.sel(polarization='V').mean()):.1f} K; VV backscatter "
          f"{10 * np.log10(float(sigma.sel(polarization='VV').mean())):.1f} dB")
    vv = 10 * np.log10(np.maximum(sigma.sel(polarization="VV"), 1e-6))
    vv.attrs.update(units="dB", long_name="backscatter sigma0 VV")
    plt = pyplot()
    fig, axes = plt.subplots(1, 3, figsize=(16, 4.8))
    for ax, pol in zip(axes, ("H", "V")):
        image_panel(ax, tb.sel(polarization=pol), f"brightness temperature {pol}")
    image_panel(axes[2], vv, "backscatter VV", cmap="gray")
    fig.suptitle(f"Demo forest over moist soil, {args.frequency / 1e9:.2f} GHz, 35 degrees off "
                 f"nadir ({backend})")
    fig.tight_layout()
    path = out_dir() / "microwave_image.png"
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")
    return tb, sigma


if __name__ == "__main__":
    main()
