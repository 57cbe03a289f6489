#!/usr/bin/env bash
# Generates the demo clips (once; kept until deleted) and writes the catalogue the
# video-site simulator serves. Usage: make-demo.sh <demo-folder>
# Prints "<id> <title>" for each demo video on stdout.
set -euo pipefail
dir="${1:?usage: make-demo.sh <demo-folder>}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

# clip <file> <seconds> <size> <picture source> <tone Hz> <ffmpeg codec options...>
# Writes to a temporary name first, so an interrupted run never leaves a clip
# that looks finished.
clip() {
  local file="$dir/$1" seconds="$2" size="$3" source="$4" tone="$5"
  shift 5
  [ -s "$file" ] && return 0
  echo "Generating demo clip $(basename "$file")" >&2
  local tmp="$file.part.${file##*.}"
  ffmpeg -nostdin -v error -y \
    -f lavfi -i "$source=size=$size:rate=25:duration=$seconds" \
    -f lavfi -i "sine=frequency=$tone:sample_rate=44100:duration=$seconds" \
    "$@" -shortest "$tmp"
  mv -f "$tmp" "$file"
}

mp4=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 96k -movflags +faststart)
flv_h263=(-c:v flv -b:v 300k -c:a libmp3lame -ar 22050 -b:a 64k)
flv_h264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 96k)

clip tone-240p.mp4 8 426x240 testsrc 440 "${mp4[@]}" -b:v 200k
clip tone-240p.flv 8 320x240 testsrc 440 "${flv_h263[@]}"
clip chord-360p.flv 12 640x360 testsrc2 523 "${flv_h264[@]}" -b:v 400k
clip chord-240p.mp4 12 426x240 testsrc2 523 "${mp4[@]}" -b:v 200k
clip bars-720p.mp4 20 1280x720 smptehdbars 1000 "${mp4[@]}" -b:v 600k
clip bars-240p.mp4 20 426x240 smptebars 1000 "${mp4[@]}" -b:v 200k

# Catalogue values take "\\" for a backslash; nothing else in a path needs care.
path() { local p="$dir/$1"; printf '%s' "${p//\\/\\\\}"; }

# video <id> <title> <seconds>; stream <itag> <quality> <content type> <clip file>
video() { printf '[video %s]\ntitle = %s\nlength = %s\n\n' "$1" "$2" "$3"; }
stream() { printf '[stream]\nitag = %s\nquality = %s\ncontent_type = %s\nfile = %s\n\n' "$1" "$2" "$3" "$(path "$4")"; }

{
  echo "; Demo catalogue for the video-site simulator, written by scripts/demo/make-demo.sh."
  video demo-tone "Test Tone 440 Hz" 8
  stream 18 medium video/mp4 tone-240p.mp4
  stream 5 small video/x-flv tone-240p.flv
  video demo-unicode "Café Crème: Ünïcödé Étude — Мелодия" 12
  stream 34 medium video/x-flv chord-360p.flv
  stream 18 medium video/mp4 chord-240p.mp4
  video demo-bars "Colour Bars and a 1 kHz Tone" 20
  stream 22 hd720 video/mp4 bars-720p.mp4
  stream 18 medium video/mp4 bars-240p.mp4
} >"$dir/catalogue.ini.part"
mv -f "$dir/catalogue.ini.part" "$dir/catalogue.ini"

# The ids and titles, for the links the run command prints.
sed -n 's/^\[video \(.*\)\]$/\1/p' "$dir/catalogue.ini" |
  paste -d' ' - <(sed -n 's/^title = //p' "$dir/catalogue.ini")
