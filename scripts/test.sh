#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, prepares the Wine prefix
# and runs the suite through CTest (serially: one prefix, one "COM3:").
#   scripts/test.sh                 everything, the slow boot pass included
#   scripts/test.sh -LE slow        without the tests labelled slow
#   scripts/test.sh -R Catalogue    any other ctest arguments
set -u
source "$(dirname "$0")/env.sh"

rx_prepare || exit 1

# Whatever happens, nothing started here outlives the run: the caller (CI)
# waits for every process that holds its output.
cleanup() { rx_cable_sweep; rx_server_stop; }
trap cleanup EXIT
rx_server_start

started=$(date +%s)
ctest --test-dir "$RX_BUILD" --output-on-failure -j1 "$@"
rc=$?
echo "== tests took $(( $(date +%s) - started )) s"
exit $rc
