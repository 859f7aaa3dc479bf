"""Vertical profile of absorbed radiation (fPAR) in the demo forest.

Traces sun and sky photons through the 40 m x 40 m procedural forest, tallies what is absorbed
per 1 m height layer and on the soil as fractions of the incident power, and writes the profile
to out/fpar_profile.png.

    python -m velm.examples.fpar_profile [--photons 1000000] [--backend cpu]
"""

import argparse
import math

import numpy as np

import velm
from velm.examples._plot import out_dir, pyplot


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--photons", type=int, default=1_000_000)
    ap.add_argument("--backend", default=None)
    args = ap.parse_args(argv)
    scene = velm.procedural_forest(n_trees=36, seed=2024, bands=3)
    top = math.ceil(float(scene.bounds()[1][2]))
    heights = np.r_[-0.5, np.arange(1.0, top + 1.0)]
    r = velm.absorbed(scene, layer_heights=heights, photons=args.photons, prob_sun=0.8,
                      terrain="ground", backend=args.backend)
    profile = r.absorbed_fraction.sum(("x", "y"))
    for band in r.band.values:
        print(f"{band:.0f} nm: canopy absorbs {float(profile.sel(band=band).sum()):.3f}, "
              f"soil {float(r.terrain_fraction.sel(band=band)):.3f}")
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(4.8, 5))
    for band in r.band.values:
        ax.plot(profile.sel(band=band), r.layer, marker="o", label=f"{band:.0f} nm")
    ax.set_xlabel("absorbed fraction of incident power per layer (1)")
    ax.set_ylabel("layer mid-height (m)")
    ax.set_title(f"Absorbed radiation profile ({r.backend})")
    ax.legend(title="band")
    fig.tight_layout()
    path = out_dir() / "fpar_profile.png"
    fig.savefig(path, dpi=120)
    print(f"wrote {path}")
    return r


if __name__ == "__main__":
    main()
