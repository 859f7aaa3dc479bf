"""The module's argument rules: keyword names, conversions, refusals and aliases (what the calls
do is tested with the scene and the simulations; every argument has a name, and the scenes share
their keywords: tests/test_velm_native.py)."""

import numpy as np
import pytest

import velm_gpu as velm


@pytest.fixture
def scene():
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(1.0, 1.0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"])
    return s


IDENTITY = np.eye(3, 4, dtype=np.float32).ravel()


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


def uninitialised(cls):
    return cls.__new__(cls)


@pytest.mark.parametrize("call", [
    *[lambda call=call: call(uninitialised(velm.EmbreeSceneManager)) for call in (
        lambda s: s.build(), lambda s: s.is_built(), lambda s: s.num_instances(),
        lambda s: s.aabb(), lambda s: s.refit_ias(), lambda s: s.add_instance(0),
        velm.simulate_cpu, lambda s: velm.simulate_flux_cpu(s, 1, 1, 1, 1),
        lambda s: velm.simulate_lidar_cpu(s, [0, 0, 1], [0, 0, -1], 1))],
    lambda: uninitialised(velm.OptiXContext).device_name(),
    lambda: velm.SceneManager(uninitialised(velm.OptiXContext)),
    lambda: velm.Simulator(uninitialised(velm.OptiXContext), "ptx"),
    lambda: uninitialised(velm.SceneManager).n_primitives(),
    lambda: uninitialised(velm.Simulator).init(),
])
def test_objects_whose_init_never_ran_are_refused(call):
    with pytest.raises(TypeError, match="__init__"):
        call()
