"""Every routine leaves sys.gettotalrefcount() where it was, on success and on each failure path.

The test builds the extension for an interpreter that counts references (Debian's python3-dbg,
or PELMORA_DEBUG_PYTHON; PELMORA_REQUIRE_DEBUG=1 makes its absence a failure) and runs this
file there as a script, without pytest, against an OpenGL package whose functions do nothing.
"""
from __future__ import print_function

import gc
from fractions import Fraction
import os
import shutil
import subprocess
import sys

STUB_GL = """
GL_LINES, GL_QUADS = 0x0001, 0x0007
def glBegin(*args): pass
glEnd = glVertex3f = glVertex3d = glVertex4d = glColor4f = glBegin
glPushMatrix = glPopMatrix = glTranslatef = glRotatef = glBegin
"""


def run(command, **kwargs):
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    return process.communicate()[0].decode("utf-8", "replace"), process.returncode


def find_debug_python():
    version = "%d.%d" % sys.version_info[:2]
    for candidate in [os.environ.get("PELMORA_DEBUG_PYTHON"),
                      sys.executable if hasattr(sys, "gettotalrefcount") else None,
                      "python%sd" % version, "python%s-dbg" % version, "python3-dbg"]:
        try:
            if candidate and run([candidate, "-c", "import sys; sys.gettotalrefcount"])[1] == 0:
                return candidate
        except OSError:
            pass


def test_no_reference_leaks(tmpdir):
    import pytest
    python = find_debug_python()
    if python is None:
        message = "no interpreter with sys.gettotalrefcount (Debian: apt-get install python3-dbg)"
        if os.environ.get("PELMORA_REQUIRE_DEBUG") == "1":
            pytest.fail(message)
        pytest.skip(message)
    # Built from the sources and setup.py alone, as scripts/sanitize.sh builds: setup.py
    # holds every flag, and the debug interpreter's setuptools may read packaging metadata
    # differently.
    root, tree = os.path.dirname(os.path.dirname(os.path.abspath(__file__))), tmpdir.join("tree")
    shutil.copytree(os.path.join(root, "src"), str(tree.join("src")))
    shutil.copy(os.path.join(root, "setup.py"), str(tree))
    out, status = run([python, "setup.py", "-q", "build_ext", "-b", str(tmpdir.join("lib")),
                       "-t", str(tmpdir.join("tmp"))], cwd=str(tree))
    assert status == 0, "building for %s failed:\n%s" % (python, out)
    for name, text in [("__init__.py", ""), ("GLUT.py", ""), ("GLU.py", ""), ("GL.py", STUB_GL)]:
        tmpdir.join("stubs", "OpenGL", name).write(text, ensure=True)
    path = os.pathsep.join([str(tmpdir.join("lib")), str(tmpdir.join("stubs"))])
    out, status = run([python, os.path.abspath(__file__)], env=dict(os.environ, PYTHONPATH=path),
                      cwd=str(tmpdir))
    assert status == 0 and "cases, no reference count drift" in out, out


# --- script side: runs under the debug interpreter ------------------------------------------

UNBOUND = object()


