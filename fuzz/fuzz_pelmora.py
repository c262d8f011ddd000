"""Property-based fuzzing of the Pelmora routines: hostile arguments, keyword dictionaries and
callees, routines re-entered from callees, and names rebound or deleted while a routine runs.

Every OpenGL name the routines call is bound to a Python stand-in, so no context is needed.
Each example is a plain description (printed by hypothesis when it fails) from which the
namespace and the call are built. After the call:
  - a routine that ran returned None or raised one exception, never SystemError;
  - its traceback holds, right below the caller, one entry of the module naming that routine
    at one of its lines; entries of the module follow one another only below a call of a
    name that was bound to a routine; nothing follows an argument error;
  - with the namespace restored, every routine issues exactly the calls it issued before.

    python fuzz/fuzz_pelmora.py [--examples N] [--seconds S] [--seed N] [--trace]

Stops after N examples or S seconds, whichever comes first, prints a summary line and exits
0; a failed check exits 1 with the falsifying example. Runs on Python 2.7 and 3.
"""
from __future__ import print_function

import argparse
import collections
import ctypes
import os
import re
import sys
import time
import traceback

from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

try:
    import builtins
except ImportError:  # Python 2.7
    import __builtin__ as builtins

PY2 = sys.version_info[0] < 3
GL_CALLEES = ("glBegin", "glEnd", "glVertex3f", "glVertex3d", "glVertex4d", "glColor4f",
              "glPushMatrix", "glPopMatrix", "glTranslatef", "glRotatef")
CONSTANTS = ("GL_QUADS", "GL_LINES")
ROUTINES = ("drawSquare", "drawGrayCube", "drawColoredCube", "draw3DCoordinateAxes",
            "drawViewVolume")
NAMES = GL_CALLEES + CONSTANTS + ROUTINES
PARAMETERS = ("left", "right", "bottom", "top", "near", "far")
BOUNDS = (-1.0, 1.0, -1.0, 1.0, 1.0, 10.0)
ARGUMENT_LINE = 43
MAX_DEPTH = 3
# Re-entries per example: a routine bound to a name it calls recurses in C to the recursion
# limit, and callees that re-enter at every level would multiply that without end.
MAX_REENTRIES = 20
ENTRY = re.compile(r"^Pelmora\.(\w+) \([\w/.]+:([1-9][0-9]*)\)$")

Pelmora = None  # imported by main(), once the OpenGL platform is chosen
ORIGINAL = {}   # the module's own bindings of NAMES
CALLEES = {}    # (routine, line) -> the name that row calls
LINES = {}      # routine -> every line its entries may report
BASELINE = None
PY_CALL = None
STATS = collections.Counter()

# --- descriptions: what hypothesis draws ----------------------------------------------------

# A behaviour (what a special method or callee does) is "raise", "notimpl", Returns or Acts.
# A binding of a name is "noop", "raise", "unbind", "builtins" (bound there instead), or one
# of Value, Routine, Callee and Shadow.
Hostile = collections.namedtuple("Hostile", "methods")   # special method -> behaviour
Returns = collections.namedtuple("Returns", "value")
Acts = collections.namedtuple("Acts", "actions then")
Rebind = collections.namedtuple("Rebind", "name binding")
Delete = collections.namedtuple("Delete", "name")
Reenter = collections.namedtuple("Reenter", "call swallow")
Mutate = collections.namedtuple("Mutate", "how")        # the keyword dict of the running call
Value = collections.namedtuple("Value", "value")
Routine = collections.namedtuple("Routine", "name")
Callee = collections.namedtuple("Callee", "on_call behaviour")  # on_call 0: every call
Shadow = collections.namedtuple("Shadow", "eq")  # the name kept under a str subclass key
Key = collections.namedtuple("Key", "kind text eq")     # plain, built, subclass, unicode, raw
Call = collections.namedtuple("Call", "routine positional keywords via_dict")
Case = collections.namedtuple("Case", "bindings call")

