"""Measurements of the benchmark: each function returns plain records (dicts)."""

import functools
import gc
import math
import os
import platform
import statistics
import tempfile
import time
import warnings
from pathlib import Path

import alternatives as alt
import numpy as np

import kavrel

SAMPLE_RATE = 44100.0
SIZES = (12, 88, 256, 1024, 4096)
HOPS = (64, 1024)
PARALLEL_SIZES = (256, 512, 1024, 2048, 4096)
LIBROSA_MAX_BINS = 1024  # beyond, one cqt call of a 4 s signal takes tens of seconds
F_LO, F_HI = 27.5, 8000.0
# The kernel issues 13 multiply-class vector operations (multiplies, fused multiply-adds) per 8
# channel-samples: one core's bound in channel-samples per second is its rate of them x 8 / 13.
MUL_OPS_PER_8 = 13
# Largest deviation accepted from another implementation of the same recurrence: float32 ones
# differ only in the grouping of a few roundings; the float64 SciPy one with the exact phasor
# sequence also sees the float32 phase drift of kavrel's rotation.
TOL_F32, TOL_F64 = 1e-3, 1e-2


def timed(fn, reps, setup=None):
    """Best wall time of `reps` calls of fn (garbage collection off) and the last result."""
    best, result = float("inf"), None
    for _ in range(reps):
        if setup:
            setup()
        gc.disable()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        gc.enable()
    return best, result


def deviation(picture, ref):
    """max |picture - ref| over frames, relative to each channel's largest |ref|."""
    scale = np.abs(ref.astype(np.complex128)).max(axis=0)
    scale[scale == 0] = 1.0
    return float((np.abs(picture.astype(np.complex128) - ref) / scale).max())


def make_signal(n_samples, seed=2024):
    """Noise plus a few steady tones and one gliding tone, float32."""
    rng = np.random.default_rng(seed)
    t = np.arange(n_samples) / SAMPLE_RATE
    x = 0.05 * rng.standard_normal(n_samples)
    for f, amp in ((110.0, 0.2), (440.0, 0.15), (1000.0, 0.1), (3520.0, 0.05)):
        x += amp * np.sin(2 * np.pi * f * t)
    x += 0.05 * np.sin(2 * np.pi * (200.0 * t + 400.0 * t * t))
    return x.astype(np.float32)


def log_freqs(n):
    return np.geomspace(F_LO, F_HI, n).astype(np.float32)


def environment():
    with open("/proc/cpuinfo") as fh:
        model = next(
            (line.split(":", 1)[1].strip() for line in fh if line.startswith("model name")), "?"
        )
    versions = {"python": platform.python_version(), "numpy": np.__version__}
    for name in ("scipy", "numba", "librosa", "dask", "zarr"):
        try:
            versions[name] = __import__(name).__version__
        except Exception:  # missing or broken: its measurements are skipped
            versions[name] = None
    return {
        "cpu": model,
        "cpus_usable": len(os.sched_getaffinity(0)),
        "versions": versions,
        "load_average": os.getloadavg()[0],
    }


def bound(quick):
    """One core's multiply-class vector throughput, measured, and the kernel's bound from it."""
    if not alt.numba_available():
        return {"measured": False, "why": "Numba not installed"}
    dt, lanes, kinds = min(
        (alt.fma_probe(2_000_000 if quick else 6_000_000) for _ in range(5)), key=lambda r: r[0]
    )
    ops = lanes / dt / 8  # float32 lanes per second, as 256-bit (8-lane) operations
    if not set(kinds) & {"ymm", "zmm"}:
        return {"measured": False, "why": "the probe was not vectorised"}
    return {
        "measured": True,
        "ops_256_per_s": ops,
        "vector_regs": kinds,
        "channel_samples_per_s": ops * 8 / MUL_OPS_PER_8,
    }


