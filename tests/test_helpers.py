"""Scalar parameter helpers: midi_to_hz, alpha_from_tau, tau_from_alpha,
heuristic_alpha.

Every result is checked bit for bit against a single-precision reference that
performs the same operations in the same order with NumPy float32 scalars and
the C library's float functions.
"""

import math
import struct
import zlib

import numpy as np
import pytest

import kavrel
from libm import exp2f, expf, log10f, logf
from support import AsFloat, AsIndex, F, SubFloat, argument_notes, notes

INF = math.inf
NAN = math.nan


# ---------------------------------------------------------------------------
# Reference arithmetic
# ---------------------------------------------------------------------------


def narrow(x):
    """A Python number read as a double and rounded once to single precision."""
    return F(float(x))


def ref_midi_to_hz(midi, tuning):
    with np.errstate(all="ignore"):
        m, t = narrow(midi), narrow(tuning)
        e = (m + F(-69.0)) / F(12.0)
        p = exp2f(e)
        return F(p * t)


def ref_alpha_from_tau(tau, sample_rate):
    with np.errstate(all="ignore"):
        t, s = narrow(tau), narrow(sample_rate)
        k = F(-1.0) / s
        x = k / t
        return F(F(1.0) - expf(x))


def ref_tau_from_alpha(alpha, sample_rate):
    with np.errstate(all="ignore"):
        a, s = narrow(alpha), narrow(sample_rate)
        k = F(-1.0) / s
        lg = logf(F(1.0) - a)
        return F(k / lg)


def ref_heuristic_alpha(freq, sample_rate):
    with np.errstate(all="ignore"):
        f, s = narrow(freq), narrow(sample_rate)
        k = F(-1.0) / s
        p = k * f
        d = log10f(f + F(1.0))
        q = p / d
        return F(F(1.0) - expf(q))


FUNCS = {
    "midi_to_hz": (kavrel.midi_to_hz, ref_midi_to_hz),
    "alpha_from_tau": (kavrel.alpha_from_tau, ref_alpha_from_tau),
    "tau_from_alpha": (kavrel.tau_from_alpha, ref_tau_from_alpha),
    "heuristic_alpha": (kavrel.heuristic_alpha, ref_heuristic_alpha),
}


