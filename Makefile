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

.PHONY: all bootstrap build build-asan test test-python test-cpp test-asan demo bench clean

all: build

bootstrap:
	@bash scripts/bootstrap.sh

$(BUILD)/build.ninja: CMakeLists.txt | bootstrap
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$(PYBIND_DIR)

# The development install: a .pth file puts the build's package directory on the venv's path,
# so rebuilding is all it takes for `import velm_gpu` to see a change.
build: bootstrap $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	@echo "$(abspath $(BUILD))/package" > $(SITE)/velm_gpu_dev.pth

$(ASAN_BUILD)/build.ninja: CMakeLists.txt | bootstrap
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELM_SANITIZE=ON \
	  -DVELM_BUILD_BENCH=OFF -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$(PYBIND_DIR)

build-asan: bootstrap $(ASAN_BUILD)/build.ninja
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS) --target velm_gpu

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: build
	$(PY) -m pytest -q tests

# The Python suite against the sanitizer build. The interpreter itself is not instrumented, so
# libasan is preloaded; leak checking is off because CPython keeps its arenas to exit.
test-asan: build-asan
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(ASAN_BUILD)/package VELM_SANITIZED=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests -m "not slow"

test: test-cpp test-python test-asan

demo: build
	$(PY) examples/demo.py

bench: build
	@for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
