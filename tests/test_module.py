"""The module's public face: attributes, registration order, signatures and argument rules."""

import numpy as np
import pytest

import velm_gpu as velm

# Everything the module registers, in the order it registers it. Names that a later build adds
# (the microwave functions, the GPU classes, the CPU simulations) are checked once they exist.
REGISTRATION_ORDER = [
    "__version__",
    "_evaluate_microwave_soil",
    "_evaluate_microwave_soil_reflectivity",
    "_evaluate_microwave_trunk_ground",
    "_evaluate_microwave_trunk",
    "HAS_VULKAN",
    "VulkanContext",
    "VulkanSceneManager",
    "list_vulkan_devices",
    "HAS_OPTIX",
    "OptiXContext",
    "SceneManager",
    "Simulator",
    "device_info",
    "make_ground_plane",
    "make_sphere",
    "make_cylinder",
    "HAS_EMBREE",
    "EmbreeSceneManager",
    "simulate_cpu",
    "simulate_forward_cpu",
    "simulate_flux_cpu",
    "simulate_lidar_cpu",
]
ALWAYS_PRESENT = [
    "__version__",
    "HAS_VULKAN",
    "HAS_OPTIX",
    "HAS_EMBREE",
    "make_ground_plane",
    "make_sphere",
    "make_cylinder",
    "EmbreeSceneManager",
]

EMBREE_METHODS = [
    "add_mesh",
    "add_instance",
    "add_instance_xform",
    "add_instances_xform",
    "update_instance_transform",
    "refit_ias",
    "refit_instances",
    "set_num_bands",
    "add_material",
    "upload_spectral_params",
    "set_emitter",
    "update_emitter_direction",
    "set_sensor",
    "set_sky",
    "set_hw_sky",
    "set_thermal_mode",
    "set_repetitive",
    "build",
    "is_built",
    "has_gpu_meshes",
    "has_meshes",
    "clear_for_reuse",
    "build_reuse_gas",
    "build_reuse_geometry",
    "total_triangles",
    "num_instances",
    "max_height",
    "min_height",
    "aabb",
    "set_measurement_plane",
]

ADD_INSTANCES_DOC = (
    "Batch-add N instances of one mesh from a (N, 12) row-major float32 array. Returns the index "
    "of the FIRST added instance."
)


def _split_top_level(text):
    """Splits a signature's argument list on the commas outside brackets."""
    parts, depth, cur = [], 0, ""
    for ch in text:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        parts.append(cur.strip())
    return parts


def signature(func):
    """[(name, default text or None), ...] read from the binding's generated signature line,
    without `self`."""
    first = func.__doc__.split("\n", 1)[0]
    args = first[first.index("(") + 1 : first.rindex(") -> ")]
    out = []
    for part in _split_top_level(args):
        name, _, rest = part.partition(":")
        default = rest.rsplit(" = ", 1)[1] if " = " in rest else None
        if name.strip() != "self":
            out.append((name.strip(), default))
    return out


def doc_body(func):
    """The docstring without its generated signature line."""
    return func.__doc__.split("\n", 1)[1].strip()


class TestAttributes:
    def test_docstring_and_version(self):
        assert velm.__doc__ == "VELM - multi-backend 3D Radiative Transfer Model"
        assert velm.__version__ == "0.4.0"

    def test_backend_flags_are_true_without_any_device(self):
        # The flags say what is compiled in; nothing is probed at import.
        for flag in ("HAS_VULKAN", "HAS_OPTIX", "HAS_EMBREE"):
            assert getattr(velm, flag) is True

    def test_registration_order(self):
        names = [k for k in vars(velm) if not (k.startswith("__") and k != "__version__")]
        names = [k for k in names if k != "_pybind11_conduit_v1_"]
        unknown = [k for k in names if k not in REGISTRATION_ORDER]
        assert unknown == [], f"unexpected module attributes {unknown}"
        for name in ALWAYS_PRESENT:
            assert name in names
        assert names == [k for k in REGISTRATION_ORDER if k in names]

    def test_embree_methods_in_registration_order(self):
        members = [
            k for k in vars(velm.EmbreeSceneManager) if not k.startswith("_")
        ]
        assert members == EMBREE_METHODS

    def test_embree_scene_has_no_gpu_only_members(self):
        for name in (
            "update_spectral_params",
            "n_primitives",
            "set_primitive_temperatures",
            "set_primitive_emissivities",
            "set_primitive_sif_spectra",
            "set_sif_only_mode",
            "sensor_config",
            "repetitive_config",
            "trace_closest",
        ):
            assert not hasattr(velm.EmbreeSceneManager, name)

    def test_members_are_methods_not_properties(self):
        for name in EMBREE_METHODS:
            assert callable(getattr(velm.EmbreeSceneManager, name))
        scene = velm.EmbreeSceneManager()
        assert scene.num_instances() == 0  # a call, not an attribute


