"""Reference model of the resonator bank, independent of kavrel.

Every per-channel quantity is a NumPy float32 array, and every operation is a
single correctly rounded float32 operation, in the same order and grouping as
the bank's recurrence. The four smoothing updates use an exact fused
multiply-add (`fma` below); the transcendental functions come from the C
library through `libm`. The model runs one sample at a time but all channels
at once, so it is meant for modest sizes (hundreds of channels, a few thousand
samples).

The second half of the file holds small helpers for the tests: random
parameters and signals, and readers that turn a kavrel bank's readouts back
into float32 arrays, so that tests compare bit patterns rather than values.
"""

import numpy as np

import libm

f32 = np.float32
f64 = np.float64
ONE = f32(1.0)
NEG_TWO_PI = f32(-6.2831855)  # bit pattern 0xC0C90FDB
RENORM_PERIOD = 256

_cosf = libm.vectorize(libm.cosf)
_sinf = libm.vectorize(libm.sinf)
_expf = libm.vectorize(libm.expf)
_log10f = libm.vectorize(libm.log10f)
_atan2f = libm.vectorize(libm.atan2f)


def fma(a, b, c):
    """Correctly rounded float32 fused multiply-add a*b + c, element-wise.

    The product of two float32 values fits a float64 exactly (48 significant
    bits, exponent well inside the float64 range, subnormals included). The
    float64 sum p + c is then made round-to-odd: TwoSum gives its exact
    rounding error e, and when e is non-zero and the sum's last significand bit
    is even, the sum is moved one ulp towards the exact value. A round-to-odd
    value with 53 bits rounds to any precision of 24 bits or less exactly as
    the exact sum would, so the final float64 -> float32 conversion gives the
    correctly rounded fma. Infinities and NaNs pass through the float64
    arithmetic with IEEE semantics (e is NaN then and no adjustment is made).
    """
    a, b, c = np.broadcast_arrays(
        np.asarray(a, dtype=f32), np.asarray(b, dtype=f32), np.asarray(c, dtype=f32)
    )
    shape = a.shape
    with np.errstate(all="ignore"):
        p = a.astype(f64).ravel() * b.astype(f64).ravel()
        cd = c.astype(f64).ravel()
        s = p + cd
        bv = s - p
        e = (p - (s - bv)) + (cd - bv)
        sb = s.view(np.int64).copy()
        fix = ((e > 0) | (e < 0)) & ((sb & 1) == 0)
        # Stepping the bit pattern by +1 moves away from zero, by -1 towards it.
        away = (e > 0) == (s > 0)
        sb += np.where(fix, np.where(away, 1, -1), 0)
        out = sb.view(f64).astype(f32).reshape(shape)
    return out if shape else out[()]


def heuristic_alphas(freqs, sample_rate):
    """Default first-stage factors, one per frequency, in float32 steps."""
    freqs = np.asarray(freqs, dtype=f32)
    s = f32(sample_rate)
    with np.errstate(all="ignore"):
        k = f32(-1.0) / s
        p = k * freqs
        d = _log10f(freqs + ONE)
        q = p / d
        return (ONE - _expf(q)).astype(f32)


def narrow(x):
    """A Python number narrowed to float32 with round-to-nearest-even."""
    with np.errstate(all="ignore"):
        return f32(float(x))


