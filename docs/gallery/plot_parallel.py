"""
One analysis on every core: a parallel split
============================================

The channels of a bank never interact, so ``examples/parallel.py`` splits a bank by
channels into one bank per core and runs each part's ``resonate`` in its own thread (the
call releases the interpreter lock). The parts, set side by side, are bit for bit the
frames of one bank; the picture shows which thread computed which channels::

    python examples/parallel.py --channels 1024 --workers 2
"""

import sys
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import kavrel

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())
sys.path.insert(0, str(ROOT / "examples"))

import parallel  # noqa: E402

rate, hop, workers = 44100.0, 256, 2
freqs = np.geomspace(27.5, 8000.0, 256).astype(np.float32)
signal = parallel.test_signal(int(2 * rate), rate)  # noise and four steady tones

split = parallel.parallel_resonate(freqs, rate, signal, hop, workers=workers)
whole = kavrel.ResonatorBank(freqs, rate).resonate(signal, hop)
print("frames", split.shape, "identical bit for bit:", split.tobytes() == whole.tobytes())

level = 10 * np.log10(4 * np.abs(split.astype(np.complex128)) ** 2 + 1e-12)
fig, ax = plt.subplots(figsize=(10, 5), layout="constrained")
image = ax.imshow(
    level.T,
    origin="lower",
    aspect="auto",
    cmap="magma",
    vmin=level.max() - 60,
    extent=(0, len(split) * hop / rate, -0.5, len(freqs) - 0.5),
)
for k, (a, b) in enumerate(parallel.channel_splits(len(freqs), workers)):
    ax.axhline(a - 0.5, color="white", linewidth=1.5)
    ax.text(
        0.02,
        b - 6,
        f"thread {k + 1}: {freqs[a]:.0f} to {freqs[b - 1]:.0f} Hz",
        color="white",
        va="top",
        fontsize=11,
        bbox={"facecolor": "black", "alpha": 0.6, "edgecolor": "none"},
    )
hz = [110, 440, 1000, 3520]
ax.set_yticks(np.interp(np.log(hz), np.log(freqs), np.arange(len(freqs))), [str(f) for f in hz])
ax.set_xlabel("time (s)")
ax.set_ylabel("channel frequency (Hz)")
ax.set_title(f"{len(freqs)} channels in {workers} banks, one thread each")
_ = fig.colorbar(image, ax=ax, label="level (dB re full-scale sine)", pad=0.01)
