"""Import of the module, each case in a fresh interpreter: what the star imports put in the
namespace, and what a failing import step leaves (the interpreter running, the handled
exception, nothing in sys.modules, a later import that works)."""
import os
import re
import textwrap

import pytest

import Pelmora
from pelmora_tools.names import GL_CALLEES, GL_CONSTANTS, PARAMETERS, ROUTINES, STAR_IMPORTS
from recording import BLOCK_OPENGL, PY3, ROOT, builtins, run_code, write_opengl

MESSAGE = "\nERROR: PyOpenGL not installed properly.\n        \n"
NAMES = str(sorted(ROUTINES))
OUTER = repr(KeyError("outer"))
FAILED = ([OUTER] if PY3 else []) + ["[]"]  # only Python 3 shows what is handled around it

# Run before each case: the blocking finder, a report on stderr (stdout is the module's),
# the routines the module in sys.modules has, and an import inside an except clause.
PRELUDE = BLOCK_OPENGL + """
def report(*items):
    sys.__stderr__.write("@ " + " ".join(str(item) for item in items) + "\\n")
def routines():
    names = getattr(sys.modules.get("Pelmora"), "__dict__", {})
    return sorted(name for name in names if name[:4] == "draw")
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


MODULE_DOC = (
    "\nPelmora\n\nThis file contains some helper functions for drawing using OpenGL. These are\n"
    "not critical for the assignment and were placed here to reduce clutter.\n\n"
    "IMPORTANT NOTE:\n---------------\n"
    "Make sure that this file is in the same directory as the Tovrin starter code.\n\n"
    "If you choose to add your own drawing helper functions please mark them clearly\n"
    "using comments and also mention them in a README file.\n")
VIEW_VOLUME_DOC = ("\n    Draws a view volume defined by (left, right, bottom, top, near, far)"
                   "\n    ")


def test_module_attributes():
    assert (Pelmora.__name__, Pelmora.__test__, Pelmora.__builtins__) == ("Pelmora", {}, builtins)
    assert Pelmora.__doc__ == MODULE_DOC
    for name, routine in [(name, getattr(Pelmora, name)) for name in ROUTINES]:
        assert (routine.__module__, routine.__name__, routine.__self__, routine.__doc__) == (
            "Pelmora", name, Pelmora if PY3 else None,
            VIEW_VOLUME_DOC if name == "drawViewVolume" else None)
    import pydoc
    assert VIEW_VOLUME_DOC.strip() in pydoc.render_doc(Pelmora)
    from OpenGL import GL, GLU, GLUT
    assert (Pelmora.glBegin, Pelmora.gluPerspective, Pelmora.glutInit) == \
        (GL.glBegin, GLU.gluPerspective, GLUT.glutInit)
    # The extension's own table of names holds exactly the names the Python side lists.
    with open(os.path.join(ROOT, "src", "module", "constants.h")) as header:
        table = re.findall(r'(?:NAME\((\w+)\)|TEXT\(\w+, "([^"]+)"\))', header.read())
    assert sorted(a or b for a, b in table) == sorted(
        ROUTINES + GL_CALLEES + GL_CONSTANTS + PARAMETERS + STAR_IMPORTS +
        ("Pelmora", "exit", "sys", "*", "__main__", "__test__"))


FAKE_OPENGL = {
    "__init__.py": "",
    # No __all__: every public name, none with a leading underscore.
    "GLUT.py": "shared = 'glut'\nglut_only = 'glut'\n_hidden = 'glut'\ngl_gl = 'glut'\n",
    # __all__ is copied exactly, underscore names included; routines are bound after it.
    "GL.py": "__all__ = ['shared', 'gl_gl', '_exported', 'drawSquare']\nshared = 'gl'\n"
             "gl_gl = 'gl'\n_exported = 'gl'\nunlisted = 'gl'\ndrawSquare = 'gl'\n",
    "GLU.py": "shared = 'glu'\n",
}


def test_star_imports_in_order_with_the_last_winning(tmpdir):
    status, out, err = run_code("""
        import Pelmora
        print(' '.join([Pelmora.shared, Pelmora.glut_only, Pelmora.gl_gl, Pelmora._exported,
                        type(Pelmora.drawSquare).__name__]))
        print(' '.join(n for n in ('_hidden', 'unlisted') if hasattr(Pelmora, n)))
    """, paths=[write_opengl(tmpdir, FAKE_OPENGL)])
    assert (status, out.splitlines()) == (
        0, ["glu glut gl gl builtin_function_or_method", ""]), err


def test_all_naming_a_missing_attribute_fails_that_import(tmpdir):
    opengl = dict(FAKE_OPENGL, **{"GL.py": "__all__ = ['shared', 'missing']\nshared = 'gl'\n"})
    out, reported, err = run_child("attempt_import()\nreport(routines())", opengl, tmpdir)
    assert (out, reported) == (MESSAGE, ["SystemExit 1"] + FAILED), err


def test_embedding_flag_names_the_module_main():
    status, out, err = run_code("""
        import ctypes
        ctypes.c_int.in_dll(ctypes.CDLL(%r), 'module_is_main_Pelmora').value = 1
        import Pelmora
        print(Pelmora.__name__)
    """ % Pelmora.__file__)
    assert (status, out.strip()) == (0, "__main__"), err


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
    ("del sys.exit", MESSAGE, ["AttributeError"] + FAILED),
    ("sys.exit = 5", MESSAGE, ["TypeError 'int' object is not callable"] + FAILED),
    # init goes on when sys.exit returns; the status is 1: a bare exit() would be 0
    ("sys.exit = lambda *args: report('exit', *args)", MESSAGE,
     ["exit 1", "imported", OUTER, NAMES]),
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
    assert lines[-1] == NAMES + " (-1.0, -1.0, 0)", err  # a later import works


UNREADABLE_ALL = """
import sys
class Unreadable(object):
    @property
    def __all__(self):
        raise RuntimeError("no names today")
