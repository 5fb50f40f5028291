"""Analyse a corpus of recordings on a Dask cluster into one Zarr store.

Usage::

    python examples/corpus.py INPUT_DIR OUTPUT [--scheduler ADDRESS] [--workers N] [--hop H]

Every audio file under INPUT_DIR that soundfile can read (WAV, FLAC, Ogg,
MP3, AIFF, ...) is mixed down to mono and run through a resonator bank with
one channel per piano key (A0 to C8, A4 = 440 Hz, default smoothing factors).
The power of every channel every H samples (default 512), in dB relative to a
full-scale sine, is written as one float32 array of shape (frames, 88) in the
Zarr store OUTPUT, at the file's path relative to INPUT_DIR, chunked along
time. Each array's attributes hold the file's sample rate, the hop and the
frequencies.

The work runs on Dask: by default on a local cluster with one worker process
per CPU this process may use (or N with --workers), or on an existing cluster
given by its scheduler address. Each worker builds its own banks, reads its
files and writes their arrays into the store itself (only file names and
errors travel back), so on a remote cluster the workers must see INPUT_DIR
and OUTPUT at the same paths, on a shared file system.

As a batch job: a file that fails is reported with its error at the end and
in the store's attribute "errors", the others go on, and the exit status is 1
when any failed. A file counts as done once its array carries the attribute
"complete"; a second run skips those, so an interrupted job resumes where it
stopped (and retries the files that failed).

Requires dask[distributed], zarr (2.16 or newer, or 3), soundfile and tqdm:
``pip install ".[corpus]"``.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import cloudpickle
import numpy as np
import soundfile
import zarr
from dask.distributed import Client, LocalCluster, as_completed
from tqdm import tqdm

import kavrel

LOWEST_KEY, HIGHEST_KEY = 21, 108  # A0, C8
TUNING_HZ = 440.0
DEFAULT_HOP = 512
FRAMES_PER_CHUNK = 4096
ZARR_3 = int(zarr.__version__.split(".")[0]) >= 3

# File name endings soundfile reads besides the names of its formats.
EXTRA_SUFFIXES = {"aif", "oga", "opus"}


def key_frequencies() -> np.ndarray:
    """Frequencies in Hz of the 88 piano keys, as the float32 array the bank takes."""
    return np.array(
        [kavrel.midi_to_hz(m, TUNING_HZ) for m in range(LOWEST_KEY, HIGHEST_KEY + 1)],
        dtype=np.float32,
    )


def audio_files(root: Path) -> list[str]:
    """Paths relative to `root`, with '/' separators, of the files soundfile may read, sorted."""
    suffixes = {name.lower() for name in soundfile.available_formats()} | EXTRA_SUFFIXES
    found = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in files:
            if Path(name).suffix[1:].lower() in suffixes:
                found.append((Path(folder) / name).relative_to(root).as_posix())
    return sorted(found)


def power_db(frames: np.ndarray) -> np.ndarray:
    """Channel powers in dB relative to a full-scale sine, float32.

    A sine of amplitude A settles to a channel value of magnitude A / 2, so the
    power is scaled by 4 to read 0 dB for A = 1; the small offset keeps silent
    channels finite (-120 dB).
    """
    power = np.abs(frames.astype(np.complex128)) ** 2
    return (10.0 * np.log10(4.0 * power + 1e-12)).astype(np.float32)


def analyse_file(path: str, hop: int) -> tuple[np.ndarray, int]:
    """The (frames, 88) float32 channel powers in dB of one file, and its sample rate.

    The file is read and analysed in blocks of whole frames, so that a long
    recording never sits in memory at once; one bank runs on through all
    blocks, which gives the frames of one call on the whole signal.
    """
    with soundfile.SoundFile(path) as audio:
        sample_rate = audio.samplerate
        bank = kavrel.ResonatorBank(key_frequencies(), float(sample_rate))
        parts = [
            power_db(bank.resonate(np.ascontiguousarray(block.mean(axis=1, dtype=np.float32)), hop))
            for block in audio.blocks(hop * FRAMES_PER_CHUNK, dtype="float32", always_2d=True)
        ]
    powers = (
        np.concatenate(parts) if parts else np.empty((0, HIGHEST_KEY - LOWEST_KEY + 1), np.float32)
    )
    return powers, int(sample_rate)


def _analyse_task(path: str, output: str, key: str, hop: int) -> str | None:
    """Worker side: analyse one file into its array of the store; None, or the error."""
    try:
        powers, sample_rate = analyse_file(path, hop)
        write_result(open_store(output), key, powers, sample_rate, hop)
        return None
    except Exception as exc:  # reported per file, never stops the batch
        return f"{type(exc).__name__}: {exc}"


# ---------------------------------------------------------------------------
# The store (zarr 2 and 3 differ in how an array is created)


def open_store(path: str):
    return zarr.open_group(str(path), mode="a")


def is_complete(group, key: str) -> bool:
    try:
        return bool(group[key].attrs.get("complete", False))
    except KeyError:
        return False


def write_result(group, key: str, powers: np.ndarray, sample_rate: int, hop: int) -> None:
    """Store one file's powers; the "complete" mark goes on last, after the data."""
    chunks = (max(1, min(len(powers), FRAMES_PER_CHUNK)), powers.shape[1])
    attrs = {
        "sample_rate": sample_rate,
        "hop": hop,
        "unit": "dB relative to a full-scale sine",
        "frequencies": [float(f) for f in key_frequencies()],
    }
    if ZARR_3:
        array = group.create_array(
            key,
            shape=powers.shape,
            chunks=chunks,
            dtype=powers.dtype,
            overwrite=True,
            attributes=attrs,
        )
    else:
        array = group.create_dataset(
            key, shape=powers.shape, chunks=chunks, dtype=powers.dtype, overwrite=True
        )
        array.attrs.update(attrs)
    array[...] = powers
    array.attrs["complete"] = True


