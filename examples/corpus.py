"""Analyse a corpus of recordings on a Dask cluster into one Zarr store.

Usage::

    python examples/corpus.py INPUT_DIR OUTPUT [--scheduler ADDRESS] [--workers N] [--hop H]

Every audio file under INPUT_DIR that soundfile can read (WAV, FLAC, Ogg,
MP3, AIFF, ...) is mixed down to mono and run through a resonator bank with
one channel per piano key (A0 to C8, A4 = 440 Hz, default smoothing factors)
below the file's Nyquist frequency (half its sample rate): all 88 keys from
8373 Hz up, the lowest keys only below. The power of every channel every H
samples (default 512), in dB relative to a full-scale sine, is written as one
float32 array of shape (frames, keys) in the Zarr store OUTPUT, at the file's
path relative to INPUT_DIR, chunked along time. Row k holds the channel values
after sample (k + 1) * H - 1 of the file (counted from 0), that is at time
(k + 1) * H / sample_rate; the samples after the last whole frame are not
analysed. Each array's attributes say what a reader needs: the sample rate,
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
and OUTPUT at the same paths, on a shared file system.

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

Requires dask[distributed], zarr (2.16 or newer, or 3), soundfile and tqdm:
``pip install ".[corpus]"``.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import importlib.metadata
import os
import shutil
import sys
import time
import unicodedata
import uuid
from pathlib import Path

import cloudpickle
import numpy as np
import soundfile
import zarr
from dask.distributed import Client, LocalCluster, as_completed
from tqdm import tqdm

import kavrel
from kavrel_tools.files import NotRegularFile, shown
from kavrel_tools.files import open_regular as open_regular_file

if sys.platform == "win32":
    import msvcrt
else:
    import fcntl

LOWEST_KEY, HIGHEST_KEY = 21, 108  # A0, C8
TUNING_HZ = 440.0
DEFAULT_HOP = 512
FRAMES_PER_CHUNK = 4096
READ_SAMPLES = 1 << 22  # at most this many samples are read at once (unless one frame is longer)
ZARR_3 = int(zarr.__version__.split(".")[0]) >= 3

# File name endings soundfile reads besides the names of its formats.
EXTRA_SUFFIXES = {"aif", "oga", "opus"}

SETTINGS_ATTR = "kavrel_corpus"
LOCK_NAME = ".kavrel-lock"
STAGING_NAME = ".kavrel-staging"
RUN_NAME = "run"  # in the staging folder: the token of the run that holds the lock
DISK_FULL = "the disk is full"
# Names that Zarr keeps for its own metadata.
RESERVED_NAMES = {".zgroup", ".zarray", ".zattrs", ".zmetadata", "zarr.json"}
FRAME_TIMES = (
    "row k holds the channel values after sample (k + 1) * hop - 1 of the source "
    "(counted from 0), at (k + 1) * hop / sample_rate seconds; the samples after "
    "the last whole frame are not analysed"
)


class CorpusError(Exception):
    """What stops the whole job before any file is analysed; the message is one line."""


class UnusableInput(Exception):
    """A file that gives no usable picture; the message says why."""


class RunEnded(Exception):
    """A worker's run no longer holds the store: its array is not placed."""


def kavrel_version() -> str:
    return importlib.metadata.version("kavrel")


def key_frequencies() -> np.ndarray:
    """Frequencies in Hz of the 88 piano keys, as the float32 array the bank takes."""
    return np.array(
        [kavrel.midi_to_hz(m, TUNING_HZ) for m in range(LOWEST_KEY, HIGHEST_KEY + 1)],
        dtype=np.float32,
    )


def keys_below_nyquist(sample_rate: float) -> np.ndarray:
    """The frequencies of the keys below half the sample rate: a channel above it
    would only pick up aliases of lower frequencies."""
    freqs = key_frequencies()
    return freqs[freqs < sample_rate / 2]


def job_settings(hop: int) -> dict:
    """What the arrays of a store depend on; every run on a store must have the same."""
    return {
        "format": 1,
        "kavrel_version": kavrel_version(),
        "hop": hop,
        "tuning_hz": TUNING_HZ,
        "keys": [LOWEST_KEY, HIGHEST_KEY],
        "smoothing": "heuristic_alphas(frequencies, sample_rate) for alphas and betas",
        "mono": "mean of the source's channels in float64, rounded to float32",
        "unit": "dB relative to a full-scale sine: 10 log10(4 |value|^2 + 1e-12)",
    }


