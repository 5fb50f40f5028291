"""Results: power, magnitude and levels in dB, labelled spectrograms, and their picture.

Levels are in dB relative to a full-scale sine: a steady sine of amplitude A settles to a
channel value of magnitude A / 2, so magnitudes are doubled (powers multiplied by 4) and a
sine of amplitude 1 reads 0 dB. Silent channels read `floor_db` instead of minus infinity.

`Spectrogram` holds frames in the field's usual layout, (bins, frames), with the centre
frequency of every bin and the time of every frame; `to_xarray` labels them (the `xarray`
extra), `plot` draws them (matplotlib).
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .frequencies import TUNING_HZ, hz_to_midi, midi_to_hz, note_name

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.image import AxesImage

FLOOR_DB = -120.0
FloatArray = npt.NDArray[np.float64]


def power(frames: npt.ArrayLike) -> FloatArray:
    """Squared magnitude of complex channel values, in double precision."""
    return np.abs(np.asarray(frames).astype(np.complex128)) ** 2


def magnitude(frames: npt.ArrayLike) -> FloatArray:
    """Magnitude of complex channel values, in double precision."""
    return np.abs(np.asarray(frames).astype(np.complex128))


def power_db(powers: npt.ArrayLike, floor_db: float = FLOOR_DB) -> FloatArray:
    """Levels in dB re full-scale sine from channel powers: 10 log10(4 power), at least
    `floor_db`."""
    scaled = 4.0 * np.asarray(powers, dtype=np.float64)
    levels: FloatArray = 10.0 * np.log10(np.maximum(scaled, 10.0 ** (floor_db / 10.0)))
    return levels


def magnitude_db(magnitudes: npt.ArrayLike, floor_db: float = FLOOR_DB) -> FloatArray:
    """Levels in dB re full-scale sine from channel magnitudes: 20 log10(2 magnitude), at
    least `floor_db`."""
    amplitude = 2.0 * np.asarray(magnitudes, dtype=np.float64)
    levels: FloatArray = 20.0 * np.log10(np.maximum(amplitude, 10.0 ** (floor_db / 20.0)))
    return levels


def frame_times(n_frames: int, hop: int, sample_rate: float, first: int = 0) -> FloatArray:
    """Time in seconds of frames `first` ... `first + n_frames - 1`: frame k is read after
    the last sample of its hop, at (k + 1) * hop / sample_rate."""
    return (np.arange(first, first + n_frames, dtype=np.float64) + 1.0) * hop / sample_rate


@dataclass(frozen=True)
class Spectrogram:
    """Complex channel values with their coordinates.

    `values` is (bins, frames) complex64 for one channel, (channels, bins, frames) for
    several; `freqs` the bins' frequencies in Hz (float32, as the bank has them), `times`
    the frames' times in seconds (`frame_times`).
    """

    values: npt.NDArray[np.complex64]
    freqs: npt.NDArray[np.float32]
    times: FloatArray
    hop: int
    sample_rate: float

    @classmethod
    def from_frames(
        cls,
        frames: npt.NDArray[np.complex64],
        freqs: npt.ArrayLike,
        hop: int,
        sample_rate: float,
        first: int = 0,
    ) -> Spectrogram:
        """From frames as `resonate` or `StreamAnalyser.feed` return them ((frames, bins) or
        (channels, frames, bins)); `first` is the index of the first frame in the stream."""
        values = np.ascontiguousarray(np.swapaxes(frames, -1, -2))
        times = frame_times(frames.shape[-2], hop, sample_rate, first)
        return cls(values, np.asarray(freqs, dtype=np.float32), times, hop, float(sample_rate))

    def power(self) -> FloatArray:
        """Each value's power (squared magnitude), in the (bins, frames) layout."""
        return power(self.values)

    def magnitude(self) -> FloatArray:
        """Each value's magnitude, in the (bins, frames) layout."""
        return magnitude(self.values)

    def db(self, floor_db: float = FLOOR_DB) -> FloatArray:
        """Levels in dB re full-scale sine (`power_db`)."""
        return power_db(self.power(), floor_db)

    def to_xarray(self, kind: str = "db", floor_db: float = FLOOR_DB) -> Any:
        """An `xarray.DataArray` of the values ("complex"), "power", "magnitude" or "db",
        with dims ("channel",) "frequency", "time", coordinates in Hz and seconds, and each
        bin's fractional MIDI number as coordinate "midi" (needs the `xarray` extra)."""
        xarray: Any = importlib.import_module("xarray")  # optional: the `xarray` extra
        data: dict[str, Callable[[], npt.NDArray[Any]]] = {
            "complex": lambda: self.values,
            "power": self.power,
            "magnitude": self.magnitude,
            "db": lambda: self.db(floor_db),
        }
        if kind not in data:
            raise ValueError(f"kind must be one of {', '.join(data)}, not {kind!r}")
        dims = ("frequency", "time") if self.values.ndim == 2 else ("channel", "frequency", "time")
        units = {"power": "", "magnitude": "", "db": "dB re full-scale sine", "complex": ""}
        return xarray.DataArray(
            data[kind](),
            dims=dims,
            coords={
                "frequency": ("frequency", self.freqs.astype(np.float64), {"units": "Hz"}),
                "midi": ("frequency", hz_to_midi(self.freqs.astype(np.float64))),
                "time": ("time", self.times, {"units": "s"}),
            },
            name=kind,
            attrs={"hop": self.hop, "sample_rate": self.sample_rate, "units": units[kind]},
        )

    def plot(
        self,
        ax: Axes | None = None,
        *,
        range_db: float = 80.0,
        channel: int = 0,
        title: str | None = None,
    ) -> AxesImage:
        """Draw the levels in dB with `draw_levels` (time across, bins up), into `ax` or a new
        figure's axes; for several channels, the one given."""
        levels = self.db()
        if levels.ndim == 3:
            levels = levels[channel]
        if ax is None:
            from matplotlib.figure import Figure

            ax = Figure(figsize=(10, 5.5), layout="constrained").add_subplot()
        pitches = np.asarray(hz_to_midi(self.freqs.astype(np.float64)))
        top = float(levels.max()) if levels.size else 0.0
        image = draw_levels(
            ax, levels, pitches, len(self.times) * self.hop / self.sample_rate, top - range_db, top
        )
        if title is not None:
            ax.set_title(title)
        return image


