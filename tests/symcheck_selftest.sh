#!/usr/bin/env bash
# Shows that scripts/check-symbols.sh can fail:
#   symcheck_selftest.sh <check-symbols.sh> <desktop.obj> <allowed.obj>
# The desktop object must be refused for exactly RegOpenKeyW and MessageBoxA
# (not for CreateFileW, nor for its call into the allowed object, which is
# our own code); the allowed object alone must pass; an allowlist line
# without its note must be refused; a desktop-only entry must not let through
# a call that receiver/platform.h does not make.
set -u
check=$1 desktop=$2 allowed=$3
failed=0
fail() { echo "FAIL: $*"; failed=1; }
run() { out=$(bash "$check" "$@" 2>&1); rc=$?; echo "$out"; }

run --objects "$desktop" "$allowed"
[ $rc -eq 1 ] || fail "desktop-only calls: exit code $rc, wanted 1"
offenders=$(grep 'is not on the Windows CE 5 allowlist' <<<"$out" | awk '{print $2}' | sort | tr '\n' ' ')
[ "$offenders" = "MessageBoxA RegOpenKeyW " ] || fail "offenders \"$offenders\", wanted \"MessageBoxA RegOpenKeyW \""
grep -qF "RegOpenKeyW (from $desktop)" <<<"$out" || fail "the offender's object is not named"

run --objects "$allowed"
[ $rc -eq 0 ] || fail "allowed calls only: exit code $rc, wanted 0"

list=$(mktemp)
printf 'CreateFileW   # exists on Windows CE 5: coredll (kernel)\nCloseHandle\n' >"$list"
run --allowlist "$list" --objects "$allowed"
rm -f "$list"
[ $rc -eq 2 ] || fail "allowlist line without a note: exit code $rc, wanted 2"

list=$(mktemp)
printf 'MessageBoxA   # desktop build only (receiver/platform.h): probe\n' >"$list"
grep -v '^MessageBoxA' "$(dirname "$check")/ce-api-allowlist.txt" >>"$list"
run --allowlist "$list" --objects "$desktop" "$allowed"
rm -f "$list"
[ $rc -eq 1 ] || fail "desktop-only entry for a call platform.h does not make: exit code $rc, wanted 1"
grep -qF "MessageBoxA (from $desktop) is for the desktop build only, but receiver/platform.h does not name it" <<<"$out" \
    || fail "the desktop-only entry let MessageBoxA through"

[ $failed -eq 0 ] && echo "check-symbols self-test passed"
exit $failed
