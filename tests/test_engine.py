"""Builds the C++ engine tests (the engine alone, no Python) and runs them."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("cmake") is None or shutil.which("c++") is None,
                    reason="needs cmake and a C++ compiler")
def test_engine_checks(tmp_path):
    build = tmp_path / "engine"
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DKAVREL_BUILD_MODULE=OFF",
                 "-DKAVREL_BUILD_ENGINE_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--parallel", "2"], check=True, capture_output=True)
    run = subprocess.run([str(build / "engine_tests")], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "engine checks passed" in run.stdout
