"""Property-based fuzzing of the whole call surface.

Each example builds a small bank and makes a few calls on it (or on the
module functions and the constructor) with arguments drawn from a hostile
mix: wrong types, huge and negative integers, NumPy scalars, arrays of every
dtype and layout, odd keyword names, and objects whose __float__/__index__
raise, return odd types, or change other arguments of the same call (an
array's dtype or shape, the keyword dictionary that holds the other
arguments). Every call must give a result or an ordinary exception, the
bank must stay usable, and a successful call must have computed from the
elements that were checked: a twin bank fed with untouched copies of the
arguments must agree bit for bit.

The suite runs a fixed, bounded set of examples. A longer run of the same
generator:

    KAVREL_FUZZ_EXAMPLES=160000 python tests/test_fuzz.py

runs that many examples of each of the two tests (in chunks of 2,000 with
the fixed seeds 0, 1, 2, ...), over a million calls, and prints their
number, the time taken and the outcomes by kind ("surface" or "hooks" after
the file name runs one of the two tests) after every chunk. Standard
error, where PanicException reports go, is written to a file whose name it
prints.
"""

import collections
import fractions
import gc
import os
import sys
import time
import weakref

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kavrel
from support import ENTRIES, KINDS, F, panic_type
from support import SURFACE as ENTRY_TABLE

EXAMPLES = int(os.environ.get("KAVREL_FUZZ_EXAMPLES", "200"))

# Outcomes of fuzzed calls by kind, for the long run's summary.
OUTCOMES = collections.Counter()

# The call surface (tests/support.py): entry point -> (positional names,
# keyword-only names); KINDS gives each parameter's kind.
SURFACE = {e.name: (list(e.positional), list(e.keyword_only)) for e in ENTRY_TABLE}
# Calls that may end in PanicException: a channel index out of range, a zero hop.
MAY_PANIC = {"freq", "magnitude", "phase", "power", "complex", "resonate"}
CHANGES_STATE = {"process_sample", "process_samples", "resonate", "reset"}

# ---------------------------------------------------------------------------
# Recipes. Hypothesis draws plain descriptions; the objects are built from
# them right before the call, so that the call's argument tuple and keyword
# dictionary hold the only references to them.
# ---------------------------------------------------------------------------

DTYPES = [
    "?",
    "i1",
    "u1",
    "i2",
    "u2",
    "i4",
    "u4",
    "i8",
    "u8",
    "f2",
    "f4",
    "f8",
    "g",
    "c8",
    "c16",
    "O",
    "U3",
    "S3",
    "M8[s]",
    "m8[s]",
    "V4",
    ">f4",
    "<f4",
    ">f8",
]
LAYOUTS = [
    "contiguous",
    "0-d",
    "2-d",
    "fortran",
    "strided",
    "reversed",
    "read-only",
    "misaligned",
    "broadcast",
    "column",
    "empty",
]
HUGE_INTS = [
    0,
    1,
    -1,
    2**31,
    2**32,
    2**63 - 1,
    2**63,
    2**64 - 1,
    2**64,
    -(2**63),
    2**100,
    -(2**100),
    10**400,
]
NUMPY_SCALARS = ["f2", "f4", "f8", "g", "i1", "u1", "i8", "u8", "c8", "?", "M8[s]"]
EXCEPTIONS = ["ValueError", "ZeroDivisionError", "Own", "OverflowError", "MemoryError"]
# What a hook does to the call before it returns.
ACTIONS = [
    "none",
    "dtype_f2",
    "dtype_u1",
    "dtype_f8",
    "shape_2d",
    "shape_0d",
    "resize",
    "read_only",
    "clear_kwargs",
    "reenter",
    "collect",
]
FLOAT_RETURNS = ["float", "nan", "int", "str", "none", "float_subclass", "np_float32", "np_float64"]
INDEX_RETURNS = ["small", "zero", "huge", "negative", "bool", "float", "int_subclass", "str"]
KEYWORD_NAMES = [
    "",
    "freqs\0",
    "Freqs",
    "\uff46reqs",
    "\udc80",
    "self",
    "x" * 300,
    "sample_rate ",
    "str_subclass",
    "hop",
    "i",
    "alphas",
    "samples",
]


class Own(Exception):
    """An exception of the caller's own."""


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