# ---------------------------------------------------------------------------
# The batch


def run(
    client: Client, input_dir: str, output: str, hop: int = DEFAULT_HOP, progress: bool = True
) -> dict:
    """Analyse every file under `input_dir` that is not yet complete in `output`.

    Returns {"done": [...], "skipped": [...], "errors": {path: message}}, paths
    relative to `input_dir`. The store's "errors" attribute keeps, for every
    file still under `input_dir`, its latest failure: a file that succeeds
    leaves it, and one that an interrupted run did not reach keeps its entry.
    """
    root = Path(input_dir).resolve()  # workers elsewhere need full paths
    output = str(Path(output).resolve())
    group = open_store(output)
    files = audio_files(root)
    todo = [f for f in files if not is_complete(group, f)]
    skipped = sorted(set(files) - set(todo))
    errors = {k: v for k, v in dict(group.attrs.get("errors", {})).items() if k in todo}
    done = []
    # Workers cannot import this file, so its functions must travel by value.
    # Dask sends a local function through cloudpickle, which takes the
    # functions it calls along when their module is registered as by-value
    # (a script's own module, __main__, always is).
    if __name__ != "__main__":
        cloudpickle.register_pickle_by_value(sys.modules[__name__])

    def task(key):
        return _analyse_task(str(root / key), output, key, hop)

    # Workers write their own arrays, each to its own place; the folders
    # above them are made here first, so that no two workers make one.
    for folder in sorted({str(Path(key).parent) for key in todo} - {"."}):
        group.require_group(folder)
    futures = {client.submit(task, key, pure=False): key for key in todo}
    bar = tqdm(total=len(todo), unit="file", disable=not progress or not todo)
    try:
        for future in as_completed(futures):
            key = futures.pop(future)
            try:
                error = future.result()
            except Exception as exc:  # the worker itself died, or the task could not run
                error = f"{type(exc).__name__}: {exc}"
            if error is None:
                done.append(key)
                errors.pop(key, None)
            else:
                errors[key] = error
            bar.update()
    finally:
        bar.close()
        for future in futures:
            future.cancel()
        group.attrs["errors"] = dict(sorted(errors.items()))
    return {"done": sorted(done), "skipped": skipped, "errors": dict(sorted(errors.items()))}


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
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
    if args.hop < 1:
        ap.error("--hop must be at least 1")
    if args.workers is not None and args.workers < 1:
        ap.error("--workers must be at least 1")
    if args.scheduler and args.workers is not None:
        ap.error("--workers applies to the local cluster only, not with --scheduler")
    if not Path(args.input_dir).is_dir():
        ap.error(f"{args.input_dir} is not a folder")

    start = time.perf_counter()
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        workers = args.workers or len(os.sched_getaffinity(0))
        cluster = LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
        )
        client = Client(cluster)
    try:
        summary = run(client, args.input_dir, args.output, args.hop)
    except KeyboardInterrupt:
        print("interrupted: what is written is complete; run again to resume", file=sys.stderr)
        return 130
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    print(
        f"{len(summary['done'])} analysed, {len(summary['skipped'])} already complete, "
        f"{len(summary['errors'])} failed, in {time.perf_counter() - start:.1f} s; "
        f"store: {args.output}"
    )
    for key, message in summary["errors"].items():
        print(f"failed: {key}: {message}", file=sys.stderr)
    return 1 if summary["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
