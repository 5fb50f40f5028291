"""Tables of a benchmark record: `python bench/report.py [--markdown] results.json` reprints a
saved run, as text or as the Markdown the guide's performance page is made of."""

import argparse
import functools
import json
import sys

from measure import HOPS, MUL_OPS_PER_8, TOL_F32, TOL_F64

PEERS = (("numpy", "NumPy"), ("scipy", "SciPy"), ("numba", "Numba"))
OTHERS = (("stft", "STFT"), ("cqt", "CQT"), ("vqt", "VQT"))


def ratio(r):
    return f"{r:,.0f}x" if r >= 100 else f"{r:.1f}x" if r >= 10 else f"{r:.2f}x"


def verdict(alternative):
    """An alternative's largest deviation from kavrel's picture, and whether it is within
    tolerance."""
    return f"{alternative['max_deviation']:.1e} {'ok' if alternative['ok'] else 'FAIL'}"


def table(headers, rows, aligns=None, markdown=False):
    """Aligned text table, or a Markdown one; aligns holds 'l' or 'r' per column."""
    aligns = aligns or "r" * len(headers)
    if markdown:
        return "\n".join(
            [
                "",
                "| " + " | ".join(map(str, headers)) + " |",
                "|" + "|".join(":--" if a == "l" else "--:" for a in aligns) + "|",
            ]
            + ["| " + " | ".join(map(str, r)) + " |" for r in rows]
            + [""]
        )
    widths = [max(len(str(c)) for c in col) for col in zip(headers, *rows)]

    def line(cells):
        padded = (
            str(c).ljust(w) if a == "l" else str(c).rjust(w)
            for c, w, a in zip(cells, widths, aligns)
        )
        return "  " + "  ".join(padded).rstrip()

    return "\n".join(
        [line(headers), "  " + "  ".join("-" * w for w in widths)] + [line(r) for r in rows]
    )


