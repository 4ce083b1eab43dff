#!/bin/bash
# The Debian package of kestrel-image: CPack makes it from the build directory, and dpkg-deb shows its
# dependencies (libntfs-3g among them), its files and its licence. Skipped (77) without dpkg-deb.
# usage: package_test.sh BUILD_DIR
set -u
build=$1
command -v dpkg-deb >/dev/null || { echo "no dpkg-deb: skipped"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack"; }
deb=$(ls "$tmp"/kestrel-image_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { cat "$tmp/cpack.log"; fail "no package made"; }
info=$(dpkg-deb -I "$deb") || fail "dpkg-deb -I"
echo "$info"
grep -q "^ Package: kestrel-image$" <<<"$info" || fail "package name"
grep -Eq "^ Depends: .*libntfs-3g[0-9]+" <<<"$info" || fail "the dependencies do not name libntfs-3g"
files=$(dpkg-deb -c "$deb") || fail "dpkg-deb -c"
for f in ./usr/bin/kestrel-image ./usr/share/man/man1/kestrel-image.1 ./usr/share/doc/kestrel-image/copyright; do
    grep -q " $f\$" <<<"$files" || fail "the package lacks $f"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/kestrel-image/copyright | grep -q "GPL-2.0-or-later" ||
    fail "the package's copyright file does not state the licence"
echo "package: $deb"
