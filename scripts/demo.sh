#!/usr/bin/env bash
# The main job: the boot pass, end to end, on a fresh machine.
#
# Installs what is missing, builds, creates the Wine prefix, records the
# sample settings (scripts/demo-settings.reg) and the driver's registration
# (platform/rxboot.reg, as in the OS image), puts the simulated receiver on the far end
# of a null-modem cable, and has the device manager stand-in load rxboot.dll
# and call RXB_Init, showing the driver's debug lines as they come. Ends with
# the receiver's configuration before and after and the GPS power line.
#
#   scripts/demo.sh                       against the simulated receiver
#   RX_COM3=/dev/ttyUSB0 scripts/demo.sh  against a real receiver on that device
#   RX_SIM_ARGS="--reply silent" scripts/demo.sh   (any rxsim.exe options)
#   RX_KEEP_SETTINGS=1 scripts/demo.sh    boot with the settings already recorded
#                                         (by scripts/rxconf.sh, say)
#   scripts/demo.sh --arm                 the same pass by the handheld image of
#                                         rxboot.dll on an emulated XScale (PXA270)
#
# The simulated receiver keeps its battery-backed RAM in
# build/demo/receiver-bbr.txt between runs, as a real one keeps it between
# boots; delete the file for a receiver fresh from the factory.
set -u
arm=""
[ "${1:-}" = --arm ] && arm=1
source "$(dirname "$0")/env.sh"

rx_prepare || exit 1

BIN=$RX_BUILD/bin
RUN=$RX_BUILD/runs/run.demo
rm -rf "$RUN" && mkdir -p "$RUN"
export KTAPI_JOURNAL=$(rx_winpath "$RUN/ktapi.journal")

cleanup() {
    rx_sim_stop
    rx_cable_sweep
    rx_server_stop
}
trap cleanup EXIT
rx_server_start

echo "== registry: driver registration and the sample settings"
# A Platform Builder .reg fragment has no header line; regedit wants one.
{ printf 'REGEDIT4\r\n\r\n'; cat "$RX_ROOT/platform/rxboot.reg"; } >"$RUN/rxboot.reg"
wine regedit /S "$(rx_winpath "$RUN/rxboot.reg")" </dev/null >/dev/null 2>&1
if [ -z "${RX_KEEP_SETTINGS:-}" ]; then
    wine reg delete 'HKLM\Kestrana' /f </dev/null >/dev/null 2>&1
    wine regedit /S "$(rx_winpath "$RX_ROOT/scripts/demo-settings.reg")" </dev/null >/dev/null 2>&1
fi
wine reg query 'HKLM\Kestrana' /s </dev/null 2>/dev/null | tr -d '\r' | grep -E 'REG_DWORD' | sed 's/^ */   /'

if [ -n "${RX_COM3:-}" ]; then
    echo "== COM3: is the real device $RX_COM3"
    [ -e "$RX_COM3" ] || { echo "no such device: $RX_COM3"; exit 1; }
    ln -sfn "$RX_COM3" "$WINEPREFIX/dosdevices/com3"
else
    echo "== null-modem cable; simulated receiver on COM4:"
    rx_cable_start "$RUN" || exit 1
    rx_sim_start "$RUN" ${RX_SIM_ARGS:-}
fi

started=$(date +%s%N)
if [ -n "$arm" ]; then
    echo "== emulated XScale: the handheld rxboot.dll (ARM, Windows CE), RXB_Init on the device manager's thread (debug lines as they come)"
    ( cd "$BIN" && wine debugtap.exe armhost.exe --core pxa270 </dev/null )
else
    echo "== device manager: load rxboot.dll, RXB_Init on its own thread (debug lines as they come)"
    ( cd "$BIN" && wine debugtap.exe devmgr.exe --key 'Drivers\BuiltIn\RXBoot' --exercise --unload </dev/null )
fi
rc=$?
echo "== boot pass and device checks took $(( ($(date +%s%N) - started) / 1000000 )) ms (exit code $rc)"

rx_sim_stop    # end of its input: the receiver prints its final configuration

echo "== GPS power line (KTAPI journal)"
if [ -s "$RUN/ktapi.journal" ]; then
    tr -d '\r' <"$RUN/ktapi.journal" | sed 's/^/   /'
    if tail -2 "$RUN/ktapi.journal" | tr -d '\r' | tr '\n' ' ' | grep -q '^KTSetGPIO(0, 1) KTSetGPIODirection(1, 1)'; then
        echo "   line 1 driven low as an output: GPS always on"
    else
        echo "   line 1 released (input): GPS power follows the system"
    fi
else
    echo "   not touched (the pass did not complete)"
fi
exit $rc
