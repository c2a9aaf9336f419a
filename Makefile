# Developer entry points. `make test` works on a fresh clone: it creates its
# own virtual environment, builds the extension and runs the test suite.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: test install venv dev format clean test-sanitizers test-valgrind

test: install
	$(PY) -m pytest

install: venv
	$(PY) -m pip install -q --no-build-isolation ".[test]"

venv:
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.9" cmake ninja

# In-tree build for quick iteration: build/dev/_quillomar*.so, used with
#   PYTHONPATH=build/dev:python python -m pytest
dev:
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build/dev

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp' 'bench/*.cpp' 'fuzz/*.cpp')

clean:
	rm -rf build $(VENV)

# The whole test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension (build/asan, imported ahead of the installed one).
# The runtimes are preloaded into the real interpreter binary. Leak checking
# is left to tests/test_leaks.py and valgrind: the interpreter's own
# allocations that live until exit would drown LeakSanitizer's report.
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONPATH=build/asan:python

test-sanitizers: install
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPython_EXECUTABLE="$$($(PY) -c 'import sys; print(sys.executable)')" \
		"-DQUILLOMAR_EXTRA_FLAGS=$(SAN_FLAGS)" >/dev/null
	cmake --build build/asan
	$(SAN_ENV) $(PY) -c "import _quillomar; assert '/build/asan/' in _quillomar.__file__, _quillomar.__file__"
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
