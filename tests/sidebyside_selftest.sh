#!/usr/bin/env bash
# Two test cases side by side, each in the pool slot that CTest gave it and
# run as every case is (scripts/winerun): neither sees the other's registry,
# cable, debug output or programs. Then two more in the same slots the other
# way round: neither starts from what the first two left there (the settings
# key, a program still running, and a COM9 link planted in each slot).
#   sidebyside_selftest.sh <bin-folder> <scratch-folder>
# Needs two slots of its own: RESOURCE_GROUPS "2,prefixes:1".
set -u
bin=$1 scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/env.sh
source "$here/../scripts/env.sh"
first=${CTEST_RESOURCE_GROUP_0_PREFIXES:-} second=${CTEST_RESOURCE_GROUP_1_PREFIXES:-}
first=${first#id:} second=${second#id:}
first=${first%%,*} second=${second%%,*}
if [ -z "$first" ] || [ -z "$second" ]; then
    echo "FAIL: CTest gave no two prefix slots (run through ctest, RESOURCE_GROUPS \"2,prefixes:1\")"
    exit 1
fi
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Cases $1 and $3 at once, in slots $2 and $4.
pair() {
    local meet=$scratch/meet pids=() names=("$1" "$3") slots=("$2" "$4") i
    rm -rf "$meet" && mkdir -p "$meet"
    for i in 0 1; do
        CTEST_RESOURCE_GROUP_COUNT=1 CTEST_RESOURCE_GROUP_0=prefixes \
            CTEST_RESOURCE_GROUP_0_PREFIXES="id:${slots[i]},slots:1" \
            "$RX_ROOT/scripts/winerun" "$bin/sidecase.exe" "${names[i]}" "$(rx_winpath "$meet")" \
            </dev/null >"$scratch/${names[i]}.log" 2>&1 &
        pids+=($!)
    done
    for _ in $(seq 1 600); do
        [ -e "$meet/$1.ready" ] && [ -e "$meet/$3.ready" ] && break
        rx_alive "${pids[0]}" && rx_alive "${pids[1]}" || break
        sleep 0.1
    done
    [ -e "$meet/$1.ready" ] && [ -e "$meet/$3.ready" ] || fail "the two cases $1 and $3 never ran at the same time"
    touch "$meet/go"
    for i in 0 1; do
        wait "${pids[i]}" || fail "case ${names[i]} in slot ${slots[i]} failed"
        cat "$scratch/${names[i]}.log"
    done
    # Nothing of either case runs on: no process of the slots' prefixes.
    for i in 0 1; do
        if grep -lqz "^WINEPREFIX=$RX_POOL/slot.${slots[i]}\$" /proc/[0-9]*/environ 2>/dev/null; then
            fail "processes of slot ${slots[i]} outlived its case"
        fi
    done
}

rm -rf "$scratch" && mkdir -p "$scratch"
echo "== alpha in slot $first, bravo in slot $second"
pair alpha "$first" bravo "$second"
for slot in "$first" "$second"; do
    ln -sfn /dev/null "$RX_POOL/slot.$slot/dosdevices/com9"
done
echo "== charlie in slot $second, delta in slot $first, after them"
pair charlie "$second" delta "$first"
rm -rf "$scratch"
[ $failed -eq 0 ] && echo "side-by-side test passed"
exit $failed
