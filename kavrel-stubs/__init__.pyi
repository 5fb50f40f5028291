"""Spectral analysis of audio with a bank of complex resonators.

Each channel of a :class:`ResonatorBank` is tuned to one frequency. Every
incoming sample is multiplied by the channel's turning phasor and smoothed by
two cascaded exponential moving averages, so a reading (power, magnitude,
phase or the complex value) can be taken after any sample, with no window and
no block transform.

All channel arithmetic is single precision with a fixed order of operations:
given the same C library (``cosf``, ``sinf``, ``expf``, ``log10f``), results
are the same bit for bit on every run and every machine.

Arrays are taken as they are: every array argument must be a one-dimensional
``numpy.float32`` array, C- or Fortran-contiguous (any length); nothing is
converted on the way in. An array is read as it was when it passed its checks:
in place, or, when a later argument of the call is not a plain ``int`` or
``float`` (nor a NumPy integer, ``float32`` or ``float64`` scalar) and so may
run code of the caller's (``__index__``, ``__float__``) while it converts,
from a copy of its checked elements taken first. Results are new arrays owned
by the caller.

Errors common to every call:

- ``TypeError``: wrong number of arguments, an unknown or repeated keyword,
  or an argument of the wrong type (a list or a ``float64`` array where a
  ``float32`` array is wanted, a ``float`` where an index is wanted). On
  Python 3.11 and newer a note "while processing '<name>'" names the argument.
- ``OverflowError``: a negative index or hop, or one of 2**64 or more (with
  the same note).
- ``TypeError`` "The given array is not contiguous or is misaligned.": a
  strided or reversed view with two or more elements.
- ``RuntimeError`` "Already borrowed" / "Already mutably borrowed": the bank
  is busy in another thread (it never waits).
- ``MemoryError``: a result or a bank too large for the memory available.
- ``PanicException`` (an internal failure, such as a channel index out of
  range or a hop of 0): it derives from ``BaseException``, not ``Exception``,
  so ``except Exception`` does not catch it, and it writes a report to
  standard error. It is not an attribute of the module; catch it by name
  (``type(e).__name__ == "PanicException"``) if you must.

Numbers are never validated: zero, negative, infinite and NaN parameters and
samples flow through the arithmetic and show in the results. A parameter typed
``SupportsFloat | SupportsIndex`` (the stubs' alias ``_Real``) takes any real
number: ``float``, ``int``, ``bool``, NumPy scalars, anything with
``__float__`` or ``__index__``; it is read as a double and rounded once to
single precision.
"""

import builtins
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import NDArray
from typing_extensions import TypeAlias

__all__ = [
    "ResonatorBank",
    "alpha_from_tau",
    "heuristic_alpha",
    "heuristic_alphas",
    "midi_to_hz",
    "tau_from_alpha",
]

# A real number: float, int, bool, NumPy scalars, anything with __float__ or
# __index__. It is read as a double and rounded once to single precision.
_Real: TypeAlias = SupportsFloat | SupportsIndex

