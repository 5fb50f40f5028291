"""Draw a spectrogram of a sound with a kavrel resonator bank.

Usage::

    python examples/spectrogram.py [input] [-o spectrogram.png] [--fmin HZ] [--fmax HZ]
        [--bins-per-octave N] [--hop SAMPLES] [--range DB]

The bank's channels are spaced evenly in pitch: ``--bins-per-octave`` of them
per octave, on the grid through A4 = 440 Hz (440 * 2 ** (k / N) Hz for whole
numbers k), from ``--fmin`` up to ``--fmax``, with the default smoothing
factors. The defaults give one channel per piano key, A0 (27.5 Hz) to C8
(4186 Hz). With 12 channels per octave, or a multiple of 12, the channels fall
on the notes and are named after them (A4, C#5, ...); otherwise they are named
by their frequency. Channels at or above the Nyquist frequency of the input
(half its sample rate) would only pick up aliases of lower sounds: they are
left out, with a notice.

The signal goes through the bank one block at a time, and one frame of channel
values is kept every ``--hop`` samples (default: about 5 ms). The bank carries
its state from block to block, so the frames are exactly those of one
``ResonatorBank.resonate`` call over the whole signal, while the memory used
does not grow with the length of the input. The picture has at most 960
columns, about its width in pixels: a longer input (more than 4.8 s at the
default hop) is drawn with consecutive frames averaged, in power, into each
column. The report of the strongest channels covers a quarter of a second a
line, or longer stretches for inputs over ten minutes, at most 2400 lines.

The script writes the picture (PNG, or any other format matplotlib writes,
chosen by the file name's extension), showing the levels from the loudest one
down to ``--range`` dB below it, and prints the strongest channels of every
quarter of a second.

Input: any sound file that libsndfile reads, through soundfile: WAV (integer
PCM, float, A-law, mu-law), FLAC, OGG, AIFF and more. Several channels are
mixed down to mono by averaging them. Only regular files (or links to them) are
read and written: a FIFO or a device is refused, never opened in a way that
could wait. The script ends with one line on standard error and exit status 1,
before any analysis runs, when an option has a value it cannot use, when the
output cannot be written (it is a folder or a special file, its folder is
missing or not writable, or matplotlib has no format for its extension), when
the input is missing, unreadable, unsupported, not a regular file or shorter
than one frame, or when it holds a sample that is not a finite number (the
message gives the first one's time); and after the analysis, without drawing,
when the input is silent (no channel reaches -100 dB), since a picture of it
would have no meaningful scale.

Without an input file the script analyses a built-in demo signal of 4.5 s
at 44.1 kHz, made of piano-like tones (a fundamental plus three harmonics at
0.4, 0.2 and 0.1 of its amplitude, each harmonic decaying faster than the one
below it) followed by a chirp:

    0.00-0.70 s   A3
    0.75-1.65 s   chord C#4 E4 A4
    1.70-2.30 s   C5
    2.35-2.95 s   E5
    3.00-4.50 s   chirp, a sine sweeping exponentially from A2 (110 Hz)
                  to A6 (1760 Hz)

Levels are given in dB relative to a full-scale sine: a steady sine of
amplitude 1 at a channel's frequency reads 0 dB in that channel.

Requires numpy, soundfile (reading) and matplotlib (drawing).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import NamedTuple, NoReturn

import matplotlib

matplotlib.use("Agg")  # draw into files only, never open a window

import numpy as np
import soundfile
from matplotlib.backend_bases import FigureCanvasBase
from matplotlib.figure import Figure

import kavrel
from kavrel_tools.files import NotRegularFile, shown
from kavrel_tools.files import open_regular as open_regular_file

# The notes, the carry-over from block to block, the levels and the picture's
# axes come from the toolkit; this script is the command line around them.
from kavrel_tools.frequencies import TUNING_HZ, note_name  # the grid passes through A4
from kavrel_tools.results import draw_levels, power
from kavrel_tools.results import power_db as level_db
from kavrel_tools.stream import default_hop as hop_for
from kavrel_tools.stream import stream_frames as analyse

DEFAULT_FMIN = 27.5  # A0, the lowest piano key
DEFAULT_FMAX = 4186.01  # just above C8 (4186.009 Hz), the highest piano key
DEFAULT_BINS_PER_OCTAVE = 12
DEFAULT_RANGE_DB = 80.0
MAX_CHANNELS = 2000
# The lowest frequency a channel can have: the smallest normal float32 (a
# smaller one would lose its precision, or become 0 Hz, in the bank).
MIN_HZ = float(np.finfo(np.float32).tiny)
SILENT_DB = -100.0  # an input whose loudest channel stays below this level is silent

DEMO_SAMPLE_RATE = 44100
SEGMENT_SECONDS = 0.25
MAX_SEGMENTS = 2400  # ten minutes of quarter seconds
MAX_COLUMNS = 960  # about the width of the picture's plot in pixels
BLOCK_SAMPLES = 1 << 16  # samples read and analysed at a time
BLOCK_VALUES = 1 << 17  # channel values (frames times channels) computed at a time


class Note(NamedTuple):
    """One note of the demo signal: MIDI number, start and end in seconds."""

    midi: int
    start: float
    end: float


class InputError(Exception):
    """An option, input or output the script cannot use; its message is printed as it stands."""


def open_regular(path: str, writing: bool):
    """The regular file at `path` (or behind a link), opened in binary; for
    writing it is created when missing and not truncated. InputError for a
    folder or a special file, never opened in a way that could wait."""
    action = "write" if writing else "read"
    try:
        return open_regular_file(path, writing)
    except NotRegularFile as exc:
        if exc.kind == "a directory":
            raise InputError(f"error: cannot {action} {path}: it is a directory") from None
        raise InputError(
            f"error: cannot {action} {path}: it is {exc.kind}, not a regular file"
        ) from None
    except OSError as exc:
        raise InputError(f"error: cannot {action} {path}: {exc.strerror}") from None


def format_hz(frequency: float) -> str:
    """A frequency for reading: one decimal from 1 Hz up, three digits below."""
    return f"{frequency:.1f}" if frequency >= 1 else f"{frequency:.3g}"


# ---------------------------------------------------------------------------
# Channels


class Channels:
    """Channels spaced evenly in pitch on the grid through A4 = 440 Hz.

    Channel i sits at `steps[i]` grid steps from A4, that is at MIDI pitch
    69 + 12 * steps[i] / bins_per_octave (fractional between the notes), with
    the frequency kavrel.midi_to_hz gives for that pitch.
    """

    def __init__(self, steps: np.ndarray, bins_per_octave: int):
        self.steps = np.asarray(steps, dtype=np.int64)
        self.bins_per_octave = bins_per_octave
        self.pitches = 69 + 12 * self.steps / bins_per_octave
        self.freqs = np.array(
            [kavrel.midi_to_hz(m, TUNING_HZ) for m in self.pitches], dtype=np.float32
        )

    @classmethod
    def between(cls, fmin: float, fmax: float, bins_per_octave: int) -> Channels:
        """Every grid channel from `fmin` to `fmax` Hz (both included)."""
        # The tolerance keeps a channel whose frequency is given exactly (27.5 Hz) in.
        lowest = math.ceil(bins_per_octave * (math.log2(fmin) - math.log2(TUNING_HZ)) - 1e-9)
        highest = math.floor(bins_per_octave * (math.log2(fmax) - math.log2(TUNING_HZ)) + 1e-9)
        return cls(np.arange(lowest, highest + 1), bins_per_octave)

    def __len__(self) -> int:
        return len(self.steps)

    def __getitem__(self, index: slice) -> Channels:
        return Channels(self.steps[index], self.bins_per_octave)

    @property
    def on_notes(self) -> bool:
        """Whether every note of the range has its channel (12 per octave or a multiple)."""
        return self.bins_per_octave % 12 == 0

    def label(self, i: int) -> str:
        """A note name for a channel on a note, else its frequency: "A4", "452.9 Hz"."""
        if (12 * int(self.steps[i])) % self.bins_per_octave == 0:
            return note_name(round(self.pitches[i]))
        return f"{format_hz(self.freqs[i])} Hz"

    def below(self, frequency: float) -> Channels:
        """The channels whose frequency lies below `frequency`."""
        return self[: int(np.count_nonzero(self.freqs < frequency))]

    def describe(self) -> str:
        """ "88 channels from A0 (27.5 Hz) to C8 (4186.0 Hz), 12 per octave"."""
        ends = [self.label(i) for i in (0, -1)]
        ends = [
            e if e.endswith("Hz") else f"{e} ({format_hz(self.freqs[i])} Hz)"
            for i, e in zip((0, -1), ends)
        ]
        count = f"{len(self)} channel{'s' * (len(self) != 1)}"
        return f"{count} from {ends[0]} to {ends[1]}, {self.bins_per_octave} per octave"


# ---------------------------------------------------------------------------
# Input


def _piano_tone(t: np.ndarray, freq: float, length: float) -> np.ndarray:
    """A decaying tone with three harmonics, lasting `length` seconds from t = 0."""
    harmonic_amplitudes = (1.0, 0.4, 0.2, 0.1)
    decay = 0.6  # seconds, time constant of the fundamental
    tone = np.zeros_like(t)
    for number, amplitude in enumerate(harmonic_amplitudes, start=1):
        envelope = amplitude * np.exp(-t * number / decay)
        tone += envelope * np.sin(2 * np.pi * number * freq * t)
    # 5 ms attack and 30 ms release, so that the note starts and stops without a click
    gate = np.clip(t / 0.005, 0.0, 1.0) * np.clip((length - t) / 0.03, 0.0, 1.0)
    return tone * gate


def synthesize_demo(sample_rate: int = DEMO_SAMPLE_RATE) -> tuple[np.ndarray, list[Note]]:
    """Build the demo signal described in the module docstring.

    Returns the signal (float32, peak 0.9) and the notes it plays.
    """
    notes = [
        Note(57, 0.00, 0.70),  # A3
        Note(61, 0.75, 1.65),  # C#4 \
        Note(64, 0.75, 1.65),  # E4   > chord
        Note(69, 0.75, 1.65),  # A4  /
        Note(72, 1.70, 2.30),  # C5
        Note(76, 2.35, 2.95),  # E5
    ]
    chirp_start, chirp_end = 3.0, 4.5
    chirp_low, chirp_high = 110.0, 1760.0

    signal = np.zeros(int(round(chirp_end * sample_rate)))
    for note in notes:
        first = int(round(note.start * sample_rate))
        last = int(round(note.end * sample_rate))
        t = np.arange(last - first) / sample_rate
        freq = TUNING_HZ * 2.0 ** ((note.midi - 69) / 12)
        signal[first:last] += _piano_tone(t, freq, note.end - note.start)

    # Exponential sweep: the frequency doubles at a constant rate, so the chirp
    # climbs the same number of keys every second.
    first = int(round(chirp_start * sample_rate))
    duration = chirp_end - chirp_start
    t = np.arange(len(signal) - first) / sample_rate
    rate = np.log(chirp_high / chirp_low) / duration
    phase = 2 * np.pi * chirp_low * np.expm1(rate * t) / rate
    fade = np.clip(t / 0.01, 0.0, 1.0) * np.clip((duration - t) / 0.01, 0.0, 1.0)
    signal[first:] += 0.5 * fade * np.sin(phase)

    signal *= 0.9 / np.max(np.abs(signal))
    return signal.astype(np.float32), notes


class Source(NamedTuple):
    """A mono signal to analyse: its name, sample rate, length in samples, a
    function giving its samples as consecutive float32 blocks of a given size,
    and whether its format can hold samples that are not finite numbers."""

    name: str
    sample_rate: int
    length: int
    blocks: Callable[[int], Iterator[np.ndarray]]
    may_be_non_finite: bool


def demo_source() -> Source:
    """The built-in demo signal as a Source."""
    signal, _ = synthesize_demo(DEMO_SAMPLE_RATE)

    def blocks(size: int) -> Iterator[np.ndarray]:
        for start in range(0, len(signal), size):
            yield signal[start : start + size]

    return Source("built-in demo signal", DEMO_SAMPLE_RATE, len(signal), blocks, False)


def open_sound(path: str) -> soundfile.SoundFile:
    """Open a sound file for reading; InputError with a one-line reason if it cannot be."""
    if not os.path.exists(path):
        raise InputError(f"error: no such file: {path}")
    if os.path.isdir(path):
        raise InputError(f"error: {path} is a directory, not a sound file")
    # soundfile reads the open file, which it keeps; so a name that is not
    # valid UTF-8 is no obstacle either.
    stream = open_regular(path, writing=False)
    try:
        return soundfile.SoundFile(stream)
    except (RuntimeError, OSError) as exc:
        stream.close()  # soundfile's own errors are RuntimeErrors
        reason = getattr(exc, "error_string", None) or getattr(exc, "strerror", None) or str(exc)
        raise InputError(f"error: cannot read {path}: {reason}") from None


def mono_blocks(sound: soundfile.SoundFile, size: int) -> Iterator[np.ndarray]:
    """The samples of an open sound file from its start, mono float32, `size` at a time.

    Integer formats are scaled by their full scale (32768 for 16 bits), as
    libsndfile does; several channels are averaged (in double precision, then
    rounded to float32).
    """
    sound.seek(0)
    for block in sound.blocks(blocksize=size, dtype="float64", always_2d=True):
        with np.errstate(over="ignore"):  # beyond float32's range: inf, refused later
            mono = np.ascontiguousarray(block.mean(axis=1), dtype=np.float32)
        yield mono


def file_source(sound: soundfile.SoundFile, path: str) -> Source:
    """An open sound file as a Source; it is read anew, from its start, by each use."""

    def blocks(size: int) -> Iterator[np.ndarray]:
        try:
            yield from mono_blocks(sound, size)
        except (RuntimeError, OSError) as exc:
            reason = getattr(exc, "error_string", None) or getattr(exc, "strerror", None)
            raise InputError(f"error: cannot read {path}: {reason or exc}") from None

    # Integer samples (PCM of any width, FLAC, A-law, mu-law) are always finite;
    # floating-point and compressed formats may hold inf or nan, or values that
    # are too large for float32.
    subtype = str(sound.subtype)
    integers = subtype.startswith("PCM_") or subtype in ("ULAW", "ALAW")
    name = shown(os.path.basename(path))
    return Source(name, int(sound.samplerate), int(sound.frames), blocks, not integers)


def first_non_finite(blocks: Iterable[np.ndarray]) -> tuple[int, float] | None:
    """Index and value of the first sample that is not a finite number, or None."""
    offset = 0
    for block in blocks:
        bad = np.flatnonzero(~np.isfinite(block))
        if bad.size:
            return offset + int(bad[0]), float(block[bad[0]])
        offset += len(block)
    return None


def check_output(path: str) -> None:
    """Fail early, before any analysis, if the picture cannot be written to `path`.

    The output must not be a folder, its extension must name a format that
    matplotlib writes, and the file must be a regular one this process can
    create or overwrite: it is opened for writing (and removed again if it did
    not exist), which also catches places such as /proc where a folder exists
    but no file can be made.
    """
    if os.path.isdir(path):
        raise InputError(f"error: cannot write {path}: it is a directory")
    output_format(path)
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise InputError(f"error: cannot write {path}: no such directory: {folder}")
    existed = os.path.exists(path)
    open_regular(path, writing=True).close()
    if not existed:
        os.remove(path)


def output_format(path: str) -> str:
    """The picture format that the extension of `path` names; InputError if none."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if extension not in formats:
        raise InputError(
            f"error: cannot write {path}: the output's extension names its format, "
            f"one of {', '.join('.' + f for f in sorted(formats))}"
        )
    return extension


