"""Fire one LiDAR pulse into a small scene and plot its full waveform with the extracted returns.

The scene is a ground plane with two tree crowns (spheres) and a flat-roofed box. The pulse
looks slightly off nadir with a footprint wide enough to clip a crown, the roof and the ground,
so the waveform shows several returns. Writes out/lidar_waveform.png.

    PYTHONPATH=build/package python examples/lidar_waveform.py
"""

import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import velm_gpu as velm  # noqa: E402


def box(x0, x1, y0, y1, z0, z1):
    """A closed box as 8 corners and 12 outward-facing triangles (flat shading: no normals)."""
    v = np.array([[x, y, z] for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)], np.float32)
    faces = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2), (1, 3, 7, 5)]
    idx = [[a, b, c] for a, b, c, d in faces] + [[a, c, d] for a, b, c, d in faces]
    return {"vertices": v, "normals": np.zeros((0, 3), np.float32),
            "indices": np.array(idx, np.int32)}


def build_scene():
    scene = velm.EmbreeSceneManager()
    # Two wavelengths per material: soil, leaves (front / back / transmittance), roof.
    params = np.array([0.25, 0.35,              # soil
                       0.05, 0.45, 0.06, 0.40, 0.05, 0.45,  # leaf
                       0.60, 0.55], np.float32)  # roof
    scene.set_num_bands(2)
    scene.upload_spectral_params(params)
    scene.add_material(0, 0, [])
    scene.add_material(13, 2, [0.5, 0.5])
    scene.add_material(0, 8, [])

    g = velm.make_ground_plane(40.0, 40.0, max_tri_edge=5.0)
    scene.add_instance(scene_mesh(scene, g, 0))
    crown = velm.make_sphere(2.5, np.zeros(3, np.float32), 3)
    crown_id = scene_mesh(scene, crown, 1)
    scene.add_instance(crown_id, 0.8, 0.0, 9.0)
    scene.add_instance(crown_id, -6.0, 4.0, 7.0, 0.8)
    scene.add_instance(scene_mesh(scene, box(-4.0, 4.0, -4.0, -1.5, 0.0, 4.0), 2))
    scene.build()
    return scene


def scene_mesh(scene, mesh, material):
    return scene.add_mesh(mesh["vertices"], mesh["normals"], mesh["indices"], material)


def main():
    scene = build_scene()
    origin = np.array([[3.1, -1.2, 40.0]], np.float32)
    direction = np.array([[-0.02, 0.01, -1.0]], np.float32)
    direction /= np.linalg.norm(direction)
    res = velm.simulate_lidar_cpu(scene, origin, direction, 1, beam_half_angle_rad=0.04,
                                  beam_samples_per_dim=24, max_range=60.0, num_wavelengths=2,
                                  peak_threshold=1e-7)
    resolution = 0.15
    ranges = (np.arange(res["num_bins"]) + 0.5) * resolution
    wave = res["waveform"][0]
    points = res["points"]

    fig, ax = plt.subplots(figsize=(8, 4))
    ax.plot(ranges, wave[:, 0], label="wavelength 0")
    ax.plot(ranges, wave[:, 1], label="wavelength 1")
    ax.plot(ranges, wave.sum(axis=1), "k", lw=1, label="sum")
    for x, y, z, intensity, number, count, rng, _ in points:
        ax.plot(rng, intensity, "rv")
        ax.annotate(f"{int(number)}/{int(count)}  z={z:.1f} m", (rng, intensity),
                    textcoords="offset points", xytext=(4, 6), fontsize=8)
    ax.set_xlim(25, 45)
    ax.set_xlabel("range (m)")
    ax.set_ylabel("received energy per bin")
    ax.set_title(f"One pulse, {res['num_returns']} returns")
    ax.legend()
    fig.tight_layout()

    os.makedirs("out", exist_ok=True)
    path = os.path.abspath(os.path.join("out", "lidar_waveform.png"))
    fig.savefig(path, dpi=120)
    for x, y, z, intensity, number, count, rng, _ in points:
        print(f"return {int(number)}/{int(count)}: range {rng:.3f} m at ({x:.2f}, {y:.2f}, "
              f"{z:.2f}), intensity {intensity:.3e}")
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
