#!/usr/bin/env bash
# The entry scripts' install step on days when apt fails, without the
# network: stand-ins for apt-get, dpkg-query, dpkg and sudo on PATH keep the
# "installed" packages in a file, and a scratch build tree stands for the
# user's.
#   install_selftest.sh <scratch-dir>
# - The i386 index is missing (apt-get update fails in part) and apt refuses
#   everything 32-bit ("held broken packages"): the update's failure is
#   shown, the install is still tried, and the scripts go on with the 64-bit
#   build (its packages and toolchain) after one line that says why and how
#   to insist. The tree remembers it: the next run neither asks apt again
#   nor builds for i686.
# - RX_ARCH=i686 insists: on such a day it stops with apt's message and the
#   tree stays 64-bit; on a good day it installs, and the tree is 32-bit
#   again from then on.
# - A package that is not 32-bit and cannot be installed stops the run with
#   apt's message, and nothing is remembered; one whose download fails once
#   is no reason for the 64-bit build.
set -u
scratch=$1
root=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$scratch" && mkdir -p "$scratch/bin" "$scratch/state"
trap 'rm -rf "$scratch"' EXIT
stand=$scratch/bin
export STANDIN_STATE=$scratch/state
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cat >"$stand/apt-get" <<'EOF'
#!/usr/bin/env bash
# apt-get update fails on the i386 index when STANDIN_UPDATE_FAILS is set;
# install refuses any :i386 package when STANDIN_NO_I386 is set, and the
# packages of STANDIN_UNKNOWN always; the first install that holds
# STANDIN_FLAKY fails to fetch it. It installs all or nothing.
echo "apt-get $*" >>"$STANDIN_STATE/calls"
cmd=$1; shift
case $cmd in
update)
    [ -z "${STANDIN_UPDATE_FAILS:-}" ] && exit 0
    echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (40812 != 40760). Mirror sync in progress? [IP: 192.0.2.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
install)
    pkgs=() broken=""
    for a; do case $a in -*) ;; *) pkgs+=("$a") ;; esac; done
    for p in "${pkgs[@]}"; do
        if [[ " ${STANDIN_UNKNOWN:-} " == *" $p "* ]]; then echo "E: Unable to locate package $p"; exit 100; fi
        if [ "$p" = "${STANDIN_FLAKY:-}" ] && [ ! -e "$STANDIN_STATE/fetched" ]; then
            touch "$STANDIN_STATE/fetched"
            echo "E: Failed to fetch http://mirror.invalid/debian/pool/main/$p.deb  Connection timed out"
            exit 100
        fi
        [[ $p == *:i386 && -n ${STANDIN_NO_I386:-} ]] && broken="$broken $p"
    done
    if [ -n "$broken" ]; then
        echo "The following packages have unmet dependencies:"
        for p in $broken; do echo " $p : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"; done
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
    fi
    printf '%s\n' "${pkgs[@]}" >>"$STANDIN_STATE/installed" ;;
*) exit 1 ;;
esac
EOF
cat >"$stand/dpkg-query" <<'EOF'
#!/usr/bin/env bash
# Only "dpkg-query -W -f=FORMAT package" of one package.
p=${*: -1}
grep -qxF "$p" "$STANDIN_STATE/installed" 2>/dev/null || { echo "dpkg-query: no packages found matching $p" >&2; exit 1; }
printf 'install ok installed'
EOF
cat >"$stand/dpkg" <<'EOF'
#!/usr/bin/env bash
case $1 in
--print-foreign-architectures) cat "$STANDIN_STATE/foreign" 2>/dev/null ;;
--add-architecture) echo "$2" >>"$STANDIN_STATE/foreign" ;;
*) exit 1 ;;
esac
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$stand/sudo"
chmod +x "$stand"/*

# One run of an entry script's first steps in build tree $1 (further
# arguments: variables for it): install, then the build with CMake left
# out (each tree's toolchain file is shown instead). Prints everything and
# ends with "result: <exit code> <RX_ARCH>".
run() {
    local tree=$1; shift
    env -u RX_ARCH -u RX_ARCH_NOTE "$@" PATH="$stand:$PATH" RX_BUILD="$tree" RX_RUNS_32BIT=yes bash -c '
        source "$1/scripts/env.sh"
        rx_cmake_tree() { echo "toolchain ${2##*/}"; }
        rx_install_packages && rx_build
        echo "result: $? $RX_ARCH"' _ "$root" 2>&1
}
calls() { wc -l <"$STANDIN_STATE/calls" 2>/dev/null || echo 0; }
installed() { grep -qxF "$1" "$STANDIN_STATE/installed" 2>/dev/null; }
bad_day=(STANDIN_UPDATE_FAILS=1 STANDIN_NO_I386=1)
tree=$scratch/tree

