"""Onsets: an onset-strength curve from a bank and onset times by peak picking, offline
(`detect_onsets`) or streaming (`OnsetDetector`).

Strength. A bank over a log grid (`bins_per_octave` channels per octave from `fmin` to
`fmax` or 45 % of the sample rate; time constants of `periods` periods of each channel's
frequency, at most `max_tau` seconds) is read every `hop` samples, in dB re full-scale sine
with a floor at `floor_db`. The strength of frame k is the mean over the channels of the
rise of the level since frame ``k - lag``, counted where it rises only (half-wave
rectified): a note's onset raises many channels at once, a held note or silence none. Two
things keep held notes quiet: the level ``lag`` frames back is the loudest of the channel
and its two neighbours (so that vibrato, which moves a partial to the next channel, is no
rise), and both levels are counted from `range_db` below the frame's loudest channel (the
channels between a tone's harmonics beat at the spacing of the harmonics, deep in dB, and
would otherwise rise and fall all the time).

Picking. Frame k is an onset when its strength is the largest of frames ``k - pre`` to
``k + post``, reaches `threshold` (dB per frame, averaged over the channels) and the
mean of those frames plus `delta`, and lies at least `wait` frames after the previous
onset. An onset's time is the start of its frame's hop, ``k * hop / sample_rate``, less
the time the channels take to rise (`rise`, half the longest time constant), and at least
0. The stream starts from silence (every channel at `floor_db`), so sound at its very
start is an onset at 0. The decision
on frame k needs the `post` frames after it, so the detector answers ``post`` frames
late; the offline function applies the same rule and gives the same onsets, bit for bit.

Latency. `OnsetDetector.latency` in samples: ``hop - 1`` to complete a frame, ``post * hop`` of
look-ahead, and ``settle`` for the slowest channel to read half of a tone switched on.
"""

from __future__ import annotations

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
from .frequencies import log_frequencies
from .results import frame_times

FloatArray = npt.NDArray[np.float64]


