"""The core of a live analyser and tuner: a piano-key bank fed one block at a time.

`LiveAnalyser` advances a bank with one ``process_samples`` call per block and reads it
with ``magnitudes()`` right after it; `Tuner` follows the strongest channel's phase from
block to block, and a `kavrel_tools.pitch.PitchTracker`, fed the same blocks, gives the
pitch with its voicing and a track of the last seconds. A channel tuned to f multiplies
the input by a phasor that turns by -2 pi f / sample_rate per sample, so a sine at f_in
leaves the channel value turning at f_in - f cycles per second: the slope of a straight
line through the unwrapped phase over the last quarter second gives
f_in = f + advance / (2 pi), and the offset from the key in
cents, 1200 log2(f_in / f).
"""

from __future__ import annotations

import collections
import math
import threading
import time
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import kavrel

from .frequencies import cents as cents_between
from .frequencies import key_frequencies
from .pitch import E1_HZ, PitchTracker
from .results import magnitude_db

TUNER_SECONDS = 0.25  # the tuner takes the phase advance over this much audio
LEAD_DB = 3.0  # the tuned channel keeps the lead until another is louder by this much
LEAD_RATIO = 10.0 ** (-LEAD_DB / 20.0)
SILENCE_DB = -60.0  # a strongest channel below this level means nothing sounds
WITHIN_DB = 20.0  # a listed note lies within this many dB of the strongest one
LISTED_NOTES = 4  # notes of a reading by default
C8_HZ = 4186.009044809578  # the top piano key
TRACK_SECONDS = 2.0  # the pitch track of a reading covers this much audio


class Tuner:
    """Offset of a tone from the key it falls on, from that channel's phase.

    `add` takes one reading of the strongest channel's phase after each block;
    a reading of another channel starts the history afresh. Readings older
    than `window` seconds before the newest one are dropped.
    """

    def __init__(self, freqs: npt.NDArray[np.float32], window: float = TUNER_SECONDS) -> None:
        self.freqs = freqs
        self.window = window
        self.channel: int | None = None
        self.readings: collections.deque[tuple[float, float]] = collections.deque()
        self.last_phase = 0.0

    def add(self, channel: int, seconds: float, phase: float) -> None:
        if channel != self.channel:
            self.channel = channel
            self.readings.clear()
            unwrapped = phase
        else:
            step = math.remainder(phase - self.last_phase, 2.0 * math.pi)
            unwrapped = self.readings[-1][1] + step
        self.last_phase = phase
        self.readings.append((seconds, unwrapped))
        while seconds - self.readings[0][0] > self.window:
            self.readings.popleft()

    def frequency(self) -> float | None:
        """Input frequency in Hz, or None before the channel's readings span
        half the window (a line through a few readings taken just after a
        change of channel follows the ripple of the neighbours, not the tone)."""
        if len(self.readings) < 2 or self.readings[-1][0] - self.readings[0][0] < self.window / 2:
            return None
        # The slope of a least-squares line through the unwrapped phases: the
        # mean advance per second, in which the small ripple that the input's
        # mirror frequency leaves on the channel value largely cancels.
        seconds, phases = np.array(self.readings).T
        seconds = seconds - seconds.mean()
        advance = np.dot(seconds, phases - phases.mean()) / np.dot(seconds, seconds)
        return float(self.freqs[self.channel]) + float(advance) / (2.0 * math.pi)

    def cents(self) -> float | None:
        """Offset of the input from the channel's key in cents, or None."""
        freq = self.frequency()
        if freq is None or freq <= 0.0:
            return None
        return cents_between(freq, float(self.freqs[self.channel]))


class Reading(NamedTuple):
    """What the display shows: the state after the latest block."""

    seconds: float  # audio time at the end of the latest block
    levels: npt.NDArray[np.float64]  # dB per key, A0 to C8
    # Key index of the strongest channel (the tuned one while within LEAD_DB), None in silence.
    strongest: int | None
    cents: float | None  # the tuner's offset of the strongest channel
    notes: list[int]  # key indices of the strongest notes, loudest first
    load: float  # share of the latest block's duration that its analysis took
    overruns: int  # times the device reported input lost because the callback fell behind
    f0: float | None = None  # the pitch in Hz of the latest frame, None when unvoiced
    confidence: float = 0.0  # the pitch tracker's confidence in the latest frame
    # The pitch of every frame of the last TRACK_SECONDS (None where unvoiced), oldest first.
    track: tuple[float | None, ...] = ()


