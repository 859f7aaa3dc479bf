"""Requests split into batches, and sweeps over parameters: in this process or on Dask.

Batches. Every simulation takes ``batches=n``: its budget (samples per pixel, photons, pulses,
rays) is split into n nearly equal parts run with independent random streams -- batch k of a
request with ``seed=s`` runs the streams of ``batch_seed(s, k)``, and batch 0 those of s itself, so
``batches=1`` is the unsplit run -- and the results are merged: images, energy balances and
microwave images are the mean of the batches weighted by their samples; absorbed power, BRF,
albedo and flux the mean weighted by their photons (the native module returns absolute powers,
estimates of the same quantity whatever the photon count); LiDAR points are concatenated in pulse
order with the pulse ids of the whole request.

Dask. ``client=`` (a ``dask.distributed.Client``) runs the batches as tasks on the client's
workers; without it they run one after the other here. The scene travels once to every worker as
its description (``velm.Scene`` pickles without its native scenes) and each worker process builds
its native scene once and keeps it (a cache keyed by ``Scene.fingerprint()``); scenes of one
geometry (a sweep over the sun, the sky, materials or bands) share the built geometry and only
replace their optics. In a worker process velm sets ``VELM_NUM_THREADS`` to the worker's thread
count unless the environment sets it, and runs one simulation at a time per process, so that
processes do not oversubscribe the cores: give each worker process the cores it should use
(``LocalCluster(n_workers=2, threads_per_worker=1)`` on two cores; ``dask worker --nthreads 8``
on an eight-core node). GPU backends: one worker per device (``CUDA_VISIBLE_DEVICES`` per worker).
Workers need velm installed as on the client.

``sweep`` maps a function that builds a scene from one parameter set over the product of
parameter lists and stacks the results into one xarray object with a dimension per parameter.

Progress shows as one tqdm bar over the tasks (``progress=False``: none) and in the Dask dashboard
by task names (``velm.absorbed-batch 2 of 8-...``, ``velm.sweep.render-sun_zenith=30-...``). A task
that fails raises ``TaskError`` naming the batch or the parameter set and the cause; the error is
also an instance of the cause's type (a ValueError stays a ValueError). Ctrl-C while waiting
cancels the remaining tasks.
"""

from __future__ import annotations

import collections
import functools
import inspect
import itertools
import logging
import multiprocessing
import os
import threading
import time
import uuid

import numpy as np

log = logging.getLogger("velm")

_MASK = (1 << 64) - 1


def batch_seed(seed: int, k: int) -> int:
    """The seed of batch k of a request with `seed`: `seed` itself for batch 0, else a 64-bit mix
    of (seed, k) that is never 0 (0 selects the default streams)."""
    if k == 0:
        return int(seed)
    z = (int(seed) + (int(k) * 0x9E3779B97F4A7C15)) & _MASK  # splitmix64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    z ^= z >> 31
    return z or 1


def split(total: int, n: int) -> list[int]:
    """`total` as n nearly equal positive parts (the first ones one larger); n at most total."""
    n = max(1, min(int(n), int(total)))
    q, r = divmod(int(total), n)
    return [q + (k < r) for k in range(n)]


# ---- errors ------------------------------------------------------------------------------------

class TaskError(RuntimeError):
    """A batch or a parameter set of a velm run failed. ``task`` names it; ``__cause__`` is the
    error it raised, whose type the raised error also has (``except ValueError`` still works)."""

    _cause_type = None

    def __init__(self, message, task=None):
        RuntimeError.__init__(self, message)
        self.task = task

    def __str__(self):
        return str(self.args[0]) if self.args else ""

    def __reduce__(self):
        return _error, (str(self), self.task, self._cause_type)


_ERROR_TYPES: dict = {}


def _error(message, task, cause_type=None) -> TaskError:
    """A TaskError that is also a `cause_type` (where the two combine)."""
    kind = TaskError if cause_type is None else _ERROR_TYPES.get(cause_type)
    if kind is None:
        kind = TaskError
        if issubclass(cause_type, Exception) and not issubclass(cause_type, TaskError):
            try:
                kind = type("TaskError", (TaskError, cause_type),
                            {"__module__": "velm", "__qualname__": "TaskError",
                             "_cause_type": cause_type})
            except TypeError:  # a base whose layout cannot be combined
                pass
        _ERROR_TYPES[cause_type] = kind
    err = kind.__new__(kind, message)
    TaskError.__init__(err, message, task)
    return err


def _task_error(task: str, cause: BaseException) -> TaskError:
    err = _error(f"{task} failed: {type(cause).__name__}: {cause}", task, type(cause))
    err.__cause__ = cause
    return err


