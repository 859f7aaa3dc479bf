"""``velm.Scene``: a backend-neutral description of a landscape in plain numpy data.

A scene holds the spectral bands (wavelengths in nm), triangle meshes, the instances that place
them, named materials, the sun, the sky, one sensor, an optional repeating tile and the height of
the flux measurement plane. It knows nothing of any backend: ``velm.render`` and the other
functions turn it into a native scene of the chosen backend (once, reused while the description
is unchanged). Scenes pickle, compare by content (``Scene.fingerprint()``), and copy with
``copy.deepcopy``.

Units: lengths in metres, angles in degrees, wavelengths in nm, spectral irradiance in
W m^-2 nm^-1 (on a surface facing the sun), spectral radiance in W m^-2 sr^-1 nm^-1.
"""

from __future__ import annotations

import hashlib
import math
import pickle
from collections import Counter
from dataclasses import dataclass, field, fields, is_dataclass

import numpy as np

from .materials import Lambertian, Leaf, RPV, check_values, spectrum
from .sensors import Fisheye, Orthographic, Perspective, sun_direction

_MATERIALS = (Lambertian, RPV, Leaf)
_SENSORS = (Orthographic, Perspective, Fisheye)


def vertex_normals(vertices, indices) -> np.ndarray:
    """Area-weighted per-vertex normals (float32, (V, 3)) of a triangle mesh."""
    v = np.asarray(vertices, np.float64)
    t = np.asarray(indices, np.int64)
    face = np.cross(v[t[:, 1]] - v[t[:, 0]], v[t[:, 2]] - v[t[:, 0]])
    n = np.zeros_like(v)
    for k in range(3):
        np.add.at(n, t[:, k], face)
    length = np.linalg.norm(n, axis=1, keepdims=True)
    n = np.where(length > 0, n / np.where(length > 0, length, 1), (0.0, 0.0, 1.0))
    return n.astype(np.float32)


@dataclass(eq=False)
class Mesh:
    """A triangle mesh in its own frame.

    vertices: (V, 3) metres; indices: (T, 3) vertex indices (0-based, counter-clockwise seen
    from the front); normals: (V, 3) per-vertex shading normals (default: area-weighted from the
    triangles); material: the name of a material of the scene.
    """

    vertices: np.ndarray
    indices: np.ndarray
    material: str
    normals: np.ndarray | None = None

    def __post_init__(self):
        self.vertices = np.ascontiguousarray(self.vertices, np.float32).reshape(-1, 3)
        self.indices = np.ascontiguousarray(self.indices, np.int32).reshape(-1, 3)
        if len(self.vertices) == 0 or len(self.indices) == 0:
            raise ValueError("a mesh needs at least one vertex and one triangle")
        if self.indices.min() < 0 or self.indices.max() >= len(self.vertices):
            raise ValueError(f"mesh indices must lie in [0, {len(self.vertices)}) (the vertex "
                             f"count); found {self.indices.min()} to {self.indices.max()}")
        if self.normals is None:
            self.normals = vertex_normals(self.vertices, self.indices)
        self.normals = np.ascontiguousarray(self.normals, np.float32).reshape(-1, 3)
        if len(self.normals) != len(self.vertices):
            raise ValueError("mesh normals must have one row per vertex")

    @classmethod
    def from_dict(cls, d: dict, material: str) -> "Mesh":
        """From a dict with ``vertices``, ``indices`` and optional ``normals`` (the form of
        ``velm_gpu.make_ground_plane``/``make_sphere``/``make_cylinder``)."""
        return cls(d["vertices"], d["indices"], material, d.get("normals"))

    @property
    def triangle_count(self) -> int:
        return len(self.indices)

    def __repr__(self):
        return (f"Mesh({len(self.vertices)} vertices, {self.triangle_count} triangles, "
                f"material={self.material!r})")

    def _digest(self, h):
        for a in (self.vertices, self.indices, self.normals):
            h.update(a.tobytes())
        h.update(self.material.encode())


