#!/usr/bin/env bash
# Makes rxconf.cab, the CAB that installs the setup program and the boot
# driver on a Windows Mobile 6 Professional handheld already in the field:
#
#   scripts/cab.sh [OUT.cab]     default: $RX_BUILD/cab/rxconf.cab
#
# The cabinet holds platform/cab/_setup.xml (the WAP provisioning document
# the device's installer hands to its Configuration Manager) and the
# handheld images of $RX_BUILD/handheld/bin, each under the name its
# "Extract" step in _setup.xml gives as the source; it is built
# uncompressed, as the installer expects. It is not signed: sign it (and
# the images, after every change to them) with the device's certificate
# where the device asks for one. Plain Windows CE 5 devices need cabwiz's
# binary .000 script instead, which is not made here.
set -u
source "$(dirname "$0")/env.sh"

out=${1:-$RX_BUILD/cab/rxconf.cab}
images=$RX_BUILD/handheld/bin
setup=$RX_ROOT/platform/cab/_setup.xml

command -v gcab >/dev/null || { echo "cab.sh: gcab is missing (scripts/test.sh installs it)" >&2; exit 1; }

# "<source in the cabinet> <file it becomes>" for each Extract step.
pairs=$(python3 - "$setup" <<'EOF'
import sys
import xml.etree.ElementTree as ET
for file in ET.parse(sys.argv[1]).iter("characteristic"):
    for step in file.findall("characteristic[@type='Extract']"):
        print(step.find("parm[@name='Source']").get("value"), file.get("type"))
EOF
) || { echo "cab.sh: cannot read $setup" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$setup" "$stage/_setup.xml"
names=(_setup.xml)
while read -r source target; do
    [ -f "$images/$target" ] || { echo "cab.sh: $images/$target is not built" >&2; exit 1; }
    cp "$images/$target" "$stage/$source"
    names+=("$source")
done <<<"$pairs"

mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
rm -f "$out"
( cd "$stage" && gcab --create --nopath "$out" "${names[@]}" ) || exit 1
echo "cab.sh: $out ($(stat -c %s "$out") bytes):"
for name in "${names[@]}"; do
    printf '  %-12s %8d bytes\n' "$name" "$(stat -c %s "$stage/$name")"
done
