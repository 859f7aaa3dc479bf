"""velm: 3-D radiative transfer for remote sensing, one Python API over three backends.

Describe a landscape once as a ``velm.Scene`` (meshes, instances, named materials, sun, sky,
sensor) and simulate it on the CPU (Embree), on Vulkan ray queries or on NVIDIA OptiX with the
same calls::

    import velm
    scene = velm.procedural_forest(n_trees=12, bands=3, pixels=(64, 64))
    image = velm.render(scene, spp=8, backend="cpu")      # xarray DataArray (y, x, band)
    fpar = velm.absorbed(scene, layer_heights=[0, 2, 4, 6, 8, 10], photons=200_000,
                         backend="cpu")                    # xarray Dataset
    image.to_netcdf("forest.nc")
    fpar = velm.absorbed(scene, layer_heights=[0, 5, 10], photons=10**8, batches=16,
                         client=dask_client)                # the batches on a Dask cluster
    albedo = velm.sweep(lambda sun_zenith: velm.procedural_forest(sun_zenith=sun_zenith),
                        {"sun_zenith": [0, 20, 40, 60]}, "absorbed",
                        layer_heights=[0, 10], brf_directions=[(0, 0)])  # dimension sun_zenith
    tb = velm.microwave(scene, {"soil": velm.Soil(), "leaf": velm.Vegetation(),
                                "bark": velm.Trunk()}, spp=4, backend="vulkan")  # K, (y, x, H/V)

Results are xarray objects with coordinates and ``units`` attributes. Units: metres, degrees,
nm, W m^-2 nm^-1 (irradiance), W m^-2 sr^-1 nm^-1 (radiance), kelvin.

The native module underneath is ``velm_gpu`` (its own surface, unchanged; see its type stubs).
The layer logs through the ``logging`` logger "velm".
"""

from __future__ import annotations

import logging

import velm_gpu as _velm_gpu

from ._native import available_backends, default_backend, ptx_dir, shader_dir
from .builders import (band_values, canopy_tile, cylinder, ground_plane, lambertian_plane,
                       nadir_pulses, procedural_forest, sphere)
from .files import load_mesh, read_las, write_las
from .materials import RPV, Lambertian, Leaf
from .microwaves import Soil, Trunk, Vegetation, microwave
from .parallel import TaskError, batch_seed, sweep
from .scene import Mesh, Scene, Sky, Sun, Tile, transform, vertex_normals
from .sensors import (Fisheye, Orthographic, Perspective, look_at, nadir_camera,
                      oblique_camera, sun_direction)
from .simulate import (CAPABILITIES, absorbed, energy_balance, flux, lidar, primitive_areas,
                       render)

__version__ = _velm_gpu.__version__

logging.getLogger("velm").addHandler(logging.NullHandler())

__all__ = [
    "Scene", "Mesh", "Sun", "Sky", "Tile", "transform", "vertex_normals",
    "Lambertian", "RPV", "Leaf",
    "Orthographic", "Perspective", "Fisheye", "look_at", "nadir_camera", "oblique_camera",
    "sun_direction",
    "Soil", "Vegetation", "Trunk", "microwave",
    "render", "absorbed", "flux", "lidar", "energy_balance", "CAPABILITIES", "primitive_areas",
    "sweep", "batch_seed", "TaskError",
    "load_mesh", "write_las", "read_las",
    "band_values", "ground_plane", "sphere", "cylinder", "lambertian_plane",
    "procedural_forest", "canopy_tile", "nadir_pulses",
    "available_backends", "default_backend", "shader_dir", "ptx_dir",
]