# ---------------------------------------------------------------------------
# Analysis


class Pool:
    """Averages channel powers over consecutive groups of frames, block by block.

    `group_of` maps frame indices (counted from the first frame) to group
    indices, never decreasing. Each group's mean power is handed to `emit`
    (group index, mean power of its frames) once the group is complete; a
    group that straddles blocks is summed across them. Only the group being
    filled is held, so memory does not grow with the number of frames.
    """

    def __init__(
        self, group_of: Callable[[np.ndarray], np.ndarray], emit: Callable[[int, np.ndarray], None]
    ) -> None:
        self.group_of = group_of
        self.emit = emit
        self.frames = 0
        self.group = -1
        self.sum = np.zeros(0)
        self.count = 0

    def add(self, power: np.ndarray) -> None:
        if len(power) == 0:
            return
        groups = self.group_of(np.arange(self.frames, self.frames + len(power)))
        self.frames += len(power)
        starts = np.flatnonzero(np.diff(groups, prepend=groups[0] - 1))
        sums = np.add.reduceat(power, starts, axis=0)
        counts = np.diff(np.append(starts, len(power)))
        for group, total, count in zip(groups[starts], sums, counts):
            if group == self.group:
                self.sum = self.sum + total
                self.count += int(count)
                continue
            self.finish()
            self.group, self.sum, self.count = int(group), total, int(count)

    def finish(self) -> None:
        """Hand over the group being filled, if any."""
        if self.count:
            self.emit(self.group, self.sum / self.count)
        self.count = 0


