"""Random programs run against Pelmora and against its plain-Python twin, compared step by
step: rebinding and deleting names (in the namespace and in builtins), callees that raise,
rebind a name or re-enter a routine, and routines called with odd arguments.

    python fuzz/fuzz_pelmora.py [--programs N] [--seconds S] [--seed N]

Stops after N programs or S seconds, whichever comes first. Prints the seed; on the first
difference prints the program and both observations and exits 1. Python 2.7 and 3.
"""
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
                       Recorder, Restorer, Traced, describe, entries, message)

try:
    import builtins
except ImportError:  # Python 2.7
    import __builtin__ as builtins

ARITY = {"draw3DCoordinateAxes": 0, "drawViewVolume": 6}
VALUES = [0, 1, -3, 7, 2.5, -0.0, 0.0, 1e308, 10 ** 400, True, None, "s", Fraction(1, 3),
          "traced"]
# Floats made at run time: a free-threaded build shares equal float constants between code
# objects, which would make the reference's literals the caller's own argument objects.
VALUES = [float(repr(value)) if type(value) is float else value for value in VALUES]


def callee(kind, module, log):
    """A stand-in for an OpenGL name, fresh for each twin."""
    if kind == "raise":
        def raising(*args):
            log.append(("raising", len(args)))
            raise Failure("raised")
        return raising
    if kind == "rebind":
        def rebinding(*args):
            log.append(("rebinding", len(args)))
            module.glEnd = len
        return rebinding
    if kind == "reenter":
        def reentering(*args):
            log.append(("reentering", len(args)))
            routine = module.__dict__.get("drawSquare")
            if not reentering.inside and callable(routine):
                reentering.inside = True
                routine(2)
        reentering.inside = False
        return reentering
    return {"len": len, "none": None, "int": 5}[kind]


def make_program(rng):
    steps = []
    for _ in range(rng.randint(1, 6)):
        roll = rng.random()
        name = rng.choice(GL_CALLEES + GL_CONSTANTS + ["drawSquare"])
        if roll < 0.25:
            kind = rng.choice(["raise", "rebind", "reenter", "len", "none", "int"])
            steps.append(("bind", name, kind))
        elif roll < 0.35:
            steps.append(("delete", name))
        elif roll < 0.4:
            steps.append(("builtin", name))
        else:
            routine = rng.choice(ROUTINES)
            count = ARITY.get(routine, 1)
            args = [rng.choice(VALUES) for _ in range(count)]
            keywords = rng.randint(0, count) if routine == "drawViewVolume" else 0
            steps.append(("call", routine, args, keywords, rng.choice([None, None, 1, 3, 17])))
    return steps


def run_program(module, steps):
    log = []
    restorer = Restorer([module, builtins])
    recorder = Recorder(GL_CALLEES, module, calls=log)
    try:
        for step in steps:
            if step[0] == "bind":
                setattr(module, step[1], callee(step[2], module, log))
            elif step[0] == "delete" and step[1] in module.__dict__:
                delattr(module, step[1])
            elif step[0] == "builtin":
                setattr(builtins, step[1], callee("raise", module, log))
                if step[1] in module.__dict__:
                    delattr(module, step[1])
            elif step[0] == "call" and callable(module.__dict__.get(step[1])):
                _, routine, values, keywords, fail_at = step
                recorder.count, recorder.fail_at = 0, fail_at
                args = [Traced(2.0, "traced", log) if value == "traced" else value
                        for value in values]
                split, start = len(args) - keywords, len(log)
                names = ["left", "right", "bottom", "top", "near", "far"][split:]
                try:
                    getattr(module, routine)(*args[:split], **dict(zip(names, args[split:])))
                    log.append(("returned",))
                except Exception as error:
                    log.append(("raised", type(error).__name__, message(error),
                                entries(sys.exc_info()[2])))
                log[start:] = [(entry[0], tuple(describe(item, args) for item in entry[1]))
                               if entry[0] in GL_CALLEES else entry for entry in log[start:]]
    finally:
        restorer.restore()
    return log


def check(steps):
    """None when both twins show the same, else the two observations."""
    seen = [run_program(module, steps) for module in TWINS]
    return None if seen[0] == seen[1] else seen


def fuzz(programs, seconds, seed):
    rng = random.Random(seed)
    deadline = time.time() + seconds
    for number in range(programs):
        if time.time() > deadline:
            return number, None
        steps = make_program(rng)
        found = check(steps)
        if found:
            return number, (steps, found)
    return programs, None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--programs", type=int, default=100000)
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 30))
    options = parser.parse_args()
    print("seed %d" % options.seed)
    count, found = fuzz(options.programs, options.seconds, options.seed)
    if found:
        steps, (ours, theirs) = found
        print("program %d differs:\n  %r\nPelmora:   %r\nreference: %r" % (count, steps, ours, theirs))
        return 1
    print("%d programs, no difference" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
