"""What the engine's speed mechanisms (kept lookups, code objects made once, shared argument
tuples, free lists, vector calls) must leave as plain Python has it. Each check runs here, with
the mechanisms on, and again with those of test_routines in a fresh interpreter with
PELMORA_UNCACHED=1."""
import ctypes
import gc
import sys
import sysconfig
import traceback
import types
import weakref

import pytest

import Pelmora
from recording import (DELETED, GL_CALLEES, MODULE_FILE, PY3, TWINS, WATCHER_IDS, Recorder,
                       Restorer, builtins, call_with_dict, fresh_twin, message, module_entries,
                       run_code)

try:
    from functools import lru_cache
except ImportError:  # Python 2.7
    lru_cache = None

EMPTY = tuple()
CACHED = not sysconfig.get_config_var("Py_GIL_DISABLED") and PY3
NAME = "glVertex3f"
# (where the old callee is bound, where the new one is bound beforehand, the change that makes
# the new one the answer)
REBINDINGS = [
    (Pelmora, None, lambda new: setattr(Pelmora, NAME, new)),
    (Pelmora, None, lambda new: Pelmora.__dict__.__setitem__(NAME, new)),
    (Pelmora, None, lambda new: Pelmora.__dict__.update({NAME: new})),
    (Pelmora, None, lambda new: [Pelmora.__dict__.pop(NAME), Pelmora.__dict__.setdefault(NAME,
                                                                                       new)]),
    (Pelmora, builtins, lambda new: delattr(Pelmora, NAME)),  # builtins answer
    (builtins, None, lambda new: setattr(builtins, NAME, new)),
    (builtins, None, lambda new: builtins.__dict__.__setitem__(NAME, new)),
    (builtins, None, lambda new: setattr(Pelmora, NAME, new)),  # the namespace wins
]


def check_rebinding_takes_effect_from_the_next_statement():
    for case, (old_home, new_home, change) in enumerate(REBINDINGS):
        for during_call in (False, True):
            seen = []

            def old(*args):
                seen.append("old")
                if during_call and len(seen) == 1:
                    change(lambda *args: seen.append("new"))
            Recorder(Pelmora, ["glBegin", "glEnd"])
            Pelmora.__dict__.pop(NAME, None)
            setattr(old_home, NAME, old)
            if new_home:
                setattr(new_home, NAME, lambda *args: seen.append("new"))
            if not during_call:
                Pelmora.drawSquare(1)  # the old binding is what a cache would keep
                change(lambda *args: seen.append("new"))
            Pelmora.drawSquare(1)
            expected = ["old", "new", "new", "new"] if during_call else ["old"] * 4 + ["new"] * 4
            assert seen == expected, (case, during_call)
            builtins.__dict__.pop(NAME, None)


def check_watchers_running_routines_mid_change_see_every_change():
    """A dictionary watcher told of a change before it is made draws then; the next call must
    see the new binding, and the old callee, freed meanwhile, must never be called."""
    api = ctypes.pythonapi
    if sys.version_info < (3, 12):
        return
    signature = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, *[ctypes.c_void_p] * 3)
    api.PyDict_AddWatcher.argtypes = [ctypes.c_void_p]
    api.PyDict_Watch.argtypes = api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
    logs = []
    for module in TWINS:
        log = []
        Recorder(module, ["glBegin", "glEnd"], calls=log)
        for tag in ("old", "new", "again"):
            module.drawSquare(1)  # what a cache would keep

            def on_change(event, namespace, key, value, module=module):
                if key and ctypes.cast(key, ctypes.py_object).value == NAME:
                    module.drawSquare(1)
                return 0
            callback = signature(on_change)
            try:
                watcher = api.PyDict_AddWatcher(ctypes.cast(callback, ctypes.c_void_p))
            except RuntimeError:
                return  # every watcher id is taken
            api.PyDict_Watch(watcher, module.__dict__)
            setattr(module, NAME, (lambda tag: lambda *args: log.append(tag))(tag))
            api.PyDict_Unwatch(watcher, module.__dict__)
            api.PyDict_ClearWatcher(watcher)
            gc.collect()
            module.drawSquare(1)
        logs.append(log)
    assert logs[0] == logs[1]


class Key(str):
    """A namespace key that runs code when compared: it gives its answers in turn (an
    exception class is raised), then False, and counts how often it is asked."""

    def __new__(cls, text, answers, like=None):
        key = str.__new__(cls, text)
        key.answers, key.asked, key.like = list(answers), 0, like or text
        return key

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        self.asked += 1
        answer = self.answers.pop(0) if self.answers else False
        if isinstance(answer, type):
            raise answer("compared")
        return answer


