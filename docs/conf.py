"""Sphinx configuration of kavrel's documentation.

Build: python -m pip install ".[docs]" && python -m sphinx -W --keep-going -b html docs OUTDIR
"""

import atexit
import re
import shutil
import sys
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # the gallery draws into files only

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent

# The version has one home, pyproject.toml's version line.
version = release = re.search(
    r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), flags=re.M
)[1]

project = "kavrel"
author = "The kavrel developers"
copyright = "kavrel developers, BSD-3-Clause"

extensions = [
    "myst_parser",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "autoapi.extension",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "gallery/README.rst", "auto_gallery/*.ipynb", "audio"]
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3
# The guide's pages link each other as files (guide/streaming.md) so that the
# links also work on the repository's web view.
suppress_warnings = ["config.cache"]

# The API reference is generated from the type stubs, the one home of the
# docstrings. The stubs ship as the package "kavrel-stubs"; the reference reads
# them as the module they describe, "kavrel".
_stubs = Path(tempfile.mkdtemp(prefix="kavrel-docs-"))
atexit.register(shutil.rmtree, _stubs, ignore_errors=True)
(_stubs / "kavrel").mkdir()
shutil.copyfile(ROOT / "kavrel-stubs" / "__init__.pyi", _stubs / "kavrel" / "__init__.pyi")
# The toolkit is plain Python with its docstrings in its source, documented from it.
shutil.copytree(
    ROOT / "python" / "kavrel_tools",
    _stubs / "kavrel_tools",
    ignore=shutil.ignore_patterns("__pycache__"),
)
autoapi_dirs = [str(_stubs)]
autoapi_root = "api"
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_options = ["members", "special-members"]
autoapi_keep_files = False
autoapi_add_toctree_entry = False
autoapi_member_order = "bysource"
autoapi_python_class_content = "class"
napoleon_google_docstring = True
napoleon_numpy_docstring = False


def _skip_member(app, what, name, obj, skip, options):
    """Keep the public surface: the class, its constructor and len(), the
    methods and the functions; leave out the stub's private type alias."""
    short = name.rsplit(".", 1)[-1]
    if short in ("__new__", "__len__"):
        return False
    if short.startswith("_"):
        return True
    return skip


def setup(app):
    app.connect("autoapi-skip-member", _skip_member)


# The gallery's scraper and order live in a module of their own, so that Sphinx can pickle them.
sys.path.insert(0, str(DOCS / "_ext"))
from gallery_support import PictureFiles  # noqa: E402

sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_gallery",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "gallery_support.gallery_order",
    "show_memory": False,
    "image_scrapers": ("matplotlib", PictureFiles()),
}

html_theme = "pydata_sphinx_theme"
html_title = f"kavrel {release}"
html_static_path = ["_static"]
html_css_files = ["kavrel.css"]
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_sidebars = {page: [] for page in ("index", "changelog", "citing", "development", "api/**")}
html_show_sourcelink = False
