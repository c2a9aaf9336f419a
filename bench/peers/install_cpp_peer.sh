#!/usr/bin/env bash
# Installs the C++ delete-neighbourhood peer (PyPI symspellcpppy) into the
# given interpreter's environment. Its build script fetches pybind11 from a
# git host, which is not reachable here, so the source distribution is
# unpacked in a temporary directory and its CMake file pointed at PyPI's
# pybind11 package instead. Usage: install_cpp_peer.sh PYTHON
set -euo pipefail
PY=${1:-python3}
if "$PY" -c "import SymSpellCppPy" 2>/dev/null; then exit 0; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$PY" -m pip install -q pybind11 setuptools wheel cmake
"$PY" -m pip download -q --no-deps --no-binary :all: -d "$work" symspellcpppy
tar xzf "$work"/[Ss]ym[Ss]pell[Cc]pp[Pp]y-*.tar.gz -C "$work"
src=$(echo "$work"/[Ss]ym[Ss]pell[Cc]pp[Pp]y-*/)
"$PY" - "$src/CMakeLists.txt" <<'PYEOF'
import re, sys
path = sys.argv[1]
text = open(path).read()
fetch = re.compile(r"FetchContent_Declare\(\s*pybind11.*?FetchContent_MakeAvailable\(pybind11\)", re.S)
text, count = fetch.subn("find_package(pybind11 CONFIG REQUIRED)", text)
if count != 1:
    sys.exit("install_cpp_peer: the peer's CMake file has changed; cannot patch it")
open(path, "w").write(text)
PYEOF
export CMAKE_PREFIX_PATH
CMAKE_PREFIX_PATH=$("$PY" -m pybind11 --cmakedir)
export CMAKE_BUILD_PARALLEL_LEVEL=2
"$PY" -m pip install -q --no-build-isolation "$src"
"$PY" -c "import SymSpellCppPy"
