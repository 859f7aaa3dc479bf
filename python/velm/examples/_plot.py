"""Shared plotting for the examples: labelled axes, units and a colour bar."""

import os
from pathlib import Path


def out_dir() -> Path:
    d = Path(os.environ.get("VELM_OUT", "out"))
    d.mkdir(parents=True, exist_ok=True)
    return d


def pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def image_panel(ax, data, title, cmap="viridis"):
    """`data`: a 2-D DataArray with x and y coordinates; draws it with a colour bar."""
    x, y = data["x"], data["y"]
    im = ax.pcolormesh(x.values, y.values, data.values, shading="nearest", cmap=cmap)
    ax.set_xlabel(f"{x.attrs.get('long_name', 'x')} ({x.attrs.get('units', '')})")
    ax.set_ylabel(f"{y.attrs.get('long_name', 'y')} ({y.attrs.get('units', '')})")
    ax.set_aspect("equal")
    ax.set_title(title)
    cb = ax.figure.colorbar(im, ax=ax)
    cb.set_label(f"{data.attrs.get('long_name', data.name)} ({data.attrs.get('units', '')})")
    return im