# ---- per-process state: scenes, threads ---------------------------------------------------------

_SCENE_LIMIT = 4
_scenes: collections.OrderedDict = collections.OrderedDict()  # fingerprint -> (Scene, geometry)
_scenes_lock = threading.Lock()
# One simulation at a time in a process: it uses every thread the process was given.
_simulation_lock = threading.RLock()
_threads_set = False


def cached_scene(scene, key: str | None = None):
    """The process's copy of `scene` (the first one seen with its fingerprint `key`), whose native
    scenes are built once and reused by later tasks. A new description whose geometry a cached one
    has takes over that one's native scenes (only the optics are then replaced)."""
    from ._backends import _geometry_key

    key = scene.fingerprint() if key is None else key
    with _scenes_lock:
        hit = _scenes.get(key)
        if hit is not None:
            _scenes.move_to_end(key)
            return hit[0]
        geometry = _geometry_key(scene)
        for old, old_geometry in reversed(_scenes.values()):
            if old_geometry == geometry and old._native:
                scene._native, old._native = old._native, {}
                break
        _scenes[key] = (scene, geometry)
        while len(_scenes) > _SCENE_LIMIT:
            _scenes.popitem(last=False)
    return scene


def _worker_threads():
    """In a Dask worker process: VELM_NUM_THREADS from the worker's thread count, unless set."""
    global _threads_set
    if _threads_set:
        return
    _threads_set = True
    if multiprocessing.parent_process() is None:  # a worker thread of the client's process
        return
    try:
        from distributed import get_worker
        worker = get_worker()
    except (ImportError, ValueError):
        return
    state = getattr(worker, "state", worker)
    n = int(getattr(state, "nthreads", 0) or 0)
    if n > 0 and "VELM_NUM_THREADS" not in os.environ:
        os.environ["VELM_NUM_THREADS"] = str(n)
        log.debug("velm worker %s: VELM_NUM_THREADS=%d", worker.address, n)


# ---- tasks (run on workers, or here) ----------------------------------------------------------

def _simulation(name_or_function):
    if callable(name_or_function):
        return name_or_function
    import velm

    fn = getattr(velm, str(name_or_function), None) if name_or_function in _SIMULATIONS else None
    if fn is None:
        raise ValueError(f"simulation must be a callable or one of {', '.join(_SIMULATIONS)}, "
                         f"not {name_or_function!r}")
    return fn


_SIMULATIONS = ("render", "absorbed", "flux", "lidar", "energy_balance", "microwave")


def _batch_task(name, scene, key, kwargs):
    """One batch: here (key None) on the caller's scene as it is, on a worker on the cached copy
    of the scene that was shipped there."""
    _worker_threads()
    if key is not None:
        scene = cached_scene(scene, key)
    fn = _simulation(name)
    with _simulation_lock:
        return fn(scene, **kwargs)


def _sweep_task(scene_function, parameters, simulation, options):
    _worker_threads()
    from .scene import Scene

    scene = scene_function(**parameters)
    if not isinstance(scene, Scene):
        raise TypeError(f"the scene function must return a velm.Scene, not "
                        f"{type(scene).__name__}")
    scene = cached_scene(scene)
    fn = _simulation(simulation)
    with _simulation_lock:
        return fn(scene, **options)


# ---- running a list of tasks ------------------------------------------------------------------

def _bar(progress, description, total):
    """update(done) for a run of `total` tasks: a tqdm bar, the user's callable, or nothing."""
    if callable(progress):
        t0 = time.perf_counter()
        return (lambda done: progress(done, total, 1e3 * (time.perf_counter() - t0))), None
    if not progress:
        return (lambda done: None), None
    from tqdm.auto import tqdm

    bar = tqdm(total=total, desc=description, unit="task", leave=False, dynamic_ncols=True)
    return (lambda done: bar.update(done - bar.n)), bar


def _run(tasks, client, progress, description, wrap_local):
    """Runs tasks (label, key prefix, function, args) and returns their results in order: on the
    client's workers, or one after the other here. A failure raises TaskError naming the task
    (here only where `wrap_local`: otherwise the error propagates as it is)."""
    update, bar = _bar(progress, description, len(tasks))
    try:
        if client is None:
            out = []
            for label, prefix, fn, args in tasks:
                try:
                    out.append(fn(*args))
                except Exception as e:
                    if not wrap_local:
                        raise
                    raise _task_error(f"{prefix} {label}", e) from e
                update(len(out))
            return out
        return _run_distributed(tasks, client, update)
    finally:
        if bar is not None:
            bar.close()


