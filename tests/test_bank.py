"""Resonator bank: construction, the per-sample update, readouts and reset.

Results are compared bit for bit with the float32 reference model in
bank_model.py (NaNs compared as NaNs, whatever their payload).
"""

import math

import numpy as np
import pytest

import kavrel
import libm
from bank_model import (
    BankModel,
    assert_same_bits,
    assert_same_readouts,
    assert_twins_agree,
    bank_readouts,
    canonical_bits,
    complex_parts,
    fma,
    make_twins,
    noise,
    random_params,
)
from bank_model import (
    heuristic_alphas as model_alphas,
)
from support import NOT_CONTIGUOUS, READOUT_METHODS, F, argument_notes, notes, panic_type

Bank = kavrel.ResonatorBank

LENGTH_MISMATCH = "freqs, alphas, and betas must have the same length"


def pair(freqs, sr, alphas=None, betas=None):
    """A kavrel bank and the model built from the same arguments."""
    kwargs = {}
    if alphas is not None:
        kwargs["alphas"] = alphas
    if betas is not None:
        kwargs["betas"] = betas
    return Bank(freqs, sr, **kwargs), BankModel(freqs, sr, alphas, betas)


def check(bank, model, what=""):
    assert_same_readouts(bank_readouts(bank), model.readouts(), what)


def twins(seed=0, n=9, history=300):
    return make_twins(Bank, seed, n, history)


# -- the reference fused multiply-add --------------------------------------


def _fma_cases():
    rng = np.random.default_rng(1234)
    tiny = np.finfo(F).smallest_subnormal
    specials = np.array(
        [
            0.0,
            -0.0,
            tiny,
            -tiny,
            3 * tiny,
            np.finfo(F).smallest_normal,
            1.0,
            -1.0,
            1.0 + 2**-23,
            1.0 - 2**-24,
            1.5,
            -3.0,
            np.finfo(F).max,
            -np.finfo(F).max,
            np.inf,
            -np.inf,
            np.nan,
            2.0**-75,
            2.0**64,
        ],
        dtype=F,
    )
    grid = np.array(np.meshgrid(specials, specials, specials)).reshape(3, -1)
    a, b, c = [grid[0]], [grid[1]], [grid[2]]

    # Random bit patterns: every exponent, subnormals, infinities, NaNs.
    raw = rng.integers(0, 2**32, size=(3, 6000), dtype=np.uint64)
    raw = raw.astype(np.uint32).view(F)
    a.append(raw[0])
    b.append(raw[1])
    c.append(raw[2])

    # Products of moderate numbers against addends of every size.
    x = rng.standard_normal((3, 4000)).astype(F)
    x[2] *= (2.0 ** rng.integers(-40, 40, 4000)).astype(F)
    a.append(x[0])
    b.append(x[1])
    c.append(x[2])

    # Cancellation: the addend is minus the rounded product, or a neighbour.
    p = rng.standard_normal((2, 3000)).astype(F)
    c0 = -(p[0] * p[1])
    for step in (0, 1, -1):
        a.append(p[0])
        b.append(p[1])
        c.append(np.nextafter(c0, np.inf * step, dtype=F) if step else c0)

    # Products that sit just below, at, or just above half an ulp of the
    # addend: exact ties, and the cases where rounding the float64 sum first
    # and then to float32 would round twice the wrong way.
    m = rng.integers(2**23, 2**24, 2000).astype(np.float64)
    k = rng.integers(-100, 100, 2000)
    sign = rng.choice([-1.0, 1.0], 2000)
    cc = (sign * m * 2.0**k).astype(F)
    half_ulp = 2.0 ** (k - 1)
    for fa, fb in (
        (1.0, 1.0),
        (1 + 2**-23, 1 - 2**-23),
        (1 + 2**-23, 1 + 2**-23),
        (1 - 2**-24, 1 + 2**-23),
    ):
        for s in (1.0, -1.0):
            a.append((s * fa * half_ulp).astype(F))
            b.append(np.full(2000, fb, dtype=F))
            c.append(cc)
    return np.concatenate(a), np.concatenate(b), np.concatenate(c)


def test_reference_fma_is_the_correctly_rounded_one():
    a, b, c = _fma_cases()
    expected = libm.vectorize(libm.fmaf)(a, b, c)
    assert_same_bits(fma(a, b, c), expected, "fma")
    # Scalars and broadcasting take the same path.
    assert canonical_bits(fma(a[7], b[7], c[7])) == canonical_bits(expected[7])
    assert_same_bits(
        fma(a[:50], b[0], c[:50]), libm.vectorize(libm.fmaf)(a[:50], b[0], c[:50]), "broadcast"
    )
    # The cases above include ones that a plain float64 evaluation rounds
    # wrongly, and ones that a float32 multiply-then-add rounds wrongly.
    with np.errstate(all="ignore"):
        naive64 = (a.astype(np.float64) * b + c).astype(F)
        unfused = a * b + c
    assert (canonical_bits(naive64) != canonical_bits(expected)).sum() > 100
    assert (canonical_bits(unfused) != canonical_bits(expected)).sum() > 1000


