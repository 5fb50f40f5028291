"""Draw a piano-key spectrogram of a sound with a kavrel resonator bank.

Usage::

    python examples/spectrogram.py [input] [-o spectrogram.png]

The bank has one channel per piano key, MIDI notes 21 (A0) to 108 (C8), tuned
to A4 = 440 Hz, with the default smoothing factors. The signal is analysed with
``ResonatorBank.resonate`` and one frame of channel values is kept every 5 ms.
The script writes the picture (PNG, or any other format matplotlib writes,
chosen by the file name's extension) and prints the strongest notes of every
quarter of a second. Keys above the Nyquist frequency of the input (half its
sample rate) are left out.

Input: any sound file that libsndfile reads, through soundfile: WAV (integer
PCM, float, A-law, mu-law), FLAC, OGG, AIFF and more. Several channels are
mixed down to mono by averaging them. A missing, unreadable or unsupported
input, or an output name whose format matplotlib cannot write, ends the script
with one line on standard error and exit status 1 before any analysis runs.

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
import os
import sys
from typing import NamedTuple

import matplotlib

matplotlib.use("Agg")  # draw into files only, never open a window

import numpy as np
import soundfile
from matplotlib.backend_bases import FigureCanvasBase
from matplotlib.figure import Figure

import kavrel

LOWEST_KEY = 21  # A0
HIGHEST_KEY = 108  # C8
KEYS = np.arange(LOWEST_KEY, HIGHEST_KEY + 1)
TUNING_HZ = 440.0

DEMO_SAMPLE_RATE = 44100
HOP_SECONDS = 0.005
SEGMENT_SECONDS = 0.25
DYNAMIC_RANGE_DB = 80.0

NOTE_NAMES = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")


class Note(NamedTuple):
    """One note of the demo signal: MIDI number, start and end in seconds."""

    midi: int
    start: float
    end: float


def note_name(midi: int) -> str:
    """Name of a MIDI note in scientific pitch notation: 60 -> "C4", 66 -> "F#4"."""
    octave, pitch_class = divmod(int(midi), 12)
    return f"{NOTE_NAMES[pitch_class]}{octave - 1}"


def key_frequencies(keys: np.ndarray = KEYS) -> np.ndarray:
    """Frequencies in Hz of piano keys (all 88 by default), as the float32 array the bank takes."""
    return np.array([kavrel.midi_to_hz(m, TUNING_HZ) for m in keys], dtype=np.float32)


def keys_below_nyquist(sample_rate: float) -> np.ndarray:
    """The piano keys whose frequency lies below half the sample rate.

    A channel above the Nyquist frequency would only pick up aliases of lower
    sounds, so those keys are left out of the analysis.
    """
    return KEYS[key_frequencies() < sample_rate / 2]


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


class InputError(Exception):
    """An input or output the script cannot use; its message is printed as it stands."""


def load_audio(path: str) -> tuple[np.ndarray, int]:
    """Read a sound file as mono float32 samples in [-1, 1], and its sample rate.

    Integer formats are scaled by their full scale (32768 for 16 bits), as
    libsndfile does; several channels are averaged. Raises InputError with a
    one-line reason when the file is missing or cannot be read.
    """
    if not os.path.exists(path):
        raise InputError(f"error: no such file: {path}")
    if os.path.isdir(path):
        raise InputError(f"error: {path} is a directory, not a sound file")
    try:
        data, sample_rate = soundfile.read(path, dtype="float64", always_2d=True)
    except (RuntimeError, OSError) as exc:  # soundfile's own errors are RuntimeErrors
        reason = getattr(exc, "error_string", None) or getattr(exc, "strerror", None) or str(exc)
        raise InputError(f"error: cannot read {path}: {reason}") from None
    samples = data.mean(axis=1)
    return np.ascontiguousarray(samples, dtype=np.float32), int(sample_rate)


def check_output(path: str) -> None:
    """Fail early, before any analysis, if matplotlib cannot write `path`."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if extension not in formats:
        raise InputError(
            f"error: cannot write {path}: the output's extension names its format, "
            f"one of {', '.join('.' + f for f in sorted(formats))}"
        )
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise InputError(f"error: cannot write {path}: no such directory: {folder}")


