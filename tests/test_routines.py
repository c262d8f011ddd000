"""The five routines held to their plain-Python twin with the caches on and off, a few pinned
rows per routine that guard the twin itself, argument parsing, and the pictures in real GL."""
import sys
from fractions import Fraction

import pytest

import Pelmora
from pelmora_tools.names import PARAMETERS
from recording import (DELETED, GL_CALLEES, GL_CONSTANTS, PY3, ROUTINES, Recorder,
                       assert_twins, call_with_dict, module_entries, observe, run, traced)

NAMES = PARAMETERS
# Floats made at run time: a free-threaded build shares equal float constants between code
# objects, which would make the twin's literals the caller's own argument objects.
BOUNDS = tuple(float(v) for v in (-1, 1, -1, 1, 1, 10))
BIG, HUGE, INF, NAN, ZERO = 2 ** 60 + 1, 10 ** 400, float("inf"), float("nan"), float(0)
ARGS = {"drawSquare": (1,), "drawGrayCube": (1,), "drawColoredCube": (1,),
        "draw3DCoordinateAxes": (), "drawViewVolume": BOUNDS}


def tracing(*values):
    """Arguments made afresh for each twin, each traced under its parameter's name."""
    labels = NAMES if len(values) == 6 else ["size"]
    return lambda log: [traced(v, label, log) for v, label in zip(values, labels)]


def built(name):
    """The same text as `name`, but not the interned string."""
    return "".join(list(name))


CALLS = [("drawSquare", (v,), None) for v in [
    1, -2, 0, float("2.5"), -ZERO, INF, NAN, BIG, HUGE, True, Fraction(1, 3), 1j, "x", None]] + [
    ("drawSquare", tracing(float(4)), None), ("drawSquare", tracing(3), None),
    ("drawGrayCube", (2,), None), ("drawColoredCube", ("big",), None),
    ("draw3DCoordinateAxes", (), None)] + [("drawViewVolume", (1, 2, 3, 4) + near_far, None)
                                           for near_far in [
    (1, 10), (3, 7), (float(2), 5), (ZERO, float(3)), (0, 3), (float(2), 0), (2, ZERO),
    (1, -ZERO), (3, 2 ** 53), (3, 2 ** 53 + 1), (-3, -2 ** 53 - 1), (BIG, 3), (BIG, BIG + 2),
    (HUGE, 1), (float(1), HUGE), (INF, float(2)), (float(2), INF), (NAN, 1), (True, 2),
    (Fraction(1, 3), 2), (2, 3 + 0j), ("near", 5), (1, "far")]] + [
    ("drawViewVolume", BOUNDS, None), ("drawViewVolume", (None, 1, 2, 3, 4, 5), None),
    ("drawViewVolume", tracing(*BOUNDS), None),
    ("drawViewVolume", tracing(-2, 2, -1, 1, 3, 7), None),
    ("drawViewVolume", tracing(-2, 2, -1, 1, ZERO, 4), None),
    ("drawViewVolume", tracing(-2, 2, -1, 1, float(3), 0), None),
    ("drawViewVolume", (), dict(zip(NAMES, BOUNDS))),
    ("drawViewVolume", BOUNDS[:2], dict(zip(NAMES[2:], BOUNDS[2:]))),
    ("drawViewVolume", BOUNDS[:1], dict((built(n), v) for n, v in zip(NAMES[1:], BOUNDS[1:])))]


def check_calls_match_the_twin():
    for instance in (False, True):
        for routine, args, kwargs in CALLS:
            assert_twins(routine, args, kwargs, instance=instance)


def check_failures_match_the_twin():
    """Every name deleted, every call raising in turn, a callee that rebinds the next one."""
    for routine in ROUTINES:
        for name in GL_CALLEES + GL_CONSTANTS + (("drawSquare",) if "Cube" in routine else ()):
            assert_twins(routine, ARGS[routine], bindings=[(name, DELETED)])
        assert_twins(routine, ARGS[routine], bindings=lambda module: [
            (name, lambda *args: setattr(module, "glEnd", len)) for name in GL_CALLEES[2:]])
        for fail_at in range(1, len(observe(Pelmora, routine, ARGS[routine]))):
            assert_twins(routine, ARGS[routine], fail_at=fail_at)


