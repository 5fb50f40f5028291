"""The documentation's version, its API reference and its link check.

The reference tests read a built site: .ci/docs builds one and runs this file
with KAVREL_DOCS_HTML set to it; under plain pytest those tests are skipped.
"""

import ast
import doctest
import html
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import zlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M)[1]
BUILT = os.environ.get("KAVREL_DOCS_HTML")

# The checks of the built site run in .ci/docs; plain pytest has no site.
needs_built_site = pytest.mark.skipif(
    not BUILT,
    reason="needs the built site: runs in .ci/docs, which builds it and sets KAVREL_DOCS_HTML",
)


def load_link_checker():
    spec = importlib.util.spec_from_file_location("check_links", ROOT / "docs/_ext/check_links.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_citation_and_changelog_name_the_project_version():
    citation = (ROOT / "CITATION.cff").read_text()
    assert re.findall(r"^version: (.*)$", citation, re.M) == [f'"{VERSION}"']
    assert re.findall(r"^cff-version: (.*)$", citation, re.M) == ["1.2.0"]
    newest = re.search(r"^## (.*)$", (ROOT / "CHANGELOG.md").read_text(), re.M)[1]
    assert newest.split()[0] == VERSION


def test_docs_host_builds_what_ci_builds():
    """.readthedocs.yaml installs the same extra and runs the same Sphinx
    command as .ci/docs, so a green CI means a site the host can build."""
    host = (ROOT / ".readthedocs.yaml").read_text()
    ci = (ROOT / ".ci/docs").read_text()
    sphinx = re.compile(r"python -m sphinx (.*?) docs (\S+)")
    assert [args for args, _ in sphinx.findall(host)] == ["-W --keep-going -b html"]
    assert [args for args, _ in sphinx.findall(ci)] == ["-W --keep-going -b html"]
    assert 'python -m pip install ".[docs]"' in host and '".[docs]"' in ci
    assert "doxygen" in host and "doxygen" in ci


def test_project_addresses_agree():
    citation = (ROOT / "CITATION.cff").read_text()
    project = (ROOT / "pyproject.toml").read_text()
    repository = re.search(r'^repository-code: "(.*)"$', citation, re.M)[1]
    site = re.search(r'^url: "(.*)"$', citation, re.M)[1]
    assert re.search(rf'^Source = "{re.escape(repository)}"$', project, re.M)
    assert re.search(rf'^Documentation = "{re.escape(site)}"$', project, re.M)


def stub_names():
    """{qualified name: docstring} of the stubs' public names: the class, its
    methods (the constructor and len() included) and the module's functions."""
    tree = ast.parse((ROOT / "kavrel-stubs/__init__.pyi").read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            names[f"kavrel.{node.name}"] = ast.get_docstring(node)
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    names[f"kavrel.{node.name}.{item.name}"] = ast.get_docstring(item)
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            names[f"kavrel.{node.name}"] = ast.get_docstring(node)
    return names


def stub_examples():
    """[(name, doctest)] of every stub docstring that holds an example, with
    the line numbers of the stub file."""
    tree = ast.parse((ROOT / "kavrel-stubs/__init__.pyi").read_text())
    first_lines = {}  # {name: line of the docstring's opening quotes}
    for node in tree.body:
        owner = f"kavrel.{getattr(node, 'name', '')}"
        for item in (
            [node, *getattr(node, "body", [])] if isinstance(node, ast.ClassDef) else [node]
        ):
            if isinstance(item, (ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(item):
                name = owner if item is node else f"{owner}.{item.name}"
                first_lines[name] = item.body[0].lineno
    parser = doctest.DocTestParser()
    tests = []
    for name, doc in stub_names().items():
        where = first_lines.get(name, 1) - 1
        test = parser.get_doctest(doc or "", {}, name, "kavrel-stubs/__init__.pyi", where)
        if test.examples:
            tests.append((name, test))
    return tests


STUB_EXAMPLES = stub_examples()


def test_every_public_object_has_an_example():
    assert sorted(name for name, _ in STUB_EXAMPLES) == sorted(stub_names())


@pytest.mark.parametrize("test", [t for _, t in STUB_EXAMPLES], ids=[n for n, _ in STUB_EXAMPLES])
def test_stub_example_runs_as_written(test):
    """Each example runs alone, from its own imports, against the installed
    module, and prints exactly what the docstring shows."""
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert runner.summarize(verbose=False).failed == 0, "".join(failures)


def test_stub_surface_is_the_documented_one():
    names = stub_names()
    methods = [n for n in names if n.count(".") == 2 and not n.endswith("__")]
    assert len(methods) == 13 and len(names) == 1 + 2 + 13 + 5, sorted(names)


def inventory(site):
    """{name: role} of the Python objects in a built site's objects.inv."""
    data = (site / "objects.inv").read_bytes()
    header_end = 0
    for _ in range(4):
        header_end = data.index(b"\n", header_end) + 1
    lines = zlib.decompress(data[header_end:]).decode().splitlines()
    found = {}
    for line in lines:
        name, role = line.split(" ", 2)[:2]
        if role.startswith("py:"):
            found[name] = role
    return found


def plain_text(markup):
    text = html.unescape(re.sub(r"<[^>]+>", "", markup))
    text = text.translate(str.maketrans("‘’“”", "''\"\""))
    return " ".join(text.split())


def reference_page(site, name):
    """The built page of a documented object: api/kavrel/ResonatorBank.resonate.html."""
    package, _, rest = name.partition(".")
    return site / "api" / package / f"{rest}.html"


@needs_built_site
def test_reference_documents_exactly_the_stubs():
    site = pathlib.Path(BUILT)
    documented = {
        name: role
        for name, role in inventory(site).items()
        if role in ("py:class", "py:method", "py:function") and name.startswith("kavrel.")
    }
    names = stub_names()
    assert set(documented) == set(names)
    summary = (site / "api/kavrel/index.html").read_text()
    for name, doc in names.items():
        page = reference_page(site, name).read_text()
        assert f'href="{reference_page(site, name).name}"' in summary, f"{name}: not in the summary"
        entry = re.search(
            rf'<dt class="sig sig-object py" id="{re.escape(name)}">(.*?)</dt>', page, re.S
        )
        assert entry, f"{name}: no entry on its page"
        text = plain_text(entry[1])
        assert "(" in text, f"{name}: no signature"
        assert "_Real" not in text, f"{name}: a private alias in the signature"
        first = " ".join(doc.splitlines()[0].replace("``", "").split())
        body = plain_text(page)
        assert first in body, name
        assert "Example" in body and "See also" in body, name
    # The reference links back to the guide pages that use an object.
    resonate = reference_page(site, "kavrel.ResonatorBank.resonate").read_text()
    assert 'href="../../guide/results.html"' in resonate


# Guide pages that other work is converting: their API names are not yet links.
# Convert a page (write each API name as a role, e.g. {py:meth}`~kavrel.ResonatorBank.resonate`)
# and then take it off this list; the test fails while a listed page has nothing left to convert.
UNCONVERTED: set[str] = set()
# Pages whose code names are the C++ engine's, not the module's.
NOT_PYTHON = {"cpp.md"}

# API names that are also plain words: code text is an API name only when called
# (`power(i)`) or qualified (`bank.power`).
AMBIGUOUS = {"complex", "freq", "frequencies", "magnitude", "phase", "power"}


def unlinked_api_names(markdown):
    """[(line number, code text)] of the inline code spans of a MyST page that
    name a public object of kavrel but are not a role (and so not a link)."""
    names = {n.rsplit(".", 1)[1] for n in stub_names()} - {"__new__", "__len__"}
    pattern = re.compile(
        r"(?:kavrel\.)?(?:(?:ResonatorBank|bank)\.)?(?P<name>\w+)(?P<call>\(.*\))?", re.S
    )
    found, fence = [], None
    for number, line in enumerate(markdown.splitlines(), 1):
        stripped = line.lstrip()
        if fence:
            if stripped.startswith(fence):
                fence = None
            continue
        opening = re.match(r"(`{3,}|~{3,}|:{3,})", stripped)
        if opening:
            fence = opening[1]
            continue
        line = re.sub(r"\{[\w:+-]+\}`[^`]*`", "", line)  # roles: links already
        for span in re.finditer(r"(?<!`)`([^`]+)`(?!`)", line):
            code = span[1].strip()
            match = pattern.fullmatch(code)
            if not match or match["name"] not in names:
                continue
            qualified = match["name"] != code.split("(")[0]
            if match["name"] in AMBIGUOUS and not (qualified or match["call"]):
                continue
            found.append((number, code))
    return found


def test_link_check_flags_api_names_written_as_plain_code():
    page = (
        "Call `resonate(signal, hop)` or `bank.power(0)`; `power` alone is a word,\n"
        "{py:meth}`~kavrel.ResonatorBank.reset` is a link, `np.abs(x)` is not ours.\n"
        "```python\nbank.resonate(signal, 256)  # `resonate` in code is fine\n```\n"
        "`kavrel.ResonatorBank` and `midi_to_hz`\n"
    )
    assert unlinked_api_names(page) == [
        (1, "resonate(signal, hop)"),
        (1, "bank.power(0)"),
        (6, "kavrel.ResonatorBank"),
        (6, "midi_to_hz"),
    ]


@pytest.mark.parametrize(
    "page",
    sorted(p.name for p in (ROOT / "docs/guide").glob("*.md") if p.name not in NOT_PYTHON)
    + ["../index.md"],
)
def test_guide_links_every_api_name(page):
    found = unlinked_api_names((ROOT / "docs/guide" / page).read_text())
    if page in UNCONVERTED:
        assert found, f"{page} has no unlinked API name left: take it off UNCONVERTED"
    else:
        assert found == [], f"{page}: API names written as code, not as links: {found}"


@needs_built_site
def test_reference_documents_the_toolkit():
    kavrel_tools = pytest.importorskip("kavrel_tools")
    documented = inventory(pathlib.Path(BUILT))
    public = {
        f"{getattr(kavrel_tools, name).__module__}.{name}"
        for name in kavrel_tools.__all__
        if callable(getattr(kavrel_tools, name))
    }
    assert public - set(documented) == set()


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def test_link_checker_finds_each_kind_of_broken_reference(tmp_path):
    write(
        tmp_path / "index.html",
        '<a href="guide/a.html#top">ok</a> <a href="guide/a.html#gone">anchor</a>'
        '<img src="_images/missing.png"> <a href="https://example.org/x">external</a>'
        '<a href="#here" id="here">self</a> <a href="../outside.html">up</a>',
    )
    write(tmp_path / "guide/a.html", '<h1 id="top">A</h1><img src="../_images/p.png">')
    write(tmp_path / "_images/p.png", "")
    write(tmp_path / "_static/macros.html", '<a href="{{ pathto(x) }}">template</a>')

    broken = load_link_checker().broken_references(tmp_path)

    assert broken == [
        ("index.html", "guide/a.html#gone", "no such anchor"),
        ("index.html", "_images/missing.png", "no such file"),
        ("index.html", "../outside.html", "outside the site"),
    ]


GALLERY = sorted((ROOT / "docs/gallery").glob("plot_*.py"))


@pytest.mark.parametrize("script", GALLERY, ids=[p.name for p in GALLERY])
def test_gallery_script_runs_downloaded_alone(script, tmp_path):
    """A gallery page's script, copied alone into an empty folder outside the
    repository, runs to the end: it makes its own input and needs no file of the repository."""
    for node in ast.parse(script.read_text()).body:  # optional packages (Dask...) may be absent
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for name in [node.module] if isinstance(node, ast.ImportFrom) else node.names:
                pytest.importorskip((name if isinstance(name, str) else name.name).split(".")[0])
    copy = tmp_path / script.name
    copy.write_text(script.read_text())
    env = {**os.environ, "MPLBACKEND": "Agg"}
    run = subprocess.run(
        [sys.executable, copy.name], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert sorted(p.name for p in tmp_path.iterdir()) == [script.name]  # it cleaned up


@needs_built_site
@pytest.mark.parametrize(
    "name, page",
    [
        ("kavrel.ResonatorBank.resonate", "plot_piano"),
        ("kavrel_tools.stream.analyse", "plot_speech"),
        ("kavrel_tools.live.LiveAnalyser.feed", "plot_tuner"),
        ("kavrel_tools.pitch.track_pitch", "plot_features"),
        ("kavrel_tools.parallel.parallel_resonate", "plot_parallel"),
        ("kavrel_tools.corpus.analyse_corpus", "plot_corpus"),
    ],
)
def test_reference_lists_the_gallery_pages_that_use_an_object(name, page):
    site = pathlib.Path(BUILT)
    if name.startswith("kavrel_tools."):  # a page per object under its module's folder
        _, module, rest = name.split(".", 2)
        text = (site / "api/kavrel_tools" / module / f"{rest}.html").read_text()
    else:
        text = reference_page(site, name).read_text()
    assert f'auto_gallery/{page}.html"' in text
