# shellcheck shell=bash
# Sourced by the CI stages that need a CPython built from source
# (.ci/free-threaded, .ci/tsan). Neither Debian nor PyPI ships the
# interpreters they test on (free-threaded builds, one of them with
# ThreadSanitizer), so each is built from the CPython release source that
# Debian 13 (trixie) holds, the newest whose source this machine's mirror
# serves, fetched with apt through a private configuration (this machine's
# own apt sources are left alone). A built interpreter is cached outside the clone, keyed by its
# version and its configure flags:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/kavrel-ci/python-<version>[t]-<flags digest>
# and reused while present ("t" marks a free-threaded build).
#
# cached_cpython SERIES FLAGS WORK: prints the path of the interpreter binary
# (python<SERIES>t for a free-threaded build, else python<SERIES>) built with
# configure FLAGS, building it first when no complete one is cached; WORK is
# a scratch folder. Progress goes to stderr.

cpython_cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/kavrel-ci"

# _cpython_suffix FLAGS: "t" for a free-threaded build, else nothing.
_cpython_suffix() {
    case " $1 " in
        *" --disable-gil "*) echo t ;;
        *) echo ;;
    esac
}

# _cpython_find SERIES SUFFIX DIGEST: a complete cached build, the newest
# version first.
_cpython_find() {
    local dir
    for dir in $(ls -d "$cpython_cache_root/python-$1".*"$2-$3" 2> /dev/null | sort -rV); do
        if [ -x "$dir/bin/python$1$2" ] && [ -e "$dir/.complete" ]; then
            echo "$dir"
            return
        fi
    done
}

# _cpython_build SERIES FLAGS SUFFIX DIGEST WORK: fetches the release source
# (checked against the signed index by apt) and builds and installs it into
# the cache.
_cpython_build() {
    local series=$1 flags=$2 suffix=$3 digest=$4 work=$5
    local apt="$work/apt"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$apt/src"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian trixie main" > "$apt/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
        -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1")
    # Called where errexit does not hold (in a condition), so every step
    # that can fail is checked.
    apt-get -qq "${opts[@]}" update || return 1
    (cd "$apt/src" && apt-get -qq "${opts[@]}" source --download-only "python$series") > /dev/null ||
        return 1
    local tarball version
    tarball=$(ls "$apt/src/python${series}_${series}".*.orig.tar.xz | head -n 1)
    version=$(basename "$tarball" | sed -E "s/^python${series}_([0-9.]+)\.orig\.tar\.xz$/\1/")
    if [ -z "$tarball" ] || [ -z "$version" ]; then
        echo "no source of CPython $series was fetched" >&2
        return 1
    fi
    local prefix="$cpython_cache_root/python-${version}$suffix-$digest"
    echo "building CPython $version with $flags into $prefix" >&2
    rm -rf "$prefix"
    mkdir -p "$work/build"
    tar -xJf "$tarball" -C "$work/build" || return 1
    (
        cd "$work/build/Python-$version"
        # shellcheck disable=SC2086 # the flags are several words
        ./configure --prefix="$prefix" $flags > "$work/configure.log" 2>&1 ||
            { tail -n 40 "$work/configure.log" >&2; exit 1; }
        make -j"${CMAKE_BUILD_PARALLEL_LEVEL:-2}" > "$work/make.log" 2>&1 ||
            { tail -n 40 "$work/make.log" >&2; exit 1; }
        make install > "$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
    ) || return 1
    touch "$prefix/.complete"
}

cached_cpython() {
    local series=$1 flags=$2 work=$3
    local digest dir suffix
    digest=$(printf '%s' "$flags" | sha256sum | cut -c1-12)
    suffix=$(_cpython_suffix "$flags")
    mkdir -p "$cpython_cache_root"
    dir=$(_cpython_find "$series" "$suffix" "$digest")
    if [ -z "$dir" ]; then
        (
            # One build of a series at a time: runs started together wait for
            # the first one's build (the lock is the one .ci/free-threaded
            # always took, so older checkouts keep to it too).
            exec 9> "$cpython_cache_root/python-${series}t.lock"
            flock 9
            if [ -z "$(_cpython_find "$series" "$suffix" "$digest")" ]; then
                _cpython_build "$series" "$flags" "$suffix" "$digest" "$work" >&2
            fi
        ) || return 1
        dir=$(_cpython_find "$series" "$suffix" "$digest")
    fi
    [ -n "$dir" ] || { echo "no interpreter was built into $cpython_cache_root" >&2; return 1; }
    echo "using $dir" >&2
    echo "$dir/bin/python$series$suffix"
}
