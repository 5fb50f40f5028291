"""
Speech: channels over any range
===============================

The main job takes any frequency range. For speech recorded at 16 kHz, channels log-spaced
from 60 Hz to just below the Nyquist frequency show the voice's harmonics at the bottom and
its formants and fricatives up to 8 kHz, which a bank of piano keys (up to 4.2 kHz) would
lose. The recording is ``docs/audio/speech.flac``, a synthetic voice reading one sentence::

    python examples/spectrogram.py docs/audio/speech.flac --fmin 60 --fmax 7900 -o speech.png
"""

import sys
from pathlib import Path

# The examples are scripts of the repository, not an installed package.
ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())
sys.path.insert(0, str(ROOT / "examples"))

import spectrogram  # noqa: E402

speech = str(ROOT / "docs" / "audio" / "speech.flac")
status = spectrogram.main([speech, "--fmin", "60", "--fmax", "7900", "-o", "speech.png"])
assert status == 0
