"""drawViewVolume: held to its plain-Python twin, pinned facts (lines, operand order and the
argument-error messages, which the twin cannot share), and the volume as a user sees it."""
import pytest

import Pelmora
from recording import (DELETED, PY3, Recorder, assert_every_call_failing, assert_twins,
                       call_with_dict, module_entries, set_view, traced_bounds)

BOUNDS = (-1.0, 1.0, -1.0, 1.0, 1.0, 10.0)
NAMES = ["left", "right", "bottom", "top", "near", "far"]


class Bound(float):
    pass


def built(name):
    """The same text as `name`, but not the interned string."""
    return "".join(list(name))


SCENARIOS = [
    # positional, keywords, bindings
    (BOUNDS, None, []),
    ((-2, 2, -2, 2, 2, 5), None, []),
    ((-1, 1, -1, 1, 1, -10), None, []),
    ((-1, 1, -1, 1, 2.0, 5), None, []),
    ((Bound(-2), Bound(2), Bound(-1), Bound(1), 1.0, 4.0), None, []),
    (lambda log: traced_bounds(BOUNDS, log), None, []),
    (lambda log: traced_bounds((-2, 2, -1, 1, 0.0, 4.0), log), None, []),
    (lambda log: traced_bounds((-2, 2, -1, 1, 3.0, 0.0), log), None, []),
    ((-1.0, 1.0, -1.0, 1.0, 1.0, 0), None, []),
    ((-1.0, 1.0, -1.0, 1.0, 0, 0), None, []),
    ((-1.0, 1.0, -1.0, 1.0, 0, 10.0), None, []),
    ((-1, 1, -1, 1, "near", 10), None, []),
    ((-1, 1, -1, 1, None, 10), None, []),
    ((-1, 1, -1, 1, 1, "far"), None, []),
    ((-1, 1, -1, 1, 10 ** 400, 1.0), None, []),
    ((None, 1, -1, 1, 1, 10), None, []),
    ((), dict(zip(NAMES, BOUNDS)), []),
    (BOUNDS[:2], dict(zip(NAMES[2:], BOUNDS[2:])), []),
    (BOUNDS[:1], dict((built(name), value) for name, value in zip(NAMES[1:], BOUNDS[1:])), []),
] + [(BOUNDS, None, [(name, DELETED)])
     for name in ["glColor4f", "glBegin", "GL_LINES", "glVertex3d", "glVertex4d", "glEnd"]]

# Pinned facts guarding the twin.
PINNED = [
    # bounds, bindings, call that raises, entries (line, routine), calls made, text
    (BOUNDS, [("glColor4f", DELETED)], None, [(49, "drawViewVolume")], 0, "glColor4f"),
    (BOUNDS, [("GL_LINES", DELETED)], None, [(51, "drawViewVolume")], 1, "GL_LINES"),
    (BOUNDS, [], 11, [(67, "drawViewVolume"), "callee"], 11, "glVertex4d"),
    (BOUNDS, [], 22, [(85, "drawViewVolume"), "callee"], 22, "glVertex3d"),
    (BOUNDS, [("glEnd", DELETED)], None, [(92, "drawViewVolume")], 26, "glEnd"),
    ((-1, 1, -1, 1, 0, 10), [], None, [(82, "drawViewVolume")], 19,
     "division by zero" if PY3 else "integer division or modulo by zero"),
    ((-1, 1, -1, 1, None, 10), [], None, [(53, "drawViewVolume")], 2,
     "bad operand type for unary -: 'NoneType'"),
]


@pytest.mark.parametrize("positional, keywords, bindings", SCENARIOS)
def test_matches_the_twin(namespace, positional, keywords, bindings):
    assert_twins("drawViewVolume", positional, keywords, bindings=bindings)


@pytest.mark.parametrize("bounds, bindings, fail_at, entries, calls, text", PINNED)
def test_pinned_failures(namespace, bounds, bindings, fail_at, entries, calls, text):
    seen = assert_twins("drawViewVolume", bounds, fail_at=fail_at, bindings=bindings)
    assert seen[-1][2:] == (text, entries) and len(seen) - 1 == calls


