#!/usr/bin/env bash
# Compiles the Python boundary (both modules and what they share) against the headers of every CPython 3.9-3.13
# found on this machine (syntax and type check only), so that API newer than
# the oldest supported version is always guarded.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
checked=0
for v in 3.9 3.10 3.11 3.12 3.13; do
  py=""
  for d in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*; do
    [ -x "$d/bin/python$v" ] && py="$d/bin/python$v"
  done
  if [ -z "$py" ] && [ -x "/usr/bin/python$v" ]; then py="/usr/bin/python$v"; fi
  if [ -z "$py" ]; then
    echo "python$v: not installed, skipped"
    continue
  fi
  inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  if [ ! -f "$inc/Python.h" ]; then
    echo "python$v: no headers, skipped"
    continue
  fi
  for f in src/python_common/*.cpp src/python/*.cpp src/python_build/*.cpp; do
    if ! g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Isrc -I"$inc" "$f"; then
      echo "python$v: $f failed"
      status=1
    fi
  done
  checked=$((checked + 1))
  echo "python$v: ok ($inc)"
done
[ "$checked" -gt 0 ] || echo "no CPython headers found"
exit $status
