#!/usr/bin/env bash
# Sets up building and testing Pelmora on Debian 12 or 13: the Debian packages, then a virtual
# environment holding the project and its test extra. Safe to re-run: the project is rebuilt
# and reinstalled only when its sources, its dependencies, the build settings or the
# interpreter changed since the last install in that environment.
#
#   scripts/install.sh                                  packages + .venv from python3 on PATH
#   scripts/install.sh --python PYTHON --venv DIR       the same for another interpreter
#   scripts/install.sh --hand-back                      only: give what root made here back
#
# Root is needed only to install Debian packages. A normal user's run goes on without it when
# the required packages are present, naming the optional ones it lacks (the tests that need
# them skip, saying why); when a required one is missing it prints the `sudo apt-get install`
# line and stops. A root run installs what is missing, the optional packages too where this
# Debian offers them, and in a clone that a normal user owns it gives everything it made in
# the clone back to that user, so the user's next run works.
#
# Python 2.7 has no venv module: DIR is made with virtualenv, whose pip (20.3) builds the
# project through pyproject.toml with setuptools 44, beside the last releases of the test
# tools that support 2.7.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
python=python3
venv=.venv
hand_back_only=""
while [ $# -gt 0 ]; do
    case $1 in
        --python) python=$2; shift 2 ;;
        --venv) venv=$2; shift 2 ;;
        --hand-back) hand_back_only=yes; shift ;;
        *) echo "usage: $0 [--python PYTHON] [--venv DIR] | --hand-back" >&2; exit 2 ;;
    esac
