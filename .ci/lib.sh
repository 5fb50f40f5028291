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

# install_available_test_requirements WORK [PYTHON_OPTIONS...]: the test extra,
# one requirement at a time, into the active environment, each only where it
# has wheels for this interpreter and its modules import (run with
# PYTHON_OPTIONS, e.g. -X gil=0, and RuntimeWarning as an error); the others
# are said and left out, and the tests that need them skip. pytest is left to
# the caller. WORK is a scratch folder.
install_available_test_requirements() {
    local work=$1 requirement modules
    shift
    test_requirements | grep -v '^pytest' > "$work/test-requirements.txt"
    while read -r requirement; do
        # The modules to import: the distribution's and those of its extras.
        modules=$(python -c 'import re, sys
name, _, extras = re.match(r"([A-Za-z0-9_.-]+)(\[([^]]*)\])?", sys.argv[1]).groups()
print(" ".join([name.replace("-", "_")] + (extras.split(",") if extras else [])))' "$requirement")
        if ! python -m pip install --quiet --only-binary :all: "$requirement" > "$work/pip.log" 2>&1; then
            echo "not installed, no wheel for this interpreter: $requirement"
        elif ! python "$@" -W error::RuntimeWarning -c "import sys
for m in sys.argv[1:]: __import__(m)" $modules > "$work/import.log" 2>&1; then
            echo "not kept, does not import: $requirement ($(tail -n 1 "$work/import.log"))"
            python -m pip uninstall --quiet --yes "${requirement%%[[<>=]*}"
        else
            echo "installed: $requirement"
        fi
    done < "$work/test-requirements.txt"
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

# debian_mirror: the Debian mirror of this machine's apt sources.
debian_mirror() {
    local mirror
    mirror=$(apt-get indextargets --format '$(ORIGIN) $(REPO_URI)' 'Created-By: Packages' |
        awk '$1 == "Debian" { print $2; exit }')
    echo "${mirror:-http://deb.debian.org/debian/}"
}

# cache_key TEXT...: a short hash naming a cache entry by what it is made from.
cache_key() {
    printf '%s\n' "$@" | sha256sum | cut -c 1-16
}

# cached NAME KEY RECIPE: the folder $ci_cache/NAME-KEY, made by RECIPE (a
# function given the folder to fill) when it is missing. The folder appears
# only once complete; entries of NAME under other keys are removed.
cached() {
    local name=$1 hash=$2 recipe=$3 lock
    local dir="$ci_cache/$name-$hash"
    mkdir -p "$ci_cache"
    exec {lock}> "$ci_cache/$name.lock"
    flock "$lock"
    if [ ! -d "$dir" ]; then
        echo "== making $name ($hash) in $ci_cache" >&2
        rm -rf "$dir.partial"
        mkdir -p "$dir.partial"
        "$recipe" "$dir.partial" >&2
        mv "$dir.partial" "$dir"
        find "$ci_cache" -mindepth 1 -maxdepth 1 -name "$name-*" ! -path "$dir" -exec rm -rf {} +
    fi
    exec {lock}>&-
    echo "$dir"
}

# root_target PYVER PLATFORM GLIBC_MINOR: pip's options, one a line, that pick
# wheels for a Debian root's interpreter (Python PYVER on a manylinux PLATFORM
# such as x86_64, its C library 2.GLIBC_MINOR): every manylinux tag up to that
# C library, since pip does not widen a tag it is given.
root_target() {
    local minor
    printf '%s\n' --only-binary=:all: --implementation cp --python-version "$1" \
        --abi "cp${1/./}" --abi abi3 --abi none --platform "manylinux2014_$2"
    for minor in $(seq 17 "$3"); do
        printf '%s\n' --platform "manylinux_2_${minor}_$2"
    done
}

# download_for_root WHEELS PYVER PLATFORM GLIBC_MINOR WHEEL: pip on this
# machine fetches the wheels of a Debian root's interpreter (Python PYVER, a
# manylinux PLATFORM such as x86_64, its C library 2.GLIBC_MINOR) into the
# folder WHEELS: WHEEL and pip itself, then the test extra one requirement at
# a time, each only where it has wheels (the tests of a missing one skip).
# Prints the requirements it got, one a line, for install_for_root.
download_for_root() {
    local wheels=$1 pyver=$2 platform=$3 glibc_minor=$4 wheel=$5 requirement target
    mapfile -t target < <(root_target "$pyver" "$platform" "$glibc_minor")
    python -m pip download --quiet --dest "$wheels" "${target[@]}" "$wheel" pip >&2
    echo "$wheel"
    echo pip
    while read -r requirement; do
        if python -m pip download --quiet --dest "$wheels" "${target[@]}" "$requirement" \
            > "$wheels.log" 2>&1; then
            echo "$requirement"
        else
            echo "no wheels for Python $pyver on $platform for $requirement (or one of its dependencies): its tests skip" >&2
        fi
    done < <(test_requirements)
}

# install_for_root SITE WHEELS PYVER PLATFORM GLIBC_MINOR REQUIREMENT...: pip on
# this machine installs what download_for_root fetched into the folder SITE,
# to become a site-packages folder inside the root (pip never runs there).
install_for_root() {
    local site=$1 wheels=$2 pyver=$3 platform=$4 glibc_minor=$5 target
    shift 5
    mapfile -t target < <(root_target "$pyver" "$platform" "$glibc_minor")
    python -m pip install --quiet --target "$site" --no-index --find-links "$wheels" \
        "${target[@]}" "$@"
}

# suite_in_root ROOT SITE PYTHON [pytest arguments...]: the test suite in a
# throw-away overlay of the Debian root ROOT, with the repository's files,
# run by a virtual environment of the root's interpreter PYTHON (python3,
# python3.15, ...) whose site-packages are the folder SITE. The mounts live
# in a private mount namespace and end with it. Variables named in
# SUITE_ENV (NAME=VALUE words) are set for the suite. Needs root.
suite_in_root() {
    local root=$1 site=$2 python=$3 scratch
    shift 3
    scratch=$(mktemp -d)
    mkdir -p "$scratch/upper" "$scratch/overlay-work" "$scratch/merged"
    cat > "$scratch/enter" <<'ENTER'
set -euo pipefail
root=$1 site=$2 python=$3 scratch=$4 repo=$5
shift 5
mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/overlay-work" "$scratch/merged"
cd "$scratch/merged"
mount -t proc proc proc
mount --rbind /dev dev
mount --rbind /sys sys
mkdir -p src tmp
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2> /dev/null) | tar -xf - -C src
run() {
    # shellcheck disable=SC2086 # SUITE_ENV is several words
    chroot . /usr/bin/env -i HOME=/root PATH=/opt/venv/bin:/usr/bin:/bin LANG=C.UTF-8 \
        ${SUITE_ENV:-} "$@"
}
run "$python" -m venv --without-pip /opt/venv
pyver=$(run python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
cp -a "$site/." "opt/venv/lib/python$pyver/site-packages/"
run python -c 'import kavrel, platform, sys; print("testing", kavrel.__file__, "on", platform.machine(), "with Python", sys.version.split()[0])'
run /bin/sh -c 'cd /src && exec python -m pytest -q -rs -p no:cacheprovider "$@"' pytest "$@"
run python -c 'import sys, numpy; print("ran with Python", sys.version.split()[0], "and NumPy", numpy.__version__)'
ENTER
    local status=0
    SUITE_ENV=${SUITE_ENV:-} unshare --mount --propagation private \
        bash "$scratch/enter" "$root" "$site" "$python" "$scratch" "$PWD" "$@" || status=$?
    rm -rf "$scratch"
    return "$status"
}
