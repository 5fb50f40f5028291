"""The module surface: names, signatures, the class's type properties,
re-execution of the module and import without NumPy."""

import ast
import gc
import importlib.util
import inspect
import os
import re
import sys
import types
import weakref

import numpy as np
import pytest

import kavrel
from support import (
    FUNCTIONS,
    METHODS,
    MODULE_NAMES,
    REPO,
    F,
    make_bank,
    run_script,
)

ALL = MODULE_NAMES

INTERPRETER_NAMES = {
    "__name__",
    "__doc__",
    "__package__",
    "__loader__",
    "__spec__",
    "__file__",
    "__cached__",
    "__builtins__",
}


# ---------------------------------------------------------------------------
# Names
# ---------------------------------------------------------------------------


def test_all_lists_the_six_names_in_order():
    assert type(kavrel.__all__) is list
    assert kavrel.__all__ == ALL


def test_module_doc_is_empty_string():
    assert kavrel.__doc__ == ""


def test_no_other_public_names():
    names = set(vars(kavrel))
    public = {n for n in names if not n.startswith("_")}
    assert public == set(ALL)
    assert names - public - {"__all__"} <= INTERPRETER_NAMES
    assert not hasattr(kavrel, "__version__")
    assert kavrel.__name__ == "kavrel"
    assert isinstance(kavrel, types.ModuleType)


def test_names_are_bound_to_their_objects():
    assert isinstance(kavrel.ResonatorBank, type)
    for name in (e.name for e in FUNCTIONS):
        f = getattr(kavrel, name)
        assert type(f) is types.BuiltinFunctionType
        assert f.__name__ == name
        assert f.__qualname__ == name


# ---------------------------------------------------------------------------
# Functions
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name,params", [(e.name, list(e.positional)) for e in FUNCTIONS])
def test_function_signature(name, params):
    f = getattr(kavrel, name)
    assert f.__text_signature__ == "(" + ", ".join(params) + ")"
    assert f.__doc__ in (None, "")
    sig = inspect.signature(f)
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    assert sig.return_annotation is inspect.Signature.empty


@pytest.mark.parametrize("name", [e.name for e in FUNCTIONS])
def test_function_module_and_self(name):
    f = getattr(kavrel, name)
    assert f.__module__ == "kavrel"
    assert f.__self__ is None


# ---------------------------------------------------------------------------
# The class
# ---------------------------------------------------------------------------

R = kavrel.ResonatorBank

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14


def test_class_names():
    assert R.__module__ == "builtins"
    assert R.__name__ == "ResonatorBank"
    assert R.__qualname__ == "ResonatorBank"
    assert R.__bases__ == (object,)
    assert R.__mro__ == (R, object)
    assert repr(R) == "<class 'builtins.ResonatorBank'>"
    assert re.fullmatch(r"<builtins\.ResonatorBank object at 0x[0-9a-fA-F]+>", repr(make_bank()))


def test_class_signature():
    if sys.version_info < (3, 10):
        # Before 3.10 the interpreter's type creation from a specification
        # copies only the part of the class docstring after its text
        # signature, so the class has no __text_signature__ and inspect finds
        # no signature. An empty __doc__ still shows that the docstring was a
        # well-formed text signature and nothing else.
        assert R.__text_signature__ is None
        assert R.__doc__ == ""
        with pytest.raises(ValueError):
            inspect.signature(R)
        return
    assert R.__text_signature__ == "(freqs, sample_rate, *, alphas=None, betas=None)"
    assert R.__doc__ in (None, "")
    sig = inspect.signature(R)
    assert str(sig) == "(freqs, sample_rate, *, alphas=None, betas=None)"
    P = inspect.Parameter
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == [
        ("freqs", P.POSITIONAL_OR_KEYWORD, P.empty),
        ("sample_rate", P.POSITIONAL_OR_KEYWORD, P.empty),
        ("alphas", P.KEYWORD_ONLY, None),
        ("betas", P.KEYWORD_ONLY, None),
    ]


