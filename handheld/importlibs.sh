#!/usr/bin/env bash
# Writes the .def files of the handheld's own DLLs that the deliverables
# import from, and their ARM import libraries:
#   importlibs.sh <allowlist> <KTAPI.def> <dlltool> <out-dir>
# coredll.def and aygshell.def hold exactly the allowlist's symbols whose
# note names that DLL (the window manager and GDI are exported by coredll
# on Windows CE); KTAPI.def is the maker's library as the stand-in exports
# it. Symbols noted as desktop-only or as a desktop compiler's helper go
# nowhere, so the handheld images cannot reach them.
set -eu
allowlist=$1 ktapi=$2 dlltool=$3 out=$4
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
                dll == "aygshell" && note ~ /aygshell/ { print "    " $1; next }
                dll == "coredll" && note ~ /coredll/ && note !~ /aygshell/ { print "    " $1 }'
    } >"$out/$dll.def.new"
    mv "$out/$dll.def.new" "$out/$dll.def"
done
cp "$ktapi" "$out/KTAPI.def"

for dll in coredll aygshell KTAPI; do
    [ "$(grep -c '^    ' "$out/$dll.def")" -gt 0 ] || { echo "importlibs: $dll.def is empty" >&2; exit 1; }
    "$dlltool" -m arm -d "$out/$dll.def" -D "$dll.dll" -l "$out/lib$dll.a"
done
