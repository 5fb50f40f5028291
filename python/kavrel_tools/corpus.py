"""The corpus analysis: a folder of recordings into one Zarr store, on a Dask cluster.

`analyse_file` is the analysis of one recording: every audio file soundfile reads is mixed
down to mono (the mean of its channels in double precision, rounded once to float32) and
run through a bank with one channel per piano key below the file's Nyquist frequency (A4 =
440 Hz, the default smoothing factors), read and analysed in blocks of whole frames so that
a long recording never sits in memory at once. The power of every channel every `hop`
samples, in dB relative to a full-scale sine (`kavrel_tools.results.power_db`, at least
-120 dB), makes one float32 array of shape (frames, keys), with the attributes a reader
needs (`FRAME_TIMES` says when each row is read).

`analyse_corpus` runs it on every audio file under a folder, on a Dask cluster, into a Zarr
store at each file's path relative to the folder, as a batch job that can be stopped and
repeated:

- a file that gives no usable picture (`UnusableInput`: unreadable, not a regular file,
  shorter than one frame, no key below its Nyquist frequency, a sample that is not finite)
  is reported with its error in the returned `Summary` and in the store's attribute
  "errors", and the others go on;
- each array is written aside, flushed and moved to its key with its attribute "complete"
  set, so every array in the store is whole; a rerun skips those and retries the rest, also
  after a kill;
- one run at a time holds a store (`locked_store`: an flock, or a byte lock on Windows,
  that the system releases however the process ends); each run leaves a token in the store
  and a worker places an array only while its run's token is there;
- the store records the settings it was made with (`job_settings`) and a run with other
  settings is refused;
- what stops the job before any work (names that would share a store key, an output that
  cannot be a store, a store in use or made with other settings, a scheduler out of reach,
  a full disk) raises `CorpusError`, whose message is one line.

Each worker builds its own banks, reads its files and writes their arrays itself: only file
names and errors travel back, so on a remote cluster the workers must see the input and the
store at the same paths, and have the same kavrel installed.

Needs the `corpus` extra (dask[distributed], zarr 2.16 or newer or 3, soundfile, tqdm):
``python -m pip install "kavrel[corpus]"``. Importing this module imports none of them;
each function imports what it uses.
"""

from __future__ import annotations

import contextlib
import errno
import importlib.metadata
import os
import shutil
import sys
import time
import unicodedata
import uuid
from collections.abc import Iterator
from pathlib import Path
from typing import Any, BinaryIO, TypedDict

import numpy as np
import numpy.typing as npt

import kavrel

from .audio import as_signal
from .files import NotRegularFile, open_regular, shown
from .frequencies import HIGHEST_KEY, LOWEST_KEY, TUNING_HZ, below_nyquist, key_frequencies
from .parallel import default_workers
from .results import FLOOR_DB, power, power_db

if sys.platform == "win32":
    import msvcrt
else:
    import fcntl

DEFAULT_HOP = 512
"""Samples per frame unless told otherwise."""
FRAMES_PER_CHUNK = 4096
"""Rows per chunk of a stored array, and at most as many frames read from a file at once."""
READ_SAMPLES = 1 << 22
"""At most this many samples are read from a file at once (unless one frame is longer)."""

# File name endings soundfile reads besides the names of its formats.
EXTRA_SUFFIXES = {"aif", "oga", "opus"}

SETTINGS_ATTR = "kavrel_corpus"
"""The store's attribute that records the settings it was made with (`job_settings`)."""
LOCK_NAME = ".kavrel-lock"
"""The file in the store that a run holds its lock on."""
STAGING_NAME = ".kavrel-staging"
"""The folder in the store where arrays are written aside before they are placed."""
RUN_NAME = "run"  # in the staging folder: the token of the run that holds the lock
DISK_FULL = "the disk is full"
"""The error of a file, or of the job, that could not be written because the disk is full."""
# Names that Zarr keeps for its own metadata.
RESERVED_NAMES = {".zgroup", ".zarray", ".zattrs", ".zmetadata", "zarr.json"}
FRAME_TIMES = (
    "row k holds the channel values after sample (k + 1) * hop - 1 of the source "
    "(counted from 0), at (k + 1) * hop / sample_rate seconds; the samples after "
    "the last whole frame are not analysed"
)
"""When each row of a stored array is read, as its attribute "frame_times" says it."""

Powers = npt.NDArray[np.float32]


class CorpusError(Exception):
    """What stops the whole job before any file is analysed; the message is one line."""


class UnusableInput(Exception):
    """A file that gives no usable picture; the message says why."""


class RunEnded(Exception):
    """A worker's run no longer holds the store: its array is not placed."""


