#!/usr/bin/env bash
# Keeps desktop-only calls out of the deliverables: every external symbol that
# their own object files reference must exist on Windows CE 5, that is, be on
# the allowlist scripts/ce-api-allowlist.txt (one symbol a line, each with a
# note saying where Windows CE 5 has it).
#
#   check-symbols.sh <build-dir>
#       the object files of every target built from receiver/, setup/ and
#       bootdrv/ (receiver, setupops, rxconf, bootapply, rxboot, ...), and in
#       the handheld configuration from handheld/ (the program's entry)
#   check-symbols.sh [--allowlist FILE] --objects FILE...
#       only the given object files
#
# A reference that one of the checked objects defines itself is the
# deliverables' own code and needs no entry; the import prefix __imp_ is
# ignored. Each offender is printed with the object it came from.
#
# The desktop build may stand in for a handheld call with a desktop one, in
# the desktop branch of receiver/platform.h only. Such a symbol's note starts
# "desktop build only (receiver/platform.h)", and it passes only while no
# other source file of receiver/, setup/ or bootdrv/ names it.
# The object files' own nm reads them: in build-dir mode the one the build's
# CMake cache names (CMAKE_NM), else $NM. On i686 C names carry a leading
# underscore and stdcall ones an @N suffix (_CreateFileW@28): both are cut
# before a name is looked up (the build's CMAKE_SYSTEM_PROCESSOR says i686,
# or RX_SYMBOL_DECORATION=i686 for --objects).
# Exit code: 0 all allowed, 1 offenders, 2 usage, missing objects or a bad
# allowlist.
set -u

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
allowlist=$root/scripts/ce-api-allowlist.txt
NM=${NM:-x86_64-w64-mingw32-nm}
decoration=${RX_SYMBOL_DECORATION:-}
me=check-symbols

usage() {
    echo "usage: $me <build-dir> | $me [--allowlist FILE] --objects FILE..." >&2
    exit 2
}

