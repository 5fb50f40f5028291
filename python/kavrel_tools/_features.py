"""What the feature modules (`pitch`, `chroma`, `onsets`) share: the bank's smoothing from
time constants, argument checks, frame streams and running medians.

Every feature works on frames of a `StreamAnalyser`, so that its streaming class and its
offline function see the same channel values bit for bit. The per-frame arithmetic is
written element by element along the channel axis (sums over harmonics or bins are sums
of whole columns in a fixed order, never NumPy reductions whose pairing depends on the
array's shape), so a frame gives the same result whether it comes alone or among many.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

import kavrel

from .audio import Signal, as_signal
from .stream import StreamAnalyser

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]


def positive(name: str, value: float) -> float:
    """`value` as a float, or ValueError naming `name` unless it is finite and above 0."""
    number = float(value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be a finite number above 0, not {value!r}")
    return number


def whole(name: str, value: int, least: int) -> int:
    """`value` as an int, or ValueError naming `name` unless it is a whole number >= least."""
    if isinstance(value, bool) or int(value) != value or value < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, not {value!r}")
    return int(value)


def time_constant_alphas(
    freqs: npt.NDArray[np.float32], sample_rate: float, periods: float, max_tau: float
) -> npt.NDArray[np.float32]:
    """Smoothing factors for a time constant of `periods` periods of each channel's own
    frequency, at most `max_tau` seconds: long enough to resolve neighbouring harmonics,
    short enough to follow notes. The factor is `kavrel.alpha_from_tau` of that time."""
    taus = np.minimum(periods / freqs.astype(np.float64), max_tau)
    return np.array([kavrel.alpha_from_tau(float(t), sample_rate) for t in taus], np.float32)


def settle_samples(max_tau: float, sample_rate: float, fraction: float = 0.5) -> int:
    """Samples after which a channel of time constant `max_tau` (both stages), the slowest
    of a feature's bank, reads `fraction` of a tone switched on at its frequency."""
    from .stream import settling_samples

    alpha = kavrel.alpha_from_tau(max_tau, sample_rate)
    return int(settling_samples([alpha], None, fraction)[0])


class FrameStream:
    """Magnitudes (float64, (frames, bins)) every `hop` samples from blocks of any size:
    a `StreamAnalyser` with the frame count kept."""

    def __init__(
        self,
        freqs: npt.NDArray[np.float32],
        sample_rate: float,
        hop: int,
        alphas: npt.NDArray[np.float32],
    ) -> None:
        self.analyser = StreamAnalyser(freqs, sample_rate, hop, alphas=alphas)

    def feed(self, block: npt.ArrayLike) -> tuple[int, FloatArray]:
        """The index of the first frame the block completes and their magnitudes."""
        if np.ndim(block) != 1:
            raise ValueError("feed takes one channel: a 1-D block of samples")
        signal: Signal = as_signal(block)
        first = self.analyser.frames
        frames = self.analyser.feed(signal)
        return first, np.abs(frames.astype(np.complex128))

    def reset(self) -> None:
        self.analyser.reset()


def running_median(values: FloatArray, history: FloatArray, width: int) -> FloatArray:
    """The median of every value with the `width - 1` before it, `history` holding the
    values before the first (NaN where the stream had none); NaNs are left out of each
    median (all NaN gives NaN). Causal: a value depends on the past only."""
    if width == 1 or len(values) == 0:
        unchanged: FloatArray = values.copy()
        return unchanged
    padded = np.concatenate([history[-(width - 1) :], values])
    windows = np.lib.stride_tricks.sliding_window_view(padded, width)
    return nan_median_rows(np.asarray(windows, dtype=np.float64))


def centred_median(values: FloatArray, width: int) -> FloatArray:
    """The median of every value with `width // 2` values either side (fewer at the ends),
    NaNs left out as in `running_median`."""
    if width == 1 or len(values) == 0:
        unchanged: FloatArray = values.copy()
        return unchanged
    half = width // 2
    pad = np.full(half, np.nan)
    padded = np.concatenate([pad, values, pad])
    windows = np.lib.stride_tricks.sliding_window_view(padded, 2 * half + 1)
    return nan_median_rows(np.asarray(windows, dtype=np.float64))


def nan_median_rows(windows: FloatArray) -> FloatArray:
    """The median of each row without its NaNs; NaN for a row of NaNs only."""
    ordered = np.sort(windows, axis=1)  # NaNs sort last
    count = np.sum(~np.isnan(ordered), axis=1)
    rows = np.arange(len(ordered))
    low = np.maximum((count - 1) // 2, 0)
    high = np.maximum(count // 2, 0)
    width = ordered.shape[1]
    median = (ordered[rows, low] + ordered[rows, np.minimum(high, width - 1)]) / 2
    return np.where(count > 0, median, np.nan)
