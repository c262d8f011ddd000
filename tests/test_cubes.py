"""drawGrayCube and drawColoredCube: held to their plain-Python twins, a few pinned facts,
and the cubes as a user sees them."""
import pytest

import Pelmora
from recording import DELETED, assert_every_call_failing, assert_twins, set_view

GRAYS = [(level, level, level, 1.0) for level in (0.3, 0.4, 0.5, 0.6, 0.7, 0.8)]
COLOURS = [(1.0, 0.0, 0.0, 1.0), (0.5, 0.5, 0.0, 1.0), (0.5, 0.5, 0.5, 1.0),
           (0.0, 0.5, 0.5, 1.0), (0.5, 0.0, 0.5, 1.0), (0.5, 0.0, 0.0, 1.0)]
CUBES = [("drawGrayCube", GRAYS), ("drawColoredCube", COLOURS)]


def raising(size):
    raise ValueError("no square today")


def switching(module):
    """glTranslatef that rebinds glPopMatrix in its module: the next row sees the change."""
    def glTranslatef(*args):
        module.glPopMatrix = len
    return [("glTranslatef", glTranslatef)]


SCENARIOS = [
    # size, bindings
    (2, []), (2.0, []), (None, []), ("big", []),
    (1, [("drawSquare", DELETED)]), (1, [("glRotatef", DELETED)]),
    (1, [("glVertex3f", DELETED)]), (1, [("drawSquare", raising)]),
    (1, switching),
]

# Pinned facts guarding the twins.
PINNED = [
    # routine, bindings, call that raises, entries (line, routine), calls made
    ("drawGrayCube", [("drawSquare", DELETED)], None, [(108, "drawGrayCube")], 3),
    ("drawGrayCube", [], 64, [(144, "drawGrayCube"), "callee"], 64),
    ("drawColoredCube", [("glRotatef", DELETED)], None, [(165, "drawColoredCube")], 22),
    ("drawColoredCube", [("glVertex3f", DELETED)], None,
     [(154, "drawColoredCube"), (96, "drawSquare")], 4),
]


@pytest.mark.parametrize("routine", [routine for routine, _ in CUBES])
@pytest.mark.parametrize("size, bindings", SCENARIOS)
def test_matches_the_twin(namespace, routine, size, bindings):
    assert_twins(routine, (size,), bindings=bindings)


@pytest.mark.parametrize("routine, bindings, fail_at, entries, calls", PINNED)
def test_pinned_failures(namespace, routine, bindings, fail_at, entries, calls):
    seen = assert_twins(routine, (1,), fail_at=fail_at, bindings=bindings)
    assert seen[-1][3] == entries and len(seen) - 1 == calls


@pytest.mark.parametrize("routine, colours", CUBES)
def test_pinned_calls(namespace, routine, colours):
    seen = assert_twins(routine, ("ignored",))
    assert [args for name, args in seen if name == "glColor4f"] == [
        tuple(("float", repr(c)) for c in colour) for colour in colours]
    assert [args for name, args in seen if name == "glRotatef"] == [
        tuple(("int", repr(n)) for n in rotation)
        for rotation in [(90, 0, 1, 0), (90, 0, 1, 0), (90, 1, 0, 0), (-90, 1, 0, 0)]]
    assert seen[2] == ("glTranslatef", (("int", "0"), ("int", "0"), ("float", "0.5")))


@pytest.mark.parametrize("routine", [routine for routine, _ in CUBES])
def test_every_call_failing_matches_the_twin(namespace, routine):
    assert_every_call_failing(routine, (1,))


# --- real OpenGL -------------------------------------------------------------

# Modelview rotations that turn each face (in face order) towards the viewer.
FACE_VIEWS = [(0, 0, 1, 0), (180, 0, 1, 0), (90, 0, 1, 0), (-90, 0, 1, 0),
              (90, 1, 0, 0), (-90, 1, 0, 0)]


def look_at_face(rotation):
    from OpenGL import GL
    set_view((-1, 1, -1, 1, -1, 1), rotation)
    GL.glEnable(GL.GL_DEPTH_TEST)
    GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)


def expected_pixel(colour):
    return tuple(int(round(c * 255)) for c in colour)


@pytest.mark.parametrize("routine, colours", CUBES)
def test_each_face_shows_its_colour(gl, routine, colours):
    for face, rotation in enumerate(FACE_VIEWS):
        look_at_face(rotation)
        getattr(Pelmora, routine)(1)
        pixels = gl.read_rgba()
        centre = pixels[pixels.shape[0] // 2, pixels.shape[1] // 2]
        for got, want in zip(centre, expected_pixel(colours[face])):
            assert abs(int(got) - want) <= 1, (routine, face, tuple(centre))


@pytest.mark.parametrize("routine, colours", CUBES)
def test_state_after_cube(gl, routine, colours):
    from OpenGL import GL
    depth = GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH)
    getattr(Pelmora, routine)("ignored")
    assert GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH) == depth
    assert list(GL.glGetFloatv(GL.GL_CURRENT_COLOR)) == pytest.approx(colours[5])


@pytest.mark.parametrize("routine, colours", CUBES)
def test_failure_leaves_stack_one_deeper(gl, namespace, routine, colours):
    from OpenGL import GL
    depth = GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH)
    del Pelmora.glRotatef
    with pytest.raises(NameError):
        getattr(Pelmora, routine)(1)
    assert GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH) == depth + 1
    # The face's push copied the matrix current at entry and nothing was applied since.
    assert list(GL.glGetFloatv(GL.GL_MODELVIEW_MATRIX).ravel()) == pytest.approx(
        [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1])
    assert list(GL.glGetFloatv(GL.GL_CURRENT_COLOR)) == pytest.approx(colours[2])
    GL.glPopMatrix()
