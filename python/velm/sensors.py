"""Sensors: orthographic, perspective and fisheye cameras with look-at helpers.

A camera is placed by its camera-to-world matrix, a 4x4 row-major matrix whose first three
columns are the camera's x, y and z axes in the world and whose fourth column is its position;
the camera looks along its -z axis. Image columns run along +x and rows along +y of the camera
(row 0 is the low-y edge of the image). Positions are in metres, angles in degrees.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

ORTHOGRAPHIC_CODE = 0
PERSPECTIVE_CODE = 1
FISHEYE_CODE = 4
FISHEYE_PROJECTIONS = {"equisolid": 0, "equidistant": 1, "orthographic": 2, "stereographic": 3}


def sun_direction(zenith: float, azimuth: float) -> np.ndarray:
    """Unit vector from the scene towards the sun (float32, shape (3,)).

    zenith: degrees from the vertical; azimuth: degrees from +x towards +y.
    """
    th, ph = math.radians(zenith), math.radians(azimuth)
    return np.array([math.sin(th) * math.cos(ph), math.sin(th) * math.sin(ph), math.cos(th)],
                    np.float32)


def look_at(position, target, up=(0.0, 0.0, 1.0)) -> np.ndarray:
    """Camera-to-world matrix (4x4 float32) of a camera at `position` looking at `target`.

    `up` (default +z) sets the image's +y direction; for a camera looking straight along it,
    +y is used instead.
    """
    p = np.asarray(position, np.float64)
    z = p - np.asarray(target, np.float64)
    if np.linalg.norm(z) == 0:
        raise ValueError("look_at: position and target coincide")
    z /= np.linalg.norm(z)
    up = np.asarray(up, np.float64)
    x = np.cross(up, z)
    if np.linalg.norm(x) < 1e-9:
        x = np.cross((0.0, 1.0, 0.0), z)
        if np.linalg.norm(x) < 1e-9:
            x = np.array([1.0, 0.0, 0.0])
    x /= np.linalg.norm(x)
    y = np.cross(z, x)
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = x, y, z, p
    return m.astype(np.float32)


def nadir_camera(x: float, y: float, altitude: float) -> np.ndarray:
    """Camera-to-world matrix of a camera at (x, y, altitude) looking straight down, image +x
    along world +x and +y along world +y (4x4 float32)."""
    m = np.eye(4, dtype=np.float32)
    m[:3, 3] = (x, y, altitude)
    return m


def oblique_camera(zenith: float, azimuth: float = 0.0, distance: float = 100.0,
                   target=(0.0, 0.0, 0.0)) -> np.ndarray:
    """Camera-to-world matrix of a camera `distance` metres from `target`, seen from `zenith`
    degrees off the vertical towards `azimuth` (degrees from +x towards +y), looking at it.
    The image's +y axis stays horizontal (perpendicular to the plane of view)."""
    d = sun_direction(zenith, azimuth).astype(np.float64)
    z = d
    y = np.array([-math.sin(math.radians(azimuth)), math.cos(math.radians(azimuth)), 0.0])
    x = np.cross(y, z)
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2] = x, y, z
    m[:3, 3] = np.asarray(target, np.float64) + distance * d
    return m.astype(np.float32)


def _matrix(camera_to_world) -> tuple:
    m = np.asarray(camera_to_world, np.float64)
    if m.size == 12:
        m = np.vstack([m.reshape(3, 4), [0, 0, 0, 1]])
    if m.size != 16:
        raise ValueError("camera_to_world must be a 4x4 (or 3x4) matrix")
    return tuple(float(v) for v in m.ravel())


@dataclass(frozen=True)
class _Sensor:
    width: int
    height: int
    camera_to_world: tuple

    def __post_init__(self):
        if int(self.width) < 1 or int(self.height) < 1:
            raise ValueError(f"sensor size must be at least 1 x 1 pixels, not "
                             f"{self.width} x {self.height}")
        object.__setattr__(self, "width", int(self.width))
        object.__setattr__(self, "height", int(self.height))
        object.__setattr__(self, "camera_to_world", _matrix(self.camera_to_world))

    @property
    def matrix(self) -> np.ndarray:
        """Camera-to-world matrix, 4x4 float32."""
        return np.asarray(self.camera_to_world, np.float32).reshape(4, 4)

    def _uv(self):
        u = (np.arange(self.width) + 0.5) / self.width - 0.5
        v = (np.arange(self.height) + 0.5) / self.height - 0.5
        return u, v


