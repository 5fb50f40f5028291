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

if sys.version_info >= (3, 11):
    import tomllib
else:
    tomllib = None

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()

# Languages of fenced blocks that another test checks: language -> that test.
CHECKED_ELSEWHERE: dict = {}


def sections():
    """[(heading, text)] of the README's second-level sections."""
    parts = re.split(r"^## (.*)$", README, flags=re.M)
    return [("", parts[0])] + list(zip(parts[1::2], parts[2::2]))


def fenced_blocks():
    """[(heading, language, code)] of every fenced block, in order."""
    return [
        (heading, match[1], match[2])
        for heading, text in sections()
        for match in re.finditer(r"^```(\S*)\n(.*?)^```$", text, flags=re.M | re.S)
    ]


def blocks(language):
    found = [(heading, code) for heading, lang, code in fenced_blocks() if lang == language]
    return pytest.mark.parametrize("code", [code for _, code in found],
                                   ids=[heading for heading, _ in found])


def section(heading):
    return dict(sections())[heading]


def run_python(code, cwd):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120, cwd=cwd)


def test_every_fenced_block_names_a_checked_language():
    languages = [lang for _, lang, _ in fenced_blocks()]
    assert languages.count("python") >= 6
    assert set(languages) <= {"python", "sh", *CHECKED_ELSEWHERE}, languages


@blocks("python")
def test_python_block_runs(tmp_path, code):
    run = run_python(code, tmp_path)
    assert run.returncode == 0, run.stderr


def test_usage_example_prints_what_it_promises(tmp_path):
    code = re.search(r"```python\n(.*?)```", section("Usage"), re.S).group(1)
    run = run_python(code, tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["440.0", "0.25"]


def shell_commands():
    """Every shell command of the README: the quick start's indented lines and
    the lines of ```sh blocks, with the heading of their section."""
    commands = [(heading, line.strip()) for heading, text in sections()
                for line in text.splitlines() if heading == "Quick start" and line.startswith("    ")]
    commands += [(heading, line.strip()) for heading, lang, code in fenced_blocks()
                 if lang == "sh" for line in code.splitlines() if line.strip()]
    return commands


def extras():
    text = (ROOT / "pyproject.toml").read_text()
    if tomllib is not None:
        return set(tomllib.loads(text)["project"]["optional-dependencies"])
    table = text.split("[project.optional-dependencies]", 1)[1].split("\n[", 1)[0]
    return set(re.findall(r"^([A-Za-z0-9_-]+) = ", table, flags=re.M))


@pytest.mark.parametrize("heading, command", shell_commands())
def test_shell_command_is_sound(heading, command):
    parse = subprocess.run(["bash", "-n", "-c", command], capture_output=True, text=True)
    assert parse.returncode == 0, parse.stderr
    for part in re.split(r"&&|\|\||;|\|", command):
        words = shlex.split(part)
        for word in words:
            extra = re.fullmatch(r"\.\[(.+)\]", word)
            if extra:
                assert set(extra[1].split(",")) <= extras(), command
        if not words or words[0] not in ("python", "python3"):
            continue
        if words[1] == "-m":
            assert importlib.util.find_spec(words[2]) is not None, command
        else:
            assert (ROOT / words[1]).is_file(), command


def test_quick_start_has_exactly_the_two_commands():
    commands = [command for heading, command in shell_commands() if heading == "Quick start"]
    assert commands == [
        'python -m pip install ".[examples]" && python examples/spectrogram.py',
        'python -m pip install ".[test]" && python -m pytest',
    ]


def test_picture_is_in_docs_and_regenerated_by_the_documented_command():
    images = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", README)
    assert images == ["docs/spectrogram.png"]
    assert (ROOT / images[0]).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert shell_commands().count(
        ("The picture", "python examples/spectrogram.py -o docs/spectrogram.png")) == 1


@pytest.fixture(scope="module")
def stream_frames():
    namespace = {}
    code = re.search(r"```python\n(.*?)```", section("Streaming"), re.S).group(1)
    exec(compile(code, "README.md (Streaming)", "exec"), namespace)
    return namespace["stream_frames"]


@pytest.mark.parametrize(
    "hop, cuts",
    [(4, [0, 1, 2, 3, 5, 5, 9]), (1, [3, 4]), (7, list(range(0, 60, 6))),
     (64, [10, 130, 131, 400]), (100, [])],
)
def test_streaming_recipe_equals_one_call(stream_frames, hop, cuts):
    rng = np.random.default_rng(hop)
    freqs = rng.uniform(20.0, 8000.0, 11).astype(np.float32)
    signal = rng.standard_normal(500).astype(np.float32)
    whole_bank = kavrel.ResonatorBank(freqs, 16000.0)
    whole = whole_bank.resonate(signal, hop)

    bank = kavrel.ResonatorBank(freqs, 16000.0)
    pieces = list(stream_frames(bank, np.split(signal, cuts), hop))

    assert_same_complex(np.concatenate(pieces), whole, f"hop {hop}")
    # The carried samples are consumed as soon as they make a whole hop, so
    # the two banks end in the same state.
    for i in range(len(freqs)):
        assert bank.complex(i) == whole_bank.complex(i)
