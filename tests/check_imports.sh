#!/bin/sh
# quorvel.exe must be one file: it may import only DLLs that Windows ships,
# not those that some editions lack, and no function that Windows 10 1507
# lacks (tests/imports.list). A MinGW exe is read with objdump, with at most
# MAX_BYTES bytes if given; an MSVC exe through its `dumpbin /imports` listing.
# Usage: check_imports.sh EXE [MAX_BYTES]
#        check_imports.sh --dumpbin LISTING
list="$(dirname "$0")/imports.list"
# A list checked out with CRLF would leave a CR on each line's last pattern.
patterns() { tr -d '\r' <"$list" | sed -n "s/^$1 //p" | paste -sd'|' -; }
allowed="^($(patterns allow))\.dll$"
notEverywhere="^($(patterns never))\.dll$"
newer="\b($(patterns newer))\b"

maxBytes=""
if [ "$1" = "--dumpbin" ]; then
    listing=$(tr -d '\r' <"$2")
    # A DLL stands alone on its line, indented by four, in both the imports
    # and the delay-load imports.
    dlls=$(printf '%s\n' "$listing" | sed -n 's/^    \([^ ]*\.[dD][lL][lL]\)$/\1/p')
else
    exe="$1"
    maxBytes="${2:-}"
    listing=$(x86_64-w64-mingw32-objdump -p "$exe")
    dlls=$(printf '%s\n' "$listing" | sed -n 's/^[[:space:]]*DLL Name: //p')
fi
[ -n "$dlls" ] || { echo "no imports read from $*"; exit 1; }

status=0
for dll in $dlls; do
    if echo "$dll" | grep -Eiq "$notEverywhere"; then
        echo "imported at load time, but missing from some editions of Windows: $dll"
        status=1
    elif echo "$dll" | grep -Eiq "$allowed"; then
        echo "ok: $dll"
    else
        echo "not a system DLL: $dll"
        status=1
    fi
done
for name in $(printf '%s\n' "$listing" | grep -Eo "$newer" | sort -u); do
    echo "imported, but missing from Windows 10 1507: $name"
    status=1
done
if [ -n "$maxBytes" ]; then
    bytes=$(wc -c <"$exe")
    if [ "$bytes" -le "$maxBytes" ]; then
        echo "ok: $bytes bytes"
    else
        echo "$bytes bytes, more than $maxBytes: debug information left in?"
        status=1
    fi
fi
exit $status
