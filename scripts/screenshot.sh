#!/usr/bin/env bash
# Takes docs/rxconf-dialog.png: the setup program's dialog as the user sees
# it on a handheld-sized screen, with a few boxes ticked and a status text,
# against the receiver simulator.
#   scripts/screenshot.sh            480 x 640 (a VGA handheld)
#   RX_SCREEN=240x320 scripts/...    another size
# It borrows the build tree's Wine prefix: for its run the prefix draws on a
# virtual X display (Xvfb) inside a Wine desktop of the screen's size; on the
# way out it goes back to the null display driver that the tests use.
set -u
source "$(dirname "$0")/env.sh"

SCREEN=${RX_SCREEN:-480x640}
OUT=$RX_ROOT/docs/rxconf-dialog.png

# The caption's close box and other frame glyphs come from Wine's own
# fonts; without them Wine draws the letter "r" in their place.
RX_PACKAGES="$RX_PACKAGES fonts-wine"
rx_prepare || exit 1


xvfb_pid=
shot=$(mktemp -d)
cleanup() {
    rx_cable_sweep
    rx_server_stop
    rx_display_null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$shot"
}
trap cleanup EXIT

# A free display number.
display=77
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 "${SCREEN}x24" -nolisten tcp </dev/null >"$RX_LOGS/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.05
done
rx_display_x11 ":$display" "$SCREEN"

export RXCONF_POSE_READY=$(rx_winpath "$shot/ready")
export RXCONF_POSE_DONE=$(rx_winpath "$shot/done")
"$RX_ROOT/scripts/winerun" "$RX_BUILD/bin/test_rxconf.exe" --gtest_also_run_disabled_tests \
    --gtest_filter=Rxconf.DISABLED_PoseForScreenshot >"$RX_LOGS/screenshot-pose.log" 2>&1 &
pose=$!
for _ in $(seq 1 600); do
    [ -e "$shot/ready" ] && break
    rx_alive "$pose" || break
    sleep 0.1
done
if [ ! -e "$shot/ready" ]; then
    echo "the dialog did not come up:"; cat "$RX_LOGS/screenshot-pose.log"
    exit 1
fi
sleep 0.5   # let the last repaint land
mkdir -p "$(dirname "$OUT")"
import -display ":$display" -window root "$OUT"
touch "$shot/done"
wait "$pose"
rc=$?
[ "$rc" = 0 ] || { echo "the pose failed:"; cat "$RX_LOGS/screenshot-pose.log"; exit 1; }
echo "== $OUT ($SCREEN)"