def kavrel_rates(n, x, reps):
    """process_samples and resonate throughput of an n-channel bank, and its pictures."""
    bank = kavrel.ResonatorBank(log_freqs(n), SAMPLE_RATE)
    bank.process_samples(x[:4096])  # warm up caches and pages
    t, _ = timed(lambda: bank.process_samples(x), reps, setup=bank.reset)
    rec, pictures = {"process_samples": {"seconds": t, "rate": n * len(x) / t}}, {}
    for hop in HOPS:
        t, pictures[hop] = timed(functools.partial(bank.resonate, x, hop), reps, setup=bank.reset)
        rec[f"resonate_hop{hop}"] = {"seconds": t, "rate": n * (len(x) // hop) * hop / t}
    return rec, pictures


def librosa_picture(kind, n):
    """librosa's cqt or vqt with kavrel's lowest frequency and bin count, whole octaves' bins."""
    import librosa

    bins_per_octave = math.ceil((n - 1) / math.log2(F_HI / F_LO))

    def picture(x, hop):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # about filter lengths near the signal's ends
            return getattr(librosa, kind)(
                x,
                sr=SAMPLE_RATE,
                hop_length=hop,
                fmin=F_LO,
                n_bins=n,
                bins_per_octave=bins_per_octave,
            )

    return picture


def compare(n, x, kav, pictures, args, notes):
    """Seconds of each alternative at every hop, and kavrel's speed-up over it."""
    freqs, reps = log_freqs(n), (2 if args.quick else 3)
    alphas = kavrel.heuristic_alphas(freqs, SAMPLE_RATE)
    out = {}
    same = [("numpy", alt.numpy_picture, TOL_F32), ("scipy", alt.scipy_picture, TOL_F64)]
    if alt.numba_available():
        same.append(("numba", alt.numba_picture, TOL_F32))
    for name, fn, tol in same:
        fn(x[:2048], freqs, alphas, alphas, SAMPLE_RATE, max(HOPS))  # imports, compilation
        p = len(x)
        if name != "numba":  # slow ones run on a prefix sized to the time budget
            t, _ = timed(
                functools.partial(fn, x[:2048], freqs, alphas, alphas, SAMPLE_RATE, max(HOPS)), 1
            )
            p = min(
                len(x), max(args.min_prefix, int(args.budget * 2048 / t) // max(HOPS) * max(HOPS))
            )
            if p < len(x):
                notes.append(
                    f"{name} at {n} channels: timed on the first {p} of {len(x)} samples, "
                    f"scaled per sample to the whole signal"
                )
        rec = {"tolerance": tol, "prefix_samples": p, "hops": {}}
        for hop in HOPS:
            t, pic = timed(
                functools.partial(fn, x[:p], freqs, alphas, alphas, SAMPLE_RATE, hop), reps
            )
            full = t * (len(x) // hop) / (p // hop)
            rec["hops"][hop] = {
                "seconds": full,
                "deviation": deviation(pic, pictures[hop][: p // hop]),
                "kavrel_speedup": full / kav[f"resonate_hop{hop}"]["seconds"],
            }
        rec["max_deviation"] = max(h["deviation"] for h in rec["hops"].values())
        rec["ok"] = rec["max_deviation"] <= tol
        out[name] = rec
    others = {"stft": lambda x, hop: alt.stft_picture(x, SAMPLE_RATE, hop)}
    if args.librosa and n <= LIBROSA_MAX_BINS:
        others.update({kind: librosa_picture(kind, n) for kind in ("cqt", "vqt")})
    for name, fn in others.items():
        rec = {"hops": {}}
        for hop in HOPS:
            fn(x[:8192], hop)  # warm up
            t, _ = timed(functools.partial(fn, x, hop), reps)
            rec["hops"][hop] = {
                "seconds": t,
                "kavrel_speedup": t / kav[f"resonate_hop{hop}"]["seconds"],
            }
        out[name] = rec
    return out


def call_overheads(rate_88, quick):
    """Median microseconds per small call on an 88-channel bank, and the part that is not
    arithmetic."""
    bank = kavrel.ResonatorBank(log_freqs(88), SAMPLE_RATE)
    block = make_signal(64)
    out = []
    for what, call, samples in (
        ("process_sample(x)", lambda: bank.process_sample(0.25), 1),
        ("process_samples(64 samples)", lambda: bank.process_samples(block), 64),
    ):

        def hundred_calls(call=call):
            for _ in range(100):
                call()

        hundred_calls()  # warm up
        t = statistics.median(
            timed(hundred_calls, 1)[0] / 100 for _ in range(200 if quick else 600)
        )
        compute = 88 * samples / rate_88
        out.append(
            {
                "call": what,
                "us_per_call": t * 1e6,
                "us_compute": compute * 1e6,
                "us_fixed": (t - compute) * 1e6,
            }
        )
    return out


def parallel_speedups(x, reps):
    """resonate of one bank against the same bank split over every usable core in threads."""
    from kavrel_tools.parallel import default_workers, parallel_resonate

    out = []
    for n in PARALLEL_SIZES:
        freqs = log_freqs(n)
        for hop in HOPS:

            def one_bank(freqs=freqs, hop=hop):
                return kavrel.ResonatorBank(freqs, SAMPLE_RATE).resonate(x, hop)

            t1, _ = timed(one_bank, reps)
            cpu0, wall0 = time.process_time(), time.perf_counter()
            tk, _ = timed(functools.partial(parallel_resonate, freqs, SAMPLE_RATE, x, hop), reps)
            # CPU seconds per wall second of the split runs: below the worker count when
            # other processes hold the cores (the threads themselves never wait for each other).
            cores = (time.process_time() - cpu0) / (time.perf_counter() - wall0)
            out.append(
                {
                    "channels": n,
                    "hop": hop,
                    "workers": default_workers(),
                    "cores_used": cores,
                    "seconds_one": t1,
                    "seconds_split": tk,
                    "speedup": t1 / tk,
                }
            )
    return out


def corpus_throughput(quick, worker_counts=(1, 2)):
    """Seconds of audio analysed per second by the corpus job on local clusters of 1 and 2
    processes."""
    import soundfile
    from dask.distributed import Client, LocalCluster

    from kavrel_tools.corpus import analyse_corpus

    n_files, seconds = (6, 10.0) if quick else (16, 20.0)
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        for i in range(n_files):
            soundfile.write(
                Path(tmp, f"f{i:02d}.wav"),
                make_signal(int(seconds * SAMPLE_RATE), seed=i),
                int(SAMPLE_RATE),
                subtype="PCM_16",
            )
        for workers in worker_counts:
            with (
                LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
                ) as cluster,
                Client(cluster) as client,
            ):
                # The first run warms the workers up (imports, pages); the best of the
                # next three is kept, each into a store of its own.
                times = []
                for run in range(4):
                    t0 = time.perf_counter()
                    summary = analyse_corpus(tmp, f"{tmp}/run{run}-{workers}.zarr", client=client)
                    times.append(time.perf_counter() - t0)
                dt = min(times[1:])
            if summary["errors"]:
                raise RuntimeError(f"corpus job failed: {summary['errors']}")
            out.append(
                {
                    "workers": workers,
                    "files": n_files,
                    "seconds_per_file": seconds,
                    "wall_seconds": dt,
                    "audio_seconds_per_second": n_files * seconds / dt,
                }
            )
    return out


def measure(args):
    """Every measurement of the benchmark, as one JSON-ready record."""
    seconds = args.seconds or (1.0 if args.quick else 4.0)
    n_samples = max(HOPS[-1], int(seconds * SAMPLE_RATE) // max(HOPS) * max(HOPS))
    reps = 3 if args.quick else 5
    args.budget = 0.12 if args.quick else 0.6  # seconds per timed run of a slow alternative
    args.min_prefix = 4096 if args.quick else 8192
    res = {
        "mode": "quick" if args.quick else "full",
        "environment": environment(),
        "sample_rate": SAMPLE_RATE,
        "signal_samples": n_samples,
        "bound": bound(args.quick),
        "sizes": {},
        "notes": [],
    }
    args.librosa = res["environment"]["versions"]["librosa"] is not None
    x = make_signal(n_samples)
    for n in SIZES:
        kav, pictures = kavrel_rates(n, x, reps)
        res["sizes"][n] = {
            "kavrel": kav,
            "alternatives": compare(n, x, kav, pictures, args, res["notes"]),
        }
    res["small_calls"] = call_overheads(
        res["sizes"][88]["kavrel"]["process_samples"]["rate"], args.quick
    )
    res["parallel"] = parallel_speedups(x, reps)
    skip_corpus = args.no_corpus or not all(
        res["environment"]["versions"][m] for m in ("dask", "zarr")
    )
    res["corpus"] = [] if skip_corpus else corpus_throughput(args.quick)
    res["load_average_end"] = os.getloadavg()[0]
    return res
