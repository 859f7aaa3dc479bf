"""Files scientists exchange: meshes in (trimesh: OBJ, PLY, glTF, ...) and LiDAR points out
(laspy: LAS 1.4, LAZ when a LAZ backend is installed)."""

from __future__ import annotations

import logging
from pathlib import Path

import numpy as np

from .scene import Mesh

log = logging.getLogger("velm")


def load_mesh(path, material: str | None = None) -> dict:
    """Reads a mesh file with trimesh and returns its parts as ``{name: velm.Mesh}``.

    Faces are grouped by the file's materials: each material group becomes its own mesh, named
    after the material (OBJ ``usemtl``, glTF materials; a file without materials gives one mesh
    named after the file). Each mesh's ``material`` is that name (or `material` when given), so
    the scene needs a material of that name. Scene-graph transforms of glTF files are applied.
    Vertex normals come from the file when it has them.
    """
    import trimesh

    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no mesh file {str(path)!r}")
    loaded = trimesh.load(str(path), force="scene", group_material=True, process=False)
    meshes = {}
    for node in loaded.graph.nodes_geometry:
        xf, geometry_name = loaded.graph[node]
        geom = loaded.geometry[geometry_name]
        if not isinstance(geom, trimesh.Trimesh) or len(geom.faces) == 0:
            continue
        g = geom.copy()
        g.apply_transform(xf)
        mat = getattr(getattr(g.visual, "material", None), "name", None)
        name = mat or geometry_name or path.stem
        normals = None
        if "vertex_normals" in g._cache or g.vertex_normals is not None:
            normals = np.asarray(g.vertex_normals, np.float32)
        mesh = Mesh(np.asarray(g.vertices, np.float32), np.asarray(g.faces, np.int32),
                    material or name, normals)
        key, k = name, 1
        while key in meshes:
            k += 1
            key = f"{name}.{k}"
        meshes[key] = mesh
    if not meshes:
        raise ValueError(f"{path}: no triangles found")
    log.info("%s: %d meshes (%s)", path, len(meshes), ", ".join(meshes))
    return meshes


def write_las(points, path, *, scale: float = 0.001):
    """Writes LiDAR points (the Dataset of ``velm.lidar`` or one with the same variables) as a
    LAS 1.4 file (point format 6): x, y, z (m, stored to `scale` m), intensity (scaled to the
    16-bit range; the scale factor is kept in the extra dimension ``intensity_j`` in J),
    return number, number of returns, and the extra dimensions ``range`` (m) and ``pulse``
    (the int64 pulse index). A ``.laz`` path is compressed (needs lazrs or laszip).
    """
    import laspy

    x = np.asarray(points["x"], np.float64)
    header = laspy.LasHeader(point_format=6, version="1.4")
    header.scales = np.array([scale] * 3)
    header.offsets = np.array([np.floor(np.min(np.asarray(points[c]))) if len(x) else 0.0
                               for c in ("x", "y", "z")])
    header.add_extra_dims([laspy.ExtraBytesParams("range", np.float32, description="m"),
                           laspy.ExtraBytesParams("pulse", np.int64, description="pulse index"),
                           laspy.ExtraBytesParams("intensity_j", np.float32,
                                                  description="J")])
    las = laspy.LasData(header)
    las.x, las.y, las.z = x, np.asarray(points["y"]), np.asarray(points["z"])
    inten = np.asarray(points["intensity"], np.float64)
    top = inten.max() if len(inten) and inten.max() > 0 else 1.0
    las.intensity = np.round(inten / top * 65535).astype(np.uint16)
    las.return_number = np.clip(np.asarray(points["return_number"]), 0, 15).astype(np.uint8)
    las.number_of_returns = np.clip(np.asarray(points["number_of_returns"]), 0,
                                    15).astype(np.uint8)
    las.range = np.asarray(points["range"], np.float32)
    las.pulse = np.asarray(points["pulse"], np.int64)
    las.intensity_j = inten.astype(np.float32)
    las.write(str(path))
    return Path(path)


def read_las(path) -> dict:
    """Reads a LAS/LAZ file written by ``write_las`` back into numpy arrays (x, y, z,
    intensity in J, return_number, number_of_returns, range, pulse)."""
    import laspy

    las = laspy.read(str(path))
    names = set(las.point_format.extra_dimension_names)
    return {"x": np.asarray(las.x), "y": np.asarray(las.y), "z": np.asarray(las.z),
            "intensity": np.asarray(las.intensity_j if "intensity_j" in names
                                    else las.intensity, np.float64),
            "return_number": np.asarray(las.return_number, np.int32),
            "number_of_returns": np.asarray(las.number_of_returns, np.int32),
            "range": np.asarray(las.range) if "range" in names else None,
            "pulse": np.asarray(las.pulse) if "pulse" in names else None}
