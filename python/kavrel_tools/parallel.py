"""The channel split over cores: one analysis on every core.

The channels of a resonator bank never interact, so a bank split into k banks of
consecutive channels, each given its own slice of the frequencies and smoothing factors,
computes exactly the same values as the whole bank. ``ResonatorBank.resonate`` releases the
interpreter lock while it works, so k threads running one part each (the calling thread and
k - 1 more) keep k cores busy, and the frames they return, set side by side, are bit for bit
those of one bank.
"""

from __future__ import annotations

import operator
import os
import threading

import numpy as np
import numpy.typing as npt

import kavrel


def default_workers() -> int:
    """The number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # platforms without CPU affinity
        return os.cpu_count() or 1


def channel_splits(n_channels: int, parts: int) -> list[tuple[int, int]]:
    """`parts` runs of consecutive channels, as (start, stop), sizes differing by at most one."""
    bounds = np.linspace(0, n_channels, parts + 1).round().astype(int)
    return [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:])]


def parallel_resonate(
    freqs: npt.NDArray[np.float32],
    sample_rate: float,
    signal: npt.NDArray[np.float32],
    hop: int,
    *,
    alphas: npt.NDArray[np.float32] | None = None,
    betas: npt.NDArray[np.float32] | None = None,
    workers: int | None = None,
) -> npt.NDArray[np.complex64]:
    """`ResonatorBank(freqs, sample_rate, alphas=alphas, betas=betas).resonate(signal, hop)`,
    computed by `workers` banks of consecutive channels in as many threads.

    The arguments are those of the constructor and of `resonate`, with the same
    requirements (one-dimensional float32 arrays); `workers` defaults to the
    CPUs this process may use and is capped at the number of channels. Returns
    the (len(signal) // hop, len(freqs)) complex64 frames, bit for bit those of
    a single bank.
    """
    workers = default_workers() if workers is None else int(workers)
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    parts = channel_splits(len(freqs), max(1, min(workers, len(freqs))))

    def factor(
        values: npt.NDArray[np.float32] | None, a: int, b: int
    ) -> npt.NDArray[np.float32] | None:
        return None if values is None else values[a:b]

    # All banks are built first, so that a bad argument fails before any work starts.
    banks = [
        kavrel.ResonatorBank(
            freqs[a:b], sample_rate, alphas=factor(alphas, a, b), betas=factor(betas, a, b)
        )
        for a, b in parts
    ]
    if len(banks) == 1:
        return banks[0].resonate(signal, hop)
    # An empty slice of the signal lets one bank check both arguments with
    # its own errors while processing no sample.
    try:
        probe = signal[:0]
    except TypeError:
        probe = signal  # not an array at all: the bank says so
    banks[0].resonate(probe, hop)
    frames = len(signal) // operator.index(hop)
    out = np.empty((frames, len(freqs)), dtype=np.complex64)

    failures: list[BaseException | None] = [None] * len(banks)

    def run(k: int) -> None:
        a, b = parts[k]
        try:
            # The copy into the shared result is done here too: NumPy copies
            # plain numbers without holding the interpreter lock.
            out[:, a:b] = banks[k].resonate(signal, hop)
        except BaseException as exc:  # re-raised by the calling thread below
            failures[k] = exc

    # The calling thread takes the first part itself instead of only waiting.
    threads = [threading.Thread(target=run, args=(k,)) for k in range(1, len(banks))]
    for thread in threads:
        thread.start()
    run(0)
    for thread in threads:
        thread.join()
    for exc in failures:
        if exc is not None:
            raise exc
    return out