@pytest.mark.parametrize("name,params", [(e.name, list(e.positional)) for e in METHODS])
def test_method_signature(name, params):
    m = R.__dict__[name]
    assert type(m) is types.MethodDescriptorType
    assert m.__objclass__ is R
    assert m.__name__ == name
    assert m.__qualname__ == f"ResonatorBank.{name}"
    assert m.__text_signature__ == "(" + ", ".join(["$self"] + params) + ")"
    assert m.__doc__ in (None, "")
    sig = inspect.signature(m)
    P = inspect.Parameter
    # CPython renders $self as positional-only.
    assert [(p.name, p.kind) for p in sig.parameters.values()] == (
        [("self", P.POSITIONAL_ONLY)] + [(p, P.POSITIONAL_OR_KEYWORD) for p in params]
    )
    bound = inspect.signature(getattr(make_bank(), name))
    assert list(bound.parameters) == params


def test_method_order_follows_table():
    methods = [n for n, v in R.__dict__.items() if type(v) is types.MethodDescriptorType]
    assert methods == [e.name for e in METHODS]


def test_class_dict_has_only_the_declared_slots():
    assert set(R.__dict__) == {e.name for e in METHODS} | {
        "__new__",
        "__len__",
        "__doc__",
        "__module__",
    }
    # Everything else is object's default.
    for name in (
        "__init__",
        "__repr__",
        "__str__",
        "__eq__",
        "__hash__",
        "__getattribute__",
        "__setattr__",
    ):
        assert getattr(R, name) is getattr(object, name)
    b = make_bank()
    assert b == b and b != make_bank()
    assert hash(b) == object.__hash__(b)
    with pytest.raises(TypeError):
        iter(b)
    assert len(b) == 2


def test_class_flags():
    assert R.__flags__ & Py_TPFLAGS_HEAPTYPE
    assert not R.__flags__ & Py_TPFLAGS_BASETYPE
    assert not R.__flags__ & Py_TPFLAGS_HAVE_GC


def test_not_subclassable():
    with pytest.raises(TypeError) as info:

        class Sub(R):  # noqa: F841
            pass

    assert "is not an acceptable base type" in str(info.value)
    with pytest.raises(TypeError):
        type("Sub", (R,), {})


def test_instances_have_no_dict_and_no_weakref():
    b = make_bank()
    assert not hasattr(b, "__dict__")
    assert "__weakref__" not in dir(R)
    with pytest.raises(AttributeError):
        b.anything = 1
    with pytest.raises(AttributeError):
        b.freq = 1
    with pytest.raises(TypeError):
        weakref.ref(b)
    assert not gc.is_tracked(b)


def test_no_argument_method_refuses_arguments():
    b = make_bank()
    with pytest.raises(TypeError) as info:
        b.reset(1)
    assert str(info.value) == "ResonatorBank.reset() takes no arguments (1 given)"
    assert b.freq(i=0) == 100.0


def test_constructed_via_new_only():
    b = R.__new__(R, np.array([5.0], F), 10.0)
    assert type(b) is R
    assert b.freq(0) == 5.0
    with pytest.raises(TypeError):
        R.__new__(object, np.array([5.0], F), 10.0)


# ---------------------------------------------------------------------------
# Re-execution, fresh imports and interpreters (each in its own process)
# ---------------------------------------------------------------------------


def test_import_does_not_touch_numpy():
    result = run_script("""
        import sys
        import kavrel
        print('numpy' in sys.modules, kavrel.midi_to_hz(81, 440))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "880.0"]
    assert result.stderr == ""


CALLABLE_CHECKS = """
a = np.array([440.0, 880.0], np.float32)
checks = [
    kavrel.midi_to_hz(81, 440.0) == 880.0,
    old_funcs['midi_to_hz'](57, 440.0) == 220.0,
    kavrel.alpha_from_tau(0.0, 1.0) == 1.0,
    kavrel.tau_from_alpha(1.0, 1.0) == 0.0,
    kavrel.heuristic_alpha(440.0, 0.0) == 1.0,
    kavrel.heuristic_alphas(a, 48000.0).tolist()
        == old_funcs['heuristic_alphas'](a, 48000.0).tolist(),
    len(kavrel.ResonatorBank(a, 48000.0)) == 2,
    old_bank.freq(0) == 440.0,
    kavrel.__doc__ == '',
    kavrel.ResonatorBank is old_class,
]
print(checks)
print(repr(kavrel.__all__))
print([getattr(kavrel, n) is f for n, f in old_funcs.items()])
"""

SETUP = """
import ctypes
import importlib
import numpy as np
import kavrel
old_class = kavrel.ResonatorBank
old_funcs = {n: getattr(kavrel, n) for n in kavrel.__all__[1:]}
old_bank = kavrel.ResonatorBank(np.array([440.0], np.float32), 48000.0)
api = ctypes.pythonapi
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
api.PyModule_ExecDef.restype = ctypes.c_int
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]

