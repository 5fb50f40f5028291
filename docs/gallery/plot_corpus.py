"""
A corpus on a local cluster
===========================

``examples/corpus.py`` analyses every recording of a folder on a Dask cluster and writes
one array of channel powers per file into a Zarr store::

    python examples/corpus.py recordings/ analysis.zarr --workers 2

Its analysis of one file is the function ``analyse_file`` below, which each worker runs on
the files it is given: :py:func:`kavrel_tools.load <kavrel_tools.audio.load>` reads the file
as mono float32 samples, :py:func:`~kavrel_tools.frequencies.below_nyquist` keeps the piano
keys of :py:func:`~kavrel_tools.frequencies.key_frequencies` that the file's sample rate can
hold, one :py:meth:`~kavrel.ResonatorBank.resonate` gives a frame every hop, and
:py:func:`~kavrel_tools.results.power` with :py:func:`~kavrel_tools.results.power_db` turn
the frames into levels, which the worker writes into the store itself, so that only the file
names travel back. (The script adds what a batch job needs: reading in blocks, a lock, runs
that resume, a report of the files that fail.)

Here a folder of three short recordings is made first, the files are analysed on a local
cluster of two workers, and the store is read back and drawn.
"""

import shutil
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile
import zarr
from dask.distributed import Client, LocalCluster

import kavrel
import kavrel_tools as kt

HOP = 256


def analyse_file(path, store):
    """The levels of one file's piano keys, a row every HOP samples, written into the store."""
    signal, rate = kt.load(path)  # mono float32
    freqs = kt.below_nyquist(kt.key_frequencies(), rate)
    frames = kavrel.ResonatorBank(freqs, rate).resonate(signal, HOP)
    levels = kt.power_db(kt.power(frames)).astype(np.float32)  # (frames, keys), dB
    zarr.save_array(store, levels, path=Path(path).name)
    array = zarr.open_array(store, path=Path(path).name, mode="r+")
    array.attrs.update(sample_rate=rate, hop=HOP, frequencies=freqs.tolist())
    return Path(path).name


work = Path(tempfile.mkdtemp())
rate = 22050
t = np.arange(3 * rate) / rate
steps = np.array([0, 2, 4, 5, 7, 9, 11, 12])[np.minimum(t // 0.375, 7).astype(int)]
tones = {  # a C major scale, an A minor chord, a sweep from A1 to A6
    "scale.wav": np.sin(2 * np.pi * np.cumsum(261.63 * 2 ** (steps / 12)) / rate),
    "chord.flac": sum(np.sin(2 * np.pi * f * t) for f in (220.0, 261.63, 329.63)) / 3,
    "sweep.wav": np.sin(2 * np.pi * 55.0 * (2 ** (5 * t / 3) - 1) / (5 / 3 * np.log(2))),
}
for name, sound in tones.items():
    soundfile.write(work / name, (0.5 * sound).astype(np.float32), rate)

store = str(work / "analysis.zarr")
# Workers as threads of this process: the bank releases the interpreter lock, and the script
# needs no main guard. On a real cluster the same function runs in worker processes.
with LocalCluster(
    n_workers=2, threads_per_worker=1, processes=False, dashboard_address=":0"
) as cluster:
    with Client(cluster) as client:
        futures = client.map(analyse_file, [str(work / name) for name in tones], store=store)
        print("analysed:", client.gather(futures))

fig, axes = plt.subplots(len(tones), 1, figsize=(10, 7), layout="constrained", sharex=True)
for ax, name in zip(axes, sorted(tones)):
    levels = zarr.open_array(store, path=name, mode="r")
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