@final
class ResonatorBank:
    """A bank of complex resonator channels, one per frequency.

    A channel settles to magnitude A/2 for a steady sine of amplitude A at its
    frequency. The bank holds running state: ``process_sample``,
    ``process_samples`` and ``resonate`` advance it, the readouts report it,
    ``reset`` puts it back to the state after construction.

    Example:
        >>> import numpy as np
        >>> import kavrel
        >>> bank = kavrel.ResonatorBank(np.array([220.0, 440.0, 880.0], np.float32), 44100.0)
        >>> len(bank)
        3
        >>> bank.frequencies()
        array([220., 440., 880.], dtype=float32)

    See Also:
        - :meth:`ResonatorBank.__new__ <kavrel.ResonatorBank.__new__>`: the
          parameters of a bank.
        - :func:`~kavrel.heuristic_alphas`: the default smoothing factors.
    """

    def __new__(
        cls,
        freqs: NDArray[np.float32],
        sample_rate: _Real,
        *,
        alphas: NDArray[np.float32] | None = None,
        betas: NDArray[np.float32] | None = None,
    ) -> ResonatorBank:
        """Make a bank with one channel per frequency, in its initial state.

        ``ResonatorBank(freqs, sample_rate, *, alphas=None, betas=None)``

        Args:
            freqs: channel frequencies in Hz, a one-dimensional ``float32`` array
                (it may be empty). The values are copied; changing the array
                later does not change the bank.
            sample_rate: samples per second of the signal the bank will be fed.
            alphas: per-channel smoothing factor of the first moving average
                (0 < alpha <= 1; smaller is smoother and slower), a ``float32``
                array as long as ``freqs``. ``None`` (the default) gives each
                channel ``heuristic_alpha(freq, sample_rate)``.
            betas: per-channel smoothing factor of the second moving average, as
                long as ``freqs``. ``None`` (the default) uses the alphas.

        Raises:
            TypeError: an array argument that is not a one-dimensional
                ``float32`` array, or one that is not contiguous; ``alphas`` or
                ``betas`` given by position; a ``sample_rate`` that is not a
                number.
            ValueError: "freqs, alphas, and betas must have the same length".

        Example:
            Default smoothing, then a time constant of 10 ms for every channel:

            >>> import numpy as np
            >>> import kavrel
            >>> freqs = np.array([220.0, 440.0, 880.0], dtype=np.float32)
            >>> bank = kavrel.ResonatorBank(freqs, 44100.0)
            >>> slow = np.full(3, kavrel.alpha_from_tau(0.01, 44100.0), dtype=np.float32)
            >>> bank = kavrel.ResonatorBank(freqs, 44100.0, alphas=slow)
            >>> kavrel.ResonatorBank(freqs, 44100.0, alphas=slow[:2])
            Traceback (most recent call last):
                ...
            ValueError: freqs, alphas, and betas must have the same length

        See Also:
            - :func:`~kavrel.alpha_from_tau`: a smoothing factor from a time constant.
            - :func:`~kavrel.heuristic_alphas`: the smoothing factors used when
              ``alphas`` is ``None``.
            - :func:`~kavrel.midi_to_hz`: frequencies of musical notes.
        """
    def __len__(self) -> int:
        """The number of channels (the length of ``freqs``).

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> bank = kavrel.ResonatorBank(np.array([110.0, 220.0, 440.0], np.float32), 8000.0)
            >>> len(bank)
            3

        See Also:
            - :meth:`~kavrel.ResonatorBank.frequencies`: the frequencies themselves.
        """
    def process_sample(self, sample: _Real) -> None:
        """Advance every channel by one sample.

        Args:
            sample: the next sample of the signal, a real number (rounded to
                ``float32``).

        Raises:
            TypeError: ``sample`` is not a real number.
            RuntimeError: the bank is busy in another thread.

        Example:
            Feeding samples one at a time gives the same state as feeding them as a block:

            >>> import numpy as np
            >>> import kavrel
            >>> freqs = np.array([1000.0], np.float32)
            >>> one = kavrel.ResonatorBank(freqs, 8000.0)
            >>> block = kavrel.ResonatorBank(freqs, 8000.0)
            >>> for x in (1.0, 0.5, -0.25):
            ...     one.process_sample(x)
            >>> block.process_samples(np.array([1.0, 0.5, -0.25], np.float32))
            >>> one.complex(0) == block.complex(0)
            True

        See Also:
            - :meth:`~kavrel.ResonatorBank.process_samples`: a block of samples at once.
            - :meth:`~kavrel.ResonatorBank.resonate`: a block, with a frame of readings every hop.
        """
    def process_samples(self, samples: NDArray[np.float32]) -> None:
        """Advance every channel by a block of samples, in order.

        Blocks may have any length, the empty block included: feeding a
        signal in blocks of any sizes gives exactly the same state, bit for
        bit, as feeding it in one block or sample by sample. The interpreter
        lock is released while the block is processed, so banks in other
        threads run in parallel.

        Args:
            samples: the next samples of the signal, a one-dimensional
                contiguous ``float32`` array.

        Raises:
            TypeError: ``samples`` is not a one-dimensional ``float32`` array,
                or is a non-contiguous view.
            RuntimeError: the bank is busy in another thread.

        Example:
            A signal fed in two blocks reads the same, bit for bit, as in one:

            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> whole = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> whole.process_samples(tone[:4999])
            >>> whole.process_samples(tone[4999:])
            >>> np.array_equal(bank.powers(), whole.powers())
            True
            >>> np.round(bank.magnitudes(), 2)  # A/2 in the channel at the tone's frequency
            array([0. , 0.5], dtype=float32)

        See Also:
            - :meth:`~kavrel.ResonatorBank.process_sample`: one sample.
            - :meth:`~kavrel.ResonatorBank.resonate`: a block, with a frame of readings every hop.
            - :meth:`~kavrel.ResonatorBank.reset`: start the stream over.
        """
    def resonate(self, signal: NDArray[np.float32], hop: SupportsIndex) -> NDArray[np.complex64]:
        """Analyse a signal and return one frame of channel values every ``hop`` samples.

        Row k of the result holds the complex value of every channel after
        sample ``(k + 1) * hop - 1`` of ``signal``, exactly as ``complex(i)``
        would read it after ``process_samples`` of the first ``(k + 1) * hop``
        samples. The analysis starts from the bank's current state and leaves
        the bank advanced, so a later call continues the same stream.

        Only whole hops are consumed: the result has ``len(signal) // hop``
        rows, and the trailing ``len(signal) % hop`` samples are neither
        processed nor kept. To analyse a stream block by block, carry them
        into the next call (see :doc:`/guide/streaming`).

        The interpreter lock is released while the signal is analysed.

        Args:
            signal: the samples, a one-dimensional contiguous ``float32`` array.
            hop: samples per frame, an integer of at least 1.

        Returns:
            A new C-contiguous ``complex64`` array of shape
            ``(len(signal) // hop, len(self))``; ``abs(frames) ** 2`` is the
            power of each channel, ``np.angle(frames)`` its phase. A bank of
            no channels gives an empty array of shape ``(len(signal) // hop, 0)``.

        Raises:
            TypeError: ``signal`` is not a one-dimensional ``float32`` array
                or is a non-contiguous view; ``hop`` is not an integer.
            OverflowError: ``hop`` is negative.
            RuntimeError: the bank is busy in another thread.
            MemoryError: the result does not fit in memory.
            PanicException: ``hop`` is 0 ("attempt to divide by zero"), with
                or without channels; the bank is left unchanged.


        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate, hop = 8000.0, 256
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 1000)  # 2000 Hz, 4000 samples
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> frames = bank.resonate(tone, hop)
            >>> frames.shape, frames.dtype  # 4000 // 256 frames; 160 samples left over
            ((15, 2), dtype('complex64'))
            >>> np.round(np.abs(frames[-1]), 2)  # magnitudes in the last frame
            array([0. , 0.5], dtype=float32)
            >>> bool(bank.complex(1) == frames[-1, 1])  # the bank stops after the last whole hop
            True

        See Also:
            - :meth:`~kavrel.ResonatorBank.process_samples`: advance without frames.
            - :meth:`~kavrel.ResonatorBank.complex`: one channel's value, read from the bank.
        """
    def reset(self) -> None:
        """Put the running state back to the state after construction.

        Phasors, both smoothing stages and the sample count start over; the
        frequencies and smoothing factors stay. After ``reset`` the same input
        gives the same readouts, bit for bit, as a new bank.

        Raises:
            RuntimeError: the bank is busy in another thread.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> bank.reset()
            >>> bank.powers()
            array([0., 0.], dtype=float32)

        See Also:
            - :meth:`~kavrel.ResonatorBank.__new__`: a new bank, in the same state as one reset.
        """
    def freq(self, i: SupportsIndex) -> float:
        """The frequency of channel ``i`` in Hz, as stored (a ``float32`` value).

        Raises:
            TypeError: ``i`` is not an integer.
            OverflowError: ``i`` is negative.
            PanicException: ``i >= len(self)`` ("index out of bounds: the len
                is N but the index is I").

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> bank = kavrel.ResonatorBank(np.array([440.0, 1000.1], np.float32), 44100.0)
            >>> bank.freq(1)  # 1000.1 rounded to float32
            1000.0999755859375

        See Also:
            - :meth:`~kavrel.ResonatorBank.frequencies`: every channel's frequency.
        """
    def phase(self, i: SupportsIndex) -> float:
        """The phase of channel ``i`` in radians, between -pi and pi.

        It is the angle of ``complex(i)``, computed in single precision.

        Raises:
            TypeError: ``i`` is not an integer.
            OverflowError: ``i`` is negative.
            PanicException: ``i >= len(self)``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> round(bank.phase(1), 2)  # a cosine at the channel's frequency reads 0 rad
            -0.0
            >>> sine = kavrel.ResonatorBank(np.array([2000.0], np.float32), rate)
            >>> sine.process_samples(np.tile(np.array([0, 1, 0, -1], np.float32), 2000))
            >>> round(sine.phase(0), 2)  # a sine lags the cosine by a quarter turn
            -1.57

        See Also:
            - :meth:`~kavrel.ResonatorBank.phases`: every channel's phase.
            - :meth:`~kavrel.ResonatorBank.complex`: the value whose angle this is.
        """
    def power(self, i: SupportsIndex) -> float:
        """The power of channel ``i``: re * re + im * im of its complex value.

        A steady sine of amplitude A at the channel's frequency settles to
        power A**2 / 4; ``10 * log10(4 * power)`` is its level in dB relative
        to a full-scale sine.

        Raises:
            TypeError: ``i`` is not an integer.
            OverflowError: ``i`` is negative.
            PanicException: ``i >= len(self)``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> round(bank.power(1), 2)  # a tone of amplitude 1: power 1/4
            0.25
            >>> import math
            >>> round(10 * math.log10(4 * bank.power(1)), 2)  # dB relative to full scale
            -0.01

        See Also:
            - :meth:`~kavrel.ResonatorBank.powers`: every channel's power.
            - :meth:`~kavrel.ResonatorBank.magnitude`: its square root.
        """
    def magnitude(self, i: SupportsIndex) -> float:
        """The magnitude of channel ``i``: the single-precision square root of ``power(i)``.

        A steady sine of amplitude A at the channel's frequency settles to A / 2.

        Raises:
            TypeError: ``i`` is not an integer.
            OverflowError: ``i`` is negative.
            PanicException: ``i >= len(self)``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> round(bank.magnitude(1), 2)  # a tone of amplitude 1: magnitude 1/2
            0.5

        See Also:
            - :meth:`~kavrel.ResonatorBank.magnitudes`: every channel's magnitude.
            - :meth:`~kavrel.ResonatorBank.power`: its square.
        """
    def complex(self, i: SupportsIndex) -> builtins.complex:
        """The complex value of channel ``i`` (the output of its second moving average).

        Raises:
            TypeError: ``i`` is not an integer.
            OverflowError: ``i`` is negative.
            PanicException: ``i >= len(self)``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> z = bank.complex(1)
            >>> type(z), round(abs(z), 2)
            (<class 'complex'>, 0.5)

        See Also:
            - :meth:`~kavrel.ResonatorBank.resonate`: these values, a frame every hop.
            - :meth:`~kavrel.ResonatorBank.magnitude`: its modulus.
            - :meth:`~kavrel.ResonatorBank.phase`: its angle.
        """
    def frequencies(self) -> NDArray[np.float32]:
        """The channel frequencies in Hz: a new ``float32`` array of shape ``(len(self),)``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> bank = kavrel.ResonatorBank(np.array([440.0, 1000.1], np.float32), 44100.0)
            >>> bank.frequencies()
            array([ 440. , 1000.1], dtype=float32)

        See Also:
            - :meth:`~kavrel.ResonatorBank.freq`: one channel's frequency.
        """
    def magnitudes(self) -> NDArray[np.float32]:
        """``magnitude(i)`` of every channel: a new ``float32`` array of shape ``(len(self),)``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> np.round(bank.magnitudes(), 4)  # about A/2 at the tone's frequency
            array([0.0017, 0.4993], dtype=float32)

        See Also:
            - :meth:`~kavrel.ResonatorBank.magnitude`: one channel's magnitude.
        """
    def phases(self) -> NDArray[np.float32]:
        """``phase(i)`` of every channel in radians, a new array of shape ``(len(self),)``.

        The array is ``float32``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> np.round(bank.phases(), 2)  # a cosine reads 0 rad in its own channel
            array([-3.06, -0.  ], dtype=float32)

        See Also:
            - :meth:`~kavrel.ResonatorBank.phase`: one channel's phase.
        """
    def powers(self) -> NDArray[np.float32]:
        """``power(i)`` of every channel: a new ``float32`` array of shape ``(len(self),)``.

        Example:
            >>> import numpy as np
            >>> import kavrel
            >>> rate = 8000.0
            >>> tone = np.tile(np.array([1, 0, -1, 0], np.float32), 2000)  # 2000 Hz, amplitude 1
            >>> bank = kavrel.ResonatorBank(np.array([1000.0, 2000.0], np.float32), rate)
            >>> bank.process_samples(tone)
            >>> np.round(bank.powers(), 4)  # about A**2 / 4 at the tone's frequency
            array([0.    , 0.2493], dtype=float32)

        See Also:
            - :meth:`~kavrel.ResonatorBank.power`: one channel's power.
        """

