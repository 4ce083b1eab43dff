#!/bin/bash
# The installed kestrel-image: `cmake --install` of the build directory into a temporary prefix puts the
# tool, its manual page and the licence there, and the installed binary works on an image.
# usage: install_test.sh BUILD_DIR
set -u
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "cmake --install"; }
tool=$tmp/prefix/bin/kestrel-image
[ -x "$tool" ] || fail "no bin/kestrel-image"
page=$tmp/prefix/share/man/man1/kestrel-image.1
[ -f "$page" ] || fail "no share/man/man1/kestrel-image.1"
grep -q "GPL-2.0-or-later" "$tmp/prefix/share/doc/kestrel-image/copyright" || fail "no licence in share/doc"

truncate -s 16M "$tmp/volume.img" && mkntfs -F -Q -q "$tmp/volume.img" >/dev/null 2>&1 || fail "mkntfs"
out=$("$tool" analyze "$tmp/volume.img") || fail "analyze: exit $?"
grep -q "^volume size: .* clusters of 4096 bytes" <<<"$out" || fail "analyze said: $out"
"$tool" check "$tmp/volume.img" >/dev/null || fail "check of a fresh volume: exit $?"
"$tool" defrag --quiet "$tmp/volume.img" >/dev/null || fail "defrag of a fresh volume: exit $?"
"$tool" check "$tmp/volume.img" >/dev/null || fail "check after defrag: exit $?"
"$tool" --help | grep -q "130  stopped by SIGINT" || fail "--help lacks the exit codes"
"$tool" frobnicate "$tmp/volume.img" 2>/dev/null
[ $? -eq 2 ] || fail "bad usage must exit 2"
echo "installed and ran: $tool"
