# Two commands get a newcomer from clone to result: `make demo` and `make test`.
PYTHON ?= $(shell scripts/find-python)
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
JOBS ?= 2

.PHONY: demo test install venv kernel-tests clean

$(PY):
	@test -n "$(PYTHON)" || { echo "no Python >= 3.13 found; pass PYTHON=..."; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip

venv: $(PY)

# Builds the extension in build/ (kept between runs, so rebuilds are incremental).
install: $(PY)
	$(PIP) install "scikit-build-core>=0.10" "numpy>=1.26"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PIP) install --no-build-isolation .

demo: install
	$(PY) examples/demo.py

# The C++ kernel tests: the scalar and SIMD paths against the same reference.
kernel-tests:
	cmake -S . -B build/kernel-tests -DQUORVEL_BUILD_MODULE=OFF -DQUORVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/kernel-tests -j $(JOBS)
	ctest --test-dir build/kernel-tests --output-on-failure

test: install kernel-tests
	$(PIP) install "pytest>=8" "hypothesis>=6.100"
	$(PY) -m pytest -q

clean:
	rm -rf build $(VENV)
