"""Small calls on two banks: two threads against one.

    python bench/threads.py               # this interpreter as it runs
    python3.13t bench/threads.py          # a free-threaded one: with and without the GIL

Two banks of 88 channels get the same small calls, `process_sample` with a
Python float and `magnitudes()`, first from one thread (all of bank A's calls,
then all of bank B's) and then from two threads at once, one bank each. The
speed-up is the one-thread time over the two-thread time, both measured in the
same run (best of a few repetitions). With the GIL the small calls take turns,
so the figure stays near 1; on a free-threaded interpreter with the GIL off
they run in parallel, up to 2 on two free cores. On a free-threaded
interpreter the script measures itself twice, in fresh processes started with
`-X gil=1` and `-X gil=0`, and prints both rows.

"cores used" is the process's CPU time over wall time during the two-thread
runs: a figure well below 2 without the GIL means other processes held the
cores, and the speed-up of that row says little about kavrel. The CPU time
per call, one thread against two, says what the wall times cannot on a busy
machine: without the GIL, equal figures mean the two threads do not slow
each other down (no shared lock or cache line), so on two free cores the
speed-up would be 2.

Two reference rows without kavrel make, per call, a new object of the
readout's size: a Python list, and a NumPy array from np.empty. magnitudes()
returns a new array from every call, so the list row is the speed-up such a
call can reach here, and the np.empty row what NumPy's own calls reach.
"""

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import threading
import time

import numpy as np
from report import ratio, table

import kavrel

CHANNELS = 88
SAMPLE_RATE = 44100.0
REPEATS = 5
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def make_bank():
    freqs = np.geomspace(27.5, 4186.0, CHANNELS).astype(np.float32)
    return kavrel.ResonatorBank(freqs, SAMPLE_RATE)


def feed(bank, calls):
    step = bank.process_sample
    x = 0.25
    for _ in range(calls):
        step(x)


def read(bank, calls):
    magnitudes = bank.magnitudes
    for _ in range(calls):
        magnitudes()


# References without kavrel, measured the same way: calls that make a new
# object of the readout's size, by the interpreter alone and by NumPy. A new
# object from every call is what limits magnitudes(), so these rows show the
# speed-up such a call can reach on this interpreter and machine.
def new_list(bank, calls):
    for _ in range(calls):
        [0.0] * CHANNELS


def new_array(bank, calls):
    empty, f32 = np.empty, np.float32
    for _ in range(calls):
        empty(CHANNELS, f32)


def one_thread(work, banks, calls):
    t0, c0 = time.perf_counter(), time.process_time()
    for bank in banks:
        work(bank, calls)
    return time.perf_counter() - t0, time.process_time() - c0


def two_threads(work, banks, calls):
    barrier = threading.Barrier(len(banks) + 1)

    def run(bank):
        barrier.wait()
        work(bank, calls)

    threads = [threading.Thread(target=run, args=(bank,)) for bank in banks]
    for t in threads:
        t.start()
    barrier.wait()
    t0, c0 = time.perf_counter(), time.process_time()
    for t in threads:
        t.join()
    return time.perf_counter() - t0, time.process_time() - c0


def best(run, work, banks, calls):
    """Wall and CPU time of the fastest of REPEATS runs."""
    return min(run(work, banks, calls) for _ in range(REPEATS))


def measure(calls):
    banks = [make_bank(), make_bank()]
    rows = []
    works = (
        ("process_sample", feed, calls),
        ("magnitudes()", read, calls // 2),
        (f"[0.0] * {CHANNELS} (no kavrel)", new_list, calls // 2),
        (f"np.empty({CHANNELS}) (no kavrel)", new_array, calls // 2),
    )
    for name, work, n in works:
        work(banks[0], n // 10)  # warm up
        serial, serial_cpu = best(one_thread, work, banks, n)
        parallel, parallel_cpu = best(two_threads, work, banks, n)
        rows.append(
            {
                "call": name,
                "calls": 2 * n,
                "one_thread_us": serial / (2 * n) * 1e6,
                "two_threads_us": parallel / (2 * n) * 1e6,
                "one_thread_cpu_us": serial_cpu / (2 * n) * 1e6,
                "two_threads_cpu_us": parallel_cpu / (2 * n) * 1e6,
                "speedup": serial / parallel,
                "cores": parallel_cpu / parallel,
            }
        )
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    build = "free-threaded" if FREE_THREADED else "regular"
    return {"python": sys.version.split()[0], "build": build, "gil": gil, "rows": rows}


def measure_fresh(gil, calls):
    """measure() in a new process of this interpreter with the GIL on or off."""
    out = subprocess.run(
        [sys.executable, "-X", f"gil={int(gil)}", __file__, "--child", "--calls", str(calls)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=600_000, help="process_sample calls per bank")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.calls)))
        return
    if FREE_THREADED:
        runs = [measure_fresh(True, args.calls), measure_fresh(False, args.calls)]
    else:
        runs = [measure(args.calls)]
    print(f"Small calls on two {CHANNELS}-channel banks, two threads against one")
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}, {os.cpu_count()} CPUs")
    rows = [
        [
            f"{r['python']} {r['build']}",
            "on" if r["gil"] else "off",
            row["call"],
            f"{row['one_thread_us']:.3f}",
            f"{row['two_threads_us']:.3f}",
            ratio(row["speedup"]),
            f"{row['one_thread_cpu_us']:.3f}",
            f"{row['two_threads_cpu_us']:.3f}",
            f"{row['cores']:.2f}",
        ]
        for r in runs
        for row in r["rows"]
    ]
    headers = ["interpreter", "GIL", "call", "µs/call 1 thread", "2 threads", "speed-up"]
    headers += ["CPU µs/call 1 thread", "2 threads", "cores used"]
    print(table(headers, rows, aligns="lllrrrrrr"))


if __name__ == "__main__":
    main()