CHECKS = [check_calls_match_the_twin, check_failures_match_the_twin]  # test_engine runs them
# once more without the caches


@pytest.mark.parametrize("check", CHECKS)
def test_cached(check):
    check()


@pytest.mark.parametrize("routine, args, deleted, fail_at, calls, text, entries", [
    # routine, args, name deleted, call that raises, calls made, message, entries as
    # (line, routine, callee of the statement), "callee" for the recording callee's
    ("drawSquare", (1,), "glBegin", None, 0, "glBegin", [(95, "drawSquare", "glBegin")]),
    ("drawSquare", (1,), None, 6, 6, "glEnd", [(100, "drawSquare", "glEnd"), "callee"]),
    ("drawSquare", (None,), None, None, 1, "unsupported operand type(s) for *: 'float' and "
     "'NoneType'", [(96, "drawSquare", "glVertex3f")]),
    ("drawGrayCube", (1,), None, 64, 64, "glPopMatrix", [(144, "drawGrayCube", "glPopMatrix"),
                                                          "callee"]),
    ("drawColoredCube", (1,), "glRotatef", None, 22, "glRotatef",
     [(165, "drawColoredCube", "glRotatef")]),
    ("drawColoredCube", (1,), "glVertex3f", None, 4, "glVertex3f",
     [(154, "drawColoredCube", "drawSquare"), (96, "drawSquare", "glVertex3f")]),
    ("draw3DCoordinateAxes", (), "GL_LINES", None, 0, "GL_LINES",
     [(28, "draw3DCoordinateAxes", "glBegin")]),
    ("drawViewVolume", BOUNDS, None, 11, 11, "glVertex4d",
     [(67, "drawViewVolume", "glVertex4d"), "callee"]),
    ("drawViewVolume", (-1, 1, -1, 1, 0, 10), None, None, 19,
     "division by zero" if PY3 else "integer division or modulo by zero",
     [(82, "drawViewVolume", "glVertex3d")]),
    ("drawViewVolume", (-1, 1, -1, 1, None, 10), None, None, 2,
     "bad operand type for unary -: 'NoneType'", [(53, "drawViewVolume", "glVertex3d")]),
])
def test_pinned_failures(routine, args, deleted, fail_at, calls, text, entries):
    seen = assert_twins(routine, args, fail_at=fail_at, bindings=[(deleted, DELETED)])
    assert seen[-1][2:] == (text, entries) and len(seen) - 1 == calls


def values(seen, name):
    return [tuple(float(v) for _, v in args) for called, args in seen if called == name]


def test_pinned_calls():
    red, green, blue, origin = (1, 0, 0), (0, 1, 0), (0, 0, 1), (0, 0, 0)
    seen = assert_twins("draw3DCoordinateAxes")
    assert seen[0] == ("glBegin", (("IntConstant", "GL_LINES"),))
    assert values(seen, "glColor4f") == [red + (1,), green + (1,), blue + (1,)]
    assert values(seen, "glVertex3f") == [origin, red, origin, green, origin, blue]
    seen = assert_twins("drawSquare", (4,))
    assert seen[0] == ("glBegin", (("IntConstant", "GL_QUADS"),)) and seen[1][1][2] == ("int", "0")
    assert values(seen, "glVertex3f") == [(-2, -2, 0), (2, -2, 0), (2, 2, 0), (-2, 2, 0)]
    for routine, colours in CUBES:
        seen = assert_twins(routine, ("ignored",))
        assert values(seen, "glColor4f") == [colour + (1,) for colour in colours]
        assert values(seen, "glRotatef") == [(90, 0, 1, 0)] * 2 + [(90, 1, 0, 0), (-90, 1, 0, 0)]
        assert [z for _, _, z in values(seen, "glTranslatef")] == [.5, -.5, -.5, .5, -.5, -.5]
    ops = [items for name, items in assert_twins("drawViewVolume", tracing(*BOUNDS))
           if name == "op"]
    assert ops[:2] + ops[16:18] == [("-", "near")] * 3 + [("/", "near", "far", False)]
    assert ops[-5:] == [("/", "far", "near", False), ("*", "(far/near)", "right", False),
                        ("/", "far", "near", False), ("*", "(far/near)", "bottom", False),
                        ("-", "far")]


