#!/usr/bin/env bash
# Builds, then runs the whole test suite N times (RUNS=N or the first argument,
# default 3) beside two CPU-bound processes, so tests whose verdict depends on
# the machine's speed show up. At the end: each run's totals and every test that
# failed at least once, with its count. Exits non-zero if any test failed.
# Each run's full output is kept in $BUILD_DIR/stress/run-N.log.
# Other arguments go to the build (as for scripts/build.sh); JOBS sets ctest -j,
# CTEST_ARGS adds ctest options (e.g. CTEST_ARGS="-R Notifier" for a part only).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
runs="${RUNS:-3}"
if [[ $# -gt 0 && $1 =~ ^[0-9]+$ ]]; then
  runs=$1
  shift
fi
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "RUNS must be a positive number, not '$runs'" >&2; exit 2; }

BUILD_DIR="$build" "$root/scripts/build.sh" "$@"

hogs=()
stop_hogs() {
  for pid in "${hogs[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${hogs[@]}"; do wait "$pid" 2>/dev/null || true; done
  hogs=()
}
trap stop_hogs EXIT
trap 'exit 130' INT TERM
for _ in 1 2; do
  yes >/dev/null &
  hogs+=("$!")
done

logs="$build/stress"
mkdir -p "$logs"
declare -A failures=()
totals=()
cd "$build"
for ((run = 1; run <= runs; run++)); do
  log="$logs/run-$run.log"
  echo "== run $run of $runs (output in $log)"
  status=0
  # shellcheck disable=SC2086  # CTEST_ARGS is a list of options
  ctest --output-on-failure -j "${JOBS:-$(nproc)}" --timeout 300 ${CTEST_ARGS:-} >"$log" 2>&1 ||
    status=$?
  # "The following tests FAILED:" then one "  <n> - <name> (<why>)" line per test.
  failed=$(sed -n '/^The following tests FAILED:/,$p' "$log" |
    sed -n 's/^[[:space:]]*[0-9]\+ - \(.*\) (\([^()]*\))$/\1 (\2)/p')
  summary=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1 || true)
  if [[ -z $summary ]]; then
    summary="ctest ended with code $status and no summary (see $log)"
    failures["<run $run: no summary>"]=$((${failures["<run $run: no summary>"]:-0} + 1))
  fi
  totals+=("run $run: $summary")
  echo "   $summary"
  while IFS= read -r line; do
    [[ -n $line ]] || continue
    name=${line% (*}
    failures[$name]=$((${failures[$name]:-0} + 1))
    echo "   failed: $line"
  done <<<"$failed"
done
stop_hogs

echo
echo "== $runs runs beside two CPU hogs"
printf '%s\n' "${totals[@]}"
if [[ ${#failures[@]} -eq 0 ]]; then
  echo "no test failed"
  exit 0
fi
echo "failed at least once (times of $runs):"
for name in "${!failures[@]}"; do printf '%4d  %s\n' "${failures[$name]}" "$name"; done | sort -k2
exit 1
