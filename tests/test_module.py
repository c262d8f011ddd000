"""The module frame: what import leaves in the namespace, call-time lookup,
and the traceback entry every failure adds."""
import re
import sys
import traceback

import pytest

import Pelmora
from recording import Recorder, module_entries, run_code, write_opengl

try:
    import builtins
except ImportError:  # Python 2.7
    import __builtin__ as builtins

from recording import ROUTINES
MODULE_DOC = (
    "\nPelmora\n\nThis file contains some helper functions for drawing using OpenGL. These are\n"
    "not critical for the assignment and were placed here to reduce clutter.\n\n"
    "IMPORTANT NOTE:\n---------------\n"
    "Make sure that this file is in the same directory as the Tovrin starter code.\n\n"
    "If you choose to add your own drawing helper functions please mark them clearly\n"
    "using comments and also mention them in a README file.\n")
VIEW_VOLUME_DOC = "\n    Draws a view volume defined by (left, right, bottom, top, near, far)\n    "


def test_module_attributes():
    assert Pelmora.__doc__ == MODULE_DOC
    assert Pelmora.__name__ == "Pelmora"
    assert Pelmora.__test__ == {}
    assert Pelmora.__builtins__ is builtins
    for name in ROUTINES:
        routine = getattr(Pelmora, name)
        assert routine.__module__ == "Pelmora"
        assert routine.__name__ == name
        assert routine.__doc__ == (VIEW_VOLUME_DOC if name == "drawViewVolume" else None)
    import pydoc
    assert VIEW_VOLUME_DOC.strip() in pydoc.render_doc(Pelmora)


def test_namespace_holds_the_opengl_names():
    from OpenGL import GL, GLU, GLUT
    for name in ["glBegin", "glVertex3f", "GL_QUADS", "gluPerspective", "glutInit"]:
        assert hasattr(Pelmora, name)
    assert Pelmora.glBegin is GL.glBegin
    assert Pelmora.gluPerspective is GLU.gluPerspective
    assert Pelmora.glutInit is GLUT.glutInit


FAKE_OPENGL = {
    "__init__.py": "",
    # No __all__: every public name of the namespace, none with a leading underscore.
    "GLUT.py": "shared = 'glut'\nglut_only = 'glut'\n_hidden = 'glut'\ngl_gl = 'glut'\n",
    # __all__ is copied exactly, underscore names included.
    "GL.py": "__all__ = ['shared', 'gl_gl', '_exported']\n"
             "shared = 'gl'\ngl_gl = 'gl'\n_exported = 'gl'\nunlisted = 'gl'\n",
    "GLU.py": "shared = 'glu'\ngl_gl_glu = 'glu'\n",
}


def test_star_imports_in_order_with_the_last_winning(tmpdir):
    code = """
        import Pelmora
        print(' '.join([Pelmora.shared, Pelmora.glut_only, Pelmora.gl_gl, Pelmora._exported]))
        print(' '.join(n for n in ('_hidden', 'unlisted') if hasattr(Pelmora, n)))
        print(' '.join(sorted(n for n in vars(Pelmora) if n.startswith('draw'))))
    """
    status, out, err = run_code(code, paths=[write_opengl(tmpdir, FAKE_OPENGL)])
    assert status == 0, err
    assert out.splitlines() == [
        "glu glut gl gl", "",
        "draw3DCoordinateAxes drawColoredCube drawGrayCube drawSquare drawViewVolume"]


def test_all_naming_a_missing_attribute_fails_that_import(tmpdir):
    overrides = {"GL.py": "__all__ = ['shared', 'missing']\nshared = 'gl'\n"}
    code = """
        import sys
        try:
            import Pelmora
        except SystemExit as exit:
            module = sys.modules.get('Pelmora')
            sys.stdout.write('exit %s %s\\n' % (exit.code, getattr(module, 'shared', None)))
    """
    status, out, err = run_code(code, paths=[write_opengl(tmpdir, dict(FAKE_OPENGL, **overrides))])
    assert status == 0, err
    # The failed import leaves no half-made module in sys.modules.
    assert out == "\nERROR: PyOpenGL not installed properly.\n        \nexit 1 None\n"


def test_embedding_flag_names_the_module_main():
    code = """
        import ctypes, imp_path
        flag = ctypes.c_int.in_dll(ctypes.CDLL(imp_path.PATH), 'module_is_main_Pelmora')
        flag.value = 1
        import Pelmora
        print(Pelmora.__name__)
    """.replace("imp_path.PATH", repr(Pelmora.__file__)).replace(", imp_path", "")
    status, out, err = run_code(code)
    assert status == 0, err
    assert out.strip() == "__main__"


class Released(object):
    """Logs its own release; what a callee returns, or one of the items it is given."""

    def __init__(self, log, label):
        self.log, self.label = log, label

    def __del__(self):
        self.log.append(self.label)

    def __neg__(self):
        return Released(self.log, "item")


@pytest.mark.skipif(sys.version_info < (3, 7), reason="module __getattr__ is Python 3.7+")
def test_callee_then_tuple_then_result_released(namespace):
    log = []
    Recorder(["glColor4f", "glBegin", "glVertex4d", "glEnd"])
    del Pelmora.glVertex3d

    class Callee(Released):
        def __call__(self, *args):
            return Released(self.log, "result")
    Pelmora.__getattr__ = lambda name: Callee(log, "callee")
    near = Released(log, "near")
    with pytest.raises(TypeError):
        Pelmora.drawViewVolume(1.0, 1.0, 1.0, 1.0, near, 1.0)  # `near` cannot be divided
    assert log[:3] == ["callee", "item", "result"]
FIELD = re.compile(r"^Pelmora\.(\w+) \((module|draw)/\w+\.cpp:\d+\)$")


def test_traceback_entry_between_caller_and_callee(namespace):
    class Boom(Exception):
        pass
    boom = Boom("from the callee")

    def glVertex3f(*args):
        raise boom
    Recorder(["glBegin", "glEnd"])
    Pelmora.glVertex3f = glVertex3f
    with pytest.raises(Boom) as excinfo:
        Pelmora.drawSquare(1)
    assert excinfo.value is boom
    entries = traceback.extract_tb(excinfo.tb)
    functions = [entry[2] for entry in entries]
    assert functions[-1] == "glVertex3f"
    assert FIELD.match(functions[-2]).group(1) == "drawSquare"
    assert entries[-2][0] == "Pelmora.py" and entries[-2][1] == 96
    assert functions[-3] == "test_traceback_entry_between_caller_and_callee"


@pytest.mark.parametrize("builtins_value", ["delete", 5, None])
def test_entry_made_whatever_the_namespace_builtins(namespace, builtins_value):
    if builtins_value == "delete":
        del Pelmora.__builtins__
    else:
        Pelmora.__builtins__ = builtins_value
    del Pelmora.glBegin
    with pytest.raises(NameError) as excinfo:
        Pelmora.drawSquare(1)
    assert [line for line, _ in module_entries(excinfo)] == [95]
