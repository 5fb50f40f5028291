#!/usr/bin/env python3
"""The streaming analyser's cost per block against calling the bank directly.

    python bench/stream.py                 # a few seconds
    python bench/stream.py --json stream.json

`kavrel_tools.StreamAnalyser.feed` turns a block into float32 (a no-op for
contiguous float32 mono), carries an unfinished frame over to the next block
and returns the frames the block completes, bit for bit those of one
`resonate` over the whole signal. The baseline is the one bank call that
advances a bank over the same block: `bank.resonate(block, hop)` for a block
of whole hops, `bank.process_samples(block)` for any other (which returns no
frames: the analyser's extra calls to finish a straddling frame are part of
its overhead).

For banks of 88 and 1024 channels at 48 kHz, hop 256, and blocks of 64 to
4096 samples (1000, which splits frames, included), both loops run over the
same noise, alternately, and the best of seven runs of each is kept. The
table gives both per-block times, their ratio and the difference, the
analyser's overhead per block; all measured in the same run.
"""

from __future__ import annotations

import argparse
import json
import sys
import time

import numpy as np
from report import ratio, table

import kavrel
from kavrel_tools.frequencies import key_frequencies
from kavrel_tools.stream import StreamAnalyser

SAMPLE_RATE = 48000.0
HOP = 256
CHANNELS = (88, 1024)
BLOCKS = (64, 256, 1000, 1024, 4096)
REPEATS = 7


def bank_frequencies(channels: int) -> np.ndarray:
    if channels == 88:
        return key_frequencies()
    return np.geomspace(27.5, 16000.0, channels).astype(np.float32)


def timed(run, blocks) -> float:
    start = time.perf_counter()
    run(blocks)
    return time.perf_counter() - start


def measure(channels: int, block: int, seconds: float) -> dict:
    freqs = bank_frequencies(channels)
    samples = max(block, int(seconds * SAMPLE_RATE) // block * block)
    noise = (0.1 * np.random.default_rng(block).standard_normal(samples)).astype(np.float32)
    blocks = [noise[i : i + block] for i in range(0, samples, block)]
    bank = kavrel.ResonatorBank(freqs, SAMPLE_RATE)
    analyser = StreamAnalyser(freqs, SAMPLE_RATE, HOP)

    def direct(blocks):
        if block % HOP:
            for b in blocks:
                bank.process_samples(b)
        else:
            for b in blocks:
                bank.resonate(b, HOP)

    def streamed(blocks):
        for b in blocks:
            analyser.feed(b)

    direct(blocks[:8])  # warm-up
    streamed(blocks[:8])
    times = {"direct": float("inf"), "analyser": float("inf")}
    for _ in range(REPEATS):  # alternated, so that both see the same machine
        times["direct"] = min(times["direct"], timed(direct, blocks))
        times["analyser"] = min(times["analyser"], timed(streamed, blocks))
    n = len(blocks)
    return {
        "channels": channels,
        "block": block,
        "blocks": n,
        "us_direct": times["direct"] / n * 1e6,
        "us_analyser": times["analyser"] / n * 1e6,
        "ratio": times["analyser"] / times["direct"],
        "us_overhead": (times["analyser"] - times["direct"]) / n * 1e6,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--seconds", type=float, default=1.0, help="audio per case (default: %(default)s)"
    )
    parser.add_argument("--json", metavar="PATH", help="also write the records as JSON")
    args = parser.parse_args(argv)
    records = [measure(c, b, args.seconds) for c in CHANNELS for b in BLOCKS]
    rows = [
        (
            r["channels"],
            r["block"],
            f"{r['us_direct']:.1f} µs",
            f"{r['us_analyser']:.1f} µs",
            ratio(r["ratio"]),
            f"{r['us_overhead']:.1f} µs",
        )
        for r in records
    ]
    print(f"StreamAnalyser.feed against the bank call per block, hop {HOP}, {SAMPLE_RATE:g} Hz\n")
    print(
        table(("channels", "block", "bank call", "feed", "ratio", "overhead"), rows, markdown=True)
    )
    if args.json:
        with open(args.json, "w") as out:
            json.dump(records, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