objects=()
if [ "${1:-}" = --allowlist ]; then
    [ $# -ge 2 ] || usage
    allowlist=$2
    shift 2
fi
case "${1:-}" in
"") usage ;;
--objects)
    shift
    [ $# -ge 1 ] || usage
    objects=("$@")
    ;;
*)
    [ $# -eq 1 ] || usage
    build=$1
    [ -d "$build" ] || { echo "$me: no build folder $build" >&2; exit 2; }
    if [ -f "$build/CMakeCache.txt" ]; then
        cached=$(sed -n 's/^CMAKE_NM:[A-Z]*=//p' "$build/CMakeCache.txt")
        [ -n "$cached" ] && NM=$cached
    fi
    processor=$(sed -n 's/^set(CMAKE_SYSTEM_PROCESSOR "\(.*\)")$/\1/p' \
        "$build"/CMakeFiles/*/CMakeSystem.cmake 2>/dev/null | head -1)
    [ "$processor" = i686 ] && decoration=i686
    # Every target of the three deliverable folders has its objects under
    # <build>/<folder>/CMakeFiles/<target>.dir/ (sources in subfolders too).
    for folder in receiver setup bootdrv handheld; do
        found=()
        if [ -d "$build/$folder/CMakeFiles" ]; then
            while IFS= read -r -d '' f; do found+=("$f"); done < <(
                find "$build/$folder/CMakeFiles" -path '*.dir/*' -type f \
                    \( -name '*.obj' -o -name '*.o' -o -name '*.res' \) -print0 | sort -z)
        fi
        if [ ${#found[@]} -eq 0 ]; then
            # receiver/ is in every build; the others may not exist yet.
            if [ "$folder" = receiver ]; then
                echo "$me: no object files under $build/$folder: build first" >&2
                exit 2
            fi
            [ "$folder" = handheld ] || echo "$me: nothing built from $folder/ (skipped)"
            continue
        fi
        objects+=("${found[@]}")
    done
    ;;
esac

for f in "${objects[@]}"; do
    [ -f "$f" ] || { echo "$me: no object file $f" >&2; exit 2; }
done

# The allowlist: "Symbol   # note"; blank lines and lines starting with #
# are comments. A symbol without its note is refused.
declare -A allowed=()
declare -A desktopOnly=()   # symbol -> the one source file that may name it
n=0
while IFS= read -r line || [ -n "$line" ]; do
    n=$((n + 1))
    [[ "$line" =~ ^[[:space:]]*(#.*)?$ ]] && continue
    if [[ "$line" =~ ^[[:space:]]*([A-Za-z_][A-Za-z0-9_@?$.]*)[[:space:]]+#[[:space:]]*([^[:space:]].*)$ ]]; then
        symbol=${BASH_REMATCH[1]}
        note=${BASH_REMATCH[2]}
        allowed[$symbol]=1
        if [[ "$note" =~ ^desktop\ build\ only\ \(([^\)]+)\) ]]; then
            desktopOnly[$symbol]=${BASH_REMATCH[1]}
        fi
    else
        echo "$me: $allowlist:$n: not \"Symbol  # note\": $line" >&2
        exit 2
    fi
done <"$allowlist" || { echo "$me: cannot read $allowlist" >&2; exit 2; }

# A symbol as the allowlist names it.
PlainName() {
    local name=${1#__imp_}
    if [ "$decoration" = i686 ]; then
        name=${name#_}
        [[ "$name" =~ ^(.+)@[0-9]+$ ]] && name=${BASH_REMATCH[1]}
    fi
    printf '%s' "$name"
}

# What the checked objects define themselves.
declare -A defined=()
defs=$("$NM" -g --defined-only "${objects[@]}" 2>&1) || {
    echo "$me: $NM failed:" >&2
    echo "$defs" >&2
    exit 2
}
while read -r _ _ name; do
    [ -n "${name:-}" ] && defined[$(PlainName "$name")]=1
done <<<"$defs"

# Why desktop-only symbol $1 may not pass: a source file of the deliverables
# other than $2 names it, or $2 does not. Nothing when all is well.
DesktopOnlyProblem() {
    local files
    files=$(cd "$root" && grep -rlw --include='*.h' --include='*.cpp' --include='*.c' --include='*.rc' \
        -- "$1" receiver setup bootdrv 2>/dev/null | sort)
    if ! grep -qxF -- "$2" <<<"$files"; then
        echo "$2 does not name it"
        return
    fi
    files=$(grep -vxF -- "$2" <<<"$files" | tr '\n' ' ' | sed 's/ $//')
    [ -z "$files" ] || echo "named outside $2: $files"
}

offenders=0
declare -A seen=()
for f in "${objects[@]}"; do
    undefined=$("$NM" -u "$f" 2>&1) || { echo "$me: $NM -u $f failed: $undefined" >&2; exit 2; }
    while read -r kind name; do
        [ "$kind" = U ] || continue
        name=$(PlainName "$name")
        [ -n "${defined[$name]:-}" ] && continue
        seen[$name]=1
        shown=$f
        [ -n "${build:-}" ] && shown=${f#"$build"/}
        if [ -z "${allowed[$name]:-}" ]; then
            readable=""
            [[ "$name" == _Z* ]] && readable=" [$(c++filt "$name" 2>/dev/null)]"
            echo "$me: $name$readable (from $shown) is not on the Windows CE 5 allowlist"
            offenders=$((offenders + 1))
        elif [ -n "${desktopOnly[$name]:-}" ]; then
            problem=$(DesktopOnlyProblem "$name" "${desktopOnly[$name]}")
            if [ -n "$problem" ]; then
                echo "$me: $name (from $shown) is for the desktop build only, but $problem"
                offenders=$((offenders + 1))
            fi
        fi
    done <<<"$undefined"
done

if [ $offenders -gt 0 ]; then
    echo "$me: $offenders reference(s) to APIs Windows CE 5 may not have; if one does exist there," \
         "add it to $allowlist with a note saying where"
    exit 1
fi
echo "$me: ${#objects[@]} object file(s), ${#seen[@]} platform symbol(s), all on the Windows CE 5 allowlist"
exit 0
