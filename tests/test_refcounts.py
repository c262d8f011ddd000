"""Every routine leaves sys.gettotalrefcount() where it was, on success and on each failure
path: the extension is built for an interpreter that counts references (Debian's python3-dbg,
or PELMORA_DEBUG_PYTHON; PELMORA_REQUIRE_DEBUG=1 makes its absence a failure), which runs this
file as a script against an OpenGL package whose functions do nothing."""
from __future__ import print_function

import gc
import os
import sys
import tempfile
from fractions import Fraction

ITERATIONS = 10  # calls per measured round: a drift of one reference per call shows as 10


def test_no_reference_leaks(tmpdir):
    import pytest
    from recording import ROOT, STUB_OPENGL, run, write_opengl
    version = "%d.%d" % sys.version_info[:2]
    # setuptools builds the extension for it (Debian: python3-setuptools)
    probe = "import sys, setuptools; sys.gettotalrefcount"
    for python in [os.environ.get("PELMORA_DEBUG_PYTHON"), "python%sd" % version,
                   "python%s-dbg" % version, "python3-dbg", None]:
        try:
            if python and run([python, "-c", probe])[0] == 0:
                break
        except OSError:
            pass
    if python is None:
        message = ("no interpreter with sys.gettotalrefcount and setuptools (Debian: sudo "
                   "apt-get install python3-dbg python3-setuptools)")
        if os.environ.get("PELMORA_REQUIRE_DEBUG") == "1":
            pytest.fail(message)
        pytest.skip(message)
    # per user: another user's build folder there is not writable
    lib = os.path.join(tempfile.gettempdir(), "pelmora-refcounts-%s-%d" % (
        os.path.basename(python), os.getuid()))
    status, out, err = run(["bash", os.path.join(ROOT, "scripts", "build-ext.sh"), python, lib])
    assert status == 0, "building for %s failed:\n%s" % (python, out + err)
    status, out, err = run([python, os.path.abspath(__file__)], cwd=str(tmpdir), paths=[
        lib, write_opengl(tmpdir, STUB_OPENGL)])
    assert status == 0 and "cases, no reference count drift" in out, out + err


# Names rebound in the module (None deletes one), then calls, each of which returns or raises.
CASES = [
    ({}, "view(-1, 1, -1, 1, 1, 3) | view(*[Fraction(1)] * 6) | view(1, 2, 3, 4, None, 5) | "
         "view(1, 2, 3, 'x', 1, 2) | view(1, 2, 3, 4, 1, 0) | view(1, 2, 3, 4, 1, 10 ** 400) | "
         "view(1, 2, 3, 4, 5) | view(1, 2, 3, 4, 5, 6, 7) | view(1, 2, 3, 4, 5, 6, 7, far=1) | "
         "view(1, 2, bottom=3, near=5, far=6) | view(1, 2, 3, 4, 5, 6, left=1) | "
         "view(1, 2, 3, 4, 5, far=6, depth=1) | view(-1, 1, -1, near=1, top=1, far=3) | "
         "view(far=3, near=1, top=1, bottom=-1, right=1, left=-1) | call_with_dict(view, b, {})"
         " | call_with_dict(view, b, {1: 2}) | call_with_dict(view, b[:5], {}) | axes() | "
         "gray(2.5) | colored(True) | square('x') | square(10 ** 400)"),
    # unbound callees in rows with built, empty and cached tuples; a constant; the last row
    ({"glVertex3f": None}, "square(1) | gray(1)"), ({"glPushMatrix": None}, "gray(1)"),
    ({"glRotatef": None}, "gray(1)"), ({"GL_QUADS": None}, "square(1)"),
    ({"glEnd": None}, "view(*b) | colored(1)"), ({"glVertex4d": "raising"}, "view(*b)"),
    ({"glPushMatrix": "raising"}, "gray(1)"), ({"glVertex3f": "raising"}, "gray(1)"),
    # routines that a callee re-enters, and to the recursion limit
    ({"glPopMatrix": "swallowing"}, "gray(1)"), ({"glEnd": "lambda: view(1, 2, 3, 4, 0, 0)"},
                                                 "axes()"),
    ({"glPushMatrix": "lambda: square(2)"}, "colored(1)"), ({"glBegin": "square"}, "square(1)"),
    ({"glVertex3f": "calling"}, "square(reentering)"),  # released items that re-enter
]


def growth(code, names):
    """References gained over a round of calls, after two rounds to warm up."""
    calls, totals = [compile(call, call, "eval") for call in code.split(" | ")], []
    for _ in range(3):
        for _ in range(ITERATIONS):
            for call in calls:
                try:
                    eval(call, names)
                except Exception:
                    pass
        gc.collect()
        totals.append(sys.gettotalrefcount())
    return totals[2] - totals[1]


def main():
    sys.path[:0] = [os.path.dirname(os.path.abspath(__file__))]
    import Pelmora as m
    from recording import Failure, call_with_dict

    def raising(*args):
        raise Failure("raised by a callee")

    def swallowing(*args):
        try:
            m.drawViewVolume(1, 2, 3, 4, 0, 0)
        except ZeroDivisionError:
            pass
    class Dying(object):
        def __del__(self):
            m.drawSquare(2)
    reentering = type("Size", (object,), {"__rmul__": lambda self, other: Dying()})()
    calling = type("Calling", (object,), {"__call__": lambda self, *args: None})()  # a tuple
    names = dict(reentering=reentering, calling=calling, square=m.drawSquare,
                 axes=m.draw3DCoordinateAxes, view=m.drawViewVolume, gray=m.drawGrayCube,
                 colored=m.drawColoredCube, Fraction=Fraction,
                 b=(-1.0, 1.0, -1.0, 1.0, 1.0, 10.0), call_with_dict=call_with_dict,
                 raising=raising, swallowing=swallowing)
    base, problems = growth("None", names), []
    for bindings, code in CASES:
        saved = dict(m.__dict__)
        for name, value in bindings.items():
            setattr(m, name, eval(value, names)) if value else delattr(m, name)
        refs = growth(code, names) - base  # an over-release shows as a drop, as wrong as a leak
        m.__dict__.update(saved)
        problems += ["%s with %s: reference count drifted by %d" % (code, bindings, refs)] * (
            refs != 0)
    try:
        from _testcapi import run_in_subinterp
    except ImportError:  # a debug build without the test module: no subinterpreter case
        run_in_subinterp = None
    if run_in_subinterp is not None:
        # Each subinterpreter's module and state go with it; the baseline is what an
        # interpreter that imports only PyOpenGL leaves.
        names = {"run": run_in_subinterp}
        refs = (growth("run('import Pelmora\\nPelmora.drawGrayCube(1)')", names) -
                growth("run('import OpenGL.GL')", names))
        problems += ["subinterpreter imports: reference count drifted by %d" % refs] * (refs != 0)
    print("\n".join(["FAILED:"] + problems) if problems else
          "%d cases, no reference count drift" % len(CASES))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
