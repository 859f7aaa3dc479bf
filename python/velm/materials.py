"""Optical materials: named objects in place of the native type codes.

Spectral values are given per band of the scene (one value per wavelength of ``Scene.bands``) or
as one number for every band. Reflectances and transmittances are fractions in [0, 1].

Every material can also carry thermal settings, used by ``velm.render(..., thermal=True)``:
``emissivity`` (per band, default: one minus the reflectance and transmittance, as for an opaque
or thin body in equilibrium), ``temperature`` (K) or the pair ``sunlit_temperature`` /
``shaded_temperature`` (K, both positive: a surface point takes the first where it sees the sun),
and a solar-induced fluorescence spectrum ``sif`` (W m^-2 sr^-1 nm^-1 per band, emitted by every
surface of the material; GPU backends).
"""

from __future__ import annotations

from dataclasses import dataclass, fields

import numpy as np

# Native material type codes.
LAMBERTIAN_CODE = 0
RPV_CODE = 1
LEAF_CODE = 13


def spectrum(values, bands: int, what: str) -> np.ndarray:
    """`values` (a number or one value per band) as a float32 array of `bands` values."""
    a = np.asarray(values, np.float64).ravel()
    if a.size == 1:
        return np.full(bands, a[0], np.float32)
    if a.size != bands:
        raise ValueError(f"{what} has {a.size} values but the scene has {bands} bands: give one "
                         f"value per band of Scene.bands (or a single number for all bands)")
    return a.astype(np.float32)


