# shellcheck shell=bash
# Helpers shared by the CI stages; sourced, never run. Each stage script does
# `source "$(dirname "$0")/lib.sh"` after its `set -euo pipefail`.

# Slow-to-make tools live here, outside the clone, each in a folder keyed by
# what it is made from, and are made again when missing.
export ci_cache=${XDG_CACHE_HOME:-$HOME/.cache}/kavrel-ci
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# fresh_venv DIR PYTHON: create a virtual environment with a current pip and
# activate it.
fresh_venv() {
    "$2" -m venv "$1"
    # shellcheck disable=SC1091
    source "$1/bin/activate"
    python -m pip install --quiet --upgrade pip
}

# tool_venv DIR PYTHON: create a virtual environment with a current pip for
# tools, without activating it (its programs are DIR/bin/...).
tool_venv() {
    "$2" -m venv "$1"
    "$1/bin/python" -m pip install --quiet --upgrade pip
}

# check_installed: the kavrel that the suite imports from the repository root
# is the one installed in the active environment, not a stray build.
check_installed() {
    python - "$VIRTUAL_ENV" <<'PY'
import pathlib, sys
import kavrel
where = pathlib.Path(kavrel.__file__).resolve()
if pathlib.Path(sys.argv[1]).resolve() not in where.parents:
    sys.exit(f"kavrel was imported from {where}, not from the environment under test")
print("testing", where)
PY
}

report_versions() {
    python -c 'import sys, numpy; print("ran with Python", sys.version.split()[0], "and NumPy", numpy.__version__)'
}

# test_requirements: the test extra of pyproject.toml, one requirement a line
# (read by python3 as the path finds it, which must have tomllib: 3.11 or newer).
test_requirements() {
    python3 - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
PY
}

# pyenv_python SERIES: the newest pyenv interpreter of SERIES (e.g. 3.9), or
# nothing where pyenv or that series is missing.
pyenv_python() {
    command -v pyenv > /dev/null 2>&1 || return 0
    local version
    version=$(pyenv versions --bare 2> /dev/null | grep -E "^${1//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    if [ -n "$version" ] && [ -x "$(pyenv root)/versions/$version/bin/python3" ]; then
        echo "$(pyenv root)/versions/$version/bin/python3"
    fi
}

# zig_environment: the folder of a virtual environment with PyPI's ziglang (zig's
# C and C++ cross compilers), made when missing. zig keys its cache of built C
# runtimes by where it is installed, so the environment lives in the CI cache
# and is reused by later runs; stages that start together wait for one to make it.
zig_environment() {
    local env="$ci_cache/ziglang"
    mkdir -p "$ci_cache"
    (
        exec 9> "$ci_cache/ziglang.lock"
        flock 9
        if ! "$env/bin/python" -m ziglang version > /dev/null 2>&1; then
            rm -rf "$env"
            python3 -m venv "$env"
            "$env/bin/python" -m pip install --quiet ziglang
        fi
    ) >&2
    echo "$env"
}
