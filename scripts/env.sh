# Shared shell functions for the build, the Wine prefix and the null-modem
# cable. Sourced by the entry scripts (demo.sh, test.sh) and by winerun.
#
# Everything lives in the build tree: $RX_BUILD (default ./build) holds the
# CMake tree, the Wine prefix ($RX_BUILD/wine), the test cases' pool of
# prefixes ($RX_BUILD/wine-pool), the handheld images' own CMake tree
# ($RX_BUILD/handheld) and one folder per program run
# ($RX_BUILD/runs/run.XXXXXX) with its cable, its debug log and its journal.
#
# The desktop build is 32-bit (RX_ARCH=i686, the handheld's word size) on a
# machine that runs 32-bit x86 programs, and 64-bit (x86_64) on one whose
# kernel refuses them (32-bit Wine cannot start there), or where the 32-bit
# packages could not be installed (rx_install_packages; the build tree
# remembers that in $RX_BUILD/rx-arch). RX_ARCH chooses either, and insists.
# Give each its own RX_BUILD.

RX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RX_BUILD=${RX_BUILD:-$RX_ROOT/build}
RX_BUILD=$(mkdir -p "$RX_BUILD" && cd "$RX_BUILD" && pwd)
export RX_BUILD
RX_LOGS=$RX_BUILD/logs
mkdir -p "$RX_LOGS"

# True when this kernel runs 32-bit x86 programs: a 96-byte i386 ELF program
# that only exits with code 42.
rx_runs_32bit() {
    local probe rc
    probe=$(mktemp) || return 1
    printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0'\
'\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0\x05\0\0\0\0\x10\0\0'\
'\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null
    rc=$?
    rm -f "$probe"
    [ "$rc" = 42 ]
}
if [ -z "${RX_RUNS_32BIT:-}" ]; then
    RX_RUNS_32BIT=no
    rx_runs_32bit && RX_RUNS_32BIT=yes
    export RX_RUNS_32BIT
fi
export WINEPREFIX=$RX_BUILD/wine
export WINEARCH=win64
export WINEDEBUG=${RX_WINEDEBUG:--all}
# No Mono or Gecko install prompt on a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# True when package $1 is fully installed.
rx_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Debian's wine command starts the 32-bit loader whenever its file is there
# (wine32:i386), and that loader hands 64-bit programs on to wine64. Where
# it cannot serve, the wine of $RX_BUILD/wine-bin (first on PATH, for Wine's
# own tools too) starts the 64-bit loader directly: on a kernel that runs no
# 32-bit programs, and for the 64-bit build when wine32:i386 is there only
# in part (an install that failed half-way).
rx_wine_bin() {
    [ -x /usr/lib/wine/wine ] && [ -x /usr/lib/wine/wine64 ] || return 0
    if [ "$RX_RUNS_32BIT" = yes ]; then
        [ "$RX_ARCH" = x86_64 ] && ! rx_installed wine32:i386 || return 0
    fi
    if [ ! -x "$RX_BUILD/wine-bin/wine-stable" ]; then
        mkdir -p "$RX_BUILD/wine-bin"
        printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexport WINEDEBUG="${WINEDEBUG:-fixme-all}"\nexec /usr/lib/wine/wine64 "$@"\n' \
            >"$RX_BUILD/wine-bin/wine-stable.new"
        chmod +x "$RX_BUILD/wine-bin/wine-stable.new"
        ln -sfn wine-stable "$RX_BUILD/wine-bin/wine"
        mv "$RX_BUILD/wine-bin/wine-stable.new" "$RX_BUILD/wine-bin/wine-stable"
    fi
    case ":$PATH:" in
        *":$RX_BUILD/wine-bin:"*) ;;
        *) export PATH="$RX_BUILD/wine-bin:$PATH" ;;
    esac
}

# The handheld images: clang, ld.lld and lld-link, llvm-dlltool, llvm-rc;
# pefile and binutils' ARM disassembler for their check; unicorn runs them.
# fonts-wine draws the caption's frame glyphs (rx_prefix_fonts). The CAB
# for Windows Mobile: gcab makes it (scripts/cab.sh), cabextract reads it
# back. Then each build's own: 32-bit Wine (wine32:i386) runs the i686 build.
RX_PACKAGES_ALL="cmake ninja-build mingw-w64-tools wine wine64 socat xvfb imagemagick fonts-wine
    googletest clang lld llvm libclang-rt-14-dev python3-pefile binutils-arm-none-eabi python3-unicorn
    gcab cabextract"
RX_PACKAGES_i686="wine32:i386 g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev"
RX_PACKAGES_x86_64="g++-mingw-w64-x86-64"