@dataclass(frozen=True)
class Orthographic(_Sensor):
    """Orthographic camera: parallel rays along the camera's -z axis.

    width, height: pixels; extent: (metres along the image x axis, metres along y) covered by
    the image; camera_to_world: 4x4 matrix (module docstring). See ``Orthographic.nadir``.
    """

    extent: tuple = (1.0, 1.0)
    terrain_following: bool = False

    type_code = ORTHOGRAPHIC_CODE

    def __post_init__(self):
        super().__post_init__()
        ex, ey = (float(v) for v in np.broadcast_to(np.asarray(self.extent, float), (2,)))
        if not (0 < ex < math.inf and 0 < ey < math.inf):
            raise ValueError(f"orthographic extent must be positive and finite, not {self.extent}")
        object.__setattr__(self, "extent", (ex, ey))

    @classmethod
    def nadir(cls, extent, pixels=(64, 64), center=(0.0, 0.0), altitude: float = 1000.0,
              terrain_following: bool = False) -> "Orthographic":
        """Looking straight down over `extent` = (metres in x, metres in y) (or one number)
        centred on `center` = (x, y), from `altitude` metres (above every surface);
        `pixels` = (width, height)."""
        ext = tuple(float(v) for v in np.broadcast_to(np.asarray(extent, float), (2,)))
        w, h = np.broadcast_to(np.asarray(pixels), (2,))
        return cls(int(w), int(h), nadir_camera(center[0], center[1], altitude), ext,
                   terrain_following)

    @classmethod
    def oblique(cls, zenith, azimuth=0.0, extent=(10.0, 10.0), pixels=(64, 64),
                target=(0.0, 0.0, 0.0), distance=1000.0) -> "Orthographic":
        """Viewing `target` from `zenith` degrees off nadir towards `azimuth` (degrees from +x
        towards +y); `extent` in metres across the image plane."""
        ext = tuple(float(v) for v in np.broadcast_to(np.asarray(extent, float), (2,)))
        w, h = np.broadcast_to(np.asarray(pixels), (2,))
        return cls(int(w), int(h), oblique_camera(zenith, azimuth, distance, target), ext)

    def native(self):
        return (self.type_code, self.width, self.height, self.extent[0], self.extent[1],
                self.matrix.ravel(), 60.0, 0, bool(self.terrain_following))

    def coords(self) -> dict:
        """Pixel-centre coordinates: metres along the image axes measured from the world origin
        (world x and y for a nadir camera)."""
        u, v = self._uv()
        m = self.matrix.astype(np.float64)
        x0 = float(m[:3, 0] @ m[:3, 3])
        y0 = float(m[:3, 1] @ m[:3, 3])
        return {"x": ("x", x0 + u * self.extent[0], {"units": "m",
                                                     "long_name": "image x (camera +x axis)"}),
                "y": ("y", y0 + v * self.extent[1], {"units": "m",
                                                     "long_name": "image y (camera +y axis)"})}


@dataclass(frozen=True)
class Perspective(_Sensor):
    """Pinhole camera. fov: vertical field of view in degrees (the horizontal one follows from
    the aspect ratio). See ``Perspective.look_at``."""

    fov: float = 60.0

    type_code = PERSPECTIVE_CODE

    def __post_init__(self):
        super().__post_init__()
        if not 0 < float(self.fov) < 180:
            raise ValueError(f"perspective fov must be in (0, 180) degrees, not {self.fov}")

    @classmethod
    def look_at(cls, position, target=(0.0, 0.0, 0.0), up=(0.0, 0.0, 1.0), fov=60.0,
                pixels=(64, 64)) -> "Perspective":
        w, h = np.broadcast_to(np.asarray(pixels), (2,))
        return cls(int(w), int(h), look_at(position, target, up), float(fov))

    def native(self):
        return (self.type_code, self.width, self.height, 0.0, 0.0, self.matrix.ravel(),
                float(self.fov), 0, False)

    def coords(self) -> dict:
        """View angles of the pixel centres from the optical axis, in degrees."""
        u, v = self._uv()
        t = math.tan(math.radians(self.fov) / 2)
        ax = np.degrees(np.arctan(2 * u * t * self.width / self.height))
        ay = np.degrees(np.arctan(2 * v * t))
        return {"x": ("x", ax, {"units": "degree", "long_name": "view angle along image x"}),
                "y": ("y", ay, {"units": "degree", "long_name": "view angle along image y"})}


