#!/usr/bin/env bash
# Instructions executed per input of the resampler and CIC cases (tests/arm/count.cpp)
# at the scalar and the NEON level, counted under qemu-aarch64: every
# translated block's length from the in_asm log, times its executions from
# the exec log (chaining off), leaving out the driver's own main and buffers.
# The difference of two stream lengths drops the set-up. An instruction count, not a time: it says nothing of latencies or
# of a core's width. Usage: tests/arm/count.sh [build-dir] (after run.sh)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build-arm}"
aarch64-linux-gnu-g++ -std=c++20 -O2 -ffp-contract=off -static -I "$root" \
  "$root/tests/arm/count.cpp" "$build/libddc.a" -o "$build/count"

insns() {  # case level n
  qemu-aarch64 -d in_asm,exec,nochain -D /dev/fd/3 "$build/count" "$1" "$2" "$3" 3>&1 >/dev/null | awk '
    /^IN:/ { inblk = 1; first = ""; cnt = 0; next }
    inblk && /^0x[0-9a-f]+:/ { if (first == "") first = substr($1, 1, length($1) - 1); cnt++; next }
    inblk && first != "" { len[first] = cnt; inblk = 0 }
    /^Trace/ && $5 != "main" && $5 !~ /^_ZNSt6vector/ { split($4, f, "/"); pc = "0x" substr(f[2], 9); total += len[pc] }
    END { print total }'
}

n1=2000 n2=6000
printf '%-18s %12s %12s %8s\n' case scalar/input neon/input ratio
for c in resamp_decim19 resamp_decim32 resamp_interp19 resamp_interp40 presamp_0.31 presamp_0.8 presamp_1.7 xlate_0.3 cic_8 cic_16 cic_64 ddcr80_0.0625 ddcr80_0.01; do
  s=$(( ($(insns "$c" 0 $n2) - $(insns "$c" 0 $n1)) ))
  v=$(( ($(insns "$c" 3 $n2) - $(insns "$c" 3 $n1)) ))
  awk -v c="$c" -v s="$s" -v v="$v" -v d=$((n2 - n1)) 'BEGIN { printf "%-18s %12.1f %12.1f %8.2f\n", c, s / d, v / d, s / v }'
done
