"""
A corpus on a local cluster
===========================

``examples/corpus.py`` analyses every recording of a folder on a Dask cluster and writes
one array of channel powers per file into a Zarr store::

    python examples/corpus.py recordings/ analysis.zarr --workers 2

Here a folder of three short recordings is made first, the job runs on a local cluster of
two worker processes, and the store is read back: each array with its attributes, drawn
one above the other.
"""

import shutil
import sys
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile
import zarr
from dask.distributed import Client, LocalCluster

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())
sys.path.insert(0, str(ROOT / "examples"))

import corpus  # noqa: E402

work = Path(tempfile.mkdtemp())
recordings = work / "recordings"
(recordings / "session2").mkdir(parents=True)
rate = 22050
t = np.arange(3 * rate) / rate
steps = np.array([0, 2, 4, 5, 7, 9, 11, 12])[np.minimum(t // 0.375, 7).astype(int)]
tones = {  # a C major scale, an A minor chord, a sweep from A1 to A6
    "scale.wav": np.sin(2 * np.pi * np.cumsum(261.63 * 2 ** (steps / 12)) / rate),
    "chord.flac": sum(np.sin(2 * np.pi * f * t) for f in (220.0, 261.63, 329.63)) / 3,
    "session2/sweep.wav": np.sin(2 * np.pi * 55.0 * (2 ** (5 * t / 3) - 1) / (5 / 3 * np.log(2))),
}
for name, sound in tones.items():
    soundfile.write(recordings / name, (0.5 * sound).astype(np.float32), rate)

with LocalCluster(
    n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
) as cluster:
    with Client(cluster) as client:
        summary = corpus.run(
            client, str(recordings), str(work / "analysis.zarr"), hop=256, progress=False
        )
print(summary)

store = zarr.open_group(str(work / "analysis.zarr"), mode="r")
fig, axes = plt.subplots(len(tones), 1, figsize=(10, 7), layout="constrained", sharex=True)
for ax, name in zip(axes, sorted(tones)):
    powers = store[name]
    hop, sample_rate = powers.attrs["hop"], powers.attrs["sample_rate"]
    complete = powers.attrs["complete"]
    print(f"{name}: {powers.shape} float32, hop {hop}, {sample_rate} Hz, complete: {complete}")
    image = ax.imshow(
        np.asarray(powers).T,
        origin="lower",
        aspect="auto",
        cmap="magma",
        vmin=-70,
        vmax=0,
        extent=(0, powers.shape[0] * hop / sample_rate, 20.5, 108.5),
    )
    ax.set_yticks([33, 45, 57, 69, 81, 93], ["A1", "A2", "A3", "A4", "A5", "A6"])
    ax.set_ylabel("key")
    ax.set_title(name, loc="left", fontsize=10)
axes[-1].set_xlabel("time (s)")
_ = fig.colorbar(image, ax=axes, label="level (dB re full-scale sine)", pad=0.01)
shutil.rmtree(work)
