#!/usr/bin/env python3
"""Real-time figures of kavrel: block latency and the smoothing's time constants.

    python bench/latency.py                  # about 10 seconds
    python bench/latency.py --seconds 0.1    # quicker, rougher tails
    python bench/latency.py --json latency.json

A live analyser (examples/live.py) advances its bank with one
`process_samples` call per block of audio and reads it with `magnitudes()`.
The time those two calls take is the latency the analysis adds to the arrival
of a block. This measures it for banks of 88 channels (the piano keys) and
1024 channels (log-spaced from 27.5 Hz to 16 kHz) at 48 kHz, for blocks of 32
to 1024 samples: every block is timed on its own with `perf_counter_ns`, over
a stream of noise, with the garbage collector left on as in a real program.
It reports the median and the 99th percentile, the block's real-time budget
(its duration) and the share of the budget they use.

The second table is the latency the smoothing itself adds: for the default
factors of the piano keys, each stage's time constant `tau_from_alpha`, the
delay of the two cascaded stages (2 tau) and the time in which a tone switched
on at a key's frequency reaches 90 % of its final magnitude in that channel.

Measuring (`measure_latency`, `time_constants`) returns records; reporting
(`latency_table`, `time_constant_table`) turns them into Markdown tables, the
form in which the guide's real-time page shows them.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
from typing import NamedTuple

import numpy as np
from report import table

try:
    import kavrel
except ImportError as exc:  # pragma: no cover - message for a user without the module
    sys.exit(f"cannot import kavrel ({exc}); install it first")

# The piano keys, their names and their frequencies as the live analyser has them.
from kavrel_tools.frequencies import PIANO_KEYS as KEYS
from kavrel_tools.frequencies import TUNING_HZ, key_frequencies, note_name
from kavrel_tools.stream import settling_samples

SAMPLE_RATE = 48000.0
CHANNELS = (88, 1024)
BLOCKS = (32, 64, 128, 256, 512, 1024)
TABLE_KEYS = (21, 33, 45, 57, 69, 81, 93, 105, 108)  # every A, and C8
MIN_CALLS = 1000  # blocks timed per case at least, so that the 99th percentile means something
MAX_CALLS = 200_000
DISTINCT_BLOCKS = 64  # blocks of different noise, fed round and round


class Latency(NamedTuple):
    """Time from a block's arrival to its readout, over `calls` blocks."""

    channels: int
    block: int
    sample_rate: float
    calls: int
    median: float  # seconds
    p99: float  # seconds

    @property
    def budget(self) -> float:
        """The block's duration: the time until the next block arrives."""
        return self.block / self.sample_rate


class TimeConstant(NamedTuple):
    """The default smoothing of one key's channel."""

    midi: int
    freq: float  # Hz
    alpha: float  # per-sample factor of each of the two stages
    tau: float  # seconds, each stage's time constant
    rise90: float  # seconds until a tone switched on reaches 90 % of its magnitude


def bank_frequencies(channels: int) -> np.ndarray:
    if channels == len(KEYS):
        return key_frequencies()
    return np.geomspace(27.5, 16000.0, channels).astype(np.float32)


# --------------------------------------------------------------------------
# measuring


def measure_latency(
    channels: int, block: int, seconds: float, sample_rate: float = SAMPLE_RATE
) -> Latency:
    """Time `process_samples` plus `magnitudes()` per block for about `seconds`."""
    bank = kavrel.ResonatorBank(bank_frequencies(channels), sample_rate)
    rng = np.random.default_rng(block)
    audio = (0.1 * rng.standard_normal(block * DISTINCT_BLOCKS)).astype(np.float32)
    blocks = [audio[i * block : (i + 1) * block] for i in range(DISTINCT_BLOCKS)]
    for samples in blocks:  # warm-up: caches, branch predictors, first allocations
        bank.process_samples(samples)
        bank.magnitudes()

    clock = time.perf_counter_ns
    times: list[int] = []
    deadline = time.perf_counter() + seconds
    while len(times) < MAX_CALLS and (len(times) < MIN_CALLS or time.perf_counter() < deadline):
        samples = blocks[len(times) % DISTINCT_BLOCKS]
        start = clock()
        bank.process_samples(samples)
        bank.magnitudes()
        times.append(clock() - start)
    ns = np.array(times, dtype=np.float64)
    return Latency(
        channels,
        block,
        sample_rate,
        len(times),
        float(np.median(ns)) * 1e-9,
        float(np.percentile(ns, 99)) * 1e-9,
    )


