#!/bin/sh
# quorvel.exe must be one file: it may import only DLLs that Windows ships,
# and not those that some editions of Windows lack (it looks those up when a
# recording starts). With a second argument, it must also be at most that
# many bytes.
exe="$1"
maxBytes="${2:-}"
allowed='^(KERNEL32|USER32|GDI32|COMDLG32|DWMAPI|WINMM|OLE32|D3D11|DXGI|ADVAPI32|SHELL32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$'
notEverywhere='^(MFPLAT|MFREADWRITE)\.dll$'
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || { echo "no imports read from $exe"; exit 1; }
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
# Nor a function that Windows 10 before version 1703 lacks: the loader would
# refuse the exe before it could say which Windows it needs.
newer=$(x86_64-w64-mingw32-objdump -p "$exe" |
    grep -Eo '\b(SetProcessDpiAwarenessContext|GetDpiForWindow|GetDpiForSystem|GetSystemMetricsForDpi|AdjustWindowRectExForDpi|SystemParametersInfoForDpi|EnableNonClientDpiScaling|SetThreadDpiAwarenessContext|GetWindowDpiAwarenessContext)\b' |
    sort -u)
for name in $newer; do
    echo "imported, but missing before Windows 10 version 1703: $name"
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
