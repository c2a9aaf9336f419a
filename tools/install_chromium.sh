#!/usr/bin/env bash
# Headless Chromium from Debian's packages, for the browser tests (which
# drive it through Playwright and never download a browser of their own).
# Without apt-get there is nothing to install with: say so and leave the
# tests to skip.
set -euo pipefail
CHROMIUM=/usr/bin/chromium
if [ -x "$CHROMIUM" ]; then
    exit 0
fi
if ! command -v apt-get >/dev/null 2>&1; then
    echo "install_chromium: apt-get is not available; the browser tests will be skipped" >&2
    exit 0
fi
SUDO=
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1; then
    SUDO="sudo -n"
fi
echo "install_chromium: installing chromium with apt-get" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq --no-install-recommends chromium >/dev/null
test -x "$CHROMIUM"
