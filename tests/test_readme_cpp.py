"""The README's C++ blocks are the files that CI builds and runs (.ci/engine)."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent


def fenced(language):
    readme = (ROOT / "README.md").read_text()
    return re.findall(rf"```{language}\n(.*?)```", readme, re.S)


def test_cmake_block_is_part_of_the_example_project():
    [block] = fenced("cmake")
    assert block in (ROOT / "examples" / "cpp" / "CMakeLists.txt").read_text()


def test_cpp_block_is_the_minimal_example():
    [block] = fenced("cpp")
    assert block == (ROOT / "examples" / "cpp" / "minimal.cpp").read_text()
