"""The type stubs installed with the module: they match it, they carry the
documentation, and they let mypy accept a correct user script and reject a
mistaken one on the right lines."""

import ast
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

from support import SURFACE

pytest.importorskip("mypy")

SCRIPTS = pathlib.Path(__file__).resolve().parent / "typed_scripts"


def installed_stub():
    """The stub file of the installed package: a stub-only package beside the module."""
    module = pathlib.Path(importlib.util.find_spec("kavrel").origin)
    return module.parent / "kavrel-stubs" / "__init__.pyi"


def run_mypy(tool, *args, cwd):
    return subprocess.run(
        [sys.executable, "-m", tool, *args],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=cwd,
    )


def test_stubs_match_the_built_module(tmp_path):
    assert installed_stub().is_file()
    run = run_mypy("mypy.stubtest", "kavrel", "--mypy-config-file", os.devnull, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_mypy_strict_accepts_typed_use_and_rejects_mistakes_on_their_lines(tmp_path):
    typed, mistyped = SCRIPTS / "typed_user.py", SCRIPTS / "mistyped_user.py"
    run = run_mypy(
        "mypy",
        "--strict",
        "--no-error-summary",
        "--cache-dir",
        str(tmp_path / "cache"),
        str(typed),
        str(mistyped),
        cwd=tmp_path,
    )
    errors = re.findall(r"^(.*?):(\d+): error: (.*)$", run.stdout, re.M)
    assert run.returncode == 1, run.stdout + run.stderr
    assert {pathlib.Path(path).name for path, _, _ in errors} == {mistyped.name}, run.stdout
    found = sorted((int(line), text) for _, line, text in errors)
    expected = [
        (10, '"ResonatorBank" has no attribute "reosnate"'),
        (11, 'Argument "hop" to "resonate" of "ResonatorBank" has incompatible type "str"'),
        (12, 'Argument 1 to "process_sample" of "ResonatorBank" has incompatible type "str"'),
        (13, 'Too many positional arguments for "ResonatorBank"'),  # alphas by position
        (14, 'Incompatible types in assignment (expression has type "float"'),
    ]
    assert [line for line, _ in found] == [line for line, _ in expected], run.stdout
    for (_, text), (_, wanted) in zip(found, expected):
        assert text.startswith(wanted), run.stdout
    assert 'maybe "resonate"?' in found[0][1]


def test_every_stubbed_name_carries_a_docstring():
    tree = ast.parse(installed_stub().read_text())
    documented, bare = [], []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name != "__new__":
            (documented if ast.get_docstring(node) else bare).append(node.name)
    assert bare == []
    # The class, its methods, len() and the module's functions: each once.
    stubbed = ["__len__" if e.owner == "slot" else e.name for e in SURFACE]
    assert sorted(documented) == sorted(stubbed)
