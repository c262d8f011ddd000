#!/usr/bin/env bash
# Builds the extension from this tree's sources for one interpreter into a folder of its own;
# nothing lands in the tree. CC, CXX, PELMORA_WERROR and PELMORA_EXTRA_CFLAGS/_LDFLAGS apply
# (setup.py reads them). The build is kept, and the command returns at once, while the
# sources, setup.py, the interpreter and those settings are what they were.
#
#   scripts/build-ext.sh PYTHON DIR        prints the path of DIR/Pelmora*.so
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 PYTHON DIR" >&2; exit 2; }
ROOT=$(cd "$(dirname "$0")/.." && pwd)
python=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)

digest=$( {
    cd "$ROOT" && find setup.py src -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
    "$python" -c 'import sys; print(sys.executable, sys.version)'
    echo "${CC-} ${CXX-} ${PELMORA_WERROR-} ${PELMORA_EXTRA_CFLAGS-} ${PELMORA_EXTRA_LDFLAGS-}"
} | sha256sum | cut -d' ' -f1)
stamp=$dir/.pelmora-build
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ] && ls "$dir"/Pelmora*.so >/dev/null 2>&1; then
    ls "$dir"/Pelmora*.so
    exit 0
fi
rm -rf "$dir"/Pelmora*.so "$dir/objects" "$stamp"
if ! (cd "$ROOT" && "$python" setup.py -q build_ext -b "$dir" -t "$dir/objects") \
        >"$dir/build.log" 2>&1; then
    cat "$dir/build.log" >&2
    echo "build-ext: building for $python failed" >&2
    exit 1
fi
echo "$digest" >"$stamp"
ls "$dir"/Pelmora*.so
