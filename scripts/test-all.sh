#!/usr/bin/env bash
# Runs the tests on every CPython here: the main .venv (made by scripts/install.sh), each
# pyenv version 3.8+ and 2.7, and /usr/bin/python3 when it is another interpreter. Each leg
# but the main one gets its env under .venvs/ through install.sh. Interpreters that are not
# here are skipped; a leg that fails to install, fails a test or collects no test fails the run.
#   scripts/test-all.sh [pytest arguments]
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
export PIP_CACHE_DIR=${PIP_CACHE_DIR:-$HOME/.cache/pip}
mkdir -p out/test-logs
identity='import sys, os; print(os.path.realpath(getattr(sys, "real_prefix", getattr(sys, "base_prefix", sys.prefix))))'
summary=()
failed=0
seen=" "

totals=(0 0 0)  # passed, failed (errors included), skipped, over every leg
record() {  # verdict, name, python, detail
    summary+=("$(printf '%-4s  %-11s %-52s %s' "$1" "$2" "$3" "$4")")
    [ "$1" != FAIL ] || failed=1
}
count() {  # pytest's closing line, word -> its number (0 when absent)
    echo "$1" | grep -oE "[0-9]+ $2" | awk '{s += $1} END {print s + 0}'
}

run_pytest() {  # name, env dir, python shown in the summary, pytest args...; uses $leg_env
    local name=$1 env=$2 python=$3 log=out/test-logs/$1.log rc result
    shift 3
    echo "=== $name: $python"
    env "${leg_env[@]}" "$env/bin/pytest" "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    python="$python ($("$env/bin/python" -c 'import platform; print(platform.python_version())'))"
    result=$(grep -E ' in [0-9.]+ ?s' "$log" | tail -n 1 | sed -E 's/=+//g; s/^ +| +$//g')
    totals=($((totals[0] + $(count "$result" passed)))
            $((totals[1] + $(count "$result" failed) + $(count "$result" 'errors?')))
            $((totals[2] + $(count "$result" skipped))))
    case $rc in
        0) record PASS "$name" "$python" "$result" ;;
        5) record FAIL "$name" "$python" "no tests collected (pytest exit 5)"; totals[1]=$((totals[1] + 1)) ;;
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
        totals[1]=$((totals[1] + 1))
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

echo
echo "=== summary (logs in out/test-logs/)"
printf '%s\n' "${summary[@]}"
echo "total: ${totals[0]} passed, ${totals[1]} failed, ${totals[2]} skipped"
exit $failed
