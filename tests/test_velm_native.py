"""The native surface as velm uses it: every argument has a name, the scene methods the backends
share take the same keywords on the CPU and on Vulkan, and a build without the OptiX backend
still has its classes, which say why they cannot be made."""

import re

import numpy as np
import pytest

import velm_gpu

UNNAMED = re.compile(r"\barg\d+\b")


def callables():
    """(qualified name, callable) of every function, method and constructor of velm_gpu."""
    for name, obj in vars(velm_gpu).items():
        if isinstance(obj, type):
            for member, fn in vars(obj).items():
                if callable(fn) and getattr(fn, "__doc__", None) and (
                        member == "__init__" or not member.startswith("__")):
                    yield f"{name}.{member}", fn
        elif callable(obj) and not name.startswith("__"):
            yield name, obj


def test_no_argument_is_unnamed():
    # pybind11 writes each overload's signature line into the docstring; an argument registered
    # without a name shows there as argN.
    seen, unnamed = 0, []
    for name, fn in callables():
        seen += 1
        lines = [s for s in fn.__doc__.splitlines() if "(" in s and ") ->" in s]
        unnamed += [f"{name}: {s.strip()}" for s in lines if UNNAMED.search(s)]
    assert seen > 60 and not unnamed, "\n".join(unnamed)


SHARED_KEYWORDS = [  # (method, keyword arguments) that the CPU and Vulkan scenes share
    ("set_num_bands", dict(num_bands=1)),
    ("upload_spectral_params", dict(parameters=np.float32([0.4, 1.0, 0.0]))),
    ("add_material", dict(type=0, offset=0, scalar_params=[0.0] * 8)),
    ("set_emitter", dict(type=0, direction=np.float32([0, 0, 1]), spectral_offset=1)),
    ("update_emitter_direction", dict(direction=np.float32([0.0, 0.6, 0.8]))),
    ("set_sky", dict(spectral_offset=2)),
    ("set_sensor", dict(type=0, width=2, height=2, ortho_w=1.0, ortho_h=1.0,
                        fov=60.0, projection_type=0, terrain_following=False)),
    ("set_thermal_mode", dict(enabled=False, wavelengths=[])),
    ("set_measurement_plane", dict(height=0.0)),
]


@pytest.mark.vulkan
def test_shared_scene_methods_take_the_same_keywords_on_cpu_and_vulkan():
    from velm._backends import vulkan_context
    from velm._native import shader_dir

    camera = np.eye(4, dtype=np.float32)
    camera[2, 3] = 5.0  # looking down from 5 m
    images = []
    for scene in (velm_gpu.EmbreeSceneManager(),
                  velm_gpu.VulkanSceneManager(vulkan_context(),
                                              str(shader_dir() / "trace_closest.spv"))):
        g = velm_gpu.make_ground_plane(5.0, 5.0)
        scene.add_mesh(vertices=g["vertices"], normals=g["normals"], indices=g["indices"],
                       material_id=0)
        scene.add_instance(mesh_id=0, x=0.0, y=0.0, z=0.0, scale=1.0)
        vulkan = isinstance(scene, velm_gpu.VulkanSceneManager)
        for method, kw in SHARED_KEYWORDS:
            if method == "set_sensor":  # the one name that differs
                kw = {**kw, "camera_transform" if vulkan else "cam_xform": camera.ravel()}
            getattr(scene, method)(**kw)
        scene.build()
        images.append(scene.simulate_backward(4, 2) if vulkan
                      else velm_gpu.simulate_cpu(scene, 4, 2))
    # rho E cos(sz) / pi with rho 0.4, E 1, the sun 36.87 degrees off the zenith, a black sky
    np.testing.assert_allclose(np.mean(images, axis=(1, 2, 3)), 0.4 * 0.8 / np.pi, rtol=1e-3)


@pytest.mark.skipif(velm_gpu.HAS_OPTIX, reason="this build has the OptiX backend")
@pytest.mark.parametrize("make", [lambda: velm_gpu.OptiXContext(),
                                  lambda: velm_gpu.SceneManager(None),
                                  lambda: velm_gpu.Simulator(None, "ptx")])
def test_optix_classes_of_a_build_without_it_say_why(make):
    with pytest.raises(RuntimeError, match="built without the OptiX backend: no CUDA toolkit "
                                           "was found at build time; rebuild with one"):
        make()
