"""Every code block of the README runs or is checked here.

The rule for code blocks in README.md:
- every fenced block names its language;
- ```python blocks are executed, each on its own in a fresh interpreter, and must
  exit cleanly: they check what they claim with assert (the Usage block's printed
  values are compared below);
- ```sh blocks, and the indented commands of the quick start, are checked
  rather than run: bash must parse them, every `python path/to/script.py` must
  name a file of the repository, every `python -m module` a module that the
  test environment can import, and every ".[extra]" an extra of pyproject.toml;
- a block in any other language needs its own test, listed in CHECKED_ELSEWHERE.
"""

import importlib.util
import pathlib
import re
import shlex
import subprocess
import sys

import numpy as np
import pytest

import kavrel
from bank_model import assert_same_complex

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
EXTRAS = re.findall(
    r"^([\w-]+) = \[",
    (ROOT / "pyproject.toml")
    .read_text()
    .split("[project.optional-dependencies]")[1]
    .split("\n[")[0],
    flags=re.M,
)

# Languages of fenced blocks that another test checks: language -> that test.
CHECKED_ELSEWHERE = {"cmake": "test_readme_cpp.py", "cpp": "test_readme_cpp.py"}

# [(heading, text)] of the second-level sections; [(heading, language, code)] of the fenced blocks.
SECTIONS = list(zip(*[iter(re.split(r"^## (.*)$", "## \n" + README, flags=re.M)[1:])] * 2))
BLOCKS = [
    (heading, m[1], m[2])
    for heading, text in SECTIONS
    for m in re.finditer(r"^```(\S*)\n(.*?)^```$", text, flags=re.M | re.S)
]
COMMANDS = [
    (heading, line.strip())
    for heading, text in SECTIONS
    if heading == "Quick start"
    for line in text.splitlines()
    if line.startswith("    ")
]
COMMANDS += [
    (heading, line.strip())
    for heading, lang, code in BLOCKS
    if lang == "sh"
    for line in code.splitlines()
    if line.strip()
]


def python_block(heading):
    return next(code for h, lang, code in BLOCKS if h == heading and lang == "python")


def run_python(code, cwd):
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=cwd
    )


def test_every_fenced_block_names_a_checked_language():
    languages = [lang for _, lang, _ in BLOCKS]
    assert languages.count("python") >= 6
    assert set(languages) <= {"python", "sh", *CHECKED_ELSEWHERE}, languages


@pytest.mark.parametrize("heading, code", [(h, c) for h, lang, c in BLOCKS if lang == "python"])
def test_python_block_runs(tmp_path, heading, code):
    run = run_python(code, tmp_path)
    assert run.returncode == 0, run.stderr
    if heading == "Usage":
        assert run.stdout.split() == ["440.0", "0.25"]


@pytest.mark.parametrize("heading, command", COMMANDS)
def test_shell_command_is_sound(heading, command):
    assert subprocess.run(["bash", "-n", "-c", command]).returncode == 0
    for part in re.split(r"&&|\|\||;|\|", command):
        words = shlex.split(part)
        for word in words:
            extra = re.fullmatch(r"\.\[(.+)\]", word)
            assert not extra or set(extra[1].split(",")) <= set(EXTRAS), command
        if words and words[0] in ("python", "python3"):
            if words[1] == "-m":
                assert importlib.util.find_spec(words[2]) is not None, command
            else:
                assert (ROOT / words[1]).is_file(), command


def test_quick_start_has_exactly_the_two_commands():
    assert [command for heading, command in COMMANDS if heading == "Quick start"] == [
        'python -m pip install ".[examples]" && python examples/spectrogram.py',
        'python -m pip install ".[test]" && python -m pytest',
    ]


def test_picture_is_kept_in_docs_with_the_command_that_draws_it():
    assert re.findall(r"!\[[^\]]*\]\(([^)]+)\)", README) == ["docs/spectrogram.png"]
    assert (ROOT / "docs/spectrogram.png").read_bytes()[:4] == b"\x89PNG"
    assert ("The picture", "python examples/spectrogram.py -o docs/spectrogram.png") in COMMANDS


@pytest.mark.parametrize(
    "hop, cuts",
    [(4, [0, 1, 2, 3, 5, 5, 9]), (1, [3, 4]), (7, list(range(0, 60, 6))), (64, [10, 130, 400])],
)
def test_streaming_recipe_equals_one_call(hop, cuts):
    namespace = {}
    exec(python_block("Streaming"), namespace)
    rng = np.random.default_rng(hop)
    freqs = rng.uniform(20.0, 8000.0, 11).astype(np.float32)
    signal = rng.standard_normal(500).astype(np.float32)
    whole_bank, bank = (kavrel.ResonatorBank(freqs, 16000.0) for _ in range(2))

    pieces = list(namespace["stream_frames"](bank, np.split(signal, cuts), hop))

    assert_same_complex(np.concatenate(pieces), whole_bank.resonate(signal, hop), f"hop {hop}")
    # Carried samples are consumed once they make a whole hop: same final state.
    assert [bank.complex(i) for i in range(11)] == [whole_bank.complex(i) for i in range(11)]
