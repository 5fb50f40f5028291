"""Every code block of the README and of the documentation's pages runs or is checked here.

The rule for code blocks in README.md and docs/**/*.md:
- every fenced block names its language, or is one of the directives in DIRECTIVES;
- ```python blocks are executed, each on its own in a fresh interpreter in an empty
  folder (with the files of FIXTURES, for pages that read one), and must exit cleanly:
  they check what they claim with assert (printed values are compared in PRINTS);
- ```sh blocks, and the indented commands of the README's quick start, are checked
  rather than run: bash must parse them, every `python path/to/script.py` must name a
  file of the repository, every `python -m module` a module that the test environment
  can import, and every ".[extra]" an extra of pyproject.toml;
- C++ and CMake are never copied into a page: they are included from the files that CI
  builds (```{literalinclude}), and every included file must exist;
- ```{eval-rst} blocks hold a figure drawn at build time (a `.. plot::` directive, whose
  code runs here too) or the C++ reference (`.. cpp-reference::`).
"""

import importlib.util
import os
import re
import shlex
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kavrel
from bank_model import assert_same_complex
from support import REPO

README = REPO / "README.md"
PAGES = [
    README,
    REPO / "CONTRIBUTING.md",
    *sorted((REPO / "docs").glob("*.md")),
    *sorted((REPO / "docs/guide").glob("*.md")),
]
# {extra: the names of the distributions it requires}
EXTRAS = {
    name: re.findall(r'^  "([\w-]+)', requirements, flags=re.M)
    for name, requirements in re.findall(
        r"^([\w-]+) = \[\n(.*?)^\]",
        (REPO / "pyproject.toml").read_text().split("[project.optional-dependencies]")[1],
        flags=re.M | re.S,
    )
}
DIRECTIVES = {"{literalinclude}", "{toctree}", "{include}", "{eval-rst}"}


def page_name(path):
    return path.relative_to(REPO).as_posix()


def blocks(path):
    """[(heading, language, code)] of a page's fenced blocks, with the heading above each."""
    found, heading, fence = [], "", None
    for line in path.read_text().splitlines(keepends=True):
        if fence is not None:
            if line.rstrip() == "```":
                found.append((heading, fence[0], "".join(fence[1])))
                fence = None
            else:
                fence[1].append(line)
        elif line.startswith("```"):
            fence = (line[3:].split(" ")[0].strip(), [])
        elif re.match(r"#+ ", line):
            heading = line.lstrip("#").strip()
    assert fence is None, f"{path}: unclosed code block"
    return found


# [(page, heading, language, code)] of every fenced block.
BLOCKS = [(page_name(path), *block) for path in PAGES for block in blocks(path)]
QUICK_START = [
    line.strip()
    for line in README.read_text().split("## Quick start")[1].split("\n## ")[0].splitlines()
    if line.startswith("    ")
]
COMMANDS = [("README.md", command) for command in QUICK_START] + [
    (page, line.strip())
    for page, _, lang, code in BLOCKS
    if lang == "sh"
    for line in code.splitlines()
    if line.strip()
]
PYTHON = [(page, heading, code) for page, heading, lang, code in BLOCKS if lang == "python"]

# Standard output of blocks that print what they claim, by (page, heading).
PRINTS = {
    ("docs/guide/getting-started.md", "A first analysis"): ["440.0", "0.25"],
    ("docs/guide/loading-audio.md", "Loading audio"): ["(86,", "2)"],
    ("docs/guide/streaming.md", "Reading after every block"): ["60"],
    ("docs/guide/toolkit.md", "One call from what you have"): ["0"],
    ("docs/guide/toolkit.md", "Frequency grids"): ["169"],
    ("docs/guide/toolkit.md", "How long a channel needs: settling time"): [
        "206",
        "ms",
        "for",
        "A0,",
        "23.4",
        "ms",
        "for",
        "A4",
    ],
    ("docs/guide/toolkit.md", "Labelled arrays and pictures"): ["('frequency',", "'time')"],
    ("docs/guide/toolkit.md", "A corpus"): ["0"],
    ("docs/guide/frequencies.md", "Frequencies"): ["170"],
    ("docs/guide/results.md", "Decibels"): ["[", "-6.", "-45.8]"],
    ("docs/guide/corpus.md", "From Python"): ["(40,", "88)", "44100", "['take1.wav']"],
}


