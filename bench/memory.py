"""Whether Pelmora's memory grows over many calls: resident growth per million calls of each
routine (every OpenGL name a C-level no-op), on success and on each failure path; the
benchmark's memory rows. Alone: python bench/memory.py [CALLS]."""
from __future__ import print_function

import gc
import itertools
import os
import sys

from pelmora_tools.context import choose_platform
from pelmora_tools.names import GL_CALLEES, ROUTINES, TYPICAL_ARGUMENTS
from pelmora_tools.record import Rebinding

TARGET_KIB = 1024.0  # growth per million calls
BAIL_OUT = 256 << 20  # growth at which a case stops early, so that a leak cannot fill memory
# (path, how the namespace is broken, arguments in place of the typical ones, what is raised).
# Every routine ends with glEnd (the cubes inside drawSquare); strings fail the arithmetic.
PATHS = (("success", None, None, ()),
         ("NameError", lambda module: delattr(module, "glEnd"), None, NameError),
         ("raising callee", lambda module: setattr(module, "glEnd", {}.popitem), None, KeyError),
         ("bad operand", None, {"drawSquare": ("x",), "drawViewVolume": ("x",) * 6}, TypeError))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(function, args, error, count):
    for _ in itertools.repeat(None, count):
        try:
            function(*args)
        except error:
            pass


def growth(function, args, error, calls):
    """(KiB of resident size, pymalloc blocks) left per million calls."""
    blocks = getattr(sys, "getallocatedblocks", lambda: 0)  # Python 3.4+
    call(function, args, error, calls // 20)  # free lists and arenas reach their working size
    gc.collect()
    rss, allocated, done = resident_bytes(), blocks(), 0
    while done < calls and resident_bytes() - rss < BAIL_OUT:
        call(function, args, error, calls // 10)
        done += calls // 10
    gc.collect()
    return ((resident_bytes() - rss) / 1024.0 * 1e6 / done, (blocks() - allocated) * 1e6 / done)


def rows(calls=1000000):
    choose_platform()  # before Pelmora imports OpenGL
    import Pelmora
    found = []
    for path, breaks, arguments, error in PATHS:
        for routine in [r for r in ROUTINES if arguments is None or r in arguments]:
            args = (arguments or TYPICAL_ARGUMENTS)[routine]
            with Rebinding([Pelmora]):
                for name in GL_CALLEES:
                    setattr(Pelmora, name, "".format)
                if breaks:
                    breaks(Pelmora)
                try:
                    getattr(Pelmora, routine)(*args)
                except error:
                    pass
                else:
                    if error:
                        raise SystemExit("memory: %s did not fail on the %s path"
                                         % (routine, path))
                kib, blocks = growth(getattr(Pelmora, routine), args, error, calls)
            found.append(dict(measure="memory " + path, routine=routine,
                              Pelmora="%+.0f KiB/M" % kib, baseline="%+.0f blk/M" % blocks,
                              ratio="-", target="< %.0f KiB/M" % TARGET_KIB,
                              verdict="ok" if kib < TARGET_KIB else "MISS"))
    return found


if __name__ == "__main__":
    for row in rows(int(sys.argv[1]) if len(sys.argv) > 1 else 1000000):
        print("%(measure)-22s %(routine)-20s %(Pelmora)12s %(baseline)12s  %(target)s "
              "%(verdict)s" % row)