finite = st.floats(allow_nan=False, allow_infinity=False, width=32)
any_float = st.one_of(
    finite,
    st.sampled_from(
        [
            0.0,
            -0.0,
            float("nan"),
            float("inf"),
            -float("inf"),
            1e308,
            -1e308,
            5e-324,
            3.4028235e38,
            3.4028236e38,
        ]
    ),
)


# Strategies are built once: hypothesis spends most of its time otherwise
# rebuilding them for every draw.
valid_array = st.tuples(
    st.just("array"),
    st.just("f4"),
    st.just("contiguous"),
    st.lists(finite, min_size=0, max_size=24),
)
hostile_array = st.tuples(
    st.just("array"),
    st.sampled_from(DTYPES),
    st.sampled_from(LAYOUTS),
    st.lists(any_float, min_size=0, max_size=24),
)
HOOK_RETURNS = {"float_hook": FLOAT_RETURNS + EXCEPTIONS, "index_hook": INDEX_RETURNS + EXCEPTIONS}
HOOK_VALUES = {"float_hook": any_float, "index_hook": st.integers(0, 40)}


def hook_recipe(kinds=("float_hook", "index_hook"), actions=ACTIONS):
    """A hook: its kind, what it does to the call (to which of the call's
    arrays), what it returns or raises (half of the time a valid number),
    and the value it returns."""
    return st.one_of(
        [
            st.tuples(
                st.just(kind),
                st.sampled_from(actions),
                st.integers(0, 3),
                st.one_of(st.just(HOOK_RETURNS[kind][0]), st.sampled_from(HOOK_RETURNS[kind])),
                HOOK_VALUES[kind],
            )
            for kind in kinds
        ]
    )


any_hook = hook_recipe()
plain = st.one_of(
    st.tuples(st.just("int"), st.one_of(st.sampled_from(HUGE_INTS), st.integers(-5, 40))),
    st.tuples(st.just("float"), any_float),
    st.tuples(st.just("np_scalar"), st.sampled_from(NUMPY_SCALARS), st.integers(-3, 40)),
    st.sampled_from(
        [
            ("none",),
            ("true",),
            ("str",),
            ("bytes",),
            ("list",),
            ("dict",),
            ("object",),
            ("complex",),
            ("fraction",),
            ("bank",),
            ("type",),
        ]
    ),
)
# By the kind of the parameter: mostly a value of that kind, else anything.
VALUES = {
    "array": st.one_of(valid_array, valid_array, hostile_array, plain, any_hook),
    "index": st.one_of(
        st.tuples(st.just("int"), st.integers(0, 12)),
        st.tuples(st.just("int"), st.integers(0, 12)),
        plain,
        any_hook,
    ),
    "real": st.one_of(
        st.tuples(st.just("float"), finite), st.tuples(st.just("float"), finite), plain, any_hook
    ),
}
ENTRY_POINTS = st.sampled_from(sorted(SURFACE))
KEYWORDS = st.sampled_from(KEYWORD_NAMES)


@st.composite
def call_recipe(draw):
    name = draw(ENTRY_POINTS)
    positional, keyword_only = SURFACE[name]
    params = positional + keyword_only
    n_pos = draw(st.one_of(st.just(len(positional)), st.integers(0, len(positional) + 1)))
    args = [(p, draw(VALUES[KINDS[p]])) for p in positional[:n_pos]]
    if n_pos > len(positional):
        args.append(("extra", draw(plain)))
    kwargs = []
    for p in params[n_pos:] + (
        [positional[0]] if positional and n_pos and draw(st.booleans()) else []
    ):
        if p in keyword_only and draw(st.booleans()):
            continue
        kwargs.append((p, draw(VALUES[KINDS[p]])))
    odd = draw(KEYWORDS)
    if draw(st.integers(0, 7)) == 0 and odd not in [k for k, _ in kwargs]:
        kwargs.append((odd, draw(plain)))
    return name, args, kwargs