# ---------------------------------------------------------------------------
# Analysis


def hop_for(sample_rate: float) -> int:
    """Samples per frame: about 5 ms, at least one sample."""
    return max(1, round(HOP_SECONDS * sample_rate))


def analyse(signal: np.ndarray, sample_rate: float, hop: int) -> np.ndarray:
    """Run `signal` through a fresh bank of piano-key channels.

    Returns the complex channel values, one row every `hop` samples and one
    column per key from A0 up to C8 or the last key below the Nyquist
    frequency: shape (len(signal) // hop, len(keys_below_nyquist(sample_rate))).
    """
    keys = keys_below_nyquist(sample_rate)
    bank = kavrel.ResonatorBank(key_frequencies(keys), float(sample_rate))
    return bank.resonate(np.ascontiguousarray(signal, dtype=np.float32), hop)


def level_db(frames: np.ndarray) -> np.ndarray:
    """Channel levels in dB relative to a full-scale sine.

    A sine of amplitude A settles to a channel value of magnitude A / 2, so
    the power is scaled by 4 to read 0 dB for A = 1. The small offset keeps
    silent channels finite (-120 dB).
    """
    power = np.abs(frames.astype(np.complex128)) ** 2
    return 10.0 * np.log10(4.0 * power + 1e-12)


def strongest_notes(
    frames: np.ndarray,
    frame_seconds: float,
    segment_seconds: float = SEGMENT_SECONDS,
    max_notes: int = 3,
    within_db: float = 20.0,
    silence_db: float = 60.0,
    floor_db: float = -100.0,
) -> list[tuple[float, float, list[tuple[int, float]]]]:
    """The strongest notes of each segment of `segment_seconds`.

    Frame k is read at time (k + 1) * frame_seconds; segment j covers the
    times after j * segment_seconds up to and including (j + 1) * segment_seconds,
    so that every segment printed has a frame inside it (a frame read at 2.00 s
    closes the segment 1.75-2.00 s and opens none). In each segment the channel
    powers are averaged over its frames; a note qualifies if its channel is a
    local peak across the keys
    (louder than both neighbours, so that the skirts of a strong note do not
    count) and lies within `within_db` of the loudest channel. Up to `max_notes`
    of them are returned, loudest first. A segment counts as silent, and is left
    out, when its loudest channel is more than `silence_db` below the loudest
    channel of the whole signal, or below `floor_db`.

    Returns a list of (start, end, [(midi, level_db), ...]).
    """
    if len(frames) == 0:
        return []
    power = np.abs(frames.astype(np.complex128)) ** 2
    times = (np.arange(len(frames)) + 1) * frame_seconds
    segment_of = np.ceil(times / segment_seconds - 1e-9).astype(int) - 1

    segments = []
    for segment in np.unique(segment_of):
        mean_power = power[segment_of == segment].mean(axis=0)
        segments.append((segment, 10.0 * np.log10(4.0 * mean_power + 1e-12)))
    threshold = max(max(levels.max() for _, levels in segments) - silence_db, floor_db)

    result = []
    for segment, levels in segments:
        top = levels.max()
        if top < threshold:
            continue
        padded = np.concatenate(([-np.inf], levels, [-np.inf]))
        is_peak = (levels > padded[:-2]) & (levels >= padded[2:])
        candidates = np.flatnonzero(is_peak & (levels >= top - within_db))
        chosen = candidates[np.argsort(-levels[candidates], kind="stable")][:max_notes]
        start = segment * segment_seconds
        end = min((segment + 1) * segment_seconds, times[-1])
        result.append((start, end, [(int(KEYS[i]), float(levels[i])) for i in chosen]))
    return result


# ---------------------------------------------------------------------------
# Output


