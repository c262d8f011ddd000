#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer run. Builds the extension with both sanitizers
# into out/sanitize/lib (scripts/build-ext.sh, so nothing lands in the tree) and runs
# the test suite, or the command given after --, with that build first on the path. Objects go
# through malloc (PYTHONMALLOC=malloc), so a use after free of a Python object is seen too.
# Any report, from the test process or from any subprocess it starts, fails the run; reports
# are kept in out/sanitize/reports/. Leak detection is off: CPython leaves memory at exit.
#
#   scripts/sanitize.sh                          pytest tests/ on .venv/bin/python
#   scripts/sanitize.sh --python PY              the same on another interpreter (2.7 too)
#   scripts/sanitize.sh [--python PY] -- CMD...  another command, e.g. a long run of one test
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
python=$ROOT/.venv/bin/python
while [ $# -gt 0 ]; do
    case $1 in
        --python) python=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [--python PYTHON] [-- COMMAND...]" >&2; exit 2 ;;
    esac
done
python=$(command -v "$python") || { echo "sanitize: no interpreter $python" >&2; exit 1; }
# Captured at the Python level only, so a report written to fd 2 reaches the log below.
[ $# -gt 0 ] || set -- "$python" -m pytest -p no:cacheprovider --capture=sys "$ROOT/tests"

out=$ROOT/out/sanitize
rm -rf "$out/reports" "$out/stderr.log"
mkdir -p "$out/reports"
runtime=$(${CXX:-g++} -print-file-name=libasan.so)
[ -e "$runtime" ] || { echo "sanitize: no ASan runtime (Debian: apt-get install g++)" >&2; exit 1; }

# A venv of Python 3.12+ has no setuptools of its own.
"$python" -c 'import setuptools' 2>/dev/null || "$python" -m pip install -q setuptools ||
    { echo "sanitize: $python has no setuptools and pip could not install it" >&2; exit 1; }
sanitizers="-fsanitize=address,undefined"
# GCC's null checks make `&object != nullptr` non-constant, which the constexpr tables use; a
# null dereference still stops the run as a SEGV report from ASan.
unchecked="-fno-sanitize=null,nonnull-attribute,returns-nonnull-attribute"
cflags="$sanitizers $unchecked -fno-sanitize-recover=undefined -fno-omit-frame-pointer -O1 -g"
PELMORA_EXTRA_CFLAGS="$cflags" PELMORA_EXTRA_LDFLAGS="$sanitizers" \
    bash "$ROOT/scripts/build-ext.sh" "$python" "$out/lib" >/dev/null ||
    { echo "sanitize: build failed" >&2; exit 1; }

export LD_PRELOAD=$runtime${LD_PRELOAD:+:$LD_PRELOAD}
export PYTHONPATH=$out/lib:$ROOT${PYTHONPATH:+:$PYTHONPATH}
export PYTHONMALLOC=malloc
# ASan writes its reports to files, so a report from a subprocess whose output a test
# captures is still seen. UBSan ignores log_path when ASan is loaded as well: its reports go to
# stderr, which is kept for the top process; any reporting process exits with its own status.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:exitcode=86:log_path=$out/reports/asan
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87

loaded=$(cd "$out" && "$python" -c 'import Pelmora; print(Pelmora.__file__)' 2>&1) || true
case $loaded in
    "$out/lib/"*) echo "sanitize: testing $loaded" ;;
    *) echo "sanitize: the sanitized build does not load first: $loaded" >&2; exit 1 ;;
esac

status=0
"$@" 2> >(tee "$out/stderr.log" >&2) || status=$?
wait
grep -q "runtime error:" "$out/stderr.log" && cp "$out/stderr.log" "$out/reports/ubsan.stderr"
reports=$(find "$out/reports" -type f | sort)
if [ -n "$reports" ]; then
    for report in $reports; do
        echo "=== $report"
        cat "$report"
    done
    echo "sanitize: FAILED, $(echo "$reports" | wc -l) sanitizer report(s)" >&2
    exit 1
fi
case $status in
    0) ;;
    86|87) echo "sanitize: FAILED, a process stopped on a sanitizer report (status $status)" >&2
           exit 1 ;;
    *) echo "sanitize: FAILED, the command exited with $status" >&2; exit "$status" ;;
esac
echo "sanitize: passed, no sanitizer report"
