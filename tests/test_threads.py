"""Banks used from several threads.

process_samples and resonate hold the bank exclusively and run without the
interpreter lock, so another thread can call into the bank meanwhile and must
be turned away at once. The long calls here are sized by a short calibration
run to last a few tenths of a second; every wait has a deadline, and an
attempt in which the long call ended before the other thread could observe it
is repeated with a longer signal instead of being judged.

On a free-threaded interpreter every call runs without the lock, small ones
included: the races of process_sample and the readouts on one bank, small
calls on many banks at once, and the first uses of the process-wide objects
are tested here too.
"""

import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import numpy as np
import pytest

import kavrel
from bank_model import (
    assert_same_bits,
    assert_same_complex,
    assert_same_readouts,
    bank_readouts,
    noise,
    random_params,
)
from support import F

Bank = kavrel.ResonatorBank

CHANNELS = 1024
TARGET_SECONDS = 0.3
MAX_LENGTH = 8_000_000
HOP = 4096
DEADLINE = 10.0
ATTEMPTS = 3

BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"


class Workload:
    def __init__(self):
        rng = np.random.default_rng(5000)
        self.params = random_params(rng, CHANNELS, alpha_range=(1e-3, 0.5))
        bank = self.bank()
        probe = noise(rng, 16384)
        bank.process_samples(probe)  # warm up
        # The fastest of a few runs: a slow one (the other core busy) would
        # make every long call too short to judge.
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            bank.process_samples(probe)
            best = min(best, time.perf_counter() - start)
        per_sample = max(best, 1e-6) / probe.size
        self.length = int(min(max(TARGET_SECONDS / per_sample, 100_000), MAX_LENGTH))
        self._signals = {}

    def bank(self, params=None):
        freqs, alphas, betas = params or self.params
        return Bank(freqs, 48000.0, alphas=alphas, betas=betas)

    def signal(self, length):
        if length not in self._signals:
            self._signals[length] = noise(np.random.default_rng(length), length)
        return self._signals[length]


@pytest.fixture(scope="module")
def workload():
    return Workload()


def long_call(kind, bank, signal):
    if kind == "process_samples":
        return bank.process_samples(signal)
    return bank.resonate(signal, HOP)


class Worker:
    """Runs one call in a thread and keeps its result or exception."""

    def __init__(self, fn):
        self.fn = fn
        self.done = threading.Event()
        self.result = None
        self.error = None
        self.started_at = self.ended_at = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            self.started_at = time.perf_counter()
            self.result = self.fn()
        except BaseException as exc:  # noqa: B036 - reported in the main thread
            self.error = exc
        finally:
            self.ended_at = time.perf_counter()
            self.done.set()

    def join(self):
        self.thread.join(DEADLINE * 3)
        assert not self.thread.is_alive(), "the long call did not finish"
        if self.error is not None:
            raise self.error
        return self.result


def wait_until_busy(bank, worker):
    """Poll len(bank) until it reports the exclusive borrow. False when the
    call finished first (or never showed up before the deadline)."""
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end and not worker.done.is_set():
        try:
            len(bank)
        except RuntimeError as exc:
            assert str(exc) == MUTABLY_BORROWED
            return True
        time.sleep(0.0005)
    return False


def outcome(fn):
    try:
        fn()
    except BaseException as exc:  # noqa: B036 - compared by the caller
        return type(exc), str(exc)
    return None