# ---------------------------------------------------------------------------
# Inputs and their store keys


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


def store_key(name: str) -> str:
    """The store key of an input name: Zarr reads '\\' as '/'."""
    return name.replace("\\", "/")


def _folded(key: str) -> str:
    """What two keys that one file system may take for the same name have in common."""
    return unicodedata.normalize("NFC", key).casefold()


def check_names(names: list[str]) -> None:
    """Refuse a name that cannot be a store key, and two names that would share one."""
    files: dict[str, str] = {}
    for name in names:
        if not name.isprintable():
            raise CorpusError(
                f"input file {shown(name)}: its name has control characters or bytes that "
                "are not UTF-8, which a store key cannot hold; rename it"
            )
        parts = store_key(name).split("/")
        bad = [p for p in parts if p in ("", ".", "..") or p in RESERVED_NAMES]
        if bad or parts[0] in (LOCK_NAME, STAGING_NAME):
            part = bad[0] if bad else parts[0]
            raise CorpusError(
                f"input file {name}: '{part}' cannot be part of a store key; rename it"
            )
        other = files.setdefault(_folded(store_key(name)), name)
        if other != name:
            raise CorpusError(
                f"input files {other} and {name} would share one store key (keys ignore case "
                "and read '\\' as '/'); rename one of them"
            )
    for name in names:
        parts = store_key(name).split("/")
        for depth in range(1, len(parts)):
            holder = files.get(_folded("/".join(parts[:depth])))
            if holder is not None:
                raise CorpusError(
                    f"input file {holder} and the folder of {name} would share one store key; "
                    "rename one of them"
                )


def input_names(input_dir: str) -> list[str]:
    """The audio files under `input_dir`, checked for their store keys."""
    try:
        is_dir = os.path.isdir(input_dir)
        os.stat(input_dir)
    except OSError as exc:
        raise CorpusError(f"{input_dir}: {exc.strerror}") from None
    if not is_dir:
        raise CorpusError(f"{input_dir} is not a folder")
    names = audio_files(Path(input_dir))
    check_names(names)
    return names


# ---------------------------------------------------------------------------
# Analysis of one file


def power_db(frames: np.ndarray) -> np.ndarray:
    """Channel powers in dB relative to a full-scale sine, float32.

    A sine of amplitude A settles to a channel value of magnitude A / 2, so the
    power is scaled by 4 to read 0 dB for A = 1; the small offset keeps silent
    channels finite (-120 dB).
    """
    power = np.abs(frames.astype(np.complex128)) ** 2
    return (10.0 * np.log10(4.0 * power + 1e-12)).astype(np.float32)


def open_regular(path: str):
    """The file at `path` opened for binary reading; UnusableInput when it lies
    behind a broken symbolic link or is not a regular file (a FIFO or a device
    would hang or never end; it is never opened in a way that could wait)."""
    try:
        return open_regular_file(path)
    except NotRegularFile as exc:
        raise UnusableInput(f"not a regular file but {exc.kind}; not read") from None
    except OSError as exc:
        if os.path.islink(path) and exc.errno == errno.ELOOP:
            raise UnusableInput("symbolic link loop") from None
        if os.path.islink(path) and exc.errno == errno.ENOENT:
            target = shown(os.readlink(path))
            raise UnusableInput(f"dangling symbolic link to {target}") from None
        raise UnusableInput(f"cannot read it: {exc.strerror}") from None


def open_sound(stream) -> soundfile.SoundFile:
    """A sound file read from an open file; UnusableInput when soundfile cannot read it."""
    try:
        return soundfile.SoundFile(stream)
    except soundfile.LibsndfileError as exc:
        raise UnusableInput(f"cannot read it: {exc.error_string}") from None


def mono_mix(block: np.ndarray) -> np.ndarray:
    """The mean of the channels (the columns) of float32 samples, as contiguous
    float32: summed in float64, where no finite samples can overflow, then
    rounded once (one channel comes back unchanged)."""
    return np.ascontiguousarray(block.mean(axis=1, dtype=np.float64), dtype=np.float32)


