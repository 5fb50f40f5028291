"""The corpus job (kavrel_tools.corpus, and examples/corpus.py, its command line) on a
two-process Dask cluster: per-file results bit for bit those of a lone analysis, failures
reported while the rest goes on, resume, one run per store, settings kept, names and stores
refused before any work."""

import contextlib
import errno
import importlib.metadata
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kavrel
import kavrel_tools as kt
from kavrel_tools import corpus as kc
from support import EXAMPLES, load_example, run_script

soundfile = pytest.importorskip("soundfile")
zarr = pytest.importorskip("zarr")
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
pytest.importorskip("tqdm")

SCRIPT = EXAMPLES / "corpus.py"
HOP = 256
CORRUPT = "broken.wav"
GOOD = ["a.wav", "sub/b.flac"]
# Inputs that give no usable picture, and what the job says of each.
VERSION = importlib.metadata.version("kavrel")
ZARR_3 = int(zarr.__version__.split(".")[0]) >= 3
# Windows has no FIFOs, and grants symbolic links only with a privilege.
makes_fifos_or_links = pytest.mark.skipif(
    sys.platform == "win32", reason="makes FIFOs or symbolic links, which Windows lacks"
)
REFUSED = {
    CORRUPT: "cannot read it: Error in WAV/W64/RF64 file. Short 'fmt ' chunk.",
    "fifo.wav": "not a regular file but a FIFO; not read",
    "dangling.wav": "dangling symbolic link to nowhere.wav",
    "loop.wav": "symbolic link loop",
    "nan.wav": "a sample that is not a finite number (nan) at 0.500000 s (sample 4000)",
    "inf.wav": "a sample that is not a finite number (-inf) at 0.007687 s (sample 123)",
    "one_hz.wav": "no piano key lies below the Nyquist frequency (0.5 Hz)",
    "eight_hz.wav": "no piano key lies below the Nyquist frequency (4 Hz)",
    "short.wav": f"shorter than one frame (100 samples, hop {HOP})",
}


@pytest.fixture(scope="module")
def corpus():
    """The command line, examples/corpus.py."""
    return load_example("corpus")


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
    write_refused(root)
    (root / "notes.txt").write_text("not audio, not looked at")


def fifo(path):
    """A FIFO at `path`. Should the code under test open it, a writer comes
    after 20 s and lets the open return, so that the test fails, not hangs."""
    os.mkfifo(path)

    def unblock():
        with contextlib.suppress(OSError):  # no reader: ENXIO
            os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))

    timer = threading.Timer(20, unblock)
    timer.daemon = True
    timer.start()


def write_refused(root):
    fifo(root / "fifo.wav")
    (root / CORRUPT).write_bytes(b"RIFF\x24\x00\x00\x00WAVEfmt " + bytes(40))
    os.symlink("nowhere.wav", root / "dangling.wav")
    os.symlink("loop.wav", root / "loop.wav")
    signal_ = tone(8000, 1.0, 440.0, 0.5).astype(np.float32)
    signal_[4000] = np.nan
    soundfile.write(root / "nan.wav", signal_, 8000, subtype="FLOAT")
    stereo = np.stack([tone(16000, 0.5, 220.0, 0.6), np.zeros(8000)], axis=1).astype(np.float32)
    stereo[123, 1] = -np.inf  # one channel's infinity makes the mono mix infinite
    soundfile.write(root / "inf.wav", stereo, 16000, subtype="FLOAT")
    soundfile.write(root / "one_hz.wav", np.zeros(1000, np.int16), 1)
    soundfile.write(root / "eight_hz.wav", np.zeros(1000, np.int16), 8)
    soundfile.write(root / "short.wav", np.zeros(100, np.int16), 8000)


def bits(a):
    return np.asarray(a).view(np.uint32)


def levels(frames):
    """Channel values as the corpus stores them: float32 dB re full-scale sine."""
    return kt.power_db(kt.power(frames)).astype(np.float32)


def contents(out, keys):
    """Everything a reader sees of the store: its attributes and every array's
    bits, shape, chunks and attributes."""
    store = zarr.open_group(str(out), mode="r")
    arrays = {}
    for key in keys:
        array = store[key]
        arrays[key] = (bits(array[...]).tobytes(), array.shape, array.chunks, dict(array.attrs))
    return dict(store.attrs), arrays


