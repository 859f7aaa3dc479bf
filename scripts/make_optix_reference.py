"""Writes tests/data/optix_reference.json: what the GPU checks compare the OptiX backend against,
computed here with the CPU backend:

- "forest": the canonical forest's build (bounds, counts, areas, material ids in global
  primitive order, from numpy);
- "simulations": on that forest, the image band means, the forward-radiation and flux totals and
  the LiDAR waveform totals of the CPU backend, each with the standard error of its Monte Carlo
  estimate. The GPU draws from the same random streams (per pixel and pass, per photon index), so
  both estimate the same quantity with independent-looking noise of the same size. The errors come
  from chunks: a run of k chunks holds the chunks of every shorter run (pass p and photon g always
  draw the same stream), so runs of 1, 2, ... K chunks give K independent chunk estimates;
- "microwave": the forest's passive brightness temperatures and radar backscatter seen
  obliquely by an orthographic sensor, from the Vulkan backend's run_microwave_wavefront (its
  device here: lavapipe): the mean of each of the four values over rays spread evenly over the
  sensor, and the standard deviation of one ray's value;
- "energy_balance": on the canonical forest, the power (W) that each material's front and back
  faces absorb in short and long waves, from the Vulkan backend's energy balance, with the
  standard error from chunks of samples as above, and the same from the CPU backend's energy
  balance (the transport and streams the OptiX programs draw) for the GPU check's sample count
  (key "host_twin");
- "benchmark": rays/s of simulate_cpu and photons/s of simulate_forward_cpu on the benchmark forest
  (about one million instanced triangles, tests/scenes.py), on this machine's CPU.

Run from the repository root after `make build`: .venv/bin/python scripts/make_optix_reference.py
[--only KEY] (KEY: one of the above; the others are kept as the file has them).
"""

import json
import os
import subprocess
import sys
import time

import numpy as np

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import scenes  # noqa: E402
import velm_gpu as velm  # noqa: E402

N_TREES, SEED = 20, 7
CHUNKS = 4


class Recorder:
    """Stands in for a scene class and remembers the meshes and instances it is given."""

    def __init__(self, scene):
        self.scene, self.meshes, self.instances = scene, [], []

    def __getattr__(self, name):
        return getattr(self.scene, name)

    def add_mesh(self, v, n, i, material_id=0):
        self.meshes.append((np.asarray(v, np.float64), np.asarray(i), material_id))
        return self.scene.add_mesh(v, n, i, material_id)

    def add_instance(self, mesh_id, x, y, z, scale=1.0):
        xf = np.array([[scale, 0, 0, x], [0, scale, 0, y], [0, 0, scale, z]], np.float64)
        self.instances.append((mesh_id, xf))
        return self.scene.add_instance(mesh_id, x, y, z, scale)

    def add_instances_xform(self, mesh_id, xforms):
        for row in np.asarray(xforms, np.float64):
            self.instances.append((mesh_id, row.reshape(3, 4)))
        return self.scene.add_instances_xform(mesh_id, xforms)


def forest_reference():
    rec = Recorder(velm.EmbreeSceneManager())
    scenes.procedural_forest(rec, N_TREES, SEED)
    rec.scene.build()
    areas, mats = [], []
    for mesh_id, xf in rec.instances:
        v, tri, material = rec.meshes[mesh_id]
        w = v @ xf[:, :3].T + xf[:, 3]
        a, b, c = w[tri[:, 0]], w[tri[:, 1]], w[tri[:, 2]]
        areas.append(0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1))
        mats.append(np.full(len(tri), material))
    mats = np.concatenate(mats)
    return {
        "n_trees": N_TREES,
        "seed": SEED,
        "aabb": [list(corner) for corner in rec.scene.aabb()],
        "num_instances": rec.scene.num_instances(),
        "n_primitives": int(len(mats)),
        "total_area": float(np.concatenate(areas).sum()),
        "material_counts": np.bincount(mats).tolist(),
    }


