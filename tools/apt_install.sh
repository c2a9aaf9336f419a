#!/usr/bin/env bash
# Installs a Debian package for tests that need a program from outside PyPI,
# unless that program is there already:
#   tools/apt_install.sh WHO PACKAGE PROGRAM WHAT_SKIPS
# Without apt-get there is nothing to install with: say so (naming the
# tests WHAT_SKIPS) and leave those tests to skip.
set -euo pipefail
WHO=$1 PACKAGE=$2 PROGRAM=$3 SKIPS=$4
if command -v "$PROGRAM" >/dev/null 2>&1; then
    exit 0
fi
if ! command -v apt-get >/dev/null 2>&1; then
    echo "$WHO: apt-get is not available; $SKIPS will be skipped" >&2
    exit 0
fi
SUDO=
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1; then
    SUDO="sudo -n"
fi
echo "$WHO: installing $PACKAGE with apt-get" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq --no-install-recommends "$PACKAGE" >/dev/null
command -v "$PROGRAM" >/dev/null
