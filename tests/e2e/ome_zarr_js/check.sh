#!/usr/bin/env bash
# Reads every level of an OME-Zarr volume with ome-zarr.js over HTTP, as a web
# viewer does, and compares each level's shape and sum of values with what
# zarr-python reads. Needs node and npm (installs ome-zarr.js here once).
# usage: tests/e2e/ome_zarr_js/check.sh VOLUME.zarr
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
volume=$(cd "$1" && pwd)
[ -d "$here/node_modules/ome-zarr.js" ] || (cd "$here" && npm install --no-audit --no-fund >/dev/null)
port=$((20000 + RANDOM % 20000))
(cd "$(dirname "$volume")" && exec /usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 >/dev/null 2>&1) &
server=$!
trap 'kill $server 2>/dev/null' EXIT
for _ in $(seq 50); do
    curl -sf "http://127.0.0.1:$port/" >/dev/null 2>&1 && break
    sleep 0.1
done
js=$(node "$here/read.mjs" "http://127.0.0.1:$port/$(basename "$volume")" | awk '{print $1, $2, $5}')
py=$(/usr/bin/python3 -c "
import sys, zarr, numpy as np
g = zarr.open(sys.argv[1], 'r')
for k in sorted(g.array_keys(), key=int):
    a = g[k][:]
    print(k, '[' + ','.join(map(str, a.shape)) + ']', int(a.astype(np.uint64).sum()))
" "$volume")
echo "$js"
if [ "$js" != "$py" ]; then
    echo "ome-zarr.js and zarr-python differ; zarr-python reads:" >&2
    echo "$py" >&2
    exit 1
fi
echo "ome-zarr.js reads every level as zarr-python does"