def chunked(run, unit, chunks=CHUNKS):
    """Mean and standard error of run(chunks * unit), where run(n) returns the mean of n
    independent contributions as an array: the chunk sums are differences of the cumulative
    sums."""
    sums = [np.asarray(run(k * unit), np.float64) * (k * unit) for k in range(1, chunks + 1)]
    parts = np.diff(np.array([np.zeros_like(sums[0])] + sums), axis=0) / unit
    mean = sums[-1] / (chunks * unit)
    return mean.tolist(), (parts.std(axis=0, ddof=1) / np.sqrt(chunks)).tolist()


def forest(scene_class=velm.EmbreeSceneManager):
    s = scene_class()
    info = scenes.procedural_forest(s, N_TREES, SEED, sensor=SIM["sensor"])
    s.build()
    return s, info


# What the GPU checks run; kept with the references so both sides run the same requests.
SIM = {
    "sensor": [64, 64],
    "spp_chunk": 4,
    "photon_chunk": 50000,
    "nx": 4, "ny": 4,
    "layer_heights": [0.0, 2.0, 4.0, 6.0, 8.0, 12.0],
    "brf_directions": [[0.0, 0.0, 1.0], [0.5, 0.0, 0.8660254]],
    "prob_sun": 0.7,
    "lidar_grid": 8,
    "lidar_height": 40.0,
}


def forward_totals(r):
    """Per band: absorption per layer, on the terrain, the BRF radiances and the albedo."""
    return np.concatenate([r["grid"].sum(axis=(1, 2)).ravel(), r["terrain"], r["brf"].ravel(),
                           r["albedo"]])


def flux_totals(r):
    return np.concatenate([r[k].sum(axis=(0, 1)) for k in
                           ("downwelling", "upwelling", "downwelling_direct", "downwelling_diffuse")])


def lidar_pulses():
    n, h = SIM["lidar_grid"], SIM["lidar_height"]
    xy = np.linspace(-15.0, 15.0, n)
    origins = np.array([[x, y, h] for y in xy for x in xy], np.float32)
    directions = np.tile(np.array([0.0, 0.0, -1.0], np.float32), (len(origins), 1))
    return origins, directions


def simulations_reference():
    s, info = forest()
    ground = info["instances"]["ground"]

    def image(spp):
        return velm.simulate_cpu(s, spp=spp).mean(axis=(0, 1))

    def forward(n):
        # The energy of every photon is the area per photon, extent / n: totals times n are sums.
        r = velm.simulate_forward_cpu(s, SIM["nx"], SIM["ny"], layer_heights=SIM["layer_heights"],
                                      num_photons=n, num_bands=info["bands"],
                                      brf_directions=np.array(SIM["brf_directions"], np.float32),
                                      num_brf_dirs=len(SIM["brf_directions"]),
                                      prob_sun=SIM["prob_sun"], terrain_instance_id=ground)
        return forward_totals(r)

    def flux(n):
        r = velm.simulate_flux_cpu(s, SIM["nx"], SIM["ny"], n, info["bands"],
                                   prob_sun=SIM["prob_sun"], decompose=True)
        return flux_totals(r)

    # Every photon carries the area per photon, extent / n, so a total is the mean over photons
    # of what one photon of the whole extent deposits: a mean of n contributions, like an image.
    image_mean, image_err = chunked(image, SIM["spp_chunk"])
    fwd_mean, fwd_err = chunked(forward, SIM["photon_chunk"])
    flux_mean, flux_err = chunked(flux, SIM["photon_chunk"])
    n_total = CHUNKS * SIM["photon_chunk"]
    origins, directions = lidar_pulses()
    lidar = velm.simulate_lidar_cpu(s, origins, directions, len(origins))
    return {
        "settings": SIM,
        "chunks": CHUNKS,
        "image": {"spp": CHUNKS * SIM["spp_chunk"], "mean": image_mean, "error": image_err},
        "forward": {"photons": n_total, "totals": fwd_mean, "error": fwd_err},
        "flux": {"photons": n_total, "totals": flux_mean, "error": flux_err},
        "lidar": {"pulses": len(origins), "waveform_total": float(lidar["waveform"].sum()),
                  "num_returns": int(lidar["num_returns"]),
                  "mean_range": float(lidar["points"][:, 6].mean())},
    }