echo "== a bad day: the i386 index is missing and apt refuses everything 32-bit"
out=$(run "$tree" "${bad_day[@]}"); echo "$out"
grep -q "Mirror sync in progress" <<<"$out" || fail "the update's failure was not shown"
grep -q "^apt-get install .*wine32:i386" "$STANDIN_STATE/calls" || fail "the install was not tried after the update failed in part"
grep -q "^result: 0 x86_64$" <<<"$out" || fail "no 64-bit build after the 32-bit packages failed"
grep -q "toolchain mingw-w64-x86_64.cmake" <<<"$out" || fail "the build did not switch to the 64-bit toolchain"
installed g++-mingw-w64-x86-64 && installed cmake || fail "the 64-bit build's packages were not installed"
line=$(grep -c "held broken packages.*RX_ARCH=i686" <<<"$out")
[ "$line" = 1 ] || fail "no single line says why (apt's reason) and how to insist on i686 ($line such lines)"

echo "== the next run in that tree"
before=$(calls)
out=$(run "$tree"); echo "$out"
grep -q "^result: 0 x86_64$" <<<"$out" || fail "the tree did not remember the 64-bit build"
[ "$(calls)" = "$before" ] || fail "the next run asked apt again"
grep -q "desktop build (x86_64.*RX_ARCH=i686" <<<"$out" || fail "the build's line does not say why it is 64-bit and how to insist"

echo "== RX_ARCH=i686 on a bad day: apt's message, and the tree stays 64-bit"
out=$(run "$tree" "${bad_day[@]}" RX_ARCH=i686); echo "$out"
grep -q "^result: 0" <<<"$out" && fail "RX_ARCH=i686 went on without its packages"
grep -q "^E: Unable to correct problems, you have held broken packages" <<<"$out" || fail "apt's own message was not shown"
grep -q "toolchain" <<<"$out" && fail "RX_ARCH=i686 built without its packages"
out=$(run "$tree")
grep -q "^result: 0 x86_64$" <<<"$out" || fail "after a failed RX_ARCH=i686 the tree forgot its 64-bit build"

echo "== RX_ARCH=i686 on a day when the 32-bit packages install (the update still failing in part)"
out=$(run "$tree" STANDIN_UPDATE_FAILS=1 RX_ARCH=i686); echo "$out"
grep -q "^result: 0 i686$" <<<"$out" || fail "RX_ARCH=i686 did not build for i686 once its packages installed"
grep -q "toolchain mingw-w64-i686.cmake" <<<"$out" || fail "RX_ARCH=i686 did not use the 32-bit toolchain"
installed wine32:i386 || fail "32-bit Wine was not installed"
before=$(calls)
out=$(run "$tree")
grep -q "^result: 0 i686$" <<<"$out" || fail "the tree is not 32-bit again after RX_ARCH=i686 installed its packages"
[ "$(calls)" = "$before" ] || fail "a run with everything installed asked apt"

echo "== a package that is not 32-bit cannot be installed"
rm -f "$STANDIN_STATE/installed"
out=$(run "$scratch/tree2" "${bad_day[@]}" STANDIN_UNKNOWN=socat); echo "$out"
grep -q "^result: 0" <<<"$out" && fail "the run went on without socat"
grep -q "^E: Unable to locate package socat" <<<"$out" || fail "apt's own message was not shown"
grep -q "RX_ARCH=i686" <<<"$out" && fail "a failure that is not 32-bit was taken for one"
rm -f "$STANDIN_STATE/installed"
out=$(run "$scratch/tree2" STANDIN_FLAKY=socat); echo "$out"
grep -q "^result: 0 i686$" <<<"$out" || fail "a download that failed once, or the failure before it, made a 64-bit tree"
installed wine32:i386 || fail "32-bit Wine was not installed once the download worked"

[ $failed -eq 0 ] && echo "install self-test passed"
exit $failed