# -- bank against model ----------------------------------------------------


@pytest.mark.parametrize("n", [1, 7, 8, 9, 23, 24, 100])
def test_bank_matches_model(n):
    rng = np.random.default_rng(100 + n)
    freqs, alphas, betas = random_params(rng, n)
    bank, model = pair(freqs, 48000.0, alphas, betas)
    check(bank, model, "new")
    xs = noise(rng, 900)
    cuts = [0, 1, 2, 130, 255, 256, 257, 511, 600, 900]
    for lo, hi in zip(cuts, cuts[1:]):
        if hi - lo == 1:
            bank.process_sample(float(xs[lo]))
        else:
            bank.process_samples(xs[lo:hi])
        model.process_samples(xs[lo:hi])
        check(bank, model, f"after {hi} samples")
    assert len(bank) == n and bool(bank)


@pytest.mark.parametrize("n", [1, 8, 23])
def test_bank_with_default_factors_matches_model(n):
    rng = np.random.default_rng(200 + n)
    freqs = rng.uniform(1.0, 8000.0, n).astype(F)
    bank, model = pair(freqs, 16000)
    xs = noise(rng, 700)
    bank.process_samples(xs)
    model.process_samples(xs)
    check(bank, model)


def test_readout_formulas_are_the_single_precision_ones():
    """power is re*re + im*im without fusing, magnitude its float32 square
    root; the data here tells these apart from the near misses."""
    rng = np.random.default_rng(7)
    freqs, alphas, betas = random_params(rng, 100, alpha_range=(0.05, 1.0))
    bank, model = pair(freqs, 48000.0, alphas, betas)
    xs = noise(rng, 300)
    bank.process_samples(xs)
    model.process_samples(xs)
    got = bank_readouts(bank)
    assert_same_bits(got["powers"], model.powers(), "powers")
    assert_same_bits(got["magnitudes"], model.magnitudes(), "magnitudes")
    re, im = model.complex_parts()
    fused = fma(re, re, im * im)
    assert (canonical_bits(fused) != canonical_bits(model.powers())).any()
    hypot = np.hypot(re.astype(np.float64), im.astype(np.float64)).astype(F)
    assert (canonical_bits(hypot) != canonical_bits(model.magnitudes())).any()
    # Python-side double arithmetic on complex(i) is not what power reports.
    wide = np.array([abs(bank.complex(i)) ** 2 for i in range(100)]).astype(F)
    assert (canonical_bits(wide) != canonical_bits(got["power"])).any()


# -- the update rules --------------------------------------------------------


def test_first_sample_with_half_factors():
    bank = Bank(
        np.array([440.0, 1000.0], F),
        48000.0,
        alphas=np.full(2, 0.5, F),
        betas=np.full(2, 0.5, F),
    )
    assert bank.process_sample(1.0) is None
    assert bank.complex(0) == 0.25 + 0j and bank.complex(1) == 0.25 + 0j
    assert math.copysign(1.0, bank.complex(0).imag) == 1.0
    assert bank.power(0) == 0.0625 and bank.magnitude(0) == 0.25
    assert bank.phase(0) == 0.0


@pytest.mark.parametrize("sr", [48000.0, 44100.7, 8000, -16000.0, 0.0, math.nan])
def test_unit_factors_expose_the_rotation(sr):
    """With alpha = beta = 1 and x = 1 both stages equal the phasor before
    the sample, so the readouts show the phasor itself."""
    freqs = np.array([0.0, 1.0, 440.0, 1000.0, 3999.0, 12345.6, 20000.0, 23999.0, 30000.0], F)
    ones = np.ones(freqs.size, F)
    bank, model = pair(freqs, sr, ones, ones)
    bank.process_sample(1.0)
    re, im = complex_parts(bank)
    assert_same_bits(re, np.ones(freqs.size, F))
    assert_same_bits(im, np.zeros(freqs.size, F))
    bank.process_sample(1.0)
    re, im = complex_parts(bank)
    model.process_sample(1.0)  # the phasor is now (1, 0) times the rotation
    assert_same_bits(re, model.phasor[0], "cos of step angle")
    assert_same_bits(im, model.phasor[1], "sin of step angle")
    if sr == sr:
        with np.errstate(all="ignore"):
            w = np.array([(f * F(-6.2831855)) / F(sr) for f in freqs], dtype=F)
            # (1, 0) times (cos, sin) turns a sine of -0.0 into +0.0.
            sin_w = libm.vectorize(libm.sinf)(w) + F(0.0)
        assert_same_bits(re, libm.vectorize(libm.cosf)(w))
        assert_same_bits(im, sin_w)
    if sr == sr and sr > 0:
        below_nyquist = (freqs > 0) & (freqs < F(sr) / 2)
        assert (im[below_nyquist] < 0).all()  # phasors turn clockwise
        assert re[0] == 1.0 and im[0] == 0.0  # frequency 0 does not turn
    elif sr == sr and sr < 0:
        assert (im[1:5] > 0).all()
    else:
        assert np.isnan(re[1:]).all()
    model.process_sample(1.0)
    for _ in range(5):
        bank.process_sample(1.0)
        model.process_sample(1.0)
        check(bank, model)


