"""The type stubs installed with the module: they match it, they carry the
documentation, and they let mypy accept a correct user script and reject a
mistaken one on the right lines."""

import ast
import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

SCRIPTS = pathlib.Path(__file__).resolve().parent / "typed_scripts"


def installed_stub():
    """The stub file of the installed package: a stub-only package beside the module."""
    module = pathlib.Path(importlib.util.find_spec("kavrel").origin)
    return module.parent / "kavrel-stubs" / "__init__.pyi"


def run_mypy(tool, *args, cwd):
    return subprocess.run(
        [sys.executable, "-m", tool, *args],
        capture_output=True, text=True, timeout=300, cwd=cwd,
    )


def test_stubs_match_the_built_module(tmp_path):
    assert installed_stub().is_file()
    run = run_mypy("mypy.stubtest", "kavrel", "--mypy-config-file", "/dev/null", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_mypy_strict_accepts_typed_use_and_rejects_mistakes_on_their_lines(tmp_path):
    typed, mistyped = SCRIPTS / "typed_user.py", SCRIPTS / "mistyped_user.py"
    run = run_mypy(
        "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
        str(typed), str(mistyped), cwd=tmp_path,
    )
    errors = re.findall(r"^(.*?):(\d+): error: .*\[([a-z-]+)\]$", run.stdout, re.M)
    assert run.returncode == 1, run.stdout + run.stderr
    assert {pathlib.Path(path).name for path, _, _ in errors} == {mistyped.name}, run.stdout
    assert sorted((int(line), code) for _, line, code in errors) == [
        (10, "attr-defined"),  # bank.reosnate(...)
        (11, "arg-type"),      # hop="256"
        (12, "arg-type"),      # process_sample("0.5")
        (13, "call-arg"),      # alphas given by position
        (14, "assignment"),    # power() is a float
    ], run.stdout
    assert 'maybe "resonate"?' in run.stdout


def test_every_stubbed_name_carries_a_docstring():
    tree = ast.parse(installed_stub().read_text())
    documented, bare = [], []
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name != "__new__":
            (documented if ast.get_docstring(node) else bare).append(node.name)
    assert bare == []
    assert len(documented) == 20  # the class, len(), 13 methods, 5 functions