def test_pinned_operands(namespace):
    seen = assert_twins("drawViewVolume", lambda log: traced_bounds(BOUNDS, log))
    ops = [items for name, items in seen if name == "op"]
    assert ops[:2] == [("-", "near"), ("-", "near")]
    assert ops[16:18] == [("-", "near"), ("/", "near", "far", False)]
    assert ops[-5:] == [("/", "far", "near", False), ("*", "(far/near)", "right", False),
                        ("/", "far", "near", False), ("*", "(far/near)", "bottom", False),
                        ("-", "far")]
    assert seen[-2:] == [("glEnd", ()), ("returned", ("NoneType", "None"))]
    assert seen[-3][1][0] == ("traced", "((far/near)*right)", "10.0")
    assert seen[-3][1][2] == ("traced", "-far", "-10.0")
    assert seen[1] == ("glBegin", (("IntConstant", "GL_LINES"),))


@pytest.mark.parametrize("bounds", [BOUNDS, (-2, 2, -1, 1, 3, 7)])
def test_every_call_failing_matches_the_twin(namespace, bounds):
    assert_every_call_failing("drawViewVolume", lambda log: traced_bounds(bounds, log))


class EqualToEverything(str):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return str.__hash__(self)


COUNT = "drawViewVolume() takes exactly 6 positional arguments (%d given)"
MULTIPLE = "drawViewVolume() got multiple values for keyword argument '%s'"
UNEXPECTED = "drawViewVolume() got an unexpected keyword argument '%s'"
STRINGS = "drawViewVolume() keywords must be strings"
SIX = (1, 2, 3, 4, 5, 6)
PARSING_CASES = [
    # positional, keywords (None: no dictionary at all), message
    ((1, 2, 3, 4, 5), None, COUNT % 5),
    ((1, 2, 3, 4, 5, 6, 7), None, COUNT % 7),
    ((1, 2, 3, 4, 5, 6, 7), {"far": 1}, COUNT % 7),
    ((1, 2, 3, 4, 5), {}, COUNT % 5),
    ((), {}, COUNT % 0),
    ((1, 2, 3), {"far": 6}, COUNT % 3),
    ((1, 2), {"bottom": 3, "near": 5, "far": 6}, COUNT % 3),
    ((1,), {"top": 4, "near": 5, "far": 6}, COUNT % 1),
    ((), {"right": 2, "bottom": 3, "top": 4, "near": 5, "far": 6}, COUNT % 0),
    ((1, 2, 3, 4, 5), {"depth": 6}, COUNT % 5),
    ((1, 2, 3, 4, 5), {1: 6}, COUNT % 5),
    (SIX, {"left": 1}, MULTIPLE % "left"),
    (SIX, {built("near"): 1}, MULTIPLE % "near"),
    (SIX, {"depth": 1}, UNEXPECTED % "depth"),
    (SIX, {1: 1}, STRINGS),
    (SIX, {b"far" if PY3 else u"far": 1}, STRINGS),
    (SIX, {EqualToEverything("top"): 1}, MULTIPLE % "top"),
    (SIX, {EqualToEverything("xyz"): 1}, UNEXPECTED % "xyz"),
    (SIX[:5], dict([(built("far"), 6), ("x", 1)]), UNEXPECTED % "x"),
    (SIX[:4], dict([(built("far"), 6), (built("near"), 5), (built("top"), 1)]),
     MULTIPLE % "top"),
]


@pytest.mark.parametrize("positional, keywords, message", PARSING_CASES)
def test_argument_errors(namespace, positional, keywords, message):
    recorder = Recorder()
    with pytest.raises(TypeError) as excinfo:
        if keywords is None:
            Pelmora.drawViewVolume(*positional)
        else:
            call_with_dict(Pelmora.drawViewVolume, positional, keywords)
    assert str(excinfo.value) == message
    assert [line for line, _ in module_entries(excinfo)] == [43]
    assert recorder.calls == []


@pytest.mark.skipif(PY3, reason="Python 2.7: unicode keywords beside byte-string names")
def test_unicode_keys_match_until_the_walk_runs(namespace):
    recorder = Recorder()
    unicode_names = dict((type(u"")(name), value) for name, value in zip(NAMES, BOUNDS))
    call_with_dict(Pelmora.drawViewVolume, (), unicode_names)
    assert len(recorder.calls) == 27
    with_stray = dict(unicode_names, x=1)
    with pytest.raises(TypeError) as excinfo:
        call_with_dict(Pelmora.drawViewVolume, (), with_stray)
    # The walk stops at the first offending key in the dictionary's own order.
    first = list(with_stray)[0]
    assert str(excinfo.value) == (STRINGS if type(first) is type(u"") else UNEXPECTED % "x")


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