# Only to steer the bindings towards names that matter; the checks learn the rows themselves.
SQUARE_USES = ("glBegin", "GL_QUADS", "glVertex3f", "glEnd")
USES = {
    "drawSquare": SQUARE_USES,
    "drawGrayCube": ("glColor4f", "glPushMatrix", "glRotatef", "glTranslatef", "drawSquare",
                     "glPopMatrix") + SQUARE_USES,
    "draw3DCoordinateAxes": ("glBegin", "GL_LINES", "glColor4f", "glVertex3f", "glEnd"),
    "drawViewVolume": ("glColor4f", "glBegin", "GL_LINES", "glVertex3d", "glVertex4d", "glEnd"),
}
USES["drawColoredCube"] = USES["drawGrayCube"]

HUGE = [10 ** 400, -(10 ** 400), 2 ** 63, -(2 ** 63) - 1, 2 ** 1024]
SPECIAL = [float("nan"), float("inf"), float("-inf"), -0.0, len, Ellipsis]
METHODS = ("mul", "rmul", "neg", "div", "rdiv", "index", "float", "eq", "hash", "bool", "call")
MUTATIONS = ("clear", "pop", "add", "refill")

scalars = st.one_of(st.integers(), st.sampled_from(HUGE), st.floats(), st.sampled_from(SPECIAL),
                    st.booleans(), st.none(), st.text(max_size=4), st.binary(max_size=4),
                    st.complex_numbers(), st.decimals(), st.fractions())
plain_values = st.recursive(
    scalars, lambda inner: st.one_of(st.lists(inner, max_size=3), st.tuples(inner, inner),
                                     st.dictionaries(st.text(max_size=2), inner, max_size=2)),
    max_leaves=4)

_memo = {}


def memo(function):
    def strategy(depth):
        key = (function.__name__, depth)
        if key not in _memo:
            _memo[key] = function(depth)
        return _memo[key]
    return strategy


@memo
def behaviours(depth):
    leaf = st.one_of(st.builds(Returns, plain_values), st.sampled_from(["raise", "notimpl"]))
    if depth == 0:
        return leaf
    return st.one_of(leaf, st.builds(Returns, hostiles(depth - 1)),
                     st.builds(Acts, st.lists(actions(depth - 1), min_size=1, max_size=3), leaf))


@memo
def hostiles(depth):
    return st.builds(Hostile, st.dictionaries(st.sampled_from(METHODS), behaviours(depth),
                                              max_size=4))


numbers = st.one_of(st.integers(-3, 3), st.floats(-10, 10), st.sampled_from([0, 0.0, 1]))


@memo
def values(depth):
    return st.one_of(numbers, numbers, plain_values, hostiles(depth))


@memo
def bindings(depth):
    return st.one_of(st.sampled_from(["noop", "raise", "unbind", "builtins"]),
                     st.builds(Value, values(depth)),
                     st.builds(Routine, st.sampled_from(ROUTINES)),
                     st.builds(Callee, st.integers(0, 6), behaviours(depth)),
                     st.builds(Shadow, st.one_of(st.none(), behaviours(depth))))


@memo
def actions(depth):
    reenter = st.builds(Reenter, calls(depth), st.booleans())
    return st.one_of(st.builds(Rebind, st.sampled_from(NAMES), bindings(depth)),
                     st.builds(Delete, st.sampled_from(NAMES)), reenter, reenter,
                     st.builds(Mutate, st.sampled_from(MUTATIONS)))


@memo
def busy_callees(depth):
    """Callees that act: re-enter, rebind, delete, mutate, then answer."""
    return st.builds(Callee, st.sampled_from([0, 1, 1, 2, 3]),
                     st.builds(Acts, st.lists(actions(depth), min_size=1, max_size=3),
                               behaviours(0)))


def keys_for(text, depth):
    return st.one_of(st.sampled_from([Key("plain", text, None), Key("built", text, None),
                                      Key("unicode", text, None)]),
                     st.builds(Key, st.just("subclass"), st.just(text),
                               st.one_of(st.none(), behaviours(depth))))


@memo
def stray_keys(depth):
    raw = st.one_of(st.integers(), st.none(), st.binary(max_size=4), st.tuples(st.integers()))
    return st.one_of(st.sampled_from(PARAMETERS).flatmap(lambda name: keys_for(name, depth)),
                     st.text(max_size=5).flatmap(lambda text: keys_for(text, depth)),
                     st.builds(Key, st.just("raw"), raw, st.none()),
                     st.builds(Key, st.just("raw"), hostiles(depth), st.none()))


