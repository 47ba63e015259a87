#!/usr/bin/env bash
# Checks that Windows programs import only Windows' own DLLs (no Qt, C++ runtime, winpthread,
# OpenSSL, libsodium or Firebird DLL has to lie beside them; fbclient.dll is delay-loaded).
#   scripts/windows-imports.sh PROGRAM.exe...
set -euo pipefail
# Windows' own libraries as MinGW's import libraries name them (lower case).
system='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comdlg32|comctl32|shlwapi|ws2_32|crypt32|
|winmm|imm32|mpr|userenv|version|netapi32|dwmapi|winspool\.drv|wtsapi32|uxtheme|d3d11|dxgi|iphlpapi|secur32|
|dnsapi|bcrypt|msvcrt|setupapi|powrprof|rpcrt4|api-ms-win-[a-z0-9-]+)\.dll$'
system=${system//$'\n'|/}
status=0
for exe in "$@"; do
    # MinGW's delay-load imports (fbclient.dll) are not in the import table objdump lists.
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    bad=$(echo "$imports" | tr 'A-Z' 'a-z' | grep -Ev "$system" || true)
    if [ -n "$bad" ]; then
        echo "$exe imports DLLs that are not Windows' own: $(echo $bad)" >&2
        status=1
    else
        echo "$(basename "$exe") imports only Windows' own DLLs: $(echo $imports)"
    fi
done
exit $status