def check_keys_that_compare_by_their_own_code():
    """A key of the namespace that runs code when compared: its answers, its errors and how
    often it is asked are those of plain Python, but that 2.7's attribute lookup counts an
    error a miss."""
    for case in range(5):
        seen = []
        # A twin of its own: a function that 3.8-3.10 have called often enough keeps what
        # such a key first answered, and stops asking it.
        for module in (Pelmora, fresh_twin()):
            log = []
            Recorder(module, ["glColor4f", "glBegin", "glVertex3f", "glVertex3d", "glVertex4d"],
                     calls=log)
            module.__dict__.pop("glEnd", None)
            key = [Key("glEnd", [LookupError] * 3), Key("glEnd", [KeyboardInterrupt] * 3),
                   Key("glEnd", [True]), Key("other", [], like="glEnd"),
                   Key("glEnd", [True, False, True])][case]
            module.__dict__[key] = lambda: log.append("glEnd")
            # A later change: the name bound behind the key, or another name.
            setattr(module, "glEnd" if case == 4 else "unrelated", lambda: log.append("bound"))
            for _ in range(3):
                try:
                    module.drawSquare(1)
                except BaseException as error:
                    log.append((type(error).__name__, message(error)))
            dict.__delitem__(module.__dict__, [k for k in module.__dict__ if k is key][0])
            seen.append((log, key.asked))
        if case < 2 and not PY3:  # 2.7's attribute lookup counts it a miss; LOAD_GLOBAL raises
            assert [entry for entry in seen[0][0] if entry[0] == "NameError"] == \
                [("NameError", "glEnd")] * 3
        else:
            assert seen[0] == seen[1], case
    with pytest.raises(LookupError if PY3 else TypeError) as excinfo:
        Pelmora.drawViewVolume(1, 2, 3, 4, 5, **{Key("far", [LookupError]): 6})
    assert [n for n, _ in module_entries(excinfo)] == [43]


def check_changed_module_class_and_getattr_go_the_generic_way():
    ends = []
    Recorder(Pelmora, ["glBegin", "glVertex3f", "glEnd"])
    Pelmora.drawSquare(1)
    for home, text in [(Pelmora, "module property"), (builtins, "builtins property")]:
        if home is builtins:
            del Pelmora.glEnd
            builtins.glEnd = lambda: ends.append("builtins dict")
            Pelmora.drawSquare(1)
        # A module class whose glEnd property shadows any namespace entry.
        home.__class__ = type("Shadowing", (types.ModuleType,),
                              {"glEnd": property(lambda self: lambda: ends.append(text))})
        try:
            Pelmora.drawSquare(1)
        finally:
            home.__class__ = types.ModuleType
        Pelmora.drawSquare(1)
    del builtins.glEnd
    Pelmora.__getattr__ = lambda name: lambda: ends.append("module __getattr__")
    Pelmora.drawSquare(1)
    Pelmora.__getattr__ = lambda name: {}[name]  # an error other than a miss is the caller's
    with pytest.raises(KeyError):
        Pelmora.drawSquare(1)
    assert ends == ["module property", "builtins dict", "builtins property", "builtins dict",
                    "module __getattr__"]


def check_floats_fresh_and_shared_tuples_the_very_objects():
    kept = []

    class Keep(Exception):
        """A class call keeps the tuple it is given as `args`, where the interpreter lets it;
        the first that can is kept by `right` too, a cycle through an argument tuple."""
        def __init__(self, *args):
            kept.append((self.args, args))
            if args and hasattr(args[0], "__dict__"):
                args[0].__dict__.setdefault("cycle", self)
    probe = (1,)
    call_with_dict(Keep, probe)
    keeps_tuples = kept.pop()[0] is probe
    Recorder(Pelmora, instance=True)
    Pelmora.drawSquare(2)  # leaves three-item tuples to the free lists
    for name in GL_CALLEES + ("drawSquare",):
        setattr(Pelmora, name, Keep)
    right = type("Bound", (float,), {})(1)
    for routine, args in [("drawViewVolume", (-1, right, -1, 1, 1.0, 10.0)),
                          ("drawGrayCube", (2,)), ("drawColoredCube", (2,)),
                          ("draw3DCoordinateAxes", ())] * 2:
        getattr(Pelmora, routine)(*args)
    floats = [item for _, args in kept for item in args if type(item) is float]
    # Every float made by a literal or by arithmetic, all alive at once, all distinct: 30 per
    # cube and for the axes; 4 literals, 24 negations and 16 quotients for the volume.
    assert len(floats) == len(set(id(item) for item in floats)) == 2 * (30 + 30 + 30 + 44)
    if keeps_tuples:
        assert all(given == args for given, args in kept)  # never refilled while kept
        empty = [given for given, _ in kept if given == ()]
        assert len(empty) == 2 * (12 + 12 + 1 + 1) and all(args is EMPTY for args in empty)
        shared = [given for given, _ in kept if given and all(type(a) is int for a in given)]
        assert len(shared) == 40 and all(a is b for a, b in zip(shared[:20], shared[20:]))
        assert len(set(id(args) for args in shared)) == 20  # one tuple per call site
    alive, kept[:] = weakref.ref(right), []
    del right, args
    gc.collect()
    assert alive() is None  # even where its tuple came from the free lists


