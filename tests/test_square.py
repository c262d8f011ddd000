"""drawSquare: held to its plain-Python twin, a few pinned facts, and the square as a user
sees it."""
import pytest

import Pelmora
from recording import DELETED, Recorder, Traced, assert_every_call_failing, assert_twins

SCENARIOS = [
    # size, bindings
    (1, []), (3, []), (2.0, []), (-2, []), (0, []), (-0.0, []), (True, []),
    ("one", []), (None, []), (10 ** 400, []), (lambda log: [Traced(2.0, "size", log)], []),
    (1, [("glEnd", DELETED)]), (1, [("GL_QUADS", DELETED)]), (1, [("GL_QUADS", "quads")]),
    ("not a number", [("glVertex3f", DELETED)]), (1, [("glVertex3f", len)]),
]

# Pinned facts guarding the twin.
PINNED = [
    # size, bindings, call that raises, entries (line, routine), calls made, text
    (1, [("glBegin", DELETED)], None, [(95, "drawSquare")], 0, "glBegin"),
    (1, [], 2, [(96, "drawSquare"), "callee"], 2, "glVertex3f"),
    (1, [], 5, [(99, "drawSquare"), "callee"], 5, "glVertex3f"),
    (1, [("glEnd", DELETED)], None, [(100, "drawSquare")], 5, "glEnd"),
    (None, [], None, [(96, "drawSquare")], 1,
     "unsupported operand type(s) for *: 'float' and 'NoneType'"),
]


@pytest.mark.parametrize("size, bindings", SCENARIOS)
def test_matches_the_twin(namespace, size, bindings):
    args = (lambda log: size(log)) if callable(size) else (size,)
    assert_twins("drawSquare", args, bindings=bindings)


@pytest.mark.parametrize("size, bindings, fail_at, entries, calls, text", PINNED)
def test_pinned_failures(namespace, size, bindings, fail_at, entries, calls, text):
    seen = assert_twins("drawSquare", (size,), fail_at=fail_at, bindings=bindings)
    assert seen[-1][2:] == (text, entries) and len(seen) - 1 == calls


def test_pinned_calls(namespace):
    seen = assert_twins("drawSquare", lambda log: [Traced(4.0, "size", log)])
    corner = ("traced", "(-0.5*size)", "-2.0")
    assert seen[:4] == [("glBegin", (("IntConstant", "GL_QUADS"),)),
                        ("op", ("*", "-0.5", "size", True)),
                        ("op", ("*", "-0.5", "size", True)),
                        ("glVertex3f", (corner, corner, ("int", "0")))]
    assert len(seen) == 15 and seen[-2] == ("glEnd", ())


def test_every_call_failing_matches_the_twin(namespace):
    assert_every_call_failing("drawSquare", (1,))


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"size": 1})])
def test_interpreter_checks_arity(namespace, args, kwargs):
    recorder = Recorder()
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
