#!/usr/bin/env bash
# Installs a build into a temporary DESTDIR below /usr, as the Debian package does, and checks
# that every installed piece is where desktops, man, bash and systemd look for it and is
# accepted by their own tools. Usage: check-install.sh BUILD_DIR README
set -uo pipefail
build=$1
readme=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
skip() { echo "skipped: $*"; }

DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log" >&2
  exit 1
}
usr="$tmp/root/usr"
share="$usr/share"

# Binaries answer --version; kestrap-cli with the project's version.
[ -x "$usr/bin/kestrap-cli" ] || fail "bin/kestrap-cli missing"
for bin in "$usr"/bin/*; do
  QT_QPA_PLATFORM=offscreen "$bin" --version >"$tmp/version" 2>&1 || fail "$bin --version: $(cat "$tmp/version")"
done
version=$(sed -n 's/^project(Kestrap VERSION \([0-9.]*\).*/\1/p' "$(dirname "$readme")/CMakeLists.txt")
[ "$("$usr/bin/kestrap-cli" --version)" = "kestrap-cli $version" ] || fail "kestrap-cli --version is not $version"

# Desktop entry, and the names it shares with the icon, the MIME type and the metainfo.
desktop="$share/applications/io.kestrap.Kestrap.desktop"
desktop-file-validate "$desktop" >"$tmp/dfv" 2>&1 && [ ! -s "$tmp/dfv" ] || fail "desktop-file-validate: $(cat "$tmp/dfv")"
grep -qx 'Exec=kestrap %F' "$desktop" || fail "desktop entry does not open files with kestrap %F"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon named $icon"
mime=$(sed -n 's/^MimeType=\(.*\);$/\1/p' "$desktop")
grep -q "<mime-type type=\"$mime\">" "$share/mime/packages/kestrap.xml" || fail "MIME package has no $mime"
grep -q "<launchable type=\"desktop-id\">io.kestrap.Kestrap.desktop</launchable>" \
  "$share/metainfo/io.kestrap.Kestrap.metainfo.xml" || fail "metainfo does not launch the desktop entry"

# Icon sizes drawn from the SVG: PNG files of the size their folder names.
for size in 16 22 24 32 48 64 128 256; do
  png="$share/icons/hicolor/${size}x${size}/apps/$icon.png"
  if [ ! -f "$png" ]; then
    fail "no ${size}x${size} icon"
    continue
  fi
  width=$(od -An -tu1 -j16 -N4 "$png" | awk '{print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4}')
  [ "$(head -c 4 "$png" | tail -c 3)" = PNG ] && [ "$width" = "$size" ] || fail "$png is not a ${size}-pixel PNG"
done

# The MIME package is accepted and maps *.jcf to the job type.
mkdir -p "$tmp/mime/packages"
cp "$share/mime/packages/kestrap.xml" "$tmp/mime/packages/"
XDG_DATA_DIRS="$tmp" update-mime-database "$tmp/mime" >"$tmp/umd" 2>&1 && [ ! -s "$tmp/umd" ] || fail "update-mime-database: $(cat "$tmp/umd")"
grep -q "^50:$mime:\*\.jcf$" "$tmp/mime/globs2" 2>/dev/null || fail "*.jcf is not $mime in the MIME database"

if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$share/metainfo/io.kestrap.Kestrap.metainfo.xml" >"$tmp/as" 2>&1 ||
    fail "appstreamcli validate: $(cat "$tmp/as")"
else
  skip "appstreamcli not installed"
fi

# Man pages render without a warning, and kestrap-cli's names every command and option of the
# README's command-line section.
for page in kestrap kestrap-cli kestrap-devicefarm; do
  file="$share/man/man1/$page.1.gz"
  [ -f "$file" ] || { fail "no man page $page(1)"; continue; }
  MANWIDTH=80 man --warnings -E UTF-8 -l "$file" >"$tmp/$page.txt" 2>"$tmp/man.err" && [ ! -s "$tmp/man.err" ] ||
    fail "man $page: $(cat "$tmp/man.err")"
