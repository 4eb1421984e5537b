#!/usr/bin/env bash
# Packs the build folder with cpack -G DEB into a folder of its own, then
# checks the package without installing it: its name and version, the files
# it holds, that every dependency dpkg-shlibdeps computed is one this
# system's apt knows at an acceptable version, and that both programs run
# from the unpacked tree and say the project's version.
# usage: deb_test.sh BUILD_DIR VERSION
set -euo pipefail

build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; exit 1; }
deb="$work/orvane_${version}_amd64.deb"
[ -f "$deb" ] || { echo "FAIL: no $deb; cpack made: $(ls "$work")" >&2; exit 1; }

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

[ "$(dpkg-deb -f "$deb" Package)" = orvane ] || fail "package name $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version)"

dpkg-deb -x "$deb" "$work/root"
for file in usr/bin/orvane usr/bin/orvane-align usr/share/man/man1/orvane.1 \
    usr/share/man/man1/orvane-align.1 usr/share/doc/orvane/README.md \
    usr/share/doc/orvane/CHANGELOG.md; do
    [ -f "$work/root/$file" ] || fail "the package holds no $file"
done
# Every page the README links to travels with it.
while read -r link; do
    [ -f "$work/root/usr/share/doc/orvane/$link" ] || fail "the README links to $link, not packed"
done < <(grep -o '](docs/[^)#]*' "$work/root/usr/share/doc/orvane/README.md" | cut -c3- | sort -u)

# Each dependency is a list of alternatives "name (op version) | ...": one of
# them must be installed or installable here at a version that satisfies it.
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "no Depends: dpkg-shlibdeps computed nothing"
satisfiable() {
    local name=$1 op=$2 wanted=$3 have
    for have in $(dpkg-query -W -f='${Version}\n' "$name" 2>/dev/null) \
        $(apt-cache policy "$name" 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -v none); do
        [ -z "$op" ] && return 0
        dpkg --compare-versions "$have" "$op" "$wanted" && return 0
    done
    return 1
}
IFS=',' read -ra groups <<<"$depends"
for group in "${groups[@]}"; do
    ok=0
    IFS='|' read -ra alternatives <<<"$group"
    for alternative in "${alternatives[@]}"; do
        alternative=${alternative//[()]/}
        read -r name op wanted <<<"$alternative"
        satisfiable "$name" "${op:-}" "${wanted:-}" && ok=1 && break
    done
    [ "$ok" -eq 1 ] || fail "no package here satisfies the dependency '$group'"
done

for program in orvane orvane-align; do
    printed=$("$work/root/usr/bin/$program" --version) || fail "$program --version failed"
    case "$printed" in
    "$program $version" | "$program $version (commit "*) ;;
    *) fail "the packed $program --version printed '$printed'" ;;
    esac
    missing=$(ldd "$work/root/usr/bin/$program" | grep 'not found' || true)
    [ -z "$missing" ] || fail "the packed $program lacks $missing"
done

echo "$(basename "$deb"): Depends: $depends"
exit "$failed"
