"""Analyse a corpus of recordings on a Dask cluster into one Zarr store.

Usage::

    python examples/corpus.py INPUT_DIR OUTPUT [--scheduler ADDRESS] [--workers N] [--hop H]

Every audio file under INPUT_DIR that soundfile can read (WAV, FLAC, Ogg,
MP3, AIFF, ...) is mixed down to mono and run through a resonator bank with
one channel per piano key (A0 to C8, A4 = 440 Hz, default smoothing factors)
below the file's Nyquist frequency (half its sample rate): all 88 keys from
8373 Hz up, the lowest keys only below. The power of every channel every H
samples (default 512), in dB relative to a full-scale sine (at least -120 dB),
is written as one float32 array of shape (frames, keys) in the Zarr store
OUTPUT, at the file's path relative to INPUT_DIR, chunked along time. Row k
holds the channel values after sample (k + 1) * H - 1 of the file (counted
from 0), that is at time (k + 1) * H / sample_rate; the samples after the last
whole frame are not analysed. Each array's attributes say what a reader needs: the sample rate,
the hop, the frequencies and smoothing factors of its columns, the kavrel
version, the row times and the source's length and channel count.

A file gives no array, and counts as failed, when it cannot be read, is not
a regular file (a FIFO, a device: never opened, so that reading cannot block),
lies behind a dangling or looping symbolic link, is shorter than one frame,
has a sample rate of 55 Hz or less (no key below its Nyquist frequency), or
holds a sample that is not finite (NaN or infinite: it would turn every later
row into NaN; the error gives its time). The channels are mixed to mono in
double precision and rounded to float32, so that no mix of finite samples
overflows.

The work runs on Dask: by default on a local cluster with one worker process
per CPU this process may use (or N with --workers), or on an existing cluster
given by its scheduler address. Each worker builds its own banks, reads its
files and writes their arrays into the store itself (only file names and
errors travel back), so on a remote cluster the workers must see INPUT_DIR
and OUTPUT at the same paths, on a shared file system, and have the same
kavrel installed.

As a batch job: a file that fails is reported with its error at the end and
in the store's attribute "errors", the others go on, and the exit status is 1
when any failed. An array is written aside, flushed to disk and then moved to
its place with its attribute "complete" already set, so that every array in
the store is whole; a second run skips those, so an interrupted job (even one
killed outright) resumes where it stopped, and retries the files that failed.

The store records the settings it was made with (hop, keys, tuning,
smoothing, kavrel version) in its attribute "kavrel_corpus"; a run with other
settings is refused. One run at a time works on a store: a run holds a lock
(flock, or a byte lock on Windows) on the file .kavrel-lock inside it, which
the system releases when the run ends in any way, and a second run on the same
store stops at once. Each run also leaves a token of its own in the store, and
a worker places an array only while its run's token is there: the workers of a
killed run that are still busy cannot write once another run has started (it
waits for those that are placing an array at that moment). OUTPUT
is a folder; on a shared file system the lock keeps out runs on other machines
where the file system shares such locks between its clients (NFS on Linux
does), and only runs on the same machine elsewhere. An array's key is the
file's path with '\\' read as '/' (its attribute "source" keeps the path); two
names that would share a key (they differ only in case, Unicode normalisation
or '\\' for '/', or a file's name is also a folder's), and a name that cannot
be a key, stop the job before any work; so does a file whose key holds a folder
of the store (the input's folder of that name was replaced by a file): a rerun
never removes what an earlier one stored. What stops the job (these names, an
OUTPUT that cannot be a store, a store in use or made with other settings, an
unreachable scheduler, a full disk) is one line on standard error, with exit
status 1; a disk that fills up during the work still lets every failure be
printed before that line.

The job is ``kavrel_tools.corpus.analyse_corpus``, the function to use in a
program; this script is its command line. Requires dask[distributed], zarr
(2.16 or newer, or 3), soundfile and tqdm: ``pip install ".[corpus]"``.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

from kavrel_tools.corpus import DEFAULT_HOP, DISK_FULL, CorpusError, analyse_corpus
from kavrel_tools.files import shown


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        prog=os.path.basename(__file__),
        description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    ap.add_argument("input_dir", metavar="INPUT_DIR", help="folder searched for audio files")
    ap.add_argument("output", metavar="OUTPUT", help="Zarr store written (created when missing)")
    ap.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="address of an existing Dask scheduler (default: start a local cluster)",
    )
    ap.add_argument(
        "--workers",
        metavar="N",
        type=int,
        default=None,
        help="worker processes of the local cluster (default: one per CPU)",
    )
    ap.add_argument(
        "--hop",
        metavar="H",
        type=int,
        default=DEFAULT_HOP,
        help=f"samples per frame (default {DEFAULT_HOP})",
    )
    args = ap.parse_args(argv)
    if not 1 <= args.hop < 2**63:
        ap.error("--hop must be at least 1 and below 2**63")
    if args.workers is not None and args.workers < 1:
        ap.error("--workers must be at least 1")
    if args.scheduler and args.workers is not None:
        ap.error("--workers applies to the local cluster only, not with --scheduler")

    start = time.perf_counter()
    try:
        summary = analyse_corpus(
            args.input_dir,
            args.output,
            hop=args.hop,
            scheduler=args.scheduler or None,
            workers=args.workers,
            progress=True,
        )
    except CorpusError as exc:
        print(f"{ap.prog}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted: what is written is complete; run again to resume", file=sys.stderr)
        return 130

    print(
        f"{len(summary['done'])} analysed, {len(summary['skipped'])} already complete, "
        f"{len(summary['errors'])} failed, in {time.perf_counter() - start:.1f} s; "
        f"store: {shown(args.output)}"
    )
    for key, message in summary["errors"].items():
        print(f"failed: {shown(key)}: {message}", file=sys.stderr)
    if summary["unrecorded"] is not None:
        print(f"{ap.prog}: error: {summary['unrecorded']}", file=sys.stderr)
    elif DISK_FULL in summary["errors"].values():
        print(
            f"{ap.prog}: error: cannot write the store {args.output}: {DISK_FULL}", file=sys.stderr
        )
    return 1 if summary["errors"] or summary["unrecorded"] else 0


if __name__ == "__main__":
    sys.exit(main())