class TestSignatures:
    @pytest.mark.parametrize(
        "func, expected",
        [
            (
                "make_ground_plane",
                [("half_w", "50.0"), ("half_h", "50.0"), ("material_id", "0"),
                 ("max_tri_edge", "100.0")],
            ),
            ("make_sphere", [("radius", None), ("center", None), ("subdivisions", "2")]),
            ("make_cylinder", [("radius", None), ("height", None), ("segments", "8")]),
        ],
    )
    def test_procedural_functions(self, func, expected):
        f = getattr(velm, func)
        assert signature(f) == expected
        assert doc_body(f) == ""  # no docstring beyond the signature

    @pytest.mark.parametrize(
        "method, expected",
        [
            ("add_mesh", [("vertices", None), ("normals", None), ("indices", None),
                          ("material_id", "0")]),
            ("add_instance", [("mesh_id", None), ("x", "0.0"), ("y", "0.0"), ("z", "0.0"),
                              ("scale", "1.0")]),
            ("add_instance_xform", [("mesh_id", None), ("xform", None)]),
            ("add_instances_xform", [("mesh_id", None), ("xforms", None)]),
            ("update_instance_transform", [("id", None), ("xform", None)]),
            ("refit_ias", []),
            ("refit_instances", []),
            ("set_num_bands", [("arg0", None)]),
            ("add_material", [("type", None), ("offset", None), ("scalar_params", "[]")]),
            ("upload_spectral_params", [("arg0", None)]),
            ("set_emitter", [("arg0", None), ("arg1", None), ("arg2", None)]),
            ("update_emitter_direction", [("arg0", None)]),
            ("set_sensor", [("type", None), ("width", None), ("height", None),
                            ("ortho_w", None), ("ortho_h", None), ("cam_xform", None),
                            ("fov", "60.0"), ("projection_type", "0"),
                            ("terrain_following", "False")]),
            ("set_sky", [("spectral_offset", None)]),
            ("set_hw_sky", [("spectral_offset", None), ("sun_x", None), ("sun_y", None),
                            ("sun_z", None)]),
            ("set_thermal_mode", [("enabled", None), ("wavelengths", None)]),
            ("set_repetitive", [("num_repetitions", None), ("scene_x_size", None),
                                ("scene_y_size", None)]),
            ("set_measurement_plane", [("height", None)]),
            ("build", []),
            ("aabb", []),
        ],
    )
    def test_embree_methods(self, method, expected):
        assert signature(getattr(velm.EmbreeSceneManager, method)) == expected

    def test_only_add_instances_xform_has_a_docstring(self):
        for name in EMBREE_METHODS:
            body = doc_body(getattr(velm.EmbreeSceneManager, name))
            assert body == (ADD_INSTANCES_DOC if name == "add_instances_xform" else ""), name

    @pytest.mark.parametrize(
        "func, arg, shown",
        [
            # 32-bit defaults are shown with their exact single-precision value.
            ("simulate_lidar_cpu", "beam_half_angle_rad", "0.0005000000237487257"),
            ("simulate_lidar_cpu", "sensor_area", "0.10000000149011612"),
            ("simulate_lidar_cpu", "range_resolution", "0.15000000596046448"),
            ("simulate_lidar_cpu", "peak_threshold", "9.99999993922529e-09"),
            ("make_ground_plane", "half_w", "50.0"),
            ("make_ground_plane", "max_tri_edge", "100.0"),
        ],
    )
    def test_float32_defaults_show_their_single_precision_value(self, func, arg, shown):
        if not hasattr(velm, func):
            pytest.skip(f"{func} is not registered in this build")
        assert dict(signature(getattr(velm, func)))[arg] == shown
        assert float(shown) == float(np.float32(float(shown)))


