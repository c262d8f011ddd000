#!/usr/bin/env bash
# Long fuzz run (fuzz/fuzz_pelmora.py): random programs against the extension that the
# interpreter imports (the one installed in .venv, or another build first on PYTHONPATH;
# Python 2.7: PYTHONPATH=.venvs/<env>/ext) and against its plain-Python twin. A fresh seed
# each run unless --seed is given; the seed is printed, and a difference prints the program.
#
#   scripts/fuzz.sh [--python PY] [--programs N] [--seconds S] [--seed N]
#   scripts/sanitize.sh -- scripts/fuzz.sh [...]     the same on the sanitizer build
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
python=$ROOT/.venv/bin/python
args=(--programs 1000000 --seconds 600)
while [ $# -gt 0 ]; do
    case $1 in
        --python) python=$2; shift 2 ;;
        *) args+=("$1"); shift ;;
    esac
done
export PYTHONPATH=${PYTHONPATH:+$PYTHONPATH:}$ROOT
exec "$python" "$ROOT/fuzz/fuzz_pelmora.py" "${args[@]}"
