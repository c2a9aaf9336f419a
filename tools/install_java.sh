#!/usr/bin/env bash
# A headless Java runtime from Debian's packages, for the test that runs a
# local Spark job (pyspark starts a JVM).
exec "$(dirname "$0")/apt_install.sh" install_java openjdk-17-jre-headless java \
    "the Spark test"