def midi_to_hz(midi: _Real, tuning: _Real) -> float:
    """The frequency in Hz of MIDI note ``midi`` in equal temperament.

    ``tuning * 2 ** ((midi - 69) / 12)`` in single precision: note 69 (A4)
    sounds at ``tuning`` Hz, 60 is middle C, 21 and 108 are the lowest and
    highest piano keys. Fractional notes are allowed.

    Raises:
        TypeError: an argument is not a real number.


    Example:
        >>> import kavrel
        >>> kavrel.midi_to_hz(69, 440.0)  # A4
        440.0
        >>> kavrel.midi_to_hz(81, 440.0)  # A5, an octave higher
        880.0
        >>> kavrel.midi_to_hz(60, 440.0)  # middle C, in single precision
        261.62554931640625

    See Also:
        - :class:`~kavrel.ResonatorBank`: a bank tuned to these frequencies.
    """

def alpha_from_tau(tau: _Real, sample_rate: _Real) -> float:
    """The smoothing factor of a moving average with time constant ``tau`` seconds.

    ``1 - exp(-1 / (tau * sample_rate))`` in single precision: the factor at
    which a channel's response to a step reaches 1 - 1/e of its final value
    after ``tau`` seconds. Longer time constants give smoother, slower
    channels with a narrower band. ``tau`` 0 gives 1.0 (no smoothing).

    Raises:
        TypeError: an argument is not a real number.


    Example:
        >>> import kavrel
        >>> kavrel.alpha_from_tau(0.01, 44100.0)  # about 1 / 441
        0.0022649765014648438
        >>> kavrel.alpha_from_tau(0.0, 44100.0)  # no smoothing
        1.0

    See Also:
        - :func:`~kavrel.tau_from_alpha`: the inverse.
        - :func:`~kavrel.heuristic_alpha`: the default factor of a channel.
    """