def test_process_samples_equals_single_samples_and_any_split():
    rng = np.random.default_rng(11)
    freqs, alphas, betas = random_params(rng, 23, alpha_range=(0.02, 1.0))
    banks = [Bank(freqs, 48000.0, alphas=alphas, betas=betas) for _ in range(4)]
    model = BankModel(freqs, 48000.0, alphas, betas)
    pre = noise(rng, 100)
    for b in banks:
        b.process_samples(pre)
    model.process_samples(pre)
    xs = noise(rng, 800)
    banks[0].process_samples(xs)
    for x in xs:
        banks[1].process_sample(float(x))
    for b in banks[2:]:
        cuts = np.sort(rng.integers(0, xs.size + 1, 12))
        cuts = np.concatenate(([0], cuts, cuts[:2], [xs.size]))  # empty pieces too
        cuts.sort()
        for lo, hi in zip(cuts, cuts[1:]):
            assert b.process_samples(xs[lo:hi]) is None
    model.process_samples(xs)
    expected = model.readouts()
    for k, b in enumerate(banks):
        assert_same_readouts(bank_readouts(b), expected, f"bank {k}")
    # Same hidden state: the continuation agrees as well.
    tail = noise(rng, 300)
    model.process_samples(tail)
    for k, b in enumerate(banks):
        b.process_samples(tail)
        assert_same_readouts(bank_readouts(b), model.readouts(), f"bank {k} tail")


def test_channel_result_does_not_depend_on_its_position():
    rng = np.random.default_rng(12)
    size = 19  # two blocks of eight and a remainder of three
    f0, a0, b0 = F(1234.5), F(0.37), F(0.11)
    xs = noise(rng, 600)
    alone = Bank(np.array([f0], F), 44100.0, alphas=np.array([a0], F), betas=np.array([b0], F))
    alone.process_samples(xs)
    want = bank_readouts(alone)

    same = Bank(
        np.full(size, f0, F), 44100.0, alphas=np.full(size, a0, F), betas=np.full(size, b0, F)
    )
    same.process_samples(xs)
    got = bank_readouts(same)
    for key in want:
        assert_same_bits(got[key], np.repeat(want[key], size), key)

    for pos in range(size):
        freqs, alphas, betas = random_params(rng, size)
        freqs[pos], alphas[pos], betas[pos] = f0, a0, b0
        bank = Bank(freqs, 44100.0, alphas=alphas, betas=betas)
        bank.process_samples(xs)
        got = bank_readouts(bank)
        for key in want:
            assert_same_bits(got[key][pos : pos + 1], want[key], f"{key} at {pos}")


def _renorm_pair(seed):
    rng = np.random.default_rng(seed)
    freqs, alphas, betas = random_params(rng, 24, alpha_range=(0.3, 1.0))
    bank, model = pair(freqs, 48000.0, alphas, betas)
    unnormalised = BankModel(freqs, 48000.0, alphas, betas, renorm_period=None)
    early = BankModel(freqs, 48000.0, alphas, betas, renorm_period=255)
    return rng, bank, model, [unnormalised, early]


def _differs(model, other):
    return not np.array_equal(canonical_bits(model.stage2), canonical_bits(other.stage2))


def test_renormalisation_after_the_256th_sample_since_reset():
    rng, bank, model, wrong = _renorm_pair(21)
    # Some history first, so that the schedule must restart at reset.
    bank.process_samples(noise(rng, 100))
    bank.reset()
    xs = noise(rng, 260)
    for k, x in enumerate(xs):
        bank.process_sample(float(x))
        for m in [model] + wrong:
            m.process_sample(x)
        if k in (254, 255, 256, 257, 259):
            check(bank, model, f"after {k + 1} samples")
    # The samples after the 256th tell a missing or early renormalisation
    # apart from the right one.
    assert all(_differs(model, w) for w in wrong)


