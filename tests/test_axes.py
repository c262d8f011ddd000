"""draw3DCoordinateAxes: held to its plain-Python twin, a few pinned facts, and the axes as
a user sees them."""
import pytest

import Pelmora
from recording import DELETED, Recorder, assert_every_call_failing, assert_twins

RED, GREEN, BLUE = (1.0, 0.0, 0.0, 1.0), (0.0, 1.0, 0.0, 1.0), (0.0, 0.0, 1.0, 1.0)

# Pinned facts guarding the twin: what fails where, after how many calls, with what text.
PINNED = [
    # bindings, call that raises, entries (line, routine), calls made, text
    ([("GL_LINES", DELETED)], None, [(28, "draw3DCoordinateAxes")], 0, "GL_LINES"),
    ([("glColor4f", DELETED)], None, [(29, "draw3DCoordinateAxes")], 1, "glColor4f"),
    ([], 4, [(31, "draw3DCoordinateAxes"), "callee"], 4, "glVertex3f"),
    ([], 11, [(40, "draw3DCoordinateAxes"), "callee"], 11, "glEnd"),
]


@pytest.mark.parametrize("bindings, fail_at, entries, calls, text", PINNED)
def test_pinned_failures(namespace, bindings, fail_at, entries, calls, text):
    seen = assert_twins("draw3DCoordinateAxes", fail_at=fail_at, bindings=bindings)
    assert seen[-1][2:] == (text, entries) and len(seen) - 1 == calls


def test_pinned_calls(namespace):
    seen = assert_twins("draw3DCoordinateAxes")
    assert [name for name, _ in seen] == (["glBegin"] + ["glColor4f", "glVertex3f",
                                          "glVertex3f"] * 3 + ["glEnd", "returned"])
    assert seen[1:4] == [("glColor4f", tuple(("float", repr(x)) for x in RED)),
                         ("glVertex3f", (("float", "0.0"),) * 3),
                         ("glVertex3f", tuple(("float", repr(x)) for x in RED[:3]))]


def test_every_call_failing_matches_the_twin(namespace):
    assert_every_call_failing("draw3DCoordinateAxes")


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"size": 1})])
def test_interpreter_rejects_arguments(namespace, args, kwargs):
    recorder = Recorder()
    with pytest.raises(TypeError):
        Pelmora.draw3DCoordinateAxes(*args, **kwargs)
    assert recorder.calls == []


def coloured_pixels(pixels, rgb):
    return [(y, x) for y, x in zip(*((pixels[..., :3] == rgb).all(axis=2).nonzero()))]


def test_axes_drawn_along_positive_directions(gl):
    from OpenGL import GL
    GL.glMatrixMode(GL.GL_MODELVIEW)
    GL.glScalef(0.8, 0.8, 0.8)
    Pelmora.draw3DCoordinateAxes()
    pixels = gl.read_rgba()
    height, width = pixels.shape[:2]
    red = coloured_pixels(pixels, (255, 0, 0))
    green = coloured_pixels(pixels, (0, 255, 0))
    assert len(red) > width // 4 and len(green) > height // 4
    assert all(x >= width // 2 - 1 and abs(y - height // 2) <= 1 for y, x in red)
    assert all(y <= height // 2 and abs(x - width // 2) <= 1 for y, x in green)
    assert list(GL.glGetFloatv(GL.GL_CURRENT_COLOR)) == pytest.approx(BLUE)

    # Turned a quarter about y, the z axis points to the right.
    GL.glClear(GL.GL_COLOR_BUFFER_BIT)
    GL.glRotatef(90, 0, 1, 0)
    Pelmora.draw3DCoordinateAxes()
    blue = coloured_pixels(gl.read_rgba(), (0, 0, 255))
    assert len(blue) > width // 4
    assert all(x >= width // 2 - 1 and abs(y - height // 2) <= 1 for y, x in blue)
