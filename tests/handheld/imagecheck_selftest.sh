#!/usr/bin/env bash
# Shows that scripts/check-image.py can fail: relinks the handheld images
# from the handheld build's own objects (handheld/link-a32.sh) with one fault
# planted each time, or patches a copy of the code, and wants each fault
# refused for its reason, while the plain relink passes.
#   imagecheck_selftest.sh <check-image.py> <handheld-build-dir>
set -u
check=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
for f in "$build/bin/rxboot.dll" "$build/bin/rxconf.exe" "$build/handheld/importstubs.o"; do
    [ -f "$f" ] || { echo "imagecheck_selftest: no $f: build the handheld images first" >&2; exit 2; }
done

runtime=$build/handheld/CMakeFiles/handheld_runtime.dir/runtime.cpp.obj
driverObjects=("$runtime" "$build/bootdrv/CMakeFiles/rxboot.dir/driver.cpp.obj" "$build/bootdrv/libbootapply.a"
               "$build/receiver/libreceiver.a")
programObjects=("$runtime" "$build/handheld/CMakeFiles/handheld_entry.dir/startup.cpp.obj"
                "$build/setup/CMakeFiles/rxconf.dir/rxconf.cpp.obj"
                "$build/setup/CMakeFiles/rxconf.dir/nmeadialog.cpp.obj"
                "$build/setup/libsetupops.a" "$build/receiver/libreceiver.a"
                "$build/setup/CMakeFiles/rxconf.dir/rxconf.rc.res")

# Link <driver|program> <out> [more inputs...]: the image and its ELF file
# (<out>.elf), as the build links them.
Link() {
    local role=$1 out=$2 args; shift 2
    if [ "$role" = driver ]; then
        args=(/dll /entry:DllMain /def:"$root/bootdrv/rxboot.def" "${driverObjects[@]}")
    else
        args=(/entry:WinMainCRTStartup "${programObjects[@]}")
    fi
    bash "$root/handheld/link-a32.sh" --tools "$root/handheld" --importlibs "$build/handheld" \
        --work "$work/link" "${args[@]}" "$@" -o "$out" >"$work/link.log" 2>&1 || { cat "$work/link.log"; return 1; }
    cp "$work/link/$(basename "$out").elf" "$out.elf"
}