def execute_again():
    # Runs the module's execution step once more on the same module object.
    return api.PyModule_ExecDef(kavrel, api.PyModule_GetDef(kavrel))
"""


def test_execution_step_again_duplicates_all():
    result = run_script(
        SETUP
        + """
all_before = kavrel.__all__
print(execute_again())
assert kavrel.__all__ is all_before
"""
        + CALLABLE_CHECKS
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "0"
    assert lines[1] == str([True] * 10)
    assert ast.literal_eval(lines[2]) == ALL + ALL
    # The functions are created anew by each execution.
    assert lines[3] == str([False] * 5)


def test_reload_keeps_callables_working():
    result = run_script(
        SETUP
        + """
assert importlib.reload(kavrel) is kavrel
"""
        + CALLABLE_CHECKS
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == str([True] * 10)


def test_reload_keeps_the_module_working():
    # CPython marks a module initialised after its first execution step, so
    # reloading this extension does not run the step again: the names stay
    # bound once and every callable keeps working.
    result = run_script(
        SETUP
        + """
assert importlib.reload(kavrel) is kavrel
"""
        + CALLABLE_CHECKS
    )
    assert result.returncode == 0, result.stderr
    assert ast.literal_eval(result.stdout.splitlines()[1]) in (ALL, ALL + ALL)


@pytest.mark.parametrize(
    "setup,error",
    [
        ("kavrel.__all__ = ('x',)", "TypeError: 'tuple' object is not an instance of 'list'"),
        ("kavrel.__all__ = None", "TypeError: 'None' is not an instance of 'list'"),
        ("kavrel.__all__ = {}", "TypeError: 'dict' object is not an instance of 'list'"),
    ],
)
def test_execution_step_refuses_non_list_all(setup, error):
    result = run_script(
        SETUP
        + setup
        + """
del kavrel.midi_to_hz
try:
    execute_again()
except BaseException as e:
    print(type(e).__name__ + ': ' + str(e))
print(hasattr(kavrel, 'midi_to_hz'), kavrel.ResonatorBank is old_class)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [error, "False True"]


