#!/usr/bin/env bash
# Installs what building and testing Pelmora needs on Debian 12 or 13, then a virtual
# environment holding the project and its test extra. Safe to re-run: only missing Debian
# packages are installed, and the project is rebuilt and reinstalled only when its sources,
# its dependencies, the build flags or the interpreter changed since the last install here.
#
#   scripts/install.sh                                  packages + .venv from python3 on PATH
#   scripts/install.sh --python PYTHON --venv DIR       the same for another interpreter
#
# Python 2.7: it has no venv module and its setuptools cannot read pyproject.toml, so DIR is
# made with virtualenv, gets the last releases of the test tools that support 2.7, and the
# extension is built into DIR/ext. Its PyOpenGL 3.1.5 looks for GLUT only as libglut.so.0-9,
# so DIR/glut holds a libglut.so.3 link to Debian's libglut.so.3.12. Tests then run with:
#   LD_LIBRARY_PATH=DIR/glut PYTHONPATH=DIR/ext:. DIR/bin/pytest
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
python=python3
venv=.venv
while [ $# -gt 0 ]; do
    case $1 in
        --python) python=$2; shift 2 ;;
        --venv) venv=$2; shift 2 ;;
        *) echo "usage: $0 [--python PYTHON] [--venv DIR]" >&2; exit 2 ;;
    esac
