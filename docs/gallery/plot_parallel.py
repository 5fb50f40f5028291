"""
One analysis on every core: a parallel split
============================================

The channels of a bank never interact, so :py:func:`kavrel_tools.parallel_resonate
<kavrel_tools.parallel.parallel_resonate>` splits a bank by channels
(:py:func:`~kavrel_tools.parallel.channel_splits`) into one bank per core and runs each part's
:py:meth:`~kavrel.ResonatorBank.resonate` in its own thread (the call releases the
interpreter lock). The parts, set side by side, are bit for bit the frames of one
:py:class:`kavrel.ResonatorBank`; :py:func:`~kavrel_tools.results.power` and
:py:func:`~kavrel_tools.results.power_db` turn them into levels, and the picture shows which
thread computed which channels. The command
line that times both ways::

    python examples/parallel.py --channels 1024 --workers 2
"""

import matplotlib.pyplot as plt
import numpy as np

import kavrel
from kavrel_tools import parallel_resonate, power, power_db
from kavrel_tools.parallel import channel_splits

rate, hop, workers = 44100.0, 256, 2
freqs = np.geomspace(27.5, 8000.0, 256).astype(np.float32)
t = np.arange(int(2 * rate)) / rate
tones = sum(a * np.sin(2 * np.pi * f * t) for f, a in ((110.0, 0.2), (440.0, 0.15), (1000, 0.1)))
noise = 0.05 * np.random.default_rng(1).standard_normal(len(t))
signal = (tones + noise).astype(np.float32)

split = parallel_resonate(freqs, rate, signal, hop, workers=workers)
whole = kavrel.ResonatorBank(freqs, rate).resonate(signal, hop)
print("frames", split.shape, "identical bit for bit:", split.tobytes() == whole.tobytes())

level = power_db(power(split))
fig, ax = plt.subplots(figsize=(10, 5), layout="constrained")
image = ax.imshow(
    level.T,
    origin="lower",
    aspect="auto",
    cmap="magma",
    vmin=level.max() - 60,
    extent=(0, len(split) * hop / rate, -0.5, len(freqs) - 0.5),
)
for k, (a, b) in enumerate(channel_splits(len(freqs), workers)):
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