def check_one_traceback_entry_per_failed_call():
    def boom(*args):
        raise ValueError()
    for routine, args, broken, error, line in [
            ("drawSquare", (1,), {"glVertex3f": boom}, ValueError, 96),
            ("drawGrayCube", (1,), {"glPopMatrix": boom}, ValueError, 109),
            ("drawColoredCube", (1,), {"glRotatef": None}, NameError, 165),
            ("drawViewVolume", (1, 2, 3, 4, 5, 0), {}, ZeroDivisionError, 67),
            ("drawViewVolume", (1, 2, 3, 4, 5), {}, TypeError, 43)]:
        Recorder(Pelmora)
        for name, value in broken.items():
            setattr(Pelmora, name, value) if value else delattr(Pelmora, name)
        codes = []
        # The entry is made whatever the namespace's __builtins__ holds, or without one.
        for builtins_value in [builtins, 5, None, DELETED]:
            Pelmora.__builtins__ = builtins_value
            if builtins_value is DELETED:
                del Pelmora.__builtins__
            with pytest.raises(error) as excinfo:
                getattr(Pelmora, routine)(*args)
            assert [(n, field.split(" ")[0]) for n, field in module_entries(excinfo)] == \
                [(line, "Pelmora." + routine)]
            tb = excinfo.tb
            while tb.tb_frame.f_code.co_filename != MODULE_FILE:
                tb = tb.tb_next
            assert tb.tb_frame.f_lineno == line and tb.tb_frame.f_globals is Pelmora.__dict__
            codes.append(tb.tb_frame.f_code)
        # A new frame per failure; one code object per place, made with the module.
        assert all(code is codes[0] for code in codes[1:]), routine
        Pelmora.__builtins__ = builtins


class Released(object):
    """Logs its own release: a callee, what it returns, or an item made for it."""

    def __init__(self, log, label):
        self.log, self.label = log, label

    def __del__(self):
        self.log.append(self.label)

    def __neg__(self):
        return Released(self.log, "-" + self.label)

    def __truediv__(self, other):
        return Bound(self.log, "(%s/%s)" % (self.label, getattr(other, "label", other)))
    __div__ = __truediv__

    def __call__(self, *args):
        return Released(self.log, "result")


class Bound(Released):
    """A quotient, whose products with a parameter are items."""

    def __mul__(self, other):
        return Released(self.log, "%s*%s" % (self.label, other.label))


def check_release_order():
    """The callee, then the items (last first), then the result, as plain Python releases them,
    on the tuple and the vector-call paths; when an item fails, those made before it go last
    first, then the callee."""
    log, functions = [], []

    def fresh_function(name):  # a vector call, released with its statement
        function = lambda *args: Released(log, "result")
        functions.append(weakref.ref(function, lambda ref: log.append("callee")))
        return function
    Recorder(Pelmora, ["glColor4f", "glBegin", "glVertex4d", "glEnd"])
    del Pelmora.glVertex3d
    for callee in (lambda name: Released(log, "callee"), fresh_function):
        Pelmora.__getattr__ = callee
        with pytest.raises(TypeError):  # 1.0 / near fails in row 20
            Pelmora.drawViewVolume(1.0, 1.0, 1.0, 1.0, Released(log, "near"), 1.0)
        assert log[:4] == ["callee", "-near", "result", "callee"], callee
        del log[:]
    logs = []
    for module in TWINS:  # the callee from builtins, which keep it
        del log[:]
        far = Released(log, "far")
        far.__class__ = type("Far", (Released,), {"__neg__": lambda self: 1 / 0})
        Recorder(module, ["glColor4f", "glBegin", "glVertex3d", "glVertex4d"])
        module.glVertex4d = lambda *args: None
        with pytest.raises(ZeroDivisionError):  # -far, after both products of row 20
            module.drawViewVolume(Released(log, "left"), 1.0, 1.0, Released(log, "top"),
                                  Released(log, "near"), far)
        logs.append([entry for entry in log if "*" in entry])
    assert logs[0] == logs[1] == ["(far/near)*top", "(far/near)*left"]


