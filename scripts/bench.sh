#!/usr/bin/env bash
# Runs every benchmark of bench/ against the simulated receiver and prints one
# table: figure, measured, floor, goal, verdict. Builds what is missing and
# prepares the Wine prefix and server as scripts/test.sh does; every program
# runs through scripts/winerun, on a null-modem cable of its own.
#   scripts/bench.sh                     everything (about 12 minutes)
#   scripts/bench.sh --quick             fewer calls, frames and seconds (about 5 minutes)
#   scripts/bench.sh --soak N            ToggleNMEA calls of the soak (default 1000)
#   scripts/bench.sh --load-seconds S    seconds of the listener under load (default 30)
#   scripts/bench.sh --only "1 5 7"      only these figures (1..10)
#   scripts/bench.sh --fuzz S            also run the scanner fuzzer for S seconds
# Figures are measured, never asserted: the exit code is 0 when every
# benchmark ran to its end, whatever the verdicts. The whole output goes to
# $RX_BUILD/bench/bench.log and the table, with the machine, to
# $RX_BUILD/bench/table.md.
set -u
source "$(dirname "$0")/env.sh"

soak=1000 load_seconds=30 frames=200 toggles=20 fuzz=0 only="1 2 3 4 5 6 7 8 9 10" viewer_calls=20000
arm_seconds=10
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) soak=50 load_seconds=10 frames=50 toggles=10 arm_seconds=4; shift ;;
        --soak) soak=$2; shift 2 ;;
        --load-seconds) load_seconds=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        --fuzz) fuzz=$2; shift 2 ;;
        *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
    esac
done
wanted() { case " $only " in *" $1 "*) return 0 ;; esac; return 1; }

rx_install_packages || exit 1
rx_build || { echo "build failed"; exit 1; }
rx_prefix_ready || exit 1
rx_cable_sweep

cleanup() { rx_cable_sweep; rx_server_stop; }
trap cleanup EXIT
rx_server_start

out=$RX_BUILD/bench
mkdir -p "$out"
log=$out/bench.log rows=$out/rows.txt
: >"$log"
: >"$rows"
failures=0

say() { echo "$*" | tee -a "$log"; }

machine() {
    local cpu
    cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $cpu, $(nproc) cores, Linux $(uname -r), $(wine --version 2>/dev/null), mingw-w64 $(x86_64-w64-mingw32-g++-posix -dumpversion)"
}

# One benchmark program on a fresh cable: its ROW lines go to the table, the
# rest is shown as it comes.
bench() {
    local program=$1 rc
    shift
    say "== $program $* (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    "$RX_ROOT/scripts/winerun" "$RX_BUILD/bin/$program" "$@" 2>&1 | tee -a "$log" | while IFS= read -r line; do
        line=${line%$'\r'}
        case "$line" in
            ROW\|*) echo "$line" >>"$rows"; echo "${line#ROW|}" | sed 's/|/ | /g' ;;
            *) echo "$line" ;;
        esac
    done
    rc=${PIPESTATUS[0]}
    if [ "$rc" != 0 ]; then
        say "!! $program ended with $rc"
        failures=$((failures + 1))
    fi
}

row() { echo "ROW|$1|$2|$3|$4|$5" >>"$rows"; echo "$1 | $2 | $3 | $4 | $5" | tee -a "$log"; }

# ---- figure 7: sizes and the C++ runtime, on the images and objects ----
OBJDUMP=x86_64-w64-mingw32-objdump NM=x86_64-w64-mingw32-nm
# Symbols of the C++ runtime: exceptions, RTTI, iostream and the rest of std,
# operator new/delete, the unwinder.
CXX_SYMBOLS='__cxa_|__gxx_personality|_ZTI|_ZTS|_ZTV|_ZNS|_ZNKS|_ZSt|_Znw|_Zna|_Zdl|_Zda|_Unwind_|__gnu_cxx'
# What such code leaves in a stripped image: type names, messages, DLLs.
CXX_STRINGS='St9exception|St9type_info|ios_base|basic_ios|basic_string|bad_alloc|terminate called|__gnu_cxx|libstdc\+\+|libgcc_s'