def _run_distributed(tasks, client, update):
    from distributed import as_completed

    token = uuid.uuid4().hex[:12]
    futures, where = [], {}
    try:
        for i, (label, prefix, fn, args) in enumerate(tasks):
            f = client.submit(fn, *args, key=f"{prefix}-{label}-{token}", pure=False)
            futures.append(f)
            where[f.key] = i
        out = [None] * len(tasks)
        done = 0
        for f in as_completed(futures):
            i = where[f.key]
            if f.status == "error":
                cause = f.exception()
                client.cancel(futures)
                raise _task_error(f"{tasks[i][1]} {tasks[i][0]}", cause) from cause
            out[i] = f.result()
            f.release()
            done += 1
            update(done)
        return out
    except KeyboardInterrupt:
        client.cancel(futures)
        raise


# ---- batches of one request -------------------------------------------------------------------

def _merge_mean(results, weights, budget):
    """The batches' mean weighted by `weights` (summing to 1), variable by variable; variables
    equal in every batch (such as the incident power) as they are."""
    import xarray as xr

    first = results[0]
    out = first.copy(deep=True)
    if isinstance(first, xr.DataArray):
        names, get = [None], (lambda r, _: r)
    else:
        names, get = list(first.data_vars), (lambda r, v: r[v])
    for v in names:
        arrays = [np.asarray(get(r, v).values) for r in results]
        if not np.issubdtype(arrays[0].dtype, np.floating) or \
                all(np.array_equal(arrays[0], a) for a in arrays[1:]):
            continue
        total = sum(w * a.astype(np.float64) for w, a in zip(weights, arrays))
        target = out if v is None else out[v]
        target.values = total.astype(arrays[0].dtype)
    return out


def _merge_points(results, starts, n):
    """LiDAR batches: points and waveforms of consecutive pulse ranges, with global pulse ids."""
    import xarray as xr

    first = results[0]
    data = {}
    for v, var in first.data_vars.items():
        if var.dims == ("point",):
            parts = [np.asarray(r[v].values) + (s if v == "pulse" else 0)
                     for r, s in zip(results, starts)]
            data[v] = ("point", np.concatenate(parts), var.attrs)
        else:  # waveform (pulse_index, range_bin, band)
            data[v] = (var.dims, np.concatenate([np.asarray(r[v].values) for r in results]),
                       var.attrs)
    coords = {k: c for k, c in first.coords.items() if "pulse_index" not in c.dims}
    if "pulse_index" in first.coords:
        coords["pulse_index"] = ("pulse_index", np.arange(n, dtype=np.int64))
    return xr.Dataset(data, coords=coords, attrs=dict(first.attrs))


def _plan_counts(arguments, name, n):
    total = int(arguments[name])
    if total < 1:
        raise ValueError(f"{name} must be at least 1, not {total}")
    counts = split(total, n)
    return [{name: c} for c in counts], [c / total for c in counts], total


def _plan_pulses(arguments, n):
    o = np.ascontiguousarray(arguments["origins"], np.float32).reshape(-1, 3)
    d = np.ascontiguousarray(arguments["directions"], np.float32).reshape(-1, 3)
    if o.shape != d.shape:
        raise ValueError(f"origins and directions must both be (N, 3); got {o.shape} and "
                         f"{d.shape}")
    counts = split(max(1, len(o)), n) if len(o) else [0]
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.int64)
    plans = [{"origins": o[s:s + c], "directions": d[s:s + c]} for s, c in zip(starts, counts)]
    return plans, starts, len(o)


def batched(budget: str):
    """Decorates a simulation whose budget argument is `budget` ("spp", "photons", "samples" or
    "pulses": the rows of origins and directions) with batches= and client=."""

    def decorate(fn):
        signature = inspect.signature(fn)

        @functools.wraps(fn)
        def run(*args, **kwargs):
            bound = signature.bind(*args, **kwargs)
            if bound.arguments.get("client") is None and bound.arguments.get("batches", 1) == 1:
                return fn(*args, **kwargs)
            bound.apply_defaults()
            return _run_batches(fn.__name__, budget, dict(bound.arguments))

        return run

    return decorate


