"""The module's argument rules: keyword names, conversions, refusals and aliases (what the calls
do is tested with the scene and the simulations)."""

import numpy as np
import pytest

import velm_gpu as velm


@pytest.fixture
def scene():
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(1.0, 1.0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"])
    return s


D = np.array([0.0, 0.0, 1.0], np.float32)
IDENTITY = np.eye(3, 4, dtype=np.float32).ravel()


@pytest.mark.parametrize(
    "call",
    [
        # only the names the arguments are shown under (never argN: tests/test_velm_native.py)
        lambda s: s.set_num_bands(n=3),
        lambda s: s.upload_spectral_params(params=[1.0]),
        lambda s: s.update_emitter_direction(dir=D),
        # the Vulkan scene's names are not the CPU scene's
        lambda s: s.add_instance_xform(0, transform=IDENTITY),
        lambda s: s.set_repetitive(count=1, scene_x_size=2.0, scene_y_size=2.0),
        lambda s: s.update_instance_transform(instance_id=0, xform=IDENTITY),
    ],
)
def test_keywords_that_are_not_argument_names_are_refused(scene, call):
    with pytest.raises(TypeError):
        call(scene)


def test_accepted_calls(scene):
    """Keywords by their names, numpy integers as integers, array-likes of any numeric type,
    non-contiguous views through their strides."""
    s, xf = scene, IDENTITY
    assert s.add_instance(mesh_id=0, x=1.0, y=2.0, z=3.0, scale=2.0) == 0
    assert s.add_instance_xform(mesh_id=0, xform=xf) == 1
    assert s.add_instances_xform(mesh_id=0, xforms=xf[None, :]) == 2
    assert s.add_instance(np.int64(0)) == 3
    s.update_instance_transform(id=0, xform=xf)
    s.set_sensor(type=0, width=2, height=2, ortho_w=1.0, ortho_h=1.0, cam_xform=xf,
                 fov=45.0, projection_type=0, terrain_following=True)
    s.set_repetitive(num_repetitions=1, scene_x_size=2.0, scene_y_size=2.0)
    s.set_measurement_plane(height=1.5)
    s.set_sky(spectral_offset=0)
    s.set_hw_sky(spectral_offset=0, sun_x=0.0, sun_y=0.0, sun_z=1.0)
    s.set_thermal_mode(enabled=False, wavelengths=[])
    assert s.add_material(type=0, offset=0, scalar_params=[1, 2.5, np.float32(3)]) == 0

    verts = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]  # a list of ints
    assert s.add_mesh(verts, np.zeros((0, 3)), [[0, 1, 2]]) == 1
    assert s.add_mesh(np.array(verts, np.float64), np.zeros((0, 3), bool),
                      np.array([[0, 1, 2]], np.int64)) == 2
    big = np.zeros((3, 6), np.float64)
    big[:, ::2] = verts
    assert s.add_mesh(big[:, ::2], np.zeros((0, 3)), [[0, 1, 2]]) == 3
    s.add_instance(3, 5.0, 0.0, 0.0)
    s.build()
    assert s.aabb()[1] == (6.0, 1.0, 0.0)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda s: s.add_instance(2**31), TypeError),  # integers are 32-bit
        (lambda s: s.add_instance(-(2**31) - 1), TypeError),
        (lambda s: s.add_instance(1.5), TypeError),
        (lambda s: s.add_instance("0"), TypeError),
        (lambda s: s.add_instance(None), TypeError),
        (lambda s: s.set_num_bands(3.0), TypeError),
        (lambda s: s.add_material(0.5, 0), TypeError),
        (lambda s: s.add_instance_xform(0, np.array(["a", "b", "c"])), TypeError),
        (lambda s: s.add_instance_xform(0, np.array([object()] * 3)), TypeError),
        (lambda s: s.add_instance_xform(0, None), ValueError),
        (lambda s: s.add_material(0, 0, [0.1, "x"]), TypeError),  # lists take numbers only
        (lambda s: s.set_thermal_mode(True, [None]), TypeError),
    ],
)
def test_unconvertible_arguments_are_refused(scene, call, exc):
    with pytest.raises(exc):
        call(scene)
    assert scene.num_instances() == 0 and scene.add_material(0, 0) == 0


@pytest.mark.parametrize("first, second", [("refit_ias", "refit_instances"),
                                           ("build_reuse_gas", "build_reuse_geometry"),
                                           ("has_meshes", "has_gpu_meshes")])
def test_aliases_behave_alike(first, second):
    """Each pair names one operation: the same calls give the same results, messages and
    states (what the operations do is tested with the scene)."""
    def trace(name):
        s, out = velm.EmbreeSceneManager(), []
        g = velm.make_ground_plane(1.0, 1.0)
        for step in (lambda: None, lambda: s.add_mesh(g["vertices"], g["normals"], g["indices"]),
                     lambda: s.add_instance(0), s.build, lambda: s.add_instance(0, 10.0)):
            step()
            try:
                out.append(getattr(s, name)())
            except RuntimeError as e:
                out.append(str(e))
            out.append((s.is_built(), s.aabb()))
        return out

    assert trace(first) == trace(second)
