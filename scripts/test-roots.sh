#!/usr/bin/env bash
# The README's commands on bare machines: for each Debian release, a fresh minimal root
# (debootstrap --variant=minbase) gets a clean export of this tree and runs, as root and as a
# new user would, the set-up command, the demo and the tests. Each Python the root's tests run
# on is a leg of the summary (release/X.Y), as is the demo's picture (release/demo). Wheels:
# before its set-up, the bookworm root gets only python3 and the GL runtime and installs a
# manylinux wheel built here (scripts/wheels.sh) for its Python, then runs the demo and the
# routine tests from it (bookworm/wheel); after its tests, the testing root builds and repairs
# wheels for its own Pythons and reports auditwheel's verdict (testing/wheel-X.Y).
#
#   scripts/test-roots.sh [RELEASE...]      default: bookworm trixie testing, side by side
#
# Needs root; debootstrap is installed when missing. Packages come from the mirror that this
# machine's own apt sources name. Downloads are kept in $PELMORA_ROOTS_CACHE (default
# /var/cache/pelmora-roots): debootstrap's and apt's package files, checked against the
# release's current indexes before use, and pip's cache. The roots themselves are made under
# $TMPDIR (default /var/tmp) and are always unmounted and removed, on failure and interrupt too.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. scripts/summary.sh

releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(bookworm trixie testing)
# Interpreters a release offers beside its default python3 that get a leg of their own.
declare -A extra_pythons=([testing]=python3.15)
# The release whose bare root installs a wheel built on this machine, by the interpreter of its
# python3's version; and those whose root builds wheels for its python3 and extra Pythons.
declare -A host_wheel_for=([bookworm]=3.11)
declare -A wheels_in_root=([testing]=1)
# Before the set-up: the interpreter and the runtime libraries that drawing needs, and GLUT
# under the one name PyOpenGL finds on Debian 12 and 13 (libglut.so, in libglut-dev).
bare_wheel_packages=(python3 python3-venv libegl1 libegl-mesa0 libgl1-mesa-dri libglu1-mesa
                     libglut-dev)
cache=${PELMORA_ROOTS_CACHE:-/var/cache/pelmora-roots}
logs=$ROOT/out/test-logs
mkdir -p "$logs"
say() { echo "roots: $*"; }

cannot() {  # the one line that says why no root could be built
    say "$*" >&2
    for release in "${releases[@]}"; do record FAIL "$release" "Debian $release root" "$*"; done
    print_summary "Debian roots"
    exit 1
}

[ "$(id -u)" -eq 0 ] || cannot "needs root (debootstrap, chroot and mounts)"
if ! command -v debootstrap >/dev/null; then
    say "installing debootstrap"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends debootstrap; } </dev/null >"$logs/roots.log" 2>&1 ||
        cannot "debootstrap is missing and could not be installed, see out/test-logs/roots.log"
fi

# The first Debian archive in this machine's apt sources (deb822 or one-line format).
mirror() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'tolower($1) == "uris:" {print $2}' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}' "$file"
    done
}
MIRROR=$(mirror | grep -v -- '-security' | grep -m 1 '/debian/\?$')
[ -n "$MIRROR" ] || cannot "no Debian archive in /etc/apt/sources.list{,.d}"

# What the host's pip needs to reach the package index: its configuration files, its
# certificate bundle (under a path of its own: the root's ca-certificates rewrites the system
# bundle) and its environment.
host_bundle=${PIP_CERT:-${REQUESTS_CA_BUNDLE:-${SSL_CERT_FILE:-}}}
if [ -z "$host_bundle" ]; then
    host_bundle=$(cat /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" \
        "$HOME/.pip/pip.conf" 2>/dev/null | awk -F= '$1 ~ /^ *cert *$/ {gsub(/ /, "", $2); c = $2} END {print c}')
fi
[ -n "$host_bundle" ] || host_bundle=/etc/ssl/certs/ca-certificates.crt
pip_configs=()
for file in /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf" \
            ${PIP_CONFIG_FILE:-}; do
    [ -f "$file" ] && pip_configs+=("$file")
done
in_root_bundle=/etc/pelmora-host-ca/bundle.crt
root_env=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
          LANG=C.UTF-8 TERM=dumb PELMORA_REQUIRE_GL=1 PELMORA_REQUIRE_DEBUG=1)
while IFS='=' read -r name value; do
    case $name in
        PIP_CERT|SSL_CERT_FILE|REQUESTS_CA_BUNDLE) root_env+=("$name=$in_root_bundle") ;;
        PIP_CONFIG_FILE) root_env+=("$name=$value") ;;
        PIP_*|SSL_CERT_*) root_env+=("$name=$value") ;;
    esac