# The desktop build $1 (i686 or x86_64): its packages, and the wine command
# it runs under. The toolchain file (rx_build) and the prefix's check
# (rx_prefix_starts) follow RX_ARCH when they run.
rx_use_arch() {
    local own=RX_PACKAGES_$1
    RX_ARCH=$1
    export RX_ARCH
    RX_PACKAGES="$RX_PACKAGES_ALL ${!own}"
    rx_wine_bin
}

# RX_ARCH as the user gave it (empty: the scripts choose).
RX_ARCH_ASKED=${RX_ARCH:-}
RX_ARCH_FILE=$RX_BUILD/rx-arch
if [ -z "$RX_ARCH_ASKED" ]; then
    RX_ARCH=i686
    if [ "$RX_RUNS_32BIT" = no ]; then
        RX_ARCH=x86_64
        RX_ARCH_NOTE=": this kernel runs no 32-bit x86 programs"
    elif [ -f "$RX_ARCH_FILE" ]; then
        RX_ARCH=$(sed -n 1p "$RX_ARCH_FILE")
        RX_ARCH_NOTE=": $(sed -n 2p "$RX_ARCH_FILE")"
    fi
fi
case "$RX_ARCH" in
    i686|x86_64) ;;
    *) echo "RX_ARCH must be i686 or x86_64, not $RX_ARCH" >&2; exit 2 ;;
esac
rx_use_arch "$RX_ARCH"

# Those of packages $@ that are not installed, each after a space.
rx_missing() {
    local p
    for p; do rx_installed "$p" || printf ' %s' "$p"; done
}

# apt-get install of packages $@; its output in $RX_LOGS/apt-install.log.
rx_apt_install() {
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >"$RX_LOGS/apt-install.log" 2>&1
}