done
case $venv in /*) ;; *) venv=$ROOT/$venv ;; esac
export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$HOME/.cache/pip} PIP_DISABLE_PIP_VERSION_CHECK=1
say() { echo "install: $*"; }

# --- Debian packages --------------------------------------------------------------------------
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }
candidate() { apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ && $2 != "(none)" {print $2}'; }

debian=$(cat /etc/debian_version 2>/dev/null || echo unknown)
case ${debian%%.*} in
    12|13) ;;
    *) say "Debian $debian is untested; 12 and 13 are supported" ;;
esac
required=(g++ make python3-dev python3-venv xvfb xauth
          libegl1 libegl-mesa0 libgl1-mesa-dri libglu1-mesa)
# PyOpenGL loads GLUT as libglut.so or libglut.so.0-9. Debian 12 and 13 ship libglut.so.3.12
# (libglut3.12), so only libglut-dev's libglut.so is found; Debian 11's freeglut3 had .so.3.
# Newer Mesa (25.1+) no longer builds OSMesa, and a release may lack the debug interpreter:
# the optional packages are installed when offered.
glut_choices=(libglut-dev freeglut3)
# The debug interpreter builds the extension with setup.py, and Debian's debug interpreter
# finds setuptools only in python3-setuptools.
optional=(libosmesa6 python3-dbg python3-setuptools)
# Another of Debian's interpreters (testing has python3.14 and python3.15 side by side) needs
# its own headers and venv module.
case $("$python" -c 'import sys; print(sys.executable)' 2>/dev/null) in
    /usr/bin/python3.[0-9]*)
        other=$("$python" -c 'import sys; print("python%d.%d" % sys.version_info[:2])')
        required+=("$other-dev" "$other-venv") ;;
esac

missing=()
for pkg in "${required[@]}"; do installed "$pkg" || missing+=("$pkg"); done
glut=""
for pkg in "${glut_choices[@]}"; do installed "$pkg" && glut=$pkg; done
[ -n "$glut" ] || missing+=(glut)
wanted=()
for pkg in "${optional[@]}"; do installed "$pkg" || wanted+=("$pkg"); done
lists_empty() { ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; }
offered=""
for pkg in "${wanted[@]}"; do [ -n "$(candidate "$pkg")" ] && offered=yes; done

if [ ${#missing[@]} -gt 0 ] || { [ ${#wanted[@]} -gt 0 ] && { [ -n "$offered" ] || lists_empty; }; }; then
    if [ "$(id -u)" -ne 0 ]; then
        say "must run as root to install: ${missing[*]} ${wanted[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    say "apt-get update"
    apt-get update -qq
    todo=()
    for pkg in "${missing[@]}"; do
        if [ "$pkg" = glut ]; then
            for choice in "${glut_choices[@]}"; do
                if [ -n "$(candidate "$choice")" ]; then pkg=$choice; break; fi
            done
            [ "$pkg" != glut ] || { say "no GLUT library package (${glut_choices[*]})" >&2; exit 1; }
        fi
        todo+=("$pkg")
    done
    for pkg in "${wanted[@]}"; do
        if [ -n "$(candidate "$pkg")" ]; then todo+=("$pkg"); else say "skipping $pkg: not in Debian $debian"; fi
    done
    if [ ${#todo[@]} -gt 0 ]; then
        say "apt-get install ${todo[*]}"
        apt-get install -y -qq --no-install-recommends "${todo[@]}" </dev/null
    fi
else
    say "Debian packages present"
fi

# --- virtual environment -----------------------------------------------------------------------
command -v "$python" >/dev/null || { say "no interpreter '$python'" >&2; exit 1; }
# One start of each interpreter (a pyenv shim alone costs a quarter second): its real path
# past the shims, its version, whether it has Python.h, and its identity. An env is kept only
# if it runs on the same interpreter; otherwise it is made anew.
identity='import sys; print(getattr(sys, "real_prefix", getattr(sys, "base_prefix", sys.prefix)) + " " + sys.version.replace("\n", " "))'
facts=$("$python" -c 'import os, sys, sysconfig
print(sys.executable)
print("%d.%d" % sys.version_info[:2])
print(int(os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))))'"
$identity")
{ read -r python; read -r version; read -r headers; read -r interpreter; } <<<"$facts"
[ "$headers" = 1 ] ||
    { say "$python has no Python.h (Debian: the python3-dev or python3.X-dev package)" >&2; exit 1; }

if [ -x "$venv/bin/python" ] && [ "$("$venv/bin/python" -c "$identity" 2>/dev/null)" = "$interpreter" ]; then
    say "using $venv ($python, Python $version)"
else
    say "creating $venv from $python (Python $version)"
    rm -rf "$venv"
    if [ "$version" = 2.7 ]; then
        if ! "$python" -c 'import virtualenv' 2>/dev/null; then
            "$python" -m pip --version >/dev/null 2>&1 || "$python" -m ensurepip --user
            "$python" -m pip install -q --user 'virtualenv<20.22'
        fi
        "$python" -m virtualenv -q "$venv"
    else
        "$python" -m venv "$venv"
    fi
fi

cd "$ROOT"
# What an install depends on: every file that goes into the build or the installed packages,
# the dependencies (in setup.py, and in this script for 2.7), the build flags and the
# interpreter. A stamp in the env records it, so a re-run with nothing changed costs a hash.
stamp=$venv/.pelmora-installed
digest=$( {
    find setup.py pyproject.toml MANIFEST.in README.md LICENSE scripts/install.sh src \
        pelmora_tools Pelmora-stubs \
        -type f ! -name '*.py[co]' ! -path '*/__pycache__/*' -print0 2>/dev/null |
        LC_ALL=C sort -z | xargs -0 sha256sum
    echo "$interpreter"
    echo "${PELMORA_WERROR-} ${PELMORA_EXTRA_CFLAGS-} ${PELMORA_EXTRA_LDFLAGS-}"
} | sha256sum | cut -d' ' -f1)
installed_marker=$venv/bin/pelmora-demo
[ "$version" != 2.7 ] || installed_marker=$(ls "$venv"/ext/Pelmora*.so 2>/dev/null | head -n 1 || true)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ] && [ -e "$installed_marker" ]; then
    say "Pelmora in $venv is current (sources and dependencies unchanged since it was installed)"
    exit 0
fi
rm -f "$stamp"
if [ "$version" = 2.7 ]; then
    "$venv/bin/python" -m pip install -q 'PyOpenGL==3.1.5' 'pytest==4.6.*' 'numpy==1.16.*' \
        'Pillow==6.2.*'
    "$venv/bin/python" setup.py -q build_ext -b "$venv/ext" -t "$venv/build"
    mkdir -p "$venv/glut"
    glut_lib=$(/sbin/ldconfig -p | awk '$1 ~ /^libglut\.so\.3/ {print $NF; exit}')
    [ -z "$glut_lib" ] || ln -sfn "$glut_lib" "$venv/glut/libglut.so.3"
    say "built the extension into $venv/ext; run tests with" \
        "LD_LIBRARY_PATH=$venv/glut PYTHONPATH=$venv/ext:$ROOT $venv/bin/pytest"
else
    "$venv/bin/python" -m pip install -q "$ROOT[test]"
    say "installed Pelmora into $venv"
fi
echo "$digest" >"$stamp"
