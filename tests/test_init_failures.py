"""Import of the module when PyOpenGL cannot be imported, each in a fresh interpreter: the
failure message and its exit, a missing or failing sys.stdout, an exit that returns or cannot
be called, a second import after a failed one, an import from inside the module's own init,
and routines reached after a failed init. The interpreter keeps running after every failure,
and the exception being handled around the import is still the one being handled afterwards."""
import os
import subprocess
import sys
import textwrap

import pytest

import Pelmora

MESSAGE = "\nERROR: PyOpenGL not installed properly.\n        \n"
ROUTINES = ["draw3DCoordinateAxes", "drawColoredCube", "drawGrayCube", "drawSquare",
            "drawViewVolume"]
OUTER = repr(KeyError("outer"))
# After a failed import, only Python 3 shows what is being handled around it.
AFTER_FAILURE = [OUTER] if sys.version_info[0] >= 3 else []

# Run before each scenario: a finder that makes every import of PyOpenGL fail, and a way to
# report to the test on stderr, leaving stdout to the module.
PRELUDE = """
import sys

class Blocker(object):
    def find_spec(self, name, path=None, target=None):
        return self.find_module(name)

    def find_module(self, name, path=None):
        if name == "OpenGL" or name.startswith("OpenGL."):
            raise ImportError("PyOpenGL blocked: " + name)

def report(*items):
    sys.__stderr__.write("@ " + " ".join(str(item) for item in items) + "\\n")

def outcome(exc):
    detail = exc.code if isinstance(exc, SystemExit) else exc
    return "%s %s" % (type(exc).__name__, detail)

def routines():
    module = sys.modules.get("Pelmora")
    return sorted(name for name in getattr(module, "__dict__", {}) if name.startswith("draw"))

def attempt_import():
    try:
        raise KeyError("outer")
    except KeyError:
        try:
            import Pelmora
            report("imported")
        except BaseException as exc:
            report(outcome(exc))
            if sys.version_info[0] < 3:
                return  # the except clause above has replaced what sys.exc_info() reports
        report(repr(sys.exc_info()[1]))
"""


def run_child(code, extra_path=()):
    """(stdout, the lines the child reported, stderr) of `code` after PRELUDE."""
    paths = list(extra_path) + [os.path.dirname(Pelmora.__file__)] + sys.path
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path for path in paths if path))
    process = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    out, err = [text.decode("utf-8", "replace") for text in process.communicate()]
    assert process.returncode == 0, err
    reported = [line[2:] for line in err.splitlines() if line.startswith("@ ")]
    return out, reported, err


# stdout None: print() writes nothing on Python 3; Python 2's print statement has no write.
NONE_STDOUT = ("SystemExit 1", "") if sys.version_info[0] >= 3 else (
    "AttributeError 'NoneType' object has no attribute 'write'", "")


@pytest.mark.parametrize("setup, result, stdout", [
    ("", "SystemExit 1", MESSAGE),
    ("del sys.stdout", "RuntimeError lost sys.stdout", ""),
    ("sys.stdout = None",) + NONE_STDOUT,
    ("""
     class Full(object):
         def write(self, text):
             raise IOError("no room")

         def flush(self):
             pass
     sys.stdout = Full()
     """, "IOError no room" if sys.version_info[0] < 3 else "OSError no room", ""),
    # The stream drops itself from sys while the message is being written.
    ("""
     class Leaving(object):
         def write(self, text):
             sys.__dict__.pop("stdout", None)
             sys.__stdout__.write(text)
     sys.stdout = Leaving()
     """, "SystemExit 1", MESSAGE),
    ("sys.exit = 5", "TypeError 'int' object is not callable", MESSAGE),
    ("del sys.exit", "AttributeError", MESSAGE),
], ids=["plain", "no-stdout", "stdout-none", "stdout-raises", "stdout-leaves", "exit-int",
        "no-exit"])
def test_failed_import_leaves_the_interpreter_running(setup, result, stdout):
    code = """
        sys.meta_path.insert(0, Blocker())
        %s
        attempt_import()
        report(routines())
    """ % textwrap.dedent(setup).replace("\n", "\n        ")
    out, reported, err = run_child(code)
    assert out == stdout
    assert reported[0].startswith(result), err
    # The half-made module of Python 2.7 stays in sys.modules, without routines.
    assert reported[1:] == AFTER_FAILURE + ["[]"], err


