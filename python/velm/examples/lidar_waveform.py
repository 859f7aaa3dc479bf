"""Airborne LiDAR over the demo forest: a nadir scan, its point cloud as LAS and a map of the
first-return heights, and one full waveform.

    python -m velm.examples.lidar_waveform [--spacing 0.5] [--backend cpu]
"""

import argparse

import numpy as np

import velm
from velm.examples._plot import out_dir, pyplot


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--spacing", type=float, default=0.5)
    ap.add_argument("--backend", default=None)
    args = ap.parse_args(argv)
    scene = velm.procedural_forest(n_trees=36, seed=2024, bands=3, pixels=None)
    origins, directions = velm.nadir_pulses(38.0, args.spacing, altitude=60.0)
    backend = args.backend or ("cpu" if velm.default_backend() == "vulkan" else None)
    r = velm.lidar(scene, origins, directions, max_range=70.0, backend=backend)
    las = velm.write_las(r, out_dir() / "forest_points.las")
    print(f"{r.sizes['point']} returns from {len(origins)} pulses -> {las}")

    plt = pyplot()
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6))
    first = r.where(r.return_number == 1, drop=True)
    sc = axes[0].scatter(first.x, first.y, c=first.z, s=4, cmap="viridis")
    axes[0].set_aspect("equal")
    axes[0].set_xlabel("x (m)")
    axes[0].set_ylabel("y (m)")
    axes[0].set_title("first-return height")
    fig.colorbar(sc, ax=axes[0]).set_label("z (m)")
    busiest = int(r.pulse[np.argmax(r.number_of_returns.values)])
    wave = r.waveform.isel(pulse_index=busiest).sum("band")
    axes[1].plot(60.0 - wave.range_bin, wave)
    axes[1].set_xlabel("height above ground, 60 m - range (m)")
    axes[1].set_ylabel("received energy per bin (J)")
    axes[1].set_title(f"waveform of pulse {busiest}")
    fig.tight_layout()
    path = out_dir() / "lidar_waveform.png"
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")
    return r


if __name__ == "__main__":
    main()
