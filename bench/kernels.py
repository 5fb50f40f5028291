#!/usr/bin/env python3
"""The engine's kernels timed against each other, in one C++ program.

    python bench/kernels.py            # about a minute, most of it the build
    python bench/kernels.py --quick    # shorter timings

Configures and builds `bench/kernels.cpp` with CMake (`-DKAVREL_BUILD_BENCH=ON`,
in `build/bench-kernels` unless `--build-dir` says otherwise) and runs it. For
banks of 16 to 4096 channels it prints nanoseconds per channel-sample of

- the AVX2 intrinsics kernel, which the engine uses on x86-64 processors with
  AVX2 and FMA;
- the portable kernel's source compiled for this machine's AVX2 and FMA (a
  copy only this program contains), which shows what the compiler makes of
  the portable source where vector fused multiply-adds exist, as on aarch64;
- the portable kernel as the engine builds it for x86-64 (no AVX, and each
  fused multiply-add computed from double arithmetic), which processors
  without AVX2 or FMA run;

each with its ratio to the first. Elsewhere than on x86-64 with AVX2 only the
portable kernel is timed. The program also checks that all of them leave the
same bits.
"""

from __future__ import annotations

import argparse
import os
import pathlib
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
    done = subprocess.run([str(program)] + (["--quick"] if args.quick else []))
    sys.exit(done.returncode)
