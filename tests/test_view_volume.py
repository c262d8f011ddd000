import ctypes
import sys

import pytest

import Pelmora
from recording import Recorder, failure_line, namespace, set_view, types_of  # noqa: F401

VOLUME_NAMES = ["glColor4f", "glBegin", "glVertex3d", "glVertex4d", "glEnd"]
BOUNDS = (-1.0, 1.0, -1.0, 1.0, 1.0, 10.0)
PY3 = sys.version_info[0] >= 3


def expected_calls(left, right, bottom, top, near, far, lines):
    # `/` here is this interpreter's own division, as in the module: true division
    # on Python 3, classic division on Python 2.7.
    def scaled(x):
        return (far / near) * x
    w = near / far
    near_rectangle = [(right, top), (left, top), (right, bottom), (left, bottom),
                      (right, bottom), (right, top), (left, bottom), (left, top)]
    calls = [("glColor4f", (1.0, 1.0, 1.0, 1.0)), ("glBegin", (lines,))]
    calls += [("glVertex3d", (x, y, -near)) for x, y in near_rectangle]
    calls += [("glVertex4d", (x, y, -near, w)) for x, y in near_rectangle]
    for x, y in [(left, top), (right, top), (left, bottom), (right, bottom)]:
        calls += [("glVertex3d", (x, y, -near)), ("glVertex3d", (scaled(x), scaled(y), -far))]
    return calls + [("glEnd", ())]


# Expected values use this interpreter's own `/`: true division on Python 3, classic
# (floored for integers) on 2.7, where (-2, 2, -2, 2, 2, 5) ends the side edges at +-4.
@pytest.mark.parametrize("bounds", [
    BOUNDS,
    (-2, 2, -2, 2, 2, 5),
    (-1, 1, -1, 1, 1, -10),
    (-1, 1, -1, 1, 2.0, 5),
])
def test_call_sequence(namespace, bounds):
    recorder = Recorder(VOLUME_NAMES)
    assert Pelmora.drawViewVolume(*bounds) is None
    calls = expected_calls(*bounds, lines=Pelmora.GL_LINES)
    assert recorder.calls == calls
    for (_, got), (_, want) in zip(recorder.calls, calls):
        assert types_of(got) == types_of(want)


def test_vertices_carry_the_callers_objects(namespace):
    class Bound(float):
        pass
    left, right, bottom, top = Bound(-2), Bound(2), Bound(-1), Bound(1)
    recorder = Recorder(VOLUME_NAMES)
    Pelmora.drawViewVolume(left, right, bottom, top, 1.0, 4.0)
    corners = [(right, top), (left, top), (right, bottom), (left, bottom),
               (right, bottom), (right, top), (left, bottom), (left, top)]
    homogeneous = recorder.args_of("glVertex4d")
    assert len(homogeneous) == 8
    for args, (x, y) in zip(homogeneous, corners):
        assert args[0] is x and args[1] is y


def test_keyword_and_mixed_calls_issue_the_same(namespace):
    recorder = Recorder(VOLUME_NAMES)
    Pelmora.drawViewVolume(*BOUNDS)
    positional = list(recorder.calls)
    names = ["left", "right", "bottom", "top", "near", "far"]
    for given in range(7):
        keywords = dict(zip(names[given:], BOUNDS[given:]))
        del recorder.calls[:]
        Pelmora.drawViewVolume(*BOUNDS[:given], **keywords)
        assert recorder.calls == positional
    del recorder.calls[:]
    Pelmora.drawViewVolume(far=10.0, near=1.0, top=1.0, bottom=-1.0, right=1.0, left=-1.0)
    assert recorder.calls == positional