class OnsetDetector:
    """Onset strength and onset times of a stream fed in blocks of any size.

    Besides its settings, a detector holds ``latency``, its algorithmic latency in samples
    (see the module's description), and ``rise``, the seconds subtracted from frame times
    for the channels' rise.

    Args:
        sample_rate: samples per second.
        hop: samples per frame; by default about 5.8 ms (256 at 44.1 kHz).
        fmin: the lowest channel in Hz (default 30).
        fmax: the highest channel in Hz (default 12000; below 45 % of the rate in any case).
        bins_per_octave: channels per octave (default 12).
        periods: each channel's time constant in periods of its frequency (default 4)...
        max_tau: ... and at most this many seconds (default 20 ms).
        floor_db: the lowest level counted, dB re full-scale sine (default -80).
        range_db: levels count from this many dB below the frame's loudest channel
            (default 30).
        lag: frames between the levels compared (default 2).
        pre: frames before a peak in which it must be the largest (default 3).
        post: frames after a peak in which it must be the largest, the look-ahead
            (default 1).
        threshold: the least strength of an onset, dB per frame (default 1.0).
        delta: the least excess of an onset over the mean of its window (default 1.0).
        wait: the least frames between two onsets (default 8, 46 ms at the default hop).

    Raises:
        ValueError: a setting out of bounds.

    Example:
        >>> from kavrel_tools.onsets import OnsetDetector
        >>> detector = OnsetDetector(44100)
        >>> detector.hop, detector.latency  # samples
        (256, 1991)
    """

    def __init__(
        self,
        sample_rate: float,
        *,
        hop: int | None = None,
        fmin: float = 30.0,
        fmax: float = 12000.0,
        bins_per_octave: int = 12,
        periods: float = 4.0,
        max_tau: float = 0.02,
        floor_db: float = -80.0,
        range_db: float = 30.0,
        lag: int = 2,
        pre: int = 3,
        post: int = 1,
        threshold: float = 1.0,
        delta: float = 1.0,
        wait: int = 8,
    ) -> None:
        self.sample_rate = positive("sample_rate", sample_rate)
        self.hop = whole("hop", round(0.0058 * self.sample_rate) if hop is None else hop, 1)
        fmin, fmax = positive("fmin", fmin), positive("fmax", fmax)
        top = min(fmax, 0.45 * self.sample_rate)
        if not fmin < top:
            raise ValueError(
                f"no channel between fmin ({fmin:g} Hz) and the top ({top:g} Hz: the lower of "
                "fmax and 45 % of the sample rate)"
            )
        self.freqs = log_frequencies(
            fmin, fmax=top, bins_per_octave=whole("bins_per_octave", bins_per_octave, 1)
        )
        self.max_tau = positive("max_tau", max_tau)
        alphas = time_constant_alphas(
            self.freqs, self.sample_rate, positive("periods", periods), self.max_tau
        )
        self.floor_db = float(floor_db)
        self.lag = whole("lag", lag, 1)
        self.pre = whole("pre", pre, 0)
        self.post = whole("post", post, 0)
        self.wait = whole("wait", wait, 1)
        self.threshold = float(threshold)
        self.range_db = positive("range_db", range_db)
        self.delta = float(delta)
        self._stream = FrameStream(self.freqs, self.sample_rate, self.hop, alphas)
        self.settle = settle_samples(self.max_tau, self.sample_rate)
        self.latency = self.hop - 1 + self.post * self.hop + self.settle
        self.rise = self.max_tau / 2.0
        self.reset()

    def reset(self) -> None:
        """Start a new stream."""
        self._stream.reset()
        self._levels = np.full((self.lag, len(self.freqs)), self.floor_db)
        # Frames not yet decided, with the `pre` before them (zeros before the stream).
        self._strength = np.zeros(self.pre)
        self._first = -self.pre  # frame index of self._strength[0]
        self._last_onset = -(10**9)

    def _rises(self, magnitudes: FloatArray) -> FloatArray:
        """Strength of each frame: the mean half-wave rectified rise in dB over `lag` frames."""
        with np.errstate(divide="ignore"):
            levels = np.maximum(20.0 * np.log10(2.0 * magnitudes), self.floor_db)
        history = np.concatenate([self._levels, levels])
        self._levels = history[-self.lag :]
        # The louder of each channel and its neighbours, `lag` frames back.
        before = history[: -self.lag].copy()
        before[:, 1:] = np.maximum(before[:, 1:], history[: -self.lag, :-1])
        before[:, :-1] = np.maximum(before[:, :-1], history[: -self.lag, 1:])
        now = history[self.lag :]
        loudest = np.full(len(now), -np.inf)
        for column in range(now.shape[1]):  # a column at a time: row-independent
            loudest = np.maximum(loudest, now[:, column])
        # Both frames counted from `range_db` below the current frame's loudest channel.
        bottom = (loudest - self.range_db)[:, None]
        rises = np.maximum(np.maximum(now, bottom) - np.maximum(before, bottom), 0.0)
        total = np.zeros(len(levels))
        for column in range(rises.shape[1]):  # a column at a time: row-independent
            total += rises[:, column]
        strength: FloatArray = total / rises.shape[1]
        return strength

    def feed(self, block: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
        """Advance by one block of mono samples.

        Args:
            block: the next samples, 1-D, as `kavrel_tools.as_signal` reads them (any
                length).

        Returns:
            The strength of the frames the block completes (possibly none), and the times
            in seconds of the onsets this block decides (up to ``post`` frames before its
            last frame).

        Raises:
            ValueError: a block that is not 1-D.
        """
        _, magnitudes = self._stream.feed(block)
        strength = self._rises(magnitudes)
        pending = np.concatenate([self._strength, strength])
        onsets: list[int] = []
        # Frame self._first + i is decided once frames up to i + post are in.
        decided = len(pending) - self.post
        start = self.pre
        for i in range(start, decided):
            value = pending[i]
            window = pending[i - self.pre : i + self.post + 1]
            frame = self._first + i
            if frame < 0:
                continue
            if (
                value >= self.threshold
                and value >= window.max()
                and value >= window.mean() + self.delta
                and frame - self._last_onset >= self.wait
            ):
                onsets.append(frame)
                self._last_onset = frame
        keep = max(decided - self.pre, 0)
        self._strength = pending[keep:]
        self._first += keep
        times = np.array(onsets, dtype=np.float64) * self.hop / self.sample_rate - self.rise
        return strength, np.maximum(times, 0.0)


def detect_onsets(
    samples: npt.ArrayLike, sample_rate: float, **settings: Any
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Onset strength and onset times of a whole signal.

    Args:
        samples: 1-D samples, as `kavrel_tools.as_signal` reads them.
        sample_rate: samples per second.
        settings: the keyword arguments of `OnsetDetector`.

    Returns:
        The time of each frame of the strength, ``(k + 1) * hop / sample_rate``; the
        strength of each frame (dB per frame, averaged over the channels); and the onset
        times in seconds, bit for bit what `OnsetDetector` gives for any block split (the
        last ``post`` frames, which have no look-ahead, are decided as if silence followed).

    Raises:
        ValueError: a setting `OnsetDetector` refuses.

    Example:
        >>> import numpy as np
        >>> from kavrel_tools.onsets import detect_onsets
        >>> rate = 16000
        >>> tone = np.zeros(rate)
        >>> t = np.arange(rate // 4) / rate
        >>> tone[rate // 2 : rate // 2 + rate // 4] = np.sin(2 * np.pi * 440 * t)
        >>> _, _, onsets = detect_onsets(tone, rate)
        >>> [round(float(x), 1) for x in onsets]
        [0.5]
    """
    detector = OnsetDetector(sample_rate, **settings)
    strength, onsets = detector.feed(samples)
    # The last frames are decided with silence after them.
    _, more = detector.feed(np.zeros(detector.post * detector.hop, dtype=np.float32))
    times = frame_times(len(strength), detector.hop, detector.sample_rate)
    return times, strength, np.concatenate([onsets, more])