def bits32(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def check_result(got, expected, context=""):
    """got (a Python float from kavrel) must be the float32 value expected."""
    assert type(got) is float, context
    # The result is a single-precision value widened exactly.
    if not math.isnan(got):
        assert float(F(got)) == got, f"{context}: {got!r} is not a float32 value"
    assert bits32(got) == bits32(float(expected)), (
        f"{context}: got {got!r} ({bits32(got):#010x}), "
        f"expected {float(expected)!r} ({bits32(float(expected)):#010x})"
    )


def same(got, expected):
    if math.isnan(expected):
        return math.isnan(got)
    return got == expected and math.copysign(1.0, got) == math.copysign(1.0, expected)


# ---------------------------------------------------------------------------
# Random inputs
# ---------------------------------------------------------------------------


def random_pairs(name, count=400):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    pairs = []
    # Plausible ranges for each helper.
    if name == "midi_to_hz":
        a = rng.uniform(-200.0, 300.0, count)
        b = rng.uniform(1.0, 2000.0, count)
    elif name == "alpha_from_tau":
        a = 10.0 ** rng.uniform(-6.0, 3.0, count)
        b = rng.uniform(1.0, 200000.0, count)
    elif name == "tau_from_alpha":
        a = 10.0 ** rng.uniform(-8.0, 0.0, count)
        b = rng.uniform(1.0, 200000.0, count)
    else:
        a = 10.0 ** rng.uniform(-3.0, 5.0, count)
        b = rng.uniform(1.0, 200000.0, count)
    pairs += list(zip(a.tolist(), b.tolist()))
    # Arbitrary float32 bit patterns (finite, infinite and NaN alike) and
    # doubles that need rounding to single precision.
    raw = rng.integers(0, 2**32, size=(count, 2), dtype=np.uint64).astype(np.uint32)
    pairs += [tuple(float(v) for v in row.view(F)) for row in raw]
    doubles = rng.standard_normal((count // 4, 2)) * 10.0 ** rng.uniform(-40, 40, (count // 4, 2))
    pairs += [tuple(row) for row in doubles.tolist()]
    return pairs


@pytest.mark.parametrize("name", sorted(FUNCS))
def test_random_inputs_match_reference(name):
    func, ref = FUNCS[name]
    for a, b in random_pairs(name):
        check_result(func(a, b), ref(a, b), f"{name}({a!r}, {b!r})")


# ---------------------------------------------------------------------------
# IEEE edge cases
# ---------------------------------------------------------------------------

SPECIAL = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.5,
    2.0,
    69.0,
    440.0,
    48000.0,
    1e-45,
    -1e-45,
    1e-38,
    3.4028234663852886e38,
    -3.4028234663852886e38,
    1e39,
    -1e39,
    INF,
    -INF,
    NAN,
    1e-300,
    12.0,
    -69.0,
]


@pytest.mark.parametrize("name", sorted(FUNCS))
def test_special_value_grid_matches_reference(name):
    func, ref = FUNCS[name]
    for a in SPECIAL:
        for b in SPECIAL:
            check_result(func(a, b), ref(a, b), f"{name}({a!r}, {b!r})")


# Expected values from the arithmetic, written out; each is also checked
# against the reference.
EDGE_CASES = [
    # Exact octaves around note 69.
    ("midi_to_hz", 69, 440.0, 440.0),
    ("midi_to_hz", 81, 440.0, 880.0),
    ("midi_to_hz", 57, 440.0, 220.0),
    ("midi_to_hz", 69, 0.0, 0.0),
    ("midi_to_hz", 100, 0.0, 0.0),
    ("midi_to_hz", 69, -440.0, -440.0),
    ("midi_to_hz", 69, -0.0, -0.0),
    # The power overflows at note 69 + 12 * 128.
    ("midi_to_hz", 69 + 12 * 128, 440.0, INF),
    ("midi_to_hz", 69 + 12 * 128, 1.0, INF),
    ("midi_to_hz", 69 + 12 * 128, -1.0, -INF),
    ("midi_to_hz", 69 + 12 * 128, 0.0, NAN),
    ("midi_to_hz", 1e6, 440.0, INF),
    ("midi_to_hz", -1e6, 440.0, 0.0),
    ("midi_to_hz", INF, 440.0, INF),
    ("midi_to_hz", -INF, 440.0, 0.0),
    ("midi_to_hz", NAN, 440.0, NAN),
    ("midi_to_hz", 69, INF, INF),
    ("midi_to_hz", 69, NAN, NAN),
    # Tuning beyond the single range becomes infinite.
    ("midi_to_hz", 69, 1e39, INF),
    ("midi_to_hz", 69, -1e39, -INF),
    ("alpha_from_tau", 0.0, 48000.0, 1.0),
    ("alpha_from_tau", INF, 48000.0, 0.0),
    ("alpha_from_tau", 1.0, 0.0, 1.0),
    ("alpha_from_tau", 0.0, 0.0, 1.0),
    ("alpha_from_tau", NAN, 48000.0, NAN),
    ("alpha_from_tau", 1.0, INF, 0.0),
    ("tau_from_alpha", 0.0, 48000.0, -INF),
    ("tau_from_alpha", 1.0, 48000.0, 0.0),
    ("tau_from_alpha", 1.5, 48000.0, NAN),
    ("tau_from_alpha", 0.5, 0.0, INF),
    ("tau_from_alpha", NAN, 48000.0, NAN),
    ("heuristic_alpha", 0.0, 48000.0, NAN),
    ("heuristic_alpha", 0.0, 1.0, NAN),
    ("heuristic_alpha", 0.0, 0.0, NAN),
    ("heuristic_alpha", -1.0, 48000.0, 0.0),
    ("heuristic_alpha", -2.0, 48000.0, NAN),
    ("heuristic_alpha", -1000.0, 48000.0, NAN),
    ("heuristic_alpha", 440.0, 0.0, 1.0),
    ("heuristic_alpha", 1.0, 0.0, 1.0),
    ("heuristic_alpha", INF, 48000.0, NAN),
    ("heuristic_alpha", NAN, 48000.0, NAN),
]


@pytest.mark.parametrize("name,a,b,expected", EDGE_CASES)
def test_edge_cases(name, a, b, expected):
    func, ref = FUNCS[name]
    got = func(a, b)
    assert same(got, expected), f"{name}({a!r}, {b!r}) = {got!r}, expected {expected!r}"
    check_result(got, ref(a, b), f"{name}({a!r}, {b!r})")


def test_alpha_from_tau_negative_zero_tau():
    # k / -0.0 is +inf, expf(+inf) is +inf, 1 - inf is -inf.
    assert kavrel.alpha_from_tau(-0.0, 48000.0) == -INF


def test_midi_60_carries_two_roundings():
    got = kavrel.midi_to_hz(60, 440.0)
    power = exp2f(F(-0.75))
    assert got == float(power * F(440.0))
    exact = 440.0 * 2.0**-0.75
    assert got != exact
    assert got != float(F(exact))


def test_midi_fractional_and_negative_notes():
    for midi in (69.5, -1, -1.0, 0, 127, 60.25, -0.5):
        check_result(kavrel.midi_to_hz(midi, 440.0), ref_midi_to_hz(midi, 440.0), repr(midi))
    assert kavrel.midi_to_hz(69.5, 440.0) > 440.0
    assert 0.0 < kavrel.midi_to_hz(-1, 440.0) < 8.2


def test_alpha_from_tau_exponent_grouping():
    # The exponent is (-1/s)/tau; find inputs where -1/(s*tau) rounds
    # differently and check the module follows the first grouping.
    rng = np.random.default_rng(7)
    found = 0
    for tau, s in zip(
        (10.0 ** rng.uniform(-5, 1, 4000)).tolist(), rng.uniform(100, 96000, 4000).tolist()
    ):
        t, sr = F(tau), F(s)
        x1 = (F(-1.0) / sr) / t
        x2 = F(-1.0) / (sr * t)
        if x1 != x2 and F(1.0) - expf(x1) != F(1.0) - expf(x2):
            check_result(kavrel.alpha_from_tau(tau, s), ref_alpha_from_tau(tau, s), f"({tau}, {s})")
            found += 1
    assert found > 0


def test_alpha_from_tau_small_factor():
    s = 48000.0
    tau = 2.0
    got = kavrel.alpha_from_tau(tau, s)
    assert got > 0.0
    assert got == pytest.approx(1.0 / (tau * s), rel=1e-2)


def test_alpha_from_tau_negative_tau_gives_negative_factor():
    assert kavrel.alpha_from_tau(-0.01, 48000.0) < 0.0


@pytest.mark.parametrize(
    "call",
    [
        lambda: kavrel.heuristic_alpha(-1000.0, 48000.0),
        lambda: kavrel.heuristic_alpha(-2.0, 44100.0),
        lambda: kavrel.heuristic_alphas(np.array([5.0, -3.0], F), 48000.0)[1],
        lambda: kavrel.tau_from_alpha(1.5, 48000.0),
        lambda: kavrel.tau_from_alpha(INF, 48000.0),
    ],
)
def test_logarithm_of_a_negative_number_is_the_signed_nan(call):
    # Whatever sign the C library gives that NaN (glibc 2.43's compatibility
    # log10f gives it none), the result's bits are the same everywhere.
    assert bits32(float(call())) == 0xFFC00000


def test_tau_from_alpha_signs():
    assert kavrel.tau_from_alpha(-0.1, 48000.0) < 0.0
    assert math.isnan(kavrel.tau_from_alpha(2.0, 48000.0))
    small = kavrel.tau_from_alpha(1e-4, 48000.0)
    assert small == pytest.approx(1.0 / (1e-4 * 48000.0), rel=1e-3)


@pytest.mark.parametrize("s", [8000.0, 44100.0, 48000.0, 96000.0])
def test_round_trip_is_close_but_not_exact(s):
    alpha = kavrel.alpha_from_tau(1.0, s)
    tau = kavrel.tau_from_alpha(alpha, s)
    check_result(tau, ref_tau_from_alpha(alpha, s), "round trip")
    assert tau != 1.0
    assert abs(tau - 1.0) < 0.01


def test_heuristic_alpha_440_is_single_precision_rule():
    s = 48000.0
    got = kavrel.heuristic_alpha(440.0, s)
    check_result(got, ref_heuristic_alpha(440.0, s))
    closed = 1.0 - math.exp(-440.0 / (s * math.log10(441.0)))
    assert got != closed
    assert got == pytest.approx(closed, rel=1e-4)


def test_heuristic_alpha_is_alpha_from_tau_of_periods():
    # The rule is a time constant of log10(f + 1) periods.
    for f in (20.0, 440.0, 1000.0, 10000.0):
        tau = math.log10(f + 1.0) / f
        assert kavrel.heuristic_alpha(f, 48000.0) == pytest.approx(
            kavrel.alpha_from_tau(tau, 48000.0), rel=1e-3
        )


# ---------------------------------------------------------------------------
# Argument forms
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(FUNCS))
@pytest.mark.parametrize("a,b", [(3, 440), (69, 48000), (-1, 2), (0, 1)])
def test_int_arguments_equal_floats(name, a, b):
    func, _ = FUNCS[name]
    assert same(func(a, b), func(float(a), float(b)))
    assert same(func(a, b), func(AsIndex(a), AsFloat(float(b))))
    assert same(func(a, b), func(SubFloat(a), np.float64(b)))


@pytest.mark.parametrize("name", sorted(FUNCS))
def test_keyword_names(name):
    func, ref = FUNCS[name]
    first, second = {
        "midi_to_hz": ("midi", "tuning"),
        "alpha_from_tau": ("tau", "sample_rate"),
        "tau_from_alpha": ("alpha", "sample_rate"),
        "heuristic_alpha": ("freq", "sample_rate"),
    }[name]
    expected = func(0.25, 1000.0)
    assert same(func(**{first: 0.25, second: 1000.0}), expected)
    assert same(func(**{second: 1000.0, first: 0.25}), expected)
    assert same(func(0.25, **{second: 1000.0}), expected)
    check_result(expected, ref(0.25, 1000.0))


@pytest.mark.parametrize(
    "name,param",
    [
        ("midi_to_hz", "midi"),
        ("alpha_from_tau", "tau"),
        ("tau_from_alpha", "alpha"),
        ("heuristic_alpha", "freq"),
    ],
)
@pytest.mark.parametrize(
    "bad,exc", [("1", TypeError), (None, TypeError), (2**1024, OverflowError), (1j, TypeError)]
)
def test_string_and_bad_arguments_name_the_parameter(name, param, bad, exc):
    func, _ = FUNCS[name]
    with pytest.raises(exc) as info:
        func(bad, 1.0)
    assert notes(info.value) == argument_notes(param)
    second = "tuning" if name == "midi_to_hz" else "sample_rate"
    with pytest.raises(exc) as info:
        func(1.0, bad)
    assert notes(info.value) == argument_notes(second)
