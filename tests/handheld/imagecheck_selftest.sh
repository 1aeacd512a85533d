#!/usr/bin/env bash
# Shows that scripts/check-image.py can fail: relinks the handheld images
# from the handheld build's own objects with one fault planted each time,
#   imagecheck_selftest.sh <check-image.py> <handheld-build-dir>
# and wants each fault refused for its reason, while the plain relink passes.
set -u
check=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
for f in "$build/bin/rxboot.dll" "$build/bin/rxconf.exe" "$build/handheld/libcoredll.a"; do
    [ -f "$f" ] || { echo "imagecheck_selftest: no $f: build the handheld images first" >&2; exit 2; }
done

driverObjects=("$build/bootdrv/CMakeFiles/rxboot.dir/driver.cpp.obj" "$build/bootdrv/libbootapply.a"
               "$build/receiver/libreceiver.a" "$build/handheld/libKTAPI.a")
programObjects=("$build/handheld/CMakeFiles/handheld_entry.dir/startup.cpp.obj"
                "$build/setup/CMakeFiles/rxconf.dir/rxconf.cpp.obj"
                "$build/setup/CMakeFiles/rxconf.dir/nmeadialog.cpp.obj"
                "$build/setup/libsetupops.a" "$build/receiver/libreceiver.a"
                "$build/handheld/libKTAPI.a" "$build/handheld/libaygshell.a")
root=$(cd "$here/../.." && pwd)

# LinkDriver <out> <def> <coredll import library> [more inputs...]
LinkDriver() {
    local out=$1 def=$2 coredll=$3; shift 3
    lld-link /nologo /dll /machine:arm /nodefaultlib /subsystem:windows,5.02 /opt:ref /entry:DllMain \
        /def:"$def" "${driverObjects[@]}" "$coredll" "$@" /out:"$out" /implib:"$work/implib.a" \
        >"$work/link.log" 2>&1 || { cat "$work/link.log"; return 1; }
}

# A planted import of function $2 from DLL $1: the object and its import library.
Plant() {
    local dll=$1 name=$2
    printf 'LIBRARY %s\nEXPORTS\n    %s\n' "$dll" "$name" >"$work/$dll.def"
    llvm-dlltool -m arm -d "$work/$dll.def" -D "$dll" -l "$work/lib-$dll.a"
    clang --target=armv7-w64-windows-gnu -fno-builtin -DPLANTED="$name" \
        -c "$here/planted.c" -o "$work/planted-$dll.obj"
    echo "$work/planted-$dll.obj $work/lib-$dll.a /include:rx_planted"
}

# Expect <what> <wanted exit code> <wanted text>... -- check-image arguments
Expect() {
    local what=$1 rc=$2 texts=() out got text; shift 2
    while [ "$1" != -- ]; do texts+=("$1"); shift; done
    shift
    out=$(/usr/bin/python3 "$check" "$@" 2>&1); got=$?
    echo "$out" | sed 's/^/    /'
    [ "$got" = "$rc" ] || fail "$what: exit code $got, wanted $rc"
    for text in "${texts[@]}"; do
        grep -qF -- "$text" <<<"$out" || fail "$what: no \"$text\""
    done
}

def=$root/bootdrv/rxboot.def
coredll=$build/handheld/libcoredll.a
subsystem() { /usr/bin/python3 "$root/handheld/pe-subsystem.py" "$1"; }

echo "== the plain relink passes"
LinkDriver "$work/plain.dll" "$def" "$coredll" && subsystem "$work/plain.dll"
Expect "plain relink" 0 "all checks hold" -- --driver "$work/plain.dll"

for planted in "msvcrt.dll wcslen imports from msvcrt.dll" \
               "KERNEL32.dll GetTickCount64 imports from KERNEL32.dll" \
               "coredll.dll RegOpenKeyW imports RegOpenKeyW from coredll.dll, which is not on the allowlist" \
               "coredll.dll GetLastActivePopup imports GetLastActivePopup from coredll.dll, but the allowlist has it in no DLL"; do
    read -r dll name text <<<"$planted"
    echo "== planted: $name from $dll"
    # shellcheck disable=SC2046
    LinkDriver "$work/$name.dll" "$def" "$coredll" $(Plant "$dll" "$name") && subsystem "$work/$name.dll"
    Expect "$name from $dll" 1 "$text" -- --driver "$work/$name.dll"
done

echo "== planted: coredll's Sleep imported by ordinal"
sed 's/^    Sleep$/    Sleep @499 NONAME/' "$build/handheld/coredll.def" >"$work/coredll-ordinal.def"
llvm-dlltool -m arm -d "$work/coredll-ordinal.def" -D coredll.dll -l "$work/libcoredll-ordinal.a"
LinkDriver "$work/ordinal.dll" "$def" "$work/libcoredll-ordinal.a" && subsystem "$work/ordinal.dll"
Expect "ordinal import" 1 "imports ordinal 499 of coredll.dll" -- --driver "$work/ordinal.dll"

echo "== planted: a driver without RXB_Seek or relocations, left at subsystem 2"
grep -v RXB_Seek "$def" >"$work/seven.def"
LinkDriver "$work/seven.dll" "$work/seven.def" "$coredll"
# ARM images cannot be linked /fixed: blank the relocation directory instead.
/usr/bin/python3 -c 'import pefile, sys
pe = pefile.PE(sys.argv[1])
d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
d.VirtualAddress = d.Size = 0
pe.write(sys.argv[1] + ".new")' "$work/seven.dll" && mv "$work/seven.dll.new" "$work/seven.dll"
Expect "seven exports" 1 "missing ['RXB_Seek']" "subsystem 2, wanted 9" "carries no base relocations" \
    -- --driver "$work/seven.dll"

echo "== planted: a program without its resources"
lld-link /nologo /machine:arm /nodefaultlib /subsystem:windows,5.02 /opt:ref /entry:WinMainCRTStartup \
    "${programObjects[@]}" "$coredll" /out:"$work/bare.exe" >"$work/link.log" 2>&1 || cat "$work/link.log"
subsystem "$work/bare.exe"
Expect "no resources" 1 "string table lacks strings [1, 2, 3, 103, 321, 322]" \
    "carries no CEUX/HI_RES_AWARE resource" "carries no version information 1 resource" -- --program "$work/bare.exe"

[ $failed -eq 0 ] && echo "image check self-test passed"
exit $failed
