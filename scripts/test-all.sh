#!/usr/bin/env bash
# Runs the tests on every CPython here: the main .venv (made by scripts/install.sh), each
# pyenv version 3.8+ and 2.7, and Debian's /usr/bin/python3 and python3.X when they are other
# interpreters; then the clang leg: the main interpreter's build by clang with warnings as
# errors (CC=clang CXX=clang++ PELMORA_WERROR=1), under the whole suite. Each leg but the main
# one gets its env under .venvs/ through install.sh. Interpreters and a clang that are not here
# are skipped (under CI a missing clang fails); a leg that fails to install, fails a test or
# collects no test fails the run. With CI set (or PELMORA_ROOTS=1) the legs in fresh Debian
# roots follow (scripts/test-roots.sh) and join the summary.
#   scripts/test-all.sh [pytest arguments]
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$HOME/.cache/pip}
mkdir -p out/test-logs
identity='import sys, os; print("%s@%d.%d" % (os.path.realpath(getattr(sys, "real_prefix", getattr(sys, "base_prefix", sys.prefix))), sys.version_info[0], sys.version_info[1]))'
seen=" "
. scripts/summary.sh
# A run as root in a clone that a normal user owns leaves it to that user, logs and all.
trap 'bash scripts/install.sh --hand-back' EXIT

run_pytest() {  # name, env dir, python shown in the summary, pytest args...; uses $leg_env
    local name=$1 env=$2 python=$3 log=out/test-logs/$1.log rc result
    shift 3
    echo "=== $name: $python"
    env "${leg_env[@]}" "$env/bin/pytest" "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    python="$python ($("$env/bin/python" -c 'import platform; print(platform.python_version())'))"
    result=$(grep -E ' in [0-9.]+ ?s' "$log" | tail -n 1 | sed -E 's/=+//g; s/^ +| +$//g')
    add_totals "$result"
    case $rc in
        0) record PASS "$name" "$python" "$result" ;;
        5) record FAIL "$name" "$python" "no tests collected (pytest exit 5)" ;;
        *) record FAIL "$name" "$python" "pytest exit $rc: $result" ;;
    esac
}

leg() {  # name, python, then NAME=value build settings for the install and the tests
    local name=$1 python=$2 id env=.venvs/$1 deselect=()
    shift 2
    local settings=("$@")
    [ -x "$python" ] || { record SKIP "$name" "$python" "not installed"; return; }
    id=$("$python" -c "$identity") || { record FAIL "$name" "$python" "does not run"; return; }
    if [ ${#settings[@]} -eq 0 ]; then
        case $seen in
            *" $id "*) record SKIP "$name" "$python" "same interpreter as a leg above"; return ;;
        esac
        seen="$seen$id "
        # The reference-count test builds for the debug interpreter whatever the leg: the
        # main leg runs it, and a leg with build settings of its own.
        deselect=(--deselect tests/test_refcounts.py::test_no_reference_leaks)
    fi
    if ! env "${settings[@]}" bash scripts/install.sh --python "$python" --venv "$env" \
            >"out/test-logs/$name.install.log" 2>&1; then
        record FAIL "$name" "$python" "install failed, see out/test-logs/$name.install.log"
        return
    fi
    leg_env=(-u PYTHONPATH PYTHONDONTWRITEBYTECODE=1 "${settings[@]}")
    run_pytest "$name" "$env" "$python${settings[*]:+ (${settings[*]})}" "${deselect[@]}" \
        "${PYTEST_ARGS[@]}"
}

PYTEST_ARGS=("$@")
if [ -x .venv/bin/python ]; then
    seen=" $(.venv/bin/python -c "$identity") "
    leg_env=(-u PYTHONPATH PYTHONDONTWRITEBYTECODE=1)
    run_pytest main .venv .venv/bin/python "${PYTEST_ARGS[@]}"
else
    record FAIL main .venv "missing: run scripts/install.sh first"
fi
for dir in $(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/ | sort -V); do
    [ -x "$dir/bin/python" ] || continue
    version=$("$dir/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || continue
    case $version in 2.7|3.[89]|3.[1-9][0-9]) leg "py$(basename "$dir")" "${dir%/}/bin/python" ;; esac
done
leg system-py3 /usr/bin/python3
# Debian can carry more than one Python 3 beside its default (testing has 3.14 and 3.15).
for python in $(ls /usr/bin/python3.* 2>/dev/null | grep -E '/python3\.[0-9]+$' | sort -V); do
    leg "system-${python##*/}" "$python"
done
clang_flags=(CC=clang CXX=clang++ PELMORA_WERROR=1)
if [ ! -x .venv/bin/python ]; then
    record SKIP clang "${clang_flags[*]}" "no .venv: its interpreter builds the clang leg"
elif ! command -v clang++ >/dev/null; then
    if [ -n "${CI:-}" ]; then
        record FAIL clang "${clang_flags[*]}" "clang is not installed (Debian package clang)"
    else
        record SKIP clang "${clang_flags[*]}" "not installed (Debian: sudo apt-get install clang)"
    fi
else
    leg clang "$(readlink -f .venv/bin/python)" "${clang_flags[@]}"
fi

# The legs in fresh Debian roots: always under CI, on request otherwise.
if [ -n "${CI:-}" ] || [ "${PELMORA_ROOTS:-}" = 1 ]; then
    legs=out/test-logs/roots.tsv
    rm -f "$legs"
    SUMMARY_FILE=$ROOT/$legs bash scripts/test-roots.sh
    [ -s "$legs" ] || record FAIL roots "Debian roots" "reported no leg, see out/test-logs/roots.log"
    [ ! -s "$legs" ] || replay "$legs"
else
    record SKIP roots "Debian roots" "run under CI, or alone with: make test-roots"
fi

print_summary "summary (logs in out/test-logs/)"
exit $failed