# Installs the Debian packages the project needs; does nothing when all are
# in. An index that apt-get update could not fetch (a mirror in the middle
# of a sync, say) is shown, and the install is tried with what apt has.
# When the i686 build was not asked for (RX_ARCH) and its packages cannot
# be installed, the x86_64 build is: one line says so, and the build tree
# keeps that choice until RX_ARCH=i686 installs the 32-bit packages. Any
# other failure stops with apt's own message.
rx_install_packages() {
    local missing sudo="" reason
    missing=$(rx_missing $RX_PACKAGES)
    if [ -n "$missing" ]; then
        echo "== installing:$missing"
        [ "$(id -u)" = 0 ] || sudo=sudo
        if [[ "$missing" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
            $sudo dpkg --add-architecture i386
        fi
        if ! $sudo apt-get update -qq >"$RX_LOGS/apt-update.log" 2>&1; then
            echo "== apt-get update failed, in part or in whole; installing from the package lists apt has:"
            sed 's/^/   /' "$RX_LOGS/apt-update.log"
        fi
        if ! rx_apt_install $missing; then
            if [ "$RX_ARCH" != i686 ] || [ -n "$RX_ARCH_ASKED" ]; then
                tail -30 "$RX_LOGS/apt-install.log"
                return 1
            fi
            # Everything else first (a failure there stops), then the
            # 32-bit build's own packages alone: only their failure means
            # the 64-bit build.
            rx_use_arch x86_64
            missing=$(rx_missing $RX_PACKAGES)
            if [ -n "$missing" ] && ! rx_apt_install $missing; then
                tail -30 "$RX_LOGS/apt-install.log"
                return 1
            fi
            rx_use_arch i686
            missing=$(rx_missing $RX_PACKAGES)
            [ -z "$missing" ] || rx_apt_install $missing && { rm -f "$RX_ARCH_FILE"; return 0; }
            reason=$(sed -n 's/^E: /apt: /p' "$RX_LOGS/apt-install.log" | tail -1)
            mv "$RX_LOGS/apt-install.log" "$RX_LOGS/apt-install-i686.log"
            rx_use_arch x86_64
            RX_ARCH_NOTE=": the 32-bit packages could not be installed on $(date +%F); RX_ARCH=i686 tries again"
            printf 'x86_64\n%s\n' "${RX_ARCH_NOTE#: }" >"$RX_ARCH_FILE"
            echo "== the 32-bit packages cannot be installed (${reason:-see $RX_LOGS/apt-install-i686.log}): going on with the 64-bit desktop build (x86_64), kept for $RX_BUILD; RX_ARCH=i686 insists on the 32-bit one"
        fi
    fi
    # The 32-bit build's packages are in: a tree that fell back is 32-bit again.
    [ "$RX_ARCH" = i686 ] && rm -f "$RX_ARCH_FILE"
    return 0
}

# Configures CMake tree $1 with toolchain file $2 once (again when the tree
# was made with another toolchain), then builds it; the log is $3.
rx_cmake_tree() {
    local tree=$1 toolchain=$2 log=$3
    if [ -f "$tree/CMakeCache.txt" ] && ! grep -qxF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$tree/CMakeCache.txt"; then
        echo "== $tree was configured for another toolchain: configuring it anew"
        rm -rf "$tree/CMakeCache.txt" "$tree/CMakeFiles" "$tree/build.ninja"
    fi
    if [ ! -f "$tree/build.ninja" ]; then
        cmake -S "$RX_ROOT" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" >"$log" 2>&1 || { cat "$log"; return 1; }
    fi
    cmake --build "$tree" -- -k 0 2>&1 | grep -v '^\[' ; return "${PIPESTATUS[0]}"
}

# The desktop build (programs, stand-ins, tests, bench) and the handheld
# images, which the desktop build's tests check.
rx_build() {
    local started
    started=$(date +%s)
    rx_cmake_tree "$RX_BUILD" "$RX_ROOT/cmake/mingw-w64-$RX_ARCH.cmake" "$RX_LOGS/cmake.log" || return 1
    echo "== desktop build ($RX_ARCH${RX_ARCH_NOTE:-}) took $(( $(date +%s) - started )) s"
    started=$(date +%s)
    rx_cmake_tree "$RX_BUILD/handheld" "$RX_ROOT/cmake/wince-arm.cmake" "$RX_LOGS/cmake-handheld.log" || return 1
    echo "== handheld images (ARMv4T, Windows CE) took $(( $(date +%s) - started )) s"
}

# What every entry script does first: install what is missing, build, make
# sure the prefix exists, and clear cables that earlier runs left behind.
rx_prepare() {
    rx_install_packages || return 1
    rx_build || { echo "build failed"; return 1; }
    rx_prefix_ready || return 1
    rx_pool_stop
    rx_cable_sweep
}

# The Wine server must never hold a pipe of ours: start it persistent with its
# output in a file, and let the first program start Wine's background
# services with their output going nowhere.
rx_server_start() {
    wineserver -p"${1:-}" >>"$RX_LOGS/wineserver.log" 2>&1 || return 0   # 2: already running
    wine cmd /c exit </dev/null >/dev/null 2>&1
}

rx_server_stop() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
}

# What the prefix was made with: the Wine packages installed. A prefix made
# before 32-bit Wine came in starts no program afterwards, whatever its
# ready marker says.
rx_wine_fingerprint() {
    dpkg-query -W -f='${Package}:${Architecture} ${Version} ${Status}\n' 'wine*' 'libwine*' 2>/dev/null |
        grep ' installed$' | sort
}

# Creates the prefix: null display driver (dialogs run headless), no crash
# dialog (a crash must end the test, not wait for a click). Makes it again
# when it was made by another set of Wine packages, or when $1 is "again".
rx_prefix_init() {
    local fingerprint
    fingerprint=$(rx_wine_fingerprint)
    if [ "${1:-}" != again ] && [ -f "$WINEPREFIX/.rx-ready" ]; then
        [ "$(cat "$WINEPREFIX/.rx-ready")" = "$fingerprint" ] && return 0
        echo "== Wine changed since $WINEPREFIX was made: making it again"
    fi
    echo "== creating Wine prefix $WINEPREFIX"
    rx_server_stop
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >"$RX_LOGS/wineboot.log" 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >>"$RX_LOGS/wineboot.log" 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >>"$RX_LOGS/wineboot.log" 2>&1
    rx_server_stop
    rx_prefix_fonts
    printf '%s\n' "$fingerprint" >"$WINEPREFIX/.rx-ready"
}

# True when the prefix starts a program of the build's word size (Wine's own
# cmd.exe: syswow64 holds the 32-bit one).
rx_prefix_starts() {
    local cmd='C:\windows\system32\cmd.exe'
    [ "$RX_ARCH" = i686 ] && cmd='C:\windows\syswow64\cmd.exe'
    wine "$cmd" /c exit </dev/null >>"$RX_LOGS/prefix-check.log" 2>&1
}

# The prefix exists, was made by this Wine, and starts programs; otherwise
# it is made again (once).
rx_prefix_ready() {
    rx_prefix_init || return 1
    rx_server_start
    rx_prefix_starts && return 0
    echo "== Wine prefix $WINEPREFIX starts no program: making it again"
    rx_prefix_init again || return 1
    rx_server_start
    rx_prefix_starts || { echo "the new Wine prefix starts no program either; see $RX_LOGS/prefix-check.log"; return 1; }
}

# ---- a prefix for each test case ----
# CTest hands every test case that runs a Windows program a slot of the pool
# (RESOURCE_GROUPS "prefixes:1", the slots listed in <build>/wine-pool.json),
# so that no two cases at once share a slot. winerun makes the slot's prefix
# afresh from the pool's template before the case and stops its Wine server
# after it: cases side by side share no registry, no COM links and no
# wineserver, and none starts from what another left (keys, links, programs
# still running).
#   $RX_POOL/template  made and checked like the default prefix; nothing runs
#                      in it
#   $RX_POOL/slot.N    the template's drive_c as hard links (Wine's own files,
#                      which it only reads), its registry, dosdevices and
#                      ready marker as copies of their own
RX_POOL=$RX_BUILD/wine-pool

# Makes the template when it is missing, was made by other Wine packages, or
# ($1 = again) starts no program; its server is stopped afterwards, since a
# slot copies the registry files that the server writes on its way out.
rx_pool_template() {
    (
        export WINEPREFIX=$RX_POOL/template
        [ "${1:-}" != again ] || rx_prefix_init again || exit 1
        rx_prefix_ready; rc=$?
        rx_server_stop
        exit $rc
    )
}

rx_pool_current() {
    [ "$(cat "$RX_POOL/template/.rx-ready" 2>/dev/null)" = "$(rx_wine_fingerprint)" ]
}

# Before a run: the template exists and works (one maker at a time; resets
# copy under a shared lock).
rx_pool_ready() {
    mkdir -p "$RX_POOL"
    ( flock -x 8 && rx_pool_template ) 8>>"$RX_POOL/template.lock"
}

# The slot that CTest gave this case (its resource group "prefixes"), or
# false when it gave none.
rx_pool_slot() {
    local i=0 name spec
    while [ "$i" -lt "${CTEST_RESOURCE_GROUP_COUNT:-0}" ]; do
        name=CTEST_RESOURCE_GROUP_$i
        if [ "${!name:-}" = prefixes ]; then
            spec=CTEST_RESOURCE_GROUP_${i}_PREFIXES
            spec=${!spec:-}
            spec=${spec#id:}
            printf '%s\n' "${spec%%,*}"
            return 0
        fi
        i=$((i + 1))
    done
    return 1
}

# WINEPREFIX (a slot) made afresh from the template. The slot's folder and
# its "wineserver" file stay: a Wine server is found through them, and the
# server of a case that was killed must be found to be stopped.
rx_pool_reset() {
    local template=$RX_POOL/template f
    rx_server_stop
    find "$WINEPREFIX" -mindepth 1 -maxdepth 1 ! -name wineserver -exec rm -rf {} + || return 1
    cp -a --link "$template/drive_c" "$WINEPREFIX/" || return 1
    for f in "$template"/* "$template"/.[!.]*; do
        case ${f##*/} in drive_c|wineserver) ;; *) cp -a "$f" "$WINEPREFIX/" || return 1 ;; esac
    done
}

