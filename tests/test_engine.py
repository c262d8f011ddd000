"""What the engine's shortcuts (kept lookups, reused traceback code objects, float arithmetic
straight from exact operands, vector calls) must leave as it was. Each check runs twice: here,
on the cached path, and in a fresh interpreter with PELMORA_UNCACHED=1, which the module reads
at import. The plain-Python twin in pelmora_tools/reference.py is the oracle for values and
operands.
"""
import gc
import os
import sys
import sysconfig
import textwrap
import traceback
import types
from fractions import Fraction
from functools import partial

try:
    from functools import lru_cache
except ImportError:  # Python 2.7
    lru_cache = None

import pytest

import Pelmora
from pelmora_tools import reference
from recording import (GL_CALLEES as GL_NAMES, MODULE_FILE, TWINS, WATCHER_IDS, Recorder,
                       call_with_dict, run_code)

try:
    import builtins
except ImportError:  # Python 2.7
    import __builtin__ as builtins

EMPTY = tuple()
# Without a GIL the module keeps nothing between calls: every traceback code object is new.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(params=["cached", "uncached"])
def engine(request, monkeypatch):
    """Runs a check of this file: in this process, the namespaces of Pelmora, the reference
    and builtins restored afterwards; or in a fresh interpreter that has the caches off."""
    def run_check(check):
        if request.param == "uncached":
            monkeypatch.setenv("PELMORA_UNCACHED", "1")
            status, out, err = run_code("import test_engine\ntest_engine.%s()\nprint('done')"
                                        % check.__name__, paths=[HERE])
            assert status == 0 and out.strip().endswith("done"), err
            return
        saved = [(module, dict(module.__dict__)) for module in (Pelmora, reference, builtins)]
        try:
            check()
        finally:
            for module, before in saved:
                for name in [name for name in module.__dict__ if name not in before]:
                    delattr(module, name)
                for name, value in before.items():
                    if module.__dict__.get(name, saved) is not value:
                        setattr(module, name, value)
    return run_check


# --- lookups -------------------------------------------------------------------------------

NAME = "glVertex3f"

# (case, where the old callee is bound, where the new one is bound beforehand, the change
# that makes the new one the answer).
REBINDINGS = [
    ("setattr", "module", None, lambda new: setattr(Pelmora, NAME, new)),
    ("dict item", "module", None, lambda new: Pelmora.__dict__.__setitem__(NAME, new)),
    ("dict update", "module", None, lambda new: Pelmora.__dict__.update({NAME: new})),
    ("pop, setdefault", "module", None,
     lambda new: (Pelmora.__dict__.pop(NAME), Pelmora.__dict__.setdefault(NAME, new))),
    ("delete, builtins answer", "module", "builtins", lambda new: delattr(Pelmora, NAME)),
    ("builtins rebound", "builtins", None, lambda new: setattr(builtins, NAME, new)),
    ("builtins dict item", "builtins", None,
     lambda new: builtins.__dict__.__setitem__(NAME, new)),
    ("module binds over builtins", "builtins", None, lambda new: setattr(Pelmora, NAME, new)),
]


def check_rebinding_takes_effect_from_the_next_statement():
    homes = {"module": Pelmora, "builtins": builtins}
    for case, old_home, new_home, change in REBINDINGS:
        for during_call in (False, True):
            seen = []

            def new(*args):
                seen.append("new")

            def old(*args):
                seen.append("old")
                if during_call and len(seen) == 1:
                    change(new)
            Recorder(["glBegin", "glEnd"])
            for home in homes.values():
                home.__dict__.pop(NAME, None)
            setattr(homes[old_home], NAME, old)
            if new_home:
                setattr(homes[new_home], NAME, new)
            if not during_call:
                Pelmora.drawSquare(1)  # the old binding is what a cache would keep
                change(new)
            Pelmora.drawSquare(1)
            expected = ["old", "new", "new", "new"] if during_call else ["old"] * 4 + ["new"] * 4
            assert seen == expected, (case, during_call)
            builtins.__dict__.pop(NAME, None)


def test_rebinding_takes_effect_from_the_next_statement(engine):
    engine(check_rebinding_takes_effect_from_the_next_statement)


def shadowing_glEnd(ends, text):
    """A module class whose glEnd property shadows any namespace entry."""
    return type("Shadowing", (types.ModuleType,),
                {"glEnd": property(lambda self: lambda: ends.append(text))})


