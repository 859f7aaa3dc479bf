"""Light that must stay where the geometry puts it, on every backend that runs the shared transport:
closed meshes with interpolated normals are as tight as flat ones, and the canopy tile's budget
closes with the default leaf sampling."""

import math

import numpy as np
import pytest

import velm_gpu as velm

import scenes
from conftest import BACKENDS, image, new_scene, radiation


def sphere_in_sphere(scene, subdivisions, sensor):
    """A black ball (radius 0.5, instance 1) inside a closed white sphere (radius 2, instance 0),
    both smooth-shaded (per-vertex normals); sun and sky outside."""
    centre = np.zeros(3, np.float32)
    scenes._add(scene, velm.make_sphere(2.0, centre, subdivisions), 0)
    scenes._add(scene, velm.make_sphere(0.5, centre, subdivisions), 1)
    scene.add_instance(0, 0.0, 0.0, 0.0)
    scene.add_instance(1, 0.0, 0.0, 0.0)
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.95, 0.0, 1000.0, 50.0])
    scene.add_material(0, 0)
    scene.add_material(0, 1)
    scene.set_emitter(0, scenes.sun_direction(30.0, 20.0), 2)
    scene.set_sky(3)
    sensor(scene)
    scene.build()
    return scene


def fisheye_between_the_spheres(scene):
    cam = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 1.2, 0, 0, 0, 1], np.float32)
    scene.set_sensor(4, 48, 48, 0.0, 0.0, cam, 350.0)


def footprint_above(scene):
    scene.set_sensor(0, 4, 4, 6.0, 6.0, scenes.nadir_camera(0.0, 0.0, 10.0))


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("subdivisions", [1, 3])
def test_no_light_enters_a_closed_smooth_mesh(backend, subdivisions, request):
    # Reflections sampled around an interpolated normal can point through the triangle; they
    # must end instead of crossing the surface. Exact answer: darkness inside.
    s = sphere_in_sphere(new_scene(backend, request), subdivisions, fisheye_between_the_spheres)
    assert not np.asarray(image(s, backend, spp=4, max_depth=12)).any()
    s = sphere_in_sphere(new_scene(backend, request), subdivisions, footprint_above)
    r = radiation(s, backend, nx=1, ny=1, layer_heights=[-3.0, 3.0], num_photons=100_000,
                  num_bands=1, max_depth=32, terrain_instance_id=1)
    assert r["terrain"][0] == 0.0
    assert r["grid"].sum() > 0.0


def canopy_with_a_fourth_crown(scene, weights):
    """The canopy tile plus a crown at (5, 5, 7) of material 2: the same leaf with sampling
    weights `weights` (None: left at their default, 0 and 0). Repeated 50 times, so that few
    photons leave the repeated area sideways."""
    scenes.canopy_tile(scene, repetitions=50)
    scene.add_material(scenes.LEAF, 2, *([] if weights is None else [weights]))
    scenes._add(scene, velm.make_sphere(1.5, np.zeros(3, np.float32), 2), 2)
    scene.add_instance(2, 5.0, 5.0, 7.0)
    scene.build()
    return scene


CANOPY_RUN = dict(nx=2, ny=2, layer_heights=[-1.0, 1.0, 3.0, 9.0], num_photons=200_000,
                  num_bands=2, prob_sun=1.0, max_depth=64, terrain_instance_id=0)
CANOPY_INCIDENT = np.array([900.0, 600.0]) * math.cos(math.radians(40)) * 100


def absorbed(r):
    return r["grid"].sum(axis=(0, 1, 2)) + r["terrain"]


def test_canopy_budget_closes_with_default_leaf_sampling():
    s = canopy_with_a_fourth_crown(velm.EmbreeSceneManager(), None)
    r = velm.simulate_forward_cpu(s, brf_directions=[0, 0, 1], num_brf_dirs=1, **CANOPY_RUN)
    np.testing.assert_allclose(absorbed(r) + r["albedo"], CANOPY_INCIDENT, rtol=0.005)


@pytest.mark.parametrize("backend", BACKENDS)
def test_default_leaf_sampling_absorbs_what_explicit_weights_do(backend, request):
    # Sampling weights change the noise, never the expectation.
    reference = absorbed(velm.simulate_forward_cpu(
        canopy_with_a_fourth_crown(velm.EmbreeSceneManager(), [0.5, 0.5]), **CANOPY_RUN))
    s = canopy_with_a_fourth_crown(new_scene(backend, request), None)
    np.testing.assert_allclose(absorbed(radiation(s, backend, **CANOPY_RUN)), reference, rtol=0.01)