def test_renormalisation_inside_and_at_the_end_of_blocks():
    rng, bank, model, wrong = _renorm_pair(22)
    first, second = noise(rng, 600), noise(rng, 168)
    bank.process_samples(first)
    for m in [model] + wrong:
        m.process_samples(first)
    check(bank, model, "after 600")
    bank.process_samples(second)
    for m in [model] + wrong:
        m.process_samples(second)
    check(bank, model, "after 768")
    # Sample 769 on uses the phasors renormalised at the end of the block.
    x = noise(rng, 3)
    for k in range(3):
        bank.process_sample(float(x[k]))
        for m in [model] + wrong:
            m.process_sample(x[k])
        check(bank, model, f"after {769 + k}")
    assert all(_differs(model, w) for w in wrong)


@pytest.mark.parametrize("n", [0, 1, 9, 24])
def test_reset_gives_a_fresh_bank(n):
    rng = np.random.default_rng(30 + n)
    freqs, alphas, betas = random_params(rng, n, alpha_range=(0.05, 1.0))
    used = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    used.process_samples(noise(rng, 300))  # sample count not a multiple of 256
    used.process_sample(float("nan"))
    assert used.reset() is None
    fresh = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    new = bank_readouts(fresh)
    assert_same_readouts(bank_readouts(used), new, "right after reset")
    for key in ("re", "im", "power", "magnitude", "phase", "powers", "magnitudes", "phases"):
        assert not canonical_bits(new[key]).any(), key  # +0.0 everywhere
    model = BankModel(freqs, 48000.0, alphas, betas)
    xs = noise(rng, 600)
    for piece in (xs[:255], xs[255:256], xs[256:257], xs[257:]):
        used.process_samples(piece)
        fresh.process_samples(piece)
        model.process_samples(piece)
        assert_same_readouts(bank_readouts(used), bank_readouts(fresh))
        check(used, model)
    assert used.reset() is None and used.reset() is None


def test_new_bank_reads_zero():
    bank = Bank(np.array([100.0, 200.0, 300.0], F), 8000.0)
    for i in range(3):
        c = bank.complex(i)
        assert c == 0j and math.copysign(1, c.real) == 1 and math.copysign(1, c.imag) == 1
        for name in ("power", "magnitude", "phase"):
            v = getattr(bank, name)(i)
            assert v == 0.0 and math.copysign(1, v) == 1.0, name
    for name in ("powers", "magnitudes", "phases"):
        arr = getattr(bank, name)()
        assert arr.dtype == F and arr.shape == (3,)
        assert not arr.view(np.uint32).any(), name


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 1e39])
@pytest.mark.parametrize("single", [True, False])
def test_non_finite_samples(value, single):
    rng = np.random.default_rng(40)
    freqs, alphas, betas = random_params(rng, 9)
    bank, model = pair(freqs, 48000.0, alphas, betas)
    fresh = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    before = noise(rng, 50)
    bank.process_samples(before)
    model.process_samples(before)
    if single:
        bank.process_sample(value)
    else:
        with np.errstate(over="ignore"):
            bank.process_samples(np.array([value], F))
    model.process_sample(value)
    check(bank, model, "bad sample")
    after = noise(rng, 300)
    for piece in (after[:1], after[1:250], after[250:]):
        bank.process_samples(piece)
        model.process_samples(piece)
        check(bank, model, "later")
        got = bank_readouts(bank)
        for key in ("re", "im", "powers", "magnitudes"):
            assert not np.isfinite(got[key]).any(), key
        if value != value:
            for key in ("re", "im", "powers", "magnitudes", "phases", "phase"):
                assert np.isnan(got[key]).all(), key
    assert bank.reset() is None
    assert_same_readouts(bank_readouts(bank), bank_readouts(fresh))
    for piece in (after[:200], after[200:]):
        bank.process_samples(piece)
        fresh.process_samples(piece)
        assert_same_readouts(bank_readouts(bank), bank_readouts(fresh))


def cosine_readings(bank, xs, read, first):
    """The value of every channel after the first `first` samples of xs and
    after each of the last 64, read sample by sample with complex(i), or as
    resonate's frames at a hop of one sample."""
    if read == "resonate":
        frames = bank.resonate(xs, 1).astype(complex)
        return frames[first - 1], frames[-64:]
    bank.process_samples(xs[:first])
    early = np.array([bank.complex(i) for i in range(len(bank))])
    bank.process_samples(xs[first:-64])
    tail = []
    for x in xs[-64:]:
        bank.process_sample(float(x))
        tail.append([bank.complex(i) for i in range(len(bank))])
    return early, np.array(tail)


