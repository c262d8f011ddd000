import pytest

import Pelmora
from recording import Recorder, failure_line, namespace  # noqa: F401

AXES_NAMES = ["glBegin", "glColor4f", "glVertex3f", "glEnd"]
RED, GREEN, BLUE = (1.0, 0.0, 0.0, 1.0), (0.0, 1.0, 0.0, 1.0), (0.0, 0.0, 1.0, 1.0)
ORIGIN = (0.0, 0.0, 0.0)


def test_call_sequence(namespace):
    lines = Pelmora.GL_LINES
    recorder = Recorder(AXES_NAMES)
    assert Pelmora.draw3DCoordinateAxes() is None
    assert recorder.calls == [
        ("glBegin", (lines,)),
        ("glColor4f", RED), ("glVertex3f", ORIGIN), ("glVertex3f", (1.0, 0.0, 0.0)),
        ("glColor4f", GREEN), ("glVertex3f", ORIGIN), ("glVertex3f", (0.0, 1.0, 0.0)),
        ("glColor4f", BLUE), ("glVertex3f", ORIGIN), ("glVertex3f", (0.0, 0.0, 1.0)),
        ("glEnd", ()),
    ]
    numbers = [item for _, args in recorder.calls[1:-1] for item in args]
    assert len(numbers) == 30 and all(type(item) is float for item in numbers)
    # Every literal is a fresh object: thirty of them alive at once, all distinct.
    assert len(set(id(item) for item in numbers)) == 30


@pytest.mark.parametrize("missing, line, issued", [
    ("GL_LINES", 28, []),
    ("glBegin", 28, []),
    ("glColor4f", 29, ["glBegin"]),
    ("glVertex3f", 30, ["glBegin", "glColor4f"]),
    ("glEnd", 40, ["glBegin"] + ["glColor4f", "glVertex3f", "glVertex3f"] * 3),
])
def test_unbound_name(namespace, missing, line, issued):
    recorder = Recorder([name for name in AXES_NAMES if name != missing])
    delattr(Pelmora, missing)
    with pytest.raises(NameError) as excinfo:
        Pelmora.draw3DCoordinateAxes()
    assert excinfo.value.args == (missing,)
    assert failure_line(excinfo, "draw3DCoordinateAxes") == line
    assert recorder.names() == issued


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"size": 1})])
def test_interpreter_rejects_arguments(namespace, args, kwargs):
    recorder = Recorder(AXES_NAMES)
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