# What a hook may do to the arrays and the keyword dictionary of its call.
MUTATIONS = ["dtype_f2", "dtype_u1", "dtype_f8", "shape_2d", "shape_0d", "resize", "clear_kwargs"]
HOOKED = st.sampled_from(["ResonatorBank", "heuristic_alphas", "resonate"])
MUTATING_HOOKS = {
    "resonate": hook_recipe(("index_hook",), MUTATIONS),
    "other": hook_recipe(("float_hook",), MUTATIONS),
}
nonempty_array = st.tuples(
    st.just("array"),
    st.just("f4"),
    st.just("contiguous"),
    st.lists(finite, min_size=1, max_size=24),
)


@st.composite
def hooked_call_recipe(draw):
    """A call whose array arguments are valid and whose scalar argument is
    a hook that changes them, or clears the keyword dictionary, before it
    returns: the cases where user code runs between an array's checks and
    the engine's reading of it."""
    name = draw(HOOKED)
    first, second = SURFACE[name][0]
    values = {
        first: draw(nonempty_array),
        second: draw(MUTATING_HOOKS.get(name, MUTATING_HOOKS["other"])),
    }
    n_pos = draw(st.integers(0, 2))
    args = [(p, values[p]) for p in (first, second)[:n_pos]]
    kwargs = [(p, values[p]) for p in (first, second)[n_pos:]]
    if name == "ResonatorBank" and draw(st.booleans()):
        n = len(values["freqs"][3])
        kwargs.append(
            (
                "alphas",
                ("array", "f4", "contiguous", draw(st.lists(finite, min_size=n, max_size=n))),
            )
        )
    return name, args, kwargs


# ---------------------------------------------------------------------------
# Building objects from recipes.
# ---------------------------------------------------------------------------


class Call:
    """What one call's hooks can reach: weak references to its arrays, the
    bank, and the values the hooks returned (for the replay on the twin)."""

    def __init__(self, bank):
        self.bank = bank
        self.arrays = []
        self.returned = []
        self.kwargs = {}


def exception(name):
    return {
        "ValueError": ValueError("from a hook"),
        "ZeroDivisionError": ZeroDivisionError("from a hook"),
        "Own": Own("from a hook"),
        "OverflowError": OverflowError("from a hook"),
        "MemoryError": MemoryError("from a hook"),
    }[name]


class Hook:
    def __init__(self, call, action, which, result, value):
        self.call, self.action, self.result, self.value = call, action, result, value
        self.which = which

    def act(self):
        call = self.call
        if self.action == "clear_kwargs":
            call.kwargs.clear()
            return
        if self.action == "reenter":
            try:
                call.bank.power(0)
            except RuntimeError:
                pass
            return
        if self.action == "collect":
            gc.collect()
            return
        if call.arrays:
            arr = call.arrays[self.which % len(call.arrays)]()
            if arr is None:
                return
            try:
                if self.action == "dtype_f2":
                    arr.dtype = np.float16
                elif self.action == "dtype_u1":
                    arr.dtype = np.uint8
                elif self.action == "dtype_f8":
                    arr.dtype = np.float64
                elif self.action == "shape_2d":
                    arr.shape = (2, -1)
                elif self.action == "shape_0d":
                    arr.shape = ()
                elif self.action == "resize":
                    arr.resize(2 * arr.size + 1)
                elif self.action == "read_only":
                    arr.flags.writeable = False
            except (ValueError, TypeError, AttributeError):
                pass

    def give(self, returned):
        self.call.returned.append(returned)
        return returned


class FloatHook(Hook):
    def __float__(self):
        self.act()
        if self.result in EXCEPTIONS:
            raise exception(self.result)
        v = self.value
        return self.give(
            {
                "float": v,
                "nan": float("nan"),
                "int": 3,
                "str": "1.0",
                "none": None,
                "float_subclass": FloatSub(v),
                "np_float32": np.float32(v),
                "np_float64": np.float64(v),
            }[self.result]
        )


class IndexHook(Hook):
    def __index__(self):
        self.act()
        if self.result in EXCEPTIONS:
            raise exception(self.result)
        v = self.value
        return self.give(
            {
                "small": v,
                "zero": 0,
                "huge": 2**64 + v,
                "negative": -1 - v,
                "bool": True,
                "float": float(v),
                "int_subclass": IntSub(v),
                "str": str(v),
            }[self.result]
        )


