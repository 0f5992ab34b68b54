#!/usr/bin/env bash
# Builds the library and the ddc_fn extension with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++'s runtimes) and runs the whole pytest suite
# against that build. Any sanitizer report aborts the Python process, which
# fails the run.
#
#   tests/sanitize/run.sh [BUILD_DIR] [pytest args...]
#   DDC_SANITIZE_LEVELS=all tests/sanitize/run.sh ...   (once per kernel variant)
#   DDC_SANITIZE_LEVELS=kernels ...   (whole suite at the best variant, stage tests at the others)
#
# BUILD_DIR defaults to build-asan in the repository root. The Python process
# gets the sanitizer runtimes preloaded (the interpreter itself is not
# instrumented); leak detection is off for it because CPython keeps memory
# until exit by design. Native leak checking is done by tests/sanitize/leaks.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-asan}"
shift || true
case "$build" in /*) ;; *) build="$root/$build" ;; esac

# float-cast-overflow is not part of GCC's "undefined" group; the phase and count
# conversions are exactly where it matters.
flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -G Ninja \
  -DPython_EXECUTABLE="$(command -v python3)" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build"

ext="$(ls "$build"/ddc_fn*.so | head -n 1)"
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
for lib in "$asan" "$ubsan"; do
  [ -e "$lib" ] || { echo "sanitizer runtime missing: $lib" >&2; exit 1; }
done

# A build that silently lost its instrumentation would pass everything.
if command -v nm >/dev/null; then
  syms="$(nm -D "$ext")"
  grep -q __asan_report <<<"$syms" || { echo "$ext is not built with AddressSanitizer" >&2; exit 1; }
  grep -q __ubsan_handle <<<"$syms" || { echo "$ext is not built with UBSan" >&2; exit 1; }
fi

cd "$root"
export DDC_FN_PATH="$ext"
export PYTHONPATH="$build:$root/binding:$root/tests/sanitize${PYTHONPATH:+:$PYTHONPATH}"
export DDC_SANITIZED=1
export LD_PRELOAD="$asan:$ubsan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# --capture=sys: native reports on fd 2 reach the log even when the process aborts.
# The size tests ask for absurd allocations on purpose; ASan warns about each
# refused one, which is only noise here.
run_suite() {
  python3 -m pytest -q -p no:cacheprovider -p pytest_sanitize --capture=sys "$@" 2>&1 |
    sed -u -e 's/==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes//' -e '/^$/d'
}
# DDC_SANITIZE_LEVELS=all runs the suite once per kernel variant this CPU has
# (scalar, AVX2, AVX-512), forced through DDC_TEST_SIMD_LEVEL; =kernels runs the
# whole suite at the best variant and the stage and plan tests at the others;
# otherwise once with the variant the library picks by itself.
kernel_tests=(tests/test_simd_*.py tests/test_lo.py tests/test_nco.py tests/test_hbdecim*.py
              tests/test_cic.py tests/test_fir.py tests/test_resamp*.py tests/test_presamp.py
              tests/test_rate_converter.py tests/test_ddcr.py tests/test_ddc.py
              tests/test_designed.py tests/test_chanbank.py tests/test_sizes.py)
if [ "${DDC_SANITIZE_LEVELS:-}" = all ] || [ "${DDC_SANITIZE_LEVELS:-}" = kernels ]; then
  top="$(python3 -c 'import ctypes, sys; print(ctypes.CDLL(sys.argv[1]).ddc_simd_supported())' "$ext")"
  for level in $(seq "$top" -1 0); do
    if [ "$DDC_SANITIZE_LEVELS" = kernels ] && [ "$level" != "$top" ]; then
      echo "== kernel variant $level of 0..$top (stage and plan tests)"
      DDC_TEST_SIMD_LEVEL="$level" run_suite "${kernel_tests[@]}" "$@"
    else
      echo "== kernel variant $level of 0..$top"
      DDC_TEST_SIMD_LEVEL="$level" run_suite "$@"
    fi
  done
else
  run_suite "$@"
fi
