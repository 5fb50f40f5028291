"""The README's usage example runs and prints what its comments say."""

import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_usage_example_prints_what_it_promises():
    readme = (ROOT / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["440.0", "0.25"]


def test_quick_start_has_exactly_the_two_commands():
    readme = (ROOT / "README.md").read_text()
    quick = readme.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    commands = [line.strip() for line in quick.splitlines() if line.startswith("    ")]
    assert commands == [
        'python -m pip install ".[examples]" && python examples/spectrogram.py',
        'python -m pip install ".[test]" && python -m pytest',
    ]
