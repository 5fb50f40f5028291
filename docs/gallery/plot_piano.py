"""
Piano keys: the main job's picture
==================================

``examples/spectrogram.py`` without an input file analyses its built-in demo signal
(piano-like notes, a chord, then a sweep) with one channel per piano key, and draws the
levels in dB relative to a full-scale sine, time across. This is the picture of the
quick start::

    python examples/spectrogram.py -o spectrogram.png

The script is a command line over ``kavrel_tools``: its notes, its block-by-block analysis
(``kavrel_tools.stream``), its levels and its picture's axes
(``kavrel_tools.results.draw_levels``) come from the toolkit. Here it runs as a user runs it.
"""

import subprocess
import sys
from pathlib import Path

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())
run = subprocess.run(
    [sys.executable, str(ROOT / "examples" / "spectrogram.py"), "-o", "piano.png"],
    capture_output=True,
    text=True,
)
print(run.stdout, run.stderr, sep="")
assert run.returncode == 0
