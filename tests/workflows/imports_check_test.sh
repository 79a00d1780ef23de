#!/bin/sh
# The Windows workflow reads the MSVC exe's imports from `dumpbin /imports`,
# which only Windows has. A listing in its form that breaks each rule must be
# refused for each, with none of its rows passed over; so too with the list
# as Git for Windows would check it out without .gitattributes (CRLF), where
# a CR left on the last pattern of a line would pass the DLL or function that
# pattern names.
set -u
here=$(dirname "$0")
expected='ok: KERNEL32.dll
ok: USER32.dll
imported at load time, but missing from some editions of Windows: MFPlat.DLL
ok: api-ms-win-crt-runtime-l1-1-0.dll
not a system DLL: quorvel_helper.dll
imported, but missing from Windows 10 1507: GetDpiForWindow
imported, but missing from Windows 10 1507: GetSystemMetricsForDpi'

crlf=$(mktemp -d)
trap 'rm -rf "$crlf"' EXIT
cp "$here/../check_imports.sh" "$crlf/"
sed 's/$/\r/' "$here/../imports.list" >"$crlf/imports.list"

status=0
for script in "$here/../check_imports.sh" "$crlf/check_imports.sh"; do
    out=$(sh "$script" --dumpbin "$here/dumpbin_imports_sample.txt")
    code=$?
    printf '%s\n' "$out"
    if [ "$code" -ne 1 ] || [ "$out" != "$expected" ]; then
        echo "not as expected with $script (exit code $code)"
        status=1
    fi
done
exit $status