@memo
def view_volume_calls(depth):
    @st.composite
    def build(draw):
        value = values(depth)
        bounds = [draw(value) for _ in PARAMETERS]
        count = draw(st.one_of(st.just(6), st.integers(0, 8)))
        positional = bounds[:count] + [draw(value) for _ in range(count - 6)]
        keywords = None
        if count < 6 or draw(st.booleans()):
            pairs = [(draw(keys_for(name, depth)), bounds[index])
                     for index, name in enumerate(PARAMETERS)
                     if index >= count and draw(st.integers(0, 9)) > 0]
            if draw(st.integers(0, 3)) == 0:
                pairs += draw(st.lists(st.tuples(stray_keys(depth), value), max_size=2))
            keywords = tuple(draw(st.permutations(pairs)))
        return Call("drawViewVolume", tuple(positional), keywords, draw(st.booleans()))
    return build()


@memo
def calls(depth):
    value = values(depth)
    # Mostly what the interpreter lets through: one argument, or none, and no keywords.
    refused = st.integers(0, 9).map(lambda draw: draw == 0)
    some_keywords = st.lists(st.tuples(stray_keys(depth), value), max_size=1).map(tuple)

    @st.composite
    def build(draw):
        routine = draw(st.sampled_from(ROUTINES))
        if routine == "drawViewVolume":
            return draw(view_volume_calls(depth))
        count = 0 if routine == "draw3DCoordinateAxes" else 1
        if draw(refused):
            count = draw(st.integers(0, 2))
        keywords = draw(some_keywords) if draw(refused) else None
        return Call(routine, tuple(draw(value) for _ in range(count)), keywords,
                    draw(st.booleans()))
    return build()


@memo
def reentering_callees(depth):
    return st.builds(Callee, st.sampled_from([0, 1, 1, 2]),
                     st.builds(Acts, st.lists(st.builds(Reenter, calls(depth), st.booleans()),
                                              min_size=1, max_size=2), st.just(Returns(None))))


@st.composite
def cases(draw):
    """A call, and bindings made before it, mostly of names that routine uses."""
    call = draw(calls(2))
    names = st.one_of(st.sampled_from(USES[call.routine]), st.sampled_from(NAMES))
    binding = st.one_of(bindings(2), busy_callees(1), reentering_callees(1))
    return Case(draw(st.lists(st.tuples(names, binding), max_size=4)), call)

# --- building objects from descriptions -----------------------------------------------------


class Injected(Exception):
    """Raised by a hostile object or callee."""


class Problem(Exception):
    """A check failed inside a callee, where the routine would carry it off as its own error."""


class Run(object):
    """What one example has done so far."""

    def __init__(self):
        self.depth = 0
        self.reentries = 0
        self.routine_bound = set(["drawSquare"])
        self.builtins_set = set()
        self.keywords = [None]
        self.problems = []


RUN = Run()


def perform(behaviour, default):
    if behaviour is None:
        return default()
    if behaviour == "raise":
        raise Injected("injected")
    if behaviour == "notimpl":
        return NotImplemented
    if isinstance(behaviour, Returns):
        return materialise(behaviour.value)
    for action in behaviour.actions:
        apply(action)
    return perform(behaviour.then, default)


class HostileObject(object):
    """Every special method the routines or their callees could reach answers as described."""

    def __init__(self, methods):
        self._methods = methods

    def _answer(self, method, default):
        return perform(self._methods.get(method), default)

    def __mul__(self, other):
        return self._answer("mul", lambda: NotImplemented)

    def __rmul__(self, other):
        return self._answer("rmul", lambda: NotImplemented)

    def __neg__(self):
        return self._answer("neg", lambda: self)

    def __truediv__(self, other):
        return self._answer("div", lambda: NotImplemented)
    __div__ = __truediv__

    def __rtruediv__(self, other):
        return self._answer("rdiv", lambda: NotImplemented)
    __rdiv__ = __rtruediv__

    def __index__(self):
        return self._answer("index", lambda: 0)

    def __float__(self):
        return self._answer("float", lambda: 0.0)

    def __eq__(self, other):
        return self._answer("eq", lambda: self is other)

    def __ne__(self, other):
        return not self == other

    def __hash__(self):
        return self._answer("hash", lambda: id(self) >> 4)

    def __bool__(self):
        return self._answer("bool", lambda: True)
    __nonzero__ = __bool__

    def __call__(self, *args, **kwargs):
        return self._answer("call", lambda: None)

    def __repr__(self):
        return "<hostile>"


