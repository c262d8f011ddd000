"""Import of the module when PyOpenGL cannot be imported, each in a fresh interpreter: the
interpreter keeps running, the handled exception survives, and a later import works."""
import sys
import textwrap

import pytest

from recording import BLOCK_OPENGL, run_code, write_opengl

MESSAGE = "\nERROR: PyOpenGL not installed properly.\n        \n"
ROUTINES = str(["draw3DCoordinateAxes", "drawColoredCube", "drawGrayCube", "drawSquare",
                "drawViewVolume"])
OUTER = repr(KeyError("outer"))
# After a failed import, only Python 3 shows what is being handled around it.
AFTER_FAILURE = [OUTER] if sys.version_info[0] >= 3 else []

# Run before each scenario: a finder that makes every import of PyOpenGL fail, and a way to
# report on stderr, leaving stdout to the module.
PRELUDE = BLOCK_OPENGL + """
def report(*items):
    sys.__stderr__.write("@ " + " ".join(str(item) for item in items) + "\\n")

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
            report(type(exc).__name__, exc.code if isinstance(exc, SystemExit) else exc)
            if sys.version_info[0] < 3:
                return  # the except clause above has replaced what sys.exc_info() reports
        report(repr(sys.exc_info()[1]))
"""


def run_child(code, opengl=None, tmpdir=None):
    """(stdout, reported lines, stderr) of `code`, with {file: text} `opengl` as PyOpenGL."""
    paths = [write_opengl(tmpdir, opengl)] if opengl else []
    status, out, err = run_code(PRELUDE + textwrap.dedent(code), paths=paths)
    assert status == 0, err
    return out, [line[2:] for line in err.splitlines() if line.startswith("@ ")], err


PY3 = sys.version_info[0] >= 3
FAILED = AFTER_FAILURE + ["[]"]  # no module is left behind


@pytest.mark.parametrize("setup, stdout, reported", [
    ("", MESSAGE, ["SystemExit 1"] + FAILED),
    ("del sys.stdout", "", ["RuntimeError lost sys.stdout"] + FAILED),
    # print() writes nothing to None on Python 3; Python 2's print statement has no write
    ("sys.stdout = None", "", ["SystemExit 1" if PY3 else "AttributeError 'NoneType'"] + FAILED),
    ("class Full(object):\n    def write(self, text): raise IOError('no room')\n"
     "    def flush(self): pass\nsys.stdout = Full()", "",
     ["OSError no room" if PY3 else "IOError no room"] + FAILED),
    # the stream drops itself from sys while the message is being written
    ("class Leaving(object):\n    def write(self, text):\n"
     "        sys.__dict__.pop('stdout', None)\n        sys.__stdout__.write(text)\n"
     "sys.stdout = Leaving()", MESSAGE, ["SystemExit 1"] + FAILED),
    ("sys.exit = 5", MESSAGE, ["TypeError 'int' object is not callable"] + FAILED),
    ("del sys.exit", MESSAGE, ["AttributeError"] + FAILED),
    # init completes, and exits with status 1: a bare exit() would end a host with status 0
    ("sys.exit = lambda *args: report('exit', *args)", MESSAGE,
     ["exit 1", "imported", OUTER, ROUTINES]),
])
def test_failed_import_leaves_the_interpreter_running(setup, stdout, reported):
    out, lines, err = run_child("""
        blocker = BlockOpenGL()
        sys.meta_path.insert(0, blocker)
        %s
        attempt_import()
        report(routines())
        sys.meta_path.remove(blocker)
        if not routines():
            sys.modules.pop("Pelmora", None)
        import Pelmora
        calls = []
        for name in ("GL_QUADS", "glBegin", "glVertex3f", "glEnd"):
            setattr(Pelmora, name, lambda *args: calls.append(args))
        Pelmora.drawSquare(2)
        report(routines(), calls[1])
    """ % setup.replace("\n", "\n        "))
    assert out == stdout
    assert lines[0].startswith(reported[0]) and lines[1:-1] == reported[1:], err
    assert lines[-1] == ROUTINES + " (-1.0, -1.0, 0)", err  # a later import works