def tau_from_alpha(alpha: _Real, sample_rate: _Real) -> float:
    """The time constant in seconds of a moving average with smoothing factor ``alpha``.

    ``-1 / (sample_rate * log(1 - alpha))`` in single precision, the inverse
    of :func:`alpha_from_tau` (not exact for small factors, by up to a few
    tenths of a percent).

    Raises:
        TypeError: an argument is not a real number.

    Example:
        >>> import kavrel
        >>> kavrel.tau_from_alpha(kavrel.alpha_from_tau(0.01, 44100.0), 44100.0)
        0.010000123642385006
        >>> kavrel.tau_from_alpha(kavrel.heuristic_alpha(440.0, 44100.0), 44100.0)  # 6.0 ms
        0.006010113283991814

    See Also:
        - :func:`~kavrel.alpha_from_tau`: the inverse.
    """

def heuristic_alpha(freq: _Real, sample_rate: _Real) -> float:
    """The default smoothing factor of a channel at ``freq`` Hz.

    ``1 - exp(-freq / (sample_rate * log10(freq + 1)))`` in single precision:
    a time constant of ``log10(freq + 1)`` periods of the channel's own
    frequency (2.64 periods, 6.0 ms, at 440 Hz), so that low channels
    average longer than high ones. A frequency of 0 gives NaN.

    Raises:
        TypeError: an argument is not a real number.

    Example:
        >>> import kavrel
        >>> kavrel.heuristic_alpha(440.0, 44100.0)
        0.0037658214569091797

    See Also:
        - :func:`~kavrel.heuristic_alphas`: the same for an array of frequencies.
        - :func:`~kavrel.tau_from_alpha`: the time constant of a factor.
    """

def heuristic_alphas(freqs: NDArray[np.float32], sample_rate: _Real) -> NDArray[np.float32]:
    """``heuristic_alpha`` of every element of ``freqs``, bit for bit.

    These are the alphas a ``ResonatorBank`` uses when none are given.

    Args:
        freqs: frequencies in Hz, a one-dimensional contiguous ``float32`` array.
        sample_rate: samples per second.

    Returns:
        A new ``float32`` array of the same shape as ``freqs``.

    Raises:
        TypeError: ``freqs`` is not a one-dimensional ``float32`` array or is
            a non-contiguous view; ``sample_rate`` is not a real number.

    Example:
        >>> import numpy as np
        >>> import kavrel
        >>> freqs = np.array([110.0, 440.0, 1760.0], np.float32)
        >>> alphas = kavrel.heuristic_alphas(freqs, 44100.0)
        >>> bool(alphas[1] == kavrel.heuristic_alpha(440.0, 44100.0))
        True

    See Also:
        - :func:`~kavrel.heuristic_alpha`: one frequency.
        - :meth:`~kavrel.ResonatorBank.__new__`: where these are the default.
    """
