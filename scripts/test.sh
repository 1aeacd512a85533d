#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, prepares the Wine
# prefixes and runs the suite through CTest, two cases per core side by side
# (each case that runs a Windows program in a prefix of its own, on a cable
# of its own; see rx_pool_enter).
#   scripts/test.sh                 everything, the slow boot pass included
#   scripts/test.sh -LE slow        without the tests labelled slow
#   scripts/test.sh -j1             one case at a time (-jN: N at once)
#   scripts/test.sh -R Catalogue    any other ctest arguments
set -u
source "$(dirname "$0")/env.sh"

rx_prepare || exit 1
# The test cases' prefixes are made from it (winerun, rx_pool_enter).
rx_pool_ready || exit 1

# Whatever happens, nothing started here outlives the run: the caller (CI)
# waits for every process that holds its output.
cleanup() { rx_pool_stop; rx_cable_sweep; rx_server_stop; }
trap cleanup EXIT
rx_server_start

# A -j among the arguments comes later and wins (so does CTEST_PARALLEL_LEVEL
# over the default).
jobs=${CTEST_PARALLEL_LEVEL:-$(( 2 * $(nproc) ))}
started=$(date +%s)
ctest --test-dir "$RX_BUILD" --output-on-failure -j"$jobs" "$@"
rc=$?
echo "== tests took $(( $(date +%s) - started )) s"
exit $rc