# The microwave images the GPU checks compare: the forest above, an orthographic view 35 degrees
# off nadir of 20 m x 20 m, the materials of scenes.microwave_forest_tables.
MW = {
    "frequency": 1.4e9,
    "zenith_deg": 35.0,
    "extent": 20.0,
    "image": [48, 48],
    "spp": 64,
    "max_depth": 6,
    "air_temperature": 285.0,
    "atm_tau": 0.01,
    "rays": 1000000,
}


def microwave_reference():
    ctx = velm.VulkanContext()
    shader = os.path.join(os.path.dirname(velm.__file__), "shaders", "trace_closest.spv")
    s = velm.VulkanSceneManager(ctx, shader)
    scenes.procedural_forest(s, N_TREES, SEED, sensor=None)
    s.build()
    tables = scenes.microwave_forest_tables(MW["frequency"])
    _, origins, direction = scenes.oblique_view(MW["zenith_deg"], MW["extent"])
    rng = np.random.default_rng(5)
    n = MW["rays"]
    o = origins(rng.random(n) - 0.5, rng.random(n) - 0.5)
    pad = np.zeros((n, 1))
    o = np.c_[o, pad].astype(np.float32)
    d = np.c_[np.tile(direction, (n, 1)), pad].astype(np.float32)
    out = {"settings": MW, "device": ctx.device_name()}
    for active in (False, True):
        v = np.asarray(s.run_microwave_wavefront(
            active, 1 if active else MW["max_depth"], MW["air_temperature"], MW["atm_tau"],
            origins=o, directions=d, **tables), np.float64)
        out["active" if active else "passive"] = {"mean": v.mean(axis=0).tolist(),
                                                  "ray_std": v.std(axis=0, ddof=1).tolist()}
    return out


# The energy balance the GPU checks compare: per material (soil, leaf, bark) an albedo, a
# temperature and an emissivity; sun and sky as in procedural_forest.
EB = {
    "albedo": [0.2, 0.35, 0.15],
    "temperature": [300.0, 295.0, 290.0],
    "emissivity": [0.95, 0.97, 0.92],
    "sun_irradiance": 800.0,
    "sky_radiance": 40.0,
    "sky_longwave": 100.0,
    "sun": scenes.sun_direction(30.0, 135.0).tolist(),
    "sample_chunk": 8,
    "chunks": 16,
}


def energy_balance_totals(top, bottom, areas, mats):
    """Absorbed power per material, front faces then back faces."""
    return np.concatenate([np.bincount(mats, np.asarray(face, np.float64) * areas, minlength=3)
                           for face in (top, bottom)])


def energy_balance_inputs(s, info):
    """Per-primitive materials, areas and albedos of the forest, its temperatures and
    emissivities set on the scene when it takes them (the GPU scenes)."""
    mats, areas = info["primitive_materials"], info["primitive_areas"]
    temperatures = np.asarray(EB["temperature"], np.float32)[mats]
    emissivities = np.asarray(EB["emissivity"], np.float32)[mats]
    if hasattr(s, "set_primitive_temperatures"):
        s.set_primitive_temperatures(temperatures)
        s.set_primitive_emissivities(emissivities)
    return mats, areas, np.asarray(EB["albedo"], np.float32)[mats], temperatures, emissivities