class Summary(TypedDict):
    """What a run did, with paths relative to the input folder ('/' separators): "done",
    the files this run analysed and stored; "skipped", those complete in the store already;
    "errors", the files that failed, each with its error; "unrecorded", None, or why the
    errors could not be recorded in the store."""

    done: list[str]
    skipped: list[str]
    errors: dict[str, str]
    unrecorded: str | None


def _kavrel_version() -> str:
    return importlib.metadata.version("kavrel")


def _zarr_3() -> bool:
    import zarr

    return int(zarr.__version__.split(".")[0]) >= 3


def job_settings(hop: int) -> dict[str, Any]:
    """What the arrays of a store depend on; every run on a store must have the same.

    Recorded in the store's attribute `SETTINGS_ATTR` by its first run: the format, the
    kavrel version, the hop, the tuning, the keys, the smoothing factors, the mono mix and
    the unit.
    """
    return {
        "format": 1,
        "kavrel_version": _kavrel_version(),
        "hop": hop,
        "tuning_hz": TUNING_HZ,
        "keys": [LOWEST_KEY, HIGHEST_KEY],
        "smoothing": "heuristic_alphas(frequencies, sample_rate) for alphas and betas",
        "mono": "mean of the source's channels in float64, rounded to float32",
        "unit": f"dB relative to a full-scale sine: 10 log10(4 |value|^2), at least {FLOOR_DB:g}",
    }


# ---------------------------------------------------------------------------
# Inputs and their store keys


def audio_files(root: str | os.PathLike[str]) -> list[str]:
    """Paths relative to `root`, with '/' separators, of the files soundfile may read (by
    their name's ending), sorted."""
    import soundfile

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
    """Refuse, with `CorpusError`, a name that cannot be a store key and two names that
    would share one: names that differ only in case, Unicode normalisation or '\\' for '/',
    and a file's name that is also a folder's."""
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
    """The audio files under the folder `input_dir` (`audio_files`), checked for their store
    keys (`check_names`); `CorpusError` when `input_dir` is no folder or a name is refused."""
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


def _open_regular(path: str) -> BinaryIO:
    """The file at `path` opened for binary reading; UnusableInput when it lies behind a
    broken symbolic link or is not a regular file (a FIFO or a device would hang or never
    end; it is never opened in a way that could wait)."""
    try:
        return open_regular(path)
    except NotRegularFile as exc:
        raise UnusableInput(f"not a regular file but {exc.kind}; not read") from None
    except OSError as exc:
        if os.path.islink(path) and exc.errno == errno.ELOOP:
            raise UnusableInput("symbolic link loop") from None
        if os.path.islink(path) and exc.errno == errno.ENOENT:
            target = shown(os.readlink(path))
            raise UnusableInput(f"dangling symbolic link to {target}") from None
        raise UnusableInput(f"cannot read it: {exc.strerror}") from None


def _open_sound(stream: BinaryIO) -> Any:
    """A soundfile.SoundFile read from an open file; UnusableInput when soundfile cannot
    read it."""
    import soundfile

    try:
        return soundfile.SoundFile(stream)
    except soundfile.LibsndfileError as exc:
        raise UnusableInput(f"cannot read it: {exc.error_string}") from None


