#!/usr/bin/env python3
"""The engine's kernels timed against each other and against the processor's bound.

    python bench/kernels.py            # about a minute, most of it the build
    python bench/kernels.py --quick    # shorter timings

Configures and builds `bench/kernels.cpp` with CMake (`-DKAVREL_BUILD_BENCH=ON`,
in `build/bench-kernels` unless `--build-dir` says otherwise) and runs it. It
prints:

- the processor, and the kernel the engine picks on it, which is the one
  `import kavrel` picks (the module makes the engine's choice at import);
- the bound: independent chains of 256-bit and of 512-bit fused
  multiply-adds measure one core's multiply-class throughput of each width in
  lanes per second; the recurrence issues 13 such operations per
  channel-sample, so a width's bound is its rate / 13 channel-samples per
  second, and the machine's best bound the larger of the two (on a processor
  that splits 512-bit operations into two halves, the two rates are equal);
- table 1, for banks of 16 to 4096 channels: channel-samples per second of
  the AVX-512 and AVX2 intrinsics kernels, the portable kernel's source
  compiled for AVX-512 and for AVX2 and FMA (copies only this program
  contains), and the portable kernel as the engine builds it for x86-64
  (each fused multiply-add a call of the C library's fmaf, which processors
  without AVX2 or FMA run); each with its share of the bound of its own width
  and of the machine's best bound;
- table 2: ratios of time, AVX2 over AVX-512 intrinsics (above 1: AVX-512 is
  faster) and the portable source over the intrinsics of the same target
  (above 1: the intrinsics are faster);
- table 3: the same comparison of AVX2 and AVX-512 through the bank, as
  Python calls it: `process_samples` and `resonate` with hops 64 and 1024.

Kernels missing on the processor are left out. Timings are short and many,
interleaved across the kernels, and the best of each kept, so that other work
on the machine disturbs every kernel alike; on a busy machine rerun it and
compare. The program also checks that all kernels leave the same bits, and
fails if they do not.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import platform
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build(build_dir: pathlib.Path) -> pathlib.Path:
    """Configures and builds the benchmark program; returns its path."""
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DKAVREL_BUILD_BENCH=ON",
            "-DCMAKE_DISABLE_FIND_PACKAGE_Python=ON",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    env = dict(
        os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    )
    subprocess.run(
        ["cmake", "--build", str(build_dir), "--target", "kavrel_kernel_bench"],
        check=True,
        stdout=subprocess.DEVNULL,
        env=env,
    )
    return build_dir / ("kavrel_kernel_bench" + (".exe" if os.name == "nt" else ""))


def processor_name() -> str:
    """The processor's model name where the system tells it (Linux), else the machine type."""
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


if __name__ == "__main__":
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--quick", action="store_true", help="shorter timings")
    ap.add_argument(
        "--build-dir",
        type=pathlib.Path,
        default=ROOT / "build" / "bench-kernels",
        help="CMake build directory (default build/bench-kernels)",
    )
    args = ap.parse_args()
    program = build(args.build_dir)
    print(f"processor: {processor_name()}")
    done = subprocess.run([str(program)] + (["--quick"] if args.quick else []))
    sys.exit(done.returncode)
