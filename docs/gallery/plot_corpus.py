"""
A corpus on a local cluster
===========================

:py:func:`kavrel_tools.corpus.analyse_corpus` analyses every recording of a folder on a Dask
cluster and writes one array of channel powers per file into a Zarr store; its command line
is ``examples/corpus.py``::

    python examples/corpus.py recordings/ analysis.zarr --workers 2

Each worker runs :py:func:`~kavrel_tools.corpus.analyse_file` on the files it is given: the
file is read in blocks and mixed to mono, one bank holds the piano keys of
:py:func:`~kavrel_tools.frequencies.key_frequencies` below the file's Nyquist frequency, a
frame every hop is turned into levels by :py:func:`~kavrel_tools.results.power` and
:py:func:`~kavrel_tools.results.power_db`, and the worker writes them into the store itself,
so that only the file names travel back. The store is locked while a run works on it, every
array in it is whole, and a second run skips what is complete: here it finds nothing to do.

A folder of three short recordings is made first, the files are analysed on a local cluster
of two workers, and the store is read back and drawn.
"""

import shutil
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile
import zarr
from dask.distributed import Client, LocalCluster

from kavrel_tools.corpus import analyse_corpus

HOP = 256

work = Path(tempfile.mkdtemp())
recordings = work / "recordings"
recordings.mkdir()
rate = 22050
t = np.arange(3 * rate) / rate
steps = np.array([0, 2, 4, 5, 7, 9, 11, 12])[np.minimum(t // 0.375, 7).astype(int)]
tones = {  # a C major scale, an A minor chord, a sweep from A1 to A6
    "scale.wav": np.sin(2 * np.pi * np.cumsum(261.63 * 2 ** (steps / 12)) / rate),
    "chord.flac": sum(np.sin(2 * np.pi * f * t) for f in (220.0, 261.63, 329.63)) / 3,
    "sweep.wav": np.sin(2 * np.pi * 55.0 * (2 ** (5 * t / 3) - 1) / (5 / 3 * np.log(2))),
}
for name, sound in tones.items():
    soundfile.write(recordings / name, (0.5 * sound).astype(np.float32), rate)

store = work / "analysis.zarr"
# Workers as threads of this process: the bank releases the interpreter lock, and the script
# needs no main guard. Without a client, analyse_corpus starts a cluster of worker processes.
with LocalCluster(
    n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0"
) as cluster:
    with Client(cluster) as client:
        summary = analyse_corpus(recordings, store, hop=HOP, client=client)
        print("analysed:", summary["done"], "failed:", summary["errors"])
        again = analyse_corpus(recordings, store, hop=HOP, client=client)
        print("second run, already complete:", again["skipped"])

fig, axes = plt.subplots(len(tones), 1, figsize=(10, 7), layout="constrained", sharex=True)
for ax, name in zip(axes, sorted(tones)):
    levels = zarr.open_group(str(store), mode="r")[name]
    hop, sample_rate = levels.attrs["hop"], levels.attrs["sample_rate"]
    print(f"{name}: {levels.shape} {levels.dtype}, hop {hop}, {sample_rate} Hz")
    image = ax.imshow(
        np.asarray(levels).T,
        origin="lower",
        aspect="auto",
        cmap="magma",
        vmin=-70,
        vmax=0,
        extent=(0, levels.shape[0] * hop / sample_rate, 20.5, 108.5),
    )
    ax.set_yticks([33, 45, 57, 69, 81, 93], ["A1", "A2", "A3", "A4", "A5", "A6"])
    ax.set_ylabel("key")
    ax.set_title(name, loc="left", fontsize=10)
axes[-1].set_xlabel("time (s)")
_ = fig.colorbar(image, ax=axes, label="level (dB re full-scale sine)", pad=0.01)
shutil.rmtree(work)
