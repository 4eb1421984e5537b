#!/usr/bin/env bash
# The man pages render without a single groff warning, and each names every
# option its program's --help lists, so page and program cannot drift apart.
# usage: man_pages_test.sh PROGRAM PAGE [PROGRAM PAGE ...]
set -euo pipefail

failed=0
while [ $# -ge 2 ]; do
    program=$1 page=$2
    shift 2
    warnings=$(groff -man -ww -z -Tutf8 "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "FAIL: groff warns about $page:" >&2
        echo "$warnings" >&2
        failed=1
    fi
    text=$(groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)
    # The options are the words in dash form that open a line of --help.
    options=$("$program" --help | sed -n 's/^ \{1,\}\(-[-a-z]*\).*/\1/p' | sort -u)
    [ -n "$options" ] || { echo "FAIL: $program --help lists no option" >&2; failed=1; }
    for option in $options; do
        if ! grep -q -- "$option\b" <<<"$text"; then
            echo "FAIL: $page does not describe $option, which $program --help lists" >&2
            failed=1
        fi
    done
    echo "$page: $(wc -w <<<"$text") words, $(wc -w <<<"$options") options of --help"
done
exit "$failed"
