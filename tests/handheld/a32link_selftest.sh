#!/usr/bin/env bash
# Shows that the handheld link (handheld/link-a32.sh and the steps it runs:
# elf2coff.py, edata.py, pe-mend.py, and importlibs.sh before it) refuses
# what the device could not run: links the driver from the handheld build's
# own objects with one fault planted each time, and wants each link to fail
# for its reason and to leave no image behind.
#   a32link_selftest.sh <handheld-build-dir>
set -u
build=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
[ -f "$build/handheld/importstubs.o" ] || { echo "a32link_selftest: build the handheld images first" >&2; exit 2; }

driverObjects=("$build/handheld/CMakeFiles/handheld_runtime.dir/runtime.cpp.obj"
               "$build/bootdrv/CMakeFiles/rxboot.dir/driver.cpp.obj" "$build/bootdrv/libbootapply.a"
               "$build/receiver/libreceiver.a")
# The flags the handheld configuration compiles with (cmake/wince-arm.cmake).
a32=(--target=armv4t-none-eabi -marm -mcpu=arm7tdmi -mfloat-abi=soft -fshort-wchar -fno-short-enums
     -ffreestanding -fno-builtin -fno-unwind-tables -fno-asynchronous-unwind-tables -fomit-frame-pointer -Os)
asm=(--target=armv4t-none-eabi -marm -mcpu=arm7tdmi)

# Expect <what> <wanted text> -- <command...>: the command fails, says the
# text, and (for a link) leaves no image.
Expect() {
    local what=$1 text=$2 out; shift 3
    rm -f "$work/out.dll"
    out=$("$@" 2>&1) && fail "$what: accepted"
    echo "$out" | grep -v '^lld-link: warning' | sed 's/^/    /' | head -12
    grep -qF -- "$text" <<<"$out" || fail "$what: no \"$text\""
    [ ! -e "$work/out.dll" ] || fail "$what: an image was left behind"
}

# LinkWith <planted object>: the driver with the planted code kept.
LinkWith() {
    bash "$root/handheld/link-a32.sh" --tools "$root/handheld" --importlibs "$build/handheld" --work "$work/link" \
        /dll /entry:DllMain /def:"$root/bootdrv/rxboot.def" /include:rx_planted "${driverObjects[@]}" "$1" \
        -o "$work/out.dll"
}

echo "== the plain link passes"
echo 'int rx_planted(int a) { return a * 3; }' >"$work/plain.c"
clang "${a32[@]}" -c "$work/plain.c" -o "$work/plain.o"
LinkWith "$work/plain.o" >"$work/plain.log" 2>&1 || { cat "$work/plain.log"; fail "plain link"; }
[ -f "$work/out.dll" ] || fail "plain link: no image"

# name | compiler arguments | source | what the link says
while IFS='|' read -r name flags source text; do
    echo "== planted: $name"
    printf '%b\n' "$source" >"$work/$name.${flags##* }"
    # shellcheck disable=SC2086
    clang ${flags% *} -c "$work/$name.${flags##* }" -o "$work/$name.o" || { fail "$name: no object"; continue; }
    Expect "$name" "$text" -- LinkWith "$work/$name.o"
done <<EOF
thumb|${a32[*]} -mthumb c|int rx_planted(int a) { return a * 3; }|Thumb code in .text
armv5te|--target=armv5te-none-eabi -marm -mfloat-abi=soft -fshort-wchar -Os c|int rx_planted(int a) { return a * 3; }|an ARM architecture beyond ARMv4T (Tag_CPU_arch 4)
wchar4|--target=armv4t-none-eabi -marm -mfloat-abi=soft -Os c|int rx_planted(void) { return sizeof(L"ab"); }|wchar_t of 4 bytes
vfp|--target=armv4t-none-eabi -marm -mfpu=vfpv2 -mfloat-abi=softfp -fshort-wchar -Os c|double rx_planted(double a, double b) { return a * b; }|uses VFP or NEON
target1|${asm[*]} s|    .globl rx_planted\n    .section .rodata.rx_planted,"a"\n    .p2align 2\nrx_planted:\n    .word DllMain(target1)|relocation type 38 at .rdata+
cross-section|${asm[*]} s|    .globl rx_planted\n    .section .rodata.rx_planted,"a"\n    .p2align 2\nrx_planted:\n    .word DllMain - .|R_ARM_REL32 at .rdata+
odd-pointer|${asm[*]} s|    .globl rx_planted\n    .section .rodata.rx_planted,"a"\n    .p2align 2\nrx_planted:\n    .word RXB_Init + 1|is not an A32 instruction address (bit 0 set: Thumb)
framepointer|${a32[*]} -fno-omit-frame-pointer c|unsigned long RXB_Deinit(unsigned long);\nint rx_planted(int a) { return RXB_Deinit(a) + 1; }|rx_planted: a frame pointer set-up (r11) at +0x4
sp-in-body|${asm[*]} s|    .globl rx_planted\n    .type rx_planted,%function\n    .p2align 2\nrx_planted:\n    push {r4, lr}\n    bl RXB_Close\n    sub sp, sp, #8\n    add sp, sp, #8\n    pop {r4, lr}\n    bx lr|rx_planted: SP set at +0x8, outside the prologue
constructor|${a32[*]} cpp|extern "C" int RXB_Init(const wchar_t *, const void *);\nextern "C" int rx_planted = RXB_Init(0, 0);\n__attribute__((used)) static int *keep = &rx_planted;|section .init_array has no place in a handheld image
EOF

echo "== planted: lld's own export table, at byte alignment"
cp "$work/link/out.dll.coff.obj" "$work/plain.coff.obj" 2>/dev/null
lld-link /nologo /dll /machine:arm /nodefaultlib /subsystem:windows,5.02 /entry:RXB_Init /def:"$root/bootdrv/rxboot.def" \
    "$work/link/out.dll.coff.obj" "$build/handheld/libcoredll.a" "$build/handheld/libKTAPI.a" \
    /out:"$work/lld.dll" >"$work/lld.log" 2>&1 || cat "$work/lld.log"
cp "$work/lld.dll" "$work/lld.before"
Expect "lld export table" "data directory IMPORT at RVA" -- /usr/bin/python3 "$root/handheld/pe-mend.py" "$work/lld.dll"
cmp -s "$work/lld.dll" "$work/lld.before" || fail "pe-mend changed an image it refused"

echo "== planted: an export given twice"
printf 'LIBRARY rxboot.dll\nEXPORTS\n    RXB_Init\n    RXB_Init\n' >"$work/twice.def"
Expect "export twice" "given twice" -- /usr/bin/python3 "$root/handheld/edata.py" "$work/twice.def" "$work/twice.obj"

echo "== planted: an allowlisted call the device does not export"
{ cat "$root/scripts/ce-api-allowlist.txt"; echo "ExitProcess   # planted: coredll (kernel)"; } >"$work/allowlist.txt"
Expect "ExitProcess" "coredll.dll on the device does not export ExitProcess" -- \
    bash "$root/handheld/importlibs.sh" "$work/allowlist.txt" "$root/handheld/ce5-exports.txt" \
    "$root/standins/ktapi/KTAPI.def" llvm-dlltool clang "$work/importlibs"

[ $failed -eq 0 ] && echo "handheld link self-test passed"
exit $failed
