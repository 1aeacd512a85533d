#!/usr/bin/env bash
# Writes the .def files of the handheld's own DLLs that the deliverables
# import from, their import libraries, and the A32 call stubs:
#   importlibs.sh <allowlist> <device exports> <KTAPI.def> <dlltool> <compiler> <out-dir>
#
# coredll.def and aygshell.def hold exactly the allowlist's symbols whose
# note names that DLL (the window manager and GDI are exported by coredll on
# Windows CE), each as the device exports it (handheld/ce5-exports.txt): by
# name, or by ordinal for a function the DLL exports by ordinal only. A name
# the device does not export at all stops the build, since the device's
# loader would refuse the whole image for it. KTAPI.def is the maker's
# library as the stand-in exports it. Symbols noted as desktop-only or as a
# compiler's helper go nowhere, so the handheld images cannot reach them.
#
# importstubs.o: for every function of the three .def files, a stub that
# A32 code calls with BL and that enters the DLL's code, ARM or Thumb, with
# BX through the import address slot (on ARMv4T only BX changes state).
# The slot, __imp_NAME, is left weak and undefined for ld.lld; lld-link
# fills it from the import libraries (handheld/elf2coff.py carries the
# reference over). The stubs are hidden, so that they stay out of the
# object lld-link sees, where the import libraries define the same names.
set -eu
allowlist=$1 exports=$2 ktapi=$3 dlltool=$4 compiler=$5 out=$6
mkdir -p "$out"

for dll in coredll aygshell; do
    {
        echo "LIBRARY $dll.dll"
        echo "EXPORTS"
        # "Symbol   # note": the note names the DLL that has the symbol.
        sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*#\(.*\)$/\1 \2/p' "$allowlist" |
            awk -v dll="$dll" '
                $0 ~ /desktop build only/ { next }
                { note = substr($0, length($1) + 2) }
                dll == "aygshell" && note ~ /aygshell/ { print $1; next }
                dll == "coredll" && note ~ /coredll/ && note !~ /aygshell/ { print $1 }' |
            while read -r name; do
                # "dll NAME", "dll NAME @N" or "dll NAME @N NONAME"
                line=$(awk -v dll="$dll.dll" -v name="$name" '$1 == dll && $2 == name' "$exports")
                case "$line" in
                "") echo "importlibs: $dll.dll on the device does not export $name" >&2; exit 1 ;;
                *NONAME) echo "    $name ${line##* "$name" }" ;;
                *) echo "    $name" ;;
                esac
            done
    } >"$out/$dll.def.new"
    mv "$out/$dll.def.new" "$out/$dll.def"
done
cp "$ktapi" "$out/KTAPI.def"

for dll in coredll aygshell KTAPI; do
    [ "$(grep -c '^    ' "$out/$dll.def")" -gt 0 ] || { echo "importlibs: $dll.def is empty" >&2; exit 1; }
    "$dlltool" -m arm -d "$out/$dll.def" -D "$dll.dll" -l "$out/lib$dll.a"
done

sed -n 's/^    \([A-Za-z_][A-Za-z0-9_]*\).*$/\1/p' "$out/coredll.def" "$out/aygshell.def" "$out/KTAPI.def" |
    while read -r name; do
        cat <<EOF
    .section .text.import.$name,"ax",%progbits
    .globl $name
    .hidden $name
    .type $name,%function
    .p2align 2
$name:
    ldr ip, 1f
    ldr ip, [ip]
    bx ip
1:  .word __imp_$name
    .weak __imp_$name
EOF
    done >"$out/importstubs.s"
"$compiler" --target=armv4t-none-eabi -marm -c "$out/importstubs.s" -o "$out/importstubs.o"
