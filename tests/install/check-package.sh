#!/usr/bin/env bash
# Makes the Debian package of a build, as a release does, and checks that lintian finds no
# error in it and that it carries its licence, changelog and every man page.
# Usage: check-package.sh BUILD_DIR. Exits 77 (skipped) where lintian or cpack is missing.
set -uo pipefail
build=$1
for tool in lintian cpack dpkg-deb; do
  command -v "$tool" >/dev/null || {
    echo "skipped: $tool not installed (scripts/setup installs it)"
    exit 77
  }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

(cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || {
  cat "$tmp/cpack.log" >&2
  exit 1
}
deb=$(ls "$tmp"/out/*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || {
  echo "FAIL: cpack made no .deb" >&2
  cat "$tmp/cpack.log" >&2
  exit 1
}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/contents"
for file in /usr/share/doc/kestrap/copyright /usr/share/doc/kestrap/changelog.gz \
  /usr/share/man/man1/kestrap-cli.1.gz /usr/share/man/man1/kestrap-devicefarm.1.gz; do
  grep -qx -- "$file" "$tmp/contents" || fail "the package has no $file"
done
if grep -q '^/usr/bin/kestrap$' "$tmp/contents"; then
  grep -qx /usr/share/man/man1/kestrap.1.gz "$tmp/contents" || fail "the package has no kestrap(1)"
fi

# Errors only: warnings and notes (no signed upstream tarball, ...) do not apply to a package
# made by CPack outside a Debian source tree. Running as root is fine here.
lintian --no-tag-display-limit --allow-root "$deb" >"$tmp/lintian" 2>&1
if grep -q '^E:' "$tmp/lintian"; then
  fail "lintian errors:"
  grep '^E:' "$tmp/lintian" >&2
fi
[ "$failures" -eq 0 ] && echo "package: $(basename "$deb") lintian clean (no errors)"
exit $((failures > 0))
