"""The call layer: argument binding, scalar and index conversions, argument
notes, instance borrows and internal failures (PanicException and its report
on standard error)."""

import ctypes
import decimal
import fractions
import math
import os
import re
import sys

import numpy as np
import pytest

import kavrel
from support import (
    ENTRIES,
    NO_ARGUMENT_METHODS,
    READOUT_METHODS,
    REPO,
    WITH_ARGUMENTS,
    AsFloat,
    AsIndex,
    F,
    SubFloat,
    argument_notes,
    needs_notes,
    notes,
    panic_type,
    run_script,
)

FREQS = [440.0, 880.0, 1320.0]


def make_bank():
    return kavrel.ResonatorBank(np.array(FREQS, dtype=F), 48000.0)


@pytest.fixture
def bank():
    return make_bank()


# ---------------------------------------------------------------------------
# The entry points that take arguments (tests/support.py), a valid value for
# each parameter, and CPython's own messages as the reference for binding.
# ---------------------------------------------------------------------------

VALID = {
    "freqs": lambda: np.array([440.0, 880.0], dtype=F),
    "sample_rate": lambda: 48000.0,
    "i": lambda: 1,
    "sample": lambda: 0.5,
    "samples": lambda: np.linspace(-1, 1, 16, dtype=F),
    "signal": lambda: np.linspace(-1, 1, 16, dtype=F),
    "hop": lambda: 4,
    "midi": lambda: 60.0,
    "tuning": lambda: 440.0,
    "tau": lambda: 0.01,
    "alpha": lambda: 0.1,
    "freq": lambda: 440.0,
}

# Each entry point's record: the entry, how the module names it in messages and
# its positional parameters.
RECORDS = [(e, e.display, list(e.positional)) for e in WITH_ARGUMENTS]
RECORD_IDS = [e.name for e in WITH_ARGUMENTS]


def target(entry, bank):
    return entry.target(bank)


def valid_args(names):
    return [VALID[n]() for n in names]


def python_twin(entry):
    """A Python function with the parameters of `entry`."""
    params = list(entry.positional)
    if entry.keyword_only:
        params += ["*"] + [f"{name}=None" for name in entry.keyword_only]
    namespace = {}
    exec(f"def twin({', '.join(params)}):\n    pass\n", namespace)
    return namespace["twin"]


def python_message(entry, *args, **kwargs):
    """CPython's message for the same call of a Python function with the same
    parameters, with the callable named as the module names it. From 3.13
    CPython appends a spelling suggestion to an unexpected keyword ("Did you
    mean 'freq'?"); the module's messages carry none, so it is left out."""
    with pytest.raises(TypeError) as info:
        python_twin(entry)(*args, **kwargs)
    message = re.sub(r"\. Did you mean '[^']*'\?$", "", str(info.value))
    assert message.startswith("twin() "), message
    return entry.display + message[len("twin()") :]


def binding_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert notes(info.value) is None, "binding errors carry no note"
    return str(info.value)


# ---------------------------------------------------------------------------
# Binding
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
@pytest.mark.parametrize("extra", [1, 2, 4])
def test_too_many_positional(bank, key, full, names, extra):
    f = target(key, bank)
    args = valid_args(names) + [0.0] * extra
    # Counted without self, as for a plain function; but where CPython says
    # "1 positional argument", the module keeps its plural for every count.
    expected = python_message(key, *args).replace(
        " takes 1 positional argument but ", " takes 1 positional arguments but "
    )
    assert binding_error(lambda: f(*args)) == expected


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
def test_too_many_positional_beats_keyword_errors(bank, key, full, names):
    # Unlike CPython, which reports the keyword errors first, the module checks
    # the positional count before it looks at any keyword.
    f = target(key, bank)
    args = valid_args(names) + [0.0]
    msg = binding_error(lambda: f(*args, bogus=1, **{names[0]: 1}))
    assert msg == f"{full} takes {len(names)} positional arguments but {len(args)} were given"