def call_with_dict(function, args, kwargs):
    """Calls through the C API, so keys the interpreter would refuse reach the routine."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, tuple(args), kwargs)


class EqualToEverything(str):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return str.__hash__(self)


COUNT = "drawViewVolume() takes exactly 6 positional arguments (%d given)"
TEXT_TYPE = type(u"")
PARSING_CASES = [
    # positional, keywords, message
    ((1, 2, 3, 4, 5), None, COUNT % 5),
    ((1, 2, 3, 4, 5, 6, 7), None, COUNT % 7),
    ((1, 2, 3, 4, 5, 6, 7), {"far": 1}, COUNT % 7),
    ((1, 2, 3, 4, 5), {}, COUNT % 5),
    ((1, 2), {"bottom": 3, "near": 5, "far": 6}, COUNT % 3),
    ((), {"right": 2, "bottom": 3, "top": 4, "near": 5, "far": 6}, COUNT % 0),
    ((1, 2, 3, 4, 5), {"depth": 6}, COUNT % 5),
    ((1, 2, 3, 4, 5), {1: 6}, COUNT % 5),
    ((1, 2, 3, 4, 5, 6), {"left": 1}, "drawViewVolume() got multiple values for keyword argument 'left'"),
    ((1, 2, 3, 4, 5, 6), {"depth": 1}, "drawViewVolume() got an unexpected keyword argument 'depth'"),
    ((1, 2, 3, 4, 5, 6), {1: 1}, "drawViewVolume() keywords must be strings"),
    ((1, 2, 3, 4, 5, 6), {b"far" if PY3 else u"far": 1}, "drawViewVolume() keywords must be strings"),
    ((1, 2, 3, 4, 5, 6), {EqualToEverything("top"): 1},
     "drawViewVolume() got multiple values for keyword argument 'top'"),
    ((1, 2, 3, 4, 5, 6), {EqualToEverything("xyz"): 1},
     "drawViewVolume() got an unexpected keyword argument 'xyz'"),
]


@pytest.mark.parametrize("positional, keywords, message", PARSING_CASES)
def test_argument_errors(namespace, positional, keywords, message):
    recorder = Recorder(VOLUME_NAMES)
    with pytest.raises(TypeError) as excinfo:
        if keywords is None:
            Pelmora.drawViewVolume(*positional)
        else:
            call_with_dict(Pelmora.drawViewVolume, positional, keywords)
    assert str(excinfo.value) == message
    assert failure_line(excinfo, "drawViewVolume") == 43
    assert recorder.calls == []


NAMES = ["left", "right", "bottom", "top", "near", "far"]


def test_keys_built_at_run_time_match_by_content(namespace):
    recorder = Recorder(VOLUME_NAMES)
    built = dict(("".join(list(name)), value) for name, value in zip(NAMES, BOUNDS))
    del built["left"]
    call_with_dict(Pelmora.drawViewVolume, BOUNDS[:1], built)
    assert recorder.calls == expected_calls(*BOUNDS, lines=Pelmora.GL_LINES)


@pytest.mark.skipif(PY3, reason="Python 2.7: unicode keywords beside byte-string names")
def test_unicode_keys_match_until_the_walk_runs(namespace):
    recorder = Recorder(VOLUME_NAMES)
    unicode_names = dict((TEXT_TYPE(name), value) for name, value in zip(NAMES, BOUNDS))
    call_with_dict(Pelmora.drawViewVolume, (), unicode_names)
    assert len(recorder.calls) == 27
    with_stray = dict(unicode_names, x=1)
    with pytest.raises(TypeError) as excinfo:
        call_with_dict(Pelmora.drawViewVolume, (), with_stray)
    # The walk stops at the first offending key in the dictionary's own order.
    first = list(with_stray)[0]
    expected = ("drawViewVolume() keywords must be strings" if type(first) is TEXT_TYPE
                else "drawViewVolume() got an unexpected keyword argument 'x'")
    assert str(excinfo.value) == expected


@pytest.mark.parametrize("bounds, error, line, vertices", [
    ((-1.0, 1.0, -1.0, 1.0, 1.0, 0), ZeroDivisionError, 67, 8),
    ((-1.0, 1.0, -1.0, 1.0, 0, 0), ZeroDivisionError, 67, 8),
    ((-1.0, 1.0, -1.0, 1.0, 0, 10.0), ZeroDivisionError, 82, 17),
    ((-1, 1, -1, 1, "near", 10), TypeError, 53, 0),
    ((-1, 1, -1, 1, None, 10), TypeError, 53, 0),
    ((-1, 1, -1, 1, 1, "far"), TypeError, 67, 8),
    ((-1, 1, -1, 1, 10 ** 400, 1.0), OverflowError, 67, 8),
    ((None, 1, -1, 1, 1, 10), TypeError, 82, 17),
])
def test_arithmetic_failures(namespace, bounds, error, line, vertices):
    recorder = Recorder(VOLUME_NAMES)
    with pytest.raises(error) as excinfo:
        Pelmora.drawViewVolume(*bounds)
    assert failure_line(excinfo, "drawViewVolume") == line
    issued = recorder.names()
    assert issued[:2] == ["glColor4f", "glBegin"]
    assert len(issued) - 2 == vertices
    assert "glEnd" not in issued


@pytest.mark.parametrize("missing, line, calls_before", [
    ("glColor4f", 49, 0),
    ("GL_LINES", 51, 1),
    ("glVertex3d", 53, 2),
    ("glVertex4d", 67, 10),
    ("glEnd", 92, 26),
])
def test_unbound_name(namespace, missing, line, calls_before):
    recorder = Recorder([name for name in VOLUME_NAMES if name != missing])
    delattr(Pelmora, missing)
    with pytest.raises(NameError) as excinfo:
        Pelmora.drawViewVolume(*BOUNDS)
    assert failure_line(excinfo, "drawViewVolume") == line
    assert len(recorder.calls) == calls_before


# --- real OpenGL -------------------------------------------------------------

def test_frustum_seen_from_above(gl):
    """Looked at from +y, the volume is a trapezoid: near edge at z=-1, far at z=-10."""
    from OpenGL import GL
    from OpenGL.error import GLError
    # Turned (x, y, z) -> (x, -z, y): depth runs up the screen.
    set_view((-12, 12, -12, 12, -100, 100), (90, 1, 0, 0))
    Pelmora.drawViewVolume(*BOUNDS)
    assert list(GL.glGetFloatv(GL.GL_CURRENT_COLOR)) == [1.0, 1.0, 1.0, 1.0]
    with pytest.raises(GLError):
        GL.glEnd()  # the routine closed its pair: no pair is open

    pixels = gl.read_rgba()
    size = pixels.shape[0]

    def white_near(x, y):
        column = int(round((x + 12) / 24.0 * size))
        row = int(round((12 - y) / 24.0 * size))
        patch = pixels[max(row - 1, 0):row + 2, max(column - 1, 0):column + 2, :3]
        return bool((patch == 255).all(axis=2).any())

    for point in [(0, 1), (0, 10), (5.5, 5.5), (-5.5, 5.5), (9, 10), (-9, 10), (0.8, 1)]:
        assert white_near(*point), point
    for point in [(0, 5), (0, -5), (0, 11.5), (6, 2), (-6, 2), (0, -0.5)]:
        assert not white_near(*point), point