def analyse_file(path: str | os.PathLike[str], hop: int) -> tuple[Powers, dict[str, Any]]:
    """The channel powers of one sound file and the attributes of its array.

    Returns the (frames, keys) float32 levels in dB relative to a full-scale sine of the
    piano keys below the file's Nyquist frequency, a row every `hop` samples (row k after
    sample (k + 1) * hop - 1; the samples after the last whole frame are not analysed), and
    a dict of attributes: "sample_rate", "hop", "unit", "frequencies", "alphas" and "betas"
    (the bank's float32 values), "kavrel_version", "frame_times" (`FRAME_TIMES`),
    "source_samples", "source_seconds" and "source_channels".

    The channels are mixed to mono with `kavrel_tools.audio.as_signal` (in float64, so that
    no mix of finite samples overflows). The file is read in blocks of whole frames (at most
    `FRAMES_PER_CHUNK` of them and `READ_SAMPLES` samples) through one bank, which gives the
    frames of one `resonate` over the whole signal. Raises `UnusableInput` when the file
    gives no usable picture: it cannot be read, is not a regular file (never opened then),
    lies behind a dangling or looping symbolic link, is shorter than one frame, has no key
    below its Nyquist frequency (a sample rate of 55 Hz or less), or holds a sample that is
    not finite (the error gives its time).
    """
    path = os.fspath(path)
    with _open_regular(path) as stream, _open_sound(stream) as audio:
        sample_rate, length = audio.samplerate, audio.frames
        freqs = below_nyquist(key_frequencies(), sample_rate)
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
            mono = as_signal(block, channel_axis=1, mix=True)
            bad = ~np.isfinite(mono)
            if bad.any():
                at = int(bad.argmax())
                raise UnusableInput(
                    f"a sample that is not a finite number ({mono[at]}) at "
                    f"{(start + at) / sample_rate:.6f} s (sample {start + at})"
                )
            parts.append(power_db(power(bank.resonate(mono, hop))).astype(np.float32))
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
        "kavrel_version": _kavrel_version(),
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
    """Flush a file, or a folder's entries, to disk (Windows opens no folder; its file
    systems keep their entries in a journal)."""
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
    """Lock the open file `fd` for this process: an flock, or on Windows a lock on its
    first byte; both end with the process. False when another process holds it and `wait`
    is false."""
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
    """A descriptor holding a lock on the file `path`, created when missing; None, without
    waiting, when another process holds it (`wait` false)."""
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
        # The holder before may have removed the file once done with it: the lock counts
        # only on the file in place.
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
    """Wait for the writers of runs that are gone which are placing an array now, and
    remove what writers left aside (each writer holds a lock on NAME.lock while it writes
    NAME and NAME-old there).

    Called once this run's token is in place: a writer that takes its lock after this
    looked finds another run's token when it is about to place its array, and gives up."""
    for lock in sorted(staging.glob("*.lock")):
        fd = _take_lock(lock, wait=True)
        assert fd is not None  # a lock waited for is always taken
        for entry in staging.glob(lock.stem + "*"):
            if entry != lock:
                shutil.rmtree(entry, ignore_errors=True)
        _release(lock, fd)


def store_format(group: Any) -> int:
    """The Zarr format (2 or 3) of an open group, which its arrays are written in."""
    return int(group.metadata.zarr_format) if _zarr_3() else 2


def write_result(
    output: str,
    key: str,
    powers: Powers,
    attrs: dict[str, Any],
    zarr_format: int = 2,
    run: str | None = None,
) -> None:
    """Store one file's powers at `key` of the store `output`, marked complete, once they
    are on disk.

    The array is written aside (chunked along time, `FRAMES_PER_CHUNK` rows per chunk, in
    Zarr format `zarr_format`, see `store_format`) with `attrs` and "complete" set, flushed
    to disk and moved to its key, replacing an array that is not complete. With `run`, the
    token of the run this writer works for, the array is placed only while that run holds
    the store; `RunEnded` otherwise.
    """
    import zarr

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
        options = {"zarr_format": zarr_format} if _zarr_3() else {}
        array = zarr.open_array(
            str(aside), mode="w", shape=powers.shape, chunks=chunks, dtype=powers.dtype, **options
        )
        array[...] = powers
        array.attrs.update({**attrs, "complete": True})
        _sync_tree(aside)
        # Looked at while this writer holds its lock, which a new run waits for once its own
        # token is in place.
        if run is not None and _run_token(output) != run:
            raise RunEnded("the run that asked for it has ended; nothing was written")
        final = Path(output) / store_key(key)
        # Whatever lies at the key is an array that is not complete (of an older version;
        # the run refused a folder there before any work): it is set aside and removed.
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
        if _kavrel_version() != version:
            return f"this worker has kavrel {_kavrel_version()}, the store was made with {version}"
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
def locked_store(output: str, settings: dict[str, Any]) -> Iterator[Any]:
    """The store's root Zarr group, created when missing, with this process holding its
    lock.

    The lock is on the file `LOCK_NAME` in the store: the system releases it when the
    process ends, however it ends. The run's token (see `write_result`) is put in place
    first. The store's `SETTINGS_ATTR` must equal `settings` (a new store records them).
    Raises `CorpusError` when `output` cannot be a store, another process holds its lock, or
    it was made with other settings. The lock file, the token and the area where arrays are
    written aside are removed when the run ends normally.
    """
    import zarr

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


def folder_at(output: str, group: Any, key: str) -> bool:
    """Whether the store holds, at `key`, a folder: a group, or a folder Zarr does not know
    that holds something (an array is a folder on disk too)."""
    import zarr

    try:
        node = group[store_key(key)]
    except KeyError:
        place = Path(output) / store_key(key)
        return place.is_dir() and any(place.iterdir())
    return isinstance(node, zarr.Group)


def is_complete(group: Any, key: str) -> bool:
    """Whether the store holds a complete array at `key`."""
    try:
        return bool(group[store_key(key)].attrs.get("complete", False))
    except KeyError:
        return False