def lock_is_held(out):
    """Whether a process holds the store's lock, read from /proc/locks so that
    looking never takes the lock from a run that is about to."""
    try:
        inode = os.stat(out / ".kavrel-lock").st_ino
    except FileNotFoundError:
        return False
    with open("/proc/locks") as locks:
        held = [line.split() for line in locks]
    return any(f[1] == "FLOCK" and int(f[5].rsplit(":", 1)[1]) == inode for f in held)


@makes_fifos_or_links
def test_batch_reports_failures_goes_on_and_resumes(tmp_path, corpus, cluster, capsys):
    root, out = tmp_path / "in", tmp_path / "out.zarr"
    write_corpus(root)
    args = [str(root), str(out), "--scheduler", cluster[0].scheduler_address, "--hop", str(HOP)]

    assert corpus.main(args) == 1
    captured = capsys.readouterr()
    assert captured.out.startswith(f"2 analysed, 0 already complete, {len(REFUSED)} failed")
    failed = dict(
        line[len("failed: ") :].split(": ", 1)
        for line in captured.err.splitlines()
        if line.startswith("failed: ")
    )
    assert failed.keys() == REFUSED.keys()
    for name, message in REFUSED.items():
        assert failed[name].startswith(message), name

    store = zarr.open_group(str(out), mode="r")
    assert dict(store.attrs)["errors"] == failed
    assert dict(store.attrs)["kavrel_corpus"] == kc.job_settings(HOP)
    for name in REFUSED:
        with pytest.raises(KeyError):
            store[name]
    for key, (rate, channels, seconds) in zip(GOOD, [(22050, 1, 0.6), (16000, 2, 0.5)]):
        array = store[key]
        powers, attrs = kc.analyse_file(str(root / key), HOP)
        freqs = kt.key_frequencies()
        alphas = kavrel.heuristic_alphas(freqs, float(rate))
        assert array.shape == powers.shape == (int(rate * seconds) // HOP, 88)
        assert array.dtype == np.float32 and array.chunks == (len(powers), 88)
        assert np.array_equal(bits(array[...]), bits(powers)), key
        assert dict(array.attrs) == {**attrs, "source": key, "complete": True}
        assert attrs == {
            "sample_rate": rate,
            "hop": HOP,
            "unit": "dB relative to a full-scale sine",
            "frequencies": freqs.tolist(),
            "alphas": alphas.tolist(),
            "betas": alphas.tolist(),
            "kavrel_version": VERSION,
            "frame_times": kc.FRAME_TIMES,
            "source_samples": int(rate * seconds),
            "source_seconds": seconds,
            "source_channels": channels,
        }

    # A second run skips what is complete and retries only the failures.
    summary = kc.analyse_corpus(str(root), str(out), hop=HOP, client=cluster[1])
    assert summary["done"] == [] and summary["skipped"] == GOOD
    assert summary["errors"] == failed

    # An array left at its key without its mark (by an older version) is
    # replaced whole; a repaired file is analysed and leaves the errors.
    store = zarr.open_group(str(out), mode="a")
    del store["a.wav"].attrs["complete"]
    store["a.wav"][...] = 0
    soundfile.write(root / CORRUPT, tone(8000, 0.3, 440.0, 0.1), 8000)

    assert corpus.main(args) == 1
    assert capsys.readouterr().out.startswith(f"2 analysed, 1 already complete, {len(REFUSED) - 1}")
    store = zarr.open_group(str(out), mode="r")
    assert set(dict(store.attrs)["errors"]) == REFUSED.keys() - {CORRUPT}
    for key in ("a.wav", CORRUPT):
        assert np.array_equal(bits(store[key][...]), bits(kc.analyse_file(str(root / key), HOP)[0]))
    assert ".kavrel-lock" not in os.listdir(out) and ".kavrel-staging" not in os.listdir(out)


@pytest.mark.parametrize("frames_per_block", [1, 7, 4096])
def test_blockwise_analysis_is_that_of_the_whole_signal(tmp_path, monkeypatch, frames_per_block):
    path = tmp_path / "noise.flac"
    rng = np.random.default_rng(frames_per_block)
    soundfile.write(path, rng.uniform(-0.5, 0.5, (5000, 3)), 16000)  # 5000 = 19 hops + 136
    monkeypatch.setattr(kc, "FRAMES_PER_CHUNK", frames_per_block)

    powers, attrs = kc.analyse_file(str(path), HOP)

    samples, _ = soundfile.read(path, dtype="float32")
    mono = samples.mean(axis=1, dtype=np.float64).astype(np.float32)
    whole = kavrel.ResonatorBank(kt.key_frequencies(), 16000.0).resonate(mono, HOP)
    assert attrs["sample_rate"] == 16000 and powers.shape == (19, 88)
    assert np.array_equal(bits(powers), bits(levels(whole)))


@pytest.mark.parametrize("rate, keys", [(8000, 87), (56, 1), (1000, 51), (8374, 88)])
def test_only_keys_below_nyquist_are_analysed(tmp_path, rate, keys):
    path = tmp_path / "noise.wav"
    soundfile.write(path, np.random.default_rng(rate).uniform(-0.5, 0.5, 600), rate)

    powers, attrs = kc.analyse_file(str(path), 8)

    freqs = kt.key_frequencies()[:keys]
    assert freqs[-1] < rate / 2 and (keys == 88 or kt.key_frequencies()[keys] >= rate / 2)
    samples = soundfile.read(path, dtype="float32")[0]
    bank = kavrel.ResonatorBank(freqs, float(rate))
    assert np.array_equal(bits(powers), bits(levels(bank.resonate(samples, 8))))
    assert attrs["frequencies"] == freqs.tolist()


@pytest.mark.parametrize("peak", [np.finfo(np.float32).max, -np.finfo(np.float32).max])
def test_channels_near_the_float32_limit_mix_without_overflow(tmp_path, peak):
    path = tmp_path / "loud.wav"
    left = np.float32(peak) * np.sign(tone(8000, 0.1, 440.0, 1.0)).astype(np.float32)
    soundfile.write(path, np.stack([left, left], axis=1), 8000, subtype="FLOAT")

    powers, _ = kc.analyse_file(str(path), HOP)

    bank = kavrel.ResonatorBank(kt.below_nyquist(kt.key_frequencies(), 8000), 8000.0)
    assert np.isfinite(powers).all()
    assert np.array_equal(bits(powers), bits(levels(bank.resonate(left, HOP))))


def test_tone_reads_at_its_key_and_level(tmp_path):
    path = tmp_path / "tone.wav"
    stereo = np.stack([tone(44100, 0.5, 440.0, 0.8), np.zeros(22050)], axis=1)
    soundfile.write(path, stereo.astype(np.float32), 44100, subtype="FLOAT")

    powers, attrs = kc.analyse_file(str(path), 441)

    assert attrs["sample_rate"] == 44100 and powers.shape == (50, 88)
    settled = powers[25:]  # after a quarter of a second
    assert (settled.argmax(axis=1) == 69 - 21).all()  # A4
    # the mono mix has amplitude 0.4
    np.testing.assert_allclose(settled[:, 48], 20 * np.log10(0.4), atol=0.2)


@pytest.mark.parametrize(
    "names, message",
    [
        (["a/b.wav", "a\\b.wav"], "input files a/b.wav and a\\b.wav would share one store key"),
        (["A.wav", "a.wav"], "input files A.wav and a.wav would share one store key"),
        (["\u00e9.wav", "e\u0301.wav"], "input files e\u0301.wav and \u00e9.wav would share"),
        (["x.wav", "x.wav\\y.wav"], "input file x.wav and the folder of x.wav\\y.wav would"),
        (["X.WAV/y.wav", "x.wav"], "input file x.wav and the folder of X.WAV/y.wav would share"),
        (["..\\up.wav"], "input file ..\\up.wav: '..' cannot be part of a store key"),
        (["a\\\\b.wav"], "input file a\\\\b.wav: '' cannot be part of a store key"),
        (["zarr.json\\c.wav"], "input file zarr.json\\c.wav: 'zarr.json' cannot be part"),
        ([".kavrel-lock/d.wav"], "input file .kavrel-lock/d.wav: '.kavrel-lock' cannot be"),
        (["new\nline.wav"], "input file 'new\\nline.wav': its name has control characters"),
        ([b"x\xff.wav"], "input file 'x\\udcff.wav': its name has control characters"),
    ],
)
def test_names_that_cannot_be_keys_stop_the_job_before_any_work(
    tmp_path, corpus, capsys, names, message
):
    root, out = tmp_path / "in", tmp_path / "out.zarr"
    root.mkdir()
    for name in names:
        path = os.path.join(os.fsencode(root), os.fsencode(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb"):
            pass  # never read
    (root / "fine.wav").touch()

    assert corpus.main([str(root), str(out)]) == 1  # would start a cluster, if it got there

    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1
    assert captured.err.startswith(f"corpus.py: error: {message}")
    assert not out.exists()


@pytest.mark.parametrize(
    "make, message",
    [
        (
            lambda p: p.write_text("x"),
            "{} exists and is not a folder, so it cannot be a Zarr store",
        ),
        pytest.param(
            lambda p: p.symlink_to("nowhere"),
            "{} is a dangling symbolic link (to nowhere)",
            marks=makes_fifos_or_links,
        ),
        pytest.param(
            lambda p: p.symlink_to(p.name),
            "{}: Too many levels of symbolic links",
            marks=makes_fifos_or_links,
        ),
        (lambda p: (p.mkdir(), (p / "thesis.pdf").touch()), "{} is a folder that holds no Zarr"),
        (lambda p: (p.mkdir(), zarr.open_array(str(p), mode="w", shape=3)), "cannot open {} as"),
        (None, "cannot write the store {}: No such file or directory"),
        ("s3://bucket/out.zarr", "{}: the store must be a folder on a file system, not a URL"),
    ],
    ids=["file", "dangling link", "link loop", "other folder", "zarr array", "unwritable", "url"],
)
def test_output_that_cannot_be_a_store_is_one_line(tmp_path, corpus, capsys, make, message):
    root = tmp_path / "in"
    root.mkdir()
    out = tmp_path / "out.zarr"
    if make is None:
        out = "/proc/corpus.zarr"  # even for root
    elif isinstance(make, str):
        out = make
    else:
        make(out)

    assert corpus.main([str(root), str(out)]) == 1

    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1
    assert captured.err.startswith(f"corpus.py: error: {message.format(out)}")


@pytest.mark.parametrize(
    "make, message",
    [
        (None, "{}: No such file or directory"),
        (lambda p: p.write_text("x"), "{} is not a folder"),
        pytest.param(
            lambda p: p.symlink_to(p.name),
            "{}: Too many levels of symbolic links",
            marks=makes_fifos_or_links,
        ),
    ],
)
def test_input_that_is_not_a_folder_is_one_line(tmp_path, corpus, capsys, make, message):
    root = tmp_path / "in"
    if make is not None:
        make(root)

    assert corpus.main([str(root), str(tmp_path / "out.zarr")]) == 1

    assert capsys.readouterr().err == f"corpus.py: error: {message.format(root)}\n"
    assert not (tmp_path / "out.zarr").exists()


def test_unreachable_scheduler_is_one_line(tmp_path, corpus, capsys):
    (tmp_path / "in").mkdir()
    out = tmp_path / "out.zarr"
    address = "tcp://127.0.0.1:1"

    with dask.config.set({"distributed.comm.timeouts.connect": "0.2s"}):
        assert corpus.main([str(tmp_path / "in"), str(out), "--scheduler", address]) == 1

    err = capsys.readouterr().err
    assert err.startswith(f"corpus.py: error: cannot reach the Dask scheduler at {address}: ")
    assert err.count("\n") == 1
    assert not lock_is_held(out) and ".kavrel-lock" not in os.listdir(out)


@pytest.mark.parametrize(
    "change, message",
    [
        ({"hop": 512}, "(hop 512, not 256)"),
        ({"kavrel_version": "0.0.1"}, f"(kavrel_version '0.0.1', not '{VERSION}')"),
        ({"tuning_hz": 442.0, "hop": 128}, "(hop 128, not 256, tuning_hz 442.0, not 440.0)"),
        (None, "holds no record of the settings it was made with; give a new store"),
        ("hop 256", "has an attribute kavrel_corpus that is no record of settings (a str)"),
        ([256], "has an attribute kavrel_corpus that is no record of settings (a list)"),
    ],
)
def test_store_made_with_other_settings_is_refused_unchanged(
    tmp_path, corpus, cluster, capsys, change, message
):
    root, out = tmp_path / "in", tmp_path / "out.zarr"
    root.mkdir()
    soundfile.write(root / "a.wav", tone(8000, 0.2, 440.0, 0.5), 8000)
    assert kc.analyse_corpus(str(root), str(out), hop=HOP, client=cluster[1])["done"] == ["a.wav"]
    store = zarr.open_group(str(out), mode="a")
    if change is None:
        del store.attrs["kavrel_corpus"]
    elif isinstance(change, dict):
        store.attrs["kavrel_corpus"] = {**kc.job_settings(HOP), **change}
    else:
        store.attrs["kavrel_corpus"] = change
    before = contents(out, ["a.wav"])
    soundfile.write(root / "b.wav", tone(8000, 0.2, 440.0, 0.5), 8000)

    args = [str(root), str(out), "--scheduler", cluster[0].scheduler_address, "--hop", str(HOP)]
    assert corpus.main(args) == 1

    err = capsys.readouterr().err
    assert err.startswith(f"corpus.py: error: {out} ") and err.count("\n") == 1
    assert message in err
    assert contents(out, ["a.wav"]) == before
    assert sorted(os.listdir(out)) == sorted(
        ["a.wav", *(["zarr.json"] if ZARR_3 else [".zgroup", ".zattrs"])]
    )


def test_second_run_on_a_store_in_use_is_refused(tmp_path, corpus, cluster, capsys):
    root, out = tmp_path / "in", tmp_path / "out.zarr"
    root.mkdir()
    soundfile.write(root / "a.wav", tone(8000, 0.2, 440.0, 0.5), 8000)
    args = [str(root), str(out), "--scheduler", cluster[0].scheduler_address]

    with kc.locked_store(str(out), kc.job_settings(512)):
        assert corpus.main(args) == 1
        assert capsys.readouterr().err == (
            f"corpus.py: error: {out} is in use by another run of this job\n"
        )
        with pytest.raises(kc.CorpusError, match="is in use by another run"):
            kc.analyse_corpus(str(root), str(out), hop=512, client=cluster[1])
        assert lock_is_held(out)
    assert not lock_is_held(out)
    assert corpus.main(args) == 0


def test_run_killed_outright_resumes_to_the_bits_of_a_clean_run(tmp_path, corpus, cluster):
    root, out, clean = tmp_path / "in", tmp_path / "out.zarr", tmp_path / "clean.zarr"
    root.mkdir()
    names = [f"f{i:02}.wav" for i in range(10)]
    for i, name in enumerate(names):
        soundfile.write(root / name, tone(16000, 0.5, 100.0 + 50 * i, 0.5), 16000)
    address = cluster[0].scheduler_address
    proc = subprocess.Popen(
        [sys.executable, str(SCRIPT), str(root), str(out), "--scheduler", address],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 60
        while not (out.exists() and lock_is_held(out)) and proc.poll() is None:
            assert time.monotonic() < deadline
            time.sleep(0.005)
        while len(set(os.listdir(out)) & set(names)) < 2 and proc.poll() is None:
            time.sleep(0.001)
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.wait()
    assert proc.returncode == -signal.SIGKILL  # killed while it ran
    assert not lock_is_held(out)  # released by the system

    # The killed run's tasks that were running go on, but place nothing once
    # the next run holds the store (see the test below); the comparison waits
    # for them to end.
    def executing(dask_worker):
        return dask_worker.state.executing_count

    # What a worker killed while writing leaves aside: its lock file and a part of an array.
    (out / ".kavrel-staging" / "stale").mkdir(parents=True, exist_ok=True)
    (out / ".kavrel-staging" / "stale" / "zarr.json").write_text("{")
    (out / ".kavrel-staging" / "stale.lock").touch()

    resumed = kc.analyse_corpus(str(root), str(out), hop=512, client=cluster[1])
    assert kc.analyse_corpus(str(root), str(clean), hop=512, client=cluster[1])["done"] == names

    assert sorted(resumed["done"] + resumed["skipped"]) == names and resumed["errors"] == {}
    while any(cluster[1].run(executing).values()):
        time.sleep(0.01)
    assert contents(out, names) == contents(clean, names)
    assert sorted(os.listdir(out)) == sorted(os.listdir(clean))


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
    # C8 (4186 Hz) lies above the Nyquist frequency of 8 kHz
    assert zarr.open_group(str(out), mode="r")["one.flac"].shape == (4000 // 512, 87)


@pytest.mark.parametrize(
    "before, after, message",
    [
        (
            ["x.wav/y.wav", "x.wav/z.wav"],
            ["x.wav"],
            "input file x.wav: the store holds a folder at its key x.wav (the input's folder",
        ),
        (["x.wav"], ["x.wav/y.wav"], "the store holds something other than a folder at x.wav"),
    ],
    ids=["folder became a file", "file became a folder"],
)
def test_rerun_never_replaces_what_a_changed_input_tree_stored(
    tmp_path, corpus, cluster, capsys, before, after, message
):
    root, out = tmp_path / "in", tmp_path / "out.zarr"
    for name in before:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        soundfile.write(root / name, tone(8000, 0.2, 440.0, 0.5), 8000)
    assert kc.analyse_corpus(str(root), str(out), hop=HOP, client=cluster[1])["done"] == before
    stored = contents(out, before)
    subprocess.run(["rm", "-r", str(root)], check=True)
    for name in after:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        soundfile.write(root / name, tone(8000, 0.2, 880.0, 0.5), 8000)

    args = [str(root), str(out), "--scheduler", cluster[0].scheduler_address, "--hop", str(HOP)]
    assert corpus.main(args) == 1

    err = capsys.readouterr().err
    assert err.startswith(f"corpus.py: error: {message}") and err.count("\n") == 1
    assert contents(out, before) == stored


@pytest.mark.parametrize("stage", ["settings", "folder", "errors"])
def test_full_disk_is_one_line_and_leaves_the_store_as_it_was(
    tmp_path, corpus, cluster, capsys, monkeypatch, stage
):
    root, out = tmp_path / "in", tmp_path / "out.zarr"
    root.mkdir()
    soundfile.write(root / "a.wav", tone(8000, 0.2, 440.0, 0.5), 8000)
    if stage != "settings":
        kc.analyse_corpus(str(root), str(out), hop=HOP, client=cluster[1])
    stored = contents(out, ["a.wav"]) if stage != "settings" else None
    (root / "sub").mkdir()
    soundfile.write(root / "sub" / "b.wav", tone(8000, 0.2, 440.0, 0.5), 8000)
    (root / CORRUPT).write_bytes(b"RIFF")
    # Zarr writes its metadata aside and moves it into place: the move of the
    # store's own metadata (or the new folder's) fails as on a full disk.
    full = out / "sub" if stage == "folder" else out
    replace = os.replace

    def full_disk(src, dst, **kwargs):
        if os.path.dirname(os.path.abspath(dst)) == str(full):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), str(dst))
        return replace(src, dst, **kwargs)

    monkeypatch.setattr(os, "replace", full_disk)
    args = [str(root), str(out), "--scheduler", cluster[0].scheduler_address, "--hop", str(HOP)]
    assert corpus.main(args) == 1
    monkeypatch.undo()

    err = capsys.readouterr().err.splitlines()
    assert err[-1] == f"corpus.py: error: cannot write the store {out}: the disk is full"
    if stage == "errors":  # the work was done: the failure is still printed
        failed = [line for line in err if line.startswith("failed: ")]
        assert failed == [f"failed: {CORRUPT}: cannot read it: Format not recognised."]
        assert contents(out, ["sub/b.wav"])  # complete
    else:
        assert len(err) == 1
    if stored is not None:
        assert contents(out, ["a.wav"]) == stored
        assert dict(zarr.open_group(str(out), mode="r").attrs) == stored[0]


@pytest.mark.parametrize("holder", ["another run", "no run"])
def test_writer_of_an_ended_run_places_nothing(tmp_path, holder):
    path, out = tmp_path / "a.wav", tmp_path / "out.zarr"
    soundfile.write(path, tone(8000, 0.2, 440.0, 0.5), 8000)
    with kc.locked_store(str(out), kc.job_settings(HOP)):
        ended = kc._run_token(out)
    args = (str(path), str(out), "a.wav", HOP, 3, VERSION, ended)

    with contextlib.ExitStack() as stack:
        if holder == "another run":
            stack.enter_context(kc.locked_store(str(out), kc.job_settings(HOP)))
            assert kc._run_token(out) not in (None, ended)
        error = kc._analyse_task(*args)

    assert error == "the run that asked for it has ended; nothing was written"
    assert "a.wav" not in os.listdir(out)


def test_new_run_waits_for_a_writer_that_is_placing_an_array(tmp_path):
    out = tmp_path / "out.zarr"
    with kc.locked_store(str(out), kc.job_settings(HOP)):
        pass
    (out / ".kavrel-staging").mkdir()
    writer = kc._take_lock(out / ".kavrel-staging" / "w.lock", wait=True)
    (out / ".kavrel-staging" / "w").mkdir()  # what the writer sets aside
    started = threading.Event()
    entered = []

    def next_run():
        started.set()
        with kc.locked_store(str(out), kc.job_settings(HOP)):
            entered.append(sorted(os.listdir(out / ".kavrel-staging")))

    thread = threading.Thread(target=next_run)
    thread.start()
    started.wait()
    time.sleep(0.5)
    assert entered == [] and lock_is_held(out)  # waiting, with the store locked
    kc._release(out / ".kavrel-staging" / "w.lock", writer)
    thread.join(30)
    assert entered == [["run"]]


def test_paths_that_are_not_utf8_are_read_and_shown(tmp_path, corpus, cluster, capsys):
    top = os.path.join(os.fsencode(tmp_path), b"\xff")
    root, out = os.path.join(top, b"in"), os.path.join(top, b"out.zarr")
    os.makedirs(root)
    with open(os.path.join(root, b"a.wav"), "wb") as file:
        soundfile.write(file, tone(8000, 0.2, 440.0, 0.5), 8000, format="WAV")
    address = cluster[0].scheduler_address

    assert corpus.main([os.fsdecode(root), os.fsdecode(out), "--scheduler", address]) == 0

    captured = capsys.readouterr()
    assert captured.out.startswith("1 analysed, 0 already complete, 0 failed")
    assert captured.out.endswith(f"store: {ascii(os.fsdecode(out))}\n")
    assert zarr.open_group(os.fsdecode(out), mode="r")["a.wav"].attrs["complete"]


def test_importing_the_toolkit_imports_no_optional_package():
    run = run_script(
        """
        import sys
        import kavrel_tools, kavrel_tools.corpus
        print(sorted({"dask", "distributed", "zarr", "soundfile", "tqdm"} & set(sys.modules)))
        """
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == "[]\n"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"hop": 0}, "hop must be a whole number of at least 1, not 0"),
        ({"hop": 2.5}, "hop must be a whole number of at least 1, not 2.5"),
        ({"hop": True}, "hop must be a whole number of at least 1, not True"),
        ({"workers": 0}, "workers must be at least 1, not 0"),
        ({"client": object(), "scheduler": "tcp://a:1"}, "give at most one of client, sched"),
        ({"scheduler": "tcp://a:1", "workers": 2}, "give at most one of client, scheduler and"),
    ],
)
def test_analyse_corpus_refuses_bad_arguments_before_any_work(tmp_path, kwargs, message):
    (tmp_path / "in").mkdir()

    with pytest.raises(ValueError, match=message):
        kc.analyse_corpus(tmp_path / "in", tmp_path / "out.zarr", **kwargs)

    assert not (tmp_path / "out.zarr").exists()


