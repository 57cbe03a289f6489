#!/usr/bin/env bash
# Every scripted server fault of the simulator x 1, 3 and 5 concurrent Download
# Only jobs, run by the real main window (offscreen); prints the outcome table.
# Exits 1 when any cell holds a wrong file shown as a success (or a job that
# neither succeeded nor failed). Usage: bench/fault_matrix.sh [build dir] [row filter]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 fault_matrix >/dev/null
QT_QPA_PLATFORM=offscreen "$build/bench/fault_matrix" "$build/bin" "${2:-}"
