# One place for every set-up step: a fresh clone needs only `make test` or `make demo`.
VENV        ?= .venv
PY          := $(VENV)/bin/python
PIP_QUIET   ?= -q
SAN_VENV    ?= .venv-sanitize

# Python 3.13: pyenv's build first, then the system's python3.13.
PYTHON313 := $(shell \
  for c in "$$(pyenv root 2>/dev/null)/versions/3.13"*/bin/python3.13 \
           $$HOME/.pyenv/versions/3.13*/bin/python3.13 \
           /usr/bin/python3.13 /usr/local/bin/python3.13 python3.13; do \
    if [ -x "$$c" ] || command -v "$$c" >/dev/null 2>&1; then \
      if "$$c" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then \
        echo "$$c"; break; fi; fi; done)

.PHONY: test demo bench sanitize lint install clean arm-test device-deps device-install

$(PY):
	@if [ -z "$(PYTHON313)" ]; then \
	  echo "error: Python 3.13 with venv is required (install it with pyenv or 'apt-get install python3.13 python3.13-venv')" >&2; \
	  exit 1; fi
	"$(PYTHON313)" -m venv $(VENV)
	$(PY) -m pip install $(PIP_QUIET) --upgrade pip

install: $(PY)
	$(PY) -m pip install $(PIP_QUIET) ".[test]"

test: install
	$(PY) -m pytest

demo: install
	$(VENV)/bin/velmorakit demo

bench: install
	$(PY) -m pip install $(PIP_QUIET) psutil
	$(PY) benchmarks/run_all.py

lint: install
	$(PY) -m pip install $(PIP_QUIET) ruff
	$(PY) -m ruff check src tests benchmarks

sanitize:
	bash tools/sanitize.sh $(SAN_VENV)

# On the device (Raspberry Pi OS / Debian 13, 32-bit ARM): NumPy, SciPy and scikit-learn come
# from apt, as PyPI has no armv7l wheels of them; the package is built against them offline.
DEVICE_VENV ?= .venv-device
DEVICE_APT  := python3-venv python3-dev python3-numpy python3-numpy-dev python3-scipy \
               python3-sklearn python3-scikit-build-core cmake make g++

device-deps:
	apt-get install -y $(DEVICE_APT)

device-install:
	python3 -m venv --system-site-packages $(DEVICE_VENV)
	$(DEVICE_VENV)/bin/pip install --no-build-isolation --no-index .

# The suite on 32-bit ARM: cross-built against Debian 13 armhf, run under qemu-arm-static.
arm-test:
	PYTHON313="$(PYTHON313)" bash tools/arm/test.sh

clean:
	rm -rf build build-sanitize