def corpus_store(folder):
    """analysis.zarr as kavrel_tools.corpus writes it, for recordings/take1.wav."""
    soundfile = pytest.importorskip("soundfile")
    pytest.importorskip("zarr")
    from kavrel_tools import corpus

    (folder / "recordings").mkdir()
    take = folder / "recordings" / "take1.wav"
    t = np.arange(20480) / 44100
    soundfile.write(take, (0.5 * np.cos(2 * np.pi * 440.0 * t)).astype(np.float32), 44100)
    powers, attrs = corpus.analyse_file(take, corpus.DEFAULT_HOP)
    output = str(folder / "analysis.zarr")
    with corpus.locked_store(output, corpus.job_settings(corpus.DEFAULT_HOP)) as group:
        source = {"source": "take1.wav", **attrs}
        corpus.write_result(output, "take1.wav", powers, source, corpus.store_format(group))


FIXTURES = {"docs/guide/corpus.md": corpus_store}


def python_block(page, heading):
    return next(c for p, h, c in PYTHON if p == page and h == heading)


def test_every_fenced_block_names_a_checked_language():
    languages = [lang for _, _, lang, _ in BLOCKS]
    assert languages.count("python") >= 13
    assert set(languages) <= {"python", "sh", *DIRECTIVES}, languages


# [(page, heading, code)] of the figures drawn at build time.
PLOTS = [
    (page, heading, textwrap.dedent(code.split(".. plot::", 1)[1]))
    for page, heading, lang, code in BLOCKS
    if lang == "{eval-rst}" and code.startswith(".. plot::")
]


def test_every_rst_block_is_a_figure_or_the_cpp_reference():
    rst = [code for _, _, lang, code in BLOCKS if lang == "{eval-rst}"]
    assert all(code.startswith((".. plot::", ".. cpp-reference::")) for code in rst), rst
    assert len(PLOTS) >= 2


@pytest.mark.parametrize("page, heading, code", PLOTS)
def test_figure_code_runs(tmp_path, page, heading, code):
    run = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        env={**os.environ, "MPLBACKEND": "Agg"},
    )
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("page, heading, code", PYTHON)
def test_python_block_runs(tmp_path, page, heading, code):
    # A block that needs an optional package (soundfile, zarr) runs where it is installed.
    for module in re.findall(r"^(?:import|from) (\w+)", code, flags=re.M):
        pytest.importorskip(module)
    if page in FIXTURES:
        FIXTURES[page](tmp_path)
    run = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd=tmp_path
    )
    assert run.returncode == 0, run.stderr
    if (page, heading) in PRINTS:
        assert run.stdout.split() == PRINTS[page, heading]


def test_every_printing_block_is_checked():
    assert set(PRINTS) <= {(p, h) for p, h, _ in PYTHON}


@pytest.mark.parametrize("page, command", COMMANDS)
def test_shell_command_is_sound(page, command):
    if shutil.which("bash") is None:
        pytest.skip("the commands are bash's, and this system has no bash to check them")
    assert subprocess.run(["bash", "-n", "-c", command]).returncode == 0
    installed = []  # what the command's own pip install brings, for a later `python -m`
    for part in re.split(r"&&|\|\||;|\|", command):
        words = shlex.split(part, comments=True)
        for word in words:
            extra = re.fullmatch(r"\.\[(.+)\]", word)
            assert not extra or set(extra[1].split(",")) <= set(EXTRAS), command
            if extra:
                installed += [d for name in extra[1].split(",") for d in EXTRAS[name]]
        if words and words[0] in ("python", "python3"):
            if words[1] == "-m":
                module = words[2]
                assert module in installed or importlib.util.find_spec(module), command
            else:
                assert (REPO / words[1]).is_file(), command


def test_quick_start_has_exactly_the_two_commands():
    assert QUICK_START == [
        'python -m pip install ".[examples]" && python examples/spectrogram.py',
        'python -m pip install ".[test]" && python -m pytest',
    ]