sys.modules[__name__] = Unreadable()
"""


@pytest.mark.parametrize("failing, source, stdout, reported, stderr", [
    ("GLUT", "raise KeyboardInterrupt()", "", "KeyboardInterrupt", None),
    ("GLUT", "raise SystemExit(3)", "", "SystemExit 3", None),
    ("GLUT", "raise ImportError('libglut.so: cannot open')", MESSAGE, "SystemExit 1",
     "import of OpenGL.GLUT failed: ImportError: libglut.so: cannot open"),
    ("GLUT", "raise DeprecationWarning('old')", MESSAGE, "SystemExit 1",
     "import of OpenGL.GLUT failed: DeprecationWarning: old"),
    ("GLU", "raise MemoryError()", MESSAGE, "SystemExit 1",
     "import of OpenGL.GLU failed: MemoryError"),
    # an __all__ that cannot be read is no reason to copy the module's names instead
    ("GL", UNREADABLE_ALL, MESSAGE, "SystemExit 1",
     "import of OpenGL.GL failed: RuntimeError: no names today"),
])
def test_what_the_handler_lets_through_and_what_it_reports(tmpdir, failing, source, stdout,
                                                            reported, stderr):
    opengl = {"__init__.py": "", "GL.py": "", "GLU.py": "", "GLUT.py": ""}
    opengl[failing + ".py"] = source
    out, lines, err = run_child("""
        try:
            import Pelmora
        except BaseException as exc:
            report(type(exc).__name__, getattr(exc, "code", ""))
        report("Pelmora" in sys.modules)
        """, opengl, tmpdir)
    assert out == stdout and [line.strip() for line in lines] == [reported, "False"], err
    assert [line for line in err.splitlines() if line.startswith("Pelmora:")] == \
        (["Pelmora: " + stderr] if stderr else []), err


@pytest.mark.parametrize("forget", [False, True])
def test_import_from_inside_its_own_init(tmpdir, forget):
    # The first star import imports the module again, and the inner init's own star import
    # fails; or it first removes the module being made from sys.modules.
    out, reported, err = run_child("import Pelmora\nreport(routines())", {
        "__init__.py": "", "GLU.py": "",
        "GL.py": """
            import sys
            if getattr(sys, "refuse_gl", False):
                raise ImportError("refused to the inner import")
            """,
        "GLUT.py": """
            import sys
            sys.refuse_gl, being_made = True, sys.modules.pop("Pelmora") if %r else None
            try:
                import Pelmora
                sys.stderr.write("@ inner import gave %%s\\n" %% type(Pelmora).__name__)
            except BaseException as exc:
                sys.stderr.write("@ inner import raised %%s\\n" %% type(exc).__name__)
            sys.refuse_gl = False
            if being_made is not None:
                sys.modules["Pelmora"] = being_made
            """ % forget}, tmpdir)
    # The inner import is handed the module being made, as for any module; made again, it is
    # a module of its own on Python 3, while 2.7's one module refuses to be made twice at once.
    inner = "raised SystemExit" if forget and PY3 else "raised ImportError" if forget else \
        "gave module"
    assert reported == ["inner import " + inner, NAMES], err


@pytest.mark.skipif(not PY3, reason="Python 2.7 has no module __class__ assignment")
def test_routines_of_a_failed_init_raise(tmpdir):
    # The last star import makes the module a ModuleType subclass that refuses one routine:
    # init fails after registering those before it, and the half-made module is kept.
    out, reported, err = run_child("""
        attempt_import()
        from OpenGL.GLU import kept
        report(sorted(name for name in vars(kept[0]) if name.startswith("draw")))
        for call in (kept[0].draw3DCoordinateAxes, lambda: kept[0].drawViewVolume(1)):
            try:
                call()
            except Exception as exc:
                report(type(exc).__name__, exc)
        for sys.refused in %r:
            sys.modules.pop("OpenGL.GLU", None)
            try:
                import Pelmora
            except RuntimeError:
                report([(entry[1], entry[2].split(" (")[0]) for entry in __import__(
                    "traceback").extract_tb(sys.exc_info()[2]) if entry[0] == "Pelmora.py"])
    """ % (ROUTINES,), {"__init__.py": "", "GLUT.py": "", "GL.py": "", "GLU.py": """
        import sys, types
        kept, __all__ = [], ["__class__"]
        def refuse(self, name, value):
            kept.append(self)
            if name == getattr(sys, "refused", "drawSquare"):
                raise RuntimeError("refused")
            types.ModuleType.__setattr__(self, name, value)
        sys.modules[__name__].__class__ = type("Trap", (types.ModuleType,),
                                               {"__setattr__": refuse})
        """}, tmpdir)
    assert reported == [
        "RuntimeError refused", OUTER, "['draw3DCoordinateAxes', 'drawViewVolume']",
        "ImportError Pelmora is not initialised: its import failed, so its routines cannot run",
        "TypeError drawViewVolume() takes exactly 6 positional arguments (1 given)"] + [
        "[(%d, 'init Pelmora')]" % line for line in (26, 43, 94, 102, 148)], err


@pytest.mark.parametrize("blocked", [False, True])
def test_import_warns_of_nothing_and_lets_the_handled_exception_go(blocked):
    _, reported, err = run_child("""
        import gc, warnings, weakref
        if %r:
            sys.meta_path.insert(0, BlockOpenGL())
        else:  # PyOpenGL's own warnings at its import are not the module's
            import OpenGL.GLUT, OpenGL.GL, OpenGL.GLU
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                raise type("Handled", (Exception,), {})()  # a class whose instances weakref
            except Exception as exc:
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
