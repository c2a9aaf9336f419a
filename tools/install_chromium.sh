#!/usr/bin/env bash
# Headless Chromium from Debian's packages, for the browser tests (which
# drive it through Playwright and never download a browser of their own).
exec "$(dirname "$0")/apt_install.sh" install_chromium chromium /usr/bin/chromium \
    "the browser tests"