def test_exit_that_returns_lets_init_complete():
    out, reported, err = run_child("""
        sys.meta_path.insert(0, Blocker())
        calls = []
        sys.exit = lambda *args: calls.append(args)
        attempt_import()
        import Pelmora
        report(routines(), calls, Pelmora.__test__, hasattr(Pelmora, "glBegin"))
        try:
            Pelmora.drawSquare(1)
        except NameError as exc:
            report(exc)
    """)
    assert out == MESSAGE
    # One call of exit, with status 1: a bare exit() would end a host script with status 0.
    assert reported == ["imported", OUTER, "%s [(1,)] {} False" % ROUTINES, "glBegin"], err


def test_import_after_a_failed_one():
    out, reported, err = run_child("""
        blocker = Blocker()
        sys.meta_path.insert(0, blocker)
        attempt_import()
        sys.meta_path.remove(blocker)
        sys.modules.pop("Pelmora", None)
        import Pelmora
        calls = []
        for name in ("glBegin", "glVertex3f", "glEnd"):
            setattr(Pelmora, name, lambda *args: calls.append(args))
        Pelmora.drawSquare(2)
        report(routines(), len(calls), calls[1])
    """)
    assert out == MESSAGE
    assert reported == ["SystemExit 1"] + AFTER_FAILURE + ["%s 6 (-1.0, -1.0, 0)" % ROUTINES], err


# The first star import imports the module again, from inside its own init, with the second
# one refused to that inner import: the inner init fails while the outer one is under way.
NESTED = {
    "__init__.py": "",
    "GLU.py": "",
    "GL.py": """
import sys
if getattr(sys, "refuse_gl", False):
    raise ImportError("refused to the inner import")
""",
    "GLUT.py": """
import sys
sys.refuse_gl = True
try:
    import Pelmora
    sys.stderr.write("@ inner import gave %s\\n" % type(Pelmora).__name__)
except BaseException as exc:
    sys.stderr.write("@ inner import raised %s\\n" % type(exc).__name__)
sys.refuse_gl = False
""",
}


def test_import_from_inside_its_own_init(tmpdir):
    package = tmpdir.join("OpenGL")
    package.ensure(dir=True)
    for name, text in NESTED.items():
        package.join(name).write(text)
    out, reported, err = run_child("""
        import Pelmora
        report(routines())
    """, [str(tmpdir)])
    assert reported[-1] == str(ROUTINES), err


# The last star import turns the module into a ModuleType subclass that refuses the third
# routine: init fails after registering two, and keeps the half-made module for the test.
TRAP = """
import sys, types
kept = []
class Trap(types.ModuleType):
    def __setattr__(self, name, value):
        kept.append(self)
        if name == "drawSquare":
            raise RuntimeError("refused")
        types.ModuleType.__setattr__(self, name, value)
__all__ = ["__class__"]
sys.modules[__name__].__class__ = Trap
"""


def test_routines_of_a_failed_init_raise(tmpdir):
    if sys.version_info[0] < 3:
        pytest.skip("Python 2.7 has no module __class__ assignment, and every way init can "
                    "fail there comes before the first routine is registered")
    package = tmpdir.join("OpenGL")
    package.ensure(dir=True)
    for name, text in [("__init__.py", ""), ("GLUT.py", ""), ("GL.py", ""), ("GLU.py", TRAP)]:
        package.join(name).write(text)
    out, reported, err = run_child("""
        import traceback
        attempt_import()
        from OpenGL.GLU import kept
        half = kept[0]
        report(sorted(name for name in vars(half) if name.startswith("draw")))
        for call in (half.draw3DCoordinateAxes, lambda: half.drawViewVolume(1, 2, 3, 4, 5, 6),
                     lambda: half.drawViewVolume(1)):
            try:
                call()
            except Exception as exc:
                entries = traceback.extract_tb(sys.exc_info()[2])
                report(type(exc).__name__, [(e[1], e[2].split(" (")[0]) for e in entries
                                            if e[0] == "Pelmora.py"])
    """, [str(tmpdir)])
    assert reported[:3] == ["RuntimeError refused", OUTER,
                            "['draw3DCoordinateAxes', 'drawViewVolume']"], err
    assert reported[3:] == [
        "ImportError [(28, 'Pelmora.draw3DCoordinateAxes')]",
        "ImportError [(49, 'Pelmora.drawViewVolume')]",
        "TypeError [(43, 'Pelmora.drawViewVolume')]",
    ], err
