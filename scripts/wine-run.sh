#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, quietly, and exits with
# the program's status: scripts/wine-run.sh PROGRAM.exe ARGS...
# The first start creates the prefix (build-win64/wine-prefix, about 10 s).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${ORVANE_WINEPREFIX:-$root/build-win64/wine-prefix}
# Only a missing DLL is still reported: without it such a program just exits with 53.
export WINEDEBUG=${ORVANE_WINEDEBUG:--all,err+module}
# No Mono or Gecko: nothing here needs .NET or HTML, and their installers would
# stop a new prefix at a dialog.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Seconds the server stays up after the last program ends; starts take ~0.05 s while
# it is up and ~1 s when it is not.
linger=${ORVANE_WINE_LINGER:-30}
# Wine turns names into Unix bytes by the Unix locale's charset: under C or POSIX a
# name with any non-ASCII character cannot be opened at all, even through _wfopen.
[ "$(locale charmap 2>/dev/null)" = UTF-8 ] || export LC_ALL=C.UTF-8
mkdir -p "$(dirname "$WINEPREFIX")"

# A new server's first program also starts Wine's service processes, and they keep
# that program's stdout and stderr until the server exits: whoever reads its output
# to the end (a $(...), CTest) would wait seconds for nothing. So a new server is
# started here and its services by a program of our own with no output of the
# caller's. The lock keeps parallel callers from racing to be that first program.
# Nothing started under the lock may keep its descriptor (9>&-): a server or service
# holding it would hold the lock as long as it lives.
exec 9>>"$(dirname "$WINEPREFIX")/.wine-run.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    /usr/lib/wine/wine64 wineboot.exe --init </dev/null >/dev/null 2>&1 9>&-
    # No debugger on a crash: winedbg would write its report into the program's stdout
    # and add most of a second; the crash is still told on stderr and in the status.
    /usr/lib/wine/wine64 reg.exe add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /t REG_SZ /d '' /f </dev/null >/dev/null 2>&1 9>&-
    # The registry reaches the disk (and marks the prefix made) when the server exits.
    /usr/lib/wine/wineserver -w 9>&-
fi
if /usr/lib/wine/wineserver -p"$linger" </dev/null >/dev/null 2>&1 9>&-; then
    /usr/lib/wine/wine64 cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

exec /usr/lib/wine/wine64 "$@"
