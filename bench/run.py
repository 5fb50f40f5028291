#!/usr/bin/env python3
"""Throughput benchmark of kavrel's resonator bank against the usual alternatives.

python bench/run.py                 # full run, a few minutes
python bench/run.py --quick         # shorter signal and budgets, about a minute
python bench/run.py --json out.json # also keep every number; bench/report.py out.json reprints it
"""

import argparse
import json

from measure import measure
from report import report

if __name__ == "__main__":
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--quick", action="store_true", help="shorter signal and time budgets")
    ap.add_argument("--json", metavar="PATH", help="also write every number to this JSON file")
    ap.add_argument(
        "--seconds", type=float, help="signal length in seconds (default 4, or 1 with --quick)"
    )
    ap.add_argument("--no-corpus", action="store_true", help="skip the corpus throughput (Dask)")
    args = ap.parse_args()
    # Through JSON and back, so that a printed run and a reprinted file are alike.
    results = json.loads(json.dumps(measure(args), default=float))
    report(results)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)
        print(f"Wrote {args.json}")