def test_contributing_lists_the_ci_stages():
    """The stages CONTRIBUTING.md says run alone are those of .ci/run's lanes."""
    lanes = re.findall(r"^lane[12]=\(([^)]*)\)", (REPO / ".ci/run").read_text(), re.M)
    listed = re.search(r"# any of: (.*?)\n```", (REPO / "CONTRIBUTING.md").read_text(), re.S)
    assert sorted(re.sub(r"\s*#\s*", " ", listed.group(1)).split()) == sorted(
        " ".join(lanes).split()
    )


def test_readme_shows_the_picture_kept_in_docs():
    assert re.findall(r"!\[[^\]]*\]\(([^)]+)\)", README.read_text()) == ["docs/spectrogram.png"]
    assert (REPO / "docs/spectrogram.png").read_bytes()[:4] == b"\x89PNG"
    assert "python examples/spectrogram.py -o docs/spectrogram.png" in (
        (REPO / "CONTRIBUTING.md").read_text()
    )


@pytest.mark.parametrize("page", PAGES, ids=page_name)
def test_relative_links_name_files_of_the_repository(page):
    """Links between pages are file paths, so that they work in the repository too."""
    targets = re.findall(r"\]\(([^)\s]+)\)", page.read_text())
    local = [t.split("#")[0] for t in targets if not re.match(r"[a-z]+:", t) and t[0] != "#"]
    assert [t for t in local if not (page.parent / t).is_file()] == []


def test_readme_links_every_guide_page():
    # The README links the published pages, which a repository host can show.
    site = re.escape("https://kavrel.readthedocs.io/en/latest/")
    pages = re.findall(rf"\]\({site}(guide/[\w-]+)\.html\)", README.read_text())
    linked = {f"docs/{page}.md" for page in pages}
    guide = {page_name(p) for p in (REPO / "docs/guide").glob("*.md")} - {"docs/guide/index.md"}
    assert linked == guide


@pytest.mark.parametrize("page", PAGES, ids=page_name)
def test_included_files_exist(page):
    for path in re.findall(r"^```\{(?:literalinclude|include)\} (\S+)$", page.read_text(), re.M):
        assert (page.parent / path).is_file(), path


def test_cpp_page_includes_the_programs_that_ci_builds():
    text = (REPO / "docs/guide/cpp.md").read_text()
    included = set(re.findall(r"^```\{literalinclude\} \.\./\.\./(\S+)$", text, re.M))
    programs = {p.relative_to(REPO).as_posix() for p in (REPO / "examples/cpp").iterdir()}
    assert programs <= included
    # The headers' reference is generated from all of them; the page says what each holds.
    assert "```{eval-rst}\n.. cpp-reference::\n```" in text
    for header in (REPO / "engine/include/kavrel").iterdir():
        assert f"`kavrel/{header.name}`" in text, header.name


@pytest.mark.parametrize(
    "hop, cuts",
    [(4, [0, 1, 2, 3, 5, 5, 9]), (1, [3, 4]), (7, list(range(0, 60, 6))), (64, [10, 130, 400])],
)
def test_streaming_analyser_equals_one_call(hop, cuts):
    namespace = {}
    exec(python_block("docs/guide/streaming.md", "The streaming analyser"), namespace)
    rng = np.random.default_rng(hop)
    freqs = rng.uniform(20.0, 8000.0, 11).astype(np.float32)
    signal = rng.standard_normal(500).astype(np.float32)
    whole_bank = kavrel.ResonatorBank(freqs, 16000.0)
    analyser = namespace["kt"].StreamAnalyser(freqs, 16000.0, hop)

    pieces = [analyser.feed(block) for block in np.split(signal, cuts)]

    assert_same_complex(np.concatenate(pieces), whole_bank.resonate(signal, hop), f"hop {hop}")
    # The samples of the unfinished frame are in the bank: the state after every sample.
    bank, every_sample = analyser.banks[0], kavrel.ResonatorBank(freqs, 16000.0)
    every_sample.process_samples(signal)
    assert [bank.complex(i) for i in range(11)] == [every_sample.complex(i) for i in range(11)]
