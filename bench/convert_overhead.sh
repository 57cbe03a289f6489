#!/usr/bin/env bash
# The program's whole conversion path — the information pass (when audio
# values are left open), cvtcore, the runner reading its output, the output
# tags — against ffmpeg run directly with the same options, for WAV -> MP3,
# MP4 -> MP3 and MP4 -> AVI at 10 s, 3 min and 30 min. Each case runs back-to-
# back pairs (the first of a pair alternating); prints medians, the median of
# the paired ratios and of the paired differences, and where the difference
# goes (information pass, own CPU of the runner, tagging).
# Usage: bench/convert_overhead.sh [build dir]
#   RUNS_SHORT (10 s, default 9), RUNS_MID (3 min, 5), RUNS_LONG (30 min, 3);
#   LENGTHS="10 180 1800" picks lengths in seconds.
# About 12 minutes on two lightly used cores, most of it the 30-minute cases;
# longer while other builds keep the cores busy (both sides run at nice +10
# in the batch policy).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 cvtcore convert_overhead encoder_clock >/dev/null
bin="$build/bin"
bench="$build/bench/convert_overhead"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Every ffmpeg run, the program's and the bare one, goes through the same
# clock (one fork and wait more on both sides), which logs the run's wall and
# CPU: what the program adds is then its wall minus its encoder's.
export ENCODER_CLOCK_FFMPEG
ENCODER_CLOCK_FFMPEG="$(command -v ffmpeg)"
export PATH="$build/bench/encoder_clock:$PATH"
title='Overhead "run" AC/DC 🎸 Проверка'
link='http://www.site.test/watch?v=bench01'

runs_for() {
  case "$1" in
    10) echo "${RUNS_SHORT:-9}" ;;
    180) echo "${RUNS_MID:-5}" ;;
    *) echo "${RUNS_LONG:-3}" ;;
  esac
}

clips() {
  local s="$1"
  ffmpeg -v error -nostdin -y -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=$s" \
    -ac 2 -c:a pcm_s16le "$work/a$s.wav"
  ffmpeg -v error -nostdin -y -f lavfi -i "testsrc=duration=$s:size=320x240:rate=25" \
    -f lavfi -i "sine=duration=$s:sample_rate=44100" -shortest -c:v libx264 -preset ultrafast \
    -c:a aac -ac 2 "$work/v$s.mp4"
}