@pytest.mark.parametrize("raised, stdout, reported, stderr", [
    ("KeyboardInterrupt()", "", ["KeyboardInterrupt"], None),
    ("SystemExit(3)", "", ["SystemExit 3"], None),
    ("ImportError('libglut.so: cannot open')", MESSAGE, ["SystemExit 1"],
     "Pelmora: import of OpenGL.GLUT failed: ImportError: libglut.so: cannot open"),
    ("DeprecationWarning('old')", MESSAGE, ["SystemExit 1"],
     "Pelmora: import of OpenGL.GLUT failed: DeprecationWarning: old"),
    ("MemoryError()", MESSAGE, ["SystemExit 1"],
     "Pelmora: import of OpenGL.GLUT failed: MemoryError"),
])
def test_what_the_handler_lets_through_and_what_it_reports(tmpdir, raised, stdout, reported,
                                                            stderr):
    # An interrupt stays an interrupt; anything else is reported on stdout as before, and
    # stderr says which import failed and how.
    opengl = {"__init__.py": "", "GL.py": "", "GLU.py": "", "GLUT.py": "raise " + raised}
    out, lines, err = run_child("""
        try:
            import Pelmora
        except BaseException as exc:
            report(type(exc).__name__, getattr(exc, "code", ""))
        report("Pelmora" in sys.modules)
        """, opengl, tmpdir)
    assert out == stdout
    assert [line.strip() for line in lines] == reported + ["False"], err
    failure_lines = [line for line in err.splitlines() if line.startswith("Pelmora:")]
    assert failure_lines == ([stderr] if stderr else []), err


def test_import_from_inside_its_own_init(tmpdir):
    # The first star import imports the module again, and the inner init's own star import fails.
    out, reported, err = run_child("import Pelmora\nreport(routines())", {
        "__init__.py": "", "GLU.py": "",
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
            """}, tmpdir)
    # The inner import is handed the module being made, as for any module.
    assert reported == ["inner import gave module", ROUTINES], err


@pytest.mark.skipif(sys.version_info[0] < 3, reason="Python 2.7 has no module __class__ "
                    "assignment, and init fails there before any routine is registered")
def test_routines_of_a_failed_init_raise(tmpdir):
    # The last star import makes the module a ModuleType subclass that refuses the third
    # routine: init fails after registering two, and the half-made module is kept.
    out, reported, err = run_child("""
        attempt_import()
        from OpenGL.GLU import kept
        report(sorted(name for name in vars(kept[0]) if name.startswith("draw")))
        half = kept[0]
        for call in (half.draw3DCoordinateAxes, lambda: half.drawViewVolume(1, 2, 3, 4, 5, 6),
                     lambda: half.drawViewVolume(1)):
            try:
                call()
            except Exception as exc:
                report(type(exc).__name__, exc)
        import traceback
        for name in ["draw3DCoordinateAxes", "drawViewVolume", "drawSquare", "drawGrayCube",
                     "drawColoredCube"]:
            sys.refused = name
            sys.modules.pop("OpenGL.GLU", None)
            try:
                import Pelmora
            except RuntimeError:
                report([(entry[1], entry[2].split(" (")[0])
                        for entry in traceback.extract_tb(sys.exc_info()[2])
                        if entry[0] == "Pelmora.py"])
    """, {"__init__.py": "", "GLUT.py": "", "GL.py": "", "GLU.py": """
        import sys, types
        kept = []
        class Trap(types.ModuleType):
            def __setattr__(self, name, value):
                kept.append(self)
                if name == getattr(sys, "refused", "drawSquare"):
                    raise RuntimeError("refused")
                types.ModuleType.__setattr__(self, name, value)
        __all__ = ["__class__"]
        sys.modules[__name__].__class__ = Trap
        """}, tmpdir)
    failed = ("ImportError Pelmora is not initialised: its import failed, so its routines "
              "cannot run")
    assert reported == [
        "RuntimeError refused", OUTER, "['draw3DCoordinateAxes', 'drawViewVolume']", failed,
        failed, "TypeError drawViewVolume() takes exactly 6 positional arguments (1 given)",
    ] + ["[(%d, 'init Pelmora')]" % line for line in (26, 43, 94, 102, 148)], err


@pytest.mark.parametrize("blocked", [False, True])
def test_import_warns_of_nothing_and_lets_the_handled_exception_go(blocked):
    _, reported, err = run_child("""
        import gc, warnings, weakref
        if %r:
            sys.meta_path.insert(0, BlockOpenGL())
        else:
            import OpenGL.GLUT, OpenGL.GL, OpenGL.GLU
        class Handled(Exception):
            pass
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                raise Handled()
            except Handled as exc:
                handled = weakref.ref(exc)
                try:
                    import Pelmora
                except SystemExit:
                    pass
                del exc
        getattr(sys, "exc_clear", lambda: None)()
        gc.collect()
        report([str(warning.message) for warning in caught], handled() is None)
    """ % blocked)
    assert reported == ["[] True"], err
