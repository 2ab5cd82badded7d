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
SOURCES := $(shell find src python tests/cpp tests/fuzz benchmarks -type f -not -name '*.pyc' 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all install stubs test test-cpp test-python test-asan fuzz demo bench clean

all: install

# The package is installed into a virtual environment inside the checkout (seeing the system's
# NumPy and pytest); the CMake build folder is kept, so only what changed is rebuilt. It keeps its
# debug information (RelWithDebInfo) and the C++ tests; pyproject.toml's own settings build the
# Release package without them.
$(STAMP): $(SOURCES)
	$(RUN) sh -c 'test -x $(PYTHON) || python3.14 -m venv --without-pip --system-site-packages $(VENV)'
	$(RUN) $(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --no-index \
		--disable-pip-version-check --root-user-action=ignore \
		--config-settings=cmake.build-type=RelWithDebInfo --config-settings=build-dir=build/cmake \
		--config-settings=cmake.define.CORVAXIS_BUILD_TESTS=ON .
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

# Everything under AddressSanitizer and UndefinedBehaviorSanitizer, in its own build folder. -O1
# with frame pointers keeps Eigen fast enough for the whole suite; assertions stay on (bounds in
# Eigen, the interpreter lock in pybind11). Every report ends its process; tools/run-sanitized runs
# the Python tests with the runtimes preloaded into the uninstrumented interpreter.
SANITIZE_FLAGS := -DCORVAXIS_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g"

test-asan:
	$(RUN) sh -c 'cmake -S . -B build/asan -G Ninja $(SANITIZE_FLAGS) >/dev/null && cmake --build build/asan'
	$(RUN) env UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --test-dir build/asan --output-on-failure
	$(RUN) tools/run-sanitized python3.14 -m pytest -p no:cacheprovider

# Coverage-guided fuzzing with clang's libFuzzer, ASan and UBSan, in build/fuzz. The targets run one
# after another, each for FUZZ_SECONDS or FUZZ_RUNS inputs, whichever comes first (0 and -1: no
# limit), starting from the seed corpus in tests/fuzz/corpus/<target>. Inputs that add coverage go
# to build/fuzz/corpus/<target>, inputs that crash or hang to build/fuzz/crashes/<target>; a crash
# worth keeping is copied into the seed corpus, which every test run replays.
FUZZ_TARGETS ?= fuzz_data_file fuzz_nifti fuzz_nrrd fuzz_selector
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?= -1
# Teem loses a few kilobytes on some headers it refuses (its own error paths), so fuzz_nrrd runs
# without the leak check. A small sanitizer quarantine keeps the fuzzing process small, and with it the fork by which the
# data-file reader tries every input in a child first: 160 inputs a second instead of 70.
fuzz:
	$(RUN) sh -c 'cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DCORVAXIS_FUZZ=ON -DCORVAXIS_BUILD_TESTS=OFF >/dev/null && cmake --build build/fuzz --target $(FUZZ_TARGETS)'
	$(RUN) sh -c 'for target in $(FUZZ_TARGETS); do \
		leaks=-detect_leaks=1; [ $$target = fuzz_nrrd ] && leaks=-detect_leaks=0; \
		mkdir -p build/fuzz/corpus/$$target build/fuzz/crashes/$$target && \
		ASAN_OPTIONS=quarantine_size_mb=8:malloc_context_size=5 build/fuzz/tests/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -runs=$(FUZZ_RUNS) -timeout=20 $$leaks \
			-print_final_stats=1 -artifact_prefix=build/fuzz/crashes/$$target/ \
			build/fuzz/corpus/$$target tests/fuzz/corpus/$$target || exit 1; \
	done'

demo: install
	$(RUN) $(PYTHON) examples/demo.py

bench: install
	$(RUN) sh -c 'for script in benchmarks/*.py; do $(PYTHON) "$$script" || exit 1; done'

clean:
	rm -rf build