median() { sort -g | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%.4f", m}'; }
med() { printf '%s\n' "$@" | median; }

# Runs a command; prints "<wall s> <cpu s>" (cpu = user + sys of it and its
# children; for ffmpeg that includes the starts of nice and chrt, about a
# millisecond). Its standard output lands in $work/out.
timed() {
  local TIMEFORMAT='%R %U %S' out
  out=$( { time "$@" >"$work/out" 2>"$work/err" ; } 2>&1 ) || { cat "$work/err" >&2; exit 1; }
  awk '{printf "%.4f %.4f\n", $1, $2 + $3}' <<<"$out"
}

# $1 label; $2 runs; $3 direct ffmpeg options (after -i); $4 input; $5 output
# extension; the rest: program arguments after <in> <out>.
compare() {
  local label="$1" runs="$2" direct="$3" in="$4" ext="$5"; shift 5
  local ww=() wc=() dw=() dc=() rw=() rc=() dd=() info=() info2=() own=() a b
  local outside=() bare=() ew=() ec=() pe pec de dec
  for ((i = 0; i < runs; i++)); do
    # Both run the encoder ten steps nicer in the batch policy: the program
    # always starts it that way.
    local w d first=$((i % 2))
    for side in $first $((1 - first)); do
      : >"$work/clock"
      if ((side == 0)); then
        w=$(ENCODER_CLOCK_LOG="$work/clock" timed "$bench" "$bin/" "$in" "$work/w.$ext" "$@" --tags "$title" "$link")
        # Wall and CPU are the ones the program measures from building the
        # worker to its done report (its own CPU and that of the encoder it
        # ran): starting the bench process is not part of a conversion (the
        # real program is already running).
        read -r pw pinfo pown _ _ pinfo2 pkids <"$work/out"
        w="$(awk -v ms="$pw" -v own="$pown" -v kids="$pkids" 'BEGIN {printf "%.4f %.4f", ms / 1000, (own + kids) / 1000}')"
        read -r pe pec <"$work/clock"
      else
        # shellcheck disable=SC2086
        d=$(ENCODER_CLOCK_LOG="$work/clock" timed nice -n 10 chrt -b 0 ffmpeg -v error -nostdin -y -i "file:$in" $direct "file:$work/d.$ext")
        read -r de dec <"$work/clock"
      fi
    done
    read -r a b <<<"$w"; ww+=("$a"); wc+=("$b")
    read -r a b <<<"$d"; dw+=("$a"); dc+=("$b")
    info+=("$pinfo"); info2+=("$pinfo2"); own+=("$pown")
    rw+=("$(awk -v w="${ww[-1]}" -v d="$a" 'BEGIN {print w / d}')")
    rc+=("$(awk -v w="${wc[-1]}" -v d="$b" 'BEGIN {print w / d}')")
    dd+=("$(awk -v w="${ww[-1]}" -v d="$a" 'BEGIN {print (w - d) * 1000}')")
    outside+=("$(awk -v w="$pw" -v e="$pe" 'BEGIN {print w - e}')")
    bare+=("$(awk -v w="$a" -v e="$de" 'BEGIN {print w * 1000 - e}')")
    ew+=("$(awk -v p="$pe" -v d="$de" 'BEGIN {print p / d}')")
    ec+=("$(awk -v p="$pec" -v d="$dec" 'BEGIN {print p / d}')")
  done
  local tag="-"
  if [ "$ext" = mp3 ]; then
    # The tagging alone, on a copy of the program's output: the encoder left
    # it the same room in its tag, so this is the same write as the first.
    cp "$work/w.$ext" "$work/t.$ext"
    tag=$("$bench" --tag-only "$work/t.$ext" "$title" "$link")
  fi
  awk -v l="$label" -v n="$runs" -v ww="$(med "${ww[@]}")" -v wc="$(med "${wc[@]}")" \
    -v dw="$(med "${dw[@]}")" -v dc="$(med "${dc[@]}")" -v rw="$(med "${rw[@]}")" \
    -v rc="$(med "${rc[@]}")" -v dd="$(med "${dd[@]}")" -v info="$(med "${info[@]}")" -v info2="$(med "${info2[@]}")" \
    -v own="$(med "${own[@]}")" -v tag="$tag" -v out="$(med "${outside[@]}")" -v bare="$(med "${bare[@]}")" \
    -v ew="$(med "${ew[@]}")" -v ec="$(med "${ec[@]}")" 'BEGIN {
    printf "%s (%d pairs)\n", l, n
    printf "  wall: program %8.3f s   ffmpeg %8.3f s   paired ratio %+6.2f%%   paired diff %+7.0f ms\n", ww, dw, (rw - 1) * 100, dd
    printf "  cpu:  program %8.3f s   ffmpeg %8.3f s   paired ratio %+6.2f%%\n", wc, dc, (rc - 1) * 100
    printf "  outside the encoder: program %.1f ms, ffmpeg alone %.1f ms (nice, chrt, the clock): the program adds %.1f ms, %.2f%% of ffmpeg alone\n", out, bare, out - bare, (out - bare) / (dw * 10)
    printf "  the encoder under the program against alone: wall %+.2f%%, cpu %+.2f%% (paired)\n", (ew - 1) * 100, (ec - 1) * 100
    printf "  of it: information pass %.0f ms wall (%.1f ms when the process has read once)   own cpu (runner + tagging) %.0f ms   tagging alone %s ms\n", info, info2, own, tag }'
}

echo "load before: $(uptime)"
for s in ${LENGTHS:-10 180 1800}; do
  clips "$s"
  n=$(runs_for "$s")
  len=$( ((s < 60)) && echo "${s} s" || echo "$((s / 60)) min")
  # Sample rate left open ("Same As Input"): the program runs its information pass.
  compare "$len WAV -> MP3 128k" "$n" "-ar 44100 -b:a 128k -ac 2 -vn -c:a libmp3lame" \
    "$work/a$s.wav" mp3 0 128 2 libmp3lame
  compare "$len MP4 -> MP3 128k" "$n" "-ar 44100 -b:a 128k -ac 2 -vn -c:a libmp3lame" \
    "$work/v$s.mp4" mp3 0 128 2 libmp3lame
  # Video presets have no information pass; the AVI output takes no tags.
  compare "$len MP4 -> AVI mpeg4 320x240" "$n" \
    "-b:a 128k -b:v 512k -s 320x240 -ac 2 -c:v mpeg4 -c:a libmp3lame -r 29.97" \
    "$work/v$s.mp4" avi 0 128 2 libmp3lame --video mpeg4 320x240 512
  rm -f "$work/a$s.wav" "$work/v$s.mp4"
done
echo "load after: $(uptime)"
