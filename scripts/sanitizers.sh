#!/usr/bin/env bash
# Builds and runs the whole suite twice: AddressSanitizer+UBSan, then ThreadSanitizer.
# Usage: scripts/sanitizers.sh [asan|tsan]...   (default: both)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/deps.sh" --sanitizers
kinds=("$@")
[ ${#kinds[@]} -eq 0 ] && kinds=(asan tsan)
status=0
for kind in "${kinds[@]}"; do
  case "$kind" in
    asan) flag=-DVANTOREL_ASAN=ON ;;
    tsan) flag=-DVANTOREL_TSAN=ON ;;
    *) echo "unknown sanitizer: $kind" >&2; exit 2 ;;
  esac
  build="$root/build-$kind"
  echo "== $kind build in $build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug "$flag" >/dev/null
  cmake --build "$build" -j "$(nproc)"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp print_suppressions=0"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # Qt and libcurl are not built with the thread sanitizer: their locks (Qt's
  # are futex based) are invisible to it, so the memmove/free calls they make
  # under those locks would look like races. Only calls from our code count.
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1 suppressions=$root/scripts/tsan.supp"
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" --timeout 600) || status=1
done
exit $status
