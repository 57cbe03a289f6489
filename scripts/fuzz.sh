#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each one for a bounded
# time on a scratch copy of its seed corpus, one after another.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]    (default: 60 s, every target)
#   TARGET is a name such as "gzip" or "fuzz_gzip". BUILD_DIR overrides build-fuzz/.
# Prints executions and findings per target; exits 1 when any target found something.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
all=(watchpage strwork urldecode ini url gzip encoder cmdline)

seconds=60
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
targets=()
for t in "$@"; do
  t=${t#fuzz_}
  if [[ ! " ${all[*]} " =~ " $t " ]]; then
    echo "unknown target: $t (known: ${all[*]})" >&2
    exit 2
  fi
  targets+=("$t")
done
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

"$root/scripts/deps.sh" --sanitizers

build="${BUILD_DIR:-$root/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTOREL_FUZZ=ON -DVANTOREL_BUILD_APP=OFF -DVANTOREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}"

findings_root="$build/fuzz-findings"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
summary=()
for t in "${targets[@]}"; do
  corpus="$work/$t"
  mkdir -p "$corpus"
  cp "$root/fuzz/corpus/$t/"* "$corpus/"
  art="$findings_root/$t"
  rm -rf "$art"
  mkdir -p "$art"
  log="$build/fuzz-$t.log"
  echo "== fuzz_$t for ${seconds}s"
  rc=0
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$art/" "$corpus" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -z "$execs" ] && execs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
  found=$(find "$art" -type f | wc -l)
  line=$(printf '%-16s %12s execs  %3d finding(s)  corpus %d' "fuzz_$t" "${execs:-?}" "$found" \
    "$(find "$corpus" -type f | wc -l)")
  if [ "$found" -ne 0 ] || [ "$rc" -ne 0 ]; then
    status=1
    line+="  FAILED (exit $rc, log $log)"
    find "$art" -type f -printf '    %p\n'
    grep -m 5 -E 'ERROR|FUZZ_CHECK|runtime error|SUMMARY' "$log" | sed 's/^/    /' || true
  fi
  echo "$line"
  summary+=("$line")
done

echo
echo "== summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit $status
