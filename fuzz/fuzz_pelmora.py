"""Random programs run against Pelmora and its plain-Python twin, compared step by step:
names rebound and deleted (in the namespace and builtins), callees that raise, rebind a name or
re-enter a routine, and odd arguments. Stops after --programs or --seconds; on the first
difference prints the program and both observations and exits 1."""
from __future__ import print_function

import argparse
import os
import random
import sys
import time
from fractions import Fraction

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))
from recording import (GL_CALLEES, GL_CONSTANTS, ROUTINES, TWINS, Failure,  # noqa: E402
                       Recorder, Restorer, builtins, describe, entries, message, traced)

# Floats made at run time: a free-threaded build shares equal float constants between code
# objects, which would make the twin's literals the caller's own argument objects.
VALUES = [0, 1, -3, 7, float("2.5"), float("-0.0"), float("0"), float("1e308"), 10 ** 400,
          True, None, "s", Fraction(1, 3), "traced"]
NAMES = ["left", "right", "bottom", "top", "near", "far"]


def callee(kind, module, log):
    """A stand-in for an OpenGL name, fresh for each twin: raises, rebinds glEnd, re-enters."""
    def act(*args):
        log.append((kind, len(args)))
        if kind == "raise":
            raise Failure("raised")
        if kind == "rebind":
            module.glEnd = len
        if kind == "reenter" and log.count((kind, len(args))) == 1 and callable(
                module.__dict__.get("drawSquare")):
            module.drawSquare(2)
    return {"len": len, "none": None, "int": 5}.get(kind, act)


def make_program(rng):
    steps = []
    for _ in range(rng.randint(1, 6)):
        roll, name = rng.random(), rng.choice(GL_CALLEES + GL_CONSTANTS + ["drawSquare"])
        kind = rng.choice(["raise", "rebind", "reenter", "len", "none", "int"])
        routine = rng.choice(ROUTINES)
        count = {"draw3DCoordinateAxes": 0, "drawViewVolume": 6}.get(routine, 1)
        steps.append(("bind", name, kind) if roll < 0.25 else ("delete", name) if roll < 0.35
                     else ("builtin", name) if roll < 0.4 else
                     ("call", routine, [rng.choice(VALUES) for _ in range(count)],
                      rng.randint(0, count) if count == 6 else 0, rng.choice([None, None, 1, 3, 17])))
    return steps


def run_program(module, steps):
    log, restorer = [], Restorer([module, builtins])
    recorder = Recorder(GL_CALLEES, module, calls=log)
    try:
        for step in steps:
            if step[0] in ("delete", "builtin") and step[1] in module.__dict__:
                delattr(module, step[1])
            if step[0] in ("bind", "builtin"):
                setattr(builtins if step[0] == "builtin" else module, step[1],
                        callee(step[2] if step[0] == "bind" else "raise", module, log))
            elif step[0] == "call" and callable(module.__dict__.get(step[1])):
                _, routine, values, keywords, recorder.fail_at = step
                args = [traced(2.0, "traced", log) if v == "traced" else v for v in values]
                split, start, recorder.count = len(args) - keywords, len(log), 0
                try:
                    getattr(module, routine)(*args[:split], **dict(zip(NAMES[split:], args[split:])))
                    log.append(("returned",))
                except Exception as error:
                    log.append(("raised", type(error).__name__, message(error),
                                entries(sys.exc_info()[2])))
                log[start:] = [(entry[0], tuple(describe(item, args) for item in entry[1]))
                               if entry[0] in GL_CALLEES else entry for entry in log[start:]]
    finally:
        restorer.restore()
    return log


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--programs", type=int, default=100000)
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 30))
    options = parser.parse_args()
    print("seed %d" % options.seed)
    rng, deadline, count = random.Random(options.seed), time.time() + options.seconds, 0
    while count < options.programs and time.time() < deadline:
        steps = make_program(rng)
        seen = [run_program(module, steps) for module in TWINS]
        if seen[0] != seen[1]:
            print("program %d differs:\n  %r\nPelmora:   %r\nreference: %r"
                  % (count, steps, seen[0], seen[1]))
            return 1
        count += 1
    print("%d programs, no difference" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
