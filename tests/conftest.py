"""Vulkan test support: the device check behind the ``vulkan`` marker and the validation-layer
watch.

- Tests marked ``vulkan`` need a Vulkan device with ray queries (lavapipe here). Without one they
  are skipped with the reason, unless ``VELM_REQUIRE_VULKAN=1`` (set by ``make test``), where a
  missing device fails them.
- ``make test`` switches the Khronos validation layer on through the environment
  (``VK_INSTANCE_LAYERS``, ``VK_LAYER_SETTINGS_PATH``) and names the layer's log file in
  ``VELM_VULKAN_VALIDATION_LOG``: a ``vulkan`` test during which the layer logged anything fails
  with the messages, and the first context checks that the layer is really loaded.
"""

import functools
import os
import signal
import threading
import time

import pytest

import velm_gpu as velm

REQUIRE_VULKAN = os.environ.get("VELM_REQUIRE_VULKAN") == "1"
VALIDATION_LOG = os.environ.get("VELM_VULKAN_VALIDATION_LOG")
TRACE_SHADER = os.path.join(os.path.dirname(velm.__file__), "shaders", "trace_closest.spv")


@functools.lru_cache(maxsize=None)
def vulkan_unavailable():
    """None when a Vulkan context can be made, else why not."""
    if not getattr(velm, "HAS_VULKAN", False):
        return "velm_gpu was built without the Vulkan backend"
    try:
        context = velm.VulkanContext()
    except (RuntimeError, IndexError) as e:
        return f"no usable Vulkan device: {e}"
    # The loader loads layers with the instance (and may unload them with it).
    if "VK_LAYER_KHRONOS_validation" in os.environ.get("VK_INSTANCE_LAYERS", ""):
        with open("/proc/self/maps") as maps:
            if "libVkLayer_khronos_validation" not in maps.read():
                return "VK_INSTANCE_LAYERS asks for the validation layer but it did not load"
    del context
    return None


def require_vulkan():
    reason = vulkan_unavailable()
    if reason is not None:
        if REQUIRE_VULKAN:
            pytest.fail(reason)
        pytest.skip(reason)


def _log_size():
    try:
        return os.path.getsize(VALIDATION_LOG)
    except OSError:
        return 0


@pytest.fixture(autouse=True)
def _vulkan_device_and_validation(request):
    if request.node.get_closest_marker("vulkan") is None:
        yield
        return
    require_vulkan()
    start = _log_size() if VALIDATION_LOG else 0
    yield
    if VALIDATION_LOG and _log_size() > start:
        with open(VALIDATION_LOG, errors="replace") as log:
            log.seek(start)
            pytest.fail("Vulkan validation layer reported:\n" + log.read()[:4000])


@pytest.fixture(scope="session")
def vk_context():
    require_vulkan()
    return velm.VulkanContext()


@pytest.fixture
def vk_scene(vk_context):
    return velm.VulkanSceneManager(vk_context, TRACE_SHADER)


# Tests run on both backends take `backend` from BACKENDS and make their scenes with new_scene.
BACKENDS = [pytest.param("cpu"), pytest.param("vulkan", marks=pytest.mark.vulkan)]


def new_scene(backend, request):
    """An empty native scene of `backend` ("cpu" or "vulkan")."""
    if backend == "cpu":
        return velm.EmbreeSceneManager()
    return velm.VulkanSceneManager(request.getfixturevalue("vk_context"), TRACE_SHADER)


def image(s, backend, **kw):
    return velm.simulate_cpu(s, **kw) if backend == "cpu" else s.simulate_backward(**kw)


def radiation(s, backend, **kw):
    if backend == "cpu":
        return velm.simulate_forward_cpu(s, **kw)
    return s.simulate_forward_radiation(**kw)


def flux(s, backend, **kw):
    return velm.simulate_flux_cpu(s, **kw) if backend == "cpu" else s.simulate_flux(**kw)


def seconds_to_stop(call, after=0.5):
    """Sends SIGINT to this process `after` seconds into `call()` and returns how long the call
    took from there to stop with KeyboardInterrupt. The default SIGINT handler is installed for
    the time of the call: a test process may have started with SIGINT ignored (a background job,
    nohup). Skips where no handler can be installed (outside the main thread), and in the
    sanitized build, whose host code runs several times slower than the times asked for."""
    if os.environ.get("VELM_SANITIZED"):
        pytest.skip("the sanitized build's host code is too slow for the time bounds")
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("SIGINT handlers can only be installed from the main thread")
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    sent = []

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(after, interrupt)
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.monotonic() - sent[0]
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)