@pytest.mark.parametrize("read", ["process_sample", "resonate"])
def test_steady_cosine_settles_at_half_its_amplitude(read):
    # A cosine at channel 1's frequency: that channel settles, from below, at
    # half the amplitude with the cosine's phase, the others stay near zero,
    # and the ripple left shrinks with the smoothing factor.
    sr, f0, amp, phi = 16000.0, 1000.0, 0.8, 0.7
    freqs = np.array([250.0, 1000.0, 3000.0], F)
    n = np.arange(12000)
    xs = (amp * np.cos(2 * np.pi * f0 * n / sr + phi)).astype(F)
    target = amp / 2 * complex(math.cos(phi), math.sin(phi))
    ripples = []
    for alpha in (0.02, 0.002):
        factors = np.full(3, alpha, F)
        bank = Bank(freqs, sr, alphas=factors, betas=factors)
        early, tail = cosine_readings(bank, xs, read, first=400)
        mags = np.abs(tail[:, 1])
        ripples.append(mags.max() - mags.min())
        assert abs(early[1]) < mags[-1]
        assert abs(mags[-1] - amp / 2) < 0.01 * amp
        assert abs(tail[-1, 1] - target) < 0.02 * amp
        assert abs(np.angle(tail[-1, 1]) - phi) < 0.03
        assert np.abs(tail[-1, [0, 2]]).max() < 0.05 * amp
        if read == "process_sample":  # the scalar readouts of the same state
            assert abs(bank.magnitude(1) - amp / 2) < 0.01 * amp
            assert abs(bank.phase(1) - phi) < 0.03
    assert ripples[1] < ripples[0]


# -- construction -------------------------------------------------------------


def test_default_factors_are_the_heuristic_ones():
    rng = np.random.default_rng(50)
    freqs = np.concatenate([rng.uniform(20.0, 20000.0, 16), [440.0, 1.0, 0.5]]).astype(F)
    sr = 44100.3  # narrowed to float32 before use
    expected = kavrel.heuristic_alphas(freqs, sr)
    assert_same_bits(expected, model_alphas(freqs, F(sr)), "heuristic_alphas")
    xs = noise(rng, 600)
    model = BankModel(freqs, sr)
    model.process_samples(xs)
    banks = [
        Bank(freqs, sr),
        Bank(freqs, sr, alphas=None, betas=None),
        Bank(freqs=freqs, sample_rate=sr, alphas=expected.copy(), betas=expected.copy()),
        Bank(freqs, F(sr)),
        Bank(freqs, np.float64(F(sr))),
    ]
    for k, bank in enumerate(banks):
        bank.process_samples(xs)
        check(bank, model, f"bank {k}")


@pytest.mark.parametrize("given", ["alphas", "betas", "both"])
def test_partly_given_factors(given):
    rng = np.random.default_rng(51)
    freqs, alphas, betas = random_params(rng, 11, alpha_range=(0.01, 1.0))
    kwargs = {"alphas": alphas, "betas": betas}
    if given == "alphas":
        del kwargs["betas"]
        explicit = {"alphas": alphas, "betas": alphas}
    elif given == "betas":
        del kwargs["alphas"]
        defaults = kavrel.heuristic_alphas(freqs, 48000.0)
        explicit = {"alphas": defaults, "betas": betas}
    else:
        explicit = kwargs
    bank = Bank(freqs, 48000.0, **kwargs)
    twin = Bank(freqs, 48000.0, **explicit)
    model = BankModel(freqs, 48000.0, kwargs.get("alphas"), kwargs.get("betas"))
    xs = noise(rng, 400)
    for b in (bank, twin):
        b.process_samples(xs)
    model.process_samples(xs)
    check(bank, model)
    assert_same_readouts(bank_readouts(bank), bank_readouts(twin))


def test_empty_bank():
    bank = Bank(np.zeros(0, F), 48000.0)
    assert len(bank) == 0 and not bank
    for name in ("powers", "magnitudes", "phases", "frequencies"):
        arr = getattr(bank, name)()
        assert type(arr) is np.ndarray and arr.dtype == F and arr.shape == (0,)
    assert bank.process_sample(1.0) is None
    assert bank.process_samples(np.ones(1000, F)) is None
    assert bank.process_samples(np.zeros(0, F)) is None
    assert bank.reset() is None
    for name in READOUT_METHODS:
        with pytest.raises(BaseException) as info:
            getattr(bank, name)(0)
        assert type(info.value) is panic_type()
        assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"
    # Any sample rate, even a strided empty view of frequencies.
    for sr in (0.0, -1.0, math.nan, math.inf):
        assert len(Bank(np.zeros(0, F), sr)) == 0
    assert len(Bank(np.zeros(6, F)[::2][:0], 48000.0)) == 0