class BankModel:
    """The bank's state and recurrence, vectorised over channels.

    `renorm_period` exists only so that tests can show that a misplaced or
    missing renormalisation would be noticed; None disables it.
    """

    def __init__(self, freqs, sample_rate, alphas=None, betas=None, renorm_period=RENORM_PERIOD):
        self.freqs = np.array(freqs, dtype=f32, copy=True).reshape(-1)
        self.sample_rate = narrow(sample_rate)
        if alphas is None:
            self.alphas = heuristic_alphas(self.freqs, self.sample_rate)
        else:
            self.alphas = np.array(alphas, dtype=f32, copy=True).reshape(-1)
        if betas is None:
            self.betas = self.alphas.copy()
        else:
            self.betas = np.array(betas, dtype=f32, copy=True).reshape(-1)
        n = self.freqs.size
        if self.alphas.size != n or self.betas.size != n:
            raise ValueError("freqs, alphas, and betas must have the same length")
        with np.errstate(all="ignore"):
            w = (self.freqs * NEG_TWO_PI) / self.sample_rate
        self.w = w.astype(f32)
        self.rot_re = _cosf(self.w)
        self.rot_im = _sinf(self.w)
        self.renorm_period = renorm_period
        # 1 - alpha and 1 - beta depend only on the stored factors; forming
        # them once gives the same bits as forming them at every step.
        with np.errstate(all="ignore"):
            self._ka = (ONE - self.alphas).astype(f32)
            self._kb = (ONE - self.betas).astype(f32)
        self.reset()

    @property
    def n(self):
        return self.freqs.size

    def reset(self):
        n = self.n
        # Row 0 holds the real parts, row 1 the imaginary parts.
        self.phasor = np.zeros((2, n), dtype=f32)
        self.phasor[0] = ONE
        self.stage1 = np.zeros((2, n), dtype=f32)
        self.stage2 = np.zeros((2, n), dtype=f32)
        self.sample_count = 0

    # -- recurrence -------------------------------------------------------

    def _channel_step(self, x):
        with np.errstate(all="ignore"):
            xa = x * self.alphas
            self.stage1 = fma(self._ka, self.stage1, xa * self.phasor)
            self.stage2 = fma(self._kb, self.stage2, self.betas * self.stage1)
            pr, pm = self.phasor
            new_re = pr * self.rot_re - pm * self.rot_im
            new_im = pr * self.rot_im + pm * self.rot_re
            self.phasor = np.stack((new_re, new_im)).astype(f32)

    def renormalize(self):
        with np.errstate(all="ignore"):
            pr, pm = self.phasor
            q = pr * pr + pm * pm
            m = np.sqrt(q)
            g = ONE / m
            self.phasor = np.stack((pr * g, pm * g)).astype(f32)

    def process_sample(self, x):
        x = narrow(x) if not isinstance(x, np.float32) else x
        if self.n:
            self._channel_step(x)
        self.sample_count = (self.sample_count + 1) % 2**64
        if self.n and self.renorm_period and self.sample_count % self.renorm_period == 0:
            self.renormalize()

    def process_samples(self, xs):
        xs = np.asarray(xs, dtype=f32)
        if not self.n:
            self.sample_count = (self.sample_count + xs.size) % 2**64
            return
        for x in xs:
            self.process_sample(x)

    def resonate(self, signal, hop):
        signal = np.asarray(signal, dtype=f32)
        frames = signal.size // hop
        out = np.empty((frames, self.n), dtype=np.complex64)
        for k in range(frames):
            self.process_samples(signal[k * hop : (k + 1) * hop])
            out[k] = self.complex_values()
        return out

    # -- readouts ---------------------------------------------------------

    def complex_parts(self):
        return self.stage2[0].copy(), self.stage2[1].copy()

    def complex_values(self):
        out = np.empty(self.n, dtype=np.complex64)
        out.real, out.imag = self.stage2
        return out

    def powers(self):
        re, im = self.stage2
        with np.errstate(all="ignore"):
            return (re * re + im * im).astype(f32)

    def magnitudes(self):
        with np.errstate(all="ignore"):
            return np.sqrt(self.powers()).astype(f32)

    def phases(self):
        re, im = self.stage2
        return _atan2f(im, re)

    def frequencies(self):
        return self.freqs.copy()

    def readouts(self):
        """Everything a bank reports, in the form of `bank_readouts`."""
        re, im = self.complex_parts()
        ph = self.phases()
        pw = self.powers()
        mg = self.magnitudes()
        fr = self.frequencies()
        return {
            "re": re,
            "im": im,
            "power": pw,
            "magnitude": mg,
            "phase": ph,
            "freq": fr,
            "powers": pw,
            "magnitudes": mg,
            "phases": ph,
            "frequencies": fr,
        }


# -- test helpers -----------------------------------------------------------


def random_params(rng, n, sr=48000.0, alpha_range=(1e-3, 1.0)):
    """Frequencies below Nyquist and log-uniform smoothing factors."""
    freqs = rng.uniform(20.0, sr / 2, n).astype(f32)
    lo, hi = np.log(alpha_range[0]), np.log(alpha_range[1])
    alphas = np.exp(rng.uniform(lo, hi, n)).astype(f32)
    betas = np.exp(rng.uniform(lo, hi, n)).astype(f32)
    return freqs, alphas, betas


def noise(rng, n, scale=0.5):
    return (rng.standard_normal(n) * scale).astype(f32)


