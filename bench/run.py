#!/usr/bin/env python3
"""Benchmark of the DDCR and its building blocks against liquid-dsp, GNU Radio and SciPy, in one run.

    python3 bench/run.py            full run (2^24 samples, median of 5 passes)
    python3 bench/run.py --quick    short smoke run (2^20 samples, 3 passes)

Builds what it measures (build-bench/c: the C programs against this tree's
library; build-bench/py: the ddc_fn module), installs liquid-dsp and GNU Radio
with apt-get when they are missing, runs every case pinned to one core with taskset, prints a
table and writes bench/results/latest.md and latest.json (or --out FILE and
FILE with the suffix .json). See bench/README.md for how to read it.
"""
import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
BUILD = ROOT / "build-bench"

# DDCR rates: label shown, value passed on (as a fraction, so 1/12 is exact in every program).
DDCR_RATES = [("0.25", "1/4"), ("0.1", "1/10"), ("0.0625", "1/16"), ("1/12", "1/12"),
              ("0.3", "3/10"), ("0.01", "1/100"), ("0.45", "9/20"), ("0.04", "1/25"),
              ("0.02", "1/50"), ("0.0078125", "1/128")]
DESIGNED_DB = (60, 80, 100)  # designed plans measured (when the library has them)
GR_DB = (60, 80)             # GNU Radio chains measured
DDC_RATES = [("0.5", "1/2"), ("0.2", "1/5"), ("0.05", "1/20"), ("1.5", "3/2"), ("3", "3")]
STAGES = [  # (label, ddc_bench arguments, what the MS/s count)
    ("oscillator lo_steps", ["lo"], "output samples"),
    ("half-band R2C, 19 taps", ["hbr2c"], "real input samples"),
    ("half-band complex, 19 taps", ["hb"], "complex input samples"),
    ("CIC R=8", ["cic", "8"], "complex input samples"),
    ("CIC R=64", ["cic", "64"], "complex input samples"),
    ("FIR 7 real taps", ["fir", "7"], "complex samples"),
    ("FIR 63 real taps", ["fir", "63"], "complex samples"),
    ("resampler decimating 0.6", ["resamp", "0.6"], "complex input samples"),
    ("resampler interpolating 1.5", ["resamp", "1.5"], "complex input samples"),
    ("designed resampler 0.35, 80 dB", ["presamp", "0.35"], "complex input samples"),
    ("designed resampler 0.59, 80 dB", ["presamp", "0.59"], "complex input samples"),
    ("designed resampler 1.5, 80 dB", ["presamp", "1.5"], "complex input samples"),
    ("translating decimator 3/10, 80 dB", ["xlate", "0.3"], "real input samples"),
]
THREAD_RATE = "1/10"
LEVELS = {"scalar": 0, "avx2": 1, "avx512": 2}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def as_float(frac):
    num, _, den = frac.partition("/")
    return float(num) / float(den or 1)


def c_arg(frac):
    return repr(as_float(frac))  # shortest repr: strtod gives back the same double


def sh(cmd, timeout=None, env=None):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)


# --- set-up ------------------------------------------------------------------

def ensure_liquid(allow_install):
    header = Path("/usr/include/liquid/liquid.h")
    if header.exists():
        return "present"
    if not allow_install:
        return "missing (install skipped)"
    if not shutil.which("apt-get"):
        return "missing (no apt-get)"
    log("installing liquid-dsp (apt-get install libliquid-dev) ...")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
    r = sh(sudo + ["apt-get", "update", "-qq"], timeout=600, env=env)
    if r.returncode == 0:
        r = sh(sudo + ["apt-get", "install", "-y", "-qq", "libliquid-dev"], timeout=900, env=env)
    if r.returncode != 0 or not header.exists():
        return "missing (apt-get failed: " + (r.stderr.strip().splitlines() or ["?"])[-1] + ")"
    return "installed by the bench"


GR_PROBE = "from gnuradio import gr, blocks, filter; print(gr.version())"


def gnuradio_python():
    """(interpreter, version) of the first Python that imports GNU Radio, or (None, None).

    Debian's gnuradio is built for the system /usr/bin/python3, which need not
    be the interpreter running the bench."""
    seen = []
    for exe in (sys.executable, "/usr/bin/python3", shutil.which("python3")):
        if not exe or exe in seen or not Path(exe).exists():
            continue
        seen.append(exe)
        try:
            r = sh([exe, "-c", GR_PROBE], timeout=120)
        except subprocess.TimeoutExpired:
            continue
        if r.returncode == 0 and r.stdout.strip():
            return exe, r.stdout.strip().splitlines()[-1]
    return None, None


def ensure_gnuradio(allow_install):
    """Returns (interpreter or None, version or None, how it got there)."""
    exe, version = gnuradio_python()
    if exe:
        return exe, version, "present"
    if not allow_install:
        return None, None, "missing (install skipped)"
    if not shutil.which("apt-get"):
        return None, None, "missing (no apt-get)"
    log("installing GNU Radio (apt-get install gnuradio; a few minutes) ...")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    sudo = [] if os.geteuid() == 0 else ["sudo", "-n"]
    wait_lock = ["-o", "DPkg::Lock::Timeout=600"]
    try:
        r = sh(sudo + ["apt-get", *wait_lock, "update", "-qq"], timeout=900, env=env)
        if r.returncode == 0:
            r = sh(sudo + ["apt-get", *wait_lock, "install", "-y", "-qq", "gnuradio"], timeout=1800, env=env)
    except subprocess.TimeoutExpired:
        return None, None, "missing (apt-get timed out)"
    exe, version = gnuradio_python()
    if not exe:
        why = (r.stderr.strip().splitlines() or ["no interpreter imports gnuradio"])[-1]
        return None, None, f"missing (apt-get failed: {why})"
    return exe, version, "installed by the bench"