class Dying(object):
    """A product whose release looks for half-emptied tuples and, the first time, re-enters."""

    def __init__(self, module, log, label):
        self.module, self.log, self.label = module, log, label

    def __del__(self):
        self.log.append(("released", self.label, half_filled_tuples()))
        if len(self.log) < 4:
            self.module.drawSquare(1.5)


def half_filled_tuples():
    return len([t for t in gc.get_objects() if type(t) is tuple and len(t) <= 4 and
                "<NULL>" in repr(t).strip("(,)").split(", ")])


class Record(object):
    """A callee without a vector call, so handed the argument tuple itself; keeps no item."""

    def __init__(self, log):
        self.log = log

    def __call__(self, *args):
        self.log.append(tuple("Dying" if type(a) is Dying else a for a in args))


def check_objects_made_again_are_new_to_everyone():
    """Tuples and floats from the engine's free lists, to callees handed the tuple itself: the
    calls of plain Python, a tuple hashed as a key; items released last first, and no tuple
    half filled while an item is made or released."""
    logs = []
    for module in TWINS:
        log = []
        recorder = Recorder(module, ["glBegin", "glEnd"], calls=log)
        module.glVertex3f = Record(log)

        def product(self, other, module=module, log=log):
            log.append(("made", other, half_filled_tuples()))
            return Dying(module, log, other)
        module.drawSquare(type("Size", (object,), {"__rmul__": product})())
        module.drawSquare(2)
        if lru_cache:
            module.glVertex3f = lru_cache(maxsize=None)(recorder.callee("cached"))
        for size in (1, 1, 2, 1, 2):
            module.drawSquare(size)
        logs.append(log)
    calls = [[entry for entry in log if entry[0] not in ("released", "made")] for log in logs]
    assert calls[0] == calls[1]
    assert [entry for entry in logs[0] if entry[0] == "released"] == \
        [("released", value, 0) for value in (-.5, -.5, -.5, .5, .5, .5, .5, -.5)]
    assert [entry[2] for entry in logs[0] if entry[0] == "made"] == [0] * 8


CHECKS = [check_rebinding_takes_effect_from_the_next_statement,
          check_watchers_running_routines_mid_change_see_every_change,
          check_floats_fresh_and_shared_tuples_the_very_objects,
          check_one_traceback_entry_per_failed_call, check_objects_made_again_are_new_to_everyone,
          check_keys_that_compare_by_their_own_code,
          check_changed_module_class_and_getattr_go_the_generic_way, check_release_order]
if sys.version_info < (3, 7):  # module __getattr__ is 3.7+
    CHECKS = CHECKS[:6]


def run_checks(checks):
    for check in checks:
        with Restorer():
            check()


@pytest.mark.parametrize("check", CHECKS, ids=[check.__name__[6:] for check in CHECKS])
def test_cached(namespace, check):
    check()


def test_uncached(monkeypatch):
    monkeypatch.setenv("PELMORA_UNCACHED", "1")
    status, out, err = run_code("import test_engine as e, test_routines as r\n"
                                "e.run_checks(e.CHECKS + r.CHECKS)")
    assert status == 0, err


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers are Python 3.12+")
def test_without_a_free_dict_watcher_lookups_stay_plain():
    status, out, err = run_code(WATCHER_IDS + "assert len(take_watcher_ids()) > 0\n"
                                "import test_engine as e\ne.run_checks(e.CHECKS)")
    assert status == 0, err


@pytest.mark.parametrize("setting, kept", [(None, CACHED), ("", CACHED), ("0", CACHED),
                                           ("1", False), ("yes", False)])
def test_switch_read_at_import(setting, kept):
    # A kept lookup holds a reference of its own to what it found.
    status, out, err = run_code("""
        import sys, Pelmora
        Pelmora.glBegin = Pelmora.glVertex3f = lambda *args: None
        Pelmora.glEnd = end = lambda: None
        before = sys.getrefcount(end)
        Pelmora.drawSquare(1)
        print(sys.getrefcount(end) - before)""", unset=["PELMORA_UNCACHED"],
        environment={} if setting is None else {"PELMORA_UNCACHED": setting})
    assert (status, out.strip()) == (0, "1" if kept else "0"), err
