# VELM: `make demo` runs the main job, `make test` runs every test. Both set up a fresh machine
# first (system packages, .venv) and build incrementally.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
SITE := $(VENV)/lib/python3.10/site-packages
BUILD := build
ASAN_BUILD := build-asan
JOBS ?= $(shell nproc)
CMAKE := $(VENV)/bin/cmake
PYBIND_DIR = $(shell $(PY) -c "import pybind11; print(pybind11.get_cmake_dir())")
export PYTHONDONTWRITEBYTECODE := 1

# The Vulkan tests run on lavapipe under the Khronos validation layer, switched on here through
# the environment (never in the code). The layer writes its messages to a log file named in
# VELM_VULKAN_VALIDATION_LOG; pytest fails the test during which something was logged, and the
# target fails if the log is not empty at the end (messages outside a test included). A missing
# Vulkan device is a failure here, not a skip (VELM_REQUIRE_VULKAN).
#   $(call vk_env,<log stem>) before a command; $(call vk_begin,<stem>) and $(call vk_end,<stem>)
#   around it.
vk_log = $(abspath $(BUILD))/$(1).vk_validation.log
vk_env = VK_INSTANCE_LAYERS=VK_LAYER_KHRONOS_validation \
  VK_LAYER_SETTINGS_PATH=$(abspath $(BUILD))/$(1).vk_layer_settings.txt \
  VELM_VULKAN_VALIDATION_LOG=$(call vk_log,$(1)) VELM_REQUIRE_VULKAN=1
define vk_begin
	@printf '%s\n' 'khronos_validation.debug_action = VK_DBG_LAYER_ACTION_LOG_MSG' \
	  'khronos_validation.report_flags = error,warn' \
	  'khronos_validation.log_filename = $(call vk_log,$(1))' > $(BUILD)/$(1).vk_layer_settings.txt
	@rm -f $(call vk_log,$(1))
endef
define vk_end
	@if [ -s $(call vk_log,$(1)) ]; then \
	  echo "Vulkan validation layer messages ($(call vk_log,$(1))):"; \
	  head -c 4000 $(call vk_log,$(1)); exit 1; fi
endef

.PHONY: all bootstrap build build-asan test test-python test-cpp test-wheel test-asan demo bench clean

all: build

bootstrap:
	@bash scripts/bootstrap.sh

$(BUILD)/build.ninja: CMakeLists.txt | bootstrap
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$(PYBIND_DIR)

# The development install: a .pth file puts the build's package directory on the venv's path,
# so rebuilding is all it takes for `import velm_gpu` to see a change; a second one puts the
# pure-Python layer (python/velm) there.
build: bootstrap $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	@echo "$(abspath $(BUILD))/package" > $(SITE)/velm_gpu_dev.pth
	@echo "$(abspath python)" > $(SITE)/velm_dev.pth

$(ASAN_BUILD)/build.ninja: CMakeLists.txt | bootstrap
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELM_SANITIZE=ON \
	  -DVELM_BUILD_BENCH=OFF -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$(PYBIND_DIR)

build-asan: bootstrap $(ASAN_BUILD)/build.ninja
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS) --target velm_gpu

test-cpp: build
	$(call vk_begin,cpp)
	cd $(BUILD) && $(call vk_env,cpp) ctest --output-on-failure -j $(JOBS)
	$(call vk_end,cpp)

test-python: build
	$(call vk_begin,python)
	$(call vk_env,python) $(PY) -m pytest -q tests
	$(call vk_end,python)

# The Python suite against the sanitizer build. The interpreter itself is not instrumented, so
# libasan is preloaded; leak checking is off because CPython keeps its arenas to exit.
test-asan: build-asan
	$(call vk_begin,asan)
	$(call vk_env,asan) LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(ASAN_BUILD)/package VELM_SANITIZED=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests -m "not slow"
	$(call vk_end,asan)

# The wheel built the quick way (this venv's build tools, no OptiX, its own tree build-wheel/
# whose objects ccache shares with build/), installed into a fresh venv, running the demo from
# another directory on the CPU and on Vulkan. VELM_TEST_WHEEL=1 builds the full wheel instead.
test-wheel: build
	$(call vk_begin,wheel)
	$(call vk_env,wheel) VELM_TEST_WHEEL=$${VELM_TEST_WHEEL:-quick} \
	  CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$(abspath .) \
	  $(PY) -m pytest -q -p no:cacheprovider tests/test_velm_package.py -k wheel
	$(call vk_end,wheel)

# Every stage runs even when an earlier one fails, so a failure never hides whether the later
# stages pass; the last lines name each stage's outcome, and the target fails if any stage did.
TEST_STAGES := test-cpp test-python test-wheel test-asan
test:
	@failed=""; for stage in $(TEST_STAGES); do \
	  $(MAKE) --no-print-directory $$stage || failed="$$failed $$stage"; \
	done; \
	for stage in $(TEST_STAGES); do \
	  case " $$failed " in *" $$stage "*) echo "== $$stage: FAILED";; *) echo "== $$stage: passed";; esac; \
	done; \
	[ -z "$$failed" ]

demo: build
	$(PY) examples/demo.py

bench: build
	@for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-wheel
