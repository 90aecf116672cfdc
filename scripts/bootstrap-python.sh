#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 from Debian 13's source package into a cache outside the
# repository, then makes the project's virtual environment on it. A working cached interpreter is
# reused; nothing is rebuilt then.
#
#   TOVREL_PYTHON_CACHE   where the interpreter lives (default ~/.cache/tovrel-python)
#   TOVREL_VENV           the virtual environment (default .venv at the repository root)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${TOVREL_PYTHON_CACHE:-$HOME/.cache/tovrel-python}
prefix=$cache/prefix
venv=${TOVREL_VENV:-$root/.venv}
py=$prefix/bin/python3.13t

say() { printf '[bootstrap] %s\n' "$*"; }
die() { printf '[bootstrap] error: %s\n' "$*" >&2; exit 1; }

interpreter_works() {
    [ -x "$py" ] && "$py" -c 'import sys, ssl, zlib, pyexpat; sys.exit(sys._is_gil_enabled())' 2>/dev/null
}

apt_install() {
    # Install only what is missing, so a prepared machine needs no network here.
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || die "apt-get update failed"
    apt-get install -y -qq "${missing[@]}" >/dev/null || die "apt-get install ${missing[*]} failed"
}

# The first Debian archive named by the machine's own apt sources, in either format: one-line
# "deb [opts] URI suite ..." lists and deb822 ".sources" stanzas ("URIs:" fields). Security and
# third-party archives are skipped: only a path ending in /debian serves trixie's sources.
debian_mirror() {
    local f uri
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        while read -r uri; do
            case "$uri" in
                http://*/debian|https://*/debian|http://*/debian/|https://*/debian/) echo "${uri%/}"; return 0 ;;
            esac
        done < <(awk '
            /^[[:space:]]*#/ { next }
            $1 == "deb" || $1 == "deb-src" {
                for (i = 2; i <= NF; i++) { if ($i ~ /^\[/) { while ($i !~ /\]$/ && i < NF) i++; continue } print $i; break }
            }
            $1 == "URIs:" { for (i = 2; i <= NF; i++) print $i }
        ' "$f")
    done
    return 1
}

build_interpreter() {
    apt_install build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev \
        liblzma-dev libsqlite3-dev libreadline-dev xz-utils

    # A private apt configuration that knows trixie's source index; the system's own apt setup
    # is left as it is.
    local aptdir=$cache/apt
    mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/etc"
    local mirror
    mirror=$(debian_mirror) || die "no Debian mirror in this machine's apt sources (/etc/apt/sources.list, /etc/apt/sources.list.d/): add one, then run again"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" \
        > "$aptdir/etc/sources.list"
    local aptopts=(-o "APT::Sandbox::User=root"
                   -o "Dir::Etc::sourcelist=$aptdir/etc/sources.list"
                   -o "Dir::Etc::sourceparts=/dev/null"
                   -o "Dir::State::lists=$aptdir/lists"
                   -o "Dir::Cache=$aptdir/cache")
    say "fetching trixie's source index from $mirror"
    apt-get "${aptopts[@]}" update -qq || die "could not read trixie's source index from $mirror"

    local src=$cache/src
    rm -rf "$src"; mkdir -p "$src"
    say "downloading the python3.13 source package"
    (cd "$src" && apt-get "${aptopts[@]}" source --download-only -qq python3.13) \
        || die "the python3.13 source package could not be downloaded"
    local orig
    orig=$(ls "$src"/python3.13_*.orig.tar.* 2>/dev/null | head -n 1)
    [ -n "$orig" ] || die "no upstream tarball in the python3.13 source package"
    say "unpacking $(basename "$orig")"
    tar -xf "$orig" -C "$src"
    local tree
    tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
    [ -n "$tree" ] || die "unexpected layout of $(basename "$orig")"

    say "configuring (free-threaded) in $tree"
    rm -rf "$prefix"
    (cd "$tree" && ./configure --prefix="$prefix" --disable-gil --with-ensurepip=install \
        --disable-test-modules >"$cache/configure.log" 2>&1) \
        || die "configure failed; see $cache/configure.log"
    say "building with $(nproc) jobs (a few minutes)"
    (cd "$tree" && make -j"$(nproc)" >"$cache/make.log" 2>&1) \
        || die "build failed; see $cache/make.log"
    say "installing into $prefix"
    (cd "$tree" && make install >"$cache/install.log" 2>&1) \
        || die "install failed; see $cache/install.log"
    rm -rf "$src"
    interpreter_works || die "the built interpreter does not run free-threaded with ssl, zlib and pyexpat"
}

if interpreter_works; then
    say "using cached interpreter $py"
else
    start=$(date +%s)
    build_interpreter
    say "interpreter built in $(( $(date +%s) - start )) s"
fi

apt_install libgtest-dev cmake g++ python3-lxml

if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null \
   || [ "$("$venv/bin/python" -c 'import sys; print(sys.base_prefix)' 2>/dev/null)" != "$prefix" ]; then
    say "creating the virtual environment $venv"
    rm -rf "$venv"
    "$py" -m venv "$venv"
fi
if ! "$venv/bin/python" -c 'import pytest, hypothesis' 2>/dev/null; then
    say "installing pytest and hypothesis"
    # Newer hypothesis releases need a Rust build on the free-threaded interpreter; this one is
    # pure Python.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest 'hypothesis==6.150.0' \
        || die "pip could not install pytest and hypothesis"
fi
# Spreadsheet readers that are not this project's, in their own environment on the system's
# Python (they have no wheels for the free-threaded interpreter): python-calamine checks the
# workbooks the demo writes, and it and fastexcel are the peers the benchmarks time the engine
# against. pip installs them from the machine's own configuration. Without them the test that
# uses python-calamine and the peer benchmarks skip.
peer=$cache/peer
for reader in python_calamine:python-calamine fastexcel:fastexcel; do
    module=${reader%%:*} dist=${reader#*:}
    "$peer/bin/python" -c "import $module" 2>/dev/null && continue
    say "installing $dist into $peer (an independent reader)"
    if ! { [ -x "$peer/bin/python" ] || python3 -m venv "$peer"; } \
       || ! "$peer/bin/python" -m pip install -q --disable-pip-version-check "$dist"; then
        say "warning: $dist could not be installed; what uses it will skip"
    fi
done
"$venv/bin/python" -c 'import sys; assert not sys._is_gil_enabled(), "GIL is enabled"; print("[bootstrap] ready:", sys.version.split()[0], "free-threaded")'