def test_a_given_client_stays_open_and_paths_may_be_path_objects(tmp_path, cluster):
    root, out = tmp_path / "in", tmp_path / "out.zarr"
    root.mkdir()
    soundfile.write(root / "a.wav", tone(8000, 0.2, 440.0, 0.5), 8000)

    first = kc.analyse_corpus(root, out, hop=HOP, client=cluster[1])
    again = kc.analyse_corpus(root, out, hop=HOP, client=cluster[1])

    assert first == {"done": ["a.wav"], "skipped": [], "errors": {}, "unrecorded": None}
    assert again == {"done": [], "skipped": ["a.wav"], "errors": {}, "unrecorded": None}
    assert cluster[1].status == "running"
    stored = zarr.open_group(str(out), mode="r")["a.wav"]
    assert np.array_equal(bits(stored[...]), bits(kc.analyse_file(root / "a.wav", HOP)[0]))


@pytest.mark.parametrize("subtype, channels", [("PCM_16", 1), ("PCM_16", 2), ("FLOAT", 3)])
def test_a_file_reads_as_the_toolkit_analyses_it_in_one_call(tmp_path, subtype, channels):
    path = tmp_path / "take.wav"
    noise = np.random.default_rng(channels).uniform(-0.9, 0.9, (3000, channels))
    soundfile.write(path, noise, 11025, subtype=subtype)

    powers, attrs = kc.analyse_file(path, 100)

    signal, rate = kt.load(path)  # float64, mixed to mono
    whole = kt.analyse(signal, rate, hop=100)
    assert powers.dtype == np.float32 and powers.shape == (30, 88)
    assert np.array_equal(bits(powers), bits(whole.db().T.astype(np.float32)))
    assert attrs["frequencies"] == whole.freqs.tolist()
    assert (attrs["source_channels"], attrs["source_samples"]) == (channels, 3000)
