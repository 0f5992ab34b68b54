"""process_many: one converter per stream, on threads or a Dask cluster, equal to one at a time.

Exact-plan jobs are checked against the ddc_fn calls, designed ones and complex
ones (through a DDC) against one converter object fed the whole stream.
"""
import concurrent.futures
import os

import numpy as np
import pytest

import ddc_fn
from quorvel.ddc import DDC, DDCR, Job, norm_freq_for, process_many


def single_stream(x, carrier, rate, atten_db=None):
    if atten_db is not None:
        return DDCR(norm_freq_for(carrier), rate, atten_db=atten_db).process(x)
    state = ddc_fn.ddcr_create(norm_freq_for(carrier), rate)
    out = np.empty(len(x) + 16, np.complex64)
    return ddc_fn.ddcr_execute(state, x, out).copy()


def wideband(n=30011, seed=5):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    x = sum(a * np.cos(2 * np.pi * f * t) for f, a in [(0.1, 0.3), (0.2, 0.2), (0.3, 0.25), (0.4, 0.1)])
    return (x + 0.01 * rng.standard_normal(n)).astype(np.float32)


# Channels of one wideband recording, at different rates (different cascades).
CHANNELS = [(0.1, 0.25), (0.2, 0.05), (0.3, 0.1), (0.4, 0.0125), (0.15, 0.37)]


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    x = wideband()
    path = tmp_path_factory.mktemp("many") / "wide.f32"
    x.tofile(path)
    return x, path


def expected(x, atten_db=None):
    return [single_stream(x, c, r, atten_db) for c, r in CHANNELS]


def check(results, want):
    assert len(results) == len(want)
    for got, w in zip(results, want):
        assert got.dtype == np.complex64 and got.tobytes() == w.tobytes()


def test_thread_pool_over_arrays_and_files_equals_single_streams(recording):
    x, path = recording
    # Arrays as tuples (the default designed plan), files as mappings with the
    # exact plan, in one call; several workers.
    jobs = [(x, c, r) for c, r in CHANNELS] + [{"source": path, "carrier": c, "rate": r,
                                                "atten_db": None} for c, r in CHANNELS]
    check(process_many(jobs, max_workers=3), expected(x, 80.0) + expected(x))


def test_complex_jobs_go_through_a_ddc_and_atten_db_is_per_job(recording, tmp_path):
    x, _ = recording
    rng = np.random.default_rng(2)
    z = (rng.standard_normal(12007) + 1j * rng.standard_normal(12007)).astype(np.complex64)
    specs = [(-0.2, 0.05, None), (0.3, 1.5, 60.0), (0.1, 3.0, None), (0.0, 2 ** -10, 120.0)]
    jobs = [Job(z, c, r, atten_db=a) for c, r, a in specs]
    jobs.append(Job(z, -0.2, 0.05, atten_db=None, output=tmp_path / "z.cf32"))
    jobs.append(Job(x, 0.1, 0.25, atten_db=40))
    got = process_many(jobs, max_workers=2)
    want = [DDC(-c, r, atten_db=a).process(z) for c, r, a in specs]
    want += [want[0], DDCR(norm_freq_for(0.1), 0.25, atten_db=40).process(x)]
    got[4] = np.fromfile(got[4], np.complex64)
    check(got, want)
def test_hz_tuning_and_file_outputs(recording, tmp_path):
    x, path = recording
    fs = 1e6
    jobs = [Job(path, c * fs, r, fs=fs, output=tmp_path / f"ch{i}.cf32", atten_db=None)
            for i, (c, r) in enumerate(CHANNELS)]
    paths = process_many(jobs)
    assert paths == [os.fspath(tmp_path / f"ch{i}.cf32") for i in range(len(CHANNELS))]
    want = [single_stream(x, (c * fs) / fs, r) for c, r in CHANNELS]
    check([np.fromfile(p, np.complex64) for p in paths], want)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(os.path.basename(p) for p in paths)


def test_any_concurrent_futures_executor_serves_as_client(recording):
    x, _ = recording
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        check(process_many([(x, c, r) for c, r in CHANNELS], client=pool), expected(x, 80.0))


