"""
Piano keys: the main job's picture
==================================

``examples/spectrogram.py`` without an input file analyses its built-in demo signal
(piano-like notes, a chord, then a sweep) with one channel per piano key, and draws the
levels in dB relative to a full-scale sine, time across. This is the picture of the
quick start::

    python examples/spectrogram.py -o spectrogram.png
"""

import sys
from pathlib import Path

# The examples are scripts of the repository, not an installed package.
ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())
sys.path.insert(0, str(ROOT / "examples"))

import spectrogram  # noqa: E402

status = spectrogram.main(["-o", "piano.png"])
assert status == 0