def draw(frames: np.ndarray, frame_seconds: float, title: str, path: str) -> None:
    """Save the spectrogram of `frames`: time across, keys up (note names on
    the left, frequencies in Hz on the right)."""
    keys = KEYS[: frames.shape[1]]
    top_key = int(keys[-1])
    levels = level_db(frames)
    top = levels.max() if levels.size else 0.0
    duration = len(frames) * frame_seconds

    fig = Figure(figsize=(11, 6.5), dpi=110, layout="constrained")
    ax = fig.add_subplot()
    image = ax.imshow(
        levels.T,
        origin="lower",
        aspect="auto",
        interpolation="nearest",
        cmap="magma",
        vmin=top - DYNAMIC_RANGE_DB,
        vmax=top,
        extent=(0.0, duration, LOWEST_KEY - 0.5, top_key + 0.5),
    )
    # Label every C and every A; faint lines at the Cs mark the octaves.
    ticks = [m for m in keys if m % 12 in (0, 9)]
    ax.set_yticks(ticks, [note_name(m) for m in ticks], fontsize=8)
    ax.set_yticks(keys, minor=True)
    ax.tick_params(axis="y", which="minor", length=2)
    for m in keys[keys % 12 == 0]:
        ax.axhline(m - 0.5, color="white", alpha=0.15, linewidth=0.6)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("note")
    # The same axis in Hz, with a tick at every A (27.5 Hz and its octaves).
    hz = ax.secondary_yaxis(
        "right",
        functions=(
            lambda m: TUNING_HZ * 2.0 ** ((np.asarray(m) - 69) / 12),
            lambda f: 69 + 12 * np.log2(np.maximum(np.asarray(f), 1e-9) / TUNING_HZ),
        ),
    )
    a_hz = [TUNING_HZ * 2.0 ** ((m - 69) / 12) for m in keys if m % 12 == 9]
    hz.set_yticks(a_hz, [f"{f:g}" for f in a_hz], fontsize=8)
    hz.set_ylabel("frequency (Hz)")
    ax.set_title(title)
    fig.colorbar(image, ax=ax, label="level (dB re full-scale sine)", pad=0.01)
    fig.savefig(path)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Piano-key spectrogram of a sound file (or of a built-in demo "
        "signal) with a kavrel resonator bank."
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
    args = parser.parse_args(argv)

    try:
        check_output(args.output)
        if args.input is None:
            sample_rate = DEMO_SAMPLE_RATE
            signal, _ = synthesize_demo(sample_rate)
            source = "built-in demo signal"
        else:
            signal, sample_rate = load_audio(args.input)
            source = os.path.basename(args.input)
    except InputError as exc:
        print(exc, file=sys.stderr)
        return 1

    hop = hop_for(sample_rate)
    frame_seconds = hop / sample_rate
    print(f"Input: {source}, {len(signal) / sample_rate:.2f} s at {sample_rate} Hz")
    keys = keys_below_nyquist(sample_rate)
    if len(keys) == 0:
        print(
            f"error: no piano key lies below the Nyquist frequency ({sample_rate / 2:g} Hz)",
            file=sys.stderr,
        )
        return 1
    if len(keys) < len(KEYS):
        left_out = [note_name(m) for m in KEYS[len(keys) :]]
        named = left_out[0] if len(left_out) == 1 else f"{left_out[0]} to {left_out[-1]}"
        print(
            f"Left out {len(left_out)} key{'s' * (len(left_out) > 1)} above the Nyquist "
            f"frequency ({sample_rate / 2:g} Hz): {named}"
        )
    frames = analyse(signal, sample_rate, hop)
    if len(frames) == 0:
        print(f"error: the input is shorter than one frame ({hop} samples)", file=sys.stderr)
        return 1
    print(
        f"Analysed {frames.shape[1]} keys ({note_name(keys[0])}-{note_name(keys[-1])}), "
        f"{len(frames)} frames of {hop} samples ({1000 * frame_seconds:.1f} ms)"
    )

    print("Strongest notes (dB re full-scale sine):")
    for start, end, notes in strongest_notes(frames, frame_seconds):
        listed = "  ".join(f"{note_name(m)} ({db:.1f} dB)" for m, db in notes)
        print(f"  {start:5.2f}-{end:5.2f} s: {listed}")

    draw(frames, frame_seconds, f"Resonator-bank spectrogram of {source}", args.output)
    print(f"Wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