def hz_ticks(low: float, high: float, on_notes: bool, tuning: float = TUNING_HZ) -> list[float]:
    """Frequencies to mark on a Hz axis between `low` and `high`: every A (the octaves of
    the tuning) when the bins lie on the notes, else 1, 2 and 5 times powers of ten."""
    if on_notes:
        candidates = [tuning * 2.0**octave for octave in range(-12, 12)]
    else:
        candidates = [m * 10.0**e for e in range(-3, 7) for m in (1, 2, 5)]
    return [f for f in candidates if low <= f <= high]


def draw_levels(
    ax: Axes,
    levels: npt.ArrayLike,
    pitches: npt.ArrayLike,
    duration: float,
    vmin: float,
    vmax: float,
    *,
    on_notes: bool | None = None,
    spacing: float | None = None,
    tuning: float = TUNING_HZ,
    label: str = "level (dB re full-scale sine)",
) -> AxesImage:
    """Draw (bins, columns) levels in dB on `ax`: time across from 0 to `duration` seconds,
    bins up at their MIDI `pitches` (evenly spaced), note names on the left, Hz on the right,
    and a colour bar from `vmin` to `vmax` dB. `on_notes` (whether the bins fall on the
    notes; by default when they are 100 cents apart) chooses A's or round numbers for the Hz
    ticks. Each bin's row is `spacing` semitones tall (by default the pitches' spacing, or
    one semitone for a single bin)."""
    values = np.asarray(levels, dtype=np.float64)
    midi = np.asarray(pitches, dtype=np.float64)
    if spacing is not None:
        step = spacing
    else:
        step = float(midi[-1] - midi[0]) / (len(midi) - 1) if len(midi) > 1 else 1.0
    if on_notes is None:
        on_notes = bool(np.allclose(midi, np.round(midi), atol=1e-3)) and abs(step - 1.0) < 1e-3
    half = step / 2
    bottom, ceiling = float(midi[0] - half), float(midi[-1] + half)
    image = ax.imshow(
        values,
        origin="lower",
        aspect="auto",
        interpolation="nearest",
        cmap="magma",
        vmin=vmin,
        vmax=vmax,
        extent=(0.0, duration, bottom, ceiling),
    )
    # Note names: every one over two octaves or less, else every C and every A.
    notes = np.arange(math.ceil(bottom), math.floor(ceiling) + 1)
    if ceiling - bottom > 24:
        notes = notes[np.isin(notes % 12, (0, 9))]
    ax.set_yticks(notes, [note_name(int(m)) for m in notes], fontsize=8)
    if len(midi) <= 128:
        ax.set_yticks(midi, minor=True)
        ax.tick_params(axis="y", which="minor", length=2)
    if on_notes:  # faint lines below the Cs mark the octaves
        for m in notes[notes % 12 == 0]:
            ax.axhline(m - half, color="white", alpha=0.15, linewidth=0.6)
    ax.set_ylim(bottom, ceiling)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("note")
    hz = ax.secondary_yaxis(
        "right",
        functions=(
            lambda m: midi_to_hz(np.asarray(m), tuning),
            lambda f: hz_to_midi(np.maximum(np.asarray(f), 1e-9), tuning),
        ),
    )
    ticks = hz_ticks(midi_to_hz(bottom, tuning), midi_to_hz(ceiling, tuning), on_notes, tuning)
    if len(ticks) >= 2:
        hz.set_yticks(ticks, [f"{f:g}" for f in ticks], fontsize=8)
    hz.set_ylabel("frequency (Hz)")
    figure = ax.get_figure()
    assert figure is not None
    figure.colorbar(image, ax=ax, label=label, pad=0.01)
    return image
