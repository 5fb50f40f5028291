"""Audio in the form a bank takes: contiguous float32 samples.

`as_signal` turns what users have into that form, explicitly:

- floating-point samples (float16, float32, float64) keep their values, rounded once to
  float32 (float64 values beyond float32's range become infinities);
- integer PCM is scaled by its full scale, as sound-file libraries read it: int8 and int16,
  int32 samples are divided by 2**7, 2**15 and 2**31, so that full scale reads -1.0 to just
  below 1.0; uint8 (8-bit WAV) is centred first: (x - 128) / 128;
- a 2-D array holds several channels; `channel_axis` says where: 0 for (channels, samples),
  1 for (samples, channels), which is what soundfile returns. They are kept, as a
  C-contiguous (channels, samples) array, or mixed down to one with `mix=True`: the mean
  across channels, computed in float64 (so that no sum overflows) and rounded once;
- strided and reversed views are copied into contiguous memory; an array that already is
  contiguous float32 mono is returned as it is, without a copy.

`load` reads a sound file through soundfile and applies the same rules, with optional
resampling through soxr (the `resample` extra).
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import numpy.typing as npt

from .files import open_regular

Signal = npt.NDArray[np.float32]

# Integer PCM: the divisor that maps full scale to [-1, 1), and the offset of unsigned formats.
_FULL_SCALE = {
    np.dtype(np.int8): (0, 2.0**7),
    np.dtype(np.uint8): (128, 2.0**7),
    np.dtype(np.int16): (0, 2.0**15),
    np.dtype(np.int32): (0, 2.0**31),
}


def _scaled(samples: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The samples as floating-point values, integer PCM divided by its full scale."""
    kind = samples.dtype
    if kind in _FULL_SCALE:
        offset, scale = _FULL_SCALE[kind]
        return (samples.astype(np.float64) - offset) / scale
    if kind.kind == "f" and kind.itemsize <= 8:
        return samples
    raise TypeError(
        f"samples of dtype {kind} are not audio this toolkit reads: give float16, float32 "
        "or float64 values, or int8, uint8, int16 or int32 PCM"
    )


def as_signal(
    samples: npt.ArrayLike, *, channel_axis: int | None = None, mix: bool = False
) -> Signal:
    """Samples as the bank takes them: C-contiguous float32, scaled as the module says.

    One-dimensional input is one channel and gives a 1-D result. Two-dimensional input needs
    `channel_axis` (0: (channels, samples); 1 or -1: (samples, channels)) and gives a
    (channels, samples) array, or with `mix=True` the 1-D mean of the channels. A 1-D input
    with `channel_axis` is one channel all the same.
    """
    array = np.asarray(samples)
    if array.ndim not in (1, 2):
        raise ValueError(f"samples must be 1-D or 2-D, not {array.ndim}-D")
    values = _scaled(array)
    if values.ndim == 2:
        if channel_axis not in (0, 1, -1, -2):
            raise ValueError(
                "a 2-D signal needs channel_axis: 0 for (channels, samples), "
                "1 for (samples, channels)"
            )
        if channel_axis in (1, -1):
            values = values.T
        if mix:
            with np.errstate(over="ignore"):  # beyond float32: infinity, as a cast gives
                return np.ascontiguousarray(values.mean(axis=0, dtype=np.float64), np.float32)
    with np.errstate(over="ignore"):
        return np.ascontiguousarray(values, dtype=np.float32)


def channels_of(signal: Signal) -> Signal:
    """A signal from `as_signal` as a (channels, samples) array: 1-D becomes one row."""
    return signal.reshape(1, -1) if signal.ndim == 1 else signal


def load(
    path: Any,
    *,
    mix: bool = True,
    sample_rate: float | None = None,
    quality: str = "HQ",
) -> tuple[Signal, float]:
    """Read a sound file (a path, or an open file object) into (signal, sample_rate).

    A path must name a regular file (or a link to one): a folder, a FIFO or a device raises
    `kavrel_tools.files.NotRegularFile` before anything is read.

    The file is read through soundfile (any format libsndfile reads) as float64, which it
    scales by the full scale of the file's integer format. Several channels are mixed down
    to mono by default (a 1-D result); `mix=False` keeps them as a (channels, samples) array,
    also for a mono file. With
    `sample_rate`, a file at another rate is resampled to it by soxr (`quality` is soxr's:
    "QQ", "LQ", "MQ", "HQ" or "VHQ"), in float64, before the rounding to float32.
    """
    import soundfile

    if isinstance(path, (str, os.PathLike)):
        # Only a regular file: reading a FIFO or a device could wait for ever.
        with open_regular(path) as stream:
            data, rate = soundfile.read(stream, dtype="float64", always_2d=True)
    else:  # an open file object
        data, rate = soundfile.read(path, dtype="float64", always_2d=True)
    if sample_rate is not None and sample_rate != rate:
        try:
            import soxr
        except ImportError:
            raise ImportError(
                "resampling needs the soxr package: python -m pip install soxr"
            ) from None
        data = soxr.resample(data, rate, sample_rate, quality=quality)
        rate = sample_rate
    return as_signal(data, channel_axis=1, mix=mix), float(rate)
