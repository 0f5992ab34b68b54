#!/usr/bin/env bash
# AArch64 check on an x86-64 machine: cross-compiles the static library and
# the native variant driver (tests/arm/variants.cpp) for aarch64 and runs it
# under qemu user-mode emulation, so every NEON kernel is compared with the
# scalar one. Installs the cross toolchain and qemu (Debian packages) when
# missing. Usage: tests/arm/run.sh [build-dir]
# The Python suite is not run this way: Debian's cross packages give an
# aarch64 libc and libstdc++ but no aarch64 CPython, NumPy or SciPy, and those
# would need a whole aarch64 root (debootstrap or a multiarch install) under
# qemu, which is slow and heavy for CI; the driver covers the kernel cases.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-arm}"

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
  echo "== installing the aarch64 cross toolchain and qemu-user"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-aarch64-linux-gnu qemu-user >/dev/null
fi

echo "== cross-compiling the library for aarch64"
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$root" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
  -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
  -DDDC_BUILD_PYTHON=OFF -DDDC_INSTALL_NATIVE=OFF >/dev/null
cmake --build "$build" --target ddc
grep -q 'DDC_ISA_NEON:INTERNAL=1' "$build/CMakeCache.txt" || echo "warning: NEON kernels not built" >&2

# Static, so qemu needs no aarch64 root for the loader and libraries.
aarch64-linux-gnu-g++ -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -static -I "$root" \
  "$root/tests/arm/variants.cpp" "$build/libddc.a" -o "$build/variants"

echo "== variants against scalar under qemu-aarch64"
qemu-aarch64 "$build/variants"