def cases(m):
    """(call, exception expected or None, names rebound in the module, or UNBOUND to delete)."""
    from recording import Failure, call_with_dict
    square, axes, view = m.drawSquare, m.draw3DCoordinateAxes, m.drawViewVolume

    def raising(*args):
        raise Failure("raised by a callee")

    gray, colored, b = m.drawGrayCube, m.drawColoredCube, (-1.0, 1.0, -1.0, 1.0, 1.0, 10.0)

    def swallowing(*args):
        try:
            view(1, 2, 3, 4, 0, 0)
        except ZeroDivisionError:
            pass

    table = [(lambda a=a: view(*a), error, {}) for a, error in [
        ((-1, 1, -1, 1, 1, 3), None), ([Fraction(1)] * 6, None),  # results of every kind
        ((1, 2, 3, 4, None, 5), TypeError), ((1, 2, 3, "x", 1, 2), TypeError),
        ((1, 2, 3, 4, 1, 0), ZeroDivisionError), ((1, 2, 3, 4, 1, 10 ** 400), OverflowError),
        ((1, 2, 3, 4, 5), TypeError), ((1, 2, 3, 4, 5, 6, 7), TypeError)]]
    table += [(lambda a=a, k=k: view(*a, **k), TypeError, {}) for a, k in [
        ((1, 2, 3, 4, 5, 6, 7), {"far": 1}), ((1, 2), {"bottom": 3, "near": 5, "far": 6}),
        ((1, 2, 3, 4, 5, 6), {"left": 1}), ((1, 2, 3, 4, 5), {"far": 6, "depth": 1})]]
    return table + [
        (lambda: view(-1, 1, -1, near=1, top=1, far=3), None, {}),
        (lambda: view(far=3, near=1, top=1, bottom=-1, right=1, left=-1), None, {}),
        (lambda: call_with_dict(view, b, {}), None, {}),
        (lambda: call_with_dict(view, b, {1: 2}), TypeError, {}),
        (lambda: call_with_dict(view, b[:5], {}), TypeError, {}),
        (axes, None, {}), (lambda: gray(2.5), None, {}), (lambda: colored(True), None, {}),
        (lambda: square("x"), TypeError, {}), (lambda: square(10 ** 400), OverflowError, {}),
        # unbound callees in rows with built, empty and cached tuples; a constant; the last row
        (lambda: square(1), NameError, {"glVertex3f": UNBOUND}),
        (lambda: gray(1), NameError, {"glPushMatrix": UNBOUND}),
        (lambda: gray(1), NameError, {"glRotatef": UNBOUND}),
        (lambda: square(1), NameError, {"GL_QUADS": UNBOUND}),
        (lambda: view(*b), NameError, {"glEnd": UNBOUND}),
        (lambda: view(*b), Failure, {"glVertex4d": raising}),
        (lambda: gray(1), Failure, {"glPushMatrix": raising}),
        # failures nested in a cube's square, and in routines a callee re-enters
        (lambda: gray(1), Failure, {"glVertex3f": raising}),
        (lambda: colored(1), NameError, {"glEnd": UNBOUND}),
        (lambda: gray(1), None, {"glPopMatrix": swallowing}),
        (axes, ZeroDivisionError, {"glEnd": lambda: view(1, 2, 3, 4, 0, 0)}),
        (lambda: colored(1), None, {"glPushMatrix": lambda: square(2)}),
        (lambda: square(1), RuntimeError, {"glBegin": square}),  # to the recursion limit
    ]


def growth(call, expected, iterations):
    """References gained over `iterations` calls after as many to warm up."""
    def attempt():
        try:
            call()
        except expected or ():
            return
        assert expected is None, "no %s raised" % expected.__name__
    totals = []
    for _ in range(3):
        for _ in range(iterations):
            attempt()
        gc.collect()
        totals.append(sys.gettotalrefcount())
    return totals[2] - totals[1]


def main():
    tests = os.path.dirname(os.path.abspath(__file__))
    sys.path[:0] = [tests, os.path.dirname(tests)]
    import Pelmora
    base, problems, table = growth(lambda: None, None, 300), [], cases(Pelmora)
    for index, (call, expected, bindings) in enumerate(table):
        saved = dict((name, getattr(Pelmora, name)) for name in bindings)
        for name, value in bindings.items():
            if value is UNBOUND:
                delattr(Pelmora, name)
            else:
                setattr(Pelmora, name, value)
        try:
            refs = growth(call, expected, 10 if expected is RuntimeError else 300) - base
            # An over-release shows as a drop, and is as wrong as a leak.
            failure = "reference count drifted by %d" % refs if refs else None
        except AssertionError as exc:
            failure = exc
        finally:
            Pelmora.__dict__.update(saved)
        if failure:
            problems.append("case %d (%s, %s): %s" % (index, expected, bindings, failure))
    try:
        from _testcapi import run_in_subinterp
    except ImportError:
        run_in_subinterp = None
    if run_in_subinterp is not None:
        # Each subinterpreter's module and state go with it; the baseline is what an
        # interpreter that imports only PyOpenGL leaves.
        refs = (growth(lambda: run_in_subinterp("import Pelmora\nPelmora.drawGrayCube(1)"),
                       None, 100) -
                growth(lambda: run_in_subinterp("import OpenGL.GL"), None, 100))
        if refs:
            problems.append("subinterpreter imports: reference count drifted by %d" % refs)
        table.append("subinterpreter imports (%d)" % refs)
    print("\n".join(["FAILED:"] + problems) if problems else
          "%d cases, no reference count drift" % len(table))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