class EqualToEverything(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


COUNT = "drawViewVolume() takes exactly 6 positional arguments (%d given)"
MULTIPLE = "drawViewVolume() got multiple values for keyword argument '%s'"
UNEXPECTED = "drawViewVolume() got an unexpected keyword argument '%s'"
SIX = (1, 2, 3, 4, 5, 6)


@pytest.mark.parametrize("positional, keywords, message", [
    ((1, 2, 3, 4, 5), None, COUNT % 5), ((1, 2, 3, 4, 5, 6, 7), {"far": 1}, COUNT % 7),
    ((), {}, COUNT % 0), ((1, 2, 3), {"far": 6}, COUNT % 3),
    ((1, 2), {"bottom": 3, "near": 5, "far": 6}, COUNT % 3),
    ((1,), {"top": 4, "near": 5, "far": 6}, COUNT % 1), ((1, 2, 3, 4, 5), {"depth": 6}, COUNT % 5),
    (SIX, {"left": 1}, MULTIPLE % "left"), (SIX, {built("near"): 1}, MULTIPLE % "near"),
    (SIX, {"depth": 1}, UNEXPECTED % "depth"),
    (SIX, {EqualToEverything("xyz"): 1}, UNEXPECTED % "xyz"),
    (SIX, {1: 1}, "drawViewVolume() keywords must be strings"),
    (SIX, {b"far" if PY3 else u"far": 1}, "drawViewVolume() keywords must be strings"),
    (SIX, {EqualToEverything("top"): 1}, MULTIPLE % "top"),
    (SIX[:5], dict([(built("far"), 6), ("x", 1)]), UNEXPECTED % "x"),
    (SIX[:4], dict([(built("far"), 6), (built("near"), 5), (built("top"), 1)]), MULTIPLE % "top"),
])
def test_argument_errors(namespace, positional, keywords, message):
    recorder = Recorder(Pelmora)
    with pytest.raises(TypeError) as excinfo:
        call_with_dict(Pelmora.drawViewVolume, positional, keywords)
    assert str(excinfo.value) == message and [n for n, _ in module_entries(excinfo)] == [43]
    assert recorder.calls == []


@pytest.mark.parametrize("routine, args, kwargs", [
    ("drawSquare", (), {}), ("drawSquare", (1, 2), {}), ("drawSquare", (), {"size": 1}),
    ("drawGrayCube", (), {}), ("drawColoredCube", (1, 2), {}),
    ("draw3DCoordinateAxes", (1,), {}), ("draw3DCoordinateAxes", (), {"x": 1}),
])
def test_interpreter_refuses_other_call_shapes(namespace, routine, args, kwargs):
    recorder = Recorder(Pelmora)
    with pytest.raises(TypeError) as excinfo:
        getattr(Pelmora, routine)(*args, **kwargs)
    assert module_entries(excinfo) == [] and recorder.calls == []


@pytest.mark.skipif(PY3, reason="classic division and -Qwarnall are Python 2's")
def test_float_division_warns_under_qwarnall():
    status, out, err = run([sys.executable, "-Qwarnall", "-c", "import warnings\n"
                            "from recording import assert_twins\nwarnings.simplefilter('error')\n"
                            "print(assert_twins('drawViewVolume', %r)[-1][:3])" % (BOUNDS,)])
    assert (status, out.strip()) == (
        0, "('raised', 'DeprecationWarning', 'classic float division')"), err


# --- real OpenGL -----------------------------------------------------------------------------

CUBES = [("drawGrayCube", [(g, g, g) for g in (.3, .4, .5, .6, .7, .8)]),
         ("drawColoredCube", [(1, 0, 0), (.5, .5, 0), (.5, .5, .5), (0, .5, .5), (.5, 0, .5),
                              (.5, 0, 0)])]


def view(ortho, *rotation):
    from OpenGL import GL
    GL.glMatrixMode(GL.GL_PROJECTION)
    GL.glLoadIdentity()
    GL.glOrtho(*ortho)
    GL.glMatrixMode(GL.GL_MODELVIEW)
    GL.glLoadIdentity()
    GL.glRotatef(*rotation)
    GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)