def transform(position=(0.0, 0.0, 0.0), scale=1.0, yaw: float = 0.0) -> np.ndarray:
    """Row-major 3x4 transform: scale (one number or (sx, sy, sz)), then a rotation by `yaw`
    degrees about +z (from +x towards +y), then a translation to `position` (metres)."""
    sx, sy, sz = np.broadcast_to(np.asarray(scale, np.float64), (3,))
    c, s = math.cos(math.radians(yaw)), math.sin(math.radians(yaw))
    x, y, z = position
    return np.array([[c * sx, -s * sy, 0, x], [s * sx, c * sy, 0, y], [0, 0, sz, z]],
                    np.float32)


def as_transforms(transforms) -> np.ndarray:
    """(N, 3, 4) float32 from N 4x4, 3x4 or 12-value row-major transforms."""
    a = np.asarray(transforms, np.float32)
    if a.ndim == 2 and a.shape in ((3, 4), (4, 4)):
        a = a[None]
    if a.ndim == 1 and a.size == 12:
        a = a[None]
    if a.ndim == 2 and a.shape[1] == 12:
        return np.ascontiguousarray(a.reshape(-1, 3, 4))
    if a.ndim == 3 and a.shape[1:] == (4, 4):
        return np.ascontiguousarray(a[:, :3, :])
    if a.ndim == 3 and a.shape[1:] == (3, 4):
        return np.ascontiguousarray(a)
    raise ValueError(f"transforms must be 4x4 or 3x4 matrices (or rows of 12 values), "
                     f"not shape {a.shape}")


@dataclass(frozen=True)
class Sun:
    """The sun. zenith, azimuth: degrees (azimuth from +x towards +y); irradiance: spectral
    irradiance on a surface facing the sun, W m^-2 nm^-1, per band (or one number)."""

    zenith: float = 30.0
    azimuth: float = 0.0
    irradiance: object = 1.0

    def __post_init__(self):
        if not 0 <= float(self.zenith) <= 180:
            raise ValueError(f"sun zenith must be in [0, 180] degrees, not {self.zenith}")
        check_values(self.azimuth, "sun azimuth")
        check_values(self.irradiance, "sun irradiance", 0.0)
        a = np.asarray(self.irradiance, np.float64).ravel()
        object.__setattr__(self, "irradiance",
                           float(a[0]) if a.size == 1 else tuple(float(x) for x in a))

    @property
    def direction(self) -> np.ndarray:
        """Unit vector from the scene towards the sun."""
        return sun_direction(self.zenith, self.azimuth)


@dataclass(frozen=True)
class Sky:
    """A sky of constant spectral radiance (W m^-2 sr^-1 nm^-1 per band, or one number)."""

    radiance: object = 0.0

    def __post_init__(self):
        check_values(self.radiance, "sky radiance", 0.0)
        a = np.asarray(self.radiance, np.float64).ravel()
        object.__setattr__(self, "radiance",
                           float(a[0]) if a.size == 1 else tuple(float(x) for x in a))


@dataclass(frozen=True)
class Tile:
    """A repeating scene: the tile [0, size_x] x [0, size_y] (metres) is continued periodically
    `repetitions` times in x and y around itself (rays wrap across its sides)."""

    size_x: float
    size_y: float
    repetitions: int = 100

    def __post_init__(self):
        if not (0 < float(self.size_x) < math.inf and 0 < float(self.size_y) < math.inf) or \
                int(self.repetitions) < 1:
            raise ValueError("a tile needs positive, finite sizes and at least one repetition")


def _brief(value) -> str:
    """A part of a scene in one short line: numbers to 4 digits, long spectra cut to their ends,
    a camera by its position."""
    if is_dataclass(value):
        parts = []
        for f in fields(value):
            v = getattr(value, f.name)
            if f.name == "camera_to_world":
                m = np.asarray(v, np.float64).reshape(4, 4)
                parts.append(f"position={_brief(tuple(m[:3, 3]))}")
            else:
                parts.append(f"{f.name}={_brief(v)}")
        return f"{type(value).__name__}({', '.join(parts)})"
    if isinstance(value, (tuple, list, np.ndarray)) and all(
            isinstance(v, (int, float, np.number)) for v in np.ravel(value)):
        items = [_brief(v) for v in np.ravel(value)]
        if len(items) > 6:
            items = items[:3] + ["..."] + items[-2:]
        return "(" + ", ".join(items) + ")"
    if isinstance(value, (float, np.floating)):
        return f"{float(value):.4g}"
    return repr(value)


