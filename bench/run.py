#!/usr/bin/env python3
"""Throughput benchmark of kavrel's resonator bank against the usual alternatives.

    python bench/run.py            # full run, a minute or two
    python bench/run.py --quick    # smaller signal and budgets, well under a minute
    python bench/run.py --json out.json

Prints clean text tables: kavrel's channel-samples per second and the share
of the machine's arithmetic bound it reaches, how much faster kavrel is than
NumPy, SciPy, Numba and a short-time Fourier transform producing a picture
of the same signal, two-thread scaling, and the fixed cost of small calls.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import threading
import time

import numpy as np

import alternatives as alt

try:
    import kavrel
except ImportError as exc:  # pragma: no cover - message for a user without the module
    sys.exit(f"cannot import kavrel ({exc}); build it and put it on PYTHONPATH")

SAMPLE_RATE = 44100.0
SIZES = (12, 88, 256, 1024, 4096)
HOPS = (64, 1024)
F_LO, F_HI = 27.5, 8000.0

# The bound: per 8 channel-samples the kernel issues 13 multiply-class 256-bit
# instructions (x*a, 2 x xa*p, 2 fma, 2 x b*s1, 2 fma, 4 phasor products); a
# core retires 2 of them per cycle, so 6.5 cycles per 8 channel-samples.
MUL_OPS_PER_8 = 13
MUL_OPS_PER_CYCLE = 2
CS_PER_CYCLE = 8 * MUL_OPS_PER_CYCLE / MUL_OPS_PER_8
# The probe counts float32 FMA lanes; two 256-bit FMA pipes give 16 a cycle
# (a 512-bit FMA occupies both pipes on the cores this bound is written for).
PROBE_LANES_PER_CYCLE = 16

# Largest relative deviation accepted from an implementation of the same
# recurrence.  float32 ones differ from kavrel only in the grouping of a few
# roundings; the SciPy one works in double precision with the exact phasor
# sequence exp(i w n), so it also sees kavrel's float32 phase drift (the
# rotation cos/sin rounded to float32, up to ~3e-8 rad per sample).
TOL_F32 = 1e-3
TOL_F64 = 1e-2


# --------------------------------------------------------------------------
# helpers

def timed(fn, reps, setup=None):
    """Best wall time of reps calls of fn (garbage collection off) and the last result."""
    best = float("inf")
    result = None
    for _ in range(reps):
        if setup is not None:
            setup()
        enabled = gc.isenabled()
        gc.disable()
        try:
            t0 = time.perf_counter()
            result = fn()
            dt = time.perf_counter() - t0
        finally:
            if enabled:
                gc.enable()
        best = min(best, dt)
    return best, result


def deviation(picture, ref):
    """max |picture - ref| over frames, relative to each channel's largest |ref|."""
    if picture.shape != ref.shape:
        raise ValueError(f"shape {picture.shape} differs from kavrel's {ref.shape}")
    scale = np.abs(ref.astype(np.complex128)).max(axis=0)
    scale[scale == 0] = 1.0
    diff = np.abs(picture.astype(np.complex128) - ref.astype(np.complex128))
    return float((diff / scale).max())


def make_signal(n_samples, seed=2024):
    """Noise plus a few steady tones and one gliding tone, float32."""
    rng = np.random.default_rng(seed)
    t = np.arange(n_samples) / SAMPLE_RATE
    x = 0.05 * rng.standard_normal(n_samples)
    for f, amp in ((110.0, 0.2), (440.0, 0.15), (1000.0, 0.1), (3520.0, 0.05)):
        x += amp * np.sin(2 * np.pi * f * t)
    x += 0.05 * np.sin(2 * np.pi * (200.0 * t + 400.0 * t * t))
    return x.astype(np.float32)


def make_bank(n):
    freqs = np.geomspace(F_LO, F_HI, n).astype(np.float32)
    bank = kavrel.ResonatorBank(freqs, SAMPLE_RATE)
    alphas = kavrel.heuristic_alphas(freqs, SAMPLE_RATE)
    return bank, freqs, alphas


