#!/usr/bin/env bash
# Builds the libFuzzer harness and runs it for a bounded time.
#
#   fuzz/run.sh [SECONDS] [BUILD_DIR] [extra libFuzzer flags...]
#
# SECONDS defaults to 60, BUILD_DIR to build-fuzz in the repository root.
# New corpus entries go to a scratch directory (the committed seeds in
# fuzz/corpus are only read), crash reproducers to BUILD_DIR/artifacts.
# Exits non-zero on any finding: a sanitizer report, a broken invariant, a
# timeout or running out of memory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
secs="${1:-60}"
build="${2:-$root/build-fuzz}"
shift $(( $# < 2 ? $# : 2 ))
case "$build" in /*) ;; *) build="$root/$build" ;; esac

command -v clang++ >/dev/null || { echo "fuzz: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; }
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target fuzz_native

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/artifacts"
# The harness refuses the library any single allocation above 1 GiB, so
# libFuzzer's malloc limit (the RSS limit) only catches the harness itself.
"$build/fuzz_native" -max_total_time="$secs" -timeout=30 -rss_limit_mb=3072 \
  -print_final_stats=1 -artifact_prefix="$build/artifacts/" "$@" \
  "$work" "$root/fuzz/corpus" 2>"$work.log" || {
    status=$?
    grep -v -E '^#[0-9]+' "$work.log" | tail -60 >&2
    echo "fuzz: FAILED (exit $status); reproducer in $build/artifacts/" >&2
    rm -f "$work.log"
    exit 1
  }
runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log")"
cov="$(grep -E '^#[0-9]+.*(DONE|cov:)' "$work.log" | tail -1 | sed -n 's/.*cov: *\([0-9]*\).*/\1/p')"
rm -f "$work.log"
echo "fuzz: ${runs:-?} inputs executed in ${secs}s, ${cov:-?} edges covered, no findings"
