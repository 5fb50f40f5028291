"""The gallery's order of pages, and a scraper for the pictures that the examples save as files."""

import shutil
from pathlib import Path


class PictureFiles:
    """Gallery scraper for the pictures a script writes as files (the examples
    draw with their own code and save PNGs): every PNG that appears beside the
    script is moved to the gallery's images and shown below the code block
    that wrote it."""

    def __repr__(self):
        return "PictureFiles"

    def __call__(self, block, block_vars, gallery_conf):
        from sphinx_gallery.scrapers import figure_rst

        here = Path(block_vars["src_file"]).parent
        names = []
        for png in sorted(here.glob("*.png")):
            target = block_vars["image_path_iterator"].next()
            shutil.move(png, target)
            names.append(target)
        return figure_rst(names, gallery_conf["src_dir"])


# The gallery's pages in reading order: the main job first, the cluster last.
ORDER = [
    "plot_piano.py",
    "plot_speech.py",
    "plot_tuner.py",
    "plot_features.py",
    "plot_parallel.py",
    "plot_corpus.py",
]


def gallery_order(filename):
    """Sort key of a gallery script: its place in ORDER, others after them by name."""
    name = Path(filename).name
    return (ORDER.index(name), "") if name in ORDER else (len(ORDER), name)
