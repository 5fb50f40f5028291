"""Links from the API reference back to the pages that use each object.

Every page outside the reference (the user guide, the gallery) is scanned for
cross-references to a documented package's objects ({py:meth}`...` and the
like); on the object's own page the directive

    .. api-guide-links:: kavrel.ResonatorBank.resonate

becomes a list of those pages, so the reference stays linked to the guide
without a hand-kept list. The templates of docs/_templates/autoapi put the
directive on every page of a class, method or function.
"""

from autoapi.directives import AutoapiSummary
from docutils import nodes
from sphinx import addnodes
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import make_refnode

# The folder of the generated reference (conf.py's autoapi_root).
REFERENCE = "api/"


class guide_links(nodes.General, nodes.Element):
    """Where the list of pages that use an object goes."""


class GuideLinks(SphinxDirective):
    required_arguments = 1

    def run(self):
        return [guide_links(target=self.arguments[0])]


class NameSummary(AutoapiSummary):
    """sphinx-autoapi's summary table, honouring :nosignatures: (the object's
    page shows its signature; the table gives names and first lines)."""

    def get_items(self, names):
        items = super().get_items(names)
        if "nosignatures" in self.options:
            items = [(name, None, summary, real) for name, _, summary, real in items]
        return items


def _uses(env):
    if not hasattr(env, "api_uses"):
        env.api_uses = {}  # {object: {page that links to it}}
    return env.api_uses


def collect(app, doctree):
    env = app.env
    if env.docname.startswith(REFERENCE):
        return
    packages = tuple(f"{name}." for name in app.config.api_packages)
    for ref in doctree.findall(addnodes.pending_xref):
        target = ref.get("reftarget", "")
        if ref.get("refdomain") == "py" and target.startswith(packages):
            _uses(env).setdefault(target, set()).add(env.docname)


def purge(app, env, docname):
    for pages in _uses(env).values():
        pages.discard(docname)


def merge(app, env, docnames, other):
    for target, pages in _uses(other).items():
        _uses(env).setdefault(target, set()).update(pages & set(docnames))


def _page_order(docname):
    # The guide first, then the gallery, then anything else.
    return (not docname.startswith("guide/"), not docname.startswith("auto_gallery/"), docname)


def resolve(app, doctree, fromdocname):
    env = app.env
    for node in list(doctree.findall(guide_links)):
        pages = sorted(_uses(env).get(node["target"], ()), key=_page_order)
        if not pages:
            node.replace_self([])
            continue
        para = nodes.paragraph()
        para += nodes.strong(text="Guide and gallery pages that use it: ")
        for i, page in enumerate(pages):
            if i:
                para += nodes.Text(", ")
            title = env.titles[page].astext() if page in env.titles else page
            para += make_refnode(app.builder, fromdocname, page, "", nodes.inline(text=title))
        para += nodes.Text(".")
        box = nodes.container(classes=["api-guide-links"])
        box += para
        node.replace_self(box)


def setup(app):
    app.add_config_value("api_packages", [], "env")
    app.add_node(guide_links)
    app.add_directive("api-guide-links", GuideLinks)
    app.add_directive("autoapisummary", NameSummary, override=True)
    app.connect("doctree-read", collect)
    app.connect("env-purge-doc", purge)
    app.connect("env-merge-info", merge)
    app.connect("doctree-resolved", resolve)
    return {"parallel_read_safe": True, "parallel_write_safe": True, "env_version": 1}
