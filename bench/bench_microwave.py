"""Throughput of the microwave table functions (one thread, the caller's).

Each function is evaluated over 1e5 cosines (soil, trunk) or geometry rows (trunk-ground: a
dielectric-cylinder series per row, summed to convergence; 31 orders for the 0.15 m trunk, up to
about x + 4.6 x^(1/3) orders, x = k0 a cos(beta) up to about 60, for the 0.3 m trunk at X band)
and the rate is printed in evaluations per second.
The reference limit for the per-cosine functions is numpy's vectorised closed-form Fresnel over
the same cosines, measured in the same run; the trunk-ground rate is compared with the 5e4 rows/s
that table filling needs.

    PYTHONPATH=build/package python bench/bench_microwave.py [--count N] [--repeat R]
"""

import argparse
import time

import numpy as np

import velm_gpu as v

TRUNK_GROUND_TARGET = 5e4  # rows/s


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def numpy_fresnel(mu, eps):
    s = np.sqrt(eps - (1 - mu * mu))
    return np.abs((mu - s) / (mu + s)) ** 2, np.abs((eps * mu - s) / (eps * mu + s)) ** 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n = args.count
    rng = np.random.default_rng(1)

    cosines = rng.uniform(-1.0, 1.0, n).astype(np.float32)
    soil = np.array([0.3, 0.2, 0.25, 0.1, 1.0, 2.0, 0.1, 295.0, 290.0, 1.0, 0.01, 0.04], np.float32)
    soil_c = soil.copy()
    soil_c[9] = 2.0
    trunk = np.array([0.15, 8.0, 0.5, 293.0, 0.0, 0.0, 1.0], np.float32)
    thick_trunk = np.array([0.3, 12.0, 0.5, 293.0, 0.0, 0.0, 1.0], np.float32)

    theta = rng.uniform(0.1, 1.4, n)
    phi = rng.uniform(-np.pi, np.pi, n)
    to_trunk = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), -np.cos(theta)],
                        axis=1).astype(np.float32)
    to_ground = (to_trunk * np.array([1, 1, -1], np.float32)).astype(np.float32)
    normals = np.tile(np.array([0, 0, 1], np.float32), (n, 1))

    mu64 = np.maximum(np.abs(cosines.astype(np.complex64)), 0.001)
    limit_time = best_time(lambda: numpy_fresnel(mu64, np.complex64(15 - 4j)), args.repeat)
    limit_rate = n / limit_time

    cases = [
        ("soil passive", lambda: v._evaluate_microwave_soil(1.4e9, soil, cosines)),
        ("soil active", lambda: v._evaluate_microwave_soil(1.4e9, soil_c, cosines, active=True)),
        ("soil reflectivity",
         lambda: v._evaluate_microwave_soil_reflectivity(1.4e9, soil, cosines)),
        ("trunk emission", lambda: v._evaluate_microwave_trunk(1.4e9, trunk, cosines)),
    ]
    print(f"{n} evaluations, best of {args.repeat}; limit: numpy Fresnel {limit_rate:.3e} /s")
    for name, fn in cases:
        rate = n / best_time(fn, args.repeat)
        print(f"  {name:<22} {rate:12.3e} /s   {rate / limit_rate:6.2f} x numpy Fresnel")

    for freq, label, tree, share in ((0.435e9, "P band", trunk, 2), (1.4e9, "L band", trunk, 2),
                                     (5.3e9, "C band", trunk, 2),
                                     (5.3e9, "C 0.3 m", thick_trunk, 10),
                                     (10e9, "X 0.3 m", thick_trunk, 20)):
        rows = max(n // share, 1000)
        t = best_time(lambda: v._evaluate_microwave_trunk_ground(
            freq, soil_c, tree, to_trunk[:rows], to_ground[:rows], normals[:rows]),
            max(1, args.repeat // 2))
        rate = rows / t
        print(f"  trunk-ground {label:<9} {rate:12.3e} rows/s   "
              f"{rate / TRUNK_GROUND_TARGET:6.2f} x target {TRUNK_GROUND_TARGET:.0e}")


if __name__ == "__main__":
    main()