# A planted call of function $2 from DLL $1, as ".def line": the A32 code
# that calls it, its stub and its import library.
Plant() {
    local dll=$1 line=$2 name=${2%% *}
    printf 'LIBRARY %s\nEXPORTS\n    %s\n' "$dll" "$line" >"$work/$name.def"
    llvm-dlltool -m arm -d "$work/$name.def" -D "$dll" -l "$work/$name.lib"
    printf '    .globl rx_planted\n    .type rx_planted,%%function\n    .p2align 2\nrx_planted:\n    ldr ip, 1f\n    ldr ip, [ip]\n    bx ip\n1:  .word __imp_%s\n    .weak __imp_%s\n' \
        "$name" "$name" >"$work/$name.s"
    clang --target=armv4t-none-eabi -marm -c "$work/$name.s" -o "$work/$name.o"
    echo "$work/$name.o $work/$name.lib /include:rx_planted"
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

echo "== the plain relinks pass"
Link driver "$work/plain.dll" && Link program "$work/plain.exe"
Expect "plain relink" 0 "all checks hold" -- --driver "$work/plain.dll" --driver-elf "$work/plain.dll.elf" \
    --program "$work/plain.exe" --program-elf "$work/plain.exe.elf"

# role | DLL | .def line | what the check says
while IFS='|' read -r role dll line text; do
    echo "== planted: $line from $dll in the $role"
    # shellcheck disable=SC2046
    Link "$role" "$work/planted.img" $(Plant "$dll" "$line") || { fail "$line: no link"; continue; }
    Expect "$line from $dll" 1 "$text" -- --"$role" "$work/planted.img"
done <<'EOF'
driver|msvcrt.dll|wcslen|imports from msvcrt.dll
driver|KERNEL32.dll|GetTickCount64|imports from KERNEL32.dll
driver|coredll.dll|ExitProcess|imports ExitProcess from coredll.dll, which the device's coredll.dll does not export
driver|coredll.dll|RegOpenKeyW|imports RegOpenKeyW from coredll.dll, which is not on the allowlist
driver|coredll.dll|GetLastActivePopup|imports GetLastActivePopup from coredll.dll, but the allowlist has it in no DLL
driver|coredll.dll|Planted @9999 NONAME|imports ordinal 9999 of coredll.dll, which the device's coredll.dll does not export
program|aygshell.dll|SHHandleWMSettingChange|imports SHHandleWMSettingChange from aygshell.dll by name, which the device's aygshell.dll exports by ordinal 83 only
program|aygshell.dll|SHInitDialog @56 NONAME|imports SHInitDialog from aygshell.dll by ordinal 56, where the device exports its name
EOF

echo "== planted: a driver without RXB_Seek or relocations"
grep -v RXB_Seek "$root/bootdrv/rxboot.def" >"$work/seven.def"
bash "$root/handheld/link-a32.sh" --tools "$root/handheld" --importlibs "$build/handheld" --work "$work/link" \
    /dll /entry:DllMain /def:"$work/seven.def" "${driverObjects[@]}" -o "$work/seven.dll" >"$work/link.log" 2>&1 ||
    cat "$work/link.log"
# ARM images cannot be linked /fixed: blank the relocation directory instead.
/usr/bin/python3 -c 'import pefile, sys
pe = pefile.PE(sys.argv[1])
d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
d.VirtualAddress = d.Size = 0
pe.write(sys.argv[1] + ".new")' "$work/seven.dll" && mv "$work/seven.dll.new" "$work/seven.dll"
Expect "seven exports" 1 "missing ['RXB_Seek']" "carries no base relocations" -- --driver "$work/seven.dll"

echo "== planted: what lld-link alone writes (Thumb bits, ARMNT, subsystem 2)"
lld-link /nologo /dll /machine:arm /nodefaultlib /subsystem:windows,5.02 /entry:RXB_Init \
    /def:"$root/bootdrv/rxboot.def" "$work/link/plain.dll.coff.obj" "$build/handheld/libcoredll.a" \
    "$build/handheld/libKTAPI.a" /out:"$work/unmended.dll" >"$work/link.log" 2>&1 || cat "$work/link.log"
Expect "unmended image" 1 "machine 0x1C4, wanted 0x1C2" "subsystem 2, wanted 9" "DllCharacteristics 0x" \
    "the entry point: RVA" "(bit 0 set: Thumb state)" "export RXB_Init: RVA" \
    "the code pointer at RVA" -- --driver "$work/unmended.dll"

echo "== planted: a program without its resources"
programObjects=("${programObjects[@]:0:${#programObjects[@]}-1}")
Link program "$work/bare.exe"
Expect "no resources" 1 "string table lacks strings [1, 2, 3, 103, 321, 322]" \
    "carries no CEUX/HI_RES_AWARE resource" "carries no version information 1 resource" -- --program "$work/bare.exe"

# Patch <image> <elf> <word> [image-only]: the first instruction of
# RXB_Deinit becomes <word> (little-endian hex), in the image and, unless
# image-only, in its ELF file too.
Patch() {
    /usr/bin/python3 - "$@" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[5])
import elf2coff, pefile
image, elf, word, only = sys.argv[1], sys.argv[2], int(sys.argv[3], 16), sys.argv[4] == "image-only"
pe = pefile.PE(image)
rva = next(s.address for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name == b"RXB_Deinit")
data = bytearray(open(image, "rb").read())
struct.pack_into("<I", data, pe.get_offset_from_rva(rva), word)
open(image, "wb").write(data)
if not only:
    raw = bytearray(open(elf, "rb").read())
    sections, symbols = elf2coff.read_elf(bytes(raw), elf)
    text = next(s for s in sections if s["name"] == ".text")
    address = next(s["value"] for s in symbols if s["name"] == "RXB_Deinit")
    struct.pack_into("<I", raw, text["offset"] + address - text["addr"], word)
    open(elf, "wb").write(raw)
PY
}
# word | image-only? | what the check says
while IFS='|' read -r word only text; do
    echo "== planted: code word $word ($only)"
    cp "$work/plain.dll" "$work/patched.dll" && cp "$work/plain.dll.elf" "$work/patched.dll.elf"
    Patch "$work/patched.dll" "$work/patched.dll.elf" "$word" "$only" "$root/handheld"
    Expect "code word $word" 1 "$text" -- --driver "$work/patched.dll" --driver-elf "$work/patched.dll.elf"
