#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Skips everything that is already installed; uses sudo when not root.
set -euo pipefail

want=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev qt6-base-dev
      libcurl4-openssl-dev nlohmann-json3-dev libpcre2-dev libsqlite3-dev zlib1g-dev libcpp-httplib-dev libssl-dev libtag1-dev
      libavformat-dev libavcodec-dev libavutil-dev
      ffmpeg yt-dlp xvfb xauth xdotool xclip x11-utils imagemagick
      dbus-daemon at-spi2-core libglib2.0-bin python3 dpkg-dev desktop-file-utils xdg-utils)
if [ "${1:-}" = "--bench" ]; then
  want+=(nginx-light aria2 curl hyperfine)
fi
# scripts/package.sh: the checks of the built package (the installed-package
# test needs only dpkg-dev, desktop-file-utils and xdg-utils from the list above).
if [ "${1:-}" = "--package" ]; then
  want+=(lintian appstream)
fi
if [ "${1:-}" = "--sanitizers" ]; then
  want+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
