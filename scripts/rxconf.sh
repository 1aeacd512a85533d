#!/usr/bin/env bash
# Runs the setup program by hand: rxconf.exe in a window the size of a
# handheld screen, its debug lines in this terminal, and the simulated
# receiver on the far end of a null-modem cable (or a real receiver).
#   scripts/rxconf.sh                          needs an X display (DISPLAY)
#   RX_COM3=/dev/ttyUSB0 scripts/rxconf.sh     against a real receiver
#   RX_SCREEN=240x320 scripts/rxconf.sh        another screen size
#   RX_SIM_ARGS="--chatter 3840" scripts/...   any rxsim.exe options
# Leave the program with its "OK" soft key. The settings it records stay in
# the prefix's registry (HKEY_LOCAL_MACHINE\Kestrana\GPS), where the demo's
# boot pass also reads them.
set -u
source "$(dirname "$0")/env.sh"

[ -n "${DISPLAY:-}" ] || { echo "no X display: set DISPLAY (or use scripts/screenshot.sh)"; exit 1; }
rx_prepare || exit 1

RUN=$RX_BUILD/runs/run.rxconf
rm -rf "$RUN" && mkdir -p "$RUN"
export KTAPI_JOURNAL=$(rx_winpath "$RUN/ktapi.journal")
cleanup() {
    rx_sim_stop
    rx_cable_sweep
    rx_display_null
}
trap cleanup EXIT
rx_display_x11 "$DISPLAY" "${RX_SCREEN:-480x640}"

# The keys come with the handheld's installation; create them if missing.
wine reg add 'HKLM\Kestrana\GPS' /f </dev/null >/dev/null 2>&1
wine reg query 'HKLM\Kestrana' /v ConfigGPS </dev/null >/dev/null 2>&1 \
    || wine reg add 'HKLM\Kestrana' /v ConfigGPS /t REG_DWORD /d 2 /f </dev/null >/dev/null 2>&1

if [ -n "${RX_COM3:-}" ]; then
    [ -e "$RX_COM3" ] || { echo "no such device: $RX_COM3"; exit 1; }
    ln -sfn "$RX_COM3" "$WINEPREFIX/dosdevices/com3"
else
    rx_cable_start "$RUN" || exit 1
    rx_sim_start "$RUN" ${RX_SIM_ARGS:-}
fi
# The debug lines come from Wine's own trace of each call (no debugger, which
# would hold the program for every character of a streaming receiver's
# text), decoded back into the calls by debugtap.exe --decode.
( cd "$RX_BUILD/bin" && { WINEDEBUG=-all,warn+seh wine rxconf.exe </dev/null 2>&1 >&3 | wine debugtap.exe --decode;
    exit "${PIPESTATUS[0]}"; } 3>&1 )
echo "== rxconf.exe ended (exit code $?)"
rx_sim_stop
if [ -s "$RUN/ktapi.journal" ]; then
    echo "== GPS power line calls:"; tr -d '\r' <"$RUN/ktapi.journal" | sed 's/^/   /'
fi