done <<'EOF'
e12fff33|both|an instruction an ARMv4T core lacks at .text+
e16f0f10|both|an instruction an ARMv4T core lacks at .text+
e1c020d0|both|an instruction an ARMv4T core lacks at .text+
f2c00050|both|an instruction an ARMv4T core lacks at .text+
e8bd8010|both|into pc at .text+
e1a0f00e|both|a return by MOV PC, LR at .text+
e320f000|both|an instruction an ARMv4T core lacks at .text+
e3a00002|image-only|the image's code differs from the linked code at 1 word(s)
EOF

# PlantTable <image> <elf> <kind>: one fault in the exception directory (and,
# for the frame pointer, in the code of both files), with handheld/ on the path.
PlantTable() {
    /usr/bin/python3 - "$@" "$root/handheld" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[4])
import elf2coff, pefile
image, elf, kind = sys.argv[1:4]
pe = pefile.PE(image)
data = bytearray(open(image, "rb").read())
directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
at = pe.get_offset_from_rva(directory.VirtualAddress)
count = directory.Size // 8
entries = [list(struct.unpack_from("<II", data, at + 8 * k)) for k in range(count)]
exports = {s.name.decode(): s.address + pe.OPTIONAL_HEADER.ImageBase for s in pe.DIRECTORY_ENTRY_EXPORT.symbols}
init = next(k for k, e in enumerate(entries) if e[0] == exports["RXB_Init"])
apply = init + 9        # BootApply follows RXB_Init and the eight one-line entry points
if kind == "missing":            # RXB_Init's entry taken out
    del entries[init]
    entries.append([0, 0])
    struct.pack_into("<I", data, directory.get_file_offset() + 4, 8 * (count - 1))
elif kind == "length":           # BootApply one instruction longer
    entries[apply][1] += 1 << 8
elif kind == "order":            # BootApply's entry given RXB_Init's start
    entries[apply][0] = entries[init][0]
elif kind in ("short", "long"):  # BootApply's prologue one instruction shorter or longer
    entries[apply][1] += -1 if kind == "short" else 1
elif kind == "unrelocated":      # no base relocation for the first entry's start
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.rva == directory.VirtualAddress:
                struct.pack_into("<H", data, entry.struct.get_file_offset(), 0)
elif kind == "framepointer":     # RXB_Init: push {r11, lr}; add r11, sp, #0, as clang sets up r11
    entries[init][1] += 1
    word = struct.pack("<I", 0xE28DB000)
    offset = pe.get_offset_from_rva(exports["RXB_Init"] - pe.OPTIONAL_HEADER.ImageBase + 4)
    data[offset:offset + 4] = word
    raw = bytearray(open(elf, "rb").read())
    sections, symbols = elf2coff.read_elf(bytes(raw), elf)
    text = next(s for s in sections if s["name"] == ".text")
    address = next(s["value"] for s in symbols if s["name"] == "RXB_Init")
    raw[text["offset"] + address - text["addr"] + 4:text["offset"] + address - text["addr"] + 8] = word
    open(elf, "wb").write(raw)
elif kind == "none":
    struct.pack_into("<II", data, directory.get_file_offset(), 0, 0)
for k, entry in enumerate(entries):
    struct.pack_into("<II", data, at + 8 * k, *entry)
open(image, "wb").write(data)
PY
}
# kind | what the check says
while IFS='|' read -r kind text; do
    echo "== planted: exception directory, $kind"
    cp "$work/plain.dll" "$work/table.dll" && cp "$work/plain.dll.elf" "$work/table.dll.elf"
    PlantTable "$work/table.dll" "$work/table.dll.elf" "$kind"
    Expect "exception directory $kind" 1 "$text" -- --driver "$work/table.dll" --driver-elf "$work/table.dll.elf"
done <<'EOF'
missing|the exception directory misses RXB_Init
length|exception directory entry of _Z9BootApplyv mis-sizes it: 91 instructions, the function has 90
order|overlaps the one before it or is out of order
short|mis-sizes the prologue of _Z9BootApplyv: SP is set at +0x4, after its end
long|mis-sizes the prologue of _Z9BootApplyv: its last instruction sets up nothing
unrelocated|): its start is not relocated
framepointer|the prologue of RXB_Init is one Windows CE's unwinder undoes wrongly
none|no exception directory
EOF

[ $failed -eq 0 ] && echo "image check self-test passed"
exit $failed