@pytest.mark.parametrize(
    "n_freqs, n_alphas, n_betas",
    [
        (0, 1, None),
        (0, None, 1),
        (0, 0, 1),
        (0, 1, 0),
        (3, 3, 2),
        (3, 2, None),
        (3, None, 4),
        (3, 2, 3),
        (3, 4, 4),
        (3, 2, 2),
        (1, 0, None),
        (9, 8, 9),
    ],
)
def test_length_mismatch(n_freqs, n_alphas, n_betas):
    kwargs = {}
    if n_alphas is not None:
        kwargs["alphas"] = np.full(n_alphas, 0.5, F)
    if n_betas is not None:
        kwargs["betas"] = np.full(n_betas, 0.5, F)
    with pytest.raises(ValueError) as info:
        Bank(np.full(n_freqs, 440.0, F), 48000.0, **kwargs)
    assert str(info.value) == LENGTH_MISMATCH
    assert notes(info.value) is None


@pytest.mark.parametrize("sr", [0.0, -0.0, -22050.0, math.nan, math.inf, -math.inf, 1e-40, 1e39])
@pytest.mark.parametrize("defaults", [True, False])
def test_unusual_sample_rates_flow_through(sr, defaults):
    rng = np.random.default_rng(60)
    freqs = np.array([0.0, 1.0, 100.0, 440.0, 1000.0, 5000.0, 15000.0, 30000.0, -440.0], F)
    if defaults:
        bank, model = pair(freqs, sr)
    else:
        alphas = np.linspace(0.1, 1.0, freqs.size).astype(F)
        bank, model = pair(freqs, sr, alphas, alphas[::-1].copy())
    xs = noise(rng, 300)
    bank.process_sample(float(xs[0]))
    model.process_sample(xs[0])
    check(bank, model, "first sample")
    if defaults and sr == 0.0 and math.copysign(1.0, sr) > 0:
        # c = -1/0 is -inf: positive frequencies get alpha 1 and beta 1, so
        # the first sample passes through both stages unchanged.
        re, im = complex_parts(bank)
        assert (re[1:8] == xs[0]).all() and (im[1:8] == 0).all()
    bank.process_samples(xs[1:])
    model.process_samples(xs[1:])
    check(bank, model, "300 samples")


def test_zero_frequency_channel_is_a_plain_low_pass():
    rng = np.random.default_rng(61)
    freqs = np.array([0.0, 440.0, 0.0], F)
    alphas = np.array([0.5, 0.5, 0.01], F)
    bank, model = pair(freqs, 48000.0, alphas, alphas)
    assert_same_bits(model.rot_re[[0, 2]], [1.0, 1.0])
    assert_same_bits(model.rot_im[[0, 2]], [-0.0, -0.0])
    xs = noise(rng, 600)
    bank.process_samples(xs)
    model.process_samples(xs)
    check(bank, model)
    re, im = complex_parts(bank)
    assert not im[[0, 2]].view(np.uint32).any()  # +0.0: the phasor stays (1, 0)
    phases = bank.phases()
    for i in (0, 2):
        assert phases[i] == (0.0 if re[i] > 0 else F(math.pi))
    # Default factors make a zero frequency's alpha NaN (0 / log10(1)).
    nan_bank = Bank(freqs, 48000.0)
    assert bank_readouts(nan_bank)["re"].tolist() == [0.0, 0.0, 0.0]
    nan_bank.process_sample(1.0)
    re, im = complex_parts(nan_bank)
    assert np.isnan(re[[0, 2]]).all() and np.isfinite(re[1])


@pytest.mark.parametrize("which", ["freqs", "alphas", "betas"])
@pytest.mark.parametrize("view", ["strided", "reversed"])
def test_non_contiguous_parameter_arrays(which, view):
    base = {
        name: np.linspace(0.1, 0.9, 8).astype(F) * (1000 if name == "freqs" else 1)
        for name in ("freqs", "alphas", "betas")
    }
    args = {name: arr[:4].copy() for name, arr in base.items()}
    args[which] = base[which][::2] if view == "strided" else base[which][3::-1]
    with pytest.raises(TypeError) as info:
        Bank(args["freqs"], 48000.0, alphas=args["alphas"], betas=args["betas"])
    assert str(info.value) == NOT_CONTIGUOUS
    assert notes(info.value) is None
    # Empty and one-element views are contiguous enough.
    args[which] = base[which][::2][:1]
    for name in args:
        args[name] = args[name][:1]
    assert len(Bank(args["freqs"], 48000.0, alphas=args["alphas"], betas=args["betas"])) == 1