def rise_time(alpha: float, sample_rate: float, level: float = 0.9) -> float:
    """Seconds until two cascaded stages with factor `alpha` reach `level` of a step.

    A tone at the channel's frequency is a step at zero frequency after the
    channel's phasor, so this is when its magnitude reaches `level` of its
    final value (the toolkit's settling time, in double precision).
    """
    return float(settling_samples([alpha], fraction=level)[0]) / sample_rate


def time_constants(keys=TABLE_KEYS, sample_rate: float = SAMPLE_RATE) -> list[TimeConstant]:
    records = []
    for midi in keys:
        freq = kavrel.midi_to_hz(midi, TUNING_HZ)
        alpha = kavrel.heuristic_alpha(freq, sample_rate)
        tau = kavrel.tau_from_alpha(alpha, sample_rate)
        records.append(TimeConstant(midi, freq, alpha, tau, rise_time(alpha, sample_rate)))
    return records


# --------------------------------------------------------------------------
# reporting


def duration(seconds: float) -> str:
    """Three significant digits, in µs below a millisecond and in ms above."""
    us = seconds * 1e6
    if us >= 1000:
        return f"{us / 1000:.2f} ms"
    return f"{us:.2f} µs" if us < 10 else f"{us:.1f} µs" if us < 100 else f"{us:.0f} µs"


def latency_table(records: list[Latency]) -> str:
    rows = [
        (
            r.channels,
            r.block,
            f"{r.budget * 1e3:.2f} ms",
            duration(r.median),
            duration(r.p99),
            f"{100 * r.median / r.budget:.2f} %",
            f"{100 * r.p99 / r.budget:.2f} %",
        )
        for r in records
    ]
    return table(
        ("channels", "block", "budget", "median", "p99", "median share", "p99 share"),
        rows,
        markdown=True,
    ).strip("\n")


def time_constant_table(records: list[TimeConstant]) -> str:
    rows = [
        (
            note_name(r.midi),
            f"{r.freq:.1f}",
            f"{r.alpha:.3g}",
            f"{r.tau * 1e3:.2f} ms",
            f"{r.tau * r.freq:.2f}",
            f"{2 * r.tau * 1e3:.1f} ms",
            f"{r.rise90 * 1e3:.1f} ms",
        )
        for r in records
    ]
    return table(
        ("key", "Hz", "alpha", "tau", "periods", "delay (2 tau)", "90 % rise"),
        rows,
        aligns="lrrrrrr",
        markdown=True,
    ).strip("\n")


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(
                line.split(":", 1)[1].strip() for line in info if line.startswith("model name")
            )
    except (OSError, StopIteration):
        pass
    load = " / ".join(f"{x:.2f}" for x in os.getloadavg())
    return (
        f"{cpu}, {os.cpu_count()} logical cores, load average {load}; "
        f"Python {platform.python_version()}, NumPy {np.__version__}"
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--seconds",
        type=float,
        default=0.7,
        help="time spent per bank and block size (default: %(default)s)",
    )
    parser.add_argument("--json", metavar="PATH", help="also write the records as JSON")
    args = parser.parse_args(argv)

    print(f"# kavrel latency, {SAMPLE_RATE:g} Hz\n\n{machine()}\n")
    latencies = [measure_latency(c, b, args.seconds) for c in CHANNELS for b in BLOCKS]
    print("Time from a block's arrival to its readout (`process_samples` + `magnitudes()`),")
    print(f"at least {min(r.calls for r in latencies)} blocks per row:\n")
    print(latency_table(latencies))

    constants = time_constants()
    print("\nDefault smoothing factors across the keyboard, per stage (two stages in cascade):\n")
    print(time_constant_table(constants))

    if args.json:
        with open(args.json, "w") as out:
            json.dump(
                {
                    "machine": machine(),
                    "latency": [r._asdict() | {"budget": r.budget} for r in latencies],
                    "time_constants": [r._asdict() for r in constants],
                },
                out,
                indent=2,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
