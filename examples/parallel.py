"""One analysis on every core: split a bank by channels and run the parts in threads.

Usage::

    python examples/parallel.py [--channels N] [--seconds S] [--hop H] [--workers K]

The channels of a resonator bank never interact, so a bank split into k banks
of consecutive channels, each given its own slice of the frequencies and
smoothing factors, computes exactly the same values as the whole bank.
``ResonatorBank.resonate`` releases the interpreter lock while it works, so k
threads running one part each (the calling thread and k - 1 more) keep k cores
busy, and the frames they return, set side by side, are bit for bit those of
one bank.

The split is ``kavrel_tools.parallel.parallel_resonate``, the function to
use in a program (this script re-exports it); run as a script it analyses a
noise-and-tones test signal both ways, checks that the two pictures are
identical and prints the times.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from typing import NoReturn

import numpy as np

import kavrel
from kavrel_tools.parallel import channel_splits, default_workers, parallel_resonate

__all__ = ["channel_splits", "default_workers", "parallel_resonate", "test_signal", "main"]


def test_signal(n_samples: int, sample_rate: float) -> np.ndarray:
    """Noise plus a few steady tones, float32."""
    rng = np.random.default_rng(1)
    t = np.arange(n_samples) / sample_rate
    x = 0.05 * rng.standard_normal(n_samples)
    for f, amp in ((110.0, 0.2), (440.0, 0.15), (1000.0, 0.1), (3520.0, 0.05)):
        x += amp * np.sin(2 * np.pi * f * t)
    return x.astype(np.float32)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog=os.path.basename(__file__),
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    ap.add_argument("--channels", type=int, default=1024, help="bank size (default 1024)")
    ap.add_argument("--seconds", type=float, default=10.0, help="signal length (default 10)")
    ap.add_argument("--hop", type=int, default=256, help="samples per frame (default 256)")
    ap.add_argument(
        "--workers",
        type=int,
        default=None,
        help=f"threads (default: the CPUs this process may use, here {default_workers()})",
    )
    args = ap.parse_args(argv)
    sample_rate = 44100.0

    def refuse(message: str) -> NoReturn:
        ap.exit(2, f"{ap.prog}: error: {message}\n")

    if args.channels < 1 or args.hop < 1:
        refuse("--channels and --hop must be at least 1")
    if not 0.0 < args.seconds < math.inf:
        refuse(f"--seconds must be a positive number of seconds, not {args.seconds}")
    workers = default_workers() if args.workers is None else args.workers
    if workers < 1:
        refuse("--workers must be at least 1")
    samples = args.seconds * sample_rate
    n_samples = int(samples) if samples < 2**62 else 2**62  # beyond any memory anyway
    if args.hop > n_samples:
        refuse(f"--hop {args.hop} is longer than the signal ({n_samples} samples): no frame")
    # The signal and its float64 makings, the frames of both analyses (with
    # the parts of the split one before they are copied together), the banks.
    need = 32 * n_samples + 3 * 8 * (n_samples // args.hop) * args.channels + 100 * args.channels
    try:
        have = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):  # a system that does not say
        have = need
    if need > have:
        need_gib = need / 2**30 if need < 2**1000 else math.inf
        refuse(
            f"this analysis needs about {need_gib:.3g} GiB, more than the "
            f"{have / 2**30:.3g} GiB of this machine: lower --seconds or --channels, or raise --hop"
        )

    freqs = np.geomspace(27.5, 8000.0, args.channels).astype(np.float32)
    signal = test_signal(n_samples, sample_rate)

    def best_of_three(analysis):
        times = []
        for _ in range(3):
            t0 = time.perf_counter()
            frames = analysis()
            times.append(time.perf_counter() - t0)
        return min(times), frames

    t_one, one = best_of_three(
        lambda: kavrel.ResonatorBank(freqs, sample_rate).resonate(signal, args.hop)
    )
    t_split, split = best_of_three(
        lambda: parallel_resonate(freqs, sample_rate, signal, args.hop, workers=workers)
    )

    same = one.shape == split.shape and np.array_equal(one.view(np.uint32), split.view(np.uint32))
    print(f"{args.channels} channels, {len(signal)} samples, hop {args.hop}: {one.shape[0]} frames")
    print(
        f"  one bank: {t_one:.3f} s; {workers} banks in threads: {t_split:.3f} s "
        f"({t_one / t_split:.2f}x, best of 3)"
    )
    print(f"  frames identical bit for bit: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