def analyse_file(path: str, hop: int) -> tuple[np.ndarray, dict]:
    """The (frames, keys) float32 channel powers in dB of one file, and the
    attributes of its array; UnusableInput when it gives no usable picture.

    The file is read and analysed in blocks of whole frames, so that a long
    recording never sits in memory at once; one bank runs on through all
    blocks, which gives the frames of one call on the whole signal.
    """
    with open_regular(path) as stream, open_sound(stream) as audio:
        sample_rate, length = audio.samplerate, audio.frames
        freqs = keys_below_nyquist(sample_rate)
        if len(freqs) == 0:
            raise UnusableInput(
                f"no piano key lies below the Nyquist frequency ({sample_rate / 2:g} Hz)"
            )
        if length < hop:
            raise UnusableInput(f"shorter than one frame ({length} samples, hop {hop})")
        alphas = kavrel.heuristic_alphas(freqs, float(sample_rate))
        bank = kavrel.ResonatorBank(freqs, float(sample_rate), alphas=alphas, betas=alphas)
        frames_per_read = max(1, min(FRAMES_PER_CHUNK, READ_SAMPLES // hop))
        parts, start = [], 0
        for block in audio.blocks(hop * frames_per_read, dtype="float32", always_2d=True):
            mono = mono_mix(block)
            bad = ~np.isfinite(mono)
            if bad.any():
                at = int(bad.argmax())
                raise UnusableInput(
                    f"a sample that is not a finite number ({mono[at]}) at "
                    f"{(start + at) / sample_rate:.6f} s (sample {start + at})"
                )
            parts.append(power_db(bank.resonate(mono, hop)))
            start += len(mono)
        channels = audio.channels
    if start < hop:  # a file that holds fewer samples than its header says
        raise UnusableInput(f"shorter than one frame ({start} samples, hop {hop})")
    attrs = {
        "sample_rate": int(sample_rate),
        "hop": hop,
        "unit": "dB relative to a full-scale sine",
        "frequencies": [float(f) for f in freqs],
        "alphas": [float(a) for a in alphas],
        "betas": [float(a) for a in alphas],
        "kavrel_version": kavrel_version(),
        "frame_times": FRAME_TIMES,
        "source_samples": int(start),
        "source_seconds": start / sample_rate,
        "source_channels": int(channels),
    }
    return np.concatenate(parts), attrs


# ---------------------------------------------------------------------------
# The store: each array is written aside, flushed and moved into place whole


def _reason(exc: OSError) -> str:
    """What an error of the file system says, in a few words."""
    return DISK_FULL if exc.errno == errno.ENOSPC else exc.strerror or str(exc)


def _sync(path: Path) -> None:
    """Flush a file, or a folder's entries, to disk (Windows opens no folder;
    its file systems keep their entries in a journal)."""
    if sys.platform == "win32" and path.is_dir():
        return
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _sync_tree(root: Path) -> None:
    for folder, _, files in os.walk(root):
        for name in files:
            _sync(Path(folder) / name)
        _sync(Path(folder))


def _lock(fd: int, wait: bool) -> bool:
    """Lock the open file `fd` for this process: an flock, or on Windows a lock
    on its first byte; both end with the process. False when another process
    holds it and `wait` is false."""
    if sys.platform == "win32":
        while True:
            try:
                msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
                return True
            except OSError as exc:
                if exc.errno not in (errno.EACCES, errno.EDEADLOCK):
                    raise
            if not wait:
                return False
            time.sleep(0.05)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except BlockingIOError:
        return False
    return True


def _take_lock(path: Path, wait: bool) -> int | None:
    """A descriptor holding a lock on the file `path`, created when missing;
    None, without waiting, when another process holds it (`wait` false)."""
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            locked = _lock(fd, wait)
        except OSError:
            os.close(fd)
            raise
        if not locked:
            os.close(fd)
            return None
        # The holder before may have removed the file once done with it: the
        # lock counts only on the file in place.
        with contextlib.suppress(FileNotFoundError):
            if os.stat(path).st_ino == os.fstat(fd).st_ino:
                return fd
        os.close(fd)


def _release(path: Path, fd: int) -> None:
    # (Windows removes no open file: there the lock file stays.)
    with contextlib.suppress(OSError):
        os.unlink(path)
    os.close(fd)


def _run_token(output: str | Path) -> str | None:
    """The token of the run that holds the store, or None when none does."""
    try:
        return (Path(output) / STAGING_NAME / RUN_NAME).read_text()
    except OSError:
        return None


def _clean_staging(staging: Path) -> None:
    """Wait for the writers of runs that are gone which are placing an array
    now, and remove what writers left aside (each writer holds a lock on
    NAME.lock while it writes NAME and NAME-old there).

    Called once this run's token is in place: a writer that takes its lock
    after this looked finds another run's token when it is about to place its
    array, and gives up."""
    for lock in sorted(staging.glob("*.lock")):
        fd = _take_lock(lock, wait=True)
        assert fd is not None  # a lock waited for is always taken
        for entry in staging.glob(lock.stem + "*"):
            if entry != lock:
                shutil.rmtree(entry, ignore_errors=True)
        _release(lock, fd)


def write_result(
    output: str,
    key: str,
    powers: np.ndarray,
    attrs: dict,
    zarr_format: int = 2,
    run: str | None = None,
) -> None:
    """Store one file's powers at `key`, marked complete, once they are on disk.

    With `run`, the token of the run this writer works for, the array is
    placed only while that run holds the store; RunEnded otherwise.
    """
    if run is not None and _run_token(output) != run:
        raise RunEnded("the run that asked for it has ended; nothing was written")
    staging = Path(output) / STAGING_NAME
    staging.mkdir(exist_ok=True)
    name = uuid.uuid4().hex
    lock, aside, old = staging / f"{name}.lock", staging / name, staging / f"{name}-old"
    fd = _take_lock(lock, wait=True)
    assert fd is not None  # a lock waited for is always taken
    try:
        chunks = (max(1, min(len(powers), FRAMES_PER_CHUNK)), powers.shape[1])
        options = {"zarr_format": zarr_format} if ZARR_3 else {}
        array = zarr.open_array(
            str(aside), mode="w", shape=powers.shape, chunks=chunks, dtype=powers.dtype, **options
        )
        array[...] = powers
        array.attrs.update({**attrs, "complete": True})
        _sync_tree(aside)
        # Looked at while this writer holds its lock, which a new run waits
        # for once its own token is in place.
        if run is not None and _run_token(output) != run:
            raise RunEnded("the run that asked for it has ended; nothing was written")
        final = Path(output) / store_key(key)
        # Whatever lies at the key is an array that is not complete (of an
        # older version; the run refused a folder there before any work): it
        # is set aside and removed.
        for _ in range(10):
            try:
                os.rename(aside, final)
                break
            except OSError as exc:
                if exc.errno not in (errno.ENOTEMPTY, errno.EEXIST, errno.ENOTDIR):
                    raise
            with contextlib.suppress(FileNotFoundError):
                os.rename(final, old)
            shutil.rmtree(old, ignore_errors=True)
        else:
            raise OSError(f"cannot place the array at {key}: other writers keep replacing it")
        _sync(final.parent)
    finally:
        shutil.rmtree(aside, ignore_errors=True)
        _release(lock, fd)


def _analyse_task(
    path: str, output: str, key: str, hop: int, zarr_format: int, version: str, run: str | None
) -> str | None:
    """Worker side: analyse one file into its array of the store; None, or the error."""
    try:
        if kavrel_version() != version:
            return f"this worker has kavrel {kavrel_version()}, the store was made with {version}"
        powers, attrs = analyse_file(path, hop)
        write_result(output, key, powers, {"source": key, **attrs}, zarr_format, run)
        return None
    except (UnusableInput, RunEnded) as exc:
        return str(exc)
    except OSError as exc:
        if exc.errno == errno.ENOSPC:
            return DISK_FULL
        return f"{type(exc).__name__}: {exc}"
    except Exception as exc:  # reported per file, never stops the batch
        return f"{type(exc).__name__}: {exc}"


def _check_output(output: str) -> Path:
    """The store's path, refusing what cannot be a Zarr store, without writing anything."""
    if "://" in output:  # the lock and the placing of arrays need a file system
        raise CorpusError(f"{output}: the store must be a folder on a file system, not a URL")
    path = Path(os.path.abspath(output))
    try:
        path.stat()
    except FileNotFoundError:
        if path.is_symlink():
            raise CorpusError(
                f"{output} is a dangling symbolic link (to {os.readlink(path)})"
            ) from None
        return path
    except OSError as exc:
        raise CorpusError(f"{output}: {exc.strerror}") from None
    path = path.resolve()
    if not path.is_dir():
        raise CorpusError(f"{output} exists and is not a folder, so it cannot be a Zarr store")
    known = {".zgroup", ".zarray", "zarr.json", LOCK_NAME, STAGING_NAME}
    if any(path.iterdir()) and not any((path / name).exists() for name in known):
        raise CorpusError(f"{output} is a folder that holds no Zarr store; give a new one")
    return path


@contextlib.contextmanager
def locked_store(output: str, settings: dict):
    """The store's root group, created when missing, with this process holding its lock.

    The lock is on OUTPUT/.kavrel-lock: the system releases it when the
    process ends, however it ends. The run's token (see write_result) is put
    in place first. The lock file, the token and the area where arrays are
    written aside are removed when the run ends normally.
    """
    path = _check_output(output)
    try:
        path.mkdir(parents=True, exist_ok=True)
        fd = _take_lock(path / LOCK_NAME, wait=False)
    except OSError as exc:
        raise CorpusError(f"cannot write the store {output}: {_reason(exc)}") from None
    if fd is None:
        raise CorpusError(f"{output} is in use by another run of this job")
    staging = path / STAGING_NAME
    try:
        try:
            staging.mkdir(exist_ok=True)
            (staging / RUN_NAME).write_text(uuid.uuid4().hex)
            _clean_staging(staging)
            group = zarr.open_group(str(path), mode="a")
            recorded = group.attrs.get(SETTINGS_ATTR)
        except OSError as exc:
            raise CorpusError(f"cannot write the store {output}: {_reason(exc)}") from None
        except Exception as exc:
            raise CorpusError(f"cannot open {output} as a Zarr group: {exc}") from None
        own = RESERVED_NAMES | {LOCK_NAME, STAGING_NAME}
        has_members = any(entry.name not in own for entry in path.iterdir())
        if recorded is None and has_members:
            raise CorpusError(
                f"{output} holds no record of the settings it was made with; give a new store"
            )
        if recorded is None:
            try:
                group.attrs[SETTINGS_ATTR] = settings
            except OSError as exc:
                raise CorpusError(f"cannot write the store {output}: {_reason(exc)}") from None
        elif not isinstance(recorded, dict):
            raise CorpusError(
                f"{output} has an attribute {SETTINGS_ATTR} that is no record of settings "
                f"(a {type(recorded).__name__}); give a new store"
            )
        elif recorded != settings:
            changed = ", ".join(
                f"{name} {recorded.get(name)!r}, not {settings.get(name)!r}"
                for name in sorted(set(recorded) | set(settings))
                if recorded.get(name) != settings.get(name)
            )
            raise CorpusError(
                f"{output} was made with other settings ({changed}); "
                "use those or give another store"
            )
        yield group
    finally:
        with contextlib.suppress(OSError):
            os.unlink(staging / RUN_NAME)
        with contextlib.suppress(OSError):
            os.rmdir(staging)
        _release(path / LOCK_NAME, fd)


def folder_at(output: str, group, key: str) -> bool:
    """Whether the store holds, at `key`, a folder: a group, or a folder Zarr
    does not know that holds something (an array is a folder on disk too)."""
    try:
        node = group[store_key(key)]
    except KeyError:
        place = Path(output) / store_key(key)
        return place.is_dir() and any(place.iterdir())
    return isinstance(node, zarr.Group)


def is_complete(group, key: str) -> bool:
    try:
        return bool(group[store_key(key)].attrs.get("complete", False))
    except KeyError:
        return False


# ---------------------------------------------------------------------------
# The batch


def analyse_into(
    client: Client, input_dir: str, output: str, group, names: list[str], hop: int, progress: bool
) -> dict:
    """Analyse every file of `names` that is not yet complete in the locked store."""
    root = Path(input_dir).resolve()  # workers elsewhere need full paths
    output = str(Path(output).resolve())
    todo = [f for f in names if not is_complete(group, f)]
    skipped = sorted(set(names) - set(todo))
    recorded = group.attrs.get("errors", {})
    errors = {k: v for k, v in recorded.items() if k in todo} if isinstance(recorded, dict) else {}
    done = []
    zarr_format = group.metadata.zarr_format if ZARR_3 else 2
    version = kavrel_version()
    run = _run_token(output)
    # An array is placed whole over whatever lies at its key, which is never
    # a folder of arrays that an earlier run stored (the input's folder was
    # replaced by a file of the same name).
    for name in todo:
        if folder_at(output, group, name):
            raise CorpusError(
                f"input file {name}: the store holds a folder at its key {store_key(name)} "
                "(the input's folder of that name became a file); move the file, or give "
                "another store"
            )
    # Workers cannot import this file, so its functions must travel by value.
    # Dask sends a local function through cloudpickle, which takes the
    # functions it calls along when their module is registered as by-value
    # (a script's own module, __main__, always is).
    if __name__ != "__main__":
        cloudpickle.register_pickle_by_value(sys.modules[__name__])

    def task(name):
        return _analyse_task(str(root / name), output, name, hop, zarr_format, version, run)

    # The folders above the arrays are made here first, so that no two workers make one.
    for folder in sorted({str(Path(store_key(name)).parent) for name in todo} - {"."}):
        try:
            group.require_group(folder)
        except OSError as exc:
            raise CorpusError(f"cannot write the store {output}: {_reason(exc)}") from None
        except Exception as exc:
            raise CorpusError(
                f"the store holds something other than a folder at {folder}: {exc}"
            ) from None
    futures = {client.submit(task, name, pure=False): name for name in todo}
    bar = tqdm(total=len(todo), unit="file", disable=not progress or not todo)
    try:
        for future in as_completed(futures):
            name = futures.pop(future)
            try:
                error = future.result()
            except Exception as exc:  # the worker itself died, or the task could not run
                error = f"{type(exc).__name__}: {exc}"
            if error is None:
                done.append(name)
                errors.pop(name, None)
            else:
                errors[name] = error
            bar.update()
    finally:
        bar.close()
        for future in futures:
            future.cancel()
        unrecorded = None
        try:
            group.attrs["errors"] = dict(sorted(errors.items()))
        except OSError as exc:  # the store stays as it was, the failures are still returned
            unrecorded = f"cannot write the store {output}: {_reason(exc)}"
    return {
        "done": sorted(done),
        "skipped": skipped,
        "errors": dict(sorted(errors.items())),
        "unrecorded": unrecorded,
    }


def run(
    client: Client, input_dir: str, output: str, hop: int = DEFAULT_HOP, progress: bool = True
) -> dict:
    """Analyse every file under `input_dir` that is not yet complete in `output`.

    Returns {"done": [...], "skipped": [...], "errors": {path: message},
    "unrecorded": None or why the errors could not be recorded}, paths
    relative to `input_dir`. The store's "errors" attribute keeps, for every
    file still under `input_dir`, its latest failure: a file that succeeds
    leaves it, and one that an interrupted run did not reach keeps its entry.
    Raises CorpusError when the job cannot start (see main).
    """
    names = input_names(input_dir)
    with locked_store(output, job_settings(hop)) as group:
        return analyse_into(client, input_dir, output, group, names, hop, progress)


def connect(scheduler: str) -> Client:
    try:
        return Client(scheduler)
    except (OSError, ValueError, TypeError) as exc:
        reason = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise CorpusError(f"cannot reach the Dask scheduler at {scheduler}: {reason}") from None


def usable_cpus() -> int:
    """The CPUs this process may run on (where the system says), else all of them."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


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
        names = input_names(args.input_dir)
        with locked_store(args.output, job_settings(args.hop)) as group:
            if args.scheduler:
                client, cluster = connect(args.scheduler), None
            else:
                workers = args.workers or usable_cpus()
                cluster = LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
                )
                client = Client(cluster)
            try:
                summary = analyse_into(
                    client, args.input_dir, args.output, group, names, args.hop, True
                )
            finally:
                client.close()
                if cluster is not None:
                    cluster.close()
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
