#!/bin/sh
# The Windows workflow reads the MSVC exe's imports from `dumpbin /imports`,
# which only Windows has. A listing in its form that breaks each rule must be
# refused for each, with none of its rows passed over.
set -u
here=$(dirname "$0")
out=$(sh "$here/../check_imports.sh" --dumpbin "$here/dumpbin_imports_sample.txt")
status=$?
printf '%s\n' "$out"
expected='ok: KERNEL32.dll
ok: USER32.dll
imported at load time, but missing from some editions of Windows: MFPlat.DLL
not a system DLL: quorvel_helper.dll
imported, but missing from Windows 10 1507: GetDpiForWindow'
[ "$status" -eq 1 ] && [ "$out" = "$expected" ]