def check_changed_module_class_and_getattr_go_the_generic_way():
    ends = []
    Recorder(["glBegin", "glVertex3f", "glEnd"])
    Pelmora.drawSquare(1)

    Pelmora.__class__ = shadowing_glEnd(ends, "module property")
    try:
        Pelmora.drawSquare(1)
    finally:
        Pelmora.__class__ = types.ModuleType
    Pelmora.drawSquare(1)
    assert ends == ["module property"]

    del Pelmora.glEnd
    Pelmora.__getattr__ = lambda name: lambda: ends.append("module __getattr__")
    Pelmora.drawSquare(1)
    assert ends[-1] == "module __getattr__"

    def refusing(name):
        raise KeyError(name)
    Pelmora.__getattr__ = refusing  # an error other than a miss is the caller's to see
    with pytest.raises(KeyError):
        Pelmora.drawSquare(1)
    del Pelmora.__getattr__

    builtins.glEnd = lambda: ends.append("builtins dict")
    Pelmora.drawSquare(1)

    builtins.__class__ = shadowing_glEnd(ends, "builtins property")
    try:
        Pelmora.drawSquare(1)
    finally:
        builtins.__class__ = types.ModuleType
    Pelmora.drawSquare(1)
    assert ends[1:] == ["module __getattr__", "builtins dict", "builtins property",
                        "builtins dict"]


@pytest.mark.skipif(sys.version_info < (3, 7), reason="module __getattr__ is Python 3.7+")
def test_changed_module_class_and_getattr_go_the_generic_way(engine):
    engine(check_changed_module_class_and_getattr_go_the_generic_way)


# --- what callees receive ------------------------------------------------------------------

