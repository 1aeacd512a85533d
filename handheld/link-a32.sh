#!/usr/bin/env bash
# Links a handheld image from A32 objects: the link rule of the handheld
# configuration (cmake/wince-arm-rules.cmake).
#
#   link-a32.sh --tools DIR --importlibs DIR --work DIR [/dll] [/def:FILE]
#               /entry:SYMBOL [/include:SYMBOL...] [other lld-link options] OBJECTS... ARCHIVES...
#               [RESOURCES.res] [IMPORTS.lib...] -o IMAGE [--implib FILE]
#
# OBJECTS and ARCHIVES are the compiler's (ELF); a .lib is a further COFF
# import library for lld-link.
#
# 1. handheld/elf2coff.py --inputs refuses a compiler object unfit for the
#    device (architecture, wchar_t, enums, VFP/NEON, Thumb code);
# 2. ld.lld links the A32 code with the import stubs (handheld/a32.ld),
#    keeping only what the entry point and the exports reach, and keeps its
#    relocations;
# 3. handheld/elf2coff.py carries the result over as one COFF object;
# 4. lld-link lays the image out: imports from the import libraries of
#    coredll, aygshell and KTAPI, the export table that handheld/edata.py
#    writes from the .def file, resources, base relocations;
# 5. handheld/pe-mend.py makes it the Windows CE image it is: machine 0x1C2,
#    ARM-state entry, exports and code pointers, subsystem 9.
# The linked ELF file stays in the work folder as WORK/IMAGE-NAME.elf: the
# image check disassembles the code from it, where its mapping symbols tell
# instructions from literal pools.
set -eu
set -o pipefail

tools="" importlibs="" work="" out="" implib="" entry="" def="" dll=""
elf=() res=() lldlink=() coff=() keep=()
while [ $# -gt 0 ]; do
    case "$1" in
    --tools) tools=$2; shift ;;
    --importlibs) importlibs=$2; shift ;;
    --work) work=$2; shift ;;
    -o) out=$2; shift ;;
    --implib) implib=$2; shift ;;
    /entry:*) entry=${1#/entry:} ;;
    /def:*) def=${1#/def:} ;;
    /dll) dll=1 ;;
    /include:*) keep+=(-u "${1#/include:}") ;;
    *.res) res+=("$1") ;;
    *.lib) coff+=("$1") ;;
    *.o | *.obj | *.a) elf+=("$1") ;;
    /*) lldlink+=("$1") ;;
    *) echo "link-a32: what is $1?" >&2; exit 2 ;;
    esac
    shift
done
[ -n "$tools" ] && [ -n "$importlibs" ] && [ -n "$work" ] && [ -n "$out" ] && [ -n "$entry" ] ||
    { echo "link-a32: --tools, --importlibs, --work, /entry: and -o are required" >&2; exit 2; }
mkdir -p "$work"
name=$(basename "$out")

/usr/bin/python3 "$tools/elf2coff.py" --inputs "${elf[@]}"

# The entry point and the exports are what the image must keep.
keep+=(-e "$entry")
if [ -n "$def" ]; then
    while read -r symbol; do keep+=(-u "$symbol"); done < <(
        sed -n '/^EXPORTS/,$ { /^EXPORTS/d; s/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\).*$/\1/p }' "$def")
fi
# ld.lld 14 warns that it "uses blx" whenever no input is ARMv5 or later; it
# emits one only to change state, and no input holds Thumb code (checked
# above and again in the image).
ld.lld -T "$tools/a32.ld" --emit-relocs --gc-sections "${keep[@]}" \
    "${elf[@]}" "$importlibs/importstubs.o" -o "$work/$name.elf" 2>&1 |
    { grep -v 'lld uses blx instruction, no object with architecture supporting feature detected' >&2 || true; }

/usr/bin/python3 "$tools/elf2coff.py" "$work/$name.elf" "$work/$name.coff.obj"

# /Brepro: the same sources make the same image, byte for byte.
options=(/nologo /machine:arm /nodefaultlib /subsystem:windows,5.02 /dynamicbase /nxcompat:no
         /largeaddressaware:no /Brepro /entry:"$entry" /out:"$out")
extra=()
if [ -n "$dll" ]; then
    # The export table is ours (handheld/edata.py), word-aligned; the .def
    # file still makes the import library.
    /usr/bin/python3 "$tools/edata.py" "$def" "$work/$name.edata.obj"
    extra+=("$work/$name.edata.obj")
    options+=(/dll /implib:"$work/$name.unused.lib")   # its own, empty: not the one we ship
    llvm-dlltool -m arm -d "$def" -l "${implib:-$work/$name.lib}"
else
    # Where the device SDK's linker puts a program: low in the process's
    # slot; and Windows CE's default stack of 64 KB a thread rather than the
    # desktop's 1 MB (each thread's stack comes out of the process's slot).
    options+=(/base:0x10000 /stack:0x10000,0x1000)
fi
lld-link "${options[@]}" "${lldlink[@]}" "$work/$name.coff.obj" "${extra[@]}" "${res[@]}" "${coff[@]}" \
    "$importlibs/libcoredll.a" "$importlibs/libaygshell.a" "$importlibs/libKTAPI.a"

/usr/bin/python3 "$tools/pe-mend.py" "$out" || { rm -f "$out"; exit 1; }
