import math

import pytest

import Pelmora
from recording import Recorder, failure_line, namespace, types_of  # noqa: F401

SQUARE_NAMES = ["glBegin", "glVertex3f", "glEnd"]


@pytest.mark.parametrize("size, corners", [
    (1, [(-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)]),
    (3, [(-1.5, -1.5), (1.5, -1.5), (1.5, 1.5), (-1.5, 1.5)]),
    (2.0, [(-1.0, -1.0), (1.0, -1.0), (1.0, 1.0), (-1.0, 1.0)]),
    (-2, [(1.0, 1.0), (-1.0, 1.0), (-1.0, -1.0), (1.0, -1.0)]),
    (0, [(-0.0, -0.0), (0.0, -0.0), (0.0, 0.0), (-0.0, 0.0)]),
])
def test_call_sequence(namespace, size, corners):
    quads = Pelmora.GL_QUADS
    recorder = Recorder(SQUARE_NAMES)
    assert Pelmora.drawSquare(size) is None
    assert recorder.calls == ([("glBegin", (quads,))] +
                              [("glVertex3f", corner + (0,)) for corner in corners] +
                              [("glEnd", ())])
    assert recorder.calls[0][1][0] is quads
    vertices = recorder.args_of("glVertex3f")
    # Products with -0.5 keep their sign even at zero; z stays the integer 0.
    signs = [tuple(math.copysign(1, c) for c in args[:2]) for args in vertices]
    assert signs == [tuple(math.copysign(1, c) for c in corner) for corner in corners]
    assert all(types_of(args) == (float, float, int) for args in vertices)


def test_float_literal_is_left_operand(namespace):
    class Size(object):
        def __rmul__(self, other):
            return ("scaled", other)
    recorder = Recorder(SQUARE_NAMES)
    Pelmora.drawSquare(Size())
    assert recorder.args_of("glVertex3f")[0] == (("scaled", -0.5), ("scaled", -0.5), 0)
    assert recorder.args_of("glVertex3f")[2] == (("scaled", 0.5), ("scaled", 0.5), 0)


@pytest.mark.parametrize("size, error", [
    ("one", TypeError),
    (None, TypeError),
    (10 ** 400, OverflowError),
])
def test_bad_size_fails_after_begin(namespace, size, error):
    recorder = Recorder(SQUARE_NAMES)
    with pytest.raises(error) as excinfo:
        Pelmora.drawSquare(size)
    assert failure_line(excinfo, "drawSquare") == 96
    assert recorder.names() == ["glBegin"]


@pytest.mark.parametrize("missing, line, issued", [
    ("glBegin", 95, []),
    ("GL_QUADS", 95, []),
    ("glVertex3f", 96, ["glBegin"]),
    ("glEnd", 100, ["glBegin"] + ["glVertex3f"] * 4),
])
def test_unbound_name(namespace, missing, line, issued):
    recorder = Recorder([name for name in SQUARE_NAMES if name != missing])
    delattr(Pelmora, missing)
    with pytest.raises(NameError) as excinfo:
        Pelmora.drawSquare(1)
    assert excinfo.value.args == (missing,)
    assert failure_line(excinfo, "drawSquare") == line
    assert recorder.names() == issued


def test_lookup_precedes_products(namespace):
    Recorder(["glBegin", "glEnd"])
    del Pelmora.glVertex3f
    with pytest.raises(NameError) as excinfo:
        Pelmora.drawSquare("not a number")
    assert failure_line(excinfo, "drawSquare") == 96


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"size": 1})])
def test_interpreter_checks_arity(namespace, args, kwargs):
    recorder = Recorder(SQUARE_NAMES)
    with pytest.raises(TypeError):
        Pelmora.drawSquare(*args, **kwargs)
    assert recorder.calls == []


def test_square_covers_centre(gl):
    from OpenGL import GL
    GL.glColor4f(0.0, 1.0, 0.0, 1.0)
    Pelmora.drawSquare(1.0)
    pixels = gl.read_rgba()
    height, width = pixels.shape[:2]
    assert tuple(pixels[height // 2, width // 2]) == (0, 255, 0, 255)
    # Side 1 in a view spanning -1..1: the outer quarter on each side stays clear.
    for y, x in [(2, 2), (2, width - 3), (height - 3, 2), (height - 3, width - 3),
                 (height // 2, 2), (2, width // 2)]:
        assert tuple(pixels[y, x][:3]) == (0, 0, 0)
    inside = pixels[height // 4 + 1:3 * height // 4 - 1, width // 4 + 1:3 * width // 4 - 1]
    assert (inside[..., 1] == 255).all()


def test_begin_end_pair_closed_after_success_open_after_failure(gl):
    from OpenGL import GL
    from OpenGL.error import GLError
    Pelmora.drawSquare(1)
    with pytest.raises(GLError):
        GL.glEnd()  # no pair is open
    with pytest.raises(TypeError):
        Pelmora.drawSquare(None)
    GL.glEnd()  # closes the pair the failed call left open
    assert GL.glGetError() == GL.GL_NO_ERROR