class KeyText(str):
    """A keyword key that is a string, with its own idea of equality."""

    def __new__(cls, text, eq):
        key = str.__new__(cls, text)
        key.eq = eq
        return key

    def __eq__(self, other):
        if self.eq is None:
            return str.__eq__(self, other)
        return perform(self.eq, lambda: False)

    def __ne__(self, other):
        return not self == other
    __hash__ = str.__hash__


def materialise(value):
    if isinstance(value, Hostile):
        return HostileObject(dict(value.methods))
    if isinstance(value, list):
        return list(value)
    if isinstance(value, dict):
        return dict(value)
    return value


def make_key(key):
    if key.kind == "plain":
        return key.text
    if key.kind == "built":
        return "".join(list(key.text))
    if key.kind == "subclass":
        return KeyText(key.text, key.eq)
    if key.kind == "unicode":
        return key.text.decode("ascii") if PY2 and isinstance(key.text, bytes) else u"" + key.text
    return materialise(key.text)


def quiet(*args, **kwargs):
    if kwargs:
        RUN.problems.append("a callee was given keywords: %r" % (kwargs,))


def raiser(*args, **kwargs):
    raise Injected("callee")


def make_callee(on_call, behaviour):
    count = [0]

    def callee(*args, **kwargs):
        quiet(**kwargs)
        count[0] += 1
        if on_call in (0, count[0]):
            return perform(behaviour, lambda: None)
    return callee


def bind(name, binding):
    if isinstance(binding, Shadow):
        # The namespace keeps the name under a key whose __eq__ runs at every lookup.
        namespace = vars(Pelmora)
        namespace.pop(name, None)
        namespace[KeyText(name, binding.eq)] = quiet
        return
    if binding in ("unbind", "builtins"):
        if name in vars(Pelmora):
            delattr(Pelmora, name)
        if binding == "builtins":
            setattr(builtins, name, quiet)
            RUN.builtins_set.add(name)
        return
    if binding in ("noop", "raise"):
        value = quiet if binding == "noop" else raiser
    elif isinstance(binding, Routine):
        RUN.routine_bound.add(name)
        value = ORIGINAL[binding.name]
    elif isinstance(binding, Value):
        value = materialise(binding.value)
    else:
        value = make_callee(binding.on_call, binding.behaviour)
    setattr(Pelmora, name, value)


def apply(action):
    if isinstance(action, Rebind):
        bind(action.name, action.binding)
    elif isinstance(action, Delete):
        if action.name in vars(Pelmora):
            delattr(Pelmora, action.name)
    elif isinstance(action, Mutate):
        mutate(RUN.keywords[-1], action.how)
    elif RUN.depth < MAX_DEPTH and RUN.reentries < MAX_REENTRIES:
        RUN.depth += 1
        RUN.reentries += 1
        try:
            invoke(action.call)
        except Problem:
            raise
        except Exception:
            if not action.swallow:
                raise
        finally:
            RUN.depth -= 1


def mutate(keywords, how):
    if keywords is None:
        return
    if how == "clear":
        keywords.clear()
    elif how == "pop" and keywords:
        keywords.popitem()
    elif how == "add":
        keywords["zz"] = None
    elif how == "refill":
        for name in PARAMETERS:
            keywords[name] = 0

# --- the call and its checks ----------------------------------------------------------------


