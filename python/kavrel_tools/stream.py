"""Streaming analysis: blocks of any size in, frames at a fixed hop out.

`resonate(signal, hop)` consumes whole hops only. `StreamAnalyser` carries the samples of
an unfinished frame from one block to the next inside the bank itself: they are fed with
`process_samples`, and the frame is closed by a one-frame `resonate` over its last part. So
the frames of any block split are, bit for bit, those of one `resonate` over the whole
signal, and nothing but the bank's state is kept between blocks.

`settling_samples` and `settling_time` say how much signal a channel needs before its
reading means something: a bank's two smoothing stages respond to a tone switched on at a
channel's frequency like two cascaded first-order low-pass filters to a step.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

import numpy as np
import numpy.typing as npt

import kavrel

from .audio import Signal, as_signal, channels_of
from .frequencies import below_nyquist, key_frequencies
from .results import Spectrogram

Frames = npt.NDArray[np.complex64]
FloatArray = npt.NDArray[np.float64]


def _step_response(p: FloatArray, q: FloatArray, n: FloatArray) -> FloatArray:
    """Second-stage value after n + 1 samples of a unit step, for stage decays p = 1 - alpha
    and q = 1 - beta: 1 - (beta p**(n+2) - alpha q**(n+2)) / (p - q), or, for p = q, its
    limit 1 - p**(n+1) (p + (n + 2) alpha). Nearly equal decays take the limit's form with
    their mean, to avoid the cancellation of the difference."""
    alpha, beta = 1.0 - p, 1.0 - q
    close = np.abs(p - q) <= 1e-7
    m = np.where(close, (p + q) / 2, p)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        same = 1.0 - m ** (n + 1) * (m + (n + 2) * (1.0 - m))
        apart = 1.0 - (beta * p ** (n + 2) - alpha * q ** (n + 2)) / (p - q)
    response: FloatArray = np.where(close, same, apart)
    return response


def settling_samples(
    alphas: npt.ArrayLike, betas: npt.ArrayLike | None = None, fraction: float = 0.9
) -> npt.NDArray[np.float64]:
    """Samples after which a steady sine at a channel's frequency, switched on at the first
    sample, reads `fraction` of its final magnitude in that channel (per channel).

    `betas` default to the alphas, as in the bank. Computed in double precision from the
    closed form of the two stages' step response. A factor outside (0, 1] never settles:
    infinity.
    """
    if not 0.0 < fraction < 1.0:
        raise ValueError(f"fraction must lie between 0 and 1, not {fraction}")
    a = np.asarray(alphas, dtype=np.float64).ravel()
    b = a if betas is None else np.asarray(betas, dtype=np.float64).ravel()
    if a.shape != b.shape:
        raise ValueError("alphas and betas must have the same length")
    ok = (a > 0) & (a <= 1) & (b > 0) & (b <= 1)
    p, q = np.where(ok, 1.0 - a, 0.5), np.where(ok, 1.0 - b, 0.5)
    # Doubling, then bisection, over the sample index n (the response rises monotonically).
    high = np.zeros_like(p)
    while True:
        short = _step_response(p, q, high) < fraction
        if not short.any():
            break
        high = np.where(short, 2 * high + 1, high)
    low = np.full_like(p, -1.0)  # the response before any sample is 0
    while np.any(high - low > 1):
        mid = np.floor((low + high) / 2)
        reached = _step_response(p, q, mid) >= fraction
        high, low = np.where(reached, mid, high), np.where(reached, low, mid)
    return np.where(ok, high + 1, np.inf)


def settling_time(
    freqs: npt.ArrayLike,
    sample_rate: float,
    *,
    alphas: npt.ArrayLike | None = None,
    betas: npt.ArrayLike | None = None,
    fraction: float = 0.9,
) -> npt.NDArray[np.float64]:
    """Seconds each channel of a bank needs to settle (see `settling_samples`), with the
    bank's default factors (`kavrel.heuristic_alphas`) unless `alphas` are given."""
    if alphas is None:
        alphas = kavrel.heuristic_alphas(np.asarray(freqs, dtype=np.float32), sample_rate)
    # The factors the bank holds are float32: their values decide the response.
    a = np.asarray(alphas, dtype=np.float32)
    b = a if betas is None else np.asarray(betas, dtype=np.float32)
    return settling_samples(a, b, fraction) / float(sample_rate)


def advance(
    bank: kavrel.ResonatorBank, samples: Signal, hop: int, pending: int
) -> tuple[Frames, int]:
    """Run one block through `bank`, which already holds `pending` samples (fewer than
    `hop`) of an unfinished frame. Returns the frames the block completes and the samples
    of the frame it leaves unfinished. The carry-over: a frame that straddles blocks is
    finished with a one-frame `resonate` over its last part, and the samples after the
    last whole frame go into the bank with `process_samples`."""
    first: Frames | None = None
    if pending:
        needed = hop - pending
        if len(samples) < needed:
            bank.process_samples(samples)
            return np.empty((0, len(bank)), dtype=np.complex64), pending + len(samples)
        first = bank.resonate(samples[:needed], needed)
        samples = samples[needed:]
    frames = bank.resonate(samples, hop)
    rest = samples[len(frames) * hop :]
    if len(rest):
        bank.process_samples(rest)
    if first is not None:
        frames = np.concatenate([first, frames])
    return frames, len(rest)