def cmake_build(src, build, extra, target=None):
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    r = sh(["cmake", "-S", str(src), "-B", str(build), *gen, "-DCMAKE_BUILD_TYPE=Release", *extra],
           timeout=600)
    if r.returncode == 0:
        r = sh(["cmake", "--build", str(build), *(["--target", target] if target else [])],
               timeout=1800)
    if r.returncode != 0:
        tail = "\n".join((r.stdout + r.stderr).strip().splitlines()[-15:])
        return False, tail
    return True, ""


def object_digests(objdir):
    """Digest of every library object file under a build's ddc.dir, by relative path."""
    import hashlib
    return {str(f.relative_to(objdir)): hashlib.sha256(f.read_bytes()).hexdigest()
            for f in sorted(objdir.rglob("*.o"))} if objdir.is_dir() else {}


def cache_value(build, key):
    cache = build / "CMakeCache.txt"
    if not cache.exists():
        return None
    for line in cache.read_text().splitlines():
        if line.startswith(key + ":"):
            return line.split("=", 1)[1]
    return None


def first_line(cmd):
    try:
        return sh(cmd, timeout=30).stdout.strip().splitlines()[0]
    except Exception:
        return None


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def git_state():
    rev = first_line(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"])
    dirty = sh(["git", "-C", str(ROOT), "status", "--porcelain", "--untracked-files=no", "--",
                "stages", "rate", "ddc", "design", "binding", "CMakeLists.txt"]).stdout.strip()
    return f"{rev}{' + uncommitted library changes' if dirty else ''}"


# --- running cases -------------------------------------------------------------

def run_json(cmd, cpus, timeout):
    """Runs cmd pinned to cpus; returns the JSON records it printed, or one error record."""
    full = ["taskset", "-c", cpus, *cmd] if shutil.which("taskset") else list(cmd)
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    try:
        r = sh(full, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return [{"error": f"timed out after {timeout} s"}]
    recs = []
    for line in r.stdout.splitlines():
        line = line.strip()
        if line.startswith("{"):
            try:
                recs.append(json.loads(line))
            except json.JSONDecodeError:
                pass
    if r.returncode != 0 and not any("error" in x for x in recs):
        why = f"signal {-r.returncode}" if r.returncode < 0 else f"exit {r.returncode}"
        err = (r.stderr.strip().splitlines() or [""])[-1]
        recs.append({"error": f"{why} {err}".strip()})
    return recs or [{"error": "no output"}]


def one(recs):
    return recs[0] if recs else {"error": "no output"}


# --- report --------------------------------------------------------------------

def fmt(v, digits=1):
    if v is None:
        return "–"
    if isinstance(v, str):
        return v
    return f"{v:.{digits}f}"


def ratio(a, b):
    if a is None or b is None or not b:
        return None
    return a / b


CLOCK_KEY = "msps"  # or "msps_cpu" with --clock cpu


def msps(rec):
    return rec.get(CLOCK_KEY) if rec and "error" not in rec else None


def contended(rec):
    """The core was not ours alone: the wall-clock median exceeds the CPU-time median by over 10 %."""
    return bool(rec and rec.get("median_cpu_s") and rec["median_s"] > 1.1 * rec["median_cpu_s"])


def cell(rec):
    if rec is None:
        return "–"
    if "error" in rec:
        return "error"
    return fmt(rec[CLOCK_KEY]) + ("*" if CLOCK_KEY == "msps" and contended(rec) else "")


def spread(rec):
    """min-max of the per-pass figures, same clock as the tables."""
    if not rec or "error" in rec or not rec.get("pass_s"):
        return "–"
    times = rec["cpu_s"] if CLOCK_KEY == "msps_cpu" else rec["pass_s"]
    per = [rec["samples"] / t * 1e-6 for t in times if t > 0]
    return f"{min(per):.1f}–{max(per):.1f}" if per else "–"


def check(recs):
    """"ok" when every implementation brought the carrier to 0 Hz (dc_purity above 0.9).

    recs: a list of records, or of (name, record) pairs when the impl field alone is ambiguous."""
    pairs = [x if isinstance(x, tuple) else ((x or {}).get("impl"), x) for x in recs]
    bad = [n for n, r in pairs if r and "error" not in r and not (r.get("dc_purity", 0) > 0.9)]
    return "ok" if not bad else "carrier not at 0 Hz: " + ", ".join(bad)


# --- machine limit --------------------------------------------------------------

def probe_best(runs):
    """Best of each probe figure over this run's probes (the start and the end of the run)."""
    ok = [p for p in runs if p and "error" not in p]
    if not ok:
        return None
    level = ok[0]["level_name"]
    levels = {lv for p in ok for lv in p.get("fma", {})}
    return {
        "level": level,
        "read_gbs": max(p["read_gbs"] for p in ok),
        "read_gbs_aligned": max(p["read_gbs_aligned"] for p in ok),
        "write_gbs": max(p["write_gbs"] for p in ok),
        "gfma_s": max((p["fma"][level]["gfma_s"] for p in ok if level in p.get("fma", {})), default=None),
        "gfma_s_by_level": {lv: max(p["fma"][lv]["gfma_s"] for p in ok if lv in p["fma"]) for lv in levels},
        "read_bytes": ok[0]["read_bytes"], "read_offset_mod64": ok[0]["read_offset_mod64"],
        "write_bytes_per_block": ok[0]["write_bytes_per_block"],
        "write_blocks_per_pass": ok[0]["write_blocks_per_pass"], "passes": ok[0]["passes"],
    }


def limit(rec, pb):
    """The machine limit of a throughput record, in its own units (MS/s), or None.

    min(bandwidth bound: one input sample's bytes read at the probe's read bandwidth plus
    its share of output bytes written at the write bandwidth; compute bound: multiply-add
    throughput over operations per sample), and the figure's share of it."""
    if not pb or not pb.get("gfma_s") or not rec or "error" in rec or rec.get("ops_per_input") is None \
            or "bytes_in_per_sample" not in rec:
        return None
    t = rec["bytes_in_per_sample"] / (pb["read_gbs"] * 1e9) + rec["bytes_out_per_sample"] / (pb["write_gbs"] * 1e9)
    bw = 1e-6 / t if t > 0 else float("inf")
    ops = rec["ops_per_input"]
    cpu = pb["gfma_s"] * 1e3 / ops if ops > 0 else float("inf")
    lim = min(bw, cpu)
    times = rec["cpu_s"] if CLOCK_KEY == "msps_cpu" else rec["pass_s"]
    fastest = rec["samples"] / min(times) * 1e-6 if times else None
    return {"limit_msps": lim, "bound": "bandwidth" if bw <= cpu else "compute",
            "bandwidth_msps": bw, "compute_msps": cpu, "ops_per_input": ops,
            "percent": 100.0 * msps(rec) / lim if msps(rec) else None,
            "percent_fastest_pass": 100.0 * fastest / lim if fastest else None}


def pct(lim):
    return fmt(lim["percent"], 0) + " %" if lim and lim.get("percent") is not None else "–"


def stage_split(rec):
    """Operations per input sample of each stage, in chain order: "9.5 + 2.5 + 9.5"."""
    st = (rec or {}).get("stage_ops") or []
    return " + ".join("?" if v is None else f"{v:.3g}" for _, v in st) or "–"


def ddcr_columns(res):
    """(header, record getter) of every DDCR implementation column in the report."""
    m = res["meta"]
    cols = [("C exact", lambda r: r["c"]), ("C exact, 4 KiB pages", lambda r: r.get("c_small"))]
    if m.get("designed"):
        cols += [(f"C {db} dB", lambda r, k=str(db): r["designed"].get(k)) for db in DESIGNED_DB]
    cols += [(f"GNU Radio {db} dB", lambda r, k=str(db): (r.get("gnuradio") or {}).get(k)) for db in GR_DB]
    cols += [("liquid", lambda r: r["liquid"]), ("SciPy", lambda r: r["scipy"]),
             ("Python", lambda r: r["py"])]
    return cols


def ddcr_ratios(res):
    """(header, numerator getter, denominator getter) of the ratio columns."""
    d = lambda db: (lambda r: r["designed"].get(str(db)))  # noqa: E731
    g = lambda db: (lambda r: (r.get("gnuradio") or {}).get(str(db)))  # noqa: E731
    exact = lambda r: r["c"]  # noqa: E731
    out = []
    if res["meta"].get("designed"):
        out += [("80 dB / GNU Radio 80", d(80), g(80)), ("80 dB / GNU Radio 60", d(80), g(60)),
                ("60 dB / exact", d(60), exact)]
    out += [("exact / GNU Radio 80", exact, g(80)), ("exact / liquid", exact, lambda r: r["liquid"]),
            ("exact / SciPy", exact, lambda r: r["scipy"]), ("Python / exact", lambda r: r["py"], exact)]
    return out


def report(res):
    m = res["meta"]
    out = []
    w = out.append
    w("# DDCR benchmark")
    w("")
    w(f"- when: {m['when']}; command: `{m['command']}`{' (quick smoke run: numbers are indicative only)' if m['quick'] else ''}")
    w(f"- CPU: {m['cpu']}; cases pinned to CPU {m['cpu_pinned']} (two-thread case: CPUs {m['cpus_threads']})")
    w(f"- compiler: {m['compiler_c']} / {m['compiler_cxx']}; build type {m['build_type']}, flags `{m['cxx_flags']}`")
    w(f"- library: commit {m['git']}; kernel variant {m['variant']} (CPU supports {m['variant_supported']})")
    w(f"- Python module: {m['module']}")
    w(f"- peers: liquid-dsp {m['liquid_version']} ({m['liquid']}); GNU Radio {m.get('gnuradio_version')} "
      f"({m.get('gnuradio')}; run by {m.get('gnuradio_python')}, VOLK machine {m.get('volk_machine')}); "
      f"SciPy {m['scipy_version']}, NumPy {m['numpy_version']}; Python {m['python']}")
    if not m.get("designed"):
        w("- designed plans: not in this library build (ddcr_create_designed missing), their columns are left out")
    w(f"- workload: {m['samples']} samples per pass in blocks of {m['block']}, median of {m['passes']} passes; "
      f"carrier at 0.2 of the input rate plus noise")
    huge = [r["c"].get("huge_kib") for r in res["ddcr"] if r.get("c") and "error" not in r["c"]]
    huge = [h for h in huge if h is not None]
    w("- memory: the C programs ask for transparent huge pages for their input (madvise), as NumPy does for "
      "the arrays of the Python cases and peers; "
      + (f"{min(huge) >> 10}–{max(huge) >> 10} MiB of each C case's memory was on huge pages. " if huge else "")
      + "The column C exact, 4 KiB pages runs the exact plan from an input on ordinary pages.")
    w(f"- clock: {m['clock']}" + (" (* marks a case whose wall-clock median exceeds its CPU-time median by "
                                  "more than 10 %: the core was shared, the figure is low)" if m['clock'] == 'wall' else ""))
    pb = (res.get("probe") or {}).get("best")
    if pb:
        runs = [p for p in res["probe"]["runs"] if p and "error" not in p]
        others = ", ".join(f"{lv} {g:.1f}" for lv, g in sorted(pb["gfma_s_by_level"].items()) if lv != pb["level"])
        gf = f"{pb['gfma_s']:.1f}" if pb["gfma_s"] else "–"
        w(f"- machine limit probe (`ddc_bench probe`, CPU {m['cpu_pinned']}, {pb['level']} kernels, best of "
          f"{pb['passes']} passes, 40 for multiply-adds, run at the start and at the end): read **{pb['read_gbs']:.1f} GB/s** "
          f"(sum over the DDCR input as its case allocates it, {pb['read_bytes'] >> 20} MiB at offset "
          f"{pb['read_offset_mod64']} mod 64; a 64-byte aligned copy {pb['read_gbs_aligned']:.1f}), write "
          f"**{pb['write_gbs']:.1f} GB/s** (stores into one {pb['write_bytes_per_block'] >> 10} KiB output "
          f"block, {pb['write_blocks_per_pass']} times a pass), **{gf} GFMA/s** "
          f"({pb['level']}, lanes counted; {others}); start / end of the run: read "
          + " / ".join(f"{p['read_gbs']:.1f}" for p in runs) + ", write "
          + " / ".join(f"{p['write_gbs']:.1f}" for p in runs) + ", GFMA/s "
          + " / ".join(f"{p['fma'][pb['level']]['gfma_s']:.1f}" for p in runs if pb["level"] in p["fma"]))
    elif res.get("probe"):
        w("- machine limit probe: failed, the limit columns are empty")
    if m.get("problems"):
        w(f"- problems: {'; '.join(m['problems'])}")
    w("")
    cols, ratios = ddcr_columns(res), ddcr_ratios(res)
    lim_cols = [("exact", "exact")] + ([("80 dB", "80")] if m.get("designed") else [])
    w("## DDCR throughput, MS/s of real input, median of the passes (higher is better)")
    w("")
    w("| rate | exact plan after 2:1 | " + " | ".join(h for h, _ in cols) + " | "
      + " | ".join(f"{h} % of limit" for h, _ in lim_cols) + " |")
    w("|---|---|" + "---|" * (len(cols) + len(lim_cols)))
    for row in res["ddcr"]:
        c = row["c"]
        w(f"| {row['label']} | {c.get('plan', '–') if c else '–'} | " + " | ".join(cell(f(row)) for _, f in cols)
          + " | " + " | ".join(pct((row.get("limit") or {}).get(k)) for _, k in lim_cols) + " |")
    w("")
    w("% of limit: the median against the most this core could do for the plan, min(bandwidth "
      "bound, compute bound) from the probe above (see the limit table below and bench/README.md).")
    w("")
    w("## DDCR ratios (above 1: the first is faster) and carrier check")
    w("")
    w("| rate | " + " | ".join(h for h, _, _ in ratios) + " | carrier check |")
    w("|---|" + "---|" * (len(ratios) + 1))
    for row in res["ddcr"]:
        w(f"| {row['label']} | " + " | ".join(fmt(ratio(msps(a(row)), msps(b(row))), 2) for _, a, b in ratios)
          + f" | {check([(h, f(row)) for h, f in cols])} |")
    w("")
    w("## Spread of the passes, MS/s (slowest–fastest pass)")
    w("")
    w("| rate | " + " | ".join(h for h, _ in cols) + " |")
    w("|---|" + "---|" * len(cols))
    for row in res["ddcr"]:
        w(f"| {row['label']} | " + " | ".join(spread(f(row)) for _, f in cols) + " |")
    w("")
    w("## DDCR against the machine limit")
    w("")
    w("Operations per input sample: every add, multiply and fused multiply-add on the signal "
      "path (one each, lanes counted), the CIC's and the oscillators' integer adds alike, by stage "
      "in chain order. Bandwidth bound: 4 bytes read per input sample at the probe's read bandwidth "
      "plus 8 x rate bytes written at its write bandwidth; compute bound: the probe's multiply-add "
      "throughput over the operations. Limit = the smaller, MS/s of real input; % = median (fastest "
      "pass) over the limit.")
    w("")
    w("| rate | " + " | ".join(f"{h} ops by stage | {h} ops | {h} bandwidth / compute bound | "
                            f"{h} limit | {h} MS/s | {h} % (fastest pass)" for h, _ in lim_cols) + " |")
    w("|---|" + "---|---|---|---|---|---|" * len(lim_cols))
    for row in res["ddcr"]:
        cells = []
        for _, k in lim_cols:
            rec = row["c"] if k == "exact" else row["designed"].get(k)
            lim = (row.get("limit") or {}).get(k)
            if not lim:
                cells += [stage_split(rec), "–", "–", "–", cell(rec), "–"]
                continue
            cells += [stage_split(rec), fmt(lim["ops_per_input"]),
                      f"{lim['bandwidth_msps']:.0f} / {lim['compute_msps']:.0f}",
                      f"{lim['limit_msps']:.0f} ({lim['bound']})", cell(rec),
                      f"{pct(lim)} ({fmt(lim['percent_fastest_pass'], 0)} %)"]
        w(f"| {row['label']} | " + " | ".join(cells) + " |")
    w("")
    w("## Filter work per input sample")
    w("")
    w("Real multiply-adds per input sample: ours from `ddcr_get_cost` (every stage, when the library "
      "has it); GNU Radio's filters alone, from their tap counts (2 per tap and output: a real input "
      "times a complex tap in the first stage, a complex sample times a real tap in the resampler).")
    w("")
    cost_cols = ([("exact", lambda r: r["c"])] if m.get("designed_cost") else []) + \
        ([(f"{db} dB", lambda r, k=str(db): r["designed"].get(k)) for db in DESIGNED_DB]
         if m.get("designed_cost") else [])
    plans = m.get("designed") and any(r["designed"].get("80", {}).get("plan") for r in res["ddcr"])
    w("| rate | " + "".join(f"ours {h} | " for h, _ in cost_cols)
      + "".join(f"GNU Radio {db} dB | " for db in GR_DB) + ("our plan at 80 dB | " if plans else "")
      + f"GNU Radio chain at {GR_DB[-1]} dB |")
    w("|---|" + "---|" * (len(cost_cols) + len(GR_DB) + 1 + bool(plans)))
    for row in res["ddcr"]:
        def cost(rec):
            return fmt(rec.get("cost_macs_per_input")) if rec and "error" not in rec else "–"

        grs = [(row.get("gnuradio") or {}).get(str(db)) for db in GR_DB]
        gcost = [fmt(g["filters"]["macs_per_input"]) if g and "filters" in g else "–" for g in grs]
        chain = grs[-1]["design"] if grs and grs[-1] and "design" in grs[-1] else "–"
        ours = (row["designed"].get("80") or {}).get("plan", "–")
        w(f"| {row['label']} | " + "".join(f"{cost(f(row))} | " for _, f in cost_cols)
          + "".join(f"{x} | " for x in gcost) + (f"{ours} | " if plans else "") + f"{chain} |")
    w("")
    w("## DDCR creation and memory")
    w("")
    w("| rate | first create, µs | later creates, median µs | bytes held at create | bytes held after one block |")
    w("|---|---|---|---|---|")
    for row in res["ddcr"]:
        cr = row["create"]
        if not cr or "error" in cr:
            w(f"| {row['label']} | {cr.get('error', '–') if cr else '–'} | | | |")
            continue
        w(f"| {row['label']} | {cr['first_us']:.1f} | {cr['later_us_median']:.2f} (of {cr['later_count']}) | "
          f"{cr['bytes_at_create']} | {cr['bytes_after_block']} |")
    w("")
    if m.get("designed"):
        w("Designed plans (`ddcr_create_designed`), creation time in µs: the first in a fresh process, "
          "then the median of the later ones (as many as fit in 2 s, at least 5, at most 50):")
        w("")
        w("| rate | " + " | ".join(f"{db} dB first | {db} dB later" for db in DESIGNED_DB) + " |")
        w("|---|" + "---|---|" * len(DESIGNED_DB))
        for row in res["ddcr"]:
            cells = []
            for db in DESIGNED_DB:
                cr = row["create_designed"].get(str(db))
                if not cr or "error" in cr:
                    cells += [cr.get("error", "–") if cr else "–", ""]
                else:
                    cells += [f"{cr['first_us']:.1f}", f"{cr['later_us_median']:.2f} (of {cr['later_count']})"]
            w(f"| {row['label']} | " + " | ".join(cells) + " |")
        w("")
    w("Bytes: glibc heap accounting (mallinfo2 uordblks + hblkhd, chunk overhead included) around the "
      "creation of a DDCR that is not the first in the process; \"after one block\" adds what the first "
      f"{m['block']}-sample block leaves allocated (the converter's scratch buffers).")
    w("")
    w("## DDC (complex input), MS/s of complex input")
    w("")
    dd = m.get("ddc_designed")
    w("| rate | plan | C exact |" + (" C 80 dB |" if dd else "") + " carrier check |")
    w("|---|---|---|" + ("---|" if dd else "") + "---|")
    for row in res["ddc"]:
        c, d80 = row["c"], row.get("designed_80")
        w(f"| {row['label']} | {c.get('plan', '–')} | {cell(c)} |" + (f" {cell(d80)} |" if dd else "")
          + f" {check([('exact', c), ('80 dB', d80)])} |")
    w("")
    w("## Stages alone (C interface)")
    w("")
    w("| stage | MS/s | counted | spread | ops per sample | bytes in + out | limit, MS/s | % of limit (fastest pass) |")
    w("|---|---|---|---|---|---|---|---|")
    for row in res["stages"]:
        c, lim = row["c"], row.get("limit")
        traffic = (f"{c['bytes_in_per_sample']:g} + {c['bytes_out_per_sample']:.3g}"
                   if c and "bytes_in_per_sample" in c else "–")
        w(f"| {row['label']} | {cell(c)} | {row['unit']} | {spread(c)} | "
          f"{fmt(lim['ops_per_input'], 2) if lim else '–'} | {traffic} | "
          + (f"{lim['limit_msps']:.0f} ({lim['bound']}) | {pct(lim)} ({fmt(lim['percent_fastest_pass'], 0)} %)"
             if lim else "– | –") + " |")
    w("")
    w("## Two threads, two states, through the Python module")
    w("")
    t = res["threads"]
    if t and "error" not in t:
        w(f"Rate {t['rate']:g}: one thread {t['one_thread_msps']:.1f} MS/s, two threads "
          f"{t['two_threads_msps']:.1f} MS/s together: speed-up **{t['speedup']:.2f}** (ideal 2); "
          f"the process kept {t['cores_busy']:.2f} cores busy (process CPU time / wall time: near 2 when "
          f"both threads ran at once, near 1 when they took turns). Control: two threads hashing "
          f"(interpreter lock released) reached a speed-up of {t['control_speedup']:.2f} at the same time, "
          f"which is what the two cores could give.")
    else:
        w(f"not measured: {t.get('error') if t else 'skipped'}")
    w("")
    return "\n".join(out)


# --- main ------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="short smoke run: 2^20 samples, 3 passes")
    ap.add_argument("--out", type=Path, default=BENCH / "results" / "latest.md",
                    help="Markdown report (the JSON goes beside it with the suffix .json)")
    ap.add_argument("--cpu", type=int, default=None, help="core to pin to (default: the last allowed one)")
    ap.add_argument("--simd", choices=sorted(LEVELS), default=None,
                    help="force a kernel variant (default: the library's choice for this CPU)")
    ap.add_argument("--samples", type=int, default=None, help="samples per pass (default 2^24)")
    ap.add_argument("--passes", type=int, default=None, help="timed passes (default 5)")
    ap.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                    help="time base of the tables (both are always in the JSON); cpu discounts time "
                         "the core spent on other processes")
    ap.add_argument("--no-install", action="store_true", help="do not apt-get install liquid-dsp")
    ap.add_argument("--no-cli", action="store_true",
                    help="skip the command line against the library (bench/cli_bench.py)")
    ap.add_argument("--no-bank", action="store_true",
                    help="skip the channel bank against N DDCRs and GNU Radio (bench/bank_bench.py)")
    args = ap.parse_args()
    global CLOCK_KEY
    CLOCK_KEY = "msps_cpu" if args.clock == "cpu" else "msps"

    samples = args.samples or (1 << 20 if args.quick else 1 << 24)
    passes = args.passes or (3 if args.quick else 5)
    block = 1 << 16
    allowed = sorted(os.sched_getaffinity(0))
    cpu = args.cpu if args.cpu is not None else allowed[-1]
    pair = [cpu] + [c for c in allowed if c != cpu][:1]
    cpus_threads = ",".join(map(str, pair)) if len(pair) == 2 else None
    simd = LEVELS.get(args.simd, -1) if args.simd else -1
    common = ["--samples", str(samples), "--block", str(block), "--passes", str(passes)]
    timeout = 600 if args.quick else 3600
    problems = []

    liquid = ensure_liquid(not args.no_install)
    gr_python, gr_version, gnuradio = ensure_gnuradio(not args.no_install)
    log("building the C programs (build-bench/c) ...")
    ok_c, err = cmake_build(BENCH, BUILD / "c", ["-DDDC_BUILD_PYTHON=OFF"])
    if not ok_c:
        problems.append("C build failed")
        log(err)
    bench_exe = BUILD / "c" / "ddc_bench"
    liquid_exe = BUILD / "c" / "liquid_peer"
    log("building the ddc_fn module (build-bench/py) ...")
    ok_py, err = cmake_build(ROOT, BUILD / "py", [f"-DPython_EXECUTABLE={sys.executable}"], target="ddc_fn")
    module_dir = str(BUILD / "py") if ok_py else None
    if not ok_py:
        log(err)
        installed = sh([sys.executable, "-c", "import ddc_fn; print(ddc_fn.__file__)"]).stdout.strip()
        module = f"installed {installed}" if installed else "unavailable"
        problems.append(f"module build failed, using {module}")
    else:
        module = "built by the bench: " + str(next((BUILD / "py").glob("ddc_fn*.so"), "?"))
    have_module = ok_py or "installed" in module
    if ok_c and ok_py and object_digests(BUILD / "c" / "ddc" / "CMakeFiles" / "ddc.dir") != \
            object_digests(BUILD / "py" / "CMakeFiles" / "ddc.dir"):
        problems.append("the C programs and the Python module were built from different library "
                        "objects (sources changed during the build?): Python / C compares unlike code")
    py = [sys.executable, str(BENCH / "py_worker.py")]
    pyargs = (["--module-dir", module_dir] if module_dir else []) + (["--simd", str(simd)] if simd >= 0 else [])
    simd_args = ["--simd", str(simd)] if simd >= 0 else []
    pin = str(cpu)

    info = one(run_json([str(bench_exe), "info"], pin, 60)) if bench_exe.exists() else {}
    # The core's limits, on the same core and buffer sizes as the cases; again at the end.
    probe = [one(run_json([str(bench_exe), "probe", *common, *simd_args], pin, 300))] \
        if bench_exe.exists() else []
    designed = bool(info.get("ddcr_designed"))
    ddc_designed = bool(info.get("ddc_designed"))
    import numpy
    try:
        import scipy
        scipy_version = scipy.__version__
    except ImportError:
        scipy_version = None
        problems.append("SciPy missing")

    res = {"ddcr": [], "ddc": [], "stages": [], "threads": None}
    py_recs, sp_recs = {}, {}
    rates_arg = ",".join(f for _, f in DDCR_RATES)
    if have_module:
        log("Python module, all rates ...")
        for rec in run_json(py + ["ours", "--rates", rates_arg, *common, *pyargs], pin, timeout):
            py_recs[rec.get("rate")] = rec
            if "error" in rec:
                problems.append(f"Python module: {rec['error']}")
    if scipy_version:
        chk = one(run_json(py + ["selfcheck"], pin, 300))
        if not chk.get("ok"):
            problems.append(f"SciPy peer self-check failed: {chk}")
        log("SciPy peer, all rates ...")
        for rec in run_json(py + ["scipy", "--rates", rates_arg, *common], pin, timeout):
            sp_recs[rec.get("rate")] = rec
    for label, frac in DDCR_RATES:
        r = as_float(frac)
        log(f"DDCR rate {label}: C{' (exact and designed)' if designed else ''}"
            f"{', GNU Radio' if gr_python else ''}, creation, liquid ...")
        row = {"label": label, "rate": r}
        # GNU Radio right beside our C cases of the same rate, so a burst of load on a shared
        # machine hits the two sides of a ratio alike rather than one of them
        row["gnuradio"] = {}
        if gr_python:
            recs = run_json([gr_python, str(BENCH / "py_worker.py"), "gnuradio", "--rates", frac,
                             "--atten", ",".join(map(str, GR_DB)), *common], pin, timeout)
            for db in GR_DB:
                row["gnuradio"][str(db)] = next((x for x in recs if x.get("atten_db") == db),
                                                next((x for x in recs if "error" in x), None))
            for rec in recs:
                if "error" in rec:
                    problems.append(f"GNU Radio peer at rate {label}: {rec['error']}")
        row["c"] = one(run_json([str(bench_exe), "ddcr", c_arg(frac), *common, *simd_args], pin, timeout)) \
            if bench_exe.exists() else {"error": "not built"}
        row["c_small"] = one(run_json([str(bench_exe), "ddcr", c_arg(frac), *common, "--pages", "small",
                                       *simd_args], pin, timeout)) if bench_exe.exists() else {"error": "not built"}
        row["create"] = one(run_json([str(bench_exe), "create", c_arg(frac), "--block", str(block),
                                      "--passes", "50", *simd_args], pin, timeout)) \
            if bench_exe.exists() else {"error": "not built"}
        row["designed"], row["create_designed"] = {}, {}
        for db in DESIGNED_DB if designed else ():
            atten = ["--atten", str(db)]
            row["designed"][str(db)] = one(run_json([str(bench_exe), "ddcr", c_arg(frac), *common, *atten,
                                                     *simd_args], pin, timeout))
            row["create_designed"][str(db)] = one(run_json(
                [str(bench_exe), "create", c_arg(frac), "--block", str(block), "--passes", "50", *atten,
                 *simd_args], pin, timeout))
            for what, rec in (("run", row["designed"][str(db)]), ("create", row["create_designed"][str(db)])):
                if "error" in rec:
                    problems.append(f"designed {db} dB at rate {label} ({what}): {rec['error']}")
        row["liquid"] = one(run_json([str(liquid_exe), c_arg(frac), *common], pin, timeout)) \
            if liquid_exe.exists() else None
        row["py"] = py_recs.get(r, next((x for x in py_recs.values() if "error" in x), None))
        row["scipy"] = sp_recs.get(r, next((x for x in sp_recs.values() if "error" in x), None))
        res["ddcr"].append(row)
    for label, frac in DDC_RATES:
        log(f"DDC rate {label} ...")
        rec = one(run_json([str(bench_exe), "ddc", c_arg(frac), *common, *simd_args], pin, timeout)) \
            if bench_exe.exists() else {"error": "not built"}
        drec = one(run_json([str(bench_exe), "ddc", c_arg(frac), *common, "--atten", "80", *simd_args],
                            pin, timeout)) if ddc_designed else None
        res["ddc"].append({"label": label, "rate": as_float(frac), "c": rec, "designed_80": drec})
    for label, cargs, unit in STAGES:
        log(f"stage {label} ...")
        rec = one(run_json([str(bench_exe), *cargs, *common, *simd_args], pin, timeout)) \
            if bench_exe.exists() else {"error": "not built"}
        res["stages"].append({"label": label, "unit": unit, "c": rec})
    if bench_exe.exists():
        log("machine limit probe, again ...")
        probe.append(one(run_json([str(bench_exe), "probe", *common, *simd_args], pin, 300)))
    for rec in probe:
        if "error" in rec:
            problems.append(f"machine limit probe: {rec['error']}")
    pb = probe_best(probe)
    res["probe"] = {"runs": probe, "best": pb}
    for row in res["ddcr"]:
        row["limit"] = {"exact": limit(row["c"], pb)}
        row["limit"].update({str(db): limit(row["designed"].get(str(db)), pb) for db in DESIGNED_DB if designed})
    for row in res["stages"]:
        row["limit"] = limit(row["c"], pb)
    if have_module and cpus_threads:
        log(f"two threads on CPUs {cpus_threads} ...")
        res["threads"] = one(run_json(py + ["threads", "--rates", THREAD_RATE, *common, *pyargs],
                                      cpus_threads, timeout))
    elif not cpus_threads:
        res["threads"] = {"error": "only one CPU available"}

    liquid_version = next((r["liquid"].get("liquid_version") for r in res["ddcr"]
                           if r.get("liquid") and "liquid_version" in r["liquid"]), None)
    cc = cache_value(BUILD / "c", "CMAKE_C_COMPILER")
    cxx = cache_value(BUILD / "c", "CMAKE_CXX_COMPILER")
    variant = info.get("simd_name", "unknown")
    supported = {v: k for k, v in LEVELS.items()}.get(info.get("simd_supported"), "unknown")
    res["meta"] = {
        "when": datetime.datetime.now().isoformat(timespec="seconds"),
        "command": " ".join(["python3", "bench/run.py", *sys.argv[1:]]),
        "quick": args.quick, "clock": args.clock, "samples": samples, "block": block, "passes": passes,
        "cpu": cpu_model(), "cpu_pinned": cpu, "cpus_threads": cpus_threads,
        "compiler_c": first_line([cc, "--version"]) if cc else None,
        "compiler_cxx": first_line([cxx, "--version"]) if cxx else None,
        "build_type": cache_value(BUILD / "c", "CMAKE_BUILD_TYPE"),
        "cxx_flags": " ".join(filter(None, [cache_value(BUILD / "c", "CMAKE_CXX_FLAGS"),
                                            cache_value(BUILD / "c", "CMAKE_CXX_FLAGS_RELEASE"),
                                            "-ffp-contract=off -fno-fast-math"])),
        "git": git_state(),
        "variant": variant + (" (forced)" if args.simd else ""), "variant_supported": supported,
        "module": module, "liquid": liquid, "liquid_version": liquid_version,
        "gnuradio": gnuradio, "gnuradio_version": gr_version, "gnuradio_python": gr_python,
        "volk_machine": first_line(["volk-config-info", "--machine"]) if shutil.which("volk-config-info") else None,
        "designed": designed, "ddc_designed": ddc_designed, "designed_cost": bool(info.get("ddcr_cost")),
        "scipy_version": scipy_version, "numpy_version": numpy.__version__,
        "python": platform.python_version(), "problems": problems,
    }
    text = report(res)
    if not args.no_cli:
        # The installed ddc command against the installed library, same data and rate.
        log("command line against the library (bench/cli_bench.py)")
        cmd = [sys.executable, str(BENCH / "cli_bench.py"), "--mib", "64" if args.quick else "1024",
               "--repeat", "2" if args.quick else "5"]
        try:
            cli = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError) as e:
            cli = f"not measured: {e}"
        res["cli"] = cli
        text += ("\n\n## Command line against the library (bench/cli_bench.py, same run)\n\n"
                 "Ratios of the `ddc` command's throughput to the library's `process()` on the same "
                 "recording and rate (file to file, pipe to pipe), real f32 and complex cf32: `ratio` "
                 "with the start-up, `steady` without it (see bench/README.md).\n\n"
                 "```\n" + cli + "\n```")
    if not args.no_bank:
        # The channel bank, pinned like every other case; GNU Radio's channelizers in the same run.
        log("channel bank against N designed DDCRs and GNU Radio (bench/bank_bench.py)")
        cmd = [sys.executable, str(BENCH / "bank_bench.py"), "--gnuradio"]
        if args.quick:
            cmd += ["--counts", "1,16,256", "--seconds", "0.05", "--gr-seconds", "0.02"]
        if shutil.which("taskset"):
            cmd = ["taskset", "-c", str(cpu)] + cmd
        try:
            bank = subprocess.run(cmd, capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError) as e:
            bank = f"not measured: {e}"
        res["bank"] = bank
        text += ("\n\n## Channel bank (bench/bank_bench.py, same run, CPU " + str(cpu) + ")\n\n"
                 "Channels x input MS/s of one 20 MS/s real stream (25 kHz channels, fs_out 32 kHz, "
                 "80 dB, random carriers); headroom is the bank's speed over real time; speed-up is "
                 "over N independent designed DDCRs on the same input.\n\n"
                 "```\n" + bank + "\n```")
    print(text)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text + "\n")
    args.out.with_suffix(".json").write_text(json.dumps(res, indent=1) + "\n")
    log(f"wrote {args.out} and {args.out.with_suffix('.json')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