def build_array(dtype, layout, values):
    data = np.array(values, dtype=np.float64)
    dt = np.dtype(dtype)
    if dt.kind in "USV":
        base = np.zeros(len(values), dtype=dt)
    elif dt.kind in "Mm":
        base = np.arange(len(values)).astype(dt)
    else:
        with np.errstate(all="ignore"):
            base = (
                data.astype(dt)
                if dt.kind in "fc"
                else np.nan_to_num(data).clip(-100, 100).astype(dt)
            )
    if layout == "contiguous":
        return base
    if layout == "0-d":
        return np.array(base[0]) if len(base) else np.zeros((), dt)
    if layout == "2-d":
        return np.stack([base, base])
    if layout == "fortran":
        return np.asfortranarray(np.stack([base, base]))
    if layout == "strided":
        return np.repeat(base, 2)[::2]
    if layout == "reversed":
        return base[::-1]
    if layout == "read-only":
        base.flags.writeable = False
        return base
    if layout == "misaligned":
        if dt.hasobject:
            return base
        out = np.zeros(base.nbytes + 1, np.uint8)[1:].view(dt)
        out[...] = base
        return out
    if layout == "broadcast":
        return np.broadcast_to(base[:1] if len(base) else np.zeros(1, dt), (max(len(base), 2),))
    if layout == "column":
        return np.stack([base, base], axis=1)[:, 0]
    return base[:0]


def build(recipe, call, twin=None):
    """The object a recipe stands for. For the twin, hooks are replaced by
    the values they returned in the first build, in order."""
    tag = recipe[0]
    if tag == "array":
        arr = build_array(*recipe[1:])
        if twin is None:
            call.arrays.append(weakref.ref(arr))
        return arr
    if tag in ("float_hook", "index_hook"):
        if twin is not None:
            return twin.pop(0) if twin else None
        return (FloatHook if tag == "float_hook" else IndexHook)(call, *recipe[1:])
    if tag == "int":
        return recipe[1]
    if tag == "float":
        return recipe[1]
    if tag == "np_scalar":
        with np.errstate(all="ignore"):
            return np.array(recipe[2]).astype(recipe[1])[()]
    return {
        "none": None,
        "true": True,
        "str": "440",
        "bytes": b"\x00\x01",
        "list": [440.0],
        "dict": {"a": 1},
        "object": object(),
        "complex": 1 + 2j,
        "fraction": fractions.Fraction(1, 3),
        "bank": call.bank,
        "type": np.float32,
    }[tag]


def keyword(name):
    return StrSub("hop") if name == "str_subclass" else name


def target(name, bank):
    return ENTRIES[name].target(bank)


def invoke(name, bank, args, kwargs, call):
    """Builds the arguments of one recipe: the callable, the positional
    arguments, the keyword dictionary and untouched copies of the arrays
    (None for other arguments), in recipe order."""
    fn = target(name, bank)
    built_args = [build(r, call) for _, r in args]
    built_kwargs = {keyword(k): build(r, call) for k, r in kwargs}
    pristine = [
        np.array(v, copy=True) if isinstance(v, np.ndarray) else None
        for v in built_args + list(built_kwargs.values())
    ]
    return fn, built_args, built_kwargs, pristine


def same_bits(a, b):
    """Same shape, dtype and bytes: unlike libm.same_bits, which reads both as
    float32, this compares resonate's complex frames whole."""
    return (
        a.shape == b.shape
        and a.dtype == b.dtype
        and np.array_equal(a.view(np.uint8), b.view(np.uint8))
    )


def usable(bank, twin):
    """The bank still processes and reads, and agrees with its twin."""
    n = len(bank)
    block = np.linspace(-1.0, 1.0, 8, dtype=F)
    bank.process_samples(block)
    twin.process_samples(block)
    frames = bank.resonate(block, 4)
    assert frames.shape == (2, n) and frames.dtype == np.complex64
    assert same_bits(frames, twin.resonate(block, 4))
    for read in ("powers", "phases", "magnitudes", "frequencies"):
        assert same_bits(getattr(bank, read)(), getattr(twin, read)()), read
    assert isinstance(bank.complex(n - 1), complex)


