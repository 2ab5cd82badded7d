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

.PHONY: all install stubs test test-cpp test-python test-asan demo bench clean

all: install

# The package is installed into a virtual environment inside the checkout (seeing the system's
# NumPy and pytest); the CMake build folder is kept, so only what changed is rebuilt.
$(STAMP): $(SOURCES)
	$(RUN) sh -c 'test -x $(PYTHON) || python3.14 -m venv --without-pip --system-site-packages $(VENV)'
	$(RUN) $(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --no-index \
		--disable-pip-version-check --root-user-action=ignore .
	touch $@

install: $(STAMP)

# The type stubs of the extension modules are generated from the built modules and checked in
# (python/corvaxis/**/*.pyi): run this after changing a binding and review the diff.
stubs: install
	$(RUN) $(PYTHON) tools/generate_stubs.py

test-cpp: install
	$(RUN) ctest --test-dir build/cmake --output-on-failure

test-python: install
	$(RUN) $(PYTHON) -m pytest

test: test-cpp test-python

# Everything under AddressSanitizer and UndefinedBehaviorSanitizer, in its own build folder. The
# interpreter is not instrumented, so the runtimes are preloaded; leak reports are off because
# the interpreter keeps objects alive until exit on purpose.
test-asan:
	$(RUN) sh -c 'cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVAXIS_SANITIZE=ON >/dev/null && cmake --build build/asan'
	$(RUN) ctest --test-dir build/asan --output-on-failure
	$(RUN) sh -c 'ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		PYTHONPATH=build/asan/python python3 -m pytest -p no:cacheprovider'

demo: install
	$(RUN) $(PYTHON) examples/demo.py

bench: install
	$(RUN) sh -c 'for script in benchmarks/*.py; do $(PYTHON) "$$script" || exit 1; done'

clean:
	rm -rf build