done
sed -n '/^## Command line/,/^## /p' "$readme" | sed -n '/^```$/,/^```$/p' |
  grep -oE -- '--[a-z][a-z-]*|kestrap-cli [a-z]+( [a-z]+)?' | sort -u >"$tmp/readme-words"
[ -s "$tmp/readme-words" ] || fail "no command line found in the README"
col -b <"$tmp/kestrap-cli.txt" | tr -s ' \n' ' ' >"$tmp/page"
while read -r word; do
  name=${word#kestrap-cli }
  # Sub-command words (job create, sim plug) appear as the page's headings.
  grep -qF -- "$name" "$tmp/page" || fail "kestrap-cli(1) does not mention $name"
done <"$tmp/readme-words"

# The completion loads beside bash-completion's own and completes commands, and the udids of
# a farm named on the line.
completion="$share/bash-completion/completions/kestrap-cli"
udid=$("$usr/bin/kestrap-cli" sim create "$tmp/farm")
reply=$(PATH="$usr/bin:$PATH" bash -c '
  [ -f /usr/share/bash-completion/bash_completion ] && source /usr/share/bash-completion/bash_completion
  source "$1" || exit 1
  COMP_WORDS=(kestrap-cli j); COMP_CWORD=1; _kestrap_cli; echo "${COMPREPLY[*]}"
  COMP_WORDS=(kestrap-cli --verbose job s); COMP_CWORD=3; _kestrap_cli; echo "${COMPREPLY[*]}"
  COMP_WORDS=(kestrap-cli device --simulate "$2" ""); COMP_CWORD=4; _kestrap_cli; echo "${COMPREPLY[*]}"
  ' _ "$completion" "$tmp/farm" 2>&1)
[ "$reply" = $'job\nshow\ntree '"$udid" ] || fail "completion of kestrap-cli j, job s, device UDID: $reply"

# The station unit runs the installed kestrap-cli, and systemd accepts it.
unit="$usr/lib/systemd/system/kestrap-station@.service"
grep -qx 'ExecStart=/usr/bin/kestrap-cli run /etc/kestrap/%i.jcf --station' "$unit" || fail "unit ExecStart"
# A replaced job file is checked before the station restarts with it, never the other way round.
reload="$usr/lib/systemd/system/kestrap-station-reload@.service"
watch="$usr/lib/systemd/system/kestrap-station@.path"
[ -f "$watch" ] || fail "station path unit missing"
grep -qx 'PathChanged=/etc/kestrap/%i.jcf' "$watch" || fail "path unit watches the job file"
grep -qx 'Unit=kestrap-station-reload@%i.service' "$watch" || fail "path unit starts the check"
checks=$(grep '^ExecStart=' "$reload" 2>/dev/null)
[ "$checks" = $'ExecStart=/usr/bin/kestrap-cli job show /etc/kestrap/%i.jcf\nExecStart=systemctl try-restart kestrap-station@%i.service' ] ||
  fail "reload unit checks, then restarts: $checks"
grep -qx 'Wants=kestrap-station@%i.path' "$unit" || fail "station wants its path unit"
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$tmp/units"
  # Checked as instances, with the installed binary standing at its path inside DESTDIR.
  for u in "$unit" "$reload" "$watch"; do
    base=$(basename "$u")
    sed "s|^ExecStart=/usr/bin/|ExecStart=$usr/bin/|" "$u" >"$tmp/units/${base/@/@check}"
  done
  SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$tmp/units/kestrap-station@check.service" \
    "$tmp/units/kestrap-station-reload@check.service" "$tmp/units/kestrap-station@check.path" \
    >"$tmp/sa" 2>&1 || fail "systemd-analyze verify: $(cat "$tmp/sa")"
else
  skip "systemd-analyze not installed"
fi

[ "$failures" -eq 0 ] && echo "install layout: all checks passed"
exit $((failures > 0))