sizes() {
    say "== sizes and the C++ runtime"
    local image kind size imports hits deliverable objects symbols
    for image in rxconf.exe rxboot.dll KTAPI.dll aygshell.dll; do
        case $image in rxconf.exe|rxboot.dll) deliverable=1 ;; *) deliverable=0 ;; esac
        size=$(stat -c %s "$RX_BUILD/bin/$image")
        imports=$($OBJDUMP -p "$RX_BUILD/bin/$image" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
        hits=$(strings -a "$RX_BUILD/bin/$image" | grep -E -c "$CXX_STRINGS")
        say "  $image: $size bytes; imports: $imports; C++ runtime strings: $hits"
        if [ "$deliverable" = 1 ]; then
            row "7. Size of $image (deliverable)" "$(printf "%'d" "$size") bytes, $hits C++ runtime strings" \
                "-" "small, no C++ runtime" "$([ "$hits" = 0 ] && echo met || echo MISSED)"
        else
            row "7. Size of $image (stand-in, not shipped)" "$(printf "%'d" "$size") bytes" "-" "-" "-"
        fi
    done
    # The images are stripped: look at the deliverables' own objects and
    # static libraries for references to (or copies of) runtime symbols.
    objects=$(ls "$RX_BUILD"/receiver/libreceiver.a "$RX_BUILD"/setup/libsetupops.a \
        "$RX_BUILD"/bootdrv/libbootapply.a "$RX_BUILD"/setup/CMakeFiles/rxconf.dir/*.obj \
        "$RX_BUILD"/bootdrv/CMakeFiles/rxboot.dir/*.obj 2>/dev/null)
    symbols=$($NM $objects 2>/dev/null | awk '{print $NF}' | grep -E "^($CXX_SYMBOLS)" | sort -u)
    say "  objects checked: $(echo $objects | wc -w); C++ runtime symbols: $(echo $symbols | wc -w) ${symbols:+($symbols)}"
    # The same two checks on code that does use the C++ runtime (the
    # simulator, with its std::thread and std::vector) must find plenty, or
    # the checks themselves are broken.
    local control_symbols control_strings verdict
    control_symbols=$($NM "$RX_BUILD/testbench/rxsim/librxsim.a" 2>/dev/null | awk '{print $NF}' | grep -E -c "^($CXX_SYMBOLS)")
    control_strings=$(strings -a "$RX_BUILD/bin/rxsim.exe" | grep -E -c "$CXX_STRINGS")
    say "  control (rxsim): $control_symbols C++ runtime symbols in librxsim.a, $control_strings strings in rxsim.exe"
    verdict=$([ -z "$symbols" ] && echo met || echo MISSED)
    [ "$control_symbols" -gt 0 ] && [ "$control_strings" -gt 0 ] || verdict="CHECK BROKEN (control found nothing)"
    row "7. C++ runtime symbols in the deliverables' objects" \
        "$(echo $symbols | wc -w) in $(echo $objects | wc -w) objects/libraries (control: $control_symbols in librxsim.a)" \
        "-" "0" "$verdict"
}

# ---- figure 9: the manual-run viewer at full line rate ----
# The emitting program runs as scripts/rxconf.sh runs the setup program:
# Wine's trace of its debug calls piped into debugtap.exe --decode.
viewer() {
    local out=$out/viewer.txt
    say "== viewer: rxbench-viewer.exe --emit --calls $viewer_calls | debugtap.exe --decode (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    ( cd "$RX_BUILD/bin" && { WINEDEBUG=-all,warn+seh wine rxbench-viewer.exe --emit --calls "$viewer_calls" \
        </dev/null 2>&1 >&3 | wine debugtap.exe --decode >"$out"; } 3>/dev/null )
    bench rxbench-viewer.exe --check "$(rx_winpath "$out")" --calls "$viewer_calls"
    bench rxbench-viewer.exe --debugger --calls $((viewer_calls / 4))
}

started=$(date +%s)
say "== machine"
machine | tee -a "$log"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
say "- Load average at the start: $load_start"

wanted 1 && bench rxbench-boot.exe --reply ack --latency 5
wanted 1 && bench rxbench-boot.exe --reply ack --latency 5 --via devmgr
wanted 2 && bench rxbench-boot.exe --reply silent
wanted 3 && bench rxbench-toggle.exe --calls "$toggles" --latency 5
# The same against a receiver whose UART has a rate and 430 bytes of its
# six default sentences each second: replies wait behind them.
wanted 3 && bench rxbench-toggle.exe --calls "$toggles" --latency 5 --baud 38400 --chatter 430
wanted 3 && bench rxbench-toggle.exe --calls "$toggles" --latency 5 --baud 9600 --chatter 430
wanted 4 && bench rxbench-reply.exe --frames "$frames"
wanted 5 && bench rxbench-load.exe --seconds "$load_seconds"
wanted 5 && bench rxbench-load.exe --seconds "$load_seconds" --debugger
wanted 5 && bench rxbench-load.exe --seconds "$load_seconds" --debugtap
wanted 6 && bench rxbench-soak.exe --calls "$soak"
wanted 8 && bench rxbench-boot.exe --reply ack --latency 5 --hang-up-after 1
wanted 9 && viewer
# The handheld images on the emulated XScale: the instructions of the shipped code.
wanted 10 && bench rxbench-arm.exe --stream-seconds "$arm_seconds"
wanted 7 && sizes
if [ "$fuzz" != 0 ]; then
    say "== scanner fuzzer, $fuzz s"
    if bash "$RX_ROOT/scripts/fuzz.sh" "$fuzz" 2>&1 | tee -a "$log" | tee "$out/fuzz.txt"; then
        runs=$(sed -n 's/.*number_of_executed_units: *//p' "$out/fuzz.txt")
        row "Scanner fuzzer (scripts/fuzz.sh $fuzz)" "${runs:-?} inputs, no fault" "-" "no fault" met
    else
        row "Scanner fuzzer (scripts/fuzz.sh $fuzz)" "FAULT (see $out)" "-" "no fault" MISSED
        failures=$((failures + 1))
    fi
else
    row "Scanner fuzzer" "not run here (30 s in scripts/test.sh)" "-" "scripts/fuzz.sh 600 runs it 600 s" "-"
fi

{
    echo
    machine
    echo "- Load average (1, 5, 15 min) at the start: $load_start; at the end: $(cut -d' ' -f1-3 /proc/loadavg); the benchmarks took $(( $(date +%s) - started )) s"
    echo
    echo "| Figure | Measured | Floor | Goal | Verdict |"
    echo "|---|---|---|---|---|"
    awk -F'|' '{ printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6 }' "$rows"
} | tee "$out/table.md" | tee -a "$log"
[ "$failures" = 0 ] || echo "!! $failures benchmark(s) did not run to their end" | tee -a "$log"
exit $((failures > 0))
