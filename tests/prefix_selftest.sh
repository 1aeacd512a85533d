#!/usr/bin/env bash
# Shows that the entry scripts notice a Wine prefix that no longer works and
# make it again, in a scratch build tree of its own:
#   prefix_selftest.sh <scratch-dir>
# - A prefix whose half for the build's word size is empty, as one made
#   before 32-bit Wine was installed (syswow64 empty: no 32-bit program finds
#   kernel32.dll), is found by its failing start and made again.
# - A prefix made by another set of Wine packages is made again on its next
#   use, before anything runs in it (winerun's path).
# - The test cases' pool: a slot is its template's copy with the ready
#   marker and the fonts; a template made by other Wine packages, or one
#   that starts nothing, is made again when a case enters a slot.
set -u
scratch=$1
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch" && mkdir -p "$scratch"
export RX_BUILD=$scratch
# shellcheck source=../scripts/env.sh
source "$here/../scripts/env.sh"
trap 'rx_server_stop; rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
mark() { touch "$WINEPREFIX/made-before"; }
made_again() { [ ! -e "$WINEPREFIX/made-before" ]; }

echo "== a fresh prefix"
rx_prefix_ready || fail "no working prefix made"
mark

# The half of the prefix that the build's programs start from: syswow64
# for the 32-bit build, system32 for the 64-bit one (a kernel that runs no
# 32-bit programs has only that).
half=system32
[ "$RX_ARCH" = i686 ] && half=syswow64
echo "== its $half emptied (as a prefix made before 32-bit Wine was installed has an empty syswow64)"
rx_server_stop
rm -rf "$WINEPREFIX/drive_c/windows/$half" && mkdir "$WINEPREFIX/drive_c/windows/$half"
rx_prefix_starts && fail "a prefix without $half still starts $RX_ARCH programs: the fault is not reproduced"
rx_server_stop
out=$(rx_prefix_ready 2>&1); echo "$out"
grep -q "starts no program: making it again" <<<"$out" || fail "the broken prefix was not noticed"
made_again || fail "the broken prefix was kept"
rx_prefix_starts || fail "the prefix made again starts no $RX_ARCH program"
mark

echo "== the Wine packages changed since the prefix was made"
rx_server_stop
echo "wine:amd64 0.9 install ok installed" >"$WINEPREFIX/.rx-ready"
out=$(rx_prefix_init 2>&1); echo "$out"
grep -q "Wine changed since" <<<"$out" || fail "a prefix of another Wine was not noticed"
made_again || fail "a prefix of another Wine was kept"
out=$(rx_prefix_init 2>&1)
[ -z "$out" ] || fail "an up-to-date prefix was touched: $out"

echo "== a slot of the pool"
rx_server_stop
rx_pool_ready >/dev/null || fail "no pool template made"
template=$RX_POOL/template
slot=$RX_POOL/slot.0
in_slot() { ( rx_pool_enter 0; rc=$?; rx_server_stop; exit $rc ) 2>&1; }
in_slot >/dev/null || fail "a case could not enter a fresh slot"
cmp -s "$template/.rx-ready" "$slot/.rx-ready" || fail "the slot has no ready marker of the template's"
for font in /usr/share/wine/fonts/*.ttf; do
    [ -e "$slot/drive_c/windows/Fonts/$(basename "$font")" ] || fail "the slot lacks $(basename "$font")"
done
touch "$template/made-before"

echo "== the template made by other Wine packages"
echo "wine:amd64 0.9 install ok installed" >"$template/.rx-ready"
out=$(in_slot); echo "$out"
grep -q "Wine changed since" <<<"$out" || fail "a template of another Wine was used"
[ ! -e "$template/made-before" ] || fail "a template of another Wine was kept"
touch "$template/made-before"

echo "== the template starts nothing"
rm -rf "$template/drive_c/windows/$half" && mkdir "$template/drive_c/windows/$half"
out=$(in_slot) || fail "a case could not enter its slot after the template was made again"
echo "$out"
grep -q "starts no program: making the pool's template again" <<<"$out" || fail "a slot that starts nothing was used"
[ ! -e "$template/made-before" ] || fail "the template that starts nothing was kept"

[ $failed -eq 0 ] && echo "prefix self-test passed"
exit $failed
