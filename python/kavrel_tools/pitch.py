"""Pitch (f0) with voicing for monophonic audio: a frame-wise fundamental frequency, a
voiced/unvoiced decision and a confidence, offline (`track_pitch`) or streaming
(`PitchTracker`).

How a frame is read. A bank over a log grid (`bins_per_semitone` bins per semitone, from a
semitone below `fmin` up to `top` Hz or 45 % of the sample rate) is read every `hop`
samples; each channel's time constant is `periods` periods of its own frequency, at most
`max_tau` seconds, so that neighbouring harmonics of most voices and instruments fall in
separate channels while the channels still follow notes. Every candidate f0 on the grid
between `fmin` and `fmax` gets a harmonic score from the channels' magnitudes c::

    score(f) = sum_h w_h * (c(h f) - c((h - 1/2) f)),   h = 1 ... harmonics,  w_h = h ** -0.5

that is the evidence at the harmonics minus the evidence half-way between them (for
h = 1, at f / 2, the sub-harmonic). The second sum is what keeps octave errors out: a
candidate an octave too high finds the odd harmonics of the true f0 half-way between its
own and is penalised by them; a candidate an octave too low finds its odd harmonics in
the gaps, and collects only the even ones with weights 2 ** -0.5 times smaller. A missing
or weak fundamental costs the true f0 one term and nothing else. Off-grid harmonics are
read by linear interpolation between channels; the best candidate is refined by a
parabola through its score and its neighbours'.

The confidence is the score of the best candidate over the same sum with both terms
added: about 1 for a clean harmonic tone, about 0 for noise, whose channels hold as much
between the harmonics of any candidate as on them. A frame is voiced when the confidence
reaches `threshold`, the loudest channel is above `silence_db` (dB re full-scale sine),
and that level has not fallen since the frame before by more than half of what the
slowest channels lose per frame when their input stops: a bank rings on after a sound
ends, still harmonic, and that ringing is not voice.

Smoothing. A median over a few frames (of the f0 in semitones, over the voiced frames only, and a
majority of the voiced flags) removes single-frame slips: centred over `smooth` frames
offline, over the latest `smooth` frames when streaming (`smoothing="causal"` offline
gives, bit for bit, what `PitchTracker` gives for any block split). Centred smoothing
also centres the times: a channel's reading lags its input by about two time constants
(the delay of its two smoothing stages), so the offline times are the frames' ends less
`PitchTracker.delay`, ``2 * max_tau``.

Latency. `PitchTracker.latency` is the algorithmic latency in samples: a change in the input is
inside the frame that ends at most ``hop - 1`` samples later, the causal median holds it
back ``smooth // 2`` frames, and the slowest channel (`max_tau`) needs ``settle`` samples
to read half of a tone switched on. With the defaults at 44.1 kHz (hop 256, smooth 3,
max_tau 16 ms) that is 255 + 256 + 1184 = 1695 samples, 38.4 ms; ``max_tau=0.008`` brings
it to 1103 samples, 25.0 ms, at the cost of tones below about 100 Hz, whose harmonics the
shorter channels no longer separate.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._features import (
    FrameStream,
    centred_median,
    positive,
    running_median,
    settle_samples,
    time_constant_alphas,
    whole,
)
from .audio import as_signal
from .frequencies import hz_to_midi, log_frequencies, midi_to_hz
from .results import frame_times

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]

E1_HZ = 41.20344461410875
C7_HZ = 2093.004522404789
SILENCE_DB = -60.0
FALL_SHARE = 0.5


@dataclass(frozen=True)
class PitchTrack:
    """Frame-wise pitch: frame k is read after sample ``(k + 1) * hop - 1``.

    Four arrays of one entry per frame:

    - ``times``: the time of each frame in seconds, ``(k + 1) * hop / sample_rate`` (less
      the channels' delay offline, with centred smoothing);
    - ``f0``: the fundamental frequency in Hz (float64); unvoiced frames hold the best
      candidate all the same, ``voiced`` tells them apart;
    - ``voiced``: whether each frame is voiced (bool);
    - ``confidence``: the harmonic confidence of the frame's best candidate, about 1 for a
      clean harmonic tone, about 0 for noise (before smoothing).
    """

    times: FloatArray
    f0: FloatArray
    voiced: BoolArray
    confidence: FloatArray

    def __len__(self) -> int:
        return len(self.times)

    def midi(self) -> FloatArray:
        """The f0 as fractional MIDI numbers, NaN in unvoiced frames."""
        notes = np.asarray(hz_to_midi(self.f0), dtype=np.float64)
        return np.where(self.voiced, notes, np.nan)


class PitchTracker:
    """Causal pitch tracking of a stream fed in blocks of any size.

    Besides its settings, a tracker holds ``latency``, its algorithmic latency in samples
    (see the module's description), ``delay``, the seconds by which the offline, centred
    times are moved back (``2 * max_tau``), and ``freqs``, its bank's frequencies (float32).

    Args:
        sample_rate: samples per second.
        fmin: the lowest f0 in Hz (default E1, 41.2 Hz).
        fmax: the highest f0 in Hz (default C7, 2093 Hz).
        hop: samples per frame; by default about 5.8 ms (256 at 44.1 kHz).
        bins_per_semitone: channels per semitone of the log grid (default 3).
        harmonics: harmonics that count in a candidate's score (default 8).
        threshold: least confidence of a voiced frame (default 0.65).
        silence_db: a frame whose loudest channel is below this level (dB re full-scale
            sine) is unvoiced (default -60).
        smooth: frames of the median (1 for none; default 3).
        periods: each channel's time constant in periods of its frequency (default 8)...
        max_tau: ... and at most this many seconds (default 16 ms).
        top: the highest channel in Hz (default 8000; below 45 % of the sample rate).

    Raises:
        ValueError: a range, rate or setting out of bounds, or an ``fmax`` whose harmonics
            the grid cannot hold (above ``top`` or 45 % of the sample rate).

    Example:
        >>> import numpy as np
        >>> from kavrel_tools.pitch import PitchTracker
        >>> tracker = PitchTracker(44100)
        >>> tracker.hop, tracker.latency  # samples
        (256, 1695)
        >>> frames = tracker.feed(np.zeros(1000, np.float32))
        >>> len(frames), bool(frames.voiced.any())
        (3, False)
    """

    def __init__(
        self,
        sample_rate: float,
        *,
        fmin: float = E1_HZ,
        fmax: float = C7_HZ,
        hop: int | None = None,
        bins_per_semitone: int = 3,
        harmonics: int = 8,
        threshold: float = 0.65,
        silence_db: float = SILENCE_DB,
        smooth: int = 3,
        periods: float = 8.0,
        max_tau: float = 0.016,
        top: float = 8000.0,
    ) -> None:
        self.sample_rate = positive("sample_rate", sample_rate)
        fmin, fmax = positive("fmin", fmin), positive("fmax", fmax)
        if not fmin < fmax:
            raise ValueError(f"fmin ({fmin:g} Hz) must lie below fmax ({fmax:g} Hz)")
        self.hop = whole("hop", round(0.0058 * self.sample_rate) if hop is None else hop, 1)
        self.bins_per_semitone = whole("bins_per_semitone", bins_per_semitone, 1)
        self.harmonics = whole("harmonics", harmonics, 1)
        self.smooth = whole("smooth", smooth, 1)
        if not 0.0 <= threshold <= 1.0:
            raise ValueError(f"threshold must lie between 0 and 1, not {threshold!r}")
        self.threshold = float(threshold)
        self.silence_db = float(silence_db)
        self.periods = positive("periods", periods)
        self.max_tau = positive("max_tau", max_tau)
        ceiling = min(positive("top", top), 0.45 * self.sample_rate)
        if not fmax * 2.0 ** (1.0 / 12.0) < ceiling:
            raise ValueError(
                f"fmax ({fmax:g} Hz) leaves no room below the top channel ({ceiling:g} Hz: "
                "the lower of top and 45 % of the sample rate)"
            )
        per_octave = 12 * self.bins_per_semitone
        low = fmin * 2.0 ** (-1.0 / 12.0)
        self.freqs = log_frequencies(low, fmax=ceiling, bins_per_octave=per_octave)
        grid = self.freqs.astype(np.float64)
        # Candidates: the bins from fmin to fmax, and one more either side for the parabola.
        first = int(np.searchsorted(grid, fmin * (1 - 1e-6)))
        last = int(np.searchsorted(grid, fmax * (1 + 1e-6), side="right"))
        self._candidates = np.arange(max(first - 1, 0), min(last + 1, len(grid)))
        self._fmin, self._fmax = fmin, fmax
        self._per_octave = per_octave
        self._low = low
        self._weights = [h**-0.5 for h in range(1, self.harmonics + 1)]
        # Offsets in bins of the harmonics and of the points half-way below them.
        self._on = [per_octave * math.log2(h) for h in range(1, self.harmonics + 1)]
        self._between = [per_octave * math.log2(h - 0.5) for h in range(1, self.harmonics + 1)]
        self._pad_low = per_octave + 2
        self._pad_high = math.ceil(per_octave * math.log2(self.harmonics)) + 2
        alphas = time_constant_alphas(self.freqs, self.sample_rate, self.periods, self.max_tau)
        self._stream = FrameStream(self.freqs, self.sample_rate, self.hop, alphas)
        self.settle = settle_samples(self.max_tau, self.sample_rate)
        self.latency = self.hop - 1 + (self.smooth // 2) * self.hop + self.settle
        self._history_midi = np.full(self.smooth - 1, np.nan)
        self._history_voiced = np.zeros(self.smooth - 1)
        self._level = -math.inf
        # A level falling faster than this (dB per frame) is the bank ringing on after a
        # sound stopped: FALL_SHARE of the free decay of the slowest channels.
        self._fall = FALL_SHARE * 20.0 / math.log(10.0) / self.max_tau * self.hop / self.sample_rate
        self.delay = 2.0 * self.max_tau

    # -- one frame at a time (row by row, whatever the number of rows) ---------------

    def _shifted(self, padded: FloatArray, offset: float) -> FloatArray:
        """The magnitudes `offset` bins above every candidate, interpolated."""
        base = math.floor(offset)
        frac = offset - base
        index = self._candidates + self._pad_low + base
        below, above = padded[:, index], padded[:, index + 1]
        return below * (1.0 - frac) + above * frac

    def _raw(
        self, magnitudes: FloatArray, previous: float
    ) -> tuple[FloatArray, BoolArray, FloatArray, float]:
        """Frame-wise f0, voiced flag and confidence of (frames, bins) magnitudes, and the
        level of the last frame; `previous` is the level of the frame before the first."""
        frames = len(magnitudes)
        padded = np.zeros((frames, self._pad_low + len(self.freqs) + self._pad_high))
        padded[:, self._pad_low : self._pad_low + len(self.freqs)] = magnitudes
        on = np.zeros((frames, len(self._candidates)))
        off = np.zeros_like(on)
        for weight, up, mid in zip(self._weights, self._on, self._between):
            on += weight * self._shifted(padded, up)
            off += weight * self._shifted(padded, mid)
        score = on - off
        # Candidates outside [fmin, fmax] only serve the parabola of their neighbour.
        grid = self.freqs.astype(np.float64)[self._candidates]
        inside = (grid >= self._fmin * (1 - 1e-6)) & (grid <= self._fmax * (1 + 1e-6))
        best = np.argmax(np.where(inside, score, -np.inf), axis=1)
        rows = np.arange(frames)
        left = score[rows, np.maximum(best - 1, 0)]
        centre = score[rows, best]
        right = score[rows, np.minimum(best + 1, score.shape[1] - 1)]
        curve = left - 2.0 * centre + right
        with np.errstate(divide="ignore", invalid="ignore"):
            shift = np.where(curve < 0.0, 0.5 * (left - right) / curve, 0.0)
        shift = np.clip(shift, -0.5, 0.5)
        position = self._candidates[best] + shift
        f0 = self._low * 2.0 ** (position / self._per_octave)
        total = on[rows, best] + off[rows, best]
        with np.errstate(divide="ignore", invalid="ignore"):
            confidence = np.where(total > 0.0, centre / total, 0.0)
        loudest = np.zeros(frames)
        for column in range(magnitudes.shape[1]):  # a column at a time: row-independent
            loudest = np.maximum(loudest, magnitudes[:, column])
        with np.errstate(divide="ignore"):
            level = 20.0 * np.log10(2.0 * loudest)
        before = np.concatenate([[previous], level[:-1]])
        with np.errstate(invalid="ignore"):
            ringing = level - before < -self._fall
        voiced = (confidence >= self.threshold) & (level >= self.silence_db) & ~ringing
        return f0, voiced, confidence, float(level[-1]) if frames else previous

    def _smoothed(
        self, f0: FloatArray, voiced: BoolArray, history: tuple[FloatArray, FloatArray] | None
    ) -> tuple[FloatArray, BoolArray]:
        """The median smoothing: causal with `history` (the previous frames' midi values and
        voiced flags), centred without."""
        notes = np.where(voiced, np.asarray(hz_to_midi(f0), dtype=np.float64), np.nan)
        flags = voiced.astype(np.float64)
        if history is None:
            middle = centred_median(notes, self.smooth)
            votes = centred_median(flags, self.smooth)
        else:
            middle = running_median(notes, history[0], self.smooth)
            votes = running_median(flags, history[1], self.smooth)
        smoothed_voiced = (votes > 0.5) & ~np.isnan(middle)
        smoothed = np.where(smoothed_voiced, np.asarray(midi_to_hz(middle)), f0)
        return np.asarray(smoothed, dtype=np.float64), smoothed_voiced

    # -- the stream ---------------------------------------------------------------

    def feed(self, block: npt.ArrayLike) -> PitchTrack:
        """Advance by one block of mono samples and return the frames it completes.

        Args:
            block: the next samples, 1-D, as `kavrel_tools.as_signal` reads them (any
                length).

        Returns:
            The frames the block completes (possibly none), with times from the start of
            the stream.

        Raises:
            ValueError: a block that is not 1-D.
            TypeError: samples of a type `kavrel_tools.as_signal` does not read.
        """
        first, magnitudes = self._stream.feed(block)
        f0, voiced, confidence, self._level = self._raw(magnitudes, self._level)
        notes = np.where(voiced, np.asarray(hz_to_midi(f0), dtype=np.float64), np.nan)
        flags = voiced.astype(np.float64)
        history = (self._history_midi, self._history_voiced)
        if self.smooth > 1 and len(f0):
            self._history_midi = np.concatenate([self._history_midi, notes])[-(self.smooth - 1) :]
            self._history_voiced = np.concatenate([self._history_voiced, flags])[
                -(self.smooth - 1) :
            ]
        f0, voiced = self._smoothed(f0, voiced, history)
        times = frame_times(len(f0), self.hop, self.sample_rate, first)
        return PitchTrack(times, f0, voiced, confidence)

    def reset(self) -> None:
        """Start a new stream."""
        self._stream.reset()
        self._history_midi = np.full(self.smooth - 1, np.nan)
        self._history_voiced = np.zeros(self.smooth - 1)
        self._level = -math.inf


def track_pitch(
    samples: npt.ArrayLike,
    sample_rate: float,
    *,
    smoothing: str = "centred",
    **settings: Any,
) -> PitchTrack:
    """Pitch with voicing of a whole monophonic signal.

    Args:
        samples: 1-D samples, as `kavrel_tools.as_signal` reads them.
        sample_rate: samples per second.
        smoothing: "centred" (the default), a median over ``smooth`` frames centred on each
            frame, with the times moved back by the channels' delay; "causal", over each
            frame and those before it (what `PitchTracker` gives, bit for bit); or "none".
        settings: the keyword arguments of `PitchTracker` (``fmin``, ``fmax``, ``hop``,
            ``threshold``, ...).

    Returns:
        A `PitchTrack` of one entry per whole hop of the signal.

    Raises:
        ValueError: an unknown smoothing, or a setting `PitchTracker` refuses.

    Example:
        >>> import numpy as np
        >>> from kavrel_tools.pitch import track_pitch
        >>> rate = 16000
        >>> t = np.arange(rate // 2) / rate
        >>> tone = sum(np.sin(2 * np.pi * 220 * h * t) / h for h in range(2, 6))  # no f0
        >>> track = track_pitch(tone, rate)
        >>> round(float(np.median(track.f0[track.voiced])))
        220
    """
    if smoothing not in ("centred", "causal", "none"):
        raise ValueError(f"smoothing must be 'centred', 'causal' or 'none', not {smoothing!r}")
    tracker = PitchTracker(sample_rate, **settings)
    signal = as_signal(samples)
    if smoothing == "causal":
        return tracker.feed(signal)
    _, magnitudes = tracker._stream.feed(signal)
    f0, voiced, confidence, _ = tracker._raw(magnitudes, -math.inf)
    times = frame_times(len(f0), tracker.hop, tracker.sample_rate)
    if smoothing == "centred":
        f0, voiced = tracker._smoothed(f0, voiced, None)
        times = times - tracker.delay
    return PitchTrack(times, f0, voiced, confidence)
