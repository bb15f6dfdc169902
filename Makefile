# Set-up and test entry points. PYTHON picks the interpreter (3.11 or later);
# VENV the virtual environment it builds into.
PYTHON ?= python3
VENV ?= .venv
NUMPY ?= numpy>=2
BUILD ?= build
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc)

.PHONY: all deps run examples bench test venv module cpp-tests pytest asan tsan clean

all: test

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2" pytest cmake ninja "pyqasm==1.3.0"
	touch $@

venv: $(VENV)/.ready

# Debian packages: a C++20 compiler and GoogleTest.
deps:
	@if ! dpkg -s libgtest-dev g++ binutils >/dev/null 2>&1; then \
	    SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	    $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq libgtest-dev g++ binutils; fi

# Builds the extension with the NumPy 2 headers and installs it into the
# virtual environment; then installs the NumPy the tests should run with.
module: venv
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	$(VPY) -m pip install -q "$(NUMPY)"

# Core and pool tests (GoogleTest through ctest) and the no-FMA check.
cpp-tests: deps venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/cpp -G Ninja \
	    -DVANTELO_BUILD_TESTS=ON -DPython_EXECUTABLE="$(abspath $(VPY))"
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/cpp -j $(JOBS)
	cd $(BUILD)/cpp && ctest --output-on-failure -j $(JOBS)

pytest: module
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider .

# The main job: builds the module and runs the example computation.
run: module
	$(VPY) examples/main.py

# Kernel benchmark (C++) and compiled-evaluation benchmark (Python).
bench: module
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/bench -G Ninja \
	    -DVANTELO_BUILD_MODULE=OFF -DVANTELO_BUILD_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench/kernels_bench --threads 1 --min-qubits 20 --max-qubits 24
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
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DVANTELO_SANITIZE=ON -DPython_EXECUTABLE="$(abspath $(VPY))"
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/asan -j $(JOBS) --target vantelo
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    PYTHONPATH="$(abspath $(BUILD))/asan" VANTELO_SANITIZED=1 ../$(VPY) -m pytest -q -p no:cacheprovider .

# The pool and core tests under ThreadSanitizer.
tsan: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DVANTELO_TSAN=ON -DVANTELO_BUILD_MODULE=OFF -DVANTELO_BUILD_TESTS=ON
	cmake --build $(BUILD)/tsan -j $(JOBS)
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

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
	PATH="$(abspath $(PEERS_VENV))/bin:$$PATH" $(PEERS_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	$(PEERS_VENV)/bin/python bench/peers/run.py $(PEERS_ARGS)

# Qiskit integration (vantelo_interop.qiskit and the Qiskit path of
# vantelo_interop.qasm), tested in a virtual environment of its own with
# Qiskit pinned; the main test environment has no Qiskit.
QISKIT_VENV ?= .venv-qiskit
QISKIT_PINS := "qiskit==2.6.2" "qiskit-qasm3-import==0.6.0" "pyqasm==1.3.0"

.PHONY: test-qiskit

$(QISKIT_VENV)/.ready:
	$(PYTHON) -m venv $(QISKIT_VENV)
	$(QISKIT_VENV)/bin/python -m pip install -q --upgrade pip
	$(QISKIT_VENV)/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2" pytest cmake ninja $(QISKIT_PINS)
	touch $@

test-qiskit: $(QISKIT_VENV)/.ready
	PATH="$(abspath $(QISKIT_VENV))/bin:$$PATH" $(QISKIT_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	cd tests && ../$(QISKIT_VENV)/bin/python -m pytest -q -p no:cacheprovider test_interop_qasm.py test_interop_qiskit.py

# The Qiskit primitives and OpenQASM import against Qiskit Aer, in the peers'
# environment; writes bench/results/qiskit_primitives.md (PEERS_ARGS=--quick).
.PHONY: bench-qiskit
bench-qiskit: deps $(PEERS_VENV)/.ready
	PATH="$(abspath $(PEERS_VENV))/bin:$$PATH" $(PEERS_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps .
	$(PEERS_VENV)/bin/python bench/peers/qiskit_primitives.py $(PEERS_ARGS)