done
case $venv in /*) ;; *) venv=$ROOT/$venv ;; esac
export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$HOME/.cache/pip} PIP_DISABLE_PIP_VERSION_CHECK=1
say() { echo "install: $*"; }

# --- who owns the clone ------------------------------------------------------------------------
owner=$(stat -c %u:%g "$ROOT")
owner_name=$(stat -c %U:%G "$ROOT")
made_by_root() {  # the first file under the clone, .git aside, that root owns
    find "$ROOT" -path "$ROOT/.git" -prune -o -uid 0 -print -quit 2>/dev/null
}
hand_back() {
    [ "$(id -u)" -eq 0 ] && [ "${owner%%:*}" != 0 ] || return 0
    find "$ROOT" -path "$ROOT/.git" -prune -o -uid 0 -exec chown -h "$owner" {} + 2>/dev/null ||
        say "could not give every file made as root back to $owner_name" >&2
}
build_tree=""
finish() {
    [ -z "$build_tree" ] || rm -rf "$build_tree"
    hand_back
}
trap finish EXIT
[ -z "$hand_back_only" ] || exit 0

if [ "$(id -u)" -ne 0 ] && found=$(made_by_root) && [ -n "$found" ]; then
    say "a run as root left files in $ROOT that you cannot replace, such as" \
        "${found#"$ROOT"/}; give them back to you with:" >&2
    echo "  sudo chown -R $(id -un):$(id -gn) $ROOT" >&2
    exit 1
fi

# --- the interpreter ---------------------------------------------------------------------------
# A bare Debian has no python3 yet; the rest of this script asks it about itself.
if ! command -v "$python" >/dev/null && [ "$python" = python3 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        say "python3 is not installed; install it, then run this again:" >&2
        echo "  sudo apt-get install python3" >&2
        exit 1
    fi
    say "apt-get install python3"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends python3 </dev/null
fi
command -v "$python" >/dev/null || { say "no interpreter '$python'" >&2; exit 1; }
# One start of each interpreter (a pyenv shim alone costs a quarter second): its real path
# past the shims, its version, and its identity. An env is kept only if it runs on the same
# interpreter; otherwise it is made anew.
identity='import sys; print(getattr(sys, "real_prefix", getattr(sys, "base_prefix", sys.prefix)) + " " + sys.version.replace("\n", " "))'
facts=$("$python" -c 'import sys
print(sys.executable)
print("%d.%d" % sys.version_info[:2])'"
$identity")
{ read -r python; read -r version; read -r interpreter; } <<<"$facts"

# --- Debian packages ---------------------------------------------------------------------------
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }
candidate() { apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ && $2 != "(none)" {print $2}'; }
lists_empty() { ! ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; }
offered() { lists_empty || [ -n "$(candidate "$1")" ]; }  # empty lists cannot say: try it

debian=$(cat /etc/debian_version 2>/dev/null || echo unknown)
case ${debian%%.*} in
    12|13) ;;
    *) say "Debian $debian is untested; 12 and 13 are supported" ;;
esac
# What building, the demo and most tests need.
required=(g++ make python3-dev python3-venv libegl1 libegl-mesa0 libgl1-mesa-dri libglu1-mesa)
# PyOpenGL loads GLUT by the name libglut.so, which only the dev package installs (Debian 12
# and 13 ship libglut.so.3.12); Debian 11 called it freeglut3-dev.
if ! installed libglut-dev && ! installed freeglut3-dev; then
    if offered libglut-dev || ! offered freeglut3-dev; then
        required+=(libglut-dev)
    else
        required+=(freeglut3-dev)
    fi
fi
# Another of Debian's interpreters (testing has python3.14 and python3.15 side by side) needs
# its own headers and venv module.
case $python in
    /usr/bin/python3.[0-9]*) required+=("python$version-dev" "python$version-venv") ;;
esac
# What only some tests need; they skip, saying why, without it. The debug interpreter builds
# the extension with setup.py and finds setuptools only in python3-setuptools. Newer Mesa
# (25.1+) no longer builds OSMesa.
optional=(python3-dbg python3-setuptools libosmesa6 xvfb xauth clang)
declare -A needed_by=([python3-dbg]="the reference-count test"
    [python3-setuptools]="the reference-count test" [xvfb]="the GLUT window test"
    [xauth]="the GLUT window test" [clang]="the clang leg of make test"
    [libosmesa6]="the OSMesa context test")

missing=()
for pkg in "${required[@]}"; do installed "$pkg" || missing+=("$pkg"); done
wanted=()  # optional, missing, and offered by this Debian
for pkg in "${optional[@]}"; do installed "$pkg" || ! offered "$pkg" || wanted+=("$pkg"); done

egl_problem() {  # why no EGL context can be made here, or nothing
    (cd "$ROOT" && "$python" -c 'import sys
from pelmora_tools.context import ContextError, choose_platform
try:
    choose_platform("egl")
except ContextError as exc:
    print(str(exc).splitlines()[-1].strip())' 2>&1) || echo "the EGL probe failed"
}
# OSMesa is required where nothing else draws: on Python 2.7, whose PyOpenGL 3.1.5 cannot
# import OpenGL.GLUT on EGL, and where EGL fails.
osmesa_reason=""
if ! installed libosmesa6 && [ ${#missing[@]} -eq 0 ]; then
    if [ "$version" = 2.7 ]; then
        osmesa_reason="Python 2.7's PyOpenGL draws offscreen only through OSMesa"
    else
        osmesa_reason=$(egl_problem)
    fi
fi
if [ -n "$osmesa_reason" ] && offered libosmesa6; then
    say "OSMesa is needed: $osmesa_reason"
    missing+=(libosmesa6)
fi

if [ "$(id -u)" -ne 0 ]; then
    hints=()
    for pkg in "${wanted[@]}"; do
        case " ${missing[*]} " in *" $pkg "*) ;; *) hints+=("$pkg") ;; esac
    done
    if [ ${#hints[@]} -gt 0 ]; then
        for pkg in "${hints[@]}"; do
            say "optional $pkg is not installed: ${needed_by[$pkg]} skips"
        done
        say "to add: sudo apt-get install ${hints[*]}"
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        say "missing Debian packages that Pelmora needs: ${missing[*]}; to install:" >&2
        echo "  sudo apt-get install ${missing[*]}" >&2
        say "then run this again (or make demo, make test)" >&2
        exit 1
    fi
    [ ${#hints[@]} -gt 0 ] || say "Debian packages present"
elif [ ${#missing[@]} -gt 0 ] || [ ${#wanted[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    say "apt-get update"
    apt-get update -qq
    todo=("${missing[@]}")
    for pkg in "${wanted[@]}"; do  # asked again: the lists may have been empty before
        case " ${todo[*]} " in *" $pkg "*) continue ;; esac
        if offered "$pkg"; then todo+=("$pkg"); else say "skipping $pkg: not in Debian $debian"; fi
    done
    say "apt-get install ${todo[*]}"
    apt-get install -y -qq --no-install-recommends "${todo[@]}" </dev/null
else
    say "Debian packages present"
fi
if [ -n "$osmesa_reason" ] && ! installed libosmesa6; then
    say "no offscreen OpenGL here: $osmesa_reason, and Debian $debian has no libosmesa6;" \
        "the demo will fail and the drawing tests skip" >&2
fi
"$python" -c 'import os, sysconfig
os.stat(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null ||
    { say "$python has no Python.h (Debian: python3-dev or python3.X-dev)" >&2; exit 1; }

# --- virtual environment -----------------------------------------------------------------------
if [ -x "$venv/bin/python" ] &&
        [ "$("$venv/bin/python" -c "$identity" 2>/dev/null)" = "$interpreter" ]; then
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
# the dependencies (in setup.py, and below for 2.7), the build settings and the interpreter.
# A stamp in the env records it, so a re-run with nothing changed costs a hash.
sources=(setup.py pyproject.toml MANIFEST.in README.md LICENSE src pelmora_tools Pelmora-stubs)
stamp=$venv/.pelmora-installed
digest=$( {
    find "${sources[@]}" scripts/install.sh -type f ! -name '*.py[co]' ! -path '*/__pycache__/*' \
        -print0 2>/dev/null | LC_ALL=C sort -z | xargs -0 sha256sum
    echo "$interpreter"
    echo "${CC-} ${CXX-} ${PELMORA_WERROR-} ${PELMORA_EXTRA_CFLAGS-} ${PELMORA_EXTRA_LDFLAGS-}"
} | sha256sum | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ] && [ -e "$venv/bin/pelmora-demo" ]; then
    say "Pelmora in $venv is current (sources and dependencies unchanged since it was installed)"
    exit 0
fi
rm -f "$stamp"
# pip builds from a copy: setuptools would otherwise keep its objects in the clone's build/,
# shared by every env, and skip compiling for the next env (the clang one, say) the extension
# that another compiler built there; and no build/ or egg-info lands in the clone.
build_tree=$(mktemp -d "${TMPDIR:-/tmp}/pelmora-install.XXXXXX")
cp -R "${sources[@]}" "$build_tree/"
if [ "$version" = 2.7 ]; then
    "$venv/bin/python" -m pip install -q "$build_tree" 'PyOpenGL==3.1.5' 'pytest==4.6.*' \
        'numpy==1.16.*' 'Pillow==6.2.*'
else
    "$venv/bin/python" -m pip install -q "$build_tree[test]"
fi
say "installed Pelmora into $venv"
echo "$digest" >"$stamp"
