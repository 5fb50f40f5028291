"""The corpus job on a two-process Dask cluster: per-file results bit for bit
those of a lone analysis, failures reported while the rest goes on, resume."""

import importlib.util
import subprocess
import sys

import numpy as np
import pytest

import kavrel
from support import EXAMPLES

soundfile = pytest.importorskip("soundfile")
zarr = pytest.importorskip("zarr")
distributed = pytest.importorskip("distributed")
pytest.importorskip("tqdm")

SCRIPT = EXAMPLES / "corpus.py"
HOP = 256
CORRUPT = "broken.wav"
GOOD = ["a.wav", "short.wav", "sub/b.flac"]


@pytest.fixture(scope="module")
def corpus():
    name = "corpus_example"
    spec = importlib.util.spec_from_file_location(name, SCRIPT)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # a module sent to workers by value must be registered
    spec.loader.exec_module(module)
    yield module
    del sys.modules[name]


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with distributed.Client(cluster) as client:
            yield cluster, client


def tone(sample_rate, seconds, freq, amplitude):
    t = np.arange(int(seconds * sample_rate)) / sample_rate
    return amplitude * np.sin(2 * np.pi * freq * t)


def write_corpus(root):
    (root / "sub").mkdir(parents=True)
    soundfile.write(
        root / "a.wav", tone(22050, 0.6, 440.0, 0.5).astype(np.float32), 22050, subtype="FLOAT"
    )
    stereo = np.stack([tone(16000, 0.5, 220.0, 0.6), np.zeros(8000)], axis=1)
    soundfile.write(root / "sub" / "b.flac", stereo, 16000)
    soundfile.write(root / "short.wav", np.zeros(100, np.int16), 8000)  # under one hop
    (root / CORRUPT).write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt " + bytes(40))
    (root / "notes.txt").write_text("not audio, not looked at")


def bits(a):
    return np.asarray(a).view(np.uint32)


def test_batch_reports_failures_goes_on_and_resumes(tmp_path, corpus, cluster, capsys):
    root, out = tmp_path / "in", str(tmp_path / "out.zarr")
    write_corpus(root)
    address = cluster[0].scheduler_address
    args = [str(root), out, "--scheduler", address, "--hop", str(HOP)]

    assert corpus.main(args) == 1
    err = capsys.readouterr().err
    failed = [line for line in err.splitlines() if line.startswith("failed: ")]
    assert len(failed) == 1 and failed[0].startswith(f"failed: {CORRUPT}: ")

    store = zarr.open_group(out, mode="r")
    assert dict(store.attrs)["errors"] == {CORRUPT: failed[0][len(f"failed: {CORRUPT}: ") :]}
    assert "Error opening" in failed[0]  # the reader's own message
    for key in GOOD:
        array = store[key]
        powers, sample_rate = corpus.analyse_file(str(root / key), HOP)
        assert array.dtype == np.float32 and array.shape == powers.shape
        assert array.shape[1] == 88 and array.chunks == (max(1, min(len(powers), 4096)), 88)
        assert np.array_equal(bits(array[...]), bits(powers)), key
        attrs = dict(array.attrs)
        assert attrs["sample_rate"] == sample_rate and attrs["hop"] == HOP
        assert attrs["complete"] is True
        assert np.array_equal(np.array(attrs["frequencies"], np.float32), corpus.key_frequencies())
    assert store["short.wav"].shape == (0, 88)

    # A second run skips what is complete and retries only the failure.
    summary = corpus.run(cluster[1], str(root), out, HOP, progress=False)
    assert summary["done"] == [] and summary["skipped"] == GOOD
    assert list(summary["errors"]) == [CORRUPT]

    # An interrupted run leaves an array without its mark; the broken file is replaced.
    store = zarr.open_group(out, mode="a")
    del store["a.wav"].attrs["complete"]
    store["a.wav"][...] = 0
    soundfile.write(root / CORRUPT, tone(8000, 0.3, 440.0, 0.1), 8000)

    assert corpus.main(args) == 0
    assert capsys.readouterr().out.startswith("2 analysed, 2 already complete, 0 failed")
    store = zarr.open_group(out, mode="r")
    assert dict(store.attrs)["errors"] == {}
    for key in ("a.wav", CORRUPT):
        assert np.array_equal(
            bits(store[key][...]), bits(corpus.analyse_file(str(root / key), HOP)[0])
        )


@pytest.mark.parametrize("frames_per_block", [1, 7, 4096])
def test_blockwise_analysis_is_that_of_the_whole_signal(
    tmp_path, corpus, monkeypatch, frames_per_block
):
    path = tmp_path / "noise.flac"
    rng = np.random.default_rng(frames_per_block)
    soundfile.write(path, rng.uniform(-0.5, 0.5, (5000, 3)), 16000)  # 5000 = 19 hops + 136
    monkeypatch.setattr(corpus, "FRAMES_PER_CHUNK", frames_per_block)

    powers, sample_rate = corpus.analyse_file(str(path), HOP)

    samples, _ = soundfile.read(path, dtype="float32")
    mono = np.ascontiguousarray(samples.mean(axis=1, dtype=np.float32))
    whole = kavrel.ResonatorBank(corpus.key_frequencies(), 16000.0).resonate(mono, HOP)
    assert sample_rate == 16000 and powers.shape == (19, 88)
    assert np.array_equal(bits(powers), bits(corpus.power_db(whole)))


def test_tone_reads_at_its_key_and_level(tmp_path, corpus):
    path = tmp_path / "tone.wav"
    stereo = np.stack([tone(44100, 0.5, 440.0, 0.8), np.zeros(22050)], axis=1)
    soundfile.write(path, stereo.astype(np.float32), 44100, subtype="FLOAT")

    powers, sample_rate = corpus.analyse_file(str(path), 441)

    assert sample_rate == 44100 and powers.shape == (50, 88)
    settled = powers[25:]  # after a quarter of a second
    assert (settled.argmax(axis=1) == 69 - 21).all()  # A4
    # the mono mix has amplitude 0.4
    np.testing.assert_allclose(settled[:, 48], 20 * np.log10(0.4), atol=0.2)


def test_script_on_its_own_local_cluster(tmp_path):
    root = tmp_path / "in"
    root.mkdir()
    soundfile.write(root / "one.flac", tone(8000, 0.5, 440.0, 0.5), 8000)
    out = tmp_path / "out.zarr"

    run = subprocess.run(
        [sys.executable, str(SCRIPT), str(root), str(out), "--workers", "1"],
        capture_output=True,
        text=True,
        timeout=120,
    )

    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("1 analysed, 0 already complete, 0 failed")
    assert zarr.open_group(str(out), mode="r")["one.flac"].shape == (4000 // 512, 88)