# ---------------------------------------------------------------------------
# The batch


def analyse_into(
    client: Any,
    input_dir: str,
    output: str,
    group: Any,
    names: list[str],
    hop: int,
    progress: bool = False,
) -> Summary:
    """Analyse every file of `names` (under `input_dir`) that is not yet complete in the
    store `output`, whose root `group` this process holds with `locked_store`, on the Dask
    `client`'s workers.

    With `progress`, a tqdm bar counts the files. Raises `CorpusError` before any work when
    the store holds a folder at a file's key (the input's folder of that name became a
    file) or something other than a folder where a file's folder goes; a file that fails
    is reported in the result and in the store's attribute "errors".
    """
    root = Path(input_dir).resolve()  # workers elsewhere need full paths
    output = str(Path(output).resolve())
    todo = [f for f in names if not is_complete(group, f)]
    skipped = sorted(set(names) - set(todo))
    recorded = group.attrs.get("errors", {})
    errors: dict[str, str] = (
        {k: v for k, v in recorded.items() if k in todo} if isinstance(recorded, dict) else {}
    )
    done = []
    zarr_format = store_format(group)
    version = _kavrel_version()
    run = _run_token(output)
    # An array is placed whole over whatever lies at its key, which is never a folder of
    # arrays that an earlier run stored (the input's folder was replaced by a file).
    for name in todo:
        if folder_at(output, group, name):
            raise CorpusError(
                f"input file {name}: the store holds a folder at its key {store_key(name)} "
                "(the input's folder of that name became a file); move the file, or give "
                "another store"
            )
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
    from dask.distributed import as_completed

    # The task is a function of this module, which the workers import by its name.
    futures = {
        client.submit(
            _analyse_task,
            str(root / name),
            output,
            name,
            hop,
            zarr_format,
            version,
            run,
            pure=False,
        ): name
        for name in todo
    }
    bar = None
    if progress and todo:
        from tqdm import tqdm

        bar = tqdm(total=len(todo), unit="file")
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
            if bar is not None:
                bar.update()
    finally:
        if bar is not None:
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


def connect(scheduler: str) -> Any:
    """A Dask client of the scheduler at the address `scheduler`; `CorpusError` when it
    cannot be reached."""
    from dask.distributed import Client

    try:
        return Client(scheduler)
    except (OSError, ValueError, TypeError) as exc:
        reason = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise CorpusError(f"cannot reach the Dask scheduler at {scheduler}: {reason}") from None


def analyse_corpus(
    input_dir: str | os.PathLike[str],
    output: str | os.PathLike[str],
    *,
    hop: int = DEFAULT_HOP,
    client: Any = None,
    scheduler: str | None = None,
    workers: int | None = None,
    progress: bool = False,
) -> Summary:
    """Analyse every audio file under `input_dir` that is not yet complete in the Zarr store
    `output` (created when missing) with `analyse_file`, one array per file at its path
    relative to `input_dir`.

    The work runs on the Dask `client` given, or on a client of the scheduler at the address
    `scheduler`, or else on a local cluster of `workers` processes (by default one per CPU
    this process may use; a program that starts one must call this under
    ``if __name__ == "__main__":``); a client or cluster made here is closed at the end.
    The input's names are checked (`input_names`) and the store is locked (`locked_store`)
    before the cluster starts. With `progress`, a tqdm bar counts the files.

    Returns a `Summary`. The store's attribute "errors" keeps, for every file still under
    `input_dir`, its latest failure: a file that succeeds leaves it, and one that an
    interrupted run did not reach keeps its entry. Raises `CorpusError` when the job cannot
    start, and ValueError for a `hop` or `workers` below 1 or more than one of `client`,
    `scheduler` and `workers`.
    """
    if isinstance(hop, bool) or int(hop) != hop or hop < 1:
        raise ValueError(f"hop must be a whole number of at least 1, not {hop!r}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers!r}")
    if sum(x is not None for x in (client, scheduler, workers)) > 1:
        raise ValueError("give at most one of client, scheduler and workers")
    input_dir, output = os.fspath(input_dir), os.fspath(output)
    names = input_names(input_dir)
    with locked_store(output, job_settings(hop)) as group:
        cluster = None
        if client is not None:
            own = None
        elif scheduler is not None:
            own = connect(scheduler)
        else:
            from dask.distributed import Client, LocalCluster

            cluster = LocalCluster(
                n_workers=workers or default_workers(),
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
            )
            own = Client(cluster)
        try:
            return analyse_into(
                client if own is None else own, input_dir, output, group, names, hop, progress
            )
        finally:
            if own is not None:
                own.close()
            if cluster is not None:
                cluster.close()