# What other calls on a busy bank must report, including calls whose
# arguments are also bad: the borrow is taken before arguments are
# converted, and after they are bound.
CONFLICTS = [
    ("reset", lambda b: b.reset(), RuntimeError, BORROWED),
    ("process_sample", lambda b: b.process_sample(1.0), RuntimeError, BORROWED),
    ("process_sample bad", lambda b: b.process_sample("x"), RuntimeError, BORROWED),
    ("process_samples", lambda b: b.process_samples(np.ones(4, F)), RuntimeError, BORROWED),
    ("process_samples f64", lambda b: b.process_samples(np.ones(4)), RuntimeError, BORROWED),
    ("process_samples empty", lambda b: b.process_samples(np.ones(0, F)), RuntimeError, BORROWED),
    ("resonate", lambda b: b.resonate(np.ones(8, F), 4), RuntimeError, BORROWED),
    ("resonate hop 0", lambda b: b.resonate(np.ones(8, F), 0), RuntimeError, BORROWED),
    ("resonate bad", lambda b: b.resonate(np.ones(8), -1), RuntimeError, BORROWED),
    ("freq", lambda b: b.freq(0), RuntimeError, MUTABLY_BORROWED),
    ("phase", lambda b: b.phase(1), RuntimeError, MUTABLY_BORROWED),
    ("power", lambda b: b.power(2), RuntimeError, MUTABLY_BORROWED),
    ("complex", lambda b: b.complex(3), RuntimeError, MUTABLY_BORROWED),
    ("magnitude", lambda b: b.magnitude(4), RuntimeError, MUTABLY_BORROWED),
    ("freq out of range", lambda b: b.freq(10**9), RuntimeError, MUTABLY_BORROWED),
    ("power negative", lambda b: b.power(-1), RuntimeError, MUTABLY_BORROWED),
    ("phases", lambda b: b.phases(), RuntimeError, MUTABLY_BORROWED),
    ("powers", lambda b: b.powers(), RuntimeError, MUTABLY_BORROWED),
    ("magnitudes", lambda b: b.magnitudes(), RuntimeError, MUTABLY_BORROWED),
    ("frequencies", lambda b: b.frequencies(), RuntimeError, MUTABLY_BORROWED),
    ("len", lambda b: len(b), RuntimeError, MUTABLY_BORROWED),
    ("bool", lambda b: bool(b), RuntimeError, MUTABLY_BORROWED),
    (
        "binding first",
        lambda b: b.freq(1, 2),
        TypeError,
        "ResonatorBank.freq() takes 1 positional arguments but 2 were given",
    ),
    (
        "binding first resonate",
        lambda b: b.resonate(np.ones(8, F)),
        TypeError,
        "ResonatorBank.resonate() missing 1 required positional argument: 'hop'",
    ),
]


@pytest.mark.parametrize("kind", ["process_samples", "resonate"])
def test_busy_bank_turns_other_calls_away(workload, kind):
    length = workload.length
    for _attempt in range(ATTEMPTS):
        bank = workload.bank()
        other = workload.bank()
        signal = workload.signal(length)
        worker = Worker(lambda: long_call(kind, bank, signal))
        if not wait_until_busy(bank, worker):
            worker.join()
            length = min(2 * length, MAX_LENGTH)
            continue
        seen = {}
        for name, fn, _, _ in CONFLICTS:
            seen[name] = (outcome(lambda: fn(bank)), worker.done.is_set())
        # Other banks, the module functions and the constructor still work.
        parallel = [
            outcome(lambda: other.process_samples(np.ones(64, F))),
            outcome(lambda: other.resonate(np.ones(64, F), 16)),
            outcome(lambda: other.powers()),
            outcome(lambda: kavrel.heuristic_alpha(440.0, 48000.0)),
            outcome(lambda: Bank(np.ones(3, F), 8000.0)),
        ]
        result = worker.join()
        wrong = [
            (name, got)
            for (name, fn, typ, msg) in CONFLICTS
            for got, finished in [seen[name]]
            if got != (typ, msg) and not finished
        ]
        late = any(finished for _, finished in seen.values())
        if not wrong and late:
            # Some checks ran after the call had ended: not a fair test.
            length = min(2 * length, MAX_LENGTH)
            continue
        assert not wrong, f"calls on the busy bank: {wrong}"
        assert parallel == [None] * len(parallel)
        break
    else:
        pytest.skip("the long call never stayed busy long enough to observe")

    # The bank is usable again and holds what an undisturbed run gives.
    reference = workload.bank()
    expected = long_call(kind, reference, signal)
    if kind == "resonate":
        assert_same_complex(result, expected)
    else:
        assert result is None
    assert_same_readouts(bank_readouts(bank), bank_readouts(reference))
    tail = noise(np.random.default_rng(5001), 300)
    assert_same_complex(bank.resonate(tail, 100), reference.resonate(tail, 100))
    assert bank.reset() is None and len(bank) == CHANNELS


