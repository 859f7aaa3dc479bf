"""VELM demo: a small procedural forest rendered on the CPU, and on Vulkan beside it.

A 40 m x 40 m soil patch with a few dozen trees (cylinder trunks under icosphere crowns), three
bands (470, 660, 860 nm), the sun at 30 degrees zenith, a constant sky and an orthographic nadir
camera. Writes out/demo_forest.png: the near-infrared radiance with labelled axes and a colour
bar, beside a false-colour composite; with a Vulkan device (backend="vulkan", lavapipe
included) also the Vulkan image and how closely the two agree.

    python -m velm.examples.demo [--pixels 128] [--spp 16] [--backends cpu,vulkan]
"""

import argparse
import logging
import time

import numpy as np

import velm
from velm.examples._plot import image_panel, out_dir, pyplot


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pixels", type=int, default=128)
    ap.add_argument("--spp", type=int, default=16)
    ap.add_argument("--trees", type=int, default=36)
    ap.add_argument("--backends", default="cpu,vulkan")
    args = ap.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(message)s")

    scene = velm.procedural_forest(n_trees=args.trees, seed=2024, bands=3,
                                   pixels=(args.pixels, args.pixels))
    print(f"velm {velm.__version__}; backends compiled in: {', '.join(velm.available_backends())}")
    images = {}
    for backend in args.backends.split(","):
        t0 = time.perf_counter()
        try:
            images[backend] = velm.render(scene, spp=args.spp, max_depth=8, backend=backend)
        except (RuntimeError, IndexError) as e:
            print(f"{backend:7s} unavailable here ({e})")
            continue
        mean = images[backend].mean(("x", "y")).values
        print(f"{backend:7s} {time.perf_counter() - t0:6.2f} s; mean radiance per band "
              + ", ".join(f"{v:.3f}" for v in mean) + " W m-2 sr-1 nm-1")
    if len(images) == 2:
        a, b = images.values()
        print(f"mean |difference| / mean = {float(abs(a - b).mean() / a.mean()):.1e}")

    plt = pyplot()
    first = next(iter(images.values()))
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6))
    image_panel(axes[0], first.sel(band=860.0), f"near infrared (860 nm), {first.backend}")
    rgb = first.sel(band=[860.0, 660.0, 470.0]).values
    rgb = np.clip(rgb / np.percentile(rgb.reshape(-1, 3), 99, axis=0), 0, 1) ** (1 / 2.2)
    x, y = first.x.values, first.y.values
    axes[1].imshow(rgb, origin="lower", extent=(x[0], x[-1], y[0], y[-1]))
    axes[1].set_xlabel("x (m)")
    axes[1].set_ylabel("y (m)")
    axes[1].set_title("false colour: 860, 660, 470 nm as R, G, B")
    fig.tight_layout()
    path = out_dir() / "demo_forest.png"
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")
    return images


if __name__ == "__main__":
    main()
