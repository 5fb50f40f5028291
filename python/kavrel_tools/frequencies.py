"""Frequencies and notes: piano keys, log-spaced grids, Hz <-> MIDI <-> note names.

Two precisions live here on purpose. The grids that feed a bank (`key_frequencies`,
`log_frequencies`) are float32 arrays, the only type the bank takes. The conversions
(`midi_to_hz`, `hz_to_midi`) work in double precision on scalars or arrays, for axes,
labels and tuning offsets.
"""

from __future__ import annotations

import math
import re
from typing import overload

import numpy as np
import numpy.typing as npt

import kavrel

TUNING_HZ = 440.0
"""The default tuning reference in Hz, the frequency of A4 (MIDI note 69)."""

A4_MIDI = 69
LOWEST_KEY = 21  # A0
HIGHEST_KEY = 108  # C8
PIANO_KEYS: npt.NDArray[np.int64] = np.arange(LOWEST_KEY, HIGHEST_KEY + 1, dtype=np.int64)
"""MIDI numbers of the 88 piano keys, A0 (21) to C8 (108)."""

NOTE_NAMES = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")
_NOTE = re.compile(r"([A-Ga-g])([#b]?)(-?\d+)")

FloatArray = npt.NDArray[np.float64]


def note_name(midi: int) -> str:
    """Name of a MIDI note in scientific pitch notation: 60 -> "C4", 66 -> "F#4", 21 -> "A0"."""
    octave, pitch_class = divmod(int(midi), 12)
    return f"{NOTE_NAMES[pitch_class]}{octave - 1}"


def note_to_midi(name: str) -> int:
    """MIDI number of a note name: "A4" -> 69, "C#4" and "Db4" -> 61, "C-1" -> 0."""
    found = _NOTE.fullmatch(name.strip())
    if found is None:
        raise ValueError(f"not a note name: {name!r} (a letter A to G, # or b, an octave)")
    letter, accidental, octave = found.groups()
    shift = {"": 0, "#": 1, "b": -1}[accidental]
    return 12 * (int(octave) + 1) + NOTE_NAMES.index(letter.upper()) + shift


@overload
def midi_to_hz(midi: float, tuning: float = TUNING_HZ) -> float: ...
@overload
def midi_to_hz(midi: npt.ArrayLike, tuning: float = TUNING_HZ) -> float | FloatArray: ...
def midi_to_hz(midi: npt.ArrayLike, tuning: float = TUNING_HZ) -> float | FloatArray:
    """Equal-tempered frequency in Hz of a (possibly fractional) MIDI number, in double
    precision: tuning * 2 ** ((midi - 69) / 12). For the float32 value a bank uses,
    `kavrel.midi_to_hz`."""
    value = tuning * 2.0 ** ((np.asarray(midi, dtype=np.float64) - A4_MIDI) / 12.0)
    return float(value) if value.ndim == 0 else value


@overload
def hz_to_midi(freq: float, tuning: float = TUNING_HZ) -> float: ...
@overload
def hz_to_midi(freq: npt.ArrayLike, tuning: float = TUNING_HZ) -> float | FloatArray: ...
def hz_to_midi(freq: npt.ArrayLike, tuning: float = TUNING_HZ) -> float | FloatArray:
    """Fractional MIDI number of a frequency in Hz: 69 + 12 * log2(freq / tuning).

    Zero gives -inf and negative frequencies NaN, as the logarithm does (without a warning).
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        value = A4_MIDI + 12.0 * np.log2(np.asarray(freq, dtype=np.float64) / tuning)
    return float(value) if value.ndim == 0 else value


def cents(freq: float, reference: float) -> float:
    """Offset of `freq` from `reference` in cents: 1200 * log2(freq / reference)."""
    return 1200.0 * math.log2(freq / reference)


def key_frequencies(
    keys: npt.ArrayLike = PIANO_KEYS, tuning: float = TUNING_HZ
) -> npt.NDArray[np.float32]:
    """Frequencies of MIDI notes (by default the 88 piano keys) as the float32 array a bank
    takes, each the bank's own `kavrel.midi_to_hz(key, tuning)`."""
    notes = np.asarray(keys, dtype=np.float64).ravel()
    return np.array([kavrel.midi_to_hz(float(m), tuning) for m in notes], dtype=np.float32)


def log_frequencies(
    fmin: float,
    n_bins: int | None = None,
    *,
    fmax: float | None = None,
    bins_per_octave: int = 12,
    sample_rate: float | None = None,
) -> npt.NDArray[np.float32]:
    """A log-spaced grid: fmin * 2 ** (k / bins_per_octave) Hz for k = 0, 1, ..., as float32.

    Give either `n_bins` (the grid has exactly that many bins, the usual constant-Q grid for
    the same arguments) or `fmax` (every bin up to `fmax` Hz, both ends included: a bin
    within a millionth of a bin of `fmax` counts). The values are computed in double
    precision and rounded once to float32. With `sample_rate`, bins at or above the Nyquist
    frequency (half the rate), which would only pick up aliases, raise ValueError; use
    `below_nyquist` to drop them instead.
    """
    if (n_bins is None) == (fmax is None):
        raise ValueError("give either n_bins or fmax")
    if not (math.isfinite(fmin) and fmin > 0.0):
        raise ValueError(f"fmin must be a finite frequency above 0 Hz, not {fmin}")
    if int(bins_per_octave) != bins_per_octave or bins_per_octave < 1:
        raise ValueError(
            f"bins_per_octave must be a whole number of at least 1, not {bins_per_octave}"
        )
    if fmax is not None:
        if not (math.isfinite(fmax) and fmax >= fmin):
            raise ValueError(f"fmax must be a finite frequency of at least fmin, not {fmax}")
        n_bins = math.floor(bins_per_octave * math.log2(fmax / fmin) + 1e-6) + 1
    assert n_bins is not None
    if int(n_bins) != n_bins or n_bins < 0:
        raise ValueError(f"n_bins must be a whole number of at least 0, not {n_bins}")
    steps = np.arange(int(n_bins), dtype=np.float64)
    freqs = (fmin * 2.0 ** (steps / bins_per_octave)).astype(np.float32)
    if sample_rate is not None and len(freqs) and not freqs[-1] < sample_rate / 2:
        raise ValueError(
            f"the grid reaches {float(freqs[-1]):g} Hz, at or above the Nyquist frequency "
            f"({sample_rate / 2:g} Hz) of a {sample_rate:g} Hz signal"
        )
    return freqs


def below_nyquist(freqs: npt.ArrayLike, sample_rate: float) -> npt.NDArray[np.float32]:
    """The frequencies that lie below the Nyquist frequency (half the sample rate), float32.

    A channel at or above it only picks up aliases of lower sounds.
    """
    values = np.asarray(freqs, dtype=np.float32)
    return np.ascontiguousarray(values[values < sample_rate / 2])