@pytest.mark.parametrize("kind", ["process_samples", "resonate"])
def test_two_banks_in_two_threads(workload, kind):
    rng = np.random.default_rng(5100)
    params = [workload.params, random_params(rng, CHANNELS)]
    length = max(workload.length // 2, 50_000)
    signals = [workload.signal(length), noise(rng, length)]
    banks = [workload.bank(p) for p in params]
    workers = [Worker(lambda b=b, s=s: long_call(kind, b, s)) for b, s in zip(banks, signals)]
    results = [w.join() for w in workers]
    for p, s, b, r in zip(params, signals, banks, results):
        alone = workload.bank(p)
        expected = long_call(kind, alone, s)
        if kind == "resonate":
            assert_same_complex(r, expected)
        assert_same_readouts(bank_readouts(b), bank_readouts(alone))


@pytest.mark.parametrize("kind", ["process_samples", "resonate"])
def test_interpreter_lock_is_released(workload, kind):
    """A pure-Python thread keeps running while the long call computes."""
    stamps = [0.0]
    stop = threading.Event()
    margin = 0.05

    def spin():
        count = 0
        while not stop.is_set():
            count += 1
            now = time.perf_counter()
            if now - stamps[-1] > 0.002:
                stamps.append(now)

    length = workload.length
    for _attempt in range(ATTEMPTS):
        stamps[:] = [0.0]
        stop.clear()
        bank = workload.bank()
        signal = workload.signal(length)
        spinner = threading.Thread(target=spin, daemon=True)
        spinner.start()
        try:
            deadline = time.monotonic() + DEADLINE
            while len(stamps) < 3 and time.monotonic() < deadline:
                time.sleep(0.001)
            start = time.perf_counter()
            long_call(kind, bank, signal)
            end = time.perf_counter()
        finally:
            stop.set()
            spinner.join(DEADLINE)
        if end - start > 3 * margin:
            break
        length = 2 * length  # too short to judge: a faster machine than calibrated
    # Holding the lock, the call would leave the spinner at most one switch
    # interval at either end; released, the spinner runs throughout.
    inside = [t for t in stamps if start + margin < t < end - margin]
    assert end - start > 3 * margin, "the call was too short to judge"
    assert len(inside) >= 3, (end - start, len(inside))


# ---- Small calls racing (in parallel on a free-threaded interpreter) --------

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SMALL_CHANNELS = 37  # four vectors of eight channels and a remainder
RACERS = 4
CALLS = 5000


def small_params(seed):
    return random_params(np.random.default_rng(seed), SMALL_CHANNELS, alpha_range=(1e-3, 0.5))


def run_together(functions):
    """Runs each function in its own thread, all released at once; returns
    their results in order and raises the first exception of any."""
    barrier = threading.Barrier(len(functions))
    workers = [Worker(lambda fn=fn: (barrier.wait(DEADLINE), fn())[1]) for fn in functions]
    return [w.join() for w in workers]


def test_small_calls_race_on_one_bank():
    """Writers (process_sample, and process_samples of three samples) and
    readers share one bank. Every call either completes or gets the documented
    RuntimeError; every reading is the bank after some whole number of samples
    (no torn state); and the bank ends as a serial run of the samples that got
    in. All samples are equal, so the order in which writers got in does not
    change that state."""
    x = F(0.75)
    three = np.full(3, x, F)
    freqs, alphas, betas = small_params(5200)
    bank = Bank(freqs, 48000.0, alphas=alphas, betas=betas)

    # Every state the bank can pass through: magnitudes and the last channel's
    # power after each number of samples.
    most = RACERS * CALLS * 3
    ref = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    states, powers = {ref.magnitudes().tobytes()}, {ref.power(SMALL_CHANNELS - 1)}
    for _ in range(most):
        ref.process_sample(x)
        states.add(ref.magnitudes().tobytes())
        powers.add(ref.power(SMALL_CHANNELS - 1))

    def writer():
        fed, wrong = 0, []
        for k in range(CALLS):
            try:
                if k % 2:
                    bank.process_samples(three)
                    fed += 3
                else:
                    bank.process_sample(x)
                    fed += 1
            except RuntimeError as exc:
                if str(exc) != BORROWED:
                    wrong.append(repr(exc))
        return fed, wrong

    def reader():
        reads, torn, wrong = 0, 0, []
        for k in range(CALLS):
            try:
                if k % 3 == 0:
                    torn += bank.magnitudes().tobytes() not in states
                elif k % 3 == 1:
                    torn += bank.power(SMALL_CHANNELS - 1) not in powers
                else:
                    torn += len(bank) != SMALL_CHANNELS
                reads += 1
            except RuntimeError as exc:
                if str(exc) != MUTABLY_BORROWED:
                    wrong.append(repr(exc))
        return reads, torn, wrong

    results = run_together([writer] * RACERS + [reader] * 2)
    writes, reads = results[:RACERS], results[RACERS:]
    assert [w for _, w in writes] == [[]] * RACERS
    assert [(torn, w) for _, torn, w in reads] == [(0, [])] * 2
    fed = sum(n for n, _ in writes)
    assert fed > 0 and sum(n for n, _, _ in reads) > 0

    serial = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    serial.process_samples(np.full(fed, x, F))
    assert_same_readouts(bank_readouts(bank), bank_readouts(serial))


def small_call_history(params, signal):
    """Builds a bank (keywords included) and feeds it sample by sample,
    reading it back every 97 samples."""
    freqs, alphas, betas = params
    bank = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    seen = []
    for k, x in enumerate(signal.tolist()):
        bank.process_sample(x)
        if k % 97 == 0:
            seen.append((bank.magnitudes(), bank.phases(), bank.complex(k % SMALL_CHANNELS)))
    return bank, seen


def test_small_calls_on_many_banks_in_threads():
    """One bank per thread, all fed by small calls at once, agree bit for bit
    with the same work done in one thread."""
    jobs = [
        (small_params(5300 + k), noise(np.random.default_rng(5400 + k), 2000)) for k in range(6)
    ]
    together = run_together([lambda job=job: small_call_history(*job) for job in jobs])
    for k, (job, (bank, seen)) in enumerate(zip(jobs, together)):
        alone, expected = small_call_history(*job)
        assert len(seen) == len(expected)
        for (m, p, c), (em, ep, ec) in zip(seen, expected):
            assert_same_bits(m, em, f"bank {k} magnitudes")
            assert_same_bits(p, ep, f"bank {k} phases")
            assert c == ec or (c != c and ec != ec)
        assert_same_readouts(bank_readouts(bank), bank_readouts(alone), f"bank {k}")


def fresh_command(code):
    """The command that runs `code` in a new interpreter with the GIL as it is in this one."""
    flags = ["-X", f"gil={int(sys._is_gil_enabled())}"] if FREE_THREADED else []
    return [sys.executable, *flags, "-W", "error::RuntimeWarning", "-c", textwrap.dedent(code)]


def run_fresh(code):
    """Runs `code` in a new interpreter with the GIL as it is in this one."""
    return subprocess.run(fresh_command(code), capture_output=True, text=True, timeout=120)


def test_first_uses_race_to_one_set_of_process_objects():
    """Threads that make the process's first array call and first internal
    failure at the same moment share one NumPy table and one PanicException
    type, and all get correct results."""
    run = run_fresh(
        """
        import threading
        import numpy as np
        import kavrel

        freqs = np.linspace(100.0, 4000.0, 19, dtype=np.float32)
        expected = None
        barrier = threading.Barrier(8)
        seen, lock = [], threading.Lock()

        def first_use():
            # Each first use straight after a barrier: the NumPy table, then
            # the exception type.
            barrier.wait()
            alphas = kavrel.heuristic_alphas(freqs, 8000.0)
            bank = kavrel.ResonatorBank(freqs, 8000.0)
            barrier.wait()
            try:
                bank.freq(19)
                failure = None
            except BaseException as exc:
                failure = (type(exc), str(exc))
            with lock:
                seen.append((type(bank.magnitudes().base), alphas.tobytes(), failure))

        threads = [threading.Thread(target=first_use) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        holders = {id(h) for h, _, _ in seen}
        alphas = {a for _, a, _ in seen}
        failures = {(id(f[0]), f[0].__name__, f[1]) for _, _, f in seen}
        print(len(seen), len(holders), len(alphas), len(failures))
        print(*{name for _, name, _ in failures}, *{text for _, _, text in failures}, sep="|")
        assert alphas == {kavrel.heuristic_alphas(freqs, 8000.0).tobytes()}
        """
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "8 1 1 1",
        "PanicException|index out of bounds: the len is 19 but the index is 19",
    ]
    assert run.stderr.count("panicked at") == 8


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_free_threaded_import_keeps_the_gil_off():
    """The module declares that it runs without the GIL: importing it neither
    warns nor turns the GIL back on."""
    run = subprocess.run(
        [
            sys.executable,
            "-W",
            "error::RuntimeWarning",
            "-c",
            "import sys, kavrel; print(sys._is_gil_enabled())",
        ],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (run.returncode, run.stdout, run.stderr) == (0, "False\n", "")


EXIT_RUNS = 4


@pytest.mark.parametrize("call", ["resonate", "process_samples"])
def test_exit_with_a_daemon_thread_inside_a_call_without_the_lock(call):
    """The main thread returns while a daemon thread loops over a call that
    runs without the interpreter lock. At exit the interpreter ends that thread
    when it asks for the lock back (by unwinding its stack, on Linux up to 3.13);
    the process ends as it would with the thread inside NumPy: status 0, nothing
    on standard error. Several processes at once, since the thread may be
    caught in or between calls."""
    args = "signal, 256" if call == "resonate" else "signal"
    code = f"""
        import threading, time
        import numpy as np
        import kavrel

        bank = kavrel.ResonatorBank(np.linspace(50, 5000, 88).astype(np.float32), 44100.0)
        signal = np.ones(20000, np.float32)
        running = threading.Event()

        def work():
            while True:
                bank.{call}({args})
                running.set()

        threading.Thread(target=work, daemon=True).start()
        running.wait()
        time.sleep(0.05)
        """
    children = [
        subprocess.Popen(
            fresh_command(code), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        for _ in range(EXIT_RUNS)
    ]
    outcomes = [(child.communicate(timeout=60), child.returncode) for child in children]
    assert [(status, err) for (_, err), status in outcomes] == [(0, "")] * EXIT_RUNS
