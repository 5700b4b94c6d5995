# Two commands get a newcomer from clone to result: `make demo` and `make test`.
PYTHON ?= $(shell scripts/find-python)
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
JOBS ?= 2

.PHONY: demo test install venv kernel-tests clean sanitize fuzz bench bench-retrieval

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

# The tests run with the optional default embedder installed, so that its offline loading is tested.
test: install kernel-tests
	$(PIP) install $(shell $(PY) scripts/extra-requirements test typing embed distributed)
	$(PY) -m pytest -q

clean:
	rm -rf build $(VENV)

# The whole test suite and the C++ kernel tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# in a venv and build dirs of their own. The interpreter is not instrumented, so the gcc runtimes
# are preloaded; leak detection is off because the interpreter keeps memory until exit, and a
# huge request must come back as null (MemoryError) rather than end the process. Python objects
# are allocated with malloc (PYTHONMALLOC), so that a reference dropped too early shows as a
# use after free. Reports go to build/sanitize/logs/ and are printed when a step fails.
SAN_VENV ?= .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_PIP := $(SAN_PY) -m pip --disable-pip-version-check -q
SAN_LOGS := $(CURDIR)/build/sanitize/logs
SAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SAN_ENV = ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:abort_on_error=1:log_path=$(SAN_LOGS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(SAN_LOGS)/ubsan
SAN_FLAGS := -std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined
# Generated modifier strings fed to the parser by the sanitized loop of `make sanitize`.
SAN_FUZZ_RUNS ?= 200000
SHOW_SAN_LOGS = { grep -hv 'AddressSanitizer failed to allocate' $(SAN_LOGS)/* 2>/dev/null; exit 1; }

$(SAN_PY):
	@test -n "$(PYTHON)" || { echo "no Python >= 3.13 found; pass PYTHON=..."; exit 1; }
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PIP) install --upgrade pip

sanitize: $(SAN_PY)
	$(SAN_PIP) install "scikit-build-core>=0.10" "numpy>=1.26"
	$(SAN_PIP) install $(shell $(SAN_PY) scripts/extra-requirements test distributed)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(SAN_PIP) install --no-build-isolation \
		-Ccmake.define.QUORVEL_SANITIZE=ON -Cbuild-dir=build/sanitize -Cinstall.strip=false .
	rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	LD_PRELOAD="$(SAN_RUNTIME)" PYTHONMALLOC=malloc $(SAN_ENV) $(SAN_PY) -m pytest -q -p no:cacheprovider || $(SHOW_SAN_LOGS)
	@if [ -f tests/cpp/test_kernels.cpp ]; then \
		cmake -S . -B build/kernel-tests-sanitize -DQUORVEL_BUILD_MODULE=OFF -DQUORVEL_BUILD_TESTS=ON \
			-DQUORVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Release >/dev/null && \
		cmake --build build/kernel-tests-sanitize -j $(JOBS) && \
		$(SAN_ENV) ctest --test-dir build/kernel-tests-sanitize --output-on-failure || $(SHOW_SAN_LOGS); \
	else echo "tests/cpp/test_kernels.cpp not present: sanitized kernel tests skipped"; fi
	$(MAKE) --no-print-directory build/sanitize/modifier_loop
	$(SAN_ENV) build/sanitize/modifier_loop -runs=$(SAN_FUZZ_RUNS) fuzz/corpus || $(SHOW_SAN_LOGS)

build/sanitize/modifier_loop: fuzz/modifier_fuzz.cpp src/modifiers/modifier_parser.cpp src/modifiers/modifier_parser.hpp
	mkdir -p build/sanitize
	g++ $(SAN_FLAGS) -Isrc fuzz/modifier_fuzz.cpp src/modifiers/modifier_parser.cpp -o $@

# Coverage-guided fuzzing of the modifier parser with libFuzzer (clang; not part of `make test`):
#   apt-get install -y clang-16 libclang-rt-16-dev && make fuzz FUZZ_SECONDS=300
CLANGXX ?= $(firstword $(shell command -v clang++-16 clang++-17 clang++-18 clang++ 2>/dev/null))
FUZZ_SECONDS ?= 60
fuzz:
	@test -n "$(CLANGXX)" || { echo "no clang++ found: apt-get install -y clang-16 libclang-rt-16-dev"; exit 1; }
	mkdir -p build/fuzz/corpus
	$(CLANGXX) $(SAN_FLAGS) -fsanitize=fuzzer -DQUORVEL_LIBFUZZER -Isrc \
		fuzz/modifier_fuzz.cpp src/modifiers/modifier_parser.cpp -o build/fuzz/modifier_fuzz
	build/fuzz/modifier_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=512 -dict=fuzz/modifiers.dict \
		-print_final_stats=1 build/fuzz/corpus fuzz/corpus

# Speed against the read bound of the matrix and against NumPy, FAISS and LangChain, all measured
# in one run (bench/README.md), then what a change to a collection costs (bench/collection.py),
# then sharded search on a local Dask cluster against one call and FAISS (bench/sharded.py:
# 1,000,000 x 384 in 2 shards, about 5 GiB; SHARDED_BENCH_ARGS="--rows 200000" for a smaller run).
# The baselines live in a venv of their own so that the test venv stays lean; the module is built
# there in build/bench. `make bench BENCH_ARGS=--full` adds the 1,000,000-row matrices (about
# 6 GiB of memory). OpenBLAS's core-type override of this machine is dropped for the run so that
# NumPy runs its own kernel for this CPU.
BENCH_VENV ?= .venv-bench
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PIP := $(BENCH_PY) -m pip --disable-pip-version-check -q
BENCH_CXX ?= g++
BENCH_ARGS ?=
SHARDED_BENCH_ARGS ?=

$(BENCH_PY):
	@test -n "$(PYTHON)" || { echo "no Python >= 3.13 found; pass PYTHON=..."; exit 1; }
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PIP) install --upgrade pip

bench: $(BENCH_PY)
	$(BENCH_PIP) install "scikit-build-core>=0.10" "numpy>=1.26" "threadpoolctl>=3" "faiss-cpu>=1.8" "langchain-core>=0.3" "distributed>=2024.1"
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(BENCH_PIP) install --no-build-isolation -Cbuild-dir=build/bench/module .
	mkdir -p build/bench
	$(BENCH_CXX) -O3 -std=c++20 -Wall -Wextra -ffp-contract=off -fPIC -shared bench/read_probe.cpp -o build/bench/read_probe.so
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(BENCH_PY) bench/run.py --probe build/bench/read_probe.so $(BENCH_ARGS)
	$(BENCH_PY) bench/collection.py
	$(BENCH_PY) bench/filters.py --db build/bench/filters.sqlite
	$(BENCH_PY) bench/sharded.py $(SHARDED_BENCH_ARGS)

# Known-item retrieval over the CMake documentation shipped in the cmake wheel (lexical, semantic
# per embedder, combined) and the cost of each embedder at 10,000 and 100,000 passages
# (bench/README.md, "Retrieval"). Same venv as `make bench`. RETRIEVAL_ARGS=--no-costs skips the
# costs (a few minutes).
RETRIEVAL_ARGS ?=
bench-retrieval: $(BENCH_PY)
	$(BENCH_PIP) install "scikit-build-core>=0.10" "numpy>=1.26" "threadpoolctl>=3" "cmake>=4.4,<4.5" \
		$(shell $(BENCH_PY) scripts/extra-requirements embed)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(BENCH_PIP) install --no-build-isolation -Cbuild-dir=build/bench/module .
	$(BENCH_PY) bench/retrieval.py $(RETRIEVAL_ARGS)
