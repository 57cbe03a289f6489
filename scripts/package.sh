#!/usr/bin/env bash
# Builds the Debian package vantorel_<version>_<arch>.deb and checks it.
#   scripts/package.sh                 build in build-deb/ (Release, no tests), package, check
#   scripts/package.sh --build-dir D   package what the build in D already holds
#   --out DIR     where the .deb goes (default: the build folder)
#   --no-checks   skip lintian, desktop-file-validate and appstreamcli
# Prints the path of the .deb as its last line.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="" out="" checks=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$(cd "${2:?}" && pwd)"; shift 2 ;;
    --out) out="${2:?}"; shift 2 ;;
    --no-checks) checks=0; shift ;;
    *) echo "usage: scripts/package.sh [--build-dir DIR] [--out DIR] [--no-checks]" >&2; exit 2 ;;
  esac
done

if [ -z "$build" ]; then
  [ "$checks" -eq 1 ] && "$root/scripts/deps.sh" --package
  build="$root/build-deb"
  BUILD_DIR="$build" BUILD_TARGETS="vantorel cvtcore deb_data" "$root/scripts/build.sh" \
    -DCMAKE_BUILD_TYPE=Release -DVANTOREL_BUILD_TESTS=OFF
fi
for tool in dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "$tool is missing; run scripts/deps.sh" >&2; exit 1; }
done
for f in bin/vantorel bin/cvtcore packaging/vantorel.1.gz packaging/changelog.gz; do
  [ -e "$build/$f" ] || { echo "$build lacks $f: build it first" >&2; exit 1; }
done
out="${out:-$build}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
arch="$(dpkg --print-architecture)"
deb="$out/vantorel_${version}_${arch}.deb"

stage="$(mktemp -d "${TMPDIR:-/tmp}/vantorel-package.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
pkg="$stage/root"
umask 022
DESTDIR="$pkg" cmake --install "$build" --component deb --prefix /usr --strip >/dev/null
# Whatever the build's umask was, the package holds the usual modes.
find "$pkg" -type d -exec chmod 0755 {} +
find "$pkg" -type f -exec chmod 0644 {} +
chmod 0755 "$pkg/usr/lib/vantorel/vantorel" "$pkg/usr/lib/vantorel/cvtcore"

# Depends: the libraries both programs link, as their packages declare them,
# plus the encoder cvtcore runs.
mkdir -p "$stage/src/debian"
printf 'Source: vantorel\n\nPackage: vantorel\nArchitecture: any\n' >"$stage/src/debian/control"
shlibs="$(cd "$stage/src" && dpkg-shlibdeps -O \
  -e"$pkg/usr/lib/vantorel/vantorel" -e"$pkg/usr/lib/vantorel/cvtcore" 2>"$stage/shlibdeps.log")" || {
  cat "$stage/shlibdeps.log" >&2
  exit 1
}
depends="${shlibs#shlibs:Depends=}, ffmpeg"
size="$(du -sk --apparent-size "$pkg/usr" | cut -f1)"

mkdir -p "$pkg/DEBIAN"
sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@SIZE@|$size|" \
  -e "s|@DEPENDS@|$depends|" "$root/packaging/control.in" >"$pkg/DEBIAN/control"
(cd "$pkg" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
chmod 0644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"
rm -f "$deb"
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null

if [ "$checks" -eq 1 ]; then
  status=0
  echo "== lintian"
  lintian --fail-on error --info "$deb" || status=1
  echo "== desktop-file-validate"
  desktop-file-validate "$pkg/usr/share/applications/vantorel.desktop" || status=1
  echo "== appstreamcli validate"
  appstreamcli validate --no-net --explain "$pkg/usr/share/metainfo/"*.metainfo.xml || status=1
  [ "$status" -eq 0 ] || { echo "the package's checks failed" >&2; exit 1; }
fi
echo "$deb"
