"""Reference counts stay balanced through every routine, on success and on each failure path.

Counting references needs an interpreter that traces them (sys.gettotalrefcount), such as
Debian's python3-dbg. The test builds the extension for that interpreter, gives it an OpenGL
package whose functions do nothing, and runs this file there as a script: each case is called
a thousand times after a warm-up and must leave the total reference count where it was.
PELMORA_DEBUG_PYTHON names the interpreter; PELMORA_REQUIRE_DEBUG=1 makes its absence a failure.
The script side runs without pytest, which the debug interpreter usually lacks.
"""
from __future__ import print_function

import ctypes
import gc
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STUB_GL = """
GL_LINES, GL_QUADS = 0x0001, 0x0007
def glBegin(*args): pass
glEnd = glVertex3f = glVertex3d = glVertex4d = glColor4f = glBegin
glPushMatrix = glPopMatrix = glTranslatef = glRotatef = glBegin
"""


# --- pytest side ----------------------------------------------------------------------------

def find_debug_python():
    """A command that runs an interpreter with sys.gettotalrefcount, or None."""
    version = "%d.%d" % sys.version_info[:2]
    candidates = [os.environ.get("PELMORA_DEBUG_PYTHON")]
    if hasattr(sys, "gettotalrefcount"):
        candidates.append(sys.executable)
    candidates += ["python%sd" % version, "python%s-dbg" % version, "python3d", "python3-dbg",
                   "python2.7-dbg"]
    for candidate in candidates:
        if not candidate:
            continue
        try:
            status = subprocess.call([candidate, "-c", "import sys; sys.gettotalrefcount"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError:
            continue
        if status == 0:
            return candidate
    return None


def run(command, **kwargs):
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    out = process.communicate()[0].decode("utf-8", "replace")
    return process.returncode, out


def test_no_reference_leaks(tmpdir):
    import pytest
    python = find_debug_python()
    if python is None:
        message = "no interpreter with sys.gettotalrefcount (Debian: apt-get install python3-dbg)"
        if os.environ.get("PELMORA_REQUIRE_DEBUG") == "1":
            pytest.fail(message)
        pytest.skip(message)
    # Built from a copy of the sources without the packaging metadata, which the debug
    # interpreter's own setuptools may read differently.
    tree, lib, stubs = tmpdir.join("tree"), str(tmpdir.join("lib")), tmpdir.join("stubs")
    shutil.copytree(os.path.join(ROOT, "src"), str(tree.join("src")))
    shutil.copy(os.path.join(ROOT, "setup.py"), str(tree))
    # GCC resolves symlinks in system header paths by default; Debian's debug headers are
    # symlinks to the release ones, and Python.h would then pick the release pyconfig.h.
    flags = os.environ.get("PELMORA_EXTRA_CFLAGS", "")
    if "clang" not in os.environ.get("CC", ""):
        flags += " -fno-canonical-system-headers"
    status, out = run([python, "setup.py", "-q", "build_ext", "-b", lib,
                       "-t", str(tmpdir.join("tmp"))], cwd=str(tree),
                      env=dict(os.environ, PELMORA_EXTRA_CFLAGS=flags))
    assert status == 0, "building for %s failed:\n%s" % (python, out)
    package = stubs.join("OpenGL")
    package.ensure(dir=True)
    for name, text in [("__init__.py", ""), ("GLUT.py", ""), ("GLU.py", ""), ("GL.py", STUB_GL)]:
        package.join(name).write(text)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([lib, str(stubs)]))
    status, out = run([python, os.path.abspath(__file__)], env=env, cwd=str(tmpdir))
    assert status == 0, out
    assert "cases, no reference left behind" in out, out


# --- script side: runs under the debug interpreter ------------------------------------------

try:
    RecursionError
except NameError:  # Python 2.7
    RecursionError = RuntimeError
UNBOUND = object()


class Failure(Exception):
    pass


def raising(*args):
    raise Failure("raised by a callee")


class Operand(object):
    """Arithmetic that answers with new objects, or raises where `broken` says."""

    def __init__(self, broken=()):
        self.broken = broken

    def _result(self, operation):
        if operation in self.broken:
            raise Failure(operation)
        return Operand(self.broken)

    def __rmul__(self, other):
        return self._result("multiply")
    __mul__ = __rmul__

    def __neg__(self):
        return self._result("negate")

    def __truediv__(self, other):
        return self._result("divide")
    __rtruediv__ = __div__ = __rdiv__ = __truediv__


def call_with_dict(function, args, keywords):
    """function(*args, **keywords) with `keywords` handed over as it is, any keys allowed."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, tuple(args), keywords)


def cases(module):
    """(label, call, expected exception or None, namespace bindings, iterations)."""
    square, axes, view = module.drawSquare, module.draw3DCoordinateAxes, module.drawViewVolume
    gray, colored = module.drawGrayCube, module.drawColoredCube
    bounds = (-1.0, 1.0, -1.0, 1.0, 1.0, 10.0)

    def swallow(call):
        def callee(*args):
            try:
                call()
            except Exception:
                pass
        return callee

    yield "axes", axes, None, {}, 1000
    for size in (1, 2.5, True, Operand(), "any"):
        yield "gray cube, size %s" % type(size).__name__, lambda s=size: gray(s), None, {}, 300
    yield "square of an operand", lambda: square(Operand()), None, {}, 1000
    yield "coloured cube", lambda: colored(0), None, {}, 300
    yield "view volume, floats", lambda: view(*bounds), None, {}, 1000
    yield "view volume, integers", lambda: view(-2, 2, -2, 2, 2, 5), None, {}, 1000
    yield "view volume, operands", lambda: view(*[Operand()] * 6), None, {}, 1000
    yield ("view volume, keywords", lambda: view(far=10.0, near=1.0, top=1.0, bottom=-1.0,
                                                  right=1.0, left=-1.0), None, {}, 1000)
    yield "view volume, mixed", lambda: view(-1, 1, -1, near=1, top=1, far=3), None, {}, 1000
    yield ("view volume, empty dict", lambda: call_with_dict(view, bounds, {}), None, {}, 1000)
    yield ("cube through a Python square", lambda: gray(1), None,
           {"drawSquare": lambda size: square(size)}, 300)
    yield ("callee re-entering", lambda: colored(1), None,
           {"glPushMatrix": lambda: square(2)}, 300)

    # An unbound callee in rows with built, empty and cached argument tuples; unbound
    # constants; the last row.
    for label, call, name in [
            ("square", lambda: square(1), "glBegin"), ("square", lambda: square(1), "GL_QUADS"),
            ("square", lambda: square(1), "glVertex3f"), ("square", lambda: square(1), "glEnd"),
            ("axes", axes, "GL_LINES"), ("axes", axes, "glColor4f"), ("axes", axes, "glEnd"),
            ("gray cube", lambda: gray(1), "glPushMatrix"),
            ("gray cube", lambda: gray(1), "glRotatef"),
            ("gray cube", lambda: gray(1), "drawSquare"),
            ("gray cube", lambda: gray(1), "glPopMatrix"),
            ("coloured cube", lambda: colored(1), "glTranslatef"),
            ("view volume", lambda: view(*bounds), "GL_LINES"),
            ("view volume", lambda: view(*bounds), "glVertex4d"),
            ("view volume", lambda: view(*bounds), "glEnd")]:
        yield "%s without %s" % (label, name), call, NameError, {name: UNBOUND}, 1000

    # Callees that raise, or cannot be called.
    for label, call, name in [
            ("square", lambda: square(1), "glVertex3f"), ("square", lambda: square(1), "glEnd"),
            ("gray cube", lambda: gray(1), "glRotatef"),
            ("gray cube", lambda: gray(1), "glPushMatrix"),
            ("coloured cube", lambda: colored(1), "drawSquare"),
            ("view volume", lambda: view(*bounds), "glVertex4d")]:
        yield "%s, %s raising" % (label, name), call, Failure, {name: raising}, 1000
    yield "square, glBegin not callable", lambda: square(1), TypeError, {"glBegin": 5}, 1000

    # Arithmetic that fails at the first, a middle or the last item of a row.
    for size, error in [("x", TypeError), (None, TypeError), (10 ** 400, OverflowError),
                        (Operand(["multiply"]), Failure)]:
        yield "square(%.20r)" % (size,), lambda s=size: square(s), error, {}, 1000
    for label, args, error in [
            ("near not negatable", (1.0, 2.0, 3.0, 4.0, None, 5.0), TypeError),
            ("far zero", (1.0, 2.0, 3.0, 4.0, 1.0, 0), ZeroDivisionError),
            ("near zero", (1.0, 2.0, 3.0, 4.0, 0, 1.0), ZeroDivisionError),
            ("far overflowing", (1, 2, 3, 4, 1, 10 ** 400), OverflowError),
            ("top not multipliable", (1.0, 2.0, 3.0, "x", 1.0, 2.0), TypeError),
            ("far not negatable", (1.0, 2.0, 3.0, 4.0, 1.0, Operand(["negate"])), Failure),
            ("far not dividing", (1.0, 2.0, 3.0, 4.0, 1.0, Operand(["divide"])), Failure)]:
        yield "view volume, %s" % label, lambda a=args: view(*a), error, {}, 1000

    # Every argument error, with and without values already bound.
    for label, call in [
            ("five positional", lambda: view(1, 2, 3, 4, 5)),
            ("seven positional", lambda: view(1, 2, 3, 4, 5, 6, 7)),
            ("seven positional and a keyword", lambda: view(1, 2, 3, 4, 5, 6, 7, far=1)),
            ("a missing parameter", lambda: view(1, 2, bottom=3, near=5, far=6)),
            ("a missing parameter and a stray keyword", lambda: view(1, 2, 3, 4, 5, depth=6)),
            ("multiple values", lambda: view(1, 2, 3, 4, 5, 6, left=1)),
            ("an unexpected keyword", lambda: view(1, 2, 3, 4, 5, far=6, depth=1)),
            ("a key that is no string", lambda: call_with_dict(view, bounds, {1: 2})),
            ("a key that is no string, too few positional",
             lambda: call_with_dict(view, bounds[:3], {1: 2})),
            ("an empty dict, too few positional",
             lambda: call_with_dict(view, bounds[:5], {}))]:
        yield "view volume, %s" % label, call, TypeError, {}, 1000

    # Failures inside the square a cube draws, and inside routines a callee re-enters.
    yield ("gray cube, failing square", lambda: gray(1), Failure, {"glVertex3f": raising}, 300)
    yield ("coloured cube, square without glEnd", lambda: colored(1), NameError,
           {"glEnd": UNBOUND}, 300)
    yield ("callee swallowing a failed routine", lambda: gray(1), None,
           {"glPopMatrix": swallow(lambda: view(1, 2, 3, 4, 0, 0))}, 300)
    yield ("callee passing a failure on", lambda: axes(), ZeroDivisionError,
           {"glEnd": lambda: view(1, 2, 3, 4, 0, 0)}, 1000)
    yield ("routine calling itself until the limit", lambda: square(1), RecursionError,
           {"glBegin": square}, 10)


def attempt(call, expected):
    try:
        call()
    except expected or ():
        return
    if expected is not None:
        raise AssertionError("no %s raised" % expected.__name__)


def growth(call, expected, iterations):
    """Total reference count and allocated blocks gained over `iterations` calls, after a
    warm-up."""
    for _ in range(max(iterations // 10, 3)):
        attempt(call, expected)
    totals = [None, None]
    for index in (0, 1):
        for _ in range(iterations):
            attempt(call, expected)
        gc.collect()
        totals[index] = (sys.gettotalrefcount(), sys.getallocatedblocks())
    return totals[1][0] - totals[0][0], totals[1][1] - totals[0][1]


def main():
    import Pelmora
    base_refs, base_blocks = growth(lambda: None, None, 1000)
    problems, count = [], 0
    for label, call, expected, bindings, iterations in cases(Pelmora):
        saved = dict((name, getattr(Pelmora, name)) for name in bindings)
        for name, value in bindings.items():
            if value is UNBOUND:
                delattr(Pelmora, name)
            else:
                setattr(Pelmora, name, value)
        try:
            refs, blocks = growth(call, expected, iterations)
        except AssertionError as exc:
            problems.append("%s: %s" % (label, exc))
            continue
        finally:
            for name, value in saved.items():
                setattr(Pelmora, name, value)
        count += 1
        refs, blocks = refs - base_refs, blocks - base_blocks
        print("%6d refs %6d blocks  %s" % (refs, blocks, label))
        if refs > 0:
            problems.append("%s: %d references left behind by %d calls (%d blocks)"
                            % (label, refs, iterations, blocks))
    if problems:
        print("\n".join(["FAILED:"] + problems))
        if len(problems) == count:
            print("Every case gains references: was the extension compiled against the "
                  "release headers, without Py_REF_DEBUG?")
        return 1
    print("%d cases, no reference left behind" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