class TestArgumentRules:
    def setup_method(self):
        self.scene = velm.EmbreeSceneManager()
        g = velm.make_ground_plane(1.0, 1.0)
        self.mesh = self.scene.add_mesh(g["vertices"], g["normals"], g["indices"])
        self.d = np.array([0.0, 0.0, 1.0], np.float32)

    @pytest.mark.parametrize(
        "call",
        [
            lambda s, d: s.set_emitter(type=0, direction=d, spectral_offset=0),
            lambda s, d: s.set_emitter(0, d, spectral_offset=0),
            lambda s, d: s.set_emitter(arg0=0, arg1=d, arg2=0),
            lambda s, d: s.set_num_bands(n=3),
            lambda s, d: s.set_num_bands(arg0=3),
            lambda s, d: s.upload_spectral_params(parameters=[1.0]),
            lambda s, d: s.update_emitter_direction(direction=d),
        ],
    )
    def test_positional_only_arguments_refuse_keywords(self, call):
        with pytest.raises(TypeError):
            call(self.scene, self.d)

    def test_positional_calls_are_accepted(self):
        s = self.scene
        s.set_emitter(0, self.d, 0)
        s.update_emitter_direction(self.d)
        s.set_num_bands(3)
        s.upload_spectral_params([1.0, 2.0])

    def test_keyword_names(self):
        s = self.scene
        xf = np.eye(3, 4, dtype=np.float32).ravel()
        assert s.add_instance(mesh_id=self.mesh, x=1.0, y=2.0, z=3.0, scale=2.0) == 0
        assert s.add_instance_xform(mesh_id=self.mesh, xform=xf) == 1
        assert s.add_instances_xform(mesh_id=self.mesh, xforms=xf[None, :]) == 2
        s.update_instance_transform(id=0, xform=xf)
        s.set_sensor(type=0, width=2, height=2, ortho_w=1.0, ortho_h=1.0, cam_xform=xf,
                     fov=45.0, projection_type=0, terrain_following=True)
        s.set_repetitive(num_repetitions=1, scene_x_size=2.0, scene_y_size=2.0)
        s.set_measurement_plane(height=1.5)
        s.set_sky(spectral_offset=0)
        s.set_hw_sky(spectral_offset=0, sun_x=0.0, sun_y=0.0, sun_z=1.0)
        s.set_thermal_mode(enabled=False, wavelengths=[])
        assert s.add_material(type=0, offset=0, scalar_params=[0.5]) == 0
        # The Vulkan names are not the CPU scene's.
        with pytest.raises(TypeError):
            s.add_instance_xform(self.mesh, transform=xf)
        with pytest.raises(TypeError):
            s.set_repetitive(count=1, scene_x_size=2.0, scene_y_size=2.0)
        with pytest.raises(TypeError):
            s.update_instance_transform(instance_id=0, xform=xf)
        assert s.num_instances() == 3

    def test_add_instance_defaults_to_origin_at_scale_one(self):
        s = self.scene
        s.add_instance(self.mesh)
        s.build()
        assert s.aabb() == ((-1.0, -1.0, 0.0), (1.0, 1.0, 0.0))

    def test_integer_arguments_are_32_bit_and_refuse_floats(self):
        s = self.scene
        for bad in (2**31, -(2**31) - 1, 1.5, "0", None):
            with pytest.raises(TypeError):
                s.add_instance(bad)
        with pytest.raises(TypeError):
            s.set_num_bands(3.0)
        # numpy integers are integers
        assert s.add_instance(np.int64(self.mesh)) == 0
        assert s.num_instances() == 1

    def test_float_arguments_accept_integers(self):
        s = self.scene
        s.add_instance(self.mesh, 1, 2, 3, 2)
        s.build()
        assert s.aabb() == ((-1.0, 0.0, 3.0), (3.0, 4.0, 3.0))

    def test_array_arguments_accept_array_likes_of_any_numeric_type(self):
        s = self.scene
        verts = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]  # a list of ints
        assert s.add_mesh(verts, np.zeros((0, 3)), [[0, 1, 2]]) == 1
        assert s.add_mesh(np.array(verts, np.float64), np.zeros((0, 3), bool),
                          np.array([[0, 1, 2]], np.int64)) == 2
        assert s.add_instance_xform(1, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0]) == 0
        # a non-contiguous view is read through its strides
        big = np.zeros((3, 6), np.float64)
        big[:, ::2] = verts
        assert s.add_mesh(big[:, ::2], np.zeros((0, 3)), [[0, 1, 2]]) == 3
        s.add_instance(3, 5.0, 0.0, 0.0)
        s.build()
        lo, hi = s.aabb()
        assert hi == (6.0, 1.0, 0.0)

    def test_non_numeric_arrays_raise_type_error(self):
        s = self.scene
        for bad in (np.array(["a", "b", "c"]), np.array([object()] * 3)):
            with pytest.raises(TypeError):
                s.add_instance_xform(self.mesh, bad)
        with pytest.raises((TypeError, ValueError)):
            s.add_instance_xform(self.mesh, None)
        assert s.num_instances() == 0

    def test_list_arguments_take_numbers_only(self):
        s = self.scene
        with pytest.raises(TypeError):
            s.add_material(0, 0, [0.1, "x"])
        with pytest.raises(TypeError):
            s.set_thermal_mode(True, [None])
        assert s.add_material(0, 0, [1, 2.5, np.float32(3)]) == 0


