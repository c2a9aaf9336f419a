#!/usr/bin/env bash
# A headless Java runtime from Debian's packages, for the test that runs a
# local Spark job (pyspark starts a JVM). Without apt-get there is nothing
# to install with: say so and leave that test to skip.
set -euo pipefail
if command -v java >/dev/null 2>&1; then
    exit 0
fi
if ! command -v apt-get >/dev/null 2>&1; then
    echo "install_java: apt-get is not available; the Spark test will be skipped" >&2
    exit 0
fi
SUDO=
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1; then
    SUDO="sudo -n"
fi
echo "install_java: installing openjdk-17-jre-headless with apt-get" >&2
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq --no-install-recommends openjdk-17-jre-headless >/dev/null
command -v java >/dev/null
