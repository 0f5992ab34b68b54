"""The ddc command against the library on the same data and rate, in one run.

For a real (f32) and a complex (cf32) recording it times:
  library   the converter's process() over the recording already in memory,
            blocks of the command's default size into one reused output buffer;
  file      `ddc IN --force -o OUT` (read, convert, write, fsync, rename);
  pipe      `FEED IN | ddc | cat >/dev/null` (standard input to standard output),
            FEED moving the recording into the pipe with splice(2), without a
            copy, as a capture tool hands over its buffers: the figure is the
            command's own work, not the producer's;
  cat pipe  the same with `cat IN` as the producer (two more copies of every
            byte, on the same two cores);
and prints each command's throughput as a ratio of the library's:
  ratio     wall time, start-up (Python, NumPy) included;
  steady    wall time less the same command's on an empty input: the
            throughput once running, what a long recording sees;
  cpu       processor time of the library over that of the command (for the
            pipe, less what `cat IN | cat >/dev/null` takes), steady as well:
            the share of the work that is conversion. With a second core free
            for the reader and writer threads, steady approaches min(1, 2 * cpu).
Every figure is the best of --repeat rounds, each round running every case
once, the library's among them; figures taken on a busy machine (see
the load average printed) fall short. Uses the installed package; not part of
the test suite.

    python3 bench/cli_bench.py [--mib 1024] [--rate 0.1] [--repeat 3] [--dir DIR]
"""
import argparse
import os
import resource
import shlex
import subprocess
import sys
import tempfile
import time

import numpy as np

from quorvel.ddc import DDC, DDCR, cli
from quorvel.ddc.api import DEFAULT_ATTEN_DB

COMMAND = [sys.executable, "-m", "quorvel.ddc.cli"]
# Standard output gets the file named by argv[1] through splice(2), a plain copy where that fails.
FEED = r"""
import os, sys
src = os.open(sys.argv[1], os.O_RDONLY)
try:
    import fcntl
    fcntl.fcntl(1, getattr(fcntl, "F_SETPIPE_SZ", 1031), 1 << 20)
except (OSError, ImportError):
    pass
try:
    while os.splice(src, 1, 1 << 20):
        pass
except (AttributeError, OSError):
    while True:
        b = os.read(src, 1 << 20)
        if not b:
            break
        os.write(1, b)
"""


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(fn):
    """(wall seconds, processor seconds) of one run of fn, children included."""
    c0, p0, t0 = children_cpu(), time.process_time(), time.perf_counter()
    fn()
    return time.perf_counter() - t0, children_cpu() - c0 + time.process_time() - p0


def library(x, is_complex, norm_freq, rate):
    """A function that runs the converter over x once, and its closer."""
    conv = (DDC if is_complex else DDCR)(norm_freq, rate, atten_db=DEFAULT_ATTEN_DB)
    out = np.empty(conv.capacity(cli.BLOCK), np.complex64)

    def run():
        conv.reset()
        for i in range(0, len(x), cli.BLOCK):
            conv.process(x[i:i + cli.BLOCK], out=out)

    return run, conv.close


def shell(cmd):
    return lambda: subprocess.run(cmd, shell=True, check=True, stdin=subprocess.DEVNULL)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--mib", type=int, default=1024, help="recording size in MiB (default 1024)")
    p.add_argument("--rate", type=float, default=0.1, help="fs_out / fs_in (default 0.1)")
    p.add_argument("--repeat", type=int, default=3, help="runs per figure, best kept (default 3)")
    p.add_argument("--dir", default=None, help="where the recordings go (default: a temporary "
                                                 "directory under the system's)")
    args = p.parse_args(argv)
    plan = f"{DEFAULT_ATTEN_DB:g} dB plan"
    print(f"rate {args.rate:g}, {args.mib} MiB per recording, {plan}, best of {args.repeat}, "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f} at the start")
    print(f"{'input':<6} {'path':<8} {'MS/s':>8} {'ratio':>7} {'steady':>7} {'cpu':>7} "
          f"{'start s':>8}")
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        rng = np.random.default_rng(1)
        for kind, is_complex, carrier in (("f32", False, 0.2), ("cf32", True, 0.1)):
            n = args.mib * (1 << 20) // (8 if is_complex else 4)
            x = np.empty(n, np.complex64 if is_complex else np.float32)
            t = np.arange(1 << 16)
            tone = np.exp(2j * np.pi * carrier * t) if is_complex else np.cos(2 * np.pi * carrier * t)
            for i in range(0, n, 1 << 16):
                m = min(1 << 16, n - i)
                x[i:i + m] = tone[:m] + 1e-3 * rng.standard_normal(m)
            src, empty = os.path.join(tmp, f"in.{kind}"), os.path.join(tmp, f"empty.{kind}")
            with open(src, "wb") as f:
                x.tofile(f)
                f.flush()
                os.fsync(f.fileno())  # no write-back of it while the runs are timed
            open(empty, "wb").close()
            norm_freq = -carrier if is_complex else -(2 * carrier + 0.5)
            run_lib, close = library(x, is_complex, norm_freq, args.rate)
            tune = f"-n {carrier} -r {args.rate} -q"
            out = os.path.join(tmp, "out.cf32")
            ddc = " ".join(COMMAND)
            feed = f"{shlex.quote(sys.executable)} -c {shlex.quote(FEED)}"
            runs = {
                "file": (lambda f: f"{ddc} {f} {tune} --force -o {out}", lambda f: None),
                "pipe": (lambda f: f"{feed} {f} | {ddc} -f {kind} {tune} | cat >/dev/null",
                         lambda f: f"{feed} {f} | cat >/dev/null"),
                "cat pipe": (lambda f: f"cat {f} | {ddc} -f {kind} {tune} | cat >/dev/null",
                             lambda f: f"cat {f} | cat >/dev/null"),
            }
            cases = {"lib": run_lib}
            for path, (make, transport) in runs.items():
                cases[path, "full"] = shell(make(src))
                cases[path, "empty"] = shell(make(empty))
                if transport(src):
                    cases[path, "carry"] = shell(transport(src))
            # Rounds over every case, best of each kept: a slow spell of the
            # machine then hits the library and the commands alike.
            got = {k: [] for k in cases}
            for _ in range(args.repeat):
                for k, fn in cases.items():
                    got[k].append(timed(fn))
            close()
            del x
            wall = {k: min(w for w, _ in v) for k, v in got.items()}
            proc = {k: min(c for _, c in v) for k, v in got.items()}
            lib_s, lib_cpu = wall["lib"], proc["lib"]
            print(f"{kind:<6} {'lib':<8} {n / lib_s / 1e6:>8.1f} {1:>7.2f} {1:>7.2f} {1:>7.2f}")
            for path in runs:
                full, start = wall[path, "full"], wall[path, "empty"]
                # the command's own processor time
                own = proc[path, "full"] - proc[path, "empty"] - proc.get((path, "carry"), 0.0)
                # Minima of separate runs: the pipe's transport can leave nothing to divide by.
                cpu = f"{lib_cpu / own:>7.2f}" if own > 0.05 * lib_cpu else f"{'n/a':>7}"
                print(f"{kind:<6} {path:<8} {n / full / 1e6:>8.1f} {lib_s / full:>7.2f} "
                      f"{lib_s / max(full - start, 1e-9):>7.2f} {cpu} {start:>8.2f}")
            os.unlink(src)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