# Makes slot $1 this case's prefix: afresh from a template of this Wine,
# with its own server started and a program started in it (the same check as
# the default prefix's). Once, a slot that starts nothing has the template
# made again.
rx_pool_enter() {
    local try
    export WINEPREFIX=$RX_POOL/slot.$1
    mkdir -p "$WINEPREFIX"
    for try in 1 2; do
        (
            flock -s 8
            if ! rx_pool_current || [ "$try" = 2 ]; then
                flock -x 8
                if [ "$try" = 2 ]; then rx_pool_template again; else rx_pool_current || rx_pool_template; fi || exit 1
                flock -s 8
            fi
            rx_pool_reset
        ) 8>>"$RX_POOL/template.lock" || return 1
        # Its first program starts Wine's services: their output goes to a
        # file, never to the test's pipe.
        wineserver -p >>"$RX_LOGS/wineserver.log" 2>&1
        rx_prefix_starts && return 0
        echo "== $WINEPREFIX starts no program: making the pool's template again"
    done
    echo "the pool's prefix starts no program either; see $RX_LOGS/prefix-check.log"
    return 1
}

# Servers of slots whose case was killed before it could stop its own.
rx_pool_stop() {
    local slot
    for slot in "$RX_POOL"/slot.*/; do
        [ -d "$slot" ] && ( export WINEPREFIX=${slot%/}; rx_server_stop )
    done
}