def test_bank_keeps_its_own_copy_of_the_parameters():
    rng = np.random.default_rng(70)
    freqs, alphas, betas = random_params(rng, 10)
    keep = [freqs.copy(), alphas.copy(), betas.copy()]
    bank = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    defaulted = Bank(freqs, 48000.0)
    freqs[:] = 1.0
    alphas[:] = 0.0
    betas[:] = np.nan
    model = BankModel(keep[0], 48000.0, keep[1], keep[2])
    model_defaulted = BankModel(keep[0], 48000.0)
    xs = noise(rng, 300)
    for b, m in ((bank, model), (defaulted, model_defaulted)):
        b.process_samples(xs)
        m.process_samples(xs)
        check(b, m)
    # Readout arrays are new each time; writing into them changes nothing.
    got = bank.frequencies()
    assert got.flags.writeable and not got.flags.owndata and got.base is not None
    assert not np.shares_memory(got, bank.frequencies())
    for name in ("frequencies", "powers", "magnitudes", "phases"):
        arr = getattr(bank, name)()
        arr[:] = 7.0
    check(bank, model)


def test_shared_and_read_only_parameter_arrays():
    arr = np.array([0.25, 0.5, 0.75], F)
    arr.setflags(write=False)
    bank, model = pair(arr, 2.0, arr, arr)
    bank.process_samples(np.array([1.0, -1.0, 0.5], F))
    model.process_samples([1.0, -1.0, 0.5])
    check(bank, model)


def test_frequency_reads_back_as_float32():
    bank = Bank(np.array([440.1, 1e-30, -3.0], F), 48000.0)
    assert bank.freq(0) == float(F(440.1)) != 440.1
    assert bank.freq(1) == float(F(1e-30))
    assert bank.freq(2) == -3.0
    assert bank.freq(True) == bank.freq(1)
    assert bank.freq(np.int64(0)) == bank.freq(0)
    assert_same_bits(bank.frequencies(), np.array([440.1, 1e-30, -3.0], F))


# -- failures ---------------------------------------------------------------


@pytest.mark.parametrize("method", READOUT_METHODS)
@pytest.mark.parametrize("offset", [0, 1, 1000, None])
def test_index_out_of_range(method, offset):
    a, b = twins(seed=80)
    n = len(a)
    index = 2**64 - 1 if offset is None else n + offset
    with pytest.raises(BaseException) as info:
        getattr(a, method)(index)
    exc = info.value
    assert type(exc).__name__ == "PanicException" and type(exc) is panic_type()
    assert not isinstance(exc, Exception)
    assert exc.args == (f"index out of bounds: the len is {n} but the index is {index}",)
    assert not hasattr(kavrel, "PanicException")
    assert_twins_agree(a, b)


def _refusals():
    strided = np.zeros(8, F)[::2]
    return [
        ("process_sample", ("1",), TypeError, "sample", None),
        ("process_sample", (None,), TypeError, "sample", None),
        ("process_sample", ([1.0],), TypeError, "sample", None),
        (
            "process_sample",
            (),
            TypeError,
            None,
            "ResonatorBank.process_sample() missing 1 required positional argument: 'sample'",
        ),
        (
            "process_sample",
            (1.0, 2.0),
            TypeError,
            None,
            "ResonatorBank.process_sample() takes 1 positional arguments but 2 were given",
        ),
        (
            "process_samples",
            ([0.0, 1.0],),
            TypeError,
            "samples",
            "'list' object is not an instance of 'ndarray'",
        ),
        (
            "process_samples",
            (np.zeros(4),),
            TypeError,
            "samples",
            "'ndarray' object is not an instance of 'ndarray'",
        ),
        (
            "process_samples",
            (np.zeros((2, 2), F),),
            TypeError,
            "samples",
            "'ndarray' object is not an instance of 'ndarray'",
        ),
        (
            "process_samples",
            (np.zeros(4, np.int32),),
            TypeError,
            "samples",
            "'ndarray' object is not an instance of 'ndarray'",
        ),
        (
            "process_samples",
            (None,),
            TypeError,
            "samples",
            "'None' is not an instance of 'ndarray'",
        ),
        ("process_samples", (strided,), TypeError, None, NOT_CONTIGUOUS),
        ("process_samples", (np.ones(5, F)[::-1],), TypeError, None, NOT_CONTIGUOUS),
        ("freq", (-1,), OverflowError, "i", None),
        ("complex", (0.0,), TypeError, "i", None),
        ("power", ("0",), TypeError, "i", None),
        ("magnitude", (2**64,), OverflowError, "i", None),
        (
            "phase",
            (),
            TypeError,
            None,
            "ResonatorBank.phase() missing 1 required positional argument: 'i'",
        ),
    ]