@dataclass(frozen=True)
class _PackedInstances:
    """A scene's instances as it pickles them (Scene.__getstate__)."""

    names: list
    transforms: np.ndarray  # (N, 3, 4) float32


@dataclass(eq=False)
class Scene:
    """Backend-neutral scene description (see the module docstring for units).

    bands: band-centre wavelengths in nm, one per simulated band.
    """

    bands: np.ndarray = field(default_factory=lambda: np.array([550.0]))
    meshes: dict = field(default_factory=dict)
    instances: list = field(default_factory=list)  # (mesh name, (3, 4) float32 transform)
    materials: dict = field(default_factory=dict)
    sun: Sun | None = None
    sky: Sky | None = None
    sensor: object = None
    tile: Tile | None = None
    measurement_plane: float = 0.0

    def __post_init__(self):
        self.bands = np.atleast_1d(np.asarray(self.bands, np.float64)).ravel()
        if self.bands.size < 1:
            raise ValueError("a scene needs at least one band (wavelengths in nm)")
        check_values(self.bands, "band wavelengths (nm)", 1e-3)
        self._native = {}

    # ---- building --------------------------------------------------------------------------

    @property
    def band_count(self) -> int:
        return int(self.bands.size)

    def add_material(self, name: str, material) -> str:
        """Adds (or replaces) the material `name`; returns the name."""
        if not isinstance(material, _MATERIALS):
            raise TypeError(f"material {name!r} must be a velm.Lambertian, velm.RPV or "
                            f"velm.Leaf, not {type(material).__name__}")
        self.materials[name] = material
        return name

    def add_mesh(self, name: str, mesh, material: str | None = None) -> str:
        """Adds the mesh `name`: a ``velm.Mesh`` or a dict of arrays (``vertices``,
        ``indices``, optional ``normals``) with `material` (a material name). Returns the
        name."""
        if isinstance(mesh, dict):
            if material is None:
                raise ValueError(f"mesh {name!r}: name its material (material='...')")
            mesh = Mesh.from_dict(mesh, material)
        elif material is not None:
            mesh.material = material
        if name in self.meshes:
            raise ValueError(f"a mesh named {name!r} exists already")
        self.meshes[name] = mesh
        return name

    def add_instance(self, mesh: str, transform_=None, *, position=(0.0, 0.0, 0.0), scale=1.0,
                     yaw: float = 0.0) -> int:
        """Places mesh `mesh` once, by a 4x4 or 3x4 transform or by position (m), scale and
        yaw (degrees about +z). Returns the instance index."""
        xf = as_transforms(transform_)[0] if transform_ is not None else \
            transform(position, scale, yaw)
        return self.add_instances(mesh, xf[None])

    def add_instances(self, mesh: str, transforms) -> int:
        """Places mesh `mesh` once per transform ((N, 4, 4), (N, 3, 4) or (N, 12)). Returns the
        index of the first new instance."""
        if mesh not in self.meshes:
            raise KeyError(f"no mesh named {mesh!r}; the scene has "
                           f"{', '.join(map(repr, self.meshes)) or 'no meshes'}")
        xfs = as_transforms(transforms)
        if not np.all(np.isfinite(xfs)):
            raise ValueError("instance transforms must be finite (no NaN or infinity)")
        first = self.instance_count
        for xf in xfs:
            self.instances.append((mesh, xf))
        return first

    @property
    def instance_count(self) -> int:
        return len(self.instances)

    def instances_of(self, mesh: str) -> list[int]:
        """Indices of the instances of mesh `mesh`."""
        return [i for i, (m, _) in enumerate(self.instances) if m == mesh]

    # ---- derived quantities ----------------------------------------------------------------

    def bounds(self) -> tuple[np.ndarray, np.ndarray]:
        """World box (lo, hi) of every instanced triangle (metres)."""
        lo, hi = np.full(3, np.inf), np.full(3, -np.inf)
        for mesh, xfs in self._instance_batches(lambda mesh: len(mesh.vertices)):
            w = xfs[:, :, :3] @ mesh.vertices.astype(np.float64).T + xfs[:, :, 3:]  # (n, 3, V)
            lo, hi = np.minimum(lo, w.min(axis=(0, 2))), np.maximum(hi, w.max(axis=(0, 2)))
        return lo, hi

    def _instance_arrays(self) -> tuple[list, np.ndarray]:
        """The instances' mesh names and their (N, 3, 4) float32 transforms."""
        return ([name for name, _ in self.instances],
                np.array([xf for _, xf in self.instances], np.float32).reshape(-1, 3, 4))

    def _instance_groups(self):
        """Consecutive instances of one mesh, as (mesh name, (n, 3, 4) transforms)."""
        if not self.instances:
            return []
        names, xfs = self._instance_arrays()
        starts = [0] + [i for i in range(1, len(names)) if names[i] != names[i - 1]]
        return [(names[a], xfs[a:b]) for a, b in zip(starts, starts[1:] + [len(names)])]

    def _instance_batches(self, size):
        """The instances in global order as (mesh, (n, 3, 4) float64 transforms) of one mesh
        each, n such that n * size(mesh) stays near 256k: per-instance arrays of that many
        values stay in cache, however many instances there are."""
        for name, xfs in self._instance_groups():
            mesh = self.meshes[name]
            step = max(1, (1 << 18) // max(1, size(mesh)))
            for k in range(0, len(xfs), step):
                yield mesh, xfs[k:k + step].astype(np.float64)

    def _triangle_counts(self) -> np.ndarray:
        """Triangles of each instance, in instance order."""
        return np.array([self.meshes[m].triangle_count for m, _ in self.instances], np.int64)

    def primitive_materials(self) -> np.ndarray:
        """Material name index per primitive in global order (instances in order, each one's
        triangles in order)."""
        names = list(self.materials)
        code = {m: names.index(self.meshes[m].material) for m in {m for m, _ in self.instances}}
        ids = np.array([code[m] for m, _ in self.instances], np.int64)
        return np.repeat(ids, self._triangle_counts())

    def primitive_count(self) -> int:
        return int(self._triangle_counts().sum())

    def fingerprint(self) -> str:
        """A digest of the whole description: equal for equal scenes, changed by any edit."""
        h = hashlib.blake2b(digest_size=16)
        self._digest_geometry(h)
        self._digest_optics(h)
        return h.hexdigest()

    def _digest_optics(self, h):
        """Adds everything but the geometry to the digest `h`."""
        h.update(self.bands.tobytes())
        h.update(pickle.dumps((list(self.materials.items()), self.sun, self.sky, self.sensor,
                               self.tile, float(self.measurement_plane)), protocol=4))

    def _digest_geometry(self, h):
        """Adds the meshes and the instances to the digest `h`: the transforms of each run of
        instances of one mesh at once (a scene of 200,000 trees digests in milliseconds)."""
        for name, mesh in self.meshes.items():
            h.update(name.encode())
            mesh._digest(h)
        for name, xfs in self._instance_groups():
            h.update(f"{name}\0{len(xfs)}\0".encode())
            h.update(np.ascontiguousarray(xfs, np.float32).tobytes())

    def __eq__(self, other):
        return isinstance(other, Scene) and self.fingerprint() == other.fingerprint()

    def __repr__(self):
        """A summary, a line per part: counts and names rather than the arrays (the arrays are
        the attributes)."""
        def listing(items, most=8):
            items = list(items)
            shown = ", ".join(items[:most])
            return shown + (f", ... ({len(items)} in all)" if len(items) > most else "") or "none"

        per_mesh = Counter(name for name, _ in self.instances)
        lines = [
            "<velm.Scene>",
            f"bands:       {self.band_count} at {_brief(self.bands)} nm",
            "meshes:      " + listing(f"{n} ({m.triangle_count} triangles, {m.material})"
                                      for n, m in self.meshes.items()),
            f"instances:   {self.instance_count}"
            + (" (" + listing(f"{n} x{k}" for n, k in per_mesh.items()) + "), "
               f"{self.primitive_count():,} triangles in all" if self.instances else ""),
            "materials:   " + listing(f"{n} ({type(m).__name__})"
                                      for n, m in self.materials.items()),
            f"sun:         {_brief(self.sun)}",
            f"sky:         {_brief(self.sky)}",
            f"sensor:      {_brief(self.sensor)}",
        ]
        if self.tile is not None:
            lines.append(f"tile:        {_brief(self.tile)}")
        return "\n".join(lines)

    __hash__ = None  # mutable: use fingerprint() as a key

    # ---- pickling: the description only, never native objects ------------------------------

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("_native", None)
        # The instances as one array of transforms and their mesh names: a list of small arrays
        # pickles an object per instance (a second for 200,000 trees).
        if self.instances:
            state["instances"] = _PackedInstances(*self._instance_arrays())
        return state

    def __setstate__(self, state):
        packed = state.get("instances")
        if isinstance(packed, _PackedInstances):
            state["instances"] = list(zip(packed.names, packed.transforms))
        self.__dict__.update(state)
        self._native = {}

    def __deepcopy__(self, memo):
        return pickle.loads(pickle.dumps(self))

    # ---- checks shared by every simulation -------------------------------------------------

    def check(self, *, need_sensor=False, need_light=True, thermal=False):
        """Raises ValueError naming the fix when the description cannot be simulated."""
        nb = self.band_count
        if not self.meshes or not self.instances:
            raise ValueError("the scene has no geometry: add a mesh with scene.add_mesh(...) and "
                             "place it with scene.add_instance(...)")
        for name, mesh in self.meshes.items():
            if mesh.material not in self.materials:
                raise ValueError(f"mesh {name!r} uses material {mesh.material!r}, which the "
                                 f"scene does not have; add it with scene.add_material("
                                 f"{mesh.material!r}, velm.Lambertian(...)) (materials: "
                                 f"{', '.join(map(repr, self.materials)) or 'none'})")
        for name, mat in self.materials.items():
            try:
                mat.blocks(nb)
                if thermal:
                    mat.emissivity_spectrum(nb)
            except ValueError as e:
                raise ValueError(f"material {name!r}: {e}") from None
        if self.sun is not None:
            spectrum(self.sun.irradiance, nb, "sun irradiance")
        if self.sky is not None:
            spectrum(self.sky.radiance, nb, "sky radiance")
        if need_sensor and self.sensor is None:
            raise ValueError("the scene has no sensor: set scene.sensor = "
                             "velm.Orthographic.nadir(extent=..., pixels=...) (or "
                             "velm.Perspective / velm.Fisheye)")
        if self.sensor is not None and not isinstance(self.sensor, _SENSORS):
            raise TypeError("scene.sensor must be a velm.Orthographic, velm.Perspective or "
                            "velm.Fisheye")
        if thermal:
            if not any(m.emits for m in self.materials.values()):
                raise ValueError("thermal rendering: no material has a temperature; give "
                                 "temperature=... (K) to the materials that emit")
        elif need_light and self.sun is None and self.sky is None:
            raise ValueError("the scene has neither a sun nor a sky, so nothing lights it: set "
                             "scene.sun = velm.Sun(zenith=..., azimuth=..., irradiance=...) "
                             "and/or scene.sky = velm.Sky(radiance=...)")

    def horizontal_extent(self, what: str) -> tuple[float, float]:
        """(Sx, Sy) in metres over which photons are launched and grids laid: the tile when
        there is one, else the orthographic sensor's extent."""
        if self.tile is not None:
            return float(self.tile.size_x), float(self.tile.size_y)
        if isinstance(self.sensor, Orthographic):
            return self.sensor.extent
        raise ValueError(f"{what} needs a horizontal extent to launch photons over: set "
                         f"scene.tile = velm.Tile(size_x, size_y) or an orthographic sensor "
                         f"(scene.sensor = velm.Orthographic.nadir(extent=...))")
