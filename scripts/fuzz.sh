#!/usr/bin/env bash
# Builds the listener's frame scanner natively with libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer, and fuzzes it for a bounded time.
#   scripts/fuzz.sh [seconds]      default 30; the test suite runs it so
# New inputs that reach new code go to $RX_BUILD/fuzz/corpus (the seed corpus
# in tests/fuzz/corpus is read, never written); a crash leaves its input in
# $RX_BUILD/fuzz and fails the run.
set -u
source "$(dirname "$0")/env.sh"
seconds=${1:-30}
out=$RX_BUILD/fuzz
mkdir -p "$out/corpus"

clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$RX_ROOT/receiver" \
    "$RX_ROOT/tests/fuzz/replyscan_fuzz.cpp" "$RX_ROOT/receiver/replyscan.cpp" \
    -o "$out/replyscan_fuzz" || exit 1

cd "$out" || exit 1
./replyscan_fuzz -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -artifact_prefix="$out/" corpus "$RX_ROOT/tests/fuzz/corpus" 2>"$out/fuzz.log"
rc=$?
grep -E 'stat::number_of_executed_units|stat::peak_rss|ERROR|SUMMARY|abort|not found|not echoed|echoed text' "$out/fuzz.log"
[ "$rc" = 0 ] || tail -40 "$out/fuzz.log"
exit $rc