def dict_call():
    """PyObject_Call itself: the keyword dictionary is handed over as it is, any keys allowed,
    and no Python frame comes between the caller and the routine."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call


def build_keywords(pairs):
    """The keyword dict, and whether every key is a str (as a Python-level call requires)."""
    keywords, all_text = {}, True
    for key, value in pairs:
        try:
            made = make_key(key)
            keywords[made] = materialise(value)
        except Problem:
            raise
        except Exception:
            continue
        all_text = all_text and isinstance(made, str)
    return keywords, all_text


def runs_routine(call, args, keywords):
    """False when the interpreter itself refuses the call before the routine runs."""
    if call.routine == "drawViewVolume":
        return True
    if keywords:
        return False
    return len(args) == (0 if call.routine == "draw3DCoordinateAxes" else 1)


def invoke(call):
    """Calls the routine itself, whatever its name is bound to now, and checks the outcome."""
    routine = ORIGINAL[call.routine]
    args = tuple(materialise(value) for value in call.positional)
    keywords, all_text = build_keywords(call.keywords) if call.keywords is not None else (None,
                                                                                          True)
    ran = runs_routine(call, args, keywords)
    RUN.keywords.append(keywords)
    STATS["calls"] += 1
    try:
        if keywords is None:
            result = routine(*args)
        elif call.via_dict or not all_text:
            result = PY_CALL(routine, args, keywords)
        else:
            result = routine(*args, **keywords)
    except Problem:
        raise
    except Exception as exc:
        STATS["failed calls"] += 1
        check_failure(call.routine, exc, sys.exc_info()[2], ran)
        raise
    finally:
        RUN.keywords.pop()
    if result is not None:
        report("%s returned %r" % (call.routine, result))
    if not ran:
        report("%s ran although the interpreter should refuse %r" % (call.routine, call))


def report(message):
    RUN.problems.append(message)
    raise Problem(message)


def module_entry(entry):
    """(routine, line) of an entry the module added, or None for any other entry."""
    if entry[0] != "Pelmora.py":
        return None
    match = ENTRY.match(entry[2])
    if match is None or match.group(1) not in ROUTINES or entry[1] not in LINES[match.group(1)]:
        report("malformed entry of the module: %r" % (tuple(entry[:3]),))
    return match.group(1), entry[1]


def check_failure(routine, exc, tb, ran):
    entries = traceback.extract_tb(tb)
    if isinstance(exc, SystemError):
        report("SystemError from %s: %s" % (routine, exc))
    if not PY2 and exc.__context__ is not None:
        report("%s raised %r while %r was pending" % (routine, exc, exc.__context__))
    if not ran:
        if not isinstance(exc, TypeError) or len(entries) != 1:
            report("the interpreter's refusal of %s became %r" % (routine, exc))
        return
    STATS["checked failures"] += 1
    marks = [module_entry(entry) for entry in entries]
    if len(marks) < 2 or marks[1] is None or marks[1][0] != routine:
        report("%s failed with %r but its entry is not below the caller: %r"
               % (routine, exc, [tuple(e[:3]) for e in entries[:4]]))
    for upper, lower in zip(marks[1:], marks[2:]):
        if upper is None:
            continue
        # On Python 3 what a keyword's __eq__ raises passes through, its frame below.
        if upper[1] == ARGUMENT_LINE and upper[0] == "drawViewVolume" and (
                PY2 or lower is not None):
            report("an argument error has entries below it: %r" % (marks,))
        if lower is not None and CALLEES.get(upper) not in RUN.routine_bound:
            report("two entries of the module in a row at %r: %r" % (upper, marks[:8]))
    if isinstance(exc, NameError) and (marks[-1] is None or exc.args[0] not in NAMES):
        report("NameError %r not raised by a lookup of the module" % (exc.args,))


def run_case(case):
    STATS["examples"] += 1
    for name, binding in case.bindings:
        try:
            bind(name, binding)
        except Problem:
            raise
        except Exception:
            pass  # a hostile __eq__ of a key already in the namespace
    try:
        invoke(case.call)
    except Problem:
        pass
    except Exception:
        pass
    if not PY2 and sys.exc_info()[0] is not None:
        RUN.problems.append("an exception is still being handled: %r" % (sys.exc_info(),))


def reset():
    namespace = vars(Pelmora)
    for key in [key for key in namespace if type(key) is not str]:
        del namespace[key]  # found by identity: no __eq__ runs
    for name in RUN.builtins_set:
        if getattr(builtins, name, None) is quiet:
            delattr(builtins, name)
    for name in NAMES:
        setattr(Pelmora, name, quiet if name in GL_CALLEES else ORIGINAL[name])
    RUN.__init__()


def observe():
    """The calls every routine makes with the module's own bindings and recording callees."""
    seen = []

    def recorder(name):
        return lambda *args: seen.append((name, args))
    for name in GL_CALLEES:
        setattr(Pelmora, name, recorder(name))
    for routine in ROUTINES:
        seen.append(routine)
        result = ORIGINAL[routine](*{"drawViewVolume": BOUNDS, "draw3DCoordinateAxes": ()}
                                   .get(routine, (1,)))
        seen.append(result)
    reset()
    return seen