def report(res, out=sys.stdout, markdown=False):
    def say(*lines):
        if markdown:  # text lines end with a line break, tables stand apart
            lines = [
                ln
                if not ln.strip() or ln.startswith(("\n", "|"))
                else ("\\" if ln.strip()[0] == "*" else "") + ln.strip() + "  "
                for ln in lines
            ]
        print(*lines, sep="\n", file=out)

    table = functools.partial(globals()["table"], markdown=markdown)

    env, b, sizes, v = (
        res["environment"],
        res["bound"],
        res["sizes"],
        res["environment"]["versions"],
    )
    say(
        f"kavrel benchmark ({res['mode']})",
        f"  CPU     : {env['cpu']}, {env['cpus_usable']} usable CPUs; 1-minute load "
        f"{env['load_average']:.2f} at start, {res['load_average_end']:.2f} at the end",
        "  Versions: " + ", ".join(f"{k} {v[k] or '-'}" for k in v),
        f"  Signal  : {res['signal_samples']} samples "
        f"({res['signal_samples'] / res['sample_rate']:.2f} s at {res['sample_rate']:g} Hz) "
        "of noise and tones; banks log-spaced 27.5 Hz .. 8 kHz",
        "  Timing  : best of a few runs, one core unless stated; on a shared machine"
        " differences under ~10% are noise",
        "",
    )
    say(
        f"Bound: {b['ops_256_per_s'] / 1e9:.2f} G multiply-class 256-bit operations/s measured "
        f"on one core ({'/'.join(b['vector_regs'])} FMA probe) x 8 / {MUL_OPS_PER_8} = "
        f"{b['channel_samples_per_s'] / 1e9:.2f} G channel-samples/s"
        if b["measured"]
        else f"Bound: not measured ({b['why']})"
    )
    keys = ["process_samples"] + [f"resonate_hop{h}" for h in HOPS]
    rows = []
    for n, s in sizes.items():
        cells = [f"{s['kavrel'][k]['rate'] / 1e9:.3f}" for k in keys]
        if b["measured"]:
            cells = [
                f"{c} ({100 * s['kavrel'][k]['rate'] / b['channel_samples_per_s']:5.1f}%)"
                for c, k in zip(cells, keys)
            ]
        rows.append([n] + cells)
    say(
        "",
        "1. kavrel, one core: G channel-samples/s (share of the bound)",
        table(["channels", "process_samples"] + [f"resonate hop {h}" for h in HOPS], rows),
    )

    say(
        "",
        '2. "kavrel is N x faster": kavrel resonate against each, same signal and hop, one core.',
        "   NumPy, SciPy, Numba compute the same recurrence; STFT (ShortTimeFFT, Hann 2048), CQT"
        " and",
        "   VQT (librosa, same lowest frequency, bin count, whole bins per octave) are different",
        "   analyses of the same signal, timed for the cost of one picture",
    )
    rows = []
    for n, s in sizes.items():
        alts = s["alternatives"]
        for hop in HOPS:
            row = [n, hop, f"{s['kavrel'][f'resonate_hop{hop}']['seconds'] * 1e3:.3g}"]
            for key, _ in PEERS + OTHERS:
                a = alts.get(key)
                mark = (
                    "*"
                    if a and a.get("prefix_samples", res["signal_samples"]) < res["signal_samples"]
                    else ""
                )
                row.append(ratio(a["hops"][str(hop)]["kavrel_speedup"]) + mark if a else "-")
            rows.append(row)
    say(
        table(["channels", "hop", "kavrel ms"] + [label for _, label in PEERS + OTHERS], rows),
        "   * timed on a prefix and scaled per sample (see notes); - not run; below 1x the other"
        " is faster",
    )
    rows = [
        [n] + [verdict(s["alternatives"][k]) if k in s["alternatives"] else "-" for k, _ in PEERS]
        for n, s in sizes.items()
    ]
    say(
        "",
        "   Closeness to kavrel's picture: max |alt - kavrel| / per-channel max |kavrel|, both"
        " hops",
        table(["channels"] + [label for _, label in PEERS], rows),
        f"   tolerance {TOL_F32:g} for the float32 recurrences, {TOL_F64:g} for SciPy (float64)",
    )

    par = res["parallel"]
    if par:
        say(
            "",
            f"3. One analysis on every core: one bank against {par[0]['workers']} banks of its"
            " channels in threads (examples/parallel.py)",
            table(
                ["channels", "hop", "one bank ms", "split ms", "speed-up", "cores used"],
                [
                    [
                        p["channels"],
                        p["hop"],
                        f"{p['seconds_one'] * 1e3:.1f}",
                        f"{p['seconds_split'] * 1e3:.1f}",
                        f"{p['speedup']:.2f}x",
                        f"{p['cores_used']:.2f}",
                    ]
                    for p in par
                ],
            ),
            "   cores used: CPU time per wall time of the split runs; below the bank count, other"
            " processes held the cores",
        )
    if res["corpus"]:
        c = res["corpus"]
        base = c[0]["audio_seconds_per_second"]
        say(
            "",
            f"4. Corpus on a local Dask cluster (kavrel_tools.corpus): {c[0]['files']} WAV files "
            f"of {c[0]['seconds_per_file']:g} s, 88 keys, hop 512",
            table(
                ["worker processes", "wall s", "audio s per s", "vs 1 worker"],
                [
                    [
                        w["workers"],
                        f"{w['wall_seconds']:.2f}",
                        f"{w['audio_seconds_per_second']:,.0f}",
                        f"{w['audio_seconds_per_second'] / base:.2f}x",
                    ]
                    for w in c
                ],
            ),
        )
    say(
        "",
        "5. Small calls on an 88-channel bank: microseconds per call (median)",
        table(
            ["call", "per call", "compute est.", "fixed overhead"],
            [
                [
                    o["call"],
                    f"{o['us_per_call']:.3f}",
                    f"{o['us_compute']:.3f}",
                    f"{o['us_fixed']:.3f}",
                ]
                for o in res["small_calls"]
            ],
            "lrrr",
        ),
    )
    if res["notes"]:
        say("", "Notes", *[f"  - {s}" for s in res["notes"]])


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("json", help="a file written by bench/run.py --json")
    ap.add_argument("--markdown", action="store_true", help="Markdown tables, for the guide")
    args = ap.parse_args()
    with open(args.json) as fh:
        report(json.load(fh), markdown=args.markdown)
