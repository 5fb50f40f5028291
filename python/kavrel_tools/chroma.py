"""Chroma: the energy of the 12 pitch classes, frame by frame, from a bank's powers;
offline (`chromagram`) or streaming (`ChromaStream`), with the tuning estimated once
(`estimate_tuning`).

How a frame is read. A bank over a log grid (`bins_per_semitone` bins per semitone, from
`fmin` up to `fmax` or 45 % of the sample rate) is read every `hop` samples; each channel's
time constant is `periods` periods of its frequency, at most `max_tau` seconds. Each channel
belongs to the pitch class of the nearest equal-tempered note at the tuning, with a weight
``cos(pi * d) ** 2`` for its distance d (in semitones, at most 1/2) from that note, so that
channels between two notes count little. A class sums its channels' weighted powers, and
each frame is divided by its largest class (a silent frame stays all zeros). Row 0 is C, row
9 is A.

Tuning, once. The tuning is the offset in cents (-50 to 50) of the signal's notes from A4 = 440 Hz.
`estimate_tuning` finds it from the spectral peaks of the whole signal (a channel louder
than both neighbours and within 30 dB of its frame's loudest), each placed between
channels by a parabola through its level in dB and its neighbours': the offsets of the
peaks from the nearest note, as angles on a circle of one semitone, are averaged with the
peaks' magnitudes as weights. `chromagram` estimates it once over the whole signal unless
given; `ChromaStream` takes it as an argument (default 0 cents; from `estimate_tuning`
over a first excerpt, for instance). It moves the channels' class boundaries and nothing
else: the spectrum is never shifted, so the tuning is applied exactly once.

Latency. A frame is complete ``hop - 1`` samples after a change at most; `ChromaStream.latency` adds
the time the slowest channel needs to read half of a tone switched on (``settle``).
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from ._features import (
    FrameStream,
    positive,
    settle_samples,
    time_constant_alphas,
    whole,
)
from .audio import as_signal
from .frequencies import TUNING_HZ, hz_to_midi, log_frequencies

FloatArray = npt.NDArray[np.float64]

C1_HZ = 32.70319566257483
C8_HZ = 4186.009044809578
PEAK_RANGE_DB = 30.0


class ChromaStream:
    """Chroma of a stream fed in blocks of any size.

    Besides its settings, a stream holds ``latency``, its algorithmic latency in samples
    (``hop - 1`` plus ``settle``), ``freqs``, its bank's frequencies (float32), and for
    each channel its pitch class in ``classes`` (0 = C ... 11 = B) and its weight in
    ``weights``.

    Args:
        sample_rate: samples per second.
        tuning: the offset of the notes from A4 = 440 Hz in cents, between -50 and 50
            (default 0).
        fmin: the lowest channel in Hz (default C1).
        fmax: the highest channel in Hz (default C8; below 45 % of the rate in any case).
        hop: samples per frame; by default about 5.8 ms (256 at 44.1 kHz).
        bins_per_semitone: channels per semitone (default 3).
        periods: each channel's time constant in periods of its frequency (default 16)...
        max_tau: ... and at most this many seconds (default 50 ms).

    Raises:
        ValueError: a setting out of bounds, or a range with no channel below 45 % of the
            rate.

    Example:
        >>> import numpy as np
        >>> from kavrel_tools.chroma import ChromaStream
        >>> stream = ChromaStream(16000)
        >>> t = np.arange(8000) / 16000
        >>> frames = stream.feed(np.sin(2 * np.pi * 440 * t))  # A4
        >>> frames.shape, int(np.argmax(frames[:, -1]))
        ((12, 86), 9)
    """

    def __init__(
        self,
        sample_rate: float,
        *,
        tuning: float = 0.0,
        fmin: float = C1_HZ,
        fmax: float = C8_HZ,
        hop: int | None = None,
        bins_per_semitone: int = 3,
        periods: float = 16.0,
        max_tau: float = 0.05,
    ) -> None:
        self.sample_rate = positive("sample_rate", sample_rate)
        if not -50.0 <= tuning <= 50.0:
            raise ValueError(f"tuning must lie between -50 and 50 cents, not {tuning!r}")
        self.tuning = float(tuning)
        fmin, fmax = positive("fmin", fmin), positive("fmax", fmax)
        top = min(fmax, 0.45 * self.sample_rate)
        if not fmin < top:
            raise ValueError(
                f"no channel between fmin ({fmin:g} Hz) and the top ({top:g} Hz: the lower of "
                "fmax and 45 % of the sample rate)"
            )
        self.hop = whole("hop", round(0.0058 * self.sample_rate) if hop is None else hop, 1)
        per_octave = 12 * whole("bins_per_semitone", bins_per_semitone, 1)
        self.freqs = log_frequencies(fmin, fmax=top, bins_per_octave=per_octave)
        reference = TUNING_HZ * 2.0 ** (self.tuning / 1200.0)
        notes = np.asarray(hz_to_midi(self.freqs.astype(np.float64), reference))
        nearest = np.round(notes)
        self.classes = (nearest.astype(np.int64) % 12).astype(np.int64)
        self.weights = np.cos(math.pi * (notes - nearest)) ** 2
        self._members = [np.flatnonzero(self.classes == c) for c in range(12)]
        alphas = time_constant_alphas(
            self.freqs, self.sample_rate, positive("periods", periods), positive("max_tau", max_tau)
        )
        self._stream = FrameStream(self.freqs, self.sample_rate, self.hop, alphas)
        self.settle = settle_samples(float(max_tau), self.sample_rate)
        self.latency = self.hop - 1 + self.settle

    def _fold(self, magnitudes: FloatArray) -> FloatArray:
        """(12, frames) chroma of (frames, bins) magnitudes, each frame by its largest class."""
        powers = magnitudes * magnitudes * self.weights
        classes = np.zeros((12, len(magnitudes)))
        for c, members in enumerate(self._members):
            for b in members:  # column by column: the same bits for any number of rows
                classes[c] += powers[:, b]
        largest = classes.max(axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(largest > 0.0, classes / largest, 0.0)

    def feed(self, block: npt.ArrayLike) -> FloatArray:
        """Advance by one block of mono samples.

        Args:
            block: the next samples, 1-D, as `kavrel_tools.as_signal` reads them (any
                length).

        Returns:
            The (12, frames) chroma of the frames the block completes (possibly none).

        Raises:
            ValueError: a block that is not 1-D.
        """
        _, magnitudes = self._stream.feed(block)
        return self._fold(magnitudes)

    def reset(self) -> None:
        """Start a new stream."""
        self._stream.reset()


def estimate_tuning(
    samples: npt.ArrayLike,
    sample_rate: float,
    *,
    fmin: float = C1_HZ,
    fmax: float = C8_HZ,
    hop: int | None = None,
) -> float:
    """The tuning of a signal in cents from A4 = 440 Hz, between -50 and 50.

    Args:
        samples: 1-D samples, as `kavrel_tools.as_signal` reads them.
        sample_rate: samples per second.
        fmin: the lowest peak in Hz (default C1).
        fmax: the highest peak in Hz (default C8).
        hop: samples between readings of the peaks (default about 23 ms).

    Returns:
        The magnitude-weighted circular mean of the peaks' offsets in cents (see the
        module's description); 0.0 for a signal without peaks.

    Example:
        >>> import numpy as np
        >>> from kavrel_tools.chroma import estimate_tuning
        >>> rate = 16000
        >>> t = np.arange(rate) / rate
        >>> a = 440 * 2 ** (20 / 1200)  # A4, 20 cents sharp
        >>> round(estimate_tuning(np.sin(2 * np.pi * a * t), rate))
        20
    """
    hop = round(0.023 * float(sample_rate)) if hop is None else hop
    stream = ChromaStream(sample_rate, fmin=fmin, fmax=fmax, hop=hop, bins_per_semitone=5)
    _, magnitudes = stream._stream.feed(as_signal(samples))
    with np.errstate(divide="ignore"):
        levels = 20.0 * np.log10(np.maximum(magnitudes, 1e-12))
    if levels.shape[1] < 3:
        return 0.0
    left, centre, right = levels[:, :-2], levels[:, 1:-1], levels[:, 2:]
    loudest = levels.max(axis=1, keepdims=True)
    peaks = (centre > left) & (centre >= right) & (centre >= loudest - PEAK_RANGE_DB)
    peaks &= magnitudes[:, 1:-1] > 1e-9
    frames, bins = np.nonzero(peaks)
    if len(bins) == 0:
        return 0.0
    below, top, above = left[frames, bins], centre[frames, bins], right[frames, bins]
    curve = below - 2.0 * top + above
    shift = np.where(curve < 0.0, 0.5 * (below - above) / np.where(curve < 0.0, curve, -1.0), 0.0)
    grid = np.asarray(hz_to_midi(stream.freqs.astype(np.float64)))
    step = grid[1] - grid[0]
    notes = grid[bins + 1] + np.clip(shift, -0.5, 0.5) * step
    angles = 2.0 * math.pi * (notes - np.round(notes))
    weights = magnitudes[:, 1:-1][frames, bins]
    mean = math.atan2(
        float(np.sum(weights * np.sin(angles))), float(np.sum(weights * np.cos(angles)))
    )
    return 100.0 * mean / (2.0 * math.pi)


def chromagram(
    samples: npt.ArrayLike,
    sample_rate: float,
    *,
    tuning: float | None = None,
    **settings: Any,
) -> tuple[FloatArray, float]:
    """Chroma of a whole signal, with the tuning estimated once.

    Args:
        samples: 1-D samples, as `kavrel_tools.as_signal` reads them.
        sample_rate: samples per second.
        tuning: the offset from A4 = 440 Hz in cents; estimated by `estimate_tuning` over
            the whole signal when not given.
        settings: the other keyword arguments of `ChromaStream` (``fmin``, ``fmax``,
            ``hop``, ...).

    Returns:
        The chroma, (12, frames), frame k read after sample ``(k + 1) * hop - 1`` (bit for
        bit what `ChromaStream` with the same tuning gives for any block split), and the
        tuning used, in cents.

    Raises:
        ValueError: a setting `ChromaStream` refuses.

    Example:
        >>> import numpy as np
        >>> from kavrel_tools.chroma import chromagram
        >>> rate = 16000
        >>> t = np.arange(rate) / rate
        >>> fifth = np.sin(2 * np.pi * 261.63 * t) + np.sin(2 * np.pi * 392.0 * t)  # C, G
        >>> values, tuning = chromagram(fifth, rate)
        >>> sorted(np.argsort(values[:, -1])[-2:].tolist()), round(tuning)
        ([0, 7], 0)
    """
    signal = as_signal(samples)
    if tuning is None:
        tuning = estimate_tuning(signal, sample_rate)
    stream = ChromaStream(sample_rate, tuning=tuning, **settings)
    return stream.feed(signal), float(tuning)
