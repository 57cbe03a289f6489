#!/usr/bin/env bash
# The Debian package as a user meets it:
#   deb_check.sh <build dir> <source dir>
# Packages the build with scripts/package.sh, unpacks the .deb into a scratch
# root (root-owned when run as root; made read-only otherwise), and has a
# normal user (created when CI runs as root) start <root>/usr/bin/vantorel on
# Xvfb with the simulator as proxy in ~/.config/vantorel/settings.ini, paste a
# link, convert it and close the window (installed_run.sh). Before that the
# desktop entry is validated and made the default for video/mp4 with xdg-mime
# in a scratch home. Then checks the
# user's files and that nothing was written into the package's tree or /usr.
# Nothing is installed into the system. Exits 77 (skipped) only without Xvfb.
set -euo pipefail
build="$(cd "${1:?usage: deb_check.sh <build dir> <source dir>}" && pwd)"
src="$(cd "${2:?usage: deb_check.sh <build dir> <source dir>}" && pwd)"

if ! command -v Xvfb >/dev/null; then
  echo "SKIPPED: Xvfb is not installed (scripts/deps.sh installs it)"
  exit 77
fi
started=$SECONDS
fail() {
  echo "FAIL ($((SECONDS - started)) s): $*" >&2
  exit 1
}
step() { echo "[$((SECONDS - started)) s] $*"; }

user="vantorel-check"
if [ "$(id -u)" -eq 0 ]; then
  # A parallel run may create the same account at the same moment.
  id -u "$user" >/dev/null 2>&1 || useradd --no-create-home --shell /bin/sh \
    --comment "Vantorel package check" "$user" 2>/dev/null || id -u "$user" >/dev/null ||
    fail "cannot create the user $user"
else
  user="$(id -un)"
fi
uid="$(id -u "$user")"
[ "$uid" -ne 0 ] || fail "the check needs a user other than root"

# In /tmp, not the build tree or $TMPDIR: the user may not reach a root-owned clone.
work="$(mktemp -d /tmp/vantorel-deb-check.XXXXXX)"
chmod 0755 "$work"
logs="$build/deb-check"
rm -rf "$logs"
mkdir -p "$logs"
# shellcheck disable=SC2317  # called by the EXIT trap
finish() {
  cp "$work/user/"*.{log,out,png} "$logs/" 2>/dev/null || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# ---- the package ----
deb="$("$src/scripts/package.sh" --build-dir "$build" --out "$work/deb" --no-checks | tail -1)"
[ -f "$deb" ] || fail "scripts/package.sh made no package"
step "built $(basename "$deb")"
depends="$(dpkg-deb -f "$deb" Depends)"
dpkg-checkbuilddeps -d "$depends" /dev/null 2>"$work/depends.log" ||
  fail "this machine lacks what the package depends on: $(cat "$work/depends.log")"
root="$work/root"
dpkg-deb -x "$deb" "$root"
[ "$(id -u)" -eq 0 ] || chmod -R a-w "$root"
for f in usr/bin/vantorel usr/lib/vantorel/cvtcore usr/share/vantorel/presets.ini; do
  [ -e "$root/$f" ] || fail "the package lacks /$f"
done
# ---- the desktop entry: valid, takes links and files, can be the default ----
entry="$root/usr/share/applications/vantorel.desktop"
desktop-file-validate "$entry" || fail "desktop-file-validate finds fault with the desktop entry"
grep -Eq '^Exec=.* %U$' "$entry" || fail "the desktop entry's Exec takes no URIs: $(grep ^Exec= "$entry")"
grep -Eq '^MimeType=(.*;)?video/mp4;' "$entry" || fail "the desktop entry names no video/mp4"
mime_home="$work/mime-home"
mkdir -p "$mime_home"
as_mime_user() {
  env -i HOME="$mime_home" PATH=/usr/bin:/bin XDG_DATA_DIRS="$root/usr/share" "$@"
}
as_mime_user xdg-mime default vantorel.desktop video/mp4 || fail "xdg-mime default failed"
handler="$(as_mime_user xdg-mime query default video/mp4)"
[ "$handler" = vantorel.desktop ] || fail "xdg-mime names '$handler' for video/mp4"
step "desktop entry valid, default for video/mp4"

listing() { (cd "$root" && find . -printf '%p %y %s %m %T@\n' | LC_ALL=C sort); }
listing >"$work/before.txt"
stamp="$work/stamp"
touch "$stamp"

# ---- the user's side ----
home="$work/home"
mkdir -p "$home" "$work/user" "$work/tools"
cp "$build/bin/sitesim" "$src/tests/e2e/a11y.py" "$src/tests/e2e/xclose.py" "$src/tests/e2e/desktop.sh" \
  "$src/scripts/demo/ini.sh" "$src/tests/package/installed_run.sh" "$work/tools/"
chmod -R a+rX "$work/tools"
chown "$uid" "$home" "$work/user"
chmod 0700 "$home"
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(runuser -u "$user" --)
step "running the package as $user"
"${as_user[@]}" env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin LANG=C.UTF-8 \
  bash "$work/tools/installed_run.sh" "$root" "$work/tools" "$work/user" ||
  fail "the run as $user failed (logs and screenshots in $logs)"

# ---- what it left ----
config="$home/.config/vantorel"
[ -s "$config/settings.ini" ] || fail "no $config/settings.ini; the config folder holds: $(ls -A "$config" 2>&1)"
tr -d '\r' <"$config/settings.ini" | grep -qx "Folder=$home/Downloads/Vantorel" ||
  fail "settings.ini names another output folder: $(tr -d '\r' <"$config/settings.ini")"
if [ -f "$config/Log.txt" ] && grep -qiE 'error|exception|fail' "$config/Log.txt"; then
  fail "Log.txt reports trouble: $(cat "$config/Log.txt")"
fi
mp3="$home/Downloads/Vantorel/Package Check Tone.mp3"
[ -s "$mp3" ] || fail "no converted file; the output folder holds: $(ls -A "$home/Downloads/Vantorel" 2>&1)"
codec="$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$mp3")"
[ "$codec" = mp3 ] || fail "the output's audio codec is '$codec'"
listing >"$work/after.txt"
changed="$(diff "$work/before.txt" "$work/after.txt")" || fail "the package's tree changed:
$changed"
written="$(find /usr -xdev -newer "$stamp" -user "$uid" -print -quit 2>/dev/null)"
[ -z "$written" ] || fail "$user wrote under /usr: $written"
step "passed"
