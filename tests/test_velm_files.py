"""Results and files: LiDAR points with integer pulse ids, netCDF, LAS and OBJ round trips."""

import numpy as np
import pytest
import xarray as xr

import velm
import velm_gpu


@pytest.fixture(scope="module")
def plane():
    return velm.lambertian_plane(0.4, velm.Sun(20, 0, 1.0), velm.Sky(0.01), half=5.0,
                                 pixels=(4, 4))


def test_lidar_points_match_the_native_records_with_exact_pulse_ids(plane):
    o, d = velm.nadir_pulses(4.0, 1.0, 10.0)  # 16 pulses, 10 m above the plane
    r = velm.lidar(plane, o, d, max_range=20.0, chunk=5, backend="cpu", progress=False)
    native = velm_gpu.simulate_lidar_cpu(plane._native["cpu"]["native"], o, d, len(o),
                                         max_range=20.0)
    ref = native["points"]
    np.testing.assert_array_equal(r.pulse, np.arange(16))  # one return per pulse, chunked
    assert r.pulse.dtype == np.int64
    np.testing.assert_allclose(np.c_[r.x, r.y, r.z, r.intensity, r.range],
                               ref[:, [0, 1, 2, 3, 6]], rtol=1e-6)
    np.testing.assert_allclose(r.range, 10.0, atol=0.15)
    np.testing.assert_array_equal(r.waveform.values, native["waveform"])
    np.testing.assert_allclose(r.range_bin[:2], [0.075, 0.225])
    # Direct mode: the closed form rho E A cos / (pi R^2) of one central ray.
    direct = velm.lidar(plane, o, d, mode="direct", backend="cpu", progress=False)
    np.testing.assert_allclose(direct.intensity, 0.4 * 0.1 / (np.pi * 100), rtol=1e-5)
    np.testing.assert_array_equal(direct.pulse, np.arange(16))


def test_results_round_trip_through_netcdf(plane, tmp_path):
    results = {
        "image": velm.render(plane, spp=1, backend="cpu", progress=False),
        "fisheye": velm.render(_with(plane, velm.Fisheye.upward((0, 0, 1), pixels=(6, 6))),
                               spp=1, backend="cpu", progress=False),
        "absorbed": velm.absorbed(plane, layer_heights=[-1, 1], photons=2000, per_leaf=True,
                                  brf_directions=[(10, 0)], backend="cpu", progress=False),
        "flux": velm.flux(plane, nx=2, ny=2, photons=2000, decompose=True, backend="cpu",
                          progress=False),
        "lidar": velm.lidar(plane, [[0, 0, 5]], [[0, 0, -1]], backend="cpu", progress=False),
    }
    for name, result in results.items():
        path = tmp_path / f"{name}.nc"
        result.to_netcdf(path)
        back = xr.load_dataarray(path) if isinstance(result, xr.DataArray) else \
            xr.load_dataset(path)
        xr.testing.assert_identical(back, result)


def _with(scene, sensor):
    import copy
    s = copy.deepcopy(scene)
    s.sensor = sensor
    return s


def test_las_round_trip(plane, tmp_path):
    o, d = velm.nadir_pulses(2.0, 1.0, 10.0)
    pts = velm.lidar(plane, o, d, backend="cpu", progress=False)
    path = velm.write_las(pts, tmp_path / "points.las")
    back = velm.read_las(path)
    np.testing.assert_allclose(back["x"], pts.x, atol=1e-3)
    np.testing.assert_allclose(back["z"], pts.z, atol=1e-3)
    np.testing.assert_allclose(back["intensity"], pts.intensity, rtol=1e-6)
    np.testing.assert_array_equal(back["pulse"], pts.pulse)
    np.testing.assert_array_equal(back["return_number"], pts.return_number)
    import laspy
    assert laspy.read(str(path)).header.version == "1.4"


OBJ = """mtllib two.mtl
v 0 0 0
v 1 0 0
v 1 1 0
v 0 1 0
v 0 0 2
v 1 0 2
v 1 1 2
usemtl soil
f 1 2 3
f 1 3 4
usemtl leaf
f 5 6 7
"""
MTL = "newmtl soil\nKd 0.5 0.4 0.3\nnewmtl leaf\nKd 0.1 0.5 0.1\n"


def test_obj_with_two_materials_becomes_two_meshes_that_render(tmp_path):
    (tmp_path / "two.obj").write_text(OBJ)
    (tmp_path / "two.mtl").write_text(MTL)
    meshes = velm.load_mesh(tmp_path / "two.obj")
    assert sorted(meshes) == ["leaf", "soil"]
    assert meshes["soil"].triangle_count == 2 and meshes["leaf"].triangle_count == 1
    np.testing.assert_allclose(meshes["leaf"].vertices[:, 2], 2.0)
    scene = velm.Scene(bands=[650.0])
    scene.add_material("soil", velm.Lambertian(0.3))
    scene.add_material("leaf", velm.Leaf(0.1, 0.1))
    for name, mesh in meshes.items():
        scene.add_mesh(name, mesh)
        scene.add_instance(name)
    scene.sun = velm.Sun(0, 0, 1.0)
    scene.sensor = velm.Orthographic.nadir(1.0, (4, 4), center=(0.5, 0.5), altitude=5)
    image = velm.render(scene, spp=1, backend="cpu", progress=False)
    assert image.shape == (4, 4, 1) and float(image.max()) > 0