def make_twins(bank_class, seed=0, n=9, history=300):
    """Two identical banks with the same history (sample count 300 by
    default, so a continuation of 300 samples crosses a renormalisation)."""
    rng = np.random.default_rng(seed)
    freqs, alphas, betas = random_params(rng, n, alpha_range=(0.05, 1.0))
    a = bank_class(freqs, 48000.0, alphas=alphas, betas=betas)
    b = bank_class(freqs, 48000.0, alphas=alphas, betas=betas)
    xs = noise(rng, history)
    a.process_samples(xs)
    b.process_samples(xs)
    return a, b


def assert_twins_agree(a, b, seed=1):
    """Same readouts now and after the same continuation, which would expose
    a difference in the hidden state (stage 1, phasors, sample count)."""
    assert_same_readouts(bank_readouts(a), bank_readouts(b), "now")
    rng = np.random.default_rng(seed)
    cont = noise(rng, 300)
    for k, piece in enumerate((cont[:1], cont[1:212], cont[212:213], cont[213:])):
        a.process_samples(piece)
        b.process_samples(piece)
        assert_same_readouts(bank_readouts(a), bank_readouts(b), f"piece {k}")


def complex_row(bank):
    """The channel values of a kavrel bank as a complex64 row."""
    re, im = complex_parts(bank)
    row = np.empty(re.size, dtype=np.complex64)
    row.real = re
    row.imag = im
    return row


def _widened(values, what):
    """float32 array of Python floats that must be float32 values widened
    exactly to doubles."""
    for v in values:
        assert type(v) is float, f"{what}: {type(v).__name__}"
    arr = np.array(values, dtype=f64)
    narrowed = arr.astype(f32)
    ok = (narrowed.astype(f64) == arr) | np.isnan(arr)
    assert ok.all(), f"{what}: {arr[~ok][:3]} are not float32 values"
    return narrowed.reshape(len(values))


def complex_parts(bank):
    """Real and imaginary parts of every channel via `complex(i)`, as float32."""
    values = [bank.complex(i) for i in range(len(bank))]
    assert all(type(c) is complex for c in values)
    return (
        _widened([c.real for c in values], "complex real"),
        _widened([c.imag for c in values], "complex imag"),
    )


def bank_readouts(bank):
    """Every readout of a kavrel bank: the per-channel methods for each index
    and the four array methods, each as a float32 array."""
    n = len(bank)
    re, im = complex_parts(bank)
    out = {"re": re, "im": im}
    for name in ("power", "magnitude", "phase", "freq"):
        method = getattr(bank, name)
        out[name] = _widened([method(i) for i in range(n)], name)
    for name in ("powers", "magnitudes", "phases", "frequencies"):
        arr = getattr(bank, name)()
        assert type(arr) is np.ndarray, name
        assert arr.dtype == f32 and arr.shape == (n,), name
        out[name] = arr
    return out


def canonical_bits(x):
    """float32 bit patterns with every NaN mapped to one pattern: NaN payloads
    and signs depend on operand order inside the hardware and are not part of
    the results being checked."""
    x = np.asarray(x, dtype=f32)
    b = x.view(np.uint32).copy()
    b[np.isnan(x)] = 0x7FC00000
    return b


def assert_same_bits(actual, expected, what=""):
    a = np.asarray(actual, dtype=f32)
    e = np.asarray(expected, dtype=f32)
    assert a.shape == e.shape, f"{what}: shape {a.shape} != {e.shape}"
    ab, eb = canonical_bits(a), canonical_bits(e)
    if not np.array_equal(ab, eb):
        bad = np.flatnonzero(ab.ravel() != eb.ravel())
        k = bad[0]
        raise AssertionError(
            f"{what}: {bad.size} of {a.size} differ; first at {k}: "
            f"{a.ravel()[k]!r} ({ab.ravel()[k]:#010x}) != "
            f"{e.ravel()[k]!r} ({eb.ravel()[k]:#010x})"
        )


def assert_same_readouts(actual, expected, what=""):
    assert actual.keys() == expected.keys()
    for key in actual:
        assert_same_bits(actual[key], expected[key], f"{what} {key}".strip())


def assert_same_complex(actual, expected, what=""):
    a = np.asarray(actual)
    e = np.asarray(expected)
    assert a.dtype == np.complex64 and e.dtype == np.complex64
    assert a.shape == e.shape, f"{what}: shape {a.shape} != {e.shape}"
    assert_same_bits(a.view(f32), e.view(f32), what)
