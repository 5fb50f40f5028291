"""Write the small intersphinx inventories the documentation links through.

Usage: python docs/_inventories/make_inventories.py

The docs build runs offline, so it cannot fetch Python's and NumPy's own
objects.inv; it reads these files instead (conf.py's intersphinx_mapping), and
links resolve to the projects' sites as usual. Each holds only the names that
kavrel's reference and guide link to. The Python entries were taken from the
objects.inv of Debian's python3.11-doc package, the NumPy ones from the layout
of NumPy's reference (generated/<function>.html, the scalar types on
arrays.scalars.html), the Matplotlib ones from the layout of its API pages.
Add a name here and run this script again when a page needs one more: with
nitpicky on, the build names any reference that does not resolve. The files
are written by Sphinx's own inventory writer.
"""

from pathlib import Path
from types import SimpleNamespace

from sphinx.util.inventory import InventoryFile

HERE = Path(__file__).resolve().parent

# {inventory: (project, version, [(name, role, page, anchor)])}; an anchor of
# "$" is the name itself.
INVENTORIES = {
    "python": (
        "Python",
        "3",
        [
            ("bool", "class", "library/functions", "$"),
            ("complex", "class", "library/functions", "$"),
            ("float", "class", "library/functions", "$"),
            ("int", "class", "library/functions", "$"),
            ("object", "class", "library/functions", "$"),
            ("len", "function", "library/functions", "$"),
            ("abs", "function", "library/functions", "$"),
            ("typing.SupportsFloat", "class", "library/typing", "$"),
            ("typing.BinaryIO", "class", "library/typing", "$"),
            ("os.PathLike", "class", "library/os", "$"),
            ("OSError", "exception", "library/exceptions", "$"),
            ("collections.abc.Iterable", "class", "library/collections.abc", "$"),
            ("collections.abc.Iterator", "class", "library/collections.abc", "$"),
            ("typing.SupportsIndex", "class", "library/typing", "$"),
            ("None", "data", "library/constants", "$"),
            ("BaseException", "exception", "library/exceptions", "$"),
            ("Exception", "exception", "library/exceptions", "$"),
            ("MemoryError", "exception", "library/exceptions", "$"),
            ("OverflowError", "exception", "library/exceptions", "$"),
            ("RuntimeError", "exception", "library/exceptions", "$"),
            ("TypeError", "exception", "library/exceptions", "$"),
            ("ValueError", "exception", "library/exceptions", "$"),
            ("object.__float__", "method", "reference/datamodel", "$"),
            ("object.__index__", "method", "reference/datamodel", "$"),
        ],
    ),
    "numpy": (
        "NumPy",
        "2",
        [
            ("numpy.ndarray", "class", "reference/generated/numpy.ndarray", "$"),
            ("numpy.float32", "class", "reference/arrays.scalars", "$"),
            ("numpy.float64", "class", "reference/arrays.scalars", "$"),
            ("numpy.complex64", "class", "reference/arrays.scalars", "$"),
            ("numpy.typing.NDArray", "class", "reference/typing", "$"),
            ("numpy.typing.ArrayLike", "class", "reference/typing", "$"),
            ("numpy.int64", "class", "reference/arrays.scalars", "$"),
            ("numpy.abs", "function", "reference/generated/numpy.absolute", "numpy.absolute"),
            ("numpy.angle", "function", "reference/generated/numpy.angle", "$"),
            ("numpy.geomspace", "function", "reference/generated/numpy.geomspace", "$"),
            ("numpy.log10", "function", "reference/generated/numpy.log10", "$"),
        ],
    ),
    "matplotlib": (
        "Matplotlib",
        "3",
        [
            ("matplotlib.axes.Axes", "class", "api/_as_gen/matplotlib.axes.Axes", "$"),
            ("matplotlib.image.AxesImage", "class", "api/image_api", "$"),
        ],
    ),
}


class _Domain:
    name = "py"

    def __init__(self, entries):
        self.entries = entries

    def get_objects(self):
        for name, role, page, anchor in self.entries:
            yield name, name, role, page, name if anchor == "$" else anchor, 1


def write(path, project, version, entries):
    domain = _Domain(entries)
    env = SimpleNamespace(
        config=SimpleNamespace(project=project, version=version),
        domains=SimpleNamespace(sorted=lambda: [domain]),
    )
    builder = SimpleNamespace(get_target_uri=lambda page: page + ".html")
    InventoryFile.dump(path, env, builder)


if __name__ == "__main__":
    for stem, (project, version, entries) in INVENTORIES.items():
        write(HERE / f"{stem}.inv", project, version, entries)
        print(f"{stem}.inv: {len(entries)} names")