done < <(env | grep -E '^(PIP_|SSL_CERT_|REQUESTS_CA_BUNDLE=)')
[ -f "$host_bundle" ] && [ -z "${PIP_CERT:-}" ] && root_env+=("PIP_CERT=$in_root_bundle")

# --- roots: made under one folder, unmounted and removed on every exit ------------------------
base=$(mktemp -d "${TMPDIR:-/var/tmp}/pelmora-roots.XXXXXX") || cannot "no temporary folder"
mounts_under() { findmnt -rn -o TARGET | grep -E "^$1(/|$)" | sort -r; }
cleanup() {
    local pid target
    trap - EXIT INT TERM HUP
    for pid in /proc/[0-9]*; do  # whatever still runs inside a root
        case $(readlink "$pid/root" 2>/dev/null) in "$base"/*) kill -9 "${pid#/proc/}" 2>/dev/null ;; esac
    done
    kill $(jobs -p) 2>/dev/null
    wait 2>/dev/null
    for target in $(mounts_under "$base"); do
        umount "$target" 2>/dev/null || umount -l "$target"
    done
    if [ -n "$(mounts_under "$base")" ]; then
        say "mounts are left under $base; not removing it" >&2
    else
        rm -rf --one-file-system "$base"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# A clean export of the tree: HEAD with the working changes and new files, never .venv or out/.
export_tree() {  # destination
    local snapshot
    snapshot=$(git stash create 2>/dev/null)
    mkdir -p "$1"
    git archive "${snapshot:-HEAD}" | tar -x -C "$1"
    git ls-files -z --others --exclude-standard | tar -c --null -T - | tar -x -C "$1"
}

in_root() {  # root, command...; the command runs as root with the host's pip settings
    local root=$1
    shift
    chroot "$root" /usr/bin/env -i "${root_env[@]}" "$@" </dev/null
}

# Fails on a blank picture (PATH); prints its size and how many colours it has.
picture_check='import sys
from PIL import Image
image = Image.open(sys.argv[1])
colours = image.convert("RGB").getcolors(1 << 24)
assert colours and len(colours) > 2, "the picture is blank"
print("%s %dx%d, %d colours" % ((sys.argv[1],) + image.size + (len(colours),)))'

# In a bare root: no compiler and no Python.h, a venv with the wheel in /root/wheelhouse and,
# from the index, pytest and numpy (binary only: nothing may be built); the demo, then the
# routine tests of the tree ($1) against the installed module. The last line says how it went.
wheel_check='set -u
tree=$1 venv=/root/wheel-venv
fail() { echo "$*"; exit 1; }
for tool in gcc g++ cc c++ clang clang++; do
    ! command -v $tool >/dev/null || fail "the bare root has a compiler: $(command -v $tool)"
done
headers=$(ls /usr/include/python3*/Python.h /usr/local/include/python3*/Python.h 2>/dev/null)
[ -z "$headers" ] || fail "the bare root has Python headers: $headers"
python3 -m venv $venv || fail "python3 -m venv failed"
$venv/bin/pip install -q --only-binary :all: /root/wheelhouse/*.whl pytest numpy ||
    fail "pip install of $(ls /root/wheelhouse) with pytest and numpy failed"
$venv/bin/pelmora-demo -o $venv/demo.png || fail "pelmora-demo -o failed"
picture=$($venv/bin/python -c "$PICTURE_CHECK" $venv/demo.png) || fail "blank picture"
cd "$tree"
# -P: the tree is the working directory but not on the path, so the installed code is tested.
where=$($venv/bin/python -P -c "import Pelmora, pelmora_tools, OpenGL.platform as p
print(Pelmora.__file__); print(pelmora_tools.__file__); assert p.PLATFORM.GLUT, \"no GLUT\"") ||
    fail "importing the installed Pelmora failed"
case $where in *"$tree"*) fail "the tests would import the tree: $where" ;; esac
echo "$where"
$venv/bin/python -P -m pytest -p no:cacheprovider tests/test_routines.py | tee $venv/pytest.log
status=${PIPESTATUS[0]}
result=$(tail -n 1 $venv/pytest.log | sed -E "s/=+//g; s/^ +| +$//g")
[ "$status" = 0 ] || fail "tests/test_routines.py: pytest exit $status: $result"
echo "no compiler; pelmora-demo -o: ${picture#* }; tests/test_routines.py: $result"'

# The wheel leg (release/wheel), before the set-up: the bare root installs the wheel that the
# job $3 built on this machine into the folder $4, and runs the demo and the routine tests.
wheel_leg() {  # release, root, job, folder
    local release=$1 root=$2 job=$3 wheels=$4 python="Debian $1" status output wheel verdict
    step "wheel leg: the bare root installs the wheel built here for Python ${host_wheel_for[$1]}"
    wait "$job"
    status=$?
    cat "$logs/wheels-$release.log"
    rm -rf "$logs/wheels-$release"
    cp -r "$wheels/logs" "$logs/wheels-$release" 2>/dev/null
    wheel=$(ls "$wheels"/*.whl 2>/dev/null | head -n 1)
    verdict=$(awk -F'\t' '$1 == "PASS" {sub(/.*auditwheel show: /, "", $4); print $4}' \
        "$wheels/legs.tsv" 2>/dev/null)
    if [ $status -ne 0 ] || [ -z "$wheel" ] || [ -z "$verdict" ]; then
        printf 'FAIL\t%s/wheel\t%s\tscripts/wheels.sh %s failed here, see %s\n' "$release" \
            "$python" "${host_wheel_for[$release]}" "out/test-logs/wheels-$release.log" >>"$legs"
        return
    fi
    mkdir -p "$root/root/wheelhouse" && cp "$wheel" "$root/root/wheelhouse/"
    if in_root "$root" apt-get update -qq &&
            in_root "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
                --no-install-recommends "${bare_wheel_packages[@]}"; then
        python="Debian $release, Python $(in_root "$root" python3 -c \
            'import platform; print(platform.python_version())'), wheel"
        output=$(in_root "$root" env PICTURE_CHECK="$picture_check" PYTHONDONTWRITEBYTECODE=1 \
            bash -c "$wheel_check" wheel-check "$tree" 2>&1)
        status=$?
        echo "$output"
    else
        status=1 output="apt-get install ${bare_wheel_packages[*]} failed"
    fi
    rm -rf "$root/root/wheel-venv" "$root/root/wheelhouse"  # the set-up starts from a user's root
    wheel=$(basename "$wheel" | cut -d- -f3-4)
    printf '%s\t%s/wheel\t%s\t%s wheel, auditwheel show: %s; %s\n' \
        "$([ $status -eq 0 ] && echo PASS || echo FAIL)" "$release" "$python" "$wheel" "$verdict" \
        "$(echo "$output" | tail -n 1)" >>"$legs"
}

# Builds one root and runs the README's commands in it; writes $base/RELEASE.tsv.
run_release() {
    local release=$1 root=$base/$1 started=$SECONDS tree=/root/pelmora log=$logs/root-$1.log
    local legs=$base/$1.tsv extra demo status detail python name version
    local wheels=$base/$1-wheels wheel_job="" pythons
    : >"$legs"
    exec >"$log" 2>&1
    step() { echo "=== [$((SECONDS - started)) s] $*"; }

    if [ -n "${host_wheel_for[$release]:-}" ]; then
        step "meanwhile, on this machine: scripts/wheels.sh ${host_wheel_for[$release]}" \
            "(log: out/test-logs/wheels-$release.log)"
        mkdir -p "$wheels"
        SUMMARY_FILE=$wheels/legs.tsv bash scripts/wheels.sh --out "$wheels" \
            "${host_wheel_for[$release]}" >"$logs/wheels-$release.log" 2>&1 &
        wheel_job=$!
    fi
    step "debootstrap $release from $MIRROR"
    mkdir -p "$cache/debs/$release" "$cache/apt/$release" "$cache/pip"
    if ! debootstrap --variant=minbase --cache-dir="$cache/debs/$release" "$release" "$root" "$MIRROR"; then
        [ -z "$wheel_job" ] || wait "$wheel_job"
        printf 'FAIL\t%s\tDebian %s root\tdebootstrap failed, see %s\n' "$release" "$release" \
            "out/test-logs/root-$release.log" >>"$legs"
        return
    fi
    # A registry copy of testing can be older than its Release file's Valid-Until.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99pelmora-roots"
    cat /etc/resolv.conf >"$root/etc/resolv.conf"
    cat /etc/hosts >"$root/etc/hosts"
    mkdir -p "$root${in_root_bundle%/*}" "$root/root/.cache/pip"
    [ ! -f "$host_bundle" ] || cp "$host_bundle" "$root$in_root_bundle"
    # The configuration files and the files they name (a constraints file, say).
    for file in "${pip_configs[@]}" $(cat "${pip_configs[@]}" /dev/null | grep -oE '/[^ ,;"]+'); do
        [ -f "$file" ] || continue
        mkdir -p "$root$(dirname "$file")" && cp "$file" "$root$file"
    done
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys" && mount --make-rslave "$root/sys"
    mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev"
    mount --bind "$cache/apt/$release" "$root/var/cache/apt/archives"
    mount --bind "$cache/pip" "$root/root/.cache/pip"
    export_tree "$root$tree"

    [ -z "$wheel_job" ] || wheel_leg "$release" "$root" "$wheel_job" "$wheels"
    for extra in ${extra_pythons[$release]:-}; do
        step "the release's $extra, bare (set-up brings the rest)"
        in_root "$root" apt-get update -qq
        in_root "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$extra"
    done
    step "set-up: bash scripts/install.sh"
    if ! in_root "$root" bash -c "cd $tree && bash scripts/install.sh"; then
        printf 'FAIL\t%s\tDebian %s root\tset-up failed, see %s\n' "$release" "$release" \
            "out/test-logs/root-$release.log" >>"$legs"
        return
    fi
    step "main job: make demo"
    demo=$(in_root "$root" bash -c \
        "cd $tree && make demo && .venv/bin/python -c '$picture_check' out/pelmora-demo.png" 2>&1)
    status=$?
    echo "$demo"
    detail=$(echo "$demo" | tail -n 1)
    python=$(in_root "$root" "$tree/.venv/bin/python" -c 'import platform; print(platform.python_version())' 2>/dev/null)
    if [ $status -eq 0 ]; then
        printf 'PASS\t%s/demo\tDebian %s, Python %s\t%s\n' "$release" "$release" "$python" "$detail" >>"$legs"
    else
        printf 'FAIL\t%s/demo\tDebian %s, Python %s\tmake demo: %s\n' "$release" "$release" "$python" "$detail" >>"$legs"
    fi
    step "tests: make test"
    in_root "$root" env SUMMARY_FILE=$tree/out/test-logs/legs.tsv bash -c "cd $tree && make test"
    echo "make test: exit $?"
    if [ -s "$root$tree/out/test-logs/legs.tsv" ]; then
        rm -rf "$logs/root-$release"
        cp -r "$root$tree/out/test-logs" "$logs/root-$release"
        while IFS=$'\t' read -r status name python detail; do
            [ "$status" != SKIP ] || continue
            name=$(echo "$python" | sed -nE 's/.*\(([0-9]+\.[0-9]+)[.0-9a-z+]*\)$/\1/p')
            printf '%s\t%s/%s\t%s\t%s\n' "$status" "$release" "${name:-?}" "$python" "$detail" >>"$legs"
        done <"$root$tree/out/test-logs/legs.tsv"
    else
        printf 'FAIL\t%s\tDebian %s root\tmake test reported no leg, see %s\n' "$release" "$release" \
            "out/test-logs/root-$release.log" >>"$legs"
    fi
    if [ -n "${wheels_in_root[$release]:-}" ]; then
        pythons=(/usr/bin/python3)
        for extra in ${extra_pythons[$release]:-}; do pythons+=("/usr/bin/$extra"); done
        step "wheels: bash scripts/wheels.sh ${pythons[*]}"
        in_root "$root" env SUMMARY_FILE=$tree/out/wheels/legs.tsv \
            bash -c "cd $tree && rm -f out/wheels/legs.tsv && bash scripts/wheels.sh ${pythons[*]}"
        echo "scripts/wheels.sh: exit $?"
        rm -rf "$logs/root-$release-wheels"
        cp -r "$root$tree/out/wheels/logs" "$logs/root-$release-wheels" 2>/dev/null
        if [ -s "$root$tree/out/wheels/legs.tsv" ]; then
            while IFS=$'\t' read -r status name python detail; do
                [ "$status" != SKIP ] || continue
                version=$(echo "$python" | sed -nE 's/.*\(([0-9]+\.[0-9]+t?)\)$/\1/p')
                printf '%s\t%s/wheel-%s\t%s\t%s\n' "$status" "$release" "${version:-$name}" \
                    "$python" "$detail" >>"$legs"
            done <"$root$tree/out/wheels/legs.tsv"
        else
            printf 'FAIL\t%s/wheels\tDebian %s root\tscripts/wheels.sh said nothing, see %s\n' \
                "$release" "$release" "out/test-logs/root-$release.log" >>"$legs"
        fi
    fi
    step "done"
}

started=$SECONDS
pids=()
for release in "${releases[@]}"; do
    say "$release: building the root and running the README's commands (log: out/test-logs/root-$release.log)"
    (run_release "$release"; echo "$((SECONDS - started))" >"$base/$release.seconds") &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
for release in "${releases[@]}"; do
    say "$release: $(cat "$base/$release.seconds" 2>/dev/null || echo '?') s"
    replay "$base/$release.tsv"
done
say "all roots: $((SECONDS - started)) s"
print_summary "Debian roots"
exit $failed