class Segment(NamedTuple):
    """One stretch of the report: its number, loudest level, and its strongest
    channels as (channel index, level in dB), loudest first."""

    number: int
    top_db: float
    strongest: list[tuple[int, float]]


def strongest_in(
    number: int, mean_power: np.ndarray, max_notes: int = 3, within_db: float = 20.0
) -> Segment:
    """The strongest channels of a stretch of frames, from their mean powers.

    A channel qualifies if it is a local peak across the channels (louder than
    its lower neighbour and at least as loud as its upper one, so that the
    skirts of a strong note do not count) and lies within `within_db` of the
    loudest channel. Up to `max_notes` of them are kept, loudest first.
    """
    levels = level_db(mean_power)
    top = float(levels.max())
    padded = np.concatenate(([-np.inf], levels, [-np.inf]))
    is_peak = (levels > padded[:-2]) & (levels >= padded[2:])
    candidates = np.flatnonzero(is_peak & (levels >= top - within_db))
    chosen = candidates[np.argsort(-levels[candidates], kind="stable")][:max_notes]
    return Segment(number, top, [(int(i), float(levels[i])) for i in chosen])


def audible(
    segments: list[Segment], silence_db: float = 60.0, floor_db: float = SILENT_DB
) -> list[Segment]:
    """The segments that are not silent: a segment is silent when its loudest
    channel is more than `silence_db` below the loudest channel of all, or
    below `floor_db`."""
    if not segments:
        return []
    threshold = max(max(s.top_db for s in segments) - silence_db, floor_db)
    return [s for s in segments if s.top_db >= threshold]


