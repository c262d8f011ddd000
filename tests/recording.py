"""Shared test helpers: recording callables bound in the module namespace, the
traceback entries the module adds, and a fixture that undoes namespace edits."""
import traceback

import pytest

import Pelmora

MODULE_FILE = "Pelmora.py"
_MISSING = object()


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
