#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, quietly, and exits with
# the program's status: scripts/wine-run.sh PROGRAM.exe ARGS...
# The first start creates the prefix (build-win64/wine-prefix, about 10 s).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${ORVANE_WINEPREFIX:-$root/build-win64/wine-prefix}
export WINEDEBUG=${ORVANE_WINEDEBUG:--all}
# No Mono or Gecko: nothing here needs .NET or HTML, and their installers would
# stop a new prefix at a dialog.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$(dirname "$WINEPREFIX")"
exec /usr/lib/wine/wine64 "$@"