class Operand(object):
    """Logs every arithmetic operation that reaches it, with the other operand."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __repr__(self):
        return self.name

    def _record(self, operation, other=None):
        self.log.append((self.name, operation, type(other).__name__, repr(other)))
        return 1.5

    def __mul__(self, other):
        return self._record("mul", other)

    def __rmul__(self, other):
        return self._record("rmul", other)

    def __truediv__(self, other):
        return self._record("truediv", other)

    def __rtruediv__(self, other):
        return self._record("rtruediv", other)

    __div__, __rdiv__ = __truediv__, __rtruediv__

    def __neg__(self):
        return self._record("neg")


class LoggedFloat(float):
    log = []

    def __rmul__(self, other):
        LoggedFloat.log.append(("float subclass rmul", repr(other)))
        return float.__rmul__(self, other)

    def __neg__(self):
        LoggedFloat.log.append(("float subclass neg", repr(self)))
        return float.__neg__(self)


class LoggedInt(int):
    def __rmul__(self, other):
        LoggedFloat.log.append(("int subclass rmul", repr(other)))
        return int.__rmul__(self, other)


BIG = 2 ** 60 + 1  # no exact double
HUGE = 10 ** 400   # no double at all

# Arguments for drawSquare (one each) and drawViewVolume (six each), operands of every type
# the engine computes with directly, and the ones it must not.
SQUARE_ARGS = [1, -2, 0, 2.5, -0.0, float("inf"), float("nan"), BIG, -BIG, HUGE, True,
               Fraction(1, 3), 1 + 2j, "x", None, LoggedFloat(2.0), LoggedInt(3)]
VOLUME_ARGS = [
    (-1.0, 1.0, -1.0, 1.0, 1.0, 10.0), (-1, 1, -1, 1, 1, 10), (-1, 1, -1, 1, 3, 7),
    (-0.5, 0.5, -0.5, 0.5, 3, 1.0), (1, 2, 3, 4, 1.0, 3), (1, 2, 3, 4, 0.0, 3.0),
    (1, 2, 3, 4, 0, 3), (1, 2, 3, 4, 2.0, 0), (1, 2, 3, 4, 2, 0.0), (1, 2, 3, 4, 1, -0.0),
    # Integers past 2**53 are not exact doubles: their quotient is the correctly rounded one.
    (1, 2, 3, 4, 3, 2 ** 53), (1, 2, 3, 4, 3, 2 ** 53 + 1), (1, 2, 3, 4, -3, -2 ** 53 - 1),
    (1, 2, 3, 4, BIG, 3), (1, 2, 3, 4, 3, BIG), (1, 2, 3, 4, BIG, BIG + 2), (1, 2, 3, 4, HUGE, 1),
    (1, 2, 3, 4, 1.0, HUGE), (1, 2, 3, 4, HUGE, 2.0), (1, 2, 3, 4, -0.0, 1.0),
    (1, 2, 3, 4, float("inf"), 2.0), (1, 2, 3, 4, 2.0, float("inf")),
    (1, 2, 3, 4, float("nan"), 1), (1, 2, 3, 4, True, 2), (1, 2, 3, 4, Fraction(1, 3), 2),
    (1, 2, 3, 4, 2, Fraction(1, 3)), (1, 2, 3, 4, 2, 3 + 0j), (None, 1, 2, 3, 4, 5),
    (1, 2, 3, 4, LoggedFloat(2.0), 4.0), (LoggedInt(5), 2, 3, 4, 1.0, 2.0),
    (1, 2, 3, 4, 1, "far"),
]


def exact(value):
    """A value as a callee sees it: its type, and its repr (which keeps -0.0 and nan apart)."""
    return type(value).__name__, repr(value)


def callee_kinds(calls):
    """Ways to bind a callee that records (name, args) into `calls`: a Python function and a
    bound method (vector calls), an instance with __call__ (an argument tuple), a partial."""
    class Callable(object):
        def __init__(self, name):
            self.name = name

        def __call__(self, *args):
            calls.append((self.name, args))

        def method(self, *args):
            calls.append((self.name, args))

    def function(name, *args):
        calls.append((name, args))

    def closure(name):
        return lambda *args: calls.append((name, args))
    return [closure, Callable, lambda name: Callable(name).method,
            lambda name: partial(function, name)]


def issued(module, routine, args, kind):
    """What `routine(*args)` of `module` passes to callees of the `kind`-th kind, the
    arithmetic that reaches user operands, and how the call ends."""
    calls = []
    make = callee_kinds(calls)[kind]
    for name in GL_NAMES:
        setattr(module, name, make(name))
    log = LoggedFloat.log = []
    args = [Operand(log, "arg%d" % i) if arg is Operand else arg for i, arg in enumerate(args)]
    try:
        getattr(module, routine)(*args)
        ending = None
    except Exception as error:
        ending = (type(error).__name__, str(error))
    return [(name, [exact(a) for a in passed]) for name, passed in calls], log, ending


def check_callees_receive_what_plain_python_passes():
    cases = ([("drawSquare", (arg,)) for arg in SQUARE_ARGS + [Operand]] +
             [("drawViewVolume", args) for args in VOLUME_ARGS] +
             [("drawViewVolume", tuple(Operand if i in chosen else 2.0 for i in range(6)))
              for chosen in [(0,), (1, 3), (4,), (5,), (4, 5)]] +
             [(routine, (2,)) for routine in ("drawGrayCube", "drawColoredCube")] +
             [("draw3DCoordinateAxes", ())])
    for kind in range(len(callee_kinds([]))):
        for routine, args in cases:
            ours = issued(Pelmora, routine, args, kind)
            assert ours == issued(reference, routine, args, kind), (kind, routine, args)


def test_callees_receive_what_plain_python_passes(engine):
    engine(check_callees_receive_what_plain_python_passes)


def check_floats_fresh_and_shared_tuples_the_very_objects():
    kept = []

    class Keep(Exception):
        """A class call keeps the tuple it is given as `args`, where the interpreter lets it."""
        def __init__(self, *args):
            kept.append((self.args, args))
    probe = (1,)
    call_with_dict(Keep, probe)
    keeps_tuples = kept.pop()[0] is probe
    for name in GL_NAMES:
        setattr(Pelmora, name, Keep)
    Pelmora.drawSquare = Keep
    for routine, args in [("drawGrayCube", (2,)), ("drawColoredCube", (2,)),
                          ("draw3DCoordinateAxes", ()),
                          ("drawViewVolume", (-1, 1, -1, 1, 1.0, 10.0))] * 2:
        getattr(Pelmora, routine)(*args)
    floats = [item for _, args in kept for item in args if type(item) is float]
    # Every float made by a literal or by arithmetic, all of them alive at once, all distinct:
    # 30 per cube and for the axes; 4 literals, 24 negations and 16 quotients for the volume.
    assert len(floats) == 2 * (30 + 30 + 30 + 44)
    assert len(set(id(item) for item in floats)) == len(floats)
    if keeps_tuples:
        tuples = [given for given, _ in kept]
        empty = [args for args in tuples if args == ()]
        assert len(empty) == 2 * (12 + 12 + 1 + 1) and all(args is EMPTY for args in empty)
        shared = [args for args in tuples if args and all(type(a) is int for a in args)]
        first, again = shared[:20], shared[20:]
        assert len(again) == 20 and all(a is b for a, b in zip(first, again))
        assert len(set(id(args) for args in first)) == 20  # one tuple per call site


def test_floats_fresh_and_shared_tuples_the_very_objects(engine):
    engine(check_floats_fresh_and_shared_tuples_the_very_objects)


# --- failures ------------------------------------------------------------------------------

class Boom(Exception):
    pass


def boom(*args):
    raise Boom()


# (routine, arguments, how it is broken, error, line of the one entry)
FAILURES = [
    ("drawSquare", (1,), {"glVertex3f": boom}, Boom, 96),
    ("drawSquare", ("x",), {}, TypeError, 96),
    ("drawGrayCube", (1,), {"glPopMatrix": boom}, Boom, 109),
    ("drawColoredCube", (1,), {"glRotatef": None}, NameError, 165),
    ("drawViewVolume", (1, 2, 3, 4, 5, 0), {}, ZeroDivisionError, 67),
    ("drawViewVolume", (1, 2, 3, 4, 5), {}, TypeError, 43),
]


def check_one_traceback_entry_per_failed_call():
    cached = not os.environ.get("PELMORA_UNCACHED") and not FREE_THREADED
    for routine, args, broken, error, line in FAILURES:
        Recorder(GL_NAMES)
        for name, value in broken.items():
            if value is None:
                delattr(Pelmora, name)
            else:
                setattr(Pelmora, name, value)
        codes = []
        for _ in range(3):
            try:
                getattr(Pelmora, routine)(*args)
            except error:
                tb = sys.exc_info()[2]
            entries = [entry for entry in traceback.extract_tb(tb) if entry[0] == MODULE_FILE]
            assert [(entry[1], entry[2].split(" ")[0]) for entry in entries] == \
                [(line, "Pelmora." + routine)], (routine, entries)
            while tb.tb_frame.f_code.co_filename != MODULE_FILE:
                tb = tb.tb_next
            assert tb.tb_frame.f_lineno == line and tb.tb_frame.f_globals is Pelmora.__dict__
            codes.append(tb.tb_frame.f_code)
        # A new frame per failure; one code object per place while the caches are on.
        assert all((code is codes[0]) == cached for code in codes[1:]), routine


def test_one_traceback_entry_per_failed_call(engine):
    engine(check_one_traceback_entry_per_failed_call)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers are Python 3.12+")
def test_without_a_free_dict_watcher_lookups_stay_plain():
    code = WATCHER_IDS + textwrap.dedent("""
        assert len(take_watcher_ids()) > 0
        import test_engine
        test_engine.check_rebinding_takes_effect_from_the_next_statement()
        test_engine.check_changed_module_class_and_getattr_go_the_generic_way()
        print('done')
    """)
    status, out, err = run_code(code, paths=[HERE])
    assert status == 0 and out.strip() == "done", err


# --- free lists: argument tuples and floats made again must be new objects to everyone -------

class Dying(object):
    """A product whose release looks for half-emptied tuples and re-enters the routine."""

    def __init__(self, module, log, label):
        self.module, self.log, self.label = module, log, label

    def __del__(self):
        half_empty = [t for t in gc.get_objects() if type(t) is tuple and len(t) <= 4 and
                      "<NULL>" in repr(t).strip("(,)").split(", ")]
        self.log.append(("released", self.label, len(half_empty)))
        if len(self.log) < 4:
            self.module.drawSquare(1.5)


class Size(object):
    def __init__(self, module, log):
        self.module, self.log = module, log

    def __rmul__(self, other):
        return Dying(self.module, self.log, other)


class Record(object):
    """A callee without a vector call: it is handed the argument tuple itself."""

    def __init__(self, log):
        self.log = log

    def __call__(self, *args):
        self.log.append(tuple(type(a).__name__ if type(a) is Dying else a for a in args))


def issued_through_free_lists(module):
    log = []
    Recorder(["glBegin", "glEnd"], module=module, calls=log)
    module.glVertex3f = Record(log)
    module.drawSquare(Size(module, log))
    module.drawSquare(2)
    if lru_cache is not None:
        # Keys on, and hashes, the argument tuple; a hit leaves it to the engine again.
        module.glVertex3f = lru_cache(maxsize=None)(Record(log))
        for size in (1, 1, 2, 1, 2):
            module.drawSquare(size)
    return log


def check_free_listed_arguments_are_new_objects():
    ours, theirs = [issued_through_free_lists(module) for module in TWINS]
    called = [[entry for entry in log if entry[0] != "released"] for log in (ours, theirs)]
    assert called[0] == called[1]
    released = [entry for entry in ours if entry[0] == "released"]
    # Each tuple's items last first, as its own deallocation releases them; none half empty.
    assert released == [("released", value, 0) for value in (-.5, -.5, -.5, .5, .5, .5, .5, -.5)]


def test_free_listed_arguments_are_new_objects(engine):
    engine(check_free_listed_arguments_are_new_objects)
