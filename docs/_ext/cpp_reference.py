"""The C++ engine's reference, generated from the comments of its public headers.

Doxygen reads engine/include/kavrel/*.hpp (through doxygen_filter.py, which
turns the headers' plain comments into documentation comments) into XML at the
start of the build, and Breathe renders it where a page says

    .. cpp-reference::

CI installs Doxygen (.ci/docs) and builds the reference. A local build on a
machine without Doxygen shows each header's text instead, under a note that
says so.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

HERE = Path(__file__).resolve().parent
HEADERS = HERE.parent.parent / "engine" / "include" / "kavrel"
LOG = logging.getLogger(__name__)

DOXYFILE = """
PROJECT_NAME = kavrel
INPUT = {headers}
FILE_PATTERNS = *.hpp
INPUT_FILTER = "{python} {filter}"
FILTER_SOURCE_FILES = NO
OUTPUT_DIRECTORY = {out}
GENERATE_XML = YES
XML_OUTPUT = xml
GENERATE_HTML = NO
GENERATE_LATEX = NO
EXCLUDE_SYMBOLS = kavrel::detail detail
EXTRACT_PRIVATE = NO
HIDE_UNDOC_MEMBERS = NO
JAVADOC_AUTOBRIEF = NO
MARKDOWN_SUPPORT = YES
QUIET = YES
WARNINGS = NO
WARN_IF_UNDOCUMENTED = NO
AUTOLINK_SUPPORT = NO
"""


def run_doxygen(app, config):
    doxygen = shutil.which("doxygen")
    if doxygen is None:
        LOG.info("no doxygen: the C++ reference shows the headers as they are")
        config.breathe_projects = {}
        return
    # Beside the build's doctrees, so that a later build in the same output
    # folder finds the files Breathe remembers (Doxygen rewrites them each time).
    out = Path(app.doctreedir) / "doxygen"
    out.mkdir(parents=True, exist_ok=True)
    doxyfile = DOXYFILE.format(
        headers=HEADERS, python=sys.executable, filter=HERE / "doxygen_filter.py", out=out
    )
    subprocess.run([doxygen, "-"], input=doxyfile, text=True, check=True)
    config.breathe_projects = {"kavrel": str(out / "xml")}
    config.breathe_default_project = "kavrel"
    config.breathe_show_include = False  # the headers are named above the reference


class CppReference(SphinxDirective):
    """Every public declaration of namespace kavrel, from all the headers."""

    def run(self):
        if self.config.breathe_projects:
            text = [
                ".. doxygennamespace:: kavrel",
                "   :project: kavrel",
                "   :members:",
                "   :undoc-members:",
                "",
            ]
        else:
            text = [".. note:: This build had no Doxygen: the headers are shown as they are.", ""]
            # literalinclude reads an absolute path as one from the top of the
            # source tree: name each header relative to this document instead.
            here = Path(self.env.doc2path(self.env.docname)).parent
            for source in sorted(HEADERS.glob("*.hpp")):
                self.env.note_dependency(str(source))
                text += [
                    f".. rubric:: kavrel/{source.name}",
                    "",
                    f".. literalinclude:: {os.path.relpath(source, here)}",
                    "   :language: cpp",
                    "",
                ]
        box = nodes.container()
        self.state.nested_parse(StringList(text, source=self.get_source_info()[0]), 0, box)
        return box.children


def setup(app):
    app.setup_extension("breathe")
    app.connect("config-inited", run_doxygen)
    app.add_directive("cpp-reference", CppReference)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