def cpu_info():
    info = {"model": platform.processor() or platform.machine(), "logical_cpus": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as fh:
            text = fh.read()
    except OSError:
        return info
    first = text.split("\n\n", 1)[0]
    fields = {}
    for line in first.splitlines():
        if ":" in line:
            k, v = line.split(":", 1)
            fields[k.strip()] = v.strip()
    info["model"] = fields.get("model name", info["model"])
    info["vendor"] = fields.get("vendor_id")
    try:
        fam = int(fields.get("cpu family", "0"))
        mod = int(fields.get("model", "0"))
    except ValueError:
        fam = mod = 0
    info["family"], info["model_number"] = fam, mod
    if info.get("vendor") == "AuthenticAMD":
        if fam == 25:
            zen4 = 0x10 <= mod <= 0x1F or 0x60 <= mod <= 0x7F or 0xA0 <= mod <= 0xAF
            info["core"] = "Zen 4" if zen4 else "Zen 3"
        elif fam == 26:
            info["core"] = "Zen 5"
        elif fam == 23:
            info["core"] = "Zen 1/2"
    flags = set(fields.get("flags", "").split())
    info["isa"] = [f for f in ("avx2", "fma", "avx512f") if f in flags]
    try:
        info["cpuinfo_mhz"] = float(fields.get("cpu MHz", "nan"))
    except ValueError:
        info["cpuinfo_mhz"] = float("nan")
    info["hypervisor"] = "hypervisor" in flags
    return info


def nominal_clock_ghz(cpu):
    """Best available stated clock: cpufreq's maximum, else /proc/cpuinfo's MHz."""
    try:
        with open("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq") as fh:
            return int(fh.read()) / 1e6, "cpufreq cpuinfo_max_freq"
    except (OSError, ValueError):
        pass
    mhz = cpu.get("cpuinfo_mhz", float("nan"))
    if mhz == mhz:
        return mhz / 1e3, "/proc/cpuinfo 'cpu MHz' (under a hypervisor this is often the base/TSC rate)"
    return 3.0, "no clock information; 3.0 GHz assumed"


def measure_clock(cpu, args):
    """Clock in GHz and how it was obtained."""
    if args.clock_ghz:
        return {"ghz": args.clock_ghz, "method": "given on the command line (--clock-ghz)",
                "measured": False}
    if alt.numba_available():
        try:
            iters = 2_000_000 if args.quick else 6_000_000
            runs = [alt.fma_probe(iters) for _ in range(5)]
            dt, lanes, kinds = min(runs, key=lambda r: r[0])
            rate = lanes / dt
            ghz = rate / PROBE_LANES_PER_CYCLE / 1e9
            vector = bool(set(kinds) & {"ymm", "zmm"})
            res = {"fma_lane_rate": rate, "vector_regs": kinds, "lanes_per_cycle": PROBE_LANES_PER_CYCLE}
            if vector and 0.5 <= ghz <= 6.5:
                res.update(ghz=ghz, measured=True,
                           method=(f"measured: Numba FMA probe, {rate / 1e9:.1f} G float32 FMA lanes/s "
                                   f"({'/'.join(kinds)} vectors), {PROBE_LANES_PER_CYCLE} lanes/cycle assumed"))
                return res
            why = "not vectorised" if not vector else f"implausible {ghz:.2f} GHz"
            ghz, src = nominal_clock_ghz(cpu)
            res.update(ghz=ghz, measured=False,
                       method=f"estimate from {src} (FMA probe rejected: {why})")
            return res
        except Exception as exc:  # a broken Numba must not stop the benchmark
            ghz, src = nominal_clock_ghz(cpu)
            return {"ghz": ghz, "measured": False,
                    "method": f"estimate from {src} (FMA probe failed: {exc!r})"}
    ghz, src = nominal_clock_ghz(cpu)
    return {"ghz": ghz, "measured": False, "method": f"estimate from {src} (Numba not installed)"}


def load_average():
    """1-minute load average of the machine, or None where it cannot be read."""
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def versions():
    import scipy
    v = {"python": platform.python_version(), "numpy": np.__version__, "scipy": scipy.__version__}
    try:
        import numba
        v["numba"] = numba.__version__
    except Exception:
        v["numba"] = None
    return v


def fmt_rate(r):
    return f"{r / 1e9:6.3f}"


def fmt_ms(seconds):
    ms = seconds * 1e3
    return f"{ms:.3f}" if ms < 1 else f"{ms:.3g}" if ms < 100 else f"{ms:.0f}"


def fmt_ratio(r):
    if r is None:
        return "-"
    if r >= 100:
        return f"{r:,.0f}x"
    if r >= 10:
        return f"{r:.1f}x"
    return f"{r:.2f}x"


def table(headers, rows, aligns=None):
    """Aligned text table; aligns is a string of 'l'/'r' per column."""
    aligns = aligns or "r" * len(headers)
    cols = list(zip(*([headers] + rows))) if rows else [[h] for h in headers]
    widths = [max(len(str(c)) for c in col) for col in cols]

    def line(cells):
        out = []
        for c, w, a in zip(cells, widths, aligns):
            out.append(str(c).ljust(w) if a == "l" else str(c).rjust(w))
        return "  " + "  ".join(out).rstrip()

    sep = "  " + "  ".join("-" * w for w in widths)
    return "\n".join([line(headers), sep] + [line(r) for r in rows])


# --------------------------------------------------------------------------
# measurements

def kavrel_rates(bank, n, x, reps):
    """process_samples and resonate throughput, plus kavrel's pictures for checking."""
    res = {}
    t, _ = timed(lambda: bank.process_samples(x), reps, setup=bank.reset)
    res["process_samples"] = {"seconds": t, "rate": n * len(x) / t}
    pictures = {}
    for hop in HOPS:
        used = (len(x) // hop) * hop
        t, pic = timed(lambda: bank.resonate(x, hop), reps, setup=bank.reset)
        res[f"resonate_hop{hop}"] = {"seconds": t, "rate": n * used / t}
        pictures[hop] = pic
    bank.reset()
    return res, pictures


def prefix_length(fn, freqs, alphas, x, budget, min_prefix):
    """Samples an expensive implementation may run in about `budget` seconds.

    Also serves as its warm-up. The result is a multiple of the largest hop,
    at least min_prefix and at most the whole signal.
    """
    fn(x[:256], freqs, alphas, alphas, SAMPLE_RATE, 64)  # first-call costs (imports, caches)
    cal = min(len(x), 2048)
    t, _ = timed(lambda: fn(x[:cal], freqs, alphas, alphas, SAMPLE_RATE, max(HOPS)), 1)
    per_sample = t / cal
    step = max(HOPS)
    p = int(budget / per_sample) // step * step
    return int(min(len(x), max(min_prefix, p)))


def compare_size(n, x, pictures, kav, args, notes):
    """Time each alternative at every hop; ratios use kavrel's resonate at that hop."""
    bank_freqs = np.geomspace(F_LO, F_HI, n).astype(np.float32)
    alphas = kavrel.heuristic_alphas(bank_freqs, SAMPLE_RATE)
    n_samples = len(x)
    reps_slow = 2 if args.quick else 3
    out = {}

    impls = [("numpy", alt.numpy_picture, TOL_F32, True),
             ("scipy", alt.scipy_picture, TOL_F64, True)]
    if alt.numba_available():
        impls.append(("numba", alt.numba_picture, TOL_F32, False))

    for name, fn, tol, may_prefix in impls:
        entry = {"tolerance": tol, "hops": {}}
        if may_prefix:
            p = prefix_length(fn, bank_freqs, alphas, x, args.budget, args.min_prefix)
        else:
            fn(x[:2048], bank_freqs, alphas, alphas, SAMPLE_RATE, max(HOPS))  # compile / warm up
            p = n_samples
        entry["prefix_samples"] = p
        worst = 0.0
        for hop in HOPS:
            xs = x[:p]
            t, pic = timed(lambda: fn(xs, bank_freqs, alphas, alphas, SAMPLE_RATE, hop), reps_slow)
            frames = p // hop
            dev = deviation(pic, pictures[hop][:frames])
            worst = max(worst, dev)
            t_full = t * ((n_samples // hop) * hop) / ((p // hop) * hop)
            t_kav = kav[f"resonate_hop{hop}"]["seconds"]
            entry["hops"][hop] = {"seconds_measured": t, "seconds_full_signal": t_full,
                                  "rate": n * (p // hop) * hop / t, "deviation": dev,
                                  "kavrel_speedup": t_full / t_kav}
        entry["max_deviation"] = worst
        entry["ok"] = worst <= tol
        out[name] = entry
        if p < n_samples:
            notes.append(f"{name} at {n} channels: timed on the first {p} of {n_samples} samples, "
                         f"scaled per sample to the whole signal")

    entry = {"hops": {}}
    for hop in HOPS:
        alt.stft_picture(x[:4096], SAMPLE_RATE, hop)  # warm up
        t, tf = timed(lambda: alt.stft_picture(x, SAMPLE_RATE, hop), reps_slow + 1)
        t_kav = kav[f"resonate_hop{hop}"]["seconds"]
        entry["hops"][hop] = {"seconds": t, "shape": list(tf.shape), "kavrel_speedup": t / t_kav}
    out["stft"] = entry
    return out


def thread_scaling(x, reps):
    """process_samples on two banks from two threads at once vs one after another."""
    results = []
    for na, nb in ((256, 1024), (1024, 1024)):
        bank_a, _, _ = make_bank(na)
        bank_b, _, _ = make_bank(nb)

        def reset():
            bank_a.reset()
            bank_b.reset()

        t_a, _ = timed(lambda: bank_a.process_samples(x), reps, setup=reset)
        t_b, _ = timed(lambda: bank_b.process_samples(x), reps, setup=reset)

        def sequential():
            bank_a.process_samples(x)
            bank_b.process_samples(x)

        t_seq, _ = timed(sequential, reps, setup=reset)

        best_par = float("inf")
        for _ in range(reps):
            reset()
            barrier = threading.Barrier(3)
            errors = []

            def work(bank):
                barrier.wait()
                try:
                    bank.process_samples(x)
                except Exception as exc:  # reported below, never silently lost
                    errors.append(exc)

            threads = [threading.Thread(target=work, args=(b,)) for b in (bank_a, bank_b)]
            for th in threads:
                th.start()
            barrier.wait()
            t0 = time.perf_counter()
            for th in threads:
                th.join()
            best_par = min(best_par, time.perf_counter() - t0)
            if errors:
                raise errors[0]
        ideal = (na + nb) / max(na, nb)  # work is proportional to the channel count
        results.append({"channels": [na, nb], "seconds_a": t_a, "seconds_b": t_b,
                        "seconds_sequential": t_seq, "seconds_parallel": best_par,
                        "speedup": t_seq / best_par, "ideal_speedup": ideal})
    return results


def call_overheads(rate_88, quick):
    """Median microseconds per small call on an 88-channel bank."""
    bank, _, _ = make_bank(88)
    batches = 200 if quick else 600
    per_batch = 100
    block = make_signal(64)
    sample = float(block[3])

    def median_per_call(call):
        times = []
        for _ in range(batches):
            t0 = time.perf_counter()
            for _ in range(per_batch):
                call()
            times.append((time.perf_counter() - t0) / per_batch)
        return statistics.median(times)

    ps = bank.process_sample
    pss = bank.process_samples
    gc.disable()
    try:
        median_per_call(lambda: ps(sample))  # warm up
        t_one = median_per_call(lambda: ps(sample))
        t_block = median_per_call(lambda: pss(block))
        t_empty = median_per_call(lambda: None)
    finally:
        gc.enable()
    res = []
    for what, t, samples in (("process_sample(x)", t_one, 1), ("process_samples(64 samples)", t_block, 64)):
        compute = 88 * samples / rate_88
        res.append({"call": what, "us_per_call": t * 1e6, "us_compute": compute * 1e6,
                    "us_fixed": (t - compute) * 1e6})
    return res, t_empty * 1e6


# --------------------------------------------------------------------------
# report

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smaller signal and time budgets")
    ap.add_argument("--json", metavar="PATH", help="also write every number to this JSON file")
    ap.add_argument("--clock-ghz", type=float, default=None,
                    help="use this core clock for the bound instead of measuring it")
    ap.add_argument("--seconds", type=float, default=None,
                    help="signal length in seconds (default 4, or 1 with --quick)")
    args = ap.parse_args(argv)

    seconds = args.seconds or (1.0 if args.quick else 4.0)
    step = max(HOPS)
    n_samples = max(step, int(seconds * SAMPLE_RATE) // step * step)
    args.budget = 0.12 if args.quick else 0.6        # seconds per timed run of a slow alternative
    args.min_prefix = 4096 if args.quick else 8192
    reps = 3 if args.quick else 5

    cpu = cpu_info()
    ver = versions()
    t_start = time.perf_counter()
    print("kavrel benchmark" + ("  (--quick)" if args.quick else ""))
    core = f", {cpu['core']}" if cpu.get("core") else ""
    print(f"  CPU     : {cpu['model']} (family {cpu.get('family')} model {cpu.get('model_number')}{core}), "
          f"{cpu['logical_cpus']} logical CPUs, {' '.join(cpu.get('isa', []))}"
          + (", virtual machine" if cpu.get("hypervisor") else ""))
    print(f"  Python  : {ver['python']}   NumPy {ver['numpy']}   SciPy {ver['scipy']}   "
          f"Numba {ver['numba'] or 'not installed'}")
    print(f"  kavrel  : {getattr(kavrel, '__file__', '?')}")
    print(f"  Signal  : {n_samples} samples ({n_samples / SAMPLE_RATE:.2f} s at {SAMPLE_RATE:g} Hz), "
          f"float32 noise + tones")
    print(f"  Banks   : {', '.join(map(str, SIZES))} channels, log-spaced {F_LO:g} Hz .. {F_HI:g} Hz, "
          f"default smoothing factors")
    print(f"  Timing  : time.perf_counter, best of {reps} (kavrel) / best of {2 if args.quick else 3} "
          f"(others), one thread unless stated")
    load0 = load_average()
    busy = f" (1-minute load average {load0:.2f} on {cpu['logical_cpus']} CPUs at start)" if load0 is not None else ""
    print(f"  Note    : the machine may be shared and noisy{busy}; differences under ~10% are not meaningful.")
    sys.stdout.flush()

    clock = measure_clock(cpu, args)
    bound = clock["ghz"] * 1e9 * CS_PER_CYCLE
    print()
    print("Clock and bound")
    print(f"  clock   : {clock['ghz']:.2f} GHz, {clock['method']}")
    print(f"  bound   : {bound / 1e9:.2f} G channel-samples/s per core = {CS_PER_CYCLE:.3f} per cycle "
          f"({MUL_OPS_PER_8} multiply-class 256-bit ops per 8 channel-samples, {MUL_OPS_PER_CYCLE} per cycle)")
    sys.stdout.flush()

    x = make_signal(n_samples)
    results = {"mode": "quick" if args.quick else "full", "cpu": cpu, "versions": ver, "clock": clock,
               "bound_channel_samples_per_s": bound, "sample_rate": SAMPLE_RATE,
               "signal_samples": n_samples, "sizes": {}}
    notes = []
    for n in SIZES:
        bank, _, _ = make_bank(n)
        bank.process_samples(x[:4096])  # warm up caches and pages
        kav, pictures = kavrel_rates(bank, n, x, reps)
        comp = compare_size(n, x, pictures, kav, args, notes)
        results["sizes"][n] = {"kavrel": kav, "alternatives": comp}
        del pictures

    # 1. throughput
    print()
    kind = "bound" if clock["measured"] else "estimated bound"
    print(f"1. kavrel throughput, one core: G channel-samples/s (percent of the {kind})")
    rows = []
    for n in SIZES:
        kav = results["sizes"][n]["kavrel"]
        row = [n]
        for key in ["process_samples"] + [f"resonate_hop{h}" for h in HOPS]:
            r = kav[key]["rate"]
            kav[key]["percent_of_bound"] = 100 * r / bound
            row.append(f"{fmt_rate(r)} ({100 * r / bound:5.1f}%)")
        rows.append(row)
    print(table(["channels", "process_samples"] + [f"resonate hop {h}" for h in HOPS], rows))
    top = max(results["sizes"][n]["kavrel"][k]["percent_of_bound"]
              for n in SIZES for k in results["sizes"][n]["kavrel"])
    if top > 100:
        print(f"   Above 100% ({top:.0f}%): the clock used for the bound is lower than the real one; "
              f"give it with --clock-ghz.")
    print(f"   {SIZES[0]} channels fill {SIZES[0] % 16 or 16} of the 16 lanes of a register tile, "
          f"so a lower share is expected there.")

    # 2. ratios
    print()
    print('2. Same picture by other means: "kavrel is N x faster" (kavrel resonate vs each, same hop,')
    print("   whole signal; STFT = ShortTimeFFT, Hann 2048, not the same analysis, cost of one picture)")
    have_numba = alt.numba_available()
    rows = []
    for n in SIZES:
        comp = results["sizes"][n]["alternatives"]
        kav = results["sizes"][n]["kavrel"]
        for hop in HOPS:
            row = [n, hop, fmt_ms(kav[f"resonate_hop{hop}"]["seconds"])]
            for name in ("numpy", "scipy", "numba"):
                if name not in comp:
                    row.append("skipped")
                    continue
                e = comp[name]
                mark = "*" if e["prefix_samples"] < n_samples else ""
                row.append(fmt_ratio(e["hops"][hop]["kavrel_speedup"]) + mark)
            row.append(fmt_ratio(comp["stft"]["hops"][hop]["kavrel_speedup"]))
            rows.append(row)
    print(table(["channels", "hop", "kavrel ms", "NumPy", "SciPy", "Numba", "STFT"], rows))
    print("   * timed on a prefix of the signal and scaled per sample (see notes); below 1x the other is faster")
    if not have_numba:
        print("   Numba is not installed: its column is skipped (pip install numba).")

    print()
    print("   Closeness of each picture to kavrel's: max |alt - kavrel| / (per-channel max |kavrel|), both hops")
    rows = []
    for n in SIZES:
        comp = results["sizes"][n]["alternatives"]
        row = [n]
        for name in ("numpy", "scipy", "numba"):
            if name not in comp:
                row.append("skipped")
                continue
            e = comp[name]
            row.append(f"{e['max_deviation']:.1e} {'ok' if e['ok'] else 'FAIL'}")
        rows.append(row)
    print(table(["channels", "NumPy", "SciPy", "Numba"], rows))
    print(f"   tolerance {TOL_F32:g} for the float32 recurrences (NumPy, Numba), {TOL_F64:g} for SciPy "
          f"(float64, exact phasor sequence)")
    stft_ms = min((results["sizes"][n]["alternatives"]["stft"]["hops"] for n in SIZES),
                  key=lambda h: h[HOPS[0]]["seconds"])
    print("   STFT alone (independent of the bank size), best over all sizes: "
          + ", ".join(f"hop {h} {fmt_ms(stft_ms[h]['seconds'])} ms" for h in HOPS))

    # 3. threads
    threads = thread_scaling(x, 5 if args.quick else 7)
    results["threads"] = threads
    print()
    print("3. Two threads: process_samples on two banks at once vs one after another")
    rows = []
    for r in threads:
        rows.append([f"{r['channels'][0]} + {r['channels'][1]}", f"{r['seconds_sequential'] * 1e3:.1f}",
                     f"{r['seconds_parallel'] * 1e3:.1f}", f"{r['speedup']:.2f}x",
                     f"{r['ideal_speedup']:.2f}x"])
    print(table(["channels", "one after another ms", "two threads ms", "speed-up", "ideal"], rows, "lrrrr"))

    # 4. small calls
    rate_88 = results["sizes"][88]["kavrel"]["process_samples"]["rate"]
    over, empty_us = call_overheads(rate_88, args.quick)
    results["small_calls"] = {"bank_channels": 88, "calls": over, "us_python_loop_and_lambda": empty_us}
    print()
    print("4. Small calls on an 88-channel bank: microseconds per call (median)")
    rows = [[o["call"], f"{o['us_per_call']:.3f}", f"{o['us_compute']:.3f}", f"{o['us_fixed']:.3f}"]
            for o in over]
    print(table(["call", "per call", "compute est.", "fixed overhead"], rows, "lrrr"))
    print(f"   compute est. = work / process_samples rate of the 88-channel bank above; per call includes"
          f" the Python loop ({empty_us:.3f} us for an empty call)")

    if notes:
        print()
        print("Notes")
        for s in notes:
            print(f"  - {s}")
    elapsed = time.perf_counter() - t_start
    results["elapsed_seconds"] = elapsed
    results["load_average_start"] = load0
    results["load_average_end"] = load_average()
    results["notes"] = notes
    print()
    load1 = results["load_average_end"]
    print(f"Finished in {elapsed:.0f} s" + (f"; 1-minute load average {load1:.2f} at the end." if load1 is not None else "."))

    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=2, default=float)
        print(f"Wrote {args.json}")
    return results


if __name__ == "__main__":
    main()