def pitch_tracker(sample_rate: float) -> PitchTracker | None:
    """A pitch tracker from E1 up to C8 (the top piano key), or as high as the rate allows,
    with channels up to 45 % of the rate; None when the rate allows no range (below about
    200 Hz)."""
    ceiling = 0.45 * sample_rate
    try:
        return PitchTracker(sample_rate, fmin=E1_HZ, fmax=min(C8_HZ, ceiling / 1.07), top=ceiling)
    except ValueError:
        return None


class LiveAnalyser:
    """The piano-key bank and the tuner, fed one block at a time.

    `feed` may run in the audio callback's thread while `reading` runs in the
    display's; a lock keeps the two consistent.
    """

    def __init__(self, sample_rate: float) -> None:
        self.sample_rate = float(sample_rate)
        self.freqs = key_frequencies()
        self.bank = kavrel.ResonatorBank(self.freqs, self.sample_rate)
        self.tuner = Tuner(self.freqs)
        self.samples = 0
        self.overruns = 0
        self._magnitudes = np.zeros(len(self.freqs), dtype=np.float32)
        self._load = 0.0
        self._lock = threading.Lock()
        self.pitch = pitch_tracker(self.sample_rate)
        frames = (
            1 if self.pitch is None else round(TRACK_SECONDS * self.sample_rate / self.pitch.hop)
        )
        self._track: collections.deque[float | None] = collections.deque(maxlen=frames)
        self._confidence = 0.0

    @property
    def seconds(self) -> float:
        return self.samples / self.sample_rate

    def feed(self, block: npt.NDArray[np.float32]) -> None:
        """Advance the bank by one block of mono float32 samples and read it."""
        start = time.perf_counter()
        self.bank.process_samples(block)
        magnitudes = self.bank.magnitudes()
        pitches: list[float | None] = []
        confidence = self._confidence
        if self.pitch is not None:
            with np.errstate(all="ignore"):  # samples beyond float32 read as NaN: unvoiced
                frames = self.pitch.feed(block)
            pitches = [float(f) if v else None for f, v in zip(frames.f0, frames.voiced)]
            if len(frames):
                confidence = float(frames.confidence[-1])
        busy = time.perf_counter() - start
        strongest = int(np.argmax(magnitudes))
        # Notes of about the same level (a chord) take turns at the top as
        # their neighbours' ripple comes and goes; the tuned channel keeps the
        # lead until another is clearly louder, so that its phase history runs on.
        tuned = self.tuner.channel
        if tuned is not None and magnitudes[tuned] >= magnitudes[strongest] * LEAD_RATIO:
            strongest = tuned
        phase = self.bank.phase(strongest)
        with self._lock:
            self.samples += len(block)
            self._magnitudes = magnitudes
            self._load = busy * self.sample_rate / max(len(block), 1)
            self.tuner.add(strongest, self.seconds, phase)
            self._track.extend(pitches)
            self._confidence = confidence

    def reading(self, max_notes: int = LISTED_NOTES) -> Reading:
        """The state after the latest block as a `Reading`: levels, the strongest key, the
        tuner's offset in cents and up to `max_notes` strongest notes (none in silence)."""
        with self._lock:
            levels = magnitude_db(self._magnitudes)
            cents = self.tuner.cents()
            top = self.tuner.channel  # the strongest channel, as the tuner follows it
            seconds, load, overruns = self.seconds, self._load, self.overruns
            track = tuple(self._track)
            confidence = self._confidence
        f0 = track[-1] if track else None
        loudest = float(levels.max())
        if top is None or loudest < SILENCE_DB:
            return Reading(seconds, levels, None, None, [], load, overruns, None, 0.0, track)
        # A note is a key louder than both neighbours, so that the skirts of a
        # strong note, which reach the keys next to it, do not count.
        padded = np.concatenate(([-np.inf], levels, [-np.inf]))
        peaks = np.flatnonzero(
            (levels > padded[:-2]) & (levels >= padded[2:]) & (levels >= loudest - WITHIN_DB)
        )
        notes = [int(k) for k in peaks[np.argsort(-levels[peaks], kind="stable")][:max_notes]]
        return Reading(seconds, levels, top, cents, notes, load, overruns, f0, confidence, track)
