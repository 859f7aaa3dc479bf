"""Vertical profile of absorbed radiation (fPAR) in the demo forest.

Traces sun and sky photons through the 40 m x 40 m procedural forest patch, tallies what is
absorbed per 1 m height layer (one horizontal cell: the whole patch) and on the soil, normalises
by the radiation incident on the patch and writes the profile as a plot to out/fpar_profile.png.

Run from the repository root:  python examples/fpar_profile.py
"""

import math
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import scenes  # noqa: E402
import velm_gpu as velm  # noqa: E402

OUT = Path(__file__).resolve().parents[1] / "out"
EXTENT = 40.0
PHOTONS = 2_000_000


def main():
    scene = velm.EmbreeSceneManager()
    info = scenes.procedural_forest(scene, n_trees=36, seed=2024, bands=3, extent=EXTENT)
    scene.build()
    (_, _, _), (_, _, z1) = scene.aabb()

    heights = np.arange(0.0, math.ceil(z1) + 1.0, 1.0)
    heights[0] = -0.5  # the soil surface lands in the first layer
    r = velm.simulate_forward_cpu(scene, 1, 1, layer_heights=heights, num_photons=PHOTONS,
                                  num_bands=info["bands"], prob_sun=0.8,
                                  terrain_instance_id=info["instances"]["ground"])
    nb = info["bands"]
    sun_e = scenes.band_values(scenes.SUN_IRRADIANCE, nb)
    sky_l = scenes.band_values(scenes.SKY_RADIANCE, nb)
    sun = np.asarray(info["sun_direction"])
    # Photons are spread over the sensor footprint, which is the patch.
    incident = (sun_e * sun[2] + math.pi * sky_l) * EXTENT * EXTENT
    profile = r["grid"][:, 0, 0, :] / incident  # (layers, bands)
    soil = r["terrain"] / incident
    for b in range(nb):
        print(f"band {b}: canopy absorbs {profile[:, b].sum():.3f}, soil {soil[b]:.3f}")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    mid = 0.5 * (heights[:-1] + heights[1:])
    fig, ax = plt.subplots(figsize=(4.5, 5))
    for b, name in enumerate(["blue", "red", "near infrared"][:nb]):
        ax.plot(profile[:, b], mid, marker="o", label=name)
    ax.set_xlabel("absorbed fraction per 1 m layer")
    ax.set_ylabel("height (m)")
    ax.set_title("Absorbed radiation profile")
    ax.legend()
    fig.tight_layout()
    OUT.mkdir(exist_ok=True)
    fig.savefig(OUT / "fpar_profile.png", dpi=120)
    print(f"wrote {OUT / 'fpar_profile.png'}")


if __name__ == "__main__":
    main()