def check_values(values, what: str, lo: float = -np.inf, hi: float = np.inf) -> None:
    """Raises ValueError unless `values` are finite numbers in [lo, hi]."""
    try:
        a = np.asarray(values, np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a number or one number per band, not {values!r}") \
            from None
    if a.size > 0 and np.all(np.isfinite(a)) and np.all(a >= lo) and np.all(a <= hi):
        return
    if np.isfinite(hi):
        rule = f"lie in [{lo:g}, {hi:g}]"
    elif np.isfinite(lo):
        rule = f"be at least {lo:g}"
    else:
        rule = "be finite"
    shown = float(a.ravel()[0]) if a.size == 1 else _frozen(a)
    raise ValueError(f"{what} must {rule}, not {shown}")


def _frozen(values):
    if values is None:
        return None
    a = np.asarray(values, np.float64)
    return float(a) if a.ndim == 0 else tuple(float(x) for x in a.ravel())


@dataclass(frozen=True)
class _Material:
    """Fields shared by every material (thermal and fluorescence settings)."""

    # (lowest, highest) value of each numeric field; fields not named here are only finite.
    _ranges = {"emissivity": (0.0, 1.0), "temperature": (0.0, np.inf),
               "sunlit_temperature": (0.0, np.inf), "shaded_temperature": (0.0, np.inf),
               "sif": (0.0, np.inf)}

    def __post_init__(self):
        # Values a simulation cannot use (NaN, a reflectance above 1 that would create energy)
        # are refused here, where they are given.
        for f in fields(self):
            v = getattr(self, f.name)
            if v is not None:
                lo, hi = self._ranges.get(f.name, (-np.inf, np.inf))
                check_values(v, f"{type(self).__name__} {f.name}", lo, hi)
        # Plain tuples and floats: the material is hashable, comparable and pickles compactly.
        for f in fields(self):
            v = getattr(self, f.name)
            if f.name != "name" and v is not None and not isinstance(v, (str, bool)):
                object.__setattr__(self, f.name, _frozen(v))

    type_code = -1

    def blocks(self, bands: int) -> list[np.ndarray]:  # pragma: no cover - abstract
        raise NotImplementedError

    def scalars(self, bands: int) -> list[float]:
        """The eight native scalar parameters: sampling weights (leaf) and temperatures."""
        s = [0.0] * 8
        s[2] = float(self.temperature or 0.0)
        s[3] = float(self.sunlit_temperature or 0.0)
        s[4] = float(self.shaded_temperature or 0.0)
        return s

    def emissivity_spectrum(self, bands: int) -> np.ndarray:
        if self.emissivity is not None:
            return spectrum(self.emissivity, bands, "emissivity")
        return np.clip(1.0 - self._opacity_complement(bands), 0.0, 1.0).astype(np.float32)

    def sif_spectrum(self, bands: int) -> np.ndarray | None:
        return None if self.sif is None else spectrum(self.sif, bands, "sif")

    @property
    def emits(self) -> bool:
        return bool(self.temperature or (self.sunlit_temperature and self.shaded_temperature))


def _thermal_doc(cls):
    cls.__doc__ += """
    Thermal and fluorescence settings (all optional): ``emissivity`` (per band), ``temperature``
    (K), ``sunlit_temperature`` and ``shaded_temperature`` (K), ``sif`` (W m^-2 sr^-1 nm^-1 per
    band). See the module docstring of ``velm.materials``.
    """
    return cls


@_thermal_doc
@dataclass(frozen=True)
class Lambertian(_Material):
    """Diffuse reflector: BRDF = reflectance / pi.

    reflectance: per band (or one number), in [0, 1].
    """

    reflectance: object = 0.2
    emissivity: object = None
    temperature: float | None = None
    sunlit_temperature: float | None = None
    shaded_temperature: float | None = None
    sif: object = None

    type_code = LAMBERTIAN_CODE
    _ranges = {**_Material._ranges, "reflectance": (0.0, 1.0)}

    def blocks(self, bands):
        return [spectrum(self.reflectance, bands, "Lambertian reflectance")]

    def _opacity_complement(self, bands):
        return spectrum(self.reflectance, bands, "reflectance")


@_thermal_doc
@dataclass(frozen=True)
class RPV(_Material):
    """Rahman-Pinty-Verstraete reflector (the native form has no (cos + cos) term).

    rho0: amplitude per band; k: Minnaert exponent per band; theta: Henyey-Greenstein asymmetry
    per band (negative: backward scattering); rho_c: hot-spot parameter per band (1: none).
    """

    rho0: object = 0.1
    k: object = 0.7
    theta: object = -0.1
    rho_c: object = 1.0
    emissivity: object = None
    temperature: float | None = None
    sunlit_temperature: float | None = None
    shaded_temperature: float | None = None
    sif: object = None

    type_code = RPV_CODE
    # theta at +-1 makes the Henyey-Greenstein term 0 / 0 in the exact back or forward direction.
    _ranges = {**_Material._ranges, "rho0": (0.0, np.inf), "theta": (-0.999, 0.999)}

    def blocks(self, bands):
        return [spectrum(getattr(self, n), bands, f"RPV {n}")
                for n in ("rho0", "k", "theta", "rho_c")]

    def _opacity_complement(self, bands):
        return spectrum(self.rho0, bands, "rho0")


def _check_leaf_energy(reflectance, transmittance) -> None:
    """Raises ValueError when a side's reflectance plus the transmittance exceeds 1 in a band;
    spectra of different lengths are left to the check against the scene's bands."""
    r = np.asarray(reflectance, np.float64).ravel()
    t = np.asarray(transmittance, np.float64).ravel()
    if (r.size == t.size or 1 in (r.size, t.size)) and np.any(r + t > 1.0 + 1e-6):
        raise ValueError("leaf reflectance + transmittance exceeds 1 in some band: the leaf "
                         "would create energy")


@_thermal_doc
@dataclass(frozen=True)
class Leaf(_Material):
    """Thin diffuse-transmitting leaf: Lambertian reflection on each side and Lambertian
    transmission through it.

    reflectance: front (the side the mesh normals point to) per band; back_reflectance: per band
    (default: the front value); transmittance: per band. Reflectance plus transmittance must not
    exceed 1 in any band.
    """

    reflectance: object = 0.05
    transmittance: object = 0.05
    back_reflectance: object = None
    emissivity: object = None
    temperature: float | None = None
    sunlit_temperature: float | None = None
    shaded_temperature: float | None = None
    sif: object = None

    type_code = LEAF_CODE
    _ranges = {**_Material._ranges, "reflectance": (0.0, 1.0), "transmittance": (0.0, 1.0),
               "back_reflectance": (0.0, 1.0)}

    def __post_init__(self):
        super().__post_init__()
        for side in (self.reflectance, self.back_reflectance):
            if side is not None:
                _check_leaf_energy(side, self.transmittance)

    def blocks(self, bands):
        front = spectrum(self.reflectance, bands, "leaf reflectance")
        back = front if self.back_reflectance is None else \
            spectrum(self.back_reflectance, bands, "leaf back_reflectance")
        t = spectrum(self.transmittance, bands, "leaf transmittance")
        _check_leaf_energy(front, t)
        _check_leaf_energy(back, t)
        return [front, back, t]

    def scalars(self, bands):
        # Sampling weights of reflection and transmission: the mean reflectance and mean
        # transmittance, so each lobe is sampled in proportion to the light it carries.
        s = super().scalars(bands)
        r = float(np.mean(spectrum(self.reflectance, bands, "leaf reflectance")))
        t = float(np.mean(spectrum(self.transmittance, bands, "leaf transmittance")))
        s[0], s[1] = (r, t) if r + t > 0 else (0.5, 0.5)
        return s

    def _opacity_complement(self, bands):
        return (spectrum(self.reflectance, bands, "reflectance")
                + spectrum(self.transmittance, bands, "transmittance"))


Material = (Lambertian, RPV, Leaf)