def test_execution_step_all_variants():
    result = run_script(
        SETUP
        + """
class Names(list):
    pass
del kavrel.__all__
print(execute_again(), repr(kavrel.__all__), type(kavrel.__all__).__name__)
kavrel.__all__ = Names(['x'])
print(execute_again(), repr(list(kavrel.__all__)), type(kavrel.__all__).__name__)

class Odd(type(kavrel)):
    @property
    def __all__(self):
        raise ValueError('no names here')
kavrel.__class__ = Odd
try:
    execute_again()
except BaseException as e:
    print(type(e).__name__ + ': ' + str(e))
"""
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "0 " + repr(ALL) + " list"
    assert lines[1] == "0 " + repr(["x"] + ALL) + " Names"
    assert lines[2] == "ValueError: no names here"


def test_fresh_import_shares_the_class():
    result = run_script("""
        import sys
        import kavrel
        first = kavrel
        del sys.modules['kavrel']
        import kavrel as second
        assert second is not first
        print(second.ResonatorBank is first.ResonatorBank,
              second.midi_to_hz is first.midi_to_hz,
              second.__all__ == first.__all__,
              second.__all__ is first.__all__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "False", "True", "False"]


# The private sub-interpreter module, and how to ask it for an interpreter
# that shares the main interpreter's GIL: the module declares no support for
# a GIL of its own, and from 3.12 on a new interpreter is by default isolated
# and refuses to import such a module. The module was renamed in 3.13.
if sys.version_info >= (3, 13):
    SUBINTERPRETERS = ("_interpreters", "create('legacy')")
elif sys.version_info >= (3, 12):
    SUBINTERPRETERS = ("_xxsubinterpreters", "create(isolated=False)")
else:
    SUBINTERPRETERS = ("_xxsubinterpreters", "create()")


def test_subinterpreter_import_shares_the_class():
    module, create = SUBINTERPRETERS
    if importlib.util.find_spec(module) is None:
        pytest.skip("no sub-interpreter module in this Python")
    result = run_script(f"""
        import {module} as interpreters
        import kavrel
        print(id(kavrel.ResonatorBank), flush=True)
        interp = interpreters.{create}
        failure = interpreters.run_string(interp, (
            "import kavrel\\n"
            "print(id(kavrel.ResonatorBank), kavrel.midi_to_hz(81, 440.0), kavrel.__all__ == "
            + repr(kavrel.__all__) + ", flush=True)\\n"))
        # From 3.13 a failure in the interpreter is returned, not raised.
        assert failure is None, failure
        interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    class_id, hz, all_ok = second.split()
    assert class_id == first
    assert hz == "880.0" and all_ok == "True"


# ---------------------------------------------------------------------------
# Without NumPy
# ---------------------------------------------------------------------------

CAPSULE = "Failed to access NumPy array API capsule: "


def test_import_and_calls_without_numpy():
    result = run_script("""
        import sys
        sys.modules['numpy'] = None
        import kavrel

        def attempt(call):
            try:
                call()
            except BaseException as e:
                t = type(e)
                print(repr((t.__name__, t.__bases__[0].__name__, str(e))), flush=True)
            else:
                print('no exception', flush=True)

        print(kavrel.midi_to_hz(69, 440), kavrel.alpha_from_tau(0.0, 1.0),
              kavrel.tau_from_alpha(1.0, 1.0), kavrel.heuristic_alpha(440.0, 0.0), flush=True)
        attempt(lambda: kavrel.heuristic_alphas([1.0], 1.0))
        attempt(lambda: kavrel.heuristic_alphas([1.0], 1.0))
        # The table is wanted before either argument is looked at.
        attempt(lambda: kavrel.heuristic_alphas(None, 'not a number'))
        attempt(lambda: kavrel.ResonatorBank([1.0], 1.0))
        print(repr(sys.modules['numpy']), flush=True)
        # Once NumPy can be imported, the next call acquires it.
        del sys.modules['numpy']
        import numpy as np
        print(kavrel.heuristic_alphas(np.array([440.0], np.float32), 0.0).tolist(),
              len(kavrel.ResonatorBank(np.array([1.0, 2.0], np.float32), 8.0)), flush=True)
    """)
    assert result.returncode == 0, result.stderr
    out = result.stdout.splitlines()
    assert out[0].split() == ["440.0", "1.0", "0.0", "1.0"]
    failures = [ast.literal_eval(line) for line in out[1:5]]
    for name, base, message in failures:
        assert name == "PanicException"
        assert base == "BaseException"
        assert message.startswith(CAPSULE), message
        assert "ModuleNotFoundError" in message or "ImportError" in message, message
    assert len(set(failures)) == 1
    assert out[5] == "None"
    assert out[6] == "[1.0] 2"

    # Four reports on standard error, the hint after the first only.
    message = failures[0][2]
    report = (
        r"\nthread '[^'\n]*' \(\d+\) panicked at ([^\n]+):(\d+):(\d+):\n"
        + re.escape(message)
        + r"\n"
    )
    hint = r"[^\n]*backtrace[^\n]*\n"
    m = re.fullmatch(report + hint + report * 3, result.stderr)
    assert m, result.stderr
    paths = m.groups()[0::3]
    for path in paths:
        assert not os.path.isabs(path) and path.startswith("python/"), path
        assert os.path.isfile(os.path.join(REPO, path))
