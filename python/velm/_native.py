"""Where the native module and its device programs are, and which backends answer here.

The wheel installs the SPIR-V shaders and the PTX programs inside this package
(``velm/shaders``, ``velm/ptx``); a development build keeps them beside ``velm_gpu`` in the
build tree. Both places are searched, the package first.
"""

from __future__ import annotations

import functools
import logging
import operator
import os
from pathlib import Path

import velm_gpu

log = logging.getLogger("velm")

BACKENDS = ("cpu", "vulkan", "optix")

# VkPhysicalDeviceType: 4 is a CPU (software) device such as lavapipe or SwiftShader.
_VK_DEVICE_TYPE_CPU = 4

_HAS = {
    "cpu": bool(getattr(velm_gpu, "HAS_EMBREE", False)),
    "vulkan": bool(getattr(velm_gpu, "HAS_VULKAN", False)),
    "optix": bool(getattr(velm_gpu, "HAS_OPTIX", False)),
}


def _data_dir(name: str, probe: str) -> Path | None:
    here = Path(__file__).resolve().parent
    for candidate in (here / name, Path(velm_gpu.__file__).resolve().parent / name):
        if (candidate / probe).exists() or (candidate.is_dir() and probe == ""):
            return candidate
    return None


def shader_dir() -> Path:
    """Directory of the Vulkan SPIR-V shaders (``trace_closest.spv`` and the others)."""
    found = _data_dir("shaders", "trace_closest.spv")
    if found is None:
        raise RuntimeError("velm: the Vulkan shaders (trace_closest.spv) are not installed "
                           "beside velm or velm_gpu; reinstall the package")
    return found


def ptx_dir() -> Path:
    """Directory of the OptiX PTX programs."""
    found = _data_dir("ptx", "")
    if found is None:
        raise RuntimeError("velm: the OptiX programs (ptx/) are not installed beside velm or "
                           "velm_gpu; reinstall the package")
    return found


def compiled(backend: str) -> bool:
    """Whether `backend` was compiled into velm_gpu."""
    return _HAS[backend]


def require_compiled(backend: str) -> None:
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(map(repr, BACKENDS))}, "
                         f"not {backend!r}")
    if not _HAS[backend]:
        why = {"optix": "no CUDA toolkit was found when it was built",
               "cpu": "it was built without Embree",
               "vulkan": "it was built without Vulkan"}[backend]
        raise RuntimeError(f"velm: backend {backend!r} is not available: velm_gpu has no "
                           f"{backend} backend ({why}); choose one of "
                           f"{', '.join(b for b in BACKENDS if _HAS[b])}")


@functools.lru_cache(maxsize=None)
def nvidia_driver_answers() -> bool:
    """True when an OptiX context can be created (an NVIDIA driver with OptiX answers)."""
    if not _HAS["optix"] or os.environ.get("VELM_NO_OPTIX") == "1":
        return False
    try:
        velm_gpu.OptiXContext()
    except Exception as e:  # noqa: BLE001 - any failure means "not here"
        log.debug("no OptiX device: %s", e)
        return False
    return True


@functools.lru_cache(maxsize=None)
def hardware_vulkan_device() -> int | None:
    """Index of the first usable hardware Vulkan device with ray queries, or None."""
    if not _HAS["vulkan"]:
        return None
    try:
        devices = velm_gpu.list_vulkan_devices()
    except Exception as e:  # noqa: BLE001
        log.debug("no Vulkan devices: %s", e)
        return None
    for d in devices:
        if d.get("compatible") and d.get("device_type") != _VK_DEVICE_TYPE_CPU:
            return int(d["device_index"])
    return None


def default_backend() -> str:
    """OptiX where an NVIDIA driver answers, else Vulkan on a hardware device, else the CPU.

    A software Vulkan device (lavapipe) is never chosen by default; ask for it with
    ``backend="vulkan"``. The environment variable ``VELM_BACKEND`` overrides the choice.
    """
    forced = os.environ.get("VELM_BACKEND")
    if forced:
        require_compiled(forced)
        return forced
    if nvidia_driver_answers():
        return "optix"
    if hardware_vulkan_device() is not None:
        return "vulkan"
    if _HAS["cpu"]:
        return "cpu"
    for b in ("vulkan", "optix"):
        if _HAS[b]:
            return b
    raise RuntimeError("velm: velm_gpu was built without any backend")


def available_backends() -> tuple[str, ...]:
    """Backends compiled into velm_gpu (whether a device answers is found out on first use)."""
    return tuple(b for b in BACKENDS if _HAS[b])


_SEED_MAX = (1 << 64) - 1


def check_seed(seed) -> int:
    """`seed` as an unsigned 64-bit int; TypeError for a non-integer, ValueError out of range."""
    try:
        s = operator.index(seed)
    except TypeError:
        raise TypeError(f"seed must be an integer, not {type(seed).__name__}") from None
    if not 0 <= s <= _SEED_MAX:
        raise ValueError(f"seed must be in [0, 2^64 - 1], not {s}")
    return s