def segment_seconds_for(duration: float) -> float:
    """A quarter of a second, or a multiple of it that makes at most MAX_SEGMENTS."""
    return SEGMENT_SECONDS * max(1, math.ceil(duration / (SEGMENT_SECONDS * MAX_SEGMENTS)))


class Analysis(NamedTuple):
    """What the script draws and reports: the picture's columns (mean power of
    `frames_per_column` frames each, one row per column), the report's
    segments, and the count of frames analysed."""

    columns: np.ndarray
    frames_per_column: int
    segments: list[Segment]
    segment_seconds: float
    frames: int


def run(
    blocks: Iterable[np.ndarray],
    bank: kavrel.ResonatorBank,
    hop: int,
    sample_rate: float,
    expected_frames: int,
) -> Analysis:
    """Analyse the blocks of a signal and gather the picture and the report.

    Frame k is read at time (k + 1) * hop / sample_rate. The picture has one
    column per `frames_per_column` frames, chosen from `expected_frames` so that
    there are at most MAX_COLUMNS columns. Segment j of the report covers the
    times after j * S up to and including (j + 1) * S, with S a quarter of a
    second (or a multiple of it, for long inputs), so that every segment has
    a frame inside it (a frame read at 2.00 s closes the segment 1.75-2.00 s
    and opens none); its channel powers are averaged over its frames.
    """
    frame_seconds = hop / sample_rate
    per_column = max(1, math.ceil(expected_frames / MAX_COLUMNS))
    segment_seconds = segment_seconds_for(expected_frames * frame_seconds)
    # soundfile reads no more samples than a file's header counts, so these
    # columns hold every frame; fewer are kept if a read ends early.
    columns = np.zeros((math.ceil(expected_frames / per_column), len(bank)))
    segments: list[Segment] = []

    def keep_column(index: int, mean_power: np.ndarray) -> None:
        columns[index] = mean_power

    def segment_of(k: np.ndarray) -> np.ndarray:
        return np.ceil((k + 1) * frame_seconds / segment_seconds - 1e-9).astype(np.int64) - 1

    picture = Pool(lambda k: k // per_column, keep_column)
    report = Pool(segment_of, lambda j, p: segments.append(strongest_in(j, p)))
    for frames in analyse(blocks, bank, hop):
        p = power(frames)
        picture.add(p)
        report.add(p)
    picture.finish()
    report.finish()
    used = math.ceil(picture.frames / per_column)
    return Analysis(columns[:used], per_column, segments, segment_seconds, picture.frames)


def block_size(hop: int, n_channels: int) -> int:
    """Samples read at a time: a whole number of frames, unless one frame alone
    is longer than BLOCK_SAMPLES, and no more frames than keep the channel values
    of a block within BLOCK_VALUES."""
    if hop >= BLOCK_SAMPLES:
        return BLOCK_SAMPLES
    frames = max(1, min(BLOCK_SAMPLES // hop, BLOCK_VALUES // max(1, n_channels)))
    return frames * hop


# ---------------------------------------------------------------------------
# Output


def draw(
    analysis: Analysis,
    channels: Channels,
    frame_seconds: float,
    range_db: float,
    title: str,
    path: str,
) -> None:
    """Save the picture of an analysis: time across, channels up (note names on
    the left, frequencies in Hz on the right)."""
    levels = level_db(analysis.columns)
    top = levels.max() if levels.size else 0.0
    column_seconds = analysis.frames_per_column * frame_seconds
    fig = Figure(figsize=(11, 6.5), dpi=110, layout="constrained")
    ax = fig.add_subplot()
    draw_levels(
        ax,
        levels.T,
        channels.pitches,
        len(levels) * column_seconds,
        top - range_db,
        top,
        on_notes=channels.on_notes,
        spacing=12.0 / channels.bins_per_octave,
    )
    ax.set_xlim(0.0, analysis.frames * frame_seconds)
    ax.set_title(title)
    with open_regular(path, writing=True) as file:
        try:
            file.truncate(0)
            fig.savefig(file, format=output_format(path))
        except OSError as exc:
            raise InputError(f"error: cannot write {path}: {exc.strerror or exc}") from None


# ---------------------------------------------------------------------------
# Options


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose errors are one line and exit status 1, as the
    script's other errors."""

    def error(self, message: str) -> NoReturn:
        raise InputError(f"error: {message}")


def frequency(text: str) -> float:
    """A finite frequency a channel can have, in Hz."""
    value = positive_number(text)
    if value < MIN_HZ:
        raise argparse.ArgumentTypeError(
            f"must be at least {MIN_HZ:g} Hz (the smallest normal float32), not {text!r}"
        )
    return value


def positive_number(text: str) -> float:
    """A finite number above 0."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a finite number above 0, not {text!r}")
    return value


def positive_integer(text: str) -> int:
    """A whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1, not {text!r}")
    return value


def parse_options(argv: list[str] | None) -> argparse.Namespace:
    parser = OneLineParser(
        description="Spectrogram of a sound file (or of a built-in demo signal) with a "
        "kavrel resonator bank: channels spaced evenly in pitch, by default one per "
        "piano key."
    )
    parser.add_argument(
        "input",
        nargs="?",
        help="sound file (WAV, FLAC, OGG, AIFF, ...); omit it for the demo signal",
    )
    parser.add_argument(
        "-o",
        "--output",
        default="spectrogram.png",
        help="picture to write, its format named by the extension (default: %(default)s)",
    )
    parser.add_argument(
        "--fmin",
        metavar="HZ",
        type=frequency,
        default=DEFAULT_FMIN,
        help="lowest channel frequency in Hz (default: %(default)g, A0)",
    )
    parser.add_argument(
        "--fmax",
        metavar="HZ",
        type=frequency,
        default=DEFAULT_FMAX,
        help="highest channel frequency in Hz; channels at or above half the sample rate "
        "are left out (default: %(default)g, C8)",
    )
    parser.add_argument(
        "--bins-per-octave",
        metavar="N",
        type=positive_integer,
        default=DEFAULT_BINS_PER_OCTAVE,
        help="channels per octave, on the grid through A4 = 440 Hz (default: %(default)s)",
    )
    parser.add_argument(
        "--hop",
        metavar="SAMPLES",
        type=positive_integer,
        help="samples per frame (default: about 5 ms at the input's sample rate)",
    )
    parser.add_argument(
        "--range",
        metavar="DB",
        type=positive_number,
        default=DEFAULT_RANGE_DB,
        help="levels drawn, in dB below the loudest one (default: %(default)g)",
    )
    args = parser.parse_args(argv)
    if args.fmin >= args.fmax:
        raise InputError(
            f"error: --fmin ({args.fmin:g} Hz) must be below --fmax ({args.fmax:g} Hz)"
        )
    return args


def choose_channels(args: argparse.Namespace) -> Channels:
    """The channels the options ask for; InputError if there are none or too many."""
    per_octave = args.bins_per_octave
    too_many = InputError(
        f"error: --bins-per-octave {per_octave} gives more than {MAX_CHANNELS} channels "
        f"from {args.fmin:g} to {args.fmax:g} Hz"
    )
    # Compared before the channels are made, so that a huge count is never built.
    if per_octave > (MAX_CHANNELS + 1) / math.log2(args.fmax / args.fmin):
        raise too_many
    channels = Channels.between(args.fmin, args.fmax, per_octave)
    if len(channels) == 0:
        raise InputError(
            f"error: no channel of {per_octave} per octave lies between "
            f"{args.fmin:g} and {args.fmax:g} Hz"
        )
    if len(channels) > MAX_CHANNELS:
        raise too_many
    return channels


def main(argv: list[str] | None = None) -> int:
    sound = None
    try:
        args = parse_options(argv)
        wanted = choose_channels(args)
        check_output(args.output)
        if args.input is None:
            source = demo_source()
        else:
            sound = open_sound(args.input)
            source = file_source(sound, args.input)
        return analyse_and_draw(args, wanted, source)
    except InputError as exc:
        print(exc, file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of standard output has gone (a pipe into head): what is
        # still to be printed goes nowhere, and the script ends quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    finally:
        if sound is not None:
            sound.close()


def analyse_and_draw(args: argparse.Namespace, wanted: Channels, source: Source) -> int:
    """Check the input against the options, then analyse it, report and draw.

    Raises InputError for an input the options cannot be used with, before any
    analysis runs (an input shorter than one frame, non-finite samples)."""
    sample_rate = source.sample_rate
    nyquist = sample_rate / 2
    channels = wanted.below(nyquist)
    if len(channels) == 0:
        raise InputError(
            f"error: no channel lies below the Nyquist frequency ({nyquist:g} Hz); "
            f"the lowest is {format_hz(wanted.freqs[0])} Hz"
        )
    hop = args.hop if args.hop is not None else hop_for(sample_rate)
    if source.length < hop:
        raise InputError(f"error: the input is shorter than one frame ({hop} samples)")
    size = block_size(hop, len(channels))
    bad = first_non_finite(source.blocks(size)) if source.may_be_non_finite else None
    if bad is not None:
        index, value = bad
        raise InputError(
            f"error: {source.name} has a sample that is not a finite number ({value}) "
            f"at {index / sample_rate:.6f} s (sample {index})"
        )

    frame_seconds = hop / sample_rate
    print(f"Input: {source.name}, {source.length / sample_rate:.2f} s at {sample_rate} Hz")
    if len(channels) < len(wanted):
        left_out = wanted[len(channels) :]
        names = [left_out.label(i) for i in (0, -1)]
        named = names[0] if len(left_out) == 1 else f"{names[0]} to {names[1]}"
        print(
            f"Left out {len(left_out)} channel{'s' * (len(left_out) > 1)} above the Nyquist "
            f"frequency ({nyquist:g} Hz): {named}"
        )

    bank = kavrel.ResonatorBank(channels.freqs, float(sample_rate))
    analysis = run(source.blocks(size), bank, hop, sample_rate, source.length // hop)
    if analysis.frames == 0:
        raise InputError(f"error: the input is shorter than one frame ({hop} samples)")
    if not level_db(analysis.columns).max() >= SILENT_DB:
        raise InputError(
            f"error: {source.name} is silent (no channel reaches {SILENT_DB:g} dB): "
            "there is nothing to draw"
        )
    print(
        f"Analysed {channels.describe()}, {analysis.frames} frame{'s' * (analysis.frames > 1)} "
        f"of {hop} samples ({1000 * frame_seconds:.1f} ms)"
    )
    if analysis.frames_per_column > 1:
        print(
            f"Each column of the picture averages {analysis.frames_per_column} frames "
            f"({analysis.frames_per_column * frame_seconds:.3g} s)"
        )

    print("Strongest channels (dB re full-scale sine):")
    last = analysis.frames * frame_seconds
    length = analysis.segment_seconds
    for segment in audible(analysis.segments):
        start = segment.number * length
        end = min(start + length, last)
        listed = "  ".join(f"{channels.label(i)} ({db:.1f} dB)" for i, db in segment.strongest)
        print(f"  {start:5.2f}-{end:5.2f} s: {listed}")

    title = f"Resonator-bank spectrogram of {source.name}"
    draw(analysis, channels, frame_seconds, args.range, title, args.output)
    print(f"Wrote {shown(args.output)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