def check_case(case):
    try:
        run_case(case)
    finally:
        problems = list(RUN.problems)
        reset()
    assert not problems, problems
    assert observe() == BASELINE, "the routines draw differently after this example"


def learn_rows():
    """Which name each row of each routine calls, from the entry a failing call leaves."""
    for routine in ROUTINES:
        LINES[routine] = set([ARGUMENT_LINE]) if routine == "drawViewVolume" else set()
        for stop_at in range(1, 100):
            called = []

            def counter(name):
                def count(*args):
                    called.append(name)
                    if len(called) == stop_at:
                        raise Injected(name)
                return count
            for name in GL_CALLEES + ("drawSquare",):
                setattr(Pelmora, name, counter(name))
            try:
                ORIGINAL[routine](*{"drawViewVolume": BOUNDS,
                                    "draw3DCoordinateAxes": ()}.get(routine, (1,)))
                break
            except Injected:
                line = traceback.extract_tb(sys.exc_info()[2])[1][1]
            finally:
                reset()
            CALLEES[(routine, line)] = called[-1]
            LINES[routine].add(line)

# --- driver ---------------------------------------------------------------------------------


def choose_platform():
    if "PYOPENGL_PLATFORM" in os.environ:
        return
    sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        from pelmora_tools.context import choose_platform as choose
        choose()
    except Exception as exc:  # the import of Pelmora below says what is missing
        print("fuzz: no offscreen OpenGL platform chosen: %s" % exc, file=sys.stderr)


SLOW_IS_FINE = [HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large,
                HealthCheck.large_base_example]


def fuzz(examples, seconds, first_seed, trace):
    deadline = time.time() + seconds
    chunk = 0

    def example(case):
        if trace:
            print(repr(case), file=sys.stderr)
            sys.stderr.flush()
        check_case(case)
    while STATS["examples"] < examples and time.time() < deadline:
        size = min(50, examples - STATS["examples"])
        test = settings(max_examples=size, deadline=None, database=None,
                        suppress_health_check=SLOW_IS_FINE)(given(cases())(example))
        seed(first_seed + chunk)(test)()
        chunk += 1


def main(argv=None):
    global Pelmora, BASELINE, PY_CALL
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--examples", type=int, default=500)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--trace", action="store_true", help="print each example first")
    options = parser.parse_args(argv)
    first_seed = options.seed if options.seed is not None else int(time.time()) % 100000
    choose_platform()
    try:
        import faulthandler
        faulthandler.enable()
    except ImportError:  # Python 2.7
        pass
    PY_CALL = dict_call()
    import Pelmora as module
    Pelmora = module
    for name in NAMES:
        ORIGINAL[name] = getattr(Pelmora, name)
    reset()
    BASELINE = observe()
    learn_rows()
    assert observe() == BASELINE, "the routines draw differently after failing once each"
    print("fuzz: seed %d, at most %d examples or %g s, Python %s"
          % (first_seed, options.examples, options.seconds, sys.version.split()[0]))
    sys.stdout.flush()
    started = time.time()
    fuzz(options.examples, options.seconds, first_seed, options.trace)
    print("fuzz: %d examples, %d routine calls (%d failed, %d failures checked), %.1f s, "
          "no problem found" % (STATS["examples"], STATS["calls"], STATS["failed calls"],
                                STATS["checked failures"], time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
