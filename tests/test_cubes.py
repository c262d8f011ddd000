import pytest

import Pelmora
from recording import (Recorder, failure_line, module_entries, namespace,  # noqa: F401
                       set_view, types_of)

CUBE_NAMES = ["glColor4f", "glPushMatrix", "glRotatef", "glTranslatef", "drawSquare",
              "glPopMatrix"]
GRAYS = [(level, level, level, 1.0) for level in (0.3, 0.4, 0.5, 0.6, 0.7, 0.8)]
COLOURS = [(1.0, 0.0, 0.0, 1.0), (0.5, 0.5, 0.0, 1.0), (0.5, 0.5, 0.5, 1.0),
           (0.0, 0.5, 0.5, 1.0), (0.5, 0.0, 0.5, 1.0), (0.5, 0.0, 0.0, 1.0)]
CUBES = [
    # routine, colours, first line of faces 1..6
    ("drawGrayCube", GRAYS, [105, 111, 117, 124, 132, 139]),
    ("drawColoredCube", COLOURS, [151, 157, 163, 170, 178, 185]),
]
ROTATIONS = [(90, 0, 1, 0), (90, 0, 1, 0), (90, 1, 0, 0), (-90, 1, 0, 0)]
OFFSETS = [0.5, -0.5, -0.5, 0.5, -0.5, -0.5]


def face_calls(colour, rotation, offset):
    calls = [("glColor4f", colour), ("glPushMatrix", ())]
    if rotation is not None:
        calls.append(("glRotatef", rotation))
    calls += [("glTranslatef", (0, 0, offset)), ("drawSquare", (1,)), ("glPopMatrix", ())]
    return calls


@pytest.mark.parametrize("routine, colours, lines", CUBES)
@pytest.mark.parametrize("size", [2, 2.0, 0, -3, None, "big"])
def test_call_sequence_ignores_size(namespace, routine, colours, lines, size):
    recorder = Recorder(CUBE_NAMES)
    assert getattr(Pelmora, routine)(size) is None
    expected = []
    rotations = [None, None] + ROTATIONS
    for face in range(6):
        expected += face_calls(colours[face], rotations[face], OFFSETS[face])
    assert recorder.calls == expected
    for args in recorder.args_of("glColor4f"):
        assert types_of(args) == (float,) * 4
    for args in recorder.args_of("glTranslatef"):
        assert types_of(args) == (int, int, float)
    for args in recorder.args_of("glRotatef") + recorder.args_of("drawSquare"):
        assert all(type(item) is int for item in args)


def test_each_call_site_passes_its_own_tuple(namespace):
    # An exception class keeps the tuple it was called with as `args`.
    import ctypes
    seen = []

    class Keep(Exception):
        def __init__(self, *args):
            seen.append(self.args)
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    probe = (1,)
    call(Keep, probe, None)
    if seen.pop() is not probe:
        pytest.skip("this interpreter copies the argument tuple of a class call")
    Recorder([name for name in CUBE_NAMES if name not in ("drawSquare", "glRotatef")])
    Pelmora.drawSquare = Pelmora.glRotatef = Keep
    Pelmora.drawGrayCube(1)
    Pelmora.drawColoredCube(1)
    first = list(seen)
    del seen[:]
    Pelmora.drawGrayCube(1)
    Pelmora.drawColoredCube(1)
    assert all(again is before for again, before in zip(seen, first))
    assert len(set(id(args) for args in first)) == 20


@pytest.mark.parametrize("routine, colours, lines", CUBES)
@pytest.mark.parametrize("missing, face, row, squares_drawn", [
    ("drawSquare", 0, 3, 0),  # after face 1's colour, push and translation
    ("glRotatef", 2, 2, 2),   # after faces 1 and 2, then face 3's colour and push
])
def test_unbound_name(namespace, routine, colours, lines, missing, face, row, squares_drawn):
    recorder = Recorder([name for name in CUBE_NAMES if name != missing])
    delattr(Pelmora, missing)
    with pytest.raises(NameError) as excinfo:
        getattr(Pelmora, routine)(1)
    assert failure_line(excinfo, routine) == lines[face] + row
    names = recorder.names()
    assert names.count("drawSquare") == squares_drawn
    # The failing face's push has no pop: the stack is left one level deeper.
    unpopped = names[len(names) - names[::-1].index("glPushMatrix") - 1:]
    assert unpopped == ["glPushMatrix", "glTranslatef"][:row - 1]


@pytest.mark.parametrize("routine, colours, lines", CUBES)
def test_raising_square_sits_below_the_cube_entry(namespace, routine, colours, lines):
    def drawSquare(size):
        raise ValueError("no square today")
    Recorder([name for name in CUBE_NAMES if name != "drawSquare"])
    Pelmora.drawSquare = drawSquare
    with pytest.raises(ValueError) as excinfo:
        getattr(Pelmora, routine)(1)
    assert failure_line(excinfo, routine) == lines[0] + 3
    names = [entry[2] for entry in __import__("traceback").extract_tb(excinfo.tb)]
    assert names[-1] == "drawSquare"
    assert names[-2].startswith("Pelmora.%s (" % routine)


def test_nested_square_failure_gives_two_entries(namespace):
    Recorder([name for name in CUBE_NAMES if name != "drawSquare"] + ["glBegin", "glEnd"])
    del Pelmora.glVertex3f
    with pytest.raises(NameError) as excinfo:
        Pelmora.drawColoredCube(1)
    entries = module_entries(excinfo)
    assert [line for line, _ in entries] == [154, 96]
    assert entries[0][1].startswith("Pelmora.drawColoredCube (")
    assert entries[1][1].startswith("Pelmora.drawSquare (")


def test_rebinding_mid_cube_takes_effect_next_row(namespace):
    recorder = Recorder(CUBE_NAMES)
    replacement = []

    def switch(*args):
        recorder.calls.append(("glTranslatef", args))
        Pelmora.glPopMatrix = lambda: replacement.append("pop")
    Pelmora.glTranslatef = switch
    Pelmora.drawGrayCube(1)
    assert recorder.names().count("glPopMatrix") == 0
    assert replacement == ["pop"] * 6


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


@pytest.mark.parametrize("routine, colours, lines", CUBES)
def test_each_face_shows_its_colour(gl, routine, colours, lines):
    for face, rotation in enumerate(FACE_VIEWS):
        look_at_face(rotation)
        getattr(Pelmora, routine)(1)
        pixels = gl.read_rgba()
        centre = pixels[pixels.shape[0] // 2, pixels.shape[1] // 2]
        for got, want in zip(centre, expected_pixel(colours[face])):
            assert abs(int(got) - want) <= 1, (routine, face, tuple(centre))


@pytest.mark.parametrize("routine, colours, lines", CUBES)
def test_state_after_cube(gl, routine, colours, lines):
    from OpenGL import GL
    depth = GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH)
    getattr(Pelmora, routine)("ignored")
    assert GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH) == depth
    assert list(GL.glGetFloatv(GL.GL_CURRENT_COLOR)) == pytest.approx(colours[5])


@pytest.mark.parametrize("routine, colours, lines", CUBES)
def test_failure_leaves_stack_one_deeper(gl, namespace, routine, colours, lines):
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