def stream_frames(
    blocks: Iterable[Signal], bank: kavrel.ResonatorBank, hop: int
) -> Iterator[Frames]:
    """The frames of consecutive float32 blocks of one signal through `bank`, every `hop`
    samples: one (frames, bins) array per block (possibly with no rows), together bit for
    bit those of `bank.resonate(signal, hop)` over the whole signal. Samples after the last
    whole frame stay in the bank, outside the frames."""
    pending = 0
    for block in blocks:
        frames, pending = advance(bank, block, hop, pending)
        yield frames


class StreamAnalyser:
    """Frames every `hop` samples from a stream fed in blocks of any size.

    One bank per input channel (`channels`, default 1), all with the same frequencies and
    factors (the constructor's arguments, defaults as in `kavrel.ResonatorBank`). `feed`
    takes anything `as_signal` reads: 1-D samples for one channel, or a 2-D block with
    `channel_axis` for several. It returns the frames the block completes, as
    `resonate` lays them out: (frames, bins) complex64 for one channel,
    (channels, frames, bins) for several; there may be none.

    Whatever the block sizes, the frames are bit for bit those of one
    `ResonatorBank.resonate(signal, hop)` over the whole signal (per channel).
    """

    def __init__(
        self,
        freqs: npt.ArrayLike,
        sample_rate: float,
        hop: int,
        *,
        channels: int = 1,
        alphas: npt.ArrayLike | None = None,
        betas: npt.ArrayLike | None = None,
    ) -> None:
        if int(hop) != hop or hop < 1:
            raise ValueError(f"hop must be a whole number of samples, at least 1, not {hop}")
        if int(channels) != channels or channels < 1:
            raise ValueError(f"channels must be at least 1, not {channels}")
        self.freqs = np.ascontiguousarray(freqs, dtype=np.float32)
        if self.freqs.size == 0:  # a bank without channels cannot make frames
            raise ValueError("freqs must hold at least one frequency")
        self.sample_rate = float(sample_rate)
        self.hop = int(hop)
        self.channels = int(channels)

        def f32(values: npt.ArrayLike | None) -> Signal | None:
            return None if values is None else np.ascontiguousarray(values, dtype=np.float32)

        self._alphas, self._betas = f32(alphas), f32(betas)
        # Built up front, so that bad arguments fail here with the bank's own errors.
        self.banks = [
            kavrel.ResonatorBank(
                self.freqs, self.sample_rate, alphas=self._alphas, betas=self._betas
            )
            for _ in range(self.channels)
        ]
        self.samples = 0  # samples fed per channel
        self.pending = 0  # samples of the unfinished frame, already in the banks

    @property
    def frames(self) -> int:
        """Frames completed so far."""
        return (self.samples - self.pending) // self.hop

    def feed(self, block: npt.ArrayLike, *, channel_axis: int | None = None) -> Frames:
        """Advance by one block and return the frames it completes."""
        signal = channels_of(as_signal(block, channel_axis=channel_axis))
        if signal.shape[0] != self.channels:
            raise ValueError(
                f"the block has {signal.shape[0]} channel(s), the analyser {self.channels}"
            )
        parts = [self._feed_one(bank, row) for bank, row in zip(self.banks, signal)]
        length = signal.shape[1]
        self.samples += length
        self.pending = (self.pending + length) % self.hop
        return parts[0] if self.channels == 1 else np.stack(parts)

    def _feed_one(self, bank: kavrel.ResonatorBank, samples: Signal) -> Frames:
        frames, _ = advance(bank, samples, self.hop, self.pending)
        return frames

    def run(self, signal: npt.ArrayLike, *, channel_axis: int | None = None) -> Frames:
        """Feed a whole signal as one block: the frames of one `resonate` per channel."""
        return self.feed(signal, channel_axis=channel_axis)

    def settling_time(self, fraction: float = 0.9) -> npt.NDArray[np.float64]:
        """Seconds each bin needs to settle (`settling_time` of this analyser's banks)."""
        return settling_time(
            self.freqs, self.sample_rate, alphas=self._alphas, betas=self._betas, fraction=fraction
        )

    def reset(self) -> None:
        """Start a new stream: every bank back to its state at construction."""
        for bank in self.banks:
            bank.reset()
        self.samples = self.pending = 0


def default_hop(sample_rate: float) -> int:
    """Samples per frame by default: about 5 ms, at least one sample."""
    return max(1, round(0.005 * sample_rate))


def analyse(
    samples: npt.ArrayLike,
    sample_rate: float,
    freqs: npt.ArrayLike | None = None,
    *,
    hop: int | None = None,
    channel_axis: int | None = None,
    mix: bool = False,
    alphas: npt.ArrayLike | None = None,
    betas: npt.ArrayLike | None = None,
) -> Spectrogram:
    """A whole signal in one call: samples as `as_signal` reads them (float or integer PCM,
    1-D, or 2-D with `channel_axis`, mixed down with `mix`), a bank per channel, one frame
    every `hop` samples (default `default_hop`). `freqs` default to the piano keys below
    the Nyquist frequency. Returns a `Spectrogram` ((bins, frames) per channel)."""
    signal = as_signal(samples, channel_axis=channel_axis, mix=mix)
    if freqs is None:
        freqs = below_nyquist(key_frequencies(), sample_rate)
    hop = default_hop(sample_rate) if hop is None else hop
    channels = 1 if signal.ndim == 1 else signal.shape[0]
    analyser = StreamAnalyser(
        freqs, sample_rate, hop, channels=channels, alphas=alphas, betas=betas
    )
    frames = analyser.feed(signal, channel_axis=None if signal.ndim == 1 else 0)
    return Spectrogram.from_frames(frames, analyser.freqs, hop, sample_rate)