class TestAliases:
    """Each pair of names calls one operation."""

    @staticmethod
    def scene_with_instance():
        s = velm.EmbreeSceneManager()
        g = velm.make_ground_plane(1.0, 1.0)
        m = s.add_mesh(g["vertices"], g["normals"], g["indices"])
        s.add_instance(m)
        return s

    @pytest.mark.parametrize("name", ["refit_ias", "refit_instances"])
    def test_refit_aliases(self, name):
        s = self.scene_with_instance()
        with pytest.raises(RuntimeError) as e:
            getattr(s, name)()
        assert str(e.value) == "refit_ias: scene not built. Call build() first."
        s.build()
        getattr(s, name)()
        assert s.is_built()

    @pytest.mark.parametrize("name", ["build_reuse_gas", "build_reuse_geometry"])
    def test_build_reuse_aliases(self, name):
        s = self.scene_with_instance()
        with pytest.raises(RuntimeError, match=r"Call build\(\) first"):
            getattr(s, name)()  # nothing built yet: there is nothing to reuse
        assert not s.is_built()
        s.build()
        getattr(s, name)()
        assert s.is_built()
        assert s.aabb() == ((-1.0, -1.0, 0.0), (1.0, 1.0, 0.0))
        # bounds follow instances added since: the reuse build recomputes them
        s.add_instance(0, 10.0, 0.0, 0.0)
        getattr(s, name)()
        assert s.aabb() == ((-1.0, -1.0, 0.0), (11.0, 1.0, 0.0))

    @pytest.mark.parametrize("name", ["has_meshes", "has_gpu_meshes"])
    def test_has_meshes_aliases(self, name):
        s = velm.EmbreeSceneManager()
        assert getattr(s, name)() is False
        g = velm.make_ground_plane()
        s.add_mesh(g["vertices"], g["normals"], g["indices"])
        assert getattr(s, name)() is True  # true before any build or instance

    def test_aliases_share_one_implementation(self):
        cls = velm.EmbreeSceneManager
        s1, s2 = self.scene_with_instance(), self.scene_with_instance()
        s1.build()
        s2.build()
        s1.build_reuse_gas()
        s2.build_reuse_geometry()
        s1.refit_ias()
        s2.refit_instances()
        assert s1.aabb() == s2.aabb()
        assert s1.has_meshes() == s1.has_gpu_meshes()
        assert signature(cls.refit_ias) == signature(cls.refit_instances)