def check_call(name, bank, twin, args, kwargs):
    call = Call(bank)
    fn, built_args, built_kwargs, pristine = invoke(name, bank, args, kwargs, call)
    # f(**d) with an exact dict hands d itself to a C callee: a hook that
    # clears it drops the last references to the other keyword arguments.
    call.kwargs = built_kwargs
    try:
        result = fn(*built_args, **built_kwargs)
    except panic_type():
        assert name in MAY_PANIC, f"{name} raised PanicException"
        OUTCOMES["PanicException"] += 1
        return
    except SystemError as exc:  # a C-API misuse, never an ordinary outcome
        raise AssertionError(f"{name} raised SystemError: {exc}") from exc
    except Exception as exc:
        OUTCOMES[type(exc).__name__] += 1
        return
    OUTCOMES["result"] += 1

    # A successful call computed from the checked elements: replay it on the
    # twin with untouched copies of the arrays and the values hooks returned.
    replay = Call(twin)
    replay_args = [
        p if p is not None else build(r, replay, call.returned)
        for p, (_, r) in zip(pristine, args + kwargs)
    ]
    replay_kwargs = dict(zip([keyword(k) for k, _ in kwargs], replay_args[len(args) :]))
    replay_args = replay_args[: len(args)]
    if name == "ResonatorBank":
        freqs = replay_args[0] if replay_args else replay_kwargs["freqs"]
        assert same_bits(result.frequencies(), np.asarray(freqs, F))
    elif name in CHANGES_STATE:
        want = target(name, twin)(*replay_args, **replay_kwargs)
        if name == "resonate":
            assert same_bits(result, want)
    elif name == "heuristic_alphas":
        assert same_bits(result, kavrel.heuristic_alphas(*replay_args, **replay_kwargs))


def run_example(freqs, calls):
    bank = kavrel.ResonatorBank(np.array(freqs, F), 44100.0)
    twin = kavrel.ResonatorBank(np.array(freqs, F), 44100.0)
    for name, args, kwargs in calls:
        check_call(name, bank, twin, args, kwargs)
        usable(bank, twin)


bank_freqs = st.lists(st.floats(20.0, 20000.0, width=32), min_size=1, max_size=9)
surface_calls = st.lists(call_recipe(), min_size=2, max_size=6)
hooked_calls = st.lists(hooked_call_recipe(), min_size=2, max_size=6)
fuzz_settings = settings(
    max_examples=EXAMPLES,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=list(HealthCheck),
)


# Conversions of complex NumPy scalars and deprecated __float__/__index__
# results warn; the outcome that counts is the call's.
@pytest.mark.filterwarnings("ignore")
@fuzz_settings
@given(bank_freqs, surface_calls)
def test_every_call_gives_a_result_or_an_ordinary_exception(freqs, calls):
    run_example(freqs, calls)


@pytest.mark.filterwarnings("ignore")
@fuzz_settings
@given(bank_freqs, hooked_calls)
def test_arguments_changed_during_the_call_leave_the_checked_elements(freqs, calls):
    run_example(freqs, calls)


def main():
    """The long run: the examples in chunks, each with its own fixed seed, so
    that hypothesis's record of the examples it has tried (which grows with
    every one and slows it down) starts afresh for each chunk."""
    import tempfile
    import warnings

    from hypothesis import seed

    warnings.simplefilter("ignore")
    log = tempfile.NamedTemporaryFile("w", prefix="kavrel-fuzz-", suffix=".stderr", delete=False)
    os.dup2(log.fileno(), 2)
    chunk = 2000
    generators = {"surface": surface_calls, "hooks": hooked_calls}
    start = time.perf_counter()

    def report(done):
        elapsed = time.perf_counter() - start
        calls = sum(OUTCOMES.values())
        print(
            f"{done}: {calls} fuzzed calls in {elapsed:.1f} s ({calls / elapsed:.0f} calls/s); "
            + ", ".join(f"{kind} {count}" for kind, count in OUTCOMES.most_common()),
            flush=True,
        )

    print(f"standard error of the run: {log.name}", flush=True)
    for name in sys.argv[1:] or generators:
        for k, first in enumerate(range(0, EXAMPLES, chunk)):
            run = settings(
                max_examples=min(chunk, EXAMPLES - first),
                database=None,
                deadline=None,
                suppress_health_check=list(HealthCheck),
            )(given(bank_freqs, generators[name])(run_example))
            seed(k)(run)()
            report(f"{name}, {min(first + chunk, EXAMPLES)} examples")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    main()
