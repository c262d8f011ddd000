#!/usr/bin/env bash
# Runs the tests on every CPython here: the main .venv (made by scripts/install.sh), each
# pyenv version 3.8+ and 2.7, and Debian's /usr/bin/python3 and python3.X when they are other
# interpreters. Each leg but the main one gets its env under .venvs/ through install.sh.
# Interpreters that are not here are skipped; a leg that fails to install, fails a test or
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

leg() {  # name, python
    local name=$1 python=$2 id version env=.venvs/$1
    [ -x "$python" ] || { record SKIP "$name" "$python" "not installed"; return; }
    id=$("$python" -c "$identity") || { record FAIL "$name" "$python" "does not run"; return; }
    case $seen in *" $id "*) record SKIP "$name" "$python" "same interpreter as a leg above"; return ;; esac
    seen="$seen$id "
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if ! bash scripts/install.sh --python "$python" --venv "$env" >"out/test-logs/$name.install.log" 2>&1; then
        record FAIL "$name" "$python" "install failed, see out/test-logs/$name.install.log"
        return
    fi
    leg_env=(-u PYTHONPATH)
    if [ "$version" = 2.7 ]; then  # the layout scripts/install.sh describes for 2.7
        leg_env=(PYTHONPATH="$ROOT/$env/ext:$ROOT" PYTHONDONTWRITEBYTECODE=1
                 LD_LIBRARY_PATH="$ROOT/$env/glut${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}")
    fi
    # The reference-count test runs on the debug interpreter whatever the leg: once is enough.
    run_pytest "$name" "$env" "$python" --deselect tests/test_refcounts.py::test_no_reference_leaks \
        "${PYTEST_ARGS[@]}"
}

PYTEST_ARGS=("$@")
if [ -x .venv/bin/python ]; then
    seen=" $(.venv/bin/python -c "$identity") "
    leg_env=(-u PYTHONPATH)
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
