# Developer entry points. `make test` works on a fresh clone: it creates its
# own virtual environment, builds the extension and runs the test suite.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: test install venv dev format clean

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
