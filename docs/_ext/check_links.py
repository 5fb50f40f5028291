"""Check that every local link and image of a built HTML site resolves.

Usage: python docs/_ext/check_links.py BUILD_DIR

Every href and src of every page that names no scheme (http:, mailto:, ...)
must name a file of the site, and a #fragment must name an id of that page.
Prints one line per broken reference and exits with status 1 if there is any.
"""

import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

# Folders of files copied into the site as they are (templates among them), not pages.
COPIED = {"_static", "_sources", "_downloads", "_images"}


class _Page(HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids = set()
        self.refs = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if attrs.get("id"):
            self.ids.add(attrs["id"])
        if tag == "a" and attrs.get("name"):
            self.ids.add(attrs["name"])
        for name in ("href", "src"):
            if attrs.get(name) is not None:
                self.refs.append((tag, attrs[name]))


def broken_references(root):
    """[(page, reference, reason)] of the local references that do not resolve."""
    root = Path(root).resolve()
    pages = {}
    for path in sorted(root.rglob("*.html")):
        if path.relative_to(root).parts[0] in COPIED:
            continue
        page = _Page()
        page.feed(path.read_text(encoding="utf-8"))
        pages[path] = page
    broken = []
    for path, page in pages.items():
        for _, ref in page.refs:
            parts = urlsplit(ref)
            if parts.scheme or parts.netloc or ref.startswith("data:"):
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            name = path.relative_to(root).as_posix()
            if root not in target.parents and target != root:
                broken.append((name, ref, "outside the site"))
            elif not target.is_file():
                broken.append((name, ref, "no such file"))
            elif parts.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else set()
                if unquote(parts.fragment) not in ids:
                    broken.append((name, ref, "no such anchor"))
    return broken


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__)
    broken = broken_references(argv[0])
    for page, ref, reason in broken:
        print(f"{page}: {ref}: {reason}")
    pages = [
        p for p in Path(argv[0]).rglob("*.html") if p.relative_to(argv[0]).parts[0] not in COPIED
    ]
    print(f"{len(pages)} pages checked, {len(broken)} broken local references")
    if not pages:
        return 1
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