def energy_balance_reference():
    ctx = velm.VulkanContext()
    shader = os.path.join(os.path.dirname(velm.__file__), "shaders", "trace_closest.spv")
    s = velm.VulkanSceneManager(ctx, shader)
    info = scenes.procedural_forest(s, N_TREES, SEED, sensor=None)
    s.set_populate_primitive_soa(True)
    s.build()
    mats, areas, albedos, _, _ = energy_balance_inputs(s, info)
    out = {"settings": EB}
    for band in (0, 1):
        def run(n):
            top, bottom = s.run_energy_balance_gpu(band, n, EB["sun_irradiance"],
                                                   EB["sky_radiance"], EB["sky_longwave"],
                                                   *EB["sun"], True, albedos)
            return energy_balance_totals(top, bottom, areas, mats)
        mean, error = chunked(run, EB["sample_chunk"], EB["chunks"])
        out["shortwave" if band == 0 else "longwave"] = {"totals": mean, "error": error}
    # The OptiX programs' own numbers for the GPU check's request (twice the samples), from the
    # CPU backend over the Embree forest: the GPU draws the same streams, so it must agree closely.
    e = velm.EmbreeSceneManager()
    scenes.procedural_forest(e, N_TREES, SEED, sensor=None)
    e.build()
    _, _, _, temperatures, emissivities = energy_balance_inputs(e, info)
    for band, key in ((0, "shortwave"), (1, "longwave")):
        top, bottom = velm.run_energy_balance_cpu(
            e, band, 2 * EB["chunks"] * EB["sample_chunk"], EB["sun_irradiance"],
            EB["sky_radiance"], EB["sky_longwave"], *EB["sun"], True, albedos, temperatures,
            emissivities)
        out[key]["host_twin"] = energy_balance_totals(top, bottom, areas, mats).tolist()
    return out


def benchmark_reference():
    s = velm.EmbreeSceneManager()
    info = scenes.benchmark_forest(s)
    s.build()
    size, spp, photons = info["size"], 4, 2_000_000
    velm.simulate_cpu(s, spp=1)
    t0 = time.perf_counter()
    velm.simulate_cpu(s, spp=spp)
    paths_per_s = size * size * spp / (time.perf_counter() - t0)
    # Rays per path of this scene, counted by the core library's benchmark program.
    out = subprocess.run([os.path.join(ROOT, "build", "cpu_paths"), str(1_000_000), str(size),
                          str(spp)], check=True, capture_output=True, text=True).stdout
    rays_per_path = float(dict(line.split() for line in out.splitlines())["rays_per_path"])
    t0 = time.perf_counter()
    velm.simulate_forward_cpu(s, 20, 20, layer_heights=info["layer_heights"],
                              num_photons=photons, num_bands=3)
    photons_per_s = photons / (time.perf_counter() - t0)
    return {"instanced_triangles": info["triangles"], "image_size": size, "spp": spp,
            "cpu_threads": os.cpu_count(), "rays_per_path": rays_per_path,
            "cpu_paths_per_s": paths_per_s, "cpu_rays_per_s": paths_per_s * rays_per_path,
            "cpu_photons_per_s": photons_per_s, "photons": photons}


def main():
    out = os.path.join(ROOT, "tests", "data", "optix_reference.json")
    make = {"forest": forest_reference, "simulations": simulations_reference,
            "microwave": microwave_reference, "energy_balance": energy_balance_reference,
            "benchmark": benchmark_reference}
    if len(sys.argv) == 3 and sys.argv[1] == "--only" and sys.argv[2] in make:
        with open(out) as f:
            data = json.load(f)
        data[sys.argv[2]] = make[sys.argv[2]]()
    elif len(sys.argv) == 1:
        data = {key: run() for key, run in make.items()}
    else:
        sys.exit("usage: make_optix_reference.py [--only " + "|".join(make) + "]")
    with open(out, "w") as f:
        json.dump(data, f, indent=1)
        f.write("\n")
    print("wrote", os.path.normpath(out))


if __name__ == "__main__":
    main()
