#!/usr/bin/env bash
# Builds the native library with ThreadSanitizer and runs the thread driver:
# racing first creations (sine table, resampler bank) and parallel handles.
# Fails on any data race TSan reports or on a thread whose output differs.
#
#   tests/sanitize/tsan.sh [BUILD_DIR]      (default build-tsan)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-tsan}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac

flags="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -G Ninja -DDDC_BUILD_PYTHON=OFF -DDDC_INSTALL_NATIVE=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$build" --target ddc
archive="$(ls -t "$build"/lib*ddc*.a | head -n 1)"
g++ -std=c++20 -O1 -g $flags -I "$root" "$root/tests/sanitize/thread_driver.cpp" "$archive" \
  -lm -pthread -o "$build/thread_driver"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" "$build/thread_driver" 8
