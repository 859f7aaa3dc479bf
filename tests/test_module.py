"""The module's public face: attributes, registration order, signatures and argument rules."""

import numpy as np
import pytest

import velm_gpu as velm

# Everything the module can register, in the order it registers it.
REGISTRATION_ORDER = """__version__ _evaluate_microwave_soil _evaluate_microwave_soil_reflectivity
    _evaluate_microwave_trunk_ground _evaluate_microwave_trunk HAS_VULKAN VulkanContext
    VulkanSceneManager list_vulkan_devices HAS_OPTIX OptiXContext SceneManager Simulator
    device_info make_ground_plane make_sphere make_cylinder HAS_EMBREE EmbreeSceneManager
    simulate_cpu simulate_forward_cpu simulate_flux_cpu simulate_microwave_cpu
    simulate_active_microwave_cpu run_energy_balance_cpu run_energy_balance_multiband_cpu
    simulate_lidar_cpu""".split()
ALWAYS_PRESENT = """__version__ HAS_VULKAN HAS_OPTIX HAS_EMBREE make_ground_plane make_sphere
    make_cylinder EmbreeSceneManager""".split()
EMBREE_METHODS = """add_mesh add_instance add_instance_xform add_instances_xform
    update_instance_transform refit_ias refit_instances set_num_bands add_material
    upload_spectral_params set_emitter update_emitter_direction set_sensor set_sky set_hw_sky
    set_thermal_mode set_repetitive build is_built has_gpu_meshes has_meshes clear_for_reuse
    build_reuse_gas build_reuse_geometry total_triangles num_instances max_height min_height
    aabb set_measurement_plane""".split()
GPU_ONLY_MEMBERS = """update_spectral_params n_primitives set_primitive_temperatures
    set_primitive_emissivities set_primitive_sif_spectra set_sif_only_mode sensor_config
    repetitive_config trace_closest""".split()
ADD_INSTANCES_DOC = (
    "Batch-add N instances of one mesh from a (N, 12) row-major float32 array. Returns the index "
    "of the FIRST added instance."
)


def signature(func):
    """'name, name=default, ...' read from the binding's generated signature line, no self."""
    line = func.__doc__.split("\n", 1)[0]
    parts, depth, cur = [], 0, ""
    for ch in line[line.index("(") + 1 : line.rindex(") -> ")] + ",":
        depth += (ch in "[(") - (ch in "])")
        if ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
        else:
            cur += ch
    out = [p.split(":")[0] + ("=" + p.rsplit(" = ", 1)[1] if " = " in p else "") for p in parts]
    return ", ".join(name for name in out if name != "self")


def doc_body(func):
    """The docstring without its generated signature line."""
    return func.__doc__.split("\n", 1)[1].strip()


@pytest.fixture
def scene():
    s = velm.EmbreeSceneManager()
    g = velm.make_ground_plane(1.0, 1.0)
    s.add_mesh(g["vertices"], g["normals"], g["indices"])
    return s


def test_module_attributes_in_registration_order():
    assert velm.__doc__ == "VELM - multi-backend 3D Radiative Transfer Model"
    assert velm.__version__ == "0.4.0"
    # the flags say what is compiled in; nothing is probed at import
    assert velm.HAS_VULKAN is True and velm.HAS_OPTIX is True and velm.HAS_EMBREE is True
    names = [k for k in vars(velm) if k == "__version__" or not k.startswith("__")]
    names = [k for k in names if k != "_pybind11_conduit_v1_"]
    # a build without a backend's SDK leaves its names out; the rest keep their order
    assert names == [k for k in REGISTRATION_ORDER if k in names]
    assert set(ALWAYS_PRESENT) <= set(names)


def test_embree_members():
    cls = velm.EmbreeSceneManager
    assert [k for k in vars(cls) if not k.startswith("_")] == EMBREE_METHODS
    assert not [name for name in GPU_ONLY_MEMBERS if hasattr(cls, name)]
    # ordinary methods, not properties; only add_instances_xform documents itself
    for name in EMBREE_METHODS:
        assert callable(getattr(cls, name)), name
        want = ADD_INSTANCES_DOC if name == "add_instances_xform" else ""
        assert doc_body(getattr(cls, name)) == want, name


# 32-bit float defaults are shown with their exact single-precision value.
SIGNATURES = [  # (name, 'argument=default, ...')
    ("make_ground_plane", "half_w=50.0, half_h=50.0, material_id=0, max_tri_edge=100.0"),
    ("make_sphere", "radius, center, subdivisions=2"),
    ("make_cylinder", "radius, height, segments=8"),
    ("simulate_lidar_cpu", "scene, pulse_origins, pulse_directions, num_pulses, "
     "beam_half_angle_rad=0.0005000000237487257, beam_samples_per_dim=10, pulse_energy=1.0, "
     "sensor_area=0.10000000149011612, range_resolution=0.15000000596046448, min_range=0.0, "
     "max_range=100.0, num_wavelengths=1, pulse_fwhm_ns=4.0, "
     "peak_threshold=9.99999993922529e-09, max_returns_per_pulse=5, direct_mode=False, seed=0"),
    (".add_mesh", "vertices, normals, indices, material_id=0"),
    (".add_instance", "mesh_id, x=0.0, y=0.0, z=0.0, scale=1.0"),
    (".add_instance_xform", "mesh_id, xform"),
    (".add_instances_xform", "mesh_id, xforms"),
    (".update_instance_transform", "id, xform"),
    (".refit_ias", ""),
    (".refit_instances", ""),
    (".set_num_bands", "num_bands"),
    (".add_material", "type, offset, scalar_params=[]"),
    (".upload_spectral_params", "parameters"),
    (".set_emitter", "type, direction, spectral_offset"),
    (".update_emitter_direction", "direction"),
    (".set_sensor", "type, width, height, ortho_w, ortho_h, cam_xform, fov=60.0, "
     "projection_type=0, terrain_following=False"),
    (".set_sky", "spectral_offset"),
    (".set_hw_sky", "spectral_offset, sun_x, sun_y, sun_z"),
    (".set_thermal_mode", "enabled, wavelengths"),
    (".set_repetitive", "num_repetitions, scene_x_size, scene_y_size"),
    (".set_measurement_plane", "height"),
    (".build", ""),
    (".aabb", ""),
]


def test_signatures():
    """Argument names, order and defaults; a leading dot names an EmbreeSceneManager method."""
    funcs = {name: getattr(velm.EmbreeSceneManager, name[1:]) if name[0] == "."
             else getattr(velm, name) for name, _ in SIGNATURES}
    assert {name: signature(f) for name, f in funcs.items()} == dict(SIGNATURES)
    assert [doc_body(funcs[name]) for name in ("make_ground_plane", "make_sphere",
                                               "make_cylinder")] == ["", "", ""]


D = np.array([0.0, 0.0, 1.0], np.float32)
IDENTITY = np.eye(3, 4, dtype=np.float32).ravel()


@pytest.mark.parametrize(
    "call",
    [
        # only the names the arguments are shown under
        lambda s: s.set_emitter(arg0=0, arg1=D, arg2=0),
        lambda s: s.set_num_bands(n=3),
        lambda s: s.set_num_bands(arg0=3),
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