def colour_now():
    from OpenGL import GL
    return [round(float(c), 3) for c in GL.glGetFloatv(GL.GL_CURRENT_COLOR)]


@pytest.mark.parametrize("routine, colours", CUBES)
def test_each_cube_face_shows_its_colour(gl, routine, colours):
    from OpenGL import GL
    GL.glEnable(GL.GL_DEPTH_TEST)
    # Rotations that turn the +z, -z, -x, +x, +y and -y faces towards the viewer.
    for colour, rotation in zip(colours, [(0, 0, 1, 0), (180, 0, 1, 0), (90, 0, 1, 0),
                                          (-90, 0, 1, 0), (90, 1, 0, 0), (-90, 1, 0, 0)]):
        view((-1, 1, -1, 1, -1, 1), *rotation)
        getattr(Pelmora, routine)(1)
        centre = gl.read_rgba()[32, 32, :3]
        assert max(abs(int(got) - round(c * 255)) for got, c in zip(centre, colour)) <= 1
        assert GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH) == 1
        assert colour_now() == list(colours[5]) + [1]


def test_square_covers_its_middle_and_closes_its_pair(gl):
    from OpenGL import GL
    GL.glColor4f(0.0, 1.0, 0.0, 1.0)
    Pelmora.drawSquare(1.0)  # side 1 in a view spanning -1..1: the middle half
    green = gl.read_rgba()[..., 1] == 255
    assert green[17:47, 17:47].all() and not green[:15].any() and not green[:, 49:].any()
    with pytest.raises(GL.GLError):
        GL.glEnd()  # no pair is open
    with pytest.raises(TypeError):
        Pelmora.drawSquare(None)
    GL.glEnd()  # closes the pair the failed call left open
    assert GL.glGetError() == GL.GL_NO_ERROR


def test_axes_point_along_positive_directions(gl):
    for rotation, rgb, horizontal in [((0, 0, 1, 0), (255, 0, 0), True),
                                      ((0, 0, 1, 0), (0, 255, 0), False),
                                      ((90, 0, 1, 0), (0, 0, 255), True)]:  # z turned right
        view((-1.25, 1.25, -1.25, 1.25, -2, 2), *rotation)
        Pelmora.draw3DCoordinateAxes()
        rows, columns = (gl.read_rgba()[..., :3] == rgb).all(axis=2).nonzero()
        along, across = (columns, rows) if horizontal else (63 - rows, columns)
        assert len(along) > 16 and along.min() >= 31 and abs(across - 31.5).max() <= 1.5
    assert colour_now() == [0, 0, 1, 1]


def test_view_volume_seen_from_above(gl):
    """From +y the volume is a trapezoid: near edge at z=-1, far edge at z=-10."""
    view((-12, 12, -12, 12, -100, 100), 90, 1, 0, 0)  # depth runs up the screen
    Pelmora.drawViewVolume(*BOUNDS)
    white = (gl.read_rgba()[..., :3] == 255).all(axis=2)

    def white_near(x, y):
        column, row = int(round((x + 12) / 24.0 * 64)), int(round((12 - y) / 24.0 * 64))
        return white[max(row - 1, 0):row + 2, max(column - 1, 0):column + 2].any()
    for point in [(0, 1), (0, 10), (5.5, 5.5), (-5.5, 5.5), (9, 10), (-9, 10), (0.8, 1)]:
        assert white_near(*point), point
    for point in [(0, 5), (0, -5), (0, 11.5), (6, 2), (-6, 2), (0, -0.5)]:
        assert not white_near(*point), point
    assert colour_now() == [1, 1, 1, 1]
