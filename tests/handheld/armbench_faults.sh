#!/usr/bin/env bash
# Shows that the emulated runs catch faults that live only in the handheld
# image: plants one fault at a time in a copy of rxboot.dll
# (testbench/armbench/plant.py), runs the case that must catch it on the
# emulated XScale with the copy in place of the image (RX_ARM_DRIVER), and
# wants that case to fail for the fault's reason. The unbroken copy passes.
#
# Then the faults the device manager's handler must take: a null read in
# BootApply, one in the transaction code two calls down, one inside a
# coredll call. On both emulated cores each must fail only the driver
# (Windows CE's unwinder reaches the handler with the image's exception
# directory); in a copy without the directory each must end the device
# manager's process, as it would on the device.
#   armbench_faults.sh <source dir> <build dir>
set -u
src=$1 build=$2
image=$build/handheld/bin/rxboot.dll
elf=$build/handheld/handheld/link/rxboot.dll.elf
for f in "$image" "$elf" "$build/bin/test_bootpass.exe" "$build/bin/test_driver.exe"; do
    [ -f "$f" ] || { echo "armbench_faults: no $f: build first" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

pass="Builds/BootPass.EverySettingOnIsAppliedSavedAndPowered/pxa270"
surface="Builds/DriverSurface.EntryPointsGiveFixedAnswersWhateverTheyAreGiven/pxa270"

# Run <copy> <test program> <case>: the case's exit code; its output in $work/out.
Run() {
    env RX_BUILD="$build" RX_ARM_DRIVER="$1" "$src/scripts/winerun" "$build/bin/$2" --gtest_filter="$3" \
        >"$work/out" 2>&1
}

# Caught <fault> <test program> <case> <text the failure must show>
Caught() {
    local fault=$1 program=$2 case=$3 text=$4 copy=$work/rxboot-$1.dll what
    what=$(/usr/bin/python3 "$src/testbench/armbench/plant.py" "$fault" "$image" "$elf" "$copy") ||
        { echo "FAIL: cannot plant $fault"; failed=1; return; }
    if Run "$copy" "$program" "$case"; then
        echo "FAIL: $fault ($what) was not caught by $case"
        failed=1
    elif ! grep -qF -- "$text" "$work/out"; then
        echo "FAIL: $case failed on $fault, but without \"$text\":"
        sed 's/^/    /' "$work/out"
        failed=1
    else
        echo "$fault: $what"
        echo "    caught by $case:"
        grep -m1 -B2 -A1 -F -- "$text" "$work/out" | cut -c1-150 | sed "s/^/      /"
    fi
}

cp "$image" "$work/rxboot-plain.dll"
Run "$work/rxboot-plain.dll" test_driver.exe "$surface" ||
    { echo "FAIL: the unbroken copy fails $surface:"; sed 's/^/    /' "$work/out"; failed=1; }

# The receiver drops the frame (its checksum no longer fits) and never answers.
Caught frame test_bootpass.exe "$pass" "ExpectedFrames(on, true)"
# The pointer keeps the preferred base's address, where nothing is mapped.
Caught relocation test_bootpass.exe "$pass" "UC_ERR_READ_UNMAPPED"
# 400 ms after a count line instead of 500.
Caught delay test_bootpass.exe "$pass" "Expected: (step) >= (delay)"
# Neither ARMv4T nor ARMv5TE knows Thumb-2.
Caught thumb2 test_driver.exe "$surface" "Invalid instruction (UC_ERR_INSN_INVALID)"

for core in pxa270 armv4t; do
    for fault in nullread deep import; do
        Caught "$fault" test_bootpass.exe "${pass%/*}/$core" \
            "unloaded: RXB_Init failed, driver unloaded, device manager alive"
        Caught "$fault-bare" test_bootpass.exe "${pass%/*}/$core" "ended the device manager's process"
    done
done

exit $failed