def test_positional_examples(bank):
    assert binding_error(lambda: bank.freq(1, 2)) == (
        "ResonatorBank.freq() takes 1 positional arguments but 2 were given"
    )
    a = np.array([440.0], dtype=F)
    assert binding_error(lambda: kavrel.ResonatorBank(a, 48000.0, a)) == (
        "ResonatorBank.__new__() takes 2 positional arguments but 3 were given"
    )
    assert binding_error(lambda: kavrel.ResonatorBank(a, 48000.0, a, a)) == (
        "ResonatorBank.__new__() takes 2 positional arguments but 4 were given"
    )


class StrKey(str):
    pass


def call_with_raw_kwargs(f, args, kwargs):
    """Call f with a keyword dictionary that Python syntax would refuse."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(f, tuple(args), kwargs)


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
@pytest.mark.parametrize(
    "bad", ["bogus", "gammas", "\udcff", "fr\u00e9q", "I", "", "self", "alphas_", "\U0001f3b5"]
)
def test_unexpected_keyword(bank, key, full, names, bad):
    if bad in names:
        pytest.skip("a real parameter name")
    f = target(key, bank)
    args = valid_args(names)
    msg = binding_error(lambda: f(*args, **{bad: 1}))
    assert msg == python_message(key, *args, **{bad: 1})


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
def test_keyword_with_embedded_nul_is_not_a_parameter(bank, key, full, names):
    # Keys are compared as whole UTF-8 byte strings: a trailing NUL makes a
    # different name.
    f = target(key, bank)
    for name in names:
        bad = name + "\x00"
        kwargs = {n: v for n, v in zip(names, valid_args(names)) if n != name}
        kwargs[bad] = VALID[name]()
        msg = binding_error(lambda: f(**kwargs))
        assert msg == python_message(key, **kwargs)


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
@pytest.mark.parametrize("bad", [1, (1, 2), None, b"i", 2.5])
def test_non_str_keyword_key(bank, key, full, names, bad):
    # CPython refuses such a key with "keywords must be strings"; the module
    # reports it, like any key that names no parameter, as unexpected.
    f = target(key, bank)
    with pytest.raises(TypeError) as info:
        call_with_raw_kwargs(f, valid_args(names), {bad: 1})
    assert str(info.value) == f"{full} got an unexpected keyword argument '{bad!s}'"
    assert notes(info.value) is None


def test_non_str_key_fails_before_later_keys(bank):
    # The first offending key in dictionary order decides the message.
    with pytest.raises(TypeError) as info:
        call_with_raw_kwargs(kavrel.midi_to_hz, [60.0], {7: 1, "midi": 2})
    assert str(info.value) == "midi_to_hz() got an unexpected keyword argument '7'"
    with pytest.raises(TypeError) as info:
        call_with_raw_kwargs(kavrel.midi_to_hz, [60.0], {"midi": 2, 7: 1})
    assert str(info.value) == "midi_to_hz() got multiple values for argument 'midi'"


@pytest.mark.parametrize(
    "args,kwargs,expected",
    [
        ((60,), {"bogus": 1, "midi": 2}, "midi_to_hz() got an unexpected keyword argument 'bogus'"),
        ((60,), {"midi": 2, "bogus": 1}, "midi_to_hz() got multiple values for argument 'midi'"),
        # Keyword errors come before the missing-argument check.
        ((), {"bogus": 1}, "midi_to_hz() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_keyword_order_decides_first_error(args, kwargs, expected):
    assert binding_error(lambda: kavrel.midi_to_hz(*args, **kwargs)) == expected
    assert python_message(ENTRIES["midi_to_hz"], *args, **kwargs) == expected


def test_str_subclass_keys_bind(bank):
    assert kavrel.midi_to_hz(**{StrKey("midi"): 69, StrKey("tuning"): 440.0}) == 440.0
    assert bank.freq(**{StrKey("i"): 2}) == 1320.0
    assert binding_error(lambda: kavrel.midi_to_hz(69, **{StrKey("nope"): 1})) == (
        "midi_to_hz() got an unexpected keyword argument 'nope'"
    )


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
def test_multiple_values(bank, key, full, names):
    f = target(key, bank)
    args = valid_args(names)
    for pos, name in enumerate(names):
        msg = binding_error(lambda: f(*args[: pos + 1], **{name: args[pos]}))
        assert msg == python_message(key, *args[: pos + 1], **{name: args[pos]})


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
def test_missing(bank, key, full, names):
    f = target(key, bank)
    args = valid_args(names)
    calls = [((), {})]  # nothing given
    if len(names) == 2:
        # Only the first, by position or by keyword; only the second, by keyword.
        calls += [((args[0],), {}), ((), {names[0]: args[0]}), ((), {names[1]: args[1]})]
    for given, by_name in calls:
        msg = binding_error(lambda: f(*given, **by_name))
        assert msg == python_message(key, *given, **by_name)


def test_missing_examples():
    assert binding_error(lambda: kavrel.midi_to_hz(60)) == (
        "midi_to_hz() missing 1 required positional argument: 'tuning'"
    )
    assert binding_error(lambda: kavrel.ResonatorBank()) == (
        "ResonatorBank.__new__() missing 2 required positional arguments: 'freqs' and 'sample_rate'"
    )
    assert binding_error(lambda: kavrel.heuristic_alpha()) == (
        "heuristic_alpha() missing 2 required positional arguments: 'freq' and 'sample_rate'"
    )
    # Keyword-only parameters do not make a missing positional count.
    assert binding_error(lambda: kavrel.ResonatorBank(alphas=None)) == (
        "ResonatorBank.__new__() missing 2 required positional arguments: 'freqs' and 'sample_rate'"
    )


def outcome(f, *args, **kwargs):
    r = f(*args, **kwargs)
    if isinstance(r, np.ndarray):
        return (r.dtype.str, r.shape, r.tobytes())
    return r


@pytest.mark.parametrize("key,full,names", RECORDS, ids=RECORD_IDS)
def test_every_parameter_binds_by_keyword(key, full, names):
    args = valid_args(names)
    positional = outcome(target(key, make_bank()), *args)
    kw = dict(zip(names, args))
    by_keyword = outcome(target(key, make_bank()), **kw)
    reversed_kw = outcome(target(key, make_bank()), **dict(reversed(list(kw.items()))))
    mixed = outcome(target(key, make_bank()), args[0], **dict(list(kw.items())[1:]))
    if key.owner == "class":
        for r in (positional, by_keyword, reversed_kw, mixed):
            assert type(r) is kavrel.ResonatorBank
            assert r.frequencies().tolist() == [440.0, 880.0]
        return
    for r in (by_keyword, reversed_kw, mixed):
        if isinstance(positional, float) and math.isnan(positional):
            assert math.isnan(r)
        else:
            assert r == positional


def test_constructor_keyword_only_parameters():
    freqs = np.array([440.0, 880.0], dtype=F)
    alphas = np.array([0.5, 0.25], dtype=F)
    sig = np.linspace(-1, 1, 32, dtype=F)
    default = kavrel.ResonatorBank(freqs, 48000.0).resonate(sig, 8)
    explicit_none = kavrel.ResonatorBank(freqs, 48000.0, alphas=None, betas=None).resonate(sig, 8)
    assert default.tobytes() == explicit_none.tobytes()
    with_alphas = kavrel.ResonatorBank(freqs, 48000.0, alphas=alphas).resonate(sig, 8)
    assert with_alphas.tobytes() != default.tobytes()
    kw_all = kavrel.ResonatorBank(betas=None, alphas=alphas, sample_rate=48000.0, freqs=freqs)
    assert kw_all.resonate(sig, 8).tobytes() == with_alphas.tobytes()
    assert binding_error(lambda: kavrel.ResonatorBank(freqs, 48000.0, gammas=alphas)) == (
        "ResonatorBank.__new__() got an unexpected keyword argument 'gammas'"
    )
    assert binding_error(lambda: kavrel.ResonatorBank(freqs, 48000.0, None)) == (
        "ResonatorBank.__new__() takes 2 positional arguments but 3 were given"
    )


@pytest.mark.parametrize("name", NO_ARGUMENT_METHODS)
def test_no_argument_methods_are_checked_by_interpreter(bank, name):
    with pytest.raises(TypeError) as info:
        getattr(bank, name)(1)
    assert str(info.value) == f"ResonatorBank.{name}() takes no arguments (1 given)"
    with pytest.raises(TypeError) as info:
        getattr(bank, name)(x=1)
    assert "takes no keyword arguments" in str(info.value)


class Recorder:
    """A real number that records each conversion."""

    def __init__(self, value=1.0):
        self.value = value
        self.calls = 0

    def __float__(self):
        self.calls += 1
        return self.value

    def __index__(self):
        self.calls += 1
        return int(self.value)


@pytest.mark.parametrize(
    "key,full,names",
    [r for r in RECORDS if r[0].owner != "class"],
    ids=[r[0].name for r in RECORDS if r[0].owner != "class"],
)
def test_binding_failure_converts_nothing(bank, key, full, names):
    f = target(key, bank)
    rec = Recorder()
    with pytest.raises(TypeError):
        f(*([rec] * (len(names) + 1)))
    with pytest.raises(TypeError):
        f(rec, bogus=rec)
    if len(names) == 2:
        with pytest.raises(TypeError):
            f(rec)
    assert rec.calls == 0


# ---------------------------------------------------------------------------
# Real-number conversion. midi_to_hz(69, x) is the single-precision value of
# x: the power is exp2f(0) = 1 exactly.
# ---------------------------------------------------------------------------


def narrowed(x):
    return kavrel.midi_to_hz(69, x)


def f32_bits(x):
    with np.errstate(over="ignore"):
        return int(np.array(x, dtype=np.float64).astype(F).view(np.uint32))


class SubInt(int):
    pass


@pytest.mark.parametrize(
    "value,expected",
    [
        (1, 1.0),
        (0, 0.0),
        (-1, -1.0),
        (True, 1.0),
        (False, 0.0),
        (SubFloat(2.5), 2.5),
        (SubInt(3), 3.0),
        (AsFloat(-1.0), -1.0),
        (AsFloat(0.75), 0.75),
        (AsIndex(-1), -1.0),
        (AsIndex(12), 12.0),
        (np.float64(0.1), float(F(0.1))),
        (np.float32(0.1), float(F(0.1))),
        (np.int64(-7), -7.0),
        (np.float16(0.5), 0.5),
        (fractions.Fraction(1, 3), float(F(1 / 3))),
        (decimal.Decimal("0.1"), float(F(0.1))),
        (16777217, 16777216.0),
        (2**100, 2.0**100),
        (10**39, math.inf),
        (-(10**39), -math.inf),
        (1e39, math.inf),
        (-1e39, -math.inf),
        (1.0 + 2.0**-24, 1.0),
        (1.0 + 3 * 2.0**-24, 1.0 + 2.0**-22),
        (1.0 + 2.0**-24 + 2.0**-52, 1.0 + 2.0**-23),
        (3.4028235677973366e38, math.inf),
        (3.4028235677973362e38, 3.4028234663852886e38),
        (2.0**-149, 2.0**-149),
        (2.0**-150, 0.0),
        (-(2.0**-150), -0.0),
        (1.5 * 2.0**-150, 2.0**-149),
        (1e-300, 0.0),
        (-1e-300, -0.0),
        (math.nan, math.nan),
        (math.inf, math.inf),
    ],
)
def test_real_conversion_narrows_once(value, expected):
    got = narrowed(value)
    assert type(got) is float
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == expected and math.copysign(1, got) == math.copysign(1, expected)
    assert f32_bits(got) == f32_bits(float(value))


def test_real_conversion_random_doubles():
    rng = np.random.default_rng(11)
    values = rng.standard_normal(300) * 10.0 ** rng.integers(-46, 40, 300)
    for v in values.tolist():
        assert f32_bits(narrowed(v)) == f32_bits(v), v


class Boom(Exception):
    pass


class RaisingFloat:
    def __float__(self):
        raise Boom("no float")


class WrongFloat:
    def __float__(self):
        return "1.0"


@pytest.mark.parametrize(
    "value,exc,message",
    [
        ("1", TypeError, "must be real number, not str"),
        (None, TypeError, "must be real number, not NoneType"),
        # Before Python 3.10 complex had a __float__ that raised its own TypeError.
        (
            1j,
            TypeError,
            "must be real number, not complex"
            if sys.version_info >= (3, 10)
            else "can't convert complex to float",
        ),
        ([1.0], TypeError, "must be real number, not list"),
        (2**1024, OverflowError, "int too large to convert to float"),
        (AsIndex(2**1024), OverflowError, "int too large to convert to float"),
        (RaisingFloat(), Boom, "no float"),
        # Python 3.15 reworded the interpreter's message.
        (
            WrongFloat(),
            TypeError,
            "test_binding.WrongFloat.__float__() must return a float, not str"
            if sys.version_info >= (3, 15)
            else "WrongFloat.__float__ returned non-float (type str)",
        ),
    ],
)
def test_real_conversion_failures_carry_note(bank, value, exc, message):
    cases = [
        (lambda: kavrel.midi_to_hz(value, 440.0), "midi"),
        (lambda: kavrel.midi_to_hz(69, value), "tuning"),
        (lambda: kavrel.alpha_from_tau(value, 1.0), "tau"),
        (lambda: kavrel.tau_from_alpha(value, 1.0), "alpha"),
        (lambda: kavrel.tau_from_alpha(0.5, value), "sample_rate"),
        (lambda: kavrel.heuristic_alpha(value, 1.0), "freq"),
        (lambda: kavrel.heuristic_alphas(np.ones(3, F), value), "sample_rate"),
        (lambda: bank.process_sample(value), "sample"),
        (lambda: kavrel.ResonatorBank(np.ones(2, F), value), "sample_rate"),
    ]
    for call, name in cases:
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc
        assert str(info.value) == message
        assert notes(info.value) == argument_notes(name)


def test_conversion_order_stops_at_first_failure():
    rec = Recorder(2.0)
    with pytest.raises(TypeError) as info:
        kavrel.midi_to_hz("x", rec)
    assert notes(info.value) == argument_notes("midi")
    assert rec.calls == 0
    with pytest.raises(TypeError) as info:
        kavrel.midi_to_hz(rec, "x")
    assert notes(info.value) == argument_notes("tuning")
    assert rec.calls == 1
    # Keyword order does not change the conversion order.
    rec = Recorder(2.0)
    with pytest.raises(TypeError) as info:
        kavrel.heuristic_alpha(sample_rate=rec, freq="x")
    assert notes(info.value) == argument_notes("freq")
    assert rec.calls == 0


@needs_notes
def test_note_is_appended_to_existing_notes():
    class Noted:
        def __float__(self):
            e = Boom("inner")
            e.add_note("first")
            raise e

    with pytest.raises(Boom) as info:
        kavrel.midi_to_hz(Noted(), 440.0)
    assert info.value.__notes__ == ["first", "while processing 'midi'"]


class NoNoteError(Exception):
    def add_note(self, note):
        raise RuntimeError("refusing notes")


class NoneNoteError(Exception):
    add_note = None


# The layer calls add_note on whatever exception has one, so these exceptions'
# own add_note is met on every interpreter, also on those before 3.11.
@pytest.mark.parametrize("exc_type", [NoNoteError, NoneNoteError])
def test_failed_add_note_is_discarded(exc_type):
    class Raiser:
        def __float__(self):
            raise exc_type("original")

    with pytest.raises(exc_type) as info:
        kavrel.midi_to_hz(Raiser(), 440.0)
    assert str(info.value) == "original"
    assert notes(info.value) is None
    assert info.value.__context__ is None


def test_process_sample_int_equals_float_and_huge_feeds_infinity():
    a, b = make_bank(), make_bank()
    a.process_sample(1)
    b.process_sample(1.0)
    assert a.powers().tobytes() == b.powers().tobytes()
    c, d = make_bank(), make_bank()
    c.process_sample(1e39)
    d.process_sample(math.inf)
    assert c.powers().tobytes() == d.powers().tobytes()


# ---------------------------------------------------------------------------
# Unsigned index conversion (i and hop)
# ---------------------------------------------------------------------------


class IntWithIndex(int):
    def __index__(self):
        return 2


@pytest.mark.parametrize(
    "value,channel",
    [
        (0, 0),
        (1, 1),
        (2, 2),
        (True, 1),
        (False, 0),
        (np.int64(2), 2),
        (np.uint64(1), 1),
        (np.int8(0), 0),
        (AsIndex(2), 2),
        (SubInt(1), 1),
        # An int subclass is read as an int; its __index__ is not consulted.
        (IntWithIndex(0), 0),
    ],
)
def test_index_conversion_accepts(bank, value, channel):
    assert bank.freq(value) == FREQS[channel]
    assert bank.freq(i=value) == FREQS[channel]
    for name in READOUT_METHODS:
        assert getattr(bank, name)(value) == getattr(bank, name)(channel)


@pytest.mark.parametrize(
    "value,exc,message",
    [
        (0.0, TypeError, "'float' object cannot be interpreted as an integer"),
        (np.float32(1), TypeError, "'numpy.float32' object cannot be interpreted as an integer"),
        ("0", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (-(2**70), OverflowError, "can't convert negative int to unsigned"),
        (AsIndex(-1), OverflowError, "can't convert negative int to unsigned"),
        (np.int64(-1), OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (AsIndex(2**64), OverflowError, "int too big to convert"),
        (
            AsIndex(1.5),
            TypeError,
            "support.AsIndex.__index__() must return an int, not float"
            if sys.version_info >= (3, 15)
            else "__index__ returned non-int (type float)",
        ),
    ],
)
def test_index_conversion_refuses(bank, value, exc, message):
    sig = np.zeros(8, F)
    for name in READOUT_METHODS:
        with pytest.raises(exc) as info:
            getattr(bank, name)(value)
        assert type(info.value) is exc
        assert str(info.value) == message
        assert notes(info.value) == argument_notes("i")
    with pytest.raises(exc) as info:
        bank.resonate(sig, value)
    assert str(info.value) == message
    assert notes(info.value) == argument_notes("hop")


@pytest.mark.parametrize("name", READOUT_METHODS)
@pytest.mark.parametrize("index", [3, 4, 2**63, 2**64 - 1])
def test_index_beyond_channels_is_internal_failure(bank, name, index):
    with pytest.raises(BaseException) as info:
        getattr(bank, name)(index)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == f"index out of bounds: the len is 3 but the index is {index}"
    assert notes(info.value) is None
    # The bank is usable afterwards: the shared borrow was released.
    bank.reset()
    assert bank.freq(0) == 440.0


@pytest.mark.parametrize(
    "hop,frames",
    [
        (True, 16),
        (np.int64(4), 4),
        (AsIndex(5), 3),
        (np.uint64(2**64 - 1), 0),
        (2**64 - 1, 0),
        (17, 0),
    ],
)
def test_hop_conversion(bank, hop, frames):
    out = bank.resonate(np.ones(16, F), hop)
    assert out.shape == (frames, 3)
    assert out.dtype == np.complex64


def test_hop_zero_is_internal_failure(bank):
    with pytest.raises(BaseException) as info:
        bank.resonate(np.ones(16, F), 0)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "attempt to divide by zero"
    bank.reset()


# ---------------------------------------------------------------------------
# Instance borrows, observed from inside an argument conversion: the borrow
# is taken after binding and before conversion.
# ---------------------------------------------------------------------------


def attempt(call):
    try:
        r = call()
    except BaseException as e:  # noqa: B902 - PanicException included
        return (type(e).__name__, str(e), notes(e))
    return ("ok", r)


class Hook:
    """Runs a list of calls when converted, recording their outcomes."""

    def __init__(self, calls, value=1.0):
        self.calls = calls
        self.value = value
        self.seen = None

    def _run(self):
        self.seen = [attempt(c) for c in self.calls]

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)


def probes(b, other):
    return [
        lambda: b.freq(0),  # shared
        lambda: b.phases(),  # shared, no arguments
        lambda: len(b),  # shared, length slot
        lambda: b.reset(),  # exclusive, no arguments
        lambda: b.process_sample(1.0),  # exclusive
        lambda: b.freq(1, 2),  # binding error comes first
        lambda: b.freq("x"),  # borrow error before conversion
        lambda: b.process_sample("x"),  # borrow error before conversion
        lambda: other.freq(0),  # another bank is free
        lambda: kavrel.midi_to_hz(69, 440.0),  # functions are free
    ]


BINDING = ("TypeError", "ResonatorBank.freq() takes 1 positional arguments but 2 were given", None)
MUT = ("RuntimeError", "Already mutably borrowed", None)
EXCL = ("RuntimeError", "Already borrowed", None)


@pytest.mark.parametrize("how", ["process_sample", "resonate_hop", "process_sample_kw"])
def test_exclusive_borrow_seen_during_conversion(how):
    b, other = make_bank(), make_bank()
    hook = Hook(probes(b, other), value=1)
    if how == "process_sample":
        b.process_sample(hook)
    elif how == "process_sample_kw":
        b.process_sample(sample=hook)
    else:
        b.resonate(np.zeros(4, F), hook)
    assert hook.seen == [
        MUT,
        MUT,
        MUT,
        EXCL,
        EXCL,
        BINDING,
        MUT,
        EXCL,
        ("ok", 440.0),
        ("ok", 440.0),
    ]
    # Released afterwards.
    assert b.freq(0) == 440.0
    b.reset()


@pytest.mark.parametrize("name", READOUT_METHODS)
def test_shared_borrow_seen_during_conversion(name):
    b, other = make_bank(), make_bank()
    hook = Hook(probes(b, other), value=0)
    getattr(b, name)(hook)
    seen = hook.seen
    assert seen[0] == ("ok", 440.0)
    assert seen[1][0] == "ok"
    assert seen[2] == ("ok", 3)
    assert seen[3] == EXCL
    assert seen[4] == EXCL
    assert seen[5] == BINDING
    assert seen[6] == (
        "TypeError",
        "'str' object cannot be interpreted as an integer",
        argument_notes("i"),
    )
    assert seen[7] == EXCL
    assert seen[8:] == [("ok", 440.0), ("ok", 440.0)]
    b.reset()


def test_borrows_released_after_failures():
    b = make_bank()

    def fails_inside():
        raise Boom("x")

    class Raising:
        def __float__(self):
            fails_inside()

        def __index__(self):
            fails_inside()

    for call, name in (
        (lambda: b.process_sample(Raising()), "sample"),
        (lambda: b.freq(Raising()), "i"),
        (lambda: b.resonate(np.zeros(4, F), Raising()), "hop"),
    ):
        with pytest.raises(Boom) as info:
            call()
        assert notes(info.value) == argument_notes(name)
    with pytest.raises(panic_type()):
        b.freq(99)
    with pytest.raises(panic_type()):
        b.resonate(np.zeros(4, F), 0)
    with pytest.raises(TypeError):
        b.process_samples(np.zeros(8, F)[::2])
    # Both borrow kinds are free again.
    b.reset()
    assert b.freq(0) == 440.0
    assert len(b) == 3


# ---------------------------------------------------------------------------
# PanicException
# ---------------------------------------------------------------------------


def catch_panic(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def test_panic_exception_type(bank):
    e = catch_panic(lambda: bank.freq(3))
    t = type(e)
    assert t.__name__ == "PanicException"
    assert t.__bases__ == (BaseException,)
    assert not isinstance(e, Exception)
    assert t.__module__ != "kavrel"
    assert not hasattr(kavrel, "PanicException")
    assert not any(getattr(kavrel, n) is t for n in dir(kavrel))
    assert e.args == ("index out of bounds: the len is 3 but the index is 3",)
    assert str(e) == "index out of bounds: the len is 3 but the index is 3"
    assert "BaseException" in (t.__doc__ or "")
    # One type for every internal failure, every time.
    assert type(catch_panic(lambda: bank.power(7))) is t
    assert type(catch_panic(lambda: bank.resonate(np.zeros(2, F), 0))) is t
    assert type(catch_panic(lambda: make_bank().complex(2**64 - 1))) is t


def test_panic_not_caught_by_except_exception(bank):
    caught = None
    try:
        try:
            bank.freq(5)
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as e:
        caught = type(e).__name__
    assert caught == "PanicException"


HEADER = re.compile(r"^thread '([^']*)' \((\d+)\) panicked at (.+):(\d+):(\d+):$")


def check_location(path, line, column, under):
    # The same text on every platform: '/' between the parts, never '\\'.
    assert "\\" not in path and not os.path.isabs(path), path
    assert path.startswith(under), path
    full = os.path.join(REPO, path)
    assert os.path.isfile(full), path
    with open(full, encoding="utf-8") as fh:
        lines = fh.read().split("\n")
    assert 1 <= line <= len(lines)
    assert 1 <= column <= len(lines[line - 1]) + 1


def test_panic_report_on_standard_error():
    result = run_script("""
        import threading
        import numpy as np
        import kavrel
        b = kavrel.ResonatorBank(np.array([1.0, 2.0], np.float32), 8.0)
        print(threading.current_thread().name, threading.get_ident(), flush=True)
        for i in (2, 9):
            try:
                b.freq(i)
            except BaseException as e:
                print(type(e).__name__, e, flush=True)
        try:
            b.resonate(np.zeros(4, np.float32), 0)
        except BaseException as e:
            print(type(e).__name__, e, flush=True)
    """)
    assert result.returncode == 0, result.stderr
    out = result.stdout.splitlines()
    thread_name, ident = out[0].split()
    assert out[1:] == [
        "PanicException index out of bounds: the len is 2 but the index is 2",
        "PanicException index out of bounds: the len is 2 but the index is 9",
        "PanicException attempt to divide by zero",
    ]
    err = result.stderr.split("\n")
    assert err[-1] == ""
    err = err[:-1]
    # First report: blank line, header, message, one-line hint.
    assert len(err) == 4 + 3 + 3, result.stderr
    assert err[0] == ""
    m = HEADER.match(err[1])
    assert m, err[1]
    assert m.group(1) in (thread_name, "main", "<unnamed>")
    assert m.group(2) == ident
    first_location = m.group(3, 4, 5)
    check_location(m.group(3), int(m.group(4)), int(m.group(5)), "engine/")
    assert err[2] == "index out of bounds: the len is 2 but the index is 2"
    assert err[3] and "backtrace" in err[3]
    # Later reports: no hint.
    assert err[4] == ""
    m = HEADER.match(err[5])
    assert m, err[5]
    assert m.group(3, 4, 5) == first_location
    assert err[6] == "index out of bounds: the len is 2 but the index is 9"
    assert err[7] == ""
    m = HEADER.match(err[8])
    assert m, err[8]
    check_location(m.group(3), int(m.group(4)), int(m.group(5)), "engine/")
    assert m.group(3, 4, 5) != first_location
    assert err[9] == "attempt to divide by zero"


def test_panic_report_names_other_threads():
    result = run_script("""
        import threading
        import numpy as np
        import kavrel
        b = kavrel.ResonatorBank(np.array([1.0], np.float32), 8.0)
        out = []
        def work():
            try:
                b.freq(1)
            except BaseException as e:
                out.append(type(e).__name__)
        t = threading.Thread(target=work, name="worker-7")
        t.start(); t.join()
        print(out[0])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PanicException"
    err = result.stderr.split("\n")
    assert err[0] == ""
    m = HEADER.match(err[1])
    assert m, result.stderr
    assert m.group(1) in ("worker-7", "<unnamed>")
    assert err[2] == "index out of bounds: the len is 1 but the index is 1"
