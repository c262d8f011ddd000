"""Shared test helpers: recording callables bound in the module namespace, the
traceback entries the module adds, a fixture that undoes namespace edits, and
fresh interpreters that find this build of the module."""
import os
import subprocess
import sys
import textwrap
import traceback

import pytest

import Pelmora

MODULE_FILE = "Pelmora.py"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_MISSING = object()

# Source defining a meta-path finder that makes every import of PyOpenGL fail.
BLOCK_OPENGL = """
import sys
class BlockOpenGL(object):
    def find_module(self, name, path=None, target=None):
        if name.split(".")[0] == "OpenGL":
            raise ImportError("No module named " + name)
    find_spec = find_module
"""

# A stand-in PyOpenGL whose functions accept anything and do nothing: for fresh interpreters
# and subinterpreters that exercise the module without an OpenGL context.
STUB_OPENGL = {
    "__init__.py": "", "GLUT.py": "", "GLU.py": "",
    "GL.py": "GL_LINES, GL_QUADS = 0x0001, 0x0007\n"
             "def glBegin(*args): pass\n"
             "glEnd = glVertex3f = glVertex3d = glVertex4d = glColor4f = glBegin\n"
             "glPushMatrix = glPopMatrix = glTranslatef = glRotatef = glBegin\n",
}


class Recorder(object):
    """Binds a recording callable for each name; `calls` lists (name, args)."""

    def __init__(self, names):
        self.calls = []
        for name in names:
            setattr(Pelmora, name, self._recorder(name))

    def _recorder(self, name):
        def record(*args, **kwargs):
            assert not kwargs, "the module never passes keywords"
            self.calls.append((name, args))
        record.__name__ = name
        return record

    def names(self):
        return [name for name, _ in self.calls]

    def args_of(self, name):
        return [args for called, args in self.calls if called == name]


@pytest.fixture
def namespace():
    """The module namespace, restored after the test whatever it rebinds or deletes."""
    saved = dict(Pelmora.__dict__)
    yield Pelmora
    current = Pelmora.__dict__
    for name in list(current):
        if name not in saved:
            delattr(Pelmora, name)
    for name, value in saved.items():
        if current.get(name, _MISSING) is not value:
            setattr(Pelmora, name, value)


def module_entries(excinfo):
    """(line, function-name field) of each traceback entry the module added."""
    return [(entry[1], entry[2]) for entry in traceback.extract_tb(excinfo.tb)
            if entry[0] == MODULE_FILE]


def failure_line(excinfo, routine):
    """The line of the single entry the module added for `routine`."""
    entries = module_entries(excinfo)
    assert len(entries) == 1, entries
    line, function = entries[0]
    assert function.startswith("Pelmora.%s (" % routine), function
    return line


def types_of(args):
    return tuple(type(item) for item in args)


def set_view(ortho, rotation):
    """An orthographic projection and a rotated modelview, for the real-GL tests."""
    from OpenGL import GL
    GL.glMatrixMode(GL.GL_PROJECTION)
    GL.glLoadIdentity()
    GL.glOrtho(*ortho)
    GL.glMatrixMode(GL.GL_MODELVIEW)
    GL.glLoadIdentity()
    GL.glRotatef(*rotation)


def write_opengl(directory, files):
    """A stand-in OpenGL package of {file name: source} under `directory`; returns the path."""
    for name, text in files.items():
        directory.join("OpenGL", name).write(textwrap.dedent(text), ensure=True)
    return str(directory)


def run(command, paths=(), cwd=None, unset=()):
    """(status, stdout, stderr) of `command`, with `paths`, this build of the module and the
    repository's tools first on PYTHONPATH, and the variables `unset` removed."""
    env = dict((k, v) for k, v in os.environ.items() if k not in unset)
    search = (list(paths) + [os.path.dirname(Pelmora.__file__), ROOT] +
              env.get("PYTHONPATH", "").split(os.pathsep))
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(path) for path in search if path)
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    out, err = process.communicate()
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def run_code(code, **kwargs):
    """`run` of a fresh interpreter on the source `code`."""
    return run([sys.executable, "-c", textwrap.dedent(code)], **kwargs)
