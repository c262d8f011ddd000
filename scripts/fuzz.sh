#!/usr/bin/env bash
# Long property-based fuzz run of the routines (fuzz/fuzz_pelmora.py) on the extension that
# the interpreter imports: the one installed in .venv, or another build first on PYTHONPATH
# (Python 2.7: PYTHONPATH=.venvs/<env>/ext). A fresh seed each run unless --seed is given; the
# seed is printed, and a failure prints the falsifying example.
#
#   scripts/fuzz.sh [--python PY] [--examples N] [--seconds S] [--seed N] [--trace]
#   scripts/sanitize.sh -- scripts/fuzz.sh [...]     the same on the sanitizer build
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
python=$ROOT/.venv/bin/python
args=(--examples 20000 --seconds 600)
while [ $# -gt 0 ]; do
    case $1 in
        --python) python=$2; shift 2 ;;
        *) args+=("$1"); shift ;;
    esac
done
export PYTHONPATH=${PYTHONPATH:+$PYTHONPATH:}$ROOT
exec "$python" "$ROOT/fuzz/fuzz_pelmora.py" "${args[@]}"