def _resonate_refusals():
    good = np.ones(16, F)
    return [
        (
            (np.ones(16),),
            {"hop": 4},
            TypeError,
            "signal",
            "'ndarray' object is not an instance of 'ndarray'",
        ),
        (([1.0] * 16, 4), {}, TypeError, "signal", "'list' object is not an instance of 'ndarray'"),
        ((None, 4), {}, TypeError, "signal", "'None' is not an instance of 'ndarray'"),
        (
            (np.ones((4, 4), F), 4),
            {},
            TypeError,
            "signal",
            "'ndarray' object is not an instance of 'ndarray'",
        ),
        ((np.ones(32, F)[::2], 4), {}, TypeError, None, NOT_CONTIGUOUS),
        ((np.ones(16, F)[::-1], 4), {}, TypeError, None, NOT_CONTIGUOUS),
        ((good, -1), {}, OverflowError, "hop", None),
        ((good, 2.0), {}, TypeError, "hop", None),
        ((good, "4"), {}, TypeError, "hop", None),
        ((good, None), {}, TypeError, "hop", None),
        ((good, 2**64), {}, OverflowError, "hop", None),
        # The signal is converted before the hop, and checked for contiguity
        # before the hop is looked at.
        (
            (np.ones(16), -1),
            {},
            TypeError,
            "signal",
            "'ndarray' object is not an instance of 'ndarray'",
        ),
        ((np.ones(32, F)[::2], 0), {}, TypeError, None, NOT_CONTIGUOUS),
        (
            (np.ones(16), 0),
            {},
            TypeError,
            "signal",
            "'ndarray' object is not an instance of 'ndarray'",
        ),
        (
            (good,),
            {},
            TypeError,
            None,
            "ResonatorBank.resonate() missing 1 required positional argument: 'hop'",
        ),
        (
            (),
            {},
            TypeError,
            None,
            "ResonatorBank.resonate() missing 2 required positional arguments: 'signal' and 'hop'",
        ),
        (
            (good, 4, 4),
            {},
            TypeError,
            None,
            "ResonatorBank.resonate() takes 2 positional arguments but 3 were given",
        ),
        (
            (good,),
            {"signal": good},
            TypeError,
            None,
            "ResonatorBank.resonate() got multiple values for argument 'signal'",
        ),
        (
            (good, 4),
            {"step": 4},
            TypeError,
            None,
            "ResonatorBank.resonate() got an unexpected keyword argument 'step'",
        ),
    ]


# Every refused call of a method that reads or changes the bank: it raises the
# expected exception, with the expected note and message, and the bank is as
# it was, now and after the same continuation as its twin.
@pytest.mark.parametrize(
    "method, args, kwargs, exc_type, note, message",
    [(method, args, {}, *rest) for method, args, *rest in _refusals()]
    + [("resonate", *refusal) for refusal in _resonate_refusals()],
)
def test_refused_arguments_leave_the_bank_unchanged(method, args, kwargs, exc_type, note, message):
    a, b = twins(seed=81)
    with pytest.raises(exc_type) as info:
        getattr(a, method)(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == (argument_notes(note) if note else None)
    assert_twins_agree(a, b)


def test_accepted_sample_forms():
    rng = np.random.default_rng(90)
    freqs, alphas, betas = random_params(rng, 9)
    banks = [Bank(freqs, 48000.0, alphas=alphas, betas=betas) for _ in range(3)]
    model = BankModel(freqs, 48000.0, alphas, betas)
    banks[0].process_sample(1)
    banks[1].process_sample(True)
    banks[2].process_sample(sample=np.float64(1.0))
    model.process_sample(1.0)
    for b in banks:
        check(b, model)
    # Narrowed with round-to-nearest-even; beyond the float32 range it is inf.
    banks[0].process_sample(0.1)
    banks[1].process_samples(samples=np.array([0.1], F))
    ro = np.array([0.1], F)
    ro.setflags(write=False)
    banks[2].process_samples(ro)
    model.process_sample(F(0.1))
    for b in banks:
        check(b, model)
    banks[0].process_sample(1e39)
    model.process_sample(math.inf)
    check(banks[0], model)


def test_empty_blocks_change_nothing():
    a, b = twins(seed=91)
    empty_views = [np.zeros(0, F), np.zeros(8, F)[::2][:0], np.zeros(8, F)[::-1][:0]]
    for view in empty_views:
        assert a.process_samples(view) is None
    assert_twins_agree(a, b)