def _run_batches(name, budget, a):
    from ._native import check_seed
    from .scene import Scene

    scene, client, progress = a.pop("scene"), a.pop("client"), a.pop("progress")
    n = int(a.pop("batches"))
    if n < 1:
        raise ValueError(f"batches must be at least 1, not {n}")
    if not isinstance(scene, Scene):
        raise TypeError(f"scene must be a velm.Scene, not {type(scene).__name__}")
    seed = check_seed(a["seed"])
    if budget == "pulses":
        plans, starts, total = _plan_pulses(a, n)
        weights = None
    else:
        plans, weights, total = _plan_counts(a, budget, n)
    n = len(plans)
    if client is not None:
        key = scene.fingerprint()
        shipped = client.scatter(scene, broadcast=True, hash=False)
    else:
        key, shipped = None, scene
    tasks = []
    for k, plan in enumerate(plans):
        kw = {**a, **plan, "seed": batch_seed(seed, k), "progress": False}
        size = len(plan["origins"]) if budget == "pulses" else plan[budget]
        tasks.append((f"batch {k + 1} of {n} ({budget}={size}, seed={kw['seed']})",
                      f"velm.{name}", _batch_task, (name, shipped, key, kw)))
    try:
        results = _run(tasks, client, progress, f"{name} ({n} batches)", wrap_local=False)
    finally:
        if client is not None:
            client.cancel([shipped])
    if len(results) == 1:
        out = results[0]
    elif budget == "pulses":
        out = _merge_points(results, starts, total)
    else:
        out = _merge_mean(results, weights, budget)
    out.attrs[budget] = total
    out.attrs["batches"] = n
    out.attrs["seed"] = seed
    return out


# ---- sweeps ------------------------------------------------------------------------------------

def _label(parameters: dict) -> str:
    return ", ".join(f"{k}={v!r}" if isinstance(v, str) else f"{k}={v}"
                     for k, v in parameters.items())


def _stack(results, names, values):
    """Nested xr.concat: results in product order -> one object with a dimension per name."""
    import pandas as pd
    import xarray as xr

    if not names:
        return results[0]
    size = len(results) // len(values[0])
    parts = [_stack(results[i * size:(i + 1) * size], names[1:], values[1:])
             for i in range(len(values[0]))]
    return xr.concat(parts, dim=pd.Index(values[0], name=names[0]), coords="different",
                     compat="equals", combine_attrs="override")


def _as_xarray(result):
    import xarray as xr

    if isinstance(result, (xr.DataArray, xr.Dataset)):
        return result
    return xr.DataArray(np.asarray(result))


def sweep(scene_function, parameters: dict, simulation="render", *, client=None,
          progress=True, **options):
    """Runs `simulation` on the scene that `scene_function(**p)` builds, for every parameter set
    p of the product of `parameters` (name -> list of values), and stacks the results.

    simulation: the name of a velm simulation ("render", "absorbed", "flux", "lidar",
    "energy_balance", "microwave") or a callable ``f(scene, **options) -> xarray object or
    number``; options: keyword arguments of the simulation (``photons=...``, ``backend=...``).
    client: a ``dask.distributed.Client`` whose workers run one task per parameter set (the scene
    function and the scene are built there, so the function must pickle: module-level or a
    closure cloudpickle can carry); without it the sets run one after the other here.

    Returns the results as one xarray object (a Dataset or DataArray as the simulation returns)
    with one leading dimension per parameter, in the order of `parameters`, whose coordinates are
    the parameter values. A failing parameter set raises TaskError naming it and the cause.
    """
    if not callable(scene_function):
        raise TypeError("scene_function must be a callable that returns a velm.Scene")
    if not isinstance(parameters, dict) or not parameters:
        raise ValueError("parameters must be a non-empty dict of name -> list of values")
    names = list(parameters)
    values = [list(parameters[k]) if not isinstance(parameters[k], str) else [parameters[k]]
              for k in names]
    for k, v in zip(names, values):
        if not v:
            raise ValueError(f"parameter {k!r} has no values")
        if len(set(map(repr, v))) != len(v):
            raise ValueError(f"parameter {k!r} repeats a value: {v}")
    _simulation(simulation)  # a bad name fails here, before any task
    fn_name = simulation if isinstance(simulation, str) else \
        getattr(simulation, "__name__", type(simulation).__name__)
    if isinstance(simulation, str):
        options = {**options, "progress": False}
    tasks = []
    for combo in itertools.product(*values):
        p = dict(zip(names, combo))
        tasks.append((f"parameter set ({_label(p)})", f"velm.sweep.{fn_name}", _sweep_task,
                      (scene_function, p, simulation, options)))
    results = _run(tasks, client, progress, f"sweep {fn_name}", wrap_local=True)
    return _stack([_as_xarray(r) for r in results], names, values)


__all__ = ["sweep", "batch_seed", "split", "TaskError", "cached_scene", "batched"]