@dataclass(frozen=True)
class Fisheye(_Sensor):
    """Fisheye camera (hemispherical photography). fov: full field of view in degrees (180: a
    hemisphere); projection: "equisolid", "equidistant", "orthographic" or "stereographic".
    Pixels outside the image circle stay 0. See ``Fisheye.look_at`` and ``Fisheye.upward``."""

    fov: float = 180.0
    projection: str = "equisolid"

    type_code = FISHEYE_CODE

    def __post_init__(self):
        super().__post_init__()
        if self.projection not in FISHEYE_PROJECTIONS:
            raise ValueError(f"fisheye projection must be one of "
                             f"{', '.join(FISHEYE_PROJECTIONS)}, not {self.projection!r}")
        if not 0 < float(self.fov) <= 360:
            raise ValueError(f"fisheye fov must be in (0, 360] degrees, not {self.fov}")

    @classmethod
    def look_at(cls, position, target, up=(0.0, 0.0, 1.0), fov=180.0, pixels=(64, 64),
                projection="equisolid") -> "Fisheye":
        w, h = np.broadcast_to(np.asarray(pixels), (2,))
        return cls(int(w), int(h), look_at(position, target, up), float(fov), projection)

    @classmethod
    def upward(cls, position, fov=180.0, pixels=(64, 64), projection="equisolid") -> "Fisheye":
        """Looking straight up from `position` (hemispherical canopy photograph)."""
        p = np.asarray(position, np.float64)
        return cls.look_at(p, p + (0, 0, 1), up=(0, 1, 0), fov=fov, pixels=pixels,
                           projection=projection)

    def native(self):
        return (self.type_code, self.width, self.height, 0.0, 0.0, self.matrix.ravel(),
                float(self.fov), FISHEYE_PROJECTIONS[self.projection], False)

    def coords(self) -> dict:
        """Image-plane coordinates u, v in [-0.5, 0.5] and, per pixel, the angle from the
        optical axis (view_zenith) and the azimuth in the image plane (from image +x), degrees;
        NaN outside the image circle."""
        u, v = self._uv()
        uu, vv = np.meshgrid(u, v)
        r = np.hypot(uu, vv)
        h = math.radians(self.fov) / 2
        with np.errstate(invalid="ignore"):
            theta = {"equisolid": 2 * np.arcsin(np.where(2 * r * math.sin(h / 2) <= 1,
                                                         2 * r * math.sin(h / 2), np.nan)),
                     "equidistant": 2 * h * r,
                     "orthographic": np.arcsin(np.where(2 * r * math.sin(h) <= 1,
                                                        2 * r * math.sin(h), np.nan)),
                     "stereographic": 2 * np.arctan(2 * r * math.tan(h / 2))}[self.projection]
        theta = np.where(theta > h, np.nan, theta)
        phi = np.where(np.isnan(theta), np.nan, np.degrees(np.arctan2(vv, uu)))
        return {"x": ("x", u, {"units": "1", "long_name": "image-plane u"}),
                "y": ("y", v, {"units": "1", "long_name": "image-plane v"}),
                "view_zenith": (("y", "x"), np.degrees(theta),
                                {"units": "degree", "long_name": "angle from the optical axis"}),
                "view_azimuth": (("y", "x"), phi,
                                 {"units": "degree", "long_name": "azimuth from image +x"})}


Sensor = (Orthographic, Perspective, Fisheye)