# Windows view of a Unix path (Wine maps / to Z:).
rx_winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# A fresh null-modem cable in folder $1:
#   $1/slot/com3  near end, where "COM3:" points (the system's port)
#   $1/far/com4   far end, where "COM4:" points (the receiver simulator)
# Beside the cable, stand-in ports a test can swap into "COM3:" by renaming
# folders: slot.null/com3 opens but has no DCB, slot.dir/com3 is a folder.
rx_cable_start() {
    local run=$1 i
    mkdir -p "$run/slot" "$run/far" "$run/slot.null" "$run/slot.dir/com3"
    ln -sfn /dev/null "$run/slot.null/com3"
    ( exec socat pty,raw,echo=0,link="$run/slot/com3" pty,raw,echo=0,link="$run/far/com4" \
        </dev/null >/dev/null 2>"$run/socat.log" & echo $! >"$run/socat.pid" )
    for i in $(seq 1 300); do
        [ -e "$run/slot/com3" ] && [ -e "$run/far/com4" ] && break
        sleep 0.01
    done
    [ -e "$run/slot/com3" ] || { echo "null-modem cable did not start:" >&2; cat "$run/socat.log" >&2; return 1; }
    mkdir -p "$WINEPREFIX/dosdevices"
    ln -sfn "$run/slot/com3" "$WINEPREFIX/dosdevices/com3"
    ln -sfn "$run/far/com4" "$WINEPREFIX/dosdevices/com4"
}

# True while the process runs; a dead child that nobody has reaped yet
# (socat is started in a subshell, so init reaps it, late) counts as gone.
rx_alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

rx_cable_stop() {
    local run=$1 pid
    [ -f "$run/socat.pid" ] || return 0
    pid=$(cat "$run/socat.pid")
    kill "$pid" 2>/dev/null && { while rx_alive "$pid"; do sleep 0.01; done; }
    rm -f "$run/socat.pid"
}

# Cables of runs that ended without cleaning up (a killed test, say).
rx_cable_sweep() {
    local d
    for d in "$RX_BUILD"/runs/run.*; do
        [ -d "$d" ] || continue
        rx_cable_stop "$d"
        rm -rf "$d"
    done
}

# The simulated receiver (rxsim.exe) on "COM4:" of the cable in folder $1,
# for manual runs; further arguments go to rxsim.exe. Its lines are marked
# [receiver]. It runs until rx_sim_stop closes its input, then prints its
# final configuration. Its BBR lives in $RX_BUILD/demo/receiver-bbr.txt.
rx_sim_start() {
    local run=$1; shift
    mkdir -p "$RX_BUILD/demo"
    rm -f "$run/receiver.in" && mkfifo "$run/receiver.in"
    ( cd "$RX_BUILD/bin" && exec wine rxsim.exe --state "$(rx_winpath "$RX_BUILD/demo/receiver-bbr.txt")" "$@" \
        <"$run/receiver.in" 2>&1 | sed -u 's/^/[receiver] /' ) &
    RX_SIM_PID=$!
    exec 3>"$run/receiver.in"
    sleep 1
}

rx_sim_stop() {
    [ -n "${RX_SIM_PID:-}" ] || return 0
    exec 3>&-
    wait "$RX_SIM_PID" 2>/dev/null
    RX_SIM_PID=""
}

# The frame glyphs of window captions (the close box's cross and the like)
# come from the Marlett font of fonts-wine; this Wine does not find the
# package's fonts by itself and draws the letter "r" instead. Copy them into
# the prefix, once.
rx_prefix_fonts() {
    local font
    for font in /usr/share/wine/fonts/*.ttf; do
        [ -e "$font" ] || continue
        [ -e "$WINEPREFIX/drive_c/windows/Fonts/$(basename "$font")" ] || cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
    done
}

# Wine draws on X for a while (display $1, a Wine desktop of size $2, e.g.
# 480x640, the size of a handheld screen) instead of the null driver the
# tests use; rx_display_null puts the prefix back. Wine picks its driver
# when the server starts, so both restart it.
rx_display_x11() {
    rx_prefix_fonts
    rx_server_stop
    export DISPLAY=$1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f </dev/null >>"$RX_LOGS/display.log" 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >>"$RX_LOGS/display.log" 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$2" /f </dev/null >>"$RX_LOGS/display.log" 2>&1
    rx_server_stop
    rx_server_start
}

rx_display_null() {
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >>"$RX_LOGS/display.log" 2>&1
    wine reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f </dev/null >>"$RX_LOGS/display.log" 2>&1
    wine reg delete 'HKCU\Software\Wine\Explorer\Desktops' /v Default /f </dev/null >>"$RX_LOGS/display.log" 2>&1
    rx_server_stop
}
