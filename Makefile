# Build and test entry points. Everything runs either directly on this machine, when python3.14
# with the build libraries is on the PATH, or inside the project's Debian testing root file
# system (tools/devenv). Choose explicitly with CORVAXIS_ENV=host or CORVAXIS_ENV=rootfs.

CORVAXIS_ENV ?= $(shell python3.14 -c 'import numpy, pybind11, pytest, scikit_build_core' >/dev/null 2>&1 && echo host || echo rootfs)
ifeq ($(CORVAXIS_ENV),host)
RUN :=
else
RUN := tools/devenv run
endif

VENV := build/venv-$(CORVAXIS_ENV)
PYTHON := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := $(shell find src python tests/cpp benchmarks -type f -not -name '*.pyc' 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all install test test-cpp test-python demo bench clean

all: install

# The package is installed into a virtual environment inside the checkout (seeing the system's
# NumPy and pytest); the CMake build folder is kept, so only what changed is rebuilt.
$(STAMP): $(SOURCES)
	$(RUN) sh -c 'test -x $(PYTHON) || python3.14 -m venv --without-pip --system-site-packages $(VENV)'
	$(RUN) $(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --no-index \
		--disable-pip-version-check --root-user-action=ignore .
	touch $@

install: $(STAMP)

test-cpp: install
	$(RUN) ctest --test-dir build/cmake --output-on-failure

test-python: install
	$(RUN) $(PYTHON) -m pytest

test: test-cpp test-python

demo: install
	$(RUN) $(PYTHON) examples/demo.py

bench: install
	$(RUN) sh -c 'for script in benchmarks/*.py; do $(PYTHON) "$$script" || exit 1; done'

clean:
	rm -rf build
