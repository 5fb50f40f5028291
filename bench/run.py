#!/usr/bin/env python3
"""Throughput benchmark of kavrel's resonator bank against the usual alternatives.

    python bench/run.py                 # full run, a few minutes
    python bench/run.py --quick         # smaller signal and budgets, about a minute
    python bench/run.py --json out.json # also keep every number; bench/report.py out.json reprints it

Measures (bench/measure.py) and then prints the tables (bench/report.py).
"""

import argparse
import json
import sys

try:
    import kavrel  # noqa: F401
except ImportError as exc:  # pragma: no cover - message for a user without the module
    sys.exit(f"cannot import kavrel ({exc}); build it and put it on PYTHONPATH")

from measure import measure
from report import report


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smaller signal and time budgets")
    ap.add_argument("--json", metavar="PATH", help="also write every number to this JSON file")
    ap.add_argument("--seconds", type=float, default=None,
                    help="signal length in seconds (default 4, or 1 with --quick)")
    ap.add_argument("--no-corpus", action="store_true", help="skip the corpus throughput (Dask)")
    args = ap.parse_args(argv)
    args.seconds = args.seconds or (1.0 if args.quick else 4.0)
    args.budget = 0.12 if args.quick else 0.6  # seconds per timed run of a slow alternative
    args.min_prefix = 4096 if args.quick else 8192

    # Through JSON and back, so that a printed run and a reprinted file are alike.
    results = json.loads(json.dumps(measure(args), default=float))
    report(results)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)
        print(f"Wrote {args.json}")
    return results


if __name__ == "__main__":
    main()
