# One place for every set-up step: a fresh clone needs only `make test` or `make demo`.
VENV        ?= .venv
PY          := $(VENV)/bin/python
PIP_QUIET   ?= -q
SAN_VENV    ?= .venv-sanitize
# Extra config settings for the native build, e.g. -Ccmake.define.VELMORA_WERROR=ON (CI).
BUILD_FLAGS ?=

# Python 3.13 (pyenv's build first, then the system's); a newer 3.x only when there is no 3.13.
# tools/sanitize.sh finds it the same way.
PYTHON3 := $(shell sh tools/find_python.sh)

# Everything the installed package is built from: a change to any of them reinstalls it.
SOURCES := pyproject.toml CMakeLists.txt \
  $(shell find cpp src -type f ! -name '*.pyc' ! -name '*.so' 2>/dev/null)
BUILD_DEPS := $(VENV)/.build-deps
INSTALLED  := $(VENV)/.installed
FLAGS_SEEN := $(VENV)/.build-flags
# Formatters pinned: a new release may format differently and fail an unchanged tree.
LINTERS := ruff==0.17.6 clang-format==23.1.1

.PHONY: test demo bench sanitize lint install clean FORCE arm-test device-deps device-install

$(PY):
	@if [ -z "$(PYTHON3)" ]; then \
	  echo "error: Python 3.13 (or newer) with venv is required (install it with pyenv or 'apt-get install python3.13 python3.13-venv')" >&2; \
	  exit 1; fi
	@"$(PYTHON3)" -c 'import sys; sys.version_info[:2] == (3, 13) or print("note: no Python 3.13 found, using", sys.version.split()[0])'
	"$(PYTHON3)" -m venv $(VENV)
	$(PY) -m pip install $(PIP_QUIET) --upgrade pip

# The build runs without isolation in the venv itself, so that the build directory keeps the
# same NumPy and CMake paths from one build to the next and only changed sources recompile.
# The build back end names the tools it needs beyond pyproject.toml (CMake, Ninja) itself.
$(BUILD_DEPS): pyproject.toml | $(PY)
	$(PY) -m pip install $(PIP_QUIET) $$($(PY) -c 'import tomllib; \
	  print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')
	tools=$$($(PY) -c 'from scikit_build_core import build; \
	  print(*build.get_requires_for_build_wheel())'); \
	  if [ -n "$$tools" ]; then $(PY) -m pip install $(PIP_QUIET) $$tools; fi
	touch $@

# Rewritten only when BUILD_FLAGS differ from the last build's, so that a change of flags
# rebuilds and the same flags do not.
$(FLAGS_SEEN): FORCE | $(PY)
	@echo '$(BUILD_FLAGS)' | cmp -s - $@ || echo '$(BUILD_FLAGS)' > $@

$(INSTALLED): $(BUILD_DEPS) $(FLAGS_SEEN) $(SOURCES)
	$(PY) -m pip install $(PIP_QUIET) --no-build-isolation $(BUILD_FLAGS) ".[test]"
	touch $@

install: $(INSTALLED)

test: install
	$(PY) -m pytest

demo: install
	$(VENV)/bin/velmorakit demo

bench: install
	$(PY) -m pip install $(PIP_QUIET) psutil
	$(PY) benchmarks/run_all.py

lint: | $(PY)
	$(PY) -m pip install $(PIP_QUIET) $(LINTERS)
	$(PY) -m ruff check src tests benchmarks
	$(PY) -m ruff format --check src tests benchmarks
	$(VENV)/bin/clang-format --dry-run --Werror $$(find cpp -name '*.cpp' -o -name '*.hpp')

sanitize:
	PYTHON3="$(PYTHON3)" bash tools/sanitize.sh $(SAN_VENV)

# On the device (Raspberry Pi OS / Debian 13, 32-bit ARM): NumPy, SciPy and scikit-learn come
# from apt, as PyPI has no armv7l wheels of them; the package is built against them offline.
DEVICE_VENV ?= .venv-device
DEVICE_APT  := python3-venv python3-dev python3-numpy python3-numpy-dev python3-scipy \
               python3-sklearn python3-scikit-build-core python3-serial cmake make g++

device-deps:
	apt-get install -y $(DEVICE_APT)

device-install:
	python3 -m venv --system-site-packages $(DEVICE_VENV)
	$(DEVICE_VENV)/bin/pip install --no-build-isolation --no-index .

# The suite on 32-bit ARM: cross-built against Debian 13 armhf, run under qemu-arm-static.
arm-test:
	HOST_PYTHON="$(PYTHON3)" bash tools/arm/test.sh

clean:
	rm -rf build build-sanitize $(INSTALLED) $(BUILD_DEPS) $(FLAGS_SEEN)