@pytest.mark.parametrize("job,error,match", [
    ((np.zeros(8, np.float32), 0.1, 0.5), ValueError, r"\(0, 0.5\)"),
    ((np.zeros(8, np.float32), float("nan"), 0.25), ValueError, "finite"),
    ((np.zeros(8, np.float32), 6000.0, 0.25), ValueError, "give fs="),
    ((np.zeros(8), 0.1, 0.25), TypeError, "float32"),
    ((np.zeros(8, np.complex128), 0.1, 0.25), TypeError, "complex64"),
    ((np.zeros(8, np.complex64), 0.5, 0.25), ValueError, r"\(-0.5, 0.5\)"),
    ({"source": np.zeros(8, np.complex64), "carrier": 0.1, "rate": 1e-5, "atten_db": None},
     ValueError, r"\(2\^-32, 2\^32\)"),
    ({"source": np.zeros(8, np.float32), "carrier": 0.1, "rate": 0.25, "atten_db": 20},
     ValueError, r"\[40, 120\]"),
    ({"source": np.zeros(8, np.float32), "carrier": 0.1}, TypeError, "rate"),
])
def test_malformed_jobs_fail_before_anything_runs(job, error, match):
    with pytest.raises(error, match=match):
        process_many([(np.zeros(8, np.float32), 0.1, 0.25), job])


def test_a_failing_job_raises_and_leaves_no_output(tmp_path):
    good = tmp_path / "in.f32"
    np.zeros(1000, np.float32).tofile(good)
    jobs = [Job(good, 0.1, 0.25, output=tmp_path / "a.cf32"),
            Job(tmp_path / "missing.f32", 0.1, 0.25, output=tmp_path / "b.cf32")]
    with pytest.raises(Exception, match="missing.f32"):
        process_many(jobs)
    assert not (tmp_path / "b.cf32").exists()
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".part")]


def test_no_jobs_gives_no_results():
    assert process_many([]) == []


def test_dask_local_cluster_equals_single_streams(recording):
    distributed = pytest.importorskip("distributed")
    x, path = recording
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        jobs = [(x, c, r) for c, r in CHANNELS] + [(path, c, r) for c, r in CHANNELS]
        results = process_many(jobs, client=client)
    want = expected(x, 80.0)
    check(results, want + want)


# --- shared_input: one ChannelBank per input -------------------------------------

SHARED = [(0.1, 0.0125), (0.2, 0.005), (0.3, 0.0016), (0.4, 0.0125)]


def bank_outputs(x, specs, atten=80.0):
    from quorvel.ddc import ChannelBank
    with ChannelBank(atten_db=atten, max_rate=max(r for _, r in specs)) as bank:
        ids = [bank.add(c, r, atten_db=atten) for c, r in specs]
        parts = [bank.process(x[i:i + 50000]) for i in range(0, len(x), 50000)]
    return [np.concatenate([p[i] for p in parts]) for i in ids]


def test_shared_input_groups_jobs_of_one_input_into_a_bank(tmp_path):
    x = wideband(400003, 9)
    path = tmp_path / "wide.f32"
    x.tofile(path)
    y = x.copy()  # equal samples, another object: its own group
    jobs = ([(x, c, r) for c, r in SHARED] + [(path, c, r) for c, r in SHARED[:2]] +
            [(y, 0.2, 0.005), {"source": x, "carrier": 0.3, "rate": 0.05, "atten_db": None}])
    got = process_many(jobs, max_workers=2, shared_input=True)
    check(got[:4], bank_outputs(x, SHARED))
    check(got[4:6], bank_outputs(x, SHARED[:2]))
    check(got[6:], [DDCR(norm_freq_for(0.2), 0.005).process(y), single_stream(x, 0.3, 0.05)])
    # the converters' figures: the tone on each carrier at its level, as the DDCR gives it
    for (c, r), g in zip(SHARED, got[:4]):
        ref = DDCR(norm_freq_for(c), r).process(x)
        assert len(ref) - 57344 * 2 * r - 8 <= len(g) <= len(ref) + 2
        level = lambda v: 20 * np.log10(np.mean(np.abs(v[len(v) // 2:])))  # noqa: E731
        assert abs(level(g) - level(ref)) < 0.05
    # by default each job keeps its own converter's bits
    check(process_many(jobs[:4]), [DDCR(norm_freq_for(c), r).process(x) for c, r in SHARED])
