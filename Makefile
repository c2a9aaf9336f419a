SHELL := /bin/bash
# Developer entry points. `make test` works on a fresh clone: it creates its
# own virtual environment, builds the extension and runs the test suite.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: test demo install venv dev format lint lint-tools clean test-sanitizers test-valgrind bench-peers browser java wheel check-wheel

test: install browser java
	$(PY) -m pytest

# Debian's headless Java runtime, for the test that runs a local Spark job.
java:
	tools/install_java.sh

# Debian's headless Chromium for the browser tests of the search page.
browser:
	tools/install_chromium.sh

# Set up and run the main job: misspelt and half-typed queries on the sample
# index shipped inside the package.
demo: install
	$(VENV)/bin/quillomar demo

# A binary wheel, repaired to a manylinux tag, in dist/. `check-wheel`
# installs it into a fresh virtual environment with no compiler on PATH and
# runs the demo and a serve smoke check from it.
wheel: venv
	tools/build_wheel.sh $(PY) dist

check-wheel: wheel
	$(PY) tools/check_wheel.py "$$(ls -t dist/quillomar-*manylinux*.whl | head -n 1)"

install: venv
	$(PY) -m pip install -q --no-build-isolation ".[test]"

venv:
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.9" cmake ninja

# In-tree build for quick iteration: build/dev/_quillomar*.so and
# build/dev/_quillomar_build*.so, used with
#   PYTHONPATH=build/dev:python .venv/bin/python -m pytest
# It builds with the cmake and ninja of $(VENV), for its interpreter.
VENV_PATH = PATH="$(abspath $(VENV))/bin:$$PATH"

dev: venv
	$(VENV_PATH) cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE="$(abspath $(PY))"
	$(VENV_PATH) cmake --build build/dev

# Style: ruff (pyproject.toml) over the Python, clang-format (.clang-format)
# over the C++. `make lint` checks without changing anything and fails on
# any finding; `make format` applies what can be applied automatically.
RUFF_VERSION := 0.17.6
PY_SOURCES := python tests bench scripts
CXX_SOURCES = $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'bench/*.cpp' 'fuzz/*.cpp')

lint-tools: venv
	$(PY) -m pip install -q "ruff==$(RUFF_VERSION)"
	command -v clang-format >/dev/null || { apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-format >/dev/null; }

lint: lint-tools
	status=0; \
	$(VENV)/bin/ruff check $(PY_SOURCES) || status=1; \
	$(VENV)/bin/ruff format --check $(PY_SOURCES) || status=1; \
	clang-format --dry-run --Werror $(CXX_SOURCES) || status=1; \
	exit $$status

format: lint-tools
	$(VENV)/bin/ruff check --fix $(PY_SOURCES)
	$(VENV)/bin/ruff format $(PY_SOURCES)
	clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build $(VENV)

# The whole test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension (build/asan, imported ahead of the installed one).
# The runtimes are preloaded into the real interpreter binary. Leak checking
# is left to tests/test_leaks.py and valgrind: the interpreter's own
# allocations that live until exit would drown LeakSanitizer's report.
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=build/asan:python

test-sanitizers: install
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE="$$($(PY) -c 'import sys; print(sys.executable)')" \
		"-DQUILLOMAR_EXTRA_FLAGS=$(SAN_FLAGS)" >/dev/null
	cmake --build build/asan
	$(SAN_ENV) $(PY) -c "import _quillomar; assert '/build/asan/' in _quillomar.__file__, _quillomar.__file__"
	$(SAN_ENV) $(PY) -c "import _quillomar_build as m; assert '/build/asan/' in m.__file__, m.__file__"
	$(SAN_ENV) $(PY) -m pytest -p no:cacheprovider

# One run of the suite under memcheck (slow: about an hour). Passes when no
# "definitely lost" block is attributed to the extension; the interpreter's
# own noise is suppressed by tools/valgrind-python.supp.
test-valgrind: install
	mkdir -p build
	-PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=quick valgrind \
		--suppressions=tools/valgrind-python.supp --leak-check=full \
		--show-leak-kinds=definite --num-callers=40 --log-file=build/valgrind.log \
		$(PY) -m pytest -p no:cacheprovider -q
	$(PY) tools/valgrind_leaks.py build/valgrind.log

# Coverage-guided fuzzing of the core and of the module (see fuzz/README.md).
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14

fuzz-build: venv
	command -v $(FUZZ_CXX) >/dev/null && test -n "$$(find /usr/lib/llvm-14 -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null)" || \
		{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null; }
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DQUILLOMAR_FUZZERS=ON \
		-DPython_EXECUTABLE="$$($(PY) -c 'import sys; print(sys.executable)')" \
		"-DQUILLOMAR_EXTRA_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" >/dev/null
	cmake --build build/fuzz

fuzz: fuzz-build
	for t in decode query from_arrays build_log mapped; do \
		mkdir -p build/fuzz/corpus/$$t && \
		ASAN_OPTIONS=detect_leaks=0 build/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) \
			-print_final_stats=1 -artifact_prefix=build/fuzz/ \
			build/fuzz/corpus/$$t fuzz/corpus/$$t 2>&1 | \
			grep -E "^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec)|ERROR|runtime error|SUMMARY|fuzz_from_arrays:"; \
		test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

# Side-by-side comparison with the libraries users would pick instead:
# installs the package with its `bench` extra, runs every library on Debian's
# wamerican-huge word list (apt-get installs it when missing) and writes
# docs/benchmarks.md with its plots. Not a test; takes about 15 minutes and
# should run on an otherwise idle machine. PEERS_ARGS passes options through,
# e.g. PEERS_ARGS="--queries 200 --prefixes 200 --out /tmp/peers.md".
bench-peers: venv
	$(PY) -m pip install -q --no-build-isolation ".[bench]"
	bench/peers/install_cpp_peer.sh $(PY)
	$(PY) bench/compare_peers.py $(PEERS_ARGS)
