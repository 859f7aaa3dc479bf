"""Native scenes: one per backend and scene, built from a ``velm.Scene`` and reused while the
description (and the mode of the request: optical or thermal) is unchanged.

Only what the three native scene classes share is used, positionally where their argument names
differ (``set_emitter``, ``upload_spectral_params``, ``set_sensor``, ``set_repetitive``,
``set_measurement_plane``).
"""

from __future__ import annotations

import functools
import hashlib
import logging
import pickle
from dataclasses import dataclass

import numpy as np
import velm_gpu

from . import _native
from .materials import LAMBERTIAN_CODE, spectrum

log = logging.getLogger("velm")


@dataclass
class Layout:
    """Where things landed in a native scene."""

    bands: int
    material_ids: dict  # name -> native material id
    mesh_ids: dict  # name -> native mesh id
    offsets: dict  # name (materials, "sun", "sky") -> spectral offset
    sun_direction: np.ndarray
    thermal: bool


@functools.lru_cache(maxsize=None)
def vulkan_context():
    _native.require_compiled("vulkan")
    device = _native.hardware_vulkan_device()
    ctx = velm_gpu.VulkanContext(device if device is not None else 0)
    log.info("Vulkan device: %s", ctx.device_name())
    return ctx


@functools.lru_cache(maxsize=None)
def optix_context():
    _native.require_compiled("optix")
    return velm_gpu.OptiXContext()


@functools.lru_cache(maxsize=None)
def optix_simulator():
    sim = velm_gpu.Simulator(optix_context(), str(_native.ptx_dir()))
    sim.init()
    return sim


def _new_native(backend: str):
    _native.require_compiled(backend)
    if backend == "cpu":
        return velm_gpu.EmbreeSceneManager()
    if backend == "vulkan":
        shader = _native.shader_dir() / "trace_closest.spv"
        return velm_gpu.VulkanSceneManager(vulkan_context(), str(shader))
    scene = velm_gpu.SceneManager(optix_context())
    scene.set_populate_primitive_soa(True)  # per-primitive tables: SIF and energy balance
    return scene


def _spectral_buffer(scene, thermal: bool):
    nb = scene.band_count
    blocks, offsets, records = [], {}, []
    pos = 0
    for name, mat in scene.materials.items():
        if thermal:
            # Thermal bands: every material becomes a Lambertian whose first spectral block is
            # its emissivity (the native thermal path emits eps B(T) and reflects 1 - eps).
            data, code = [mat.emissivity_spectrum(nb)], LAMBERTIAN_CODE
        else:
            data, code = mat.blocks(nb), mat.type_code
        offsets[name] = pos
        records.append((code, pos, mat.scalars(nb)))
        blocks += data
        pos += nb * len(data)
    sun = np.zeros(nb, np.float32) if scene.sun is None or thermal else \
        spectrum(scene.sun.irradiance, nb, "sun irradiance")
    offsets["sun"], pos = pos, pos + nb
    blocks.append(sun)
    if scene.sky is not None and not thermal:
        offsets["sky"] = pos
        blocks.append(spectrum(scene.sky.radiance, nb, "sky radiance"))
    return np.concatenate(blocks).astype(np.float32), offsets, records


def _apply_optics(native, scene, thermal: bool) -> Layout:
    nb = scene.band_count
    native.set_num_bands(nb)
    buffer, offsets, records = _spectral_buffer(scene, thermal)
    native.upload_spectral_params(buffer)
    ids = {}
    for name, (code, offset, scalars) in zip(scene.materials, records):
        ids[name] = native.add_material(code, offset, scalars)
    sun_dir = scene.sun.direction if scene.sun is not None else np.float32([0, 0, 1])
    native.set_emitter(0, sun_dir, offsets["sun"])
    if "sky" in offsets:
        native.set_sky(offsets["sky"])
    if scene.sensor is not None:
        native.set_sensor(*scene.sensor.native())
    native.set_thermal_mode(bool(thermal), [float(w) for w in scene.bands] if thermal else [])
    return Layout(nb, ids, {}, offsets, sun_dir, thermal)


def _apply_geometry(native, scene) -> dict:
    names = list(scene.materials)
    mesh_ids = {}
    for name, mesh in scene.meshes.items():
        mesh_ids[name] = native.add_mesh(mesh.vertices, mesh.normals, mesh.indices,
                                         names.index(mesh.material))
    for name, xfs in scene._instance_groups():
        native.add_instances_xform(mesh_ids[name], xfs.reshape(-1, 12))
    if scene.tile is not None:
        native.set_repetitive(int(scene.tile.repetitions), float(scene.tile.size_x),
                              float(scene.tile.size_y))
    native.set_measurement_plane(float(scene.measurement_plane))
    return mesh_ids


def _geometry_key(scene) -> str:
    h = hashlib.blake2b(digest_size=16)
    scene._digest_geometry(h)
    h.update(pickle.dumps((list(scene.materials), scene.tile, float(scene.measurement_plane))))
    return h.hexdigest()


def native_scene(scene, backend: str, *, thermal: bool = False):
    """The built native scene of `backend` for `scene` and its layout, made or reused.

    Unchanged description and mode: the cached native scene as it is. Only optics changed
    (materials' spectra, sun, sky, sensor, bands, thermal mode): its materials and spectra are
    replaced and the geometry's acceleration structures kept. Geometry changed: a new one.
    """
    geometry = _geometry_key(scene)
    optics = hashlib.blake2b(digest_size=16)
    scene._digest_optics(optics)
    full = (geometry, optics.hexdigest(), bool(thermal))  # the fingerprint's content, once
    cached = scene._native.get(backend)
    if cached is not None and cached["key"] == full:
        return cached["native"], cached["layout"]
    if cached is not None and cached["geometry"] == geometry:
        native = cached["native"]
        native.clear_for_reuse()
        layout = _apply_optics(native, scene, thermal)
        layout.mesh_ids = cached["layout"].mesh_ids
        native.build_reuse_geometry()
        log.debug("%s scene: optics replaced, geometry reused", backend)
    else:
        native = _new_native(backend)
        mesh_ids = _apply_geometry(native, scene)
        layout = _apply_optics(native, scene, thermal)
        layout.mesh_ids = mesh_ids
        native.build()
        log.debug("%s scene built: %d instances", backend, native.num_instances())
    scene._native[backend] = {"key": full, "geometry": geometry, "native": native,
                              "layout": layout}
    return native, layout


def populate(native, scene) -> Layout:
    """Fills an empty native scene object (of any backend) with `scene` for optical
    simulations, without building it. Returns where materials, meshes and spectra landed."""
    mesh_ids = _apply_geometry(native, scene)
    layout = _apply_optics(native, scene, False)
    layout.mesh_ids = mesh_ids
    return layout
