"""Test helpers, one of each: the scenario runner that observes a routine of Pelmora or of its
plain-Python twin, the recording callee, a float that logs its arithmetic, the C-level call
that passes any keyword dictionary, and fresh interpreters that find this build."""
import ctypes
import os
import re
import subprocess
import sys
import textwrap
import traceback

import Pelmora
from pelmora_tools import reference

PY3 = sys.version_info[0] >= 3
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE_FILE = "Pelmora.py"
TWINS = [Pelmora, reference]
ROUTINES = ["draw3DCoordinateAxes", "drawViewVolume", "drawSquare", "drawGrayCube",
            "drawColoredCube"]
# Every name the routines look up; drawSquare is left bound to each module's own routine.
GL_CALLEES = ["glBegin", "glEnd", "glVertex3f", "glVertex3d", "glVertex4d", "glColor4f",
              "glPushMatrix", "glPopMatrix", "glTranslatef", "glRotatef"]
GL_CONSTANTS = ["GL_LINES", "GL_QUADS"]
DELETED = object()
FIELD = re.compile(r"^Pelmora\.(\w+) \((?:module|draw)/(\w+\.cpp):(\d+)\)$")

# Source defining a meta-path finder that makes every import of PyOpenGL fail.
BLOCK_OPENGL = """
import sys
class BlockOpenGL(object):
    def find_module(self, name, path=None, target=None):
        if name.split(".")[0] == "OpenGL":
            raise ImportError("No module named " + name)
    find_spec = find_module
"""

# A stand-in PyOpenGL whose functions accept anything and do nothing: for fresh interpreters
# and subinterpreters that exercise the module without an OpenGL context.
STUB_OPENGL = {
    "__init__.py": "", "GLUT.py": "", "GLU.py": "",
    "GL.py": "GL_LINES, GL_QUADS = 0x0001, 0x0007\n"
             "def glBegin(*args): pass\n"
             "glEnd = glVertex3f = glVertex3d = glVertex4d = glColor4f = glBegin\n"
             "glPushMatrix = glPopMatrix = glTranslatef = glRotatef = glBegin\n",
}


class Failure(Exception):
    """What a recording callee raises on its armed call."""


class Recorder(object):
    """Binds a recording callee for each of `names` in `module`; `calls` lists (name, args),
    interleaved with whatever else shares the list. Call number `fail_at` (from 1) raises."""

    def __init__(self, names=GL_CALLEES, module=Pelmora, fail_at=None, calls=None):
        self.calls = [] if calls is None else calls
        self.count, self.fail_at = 0, fail_at
        for name in names:
            setattr(module, name, self.callee(name))

    def callee(self, name):
        def record(*args, **kwargs):
            assert not kwargs, "the routines never pass keywords"
            self.calls.append((name, args))
            self.count += 1
            if self.count == self.fail_at:
                raise Failure(name)
        return record

    def names(self):
        return [name for name, _ in self.calls]

    def args_of(self, name):
        return [args for called, args in self.calls if called == name]


class Traced(float):
    """A float that logs each arithmetic operation it takes part in, with its operands in the
    order the operation saw them and whether Python called the reflected method."""

    def __new__(cls, value, label, log):
        self = float.__new__(cls, value)
        self.label, self.log = label, log
        return self

    def _apply(self, symbol, other, reflected, operation):
        left, right = (other, self) if reflected else (self, other)
        self.log.append(("op", (symbol, label_of(left), label_of(right), reflected)))
        value = operation(float(left), float(right))
        return Traced(value, "(%s%s%s)" % (label_of(left), symbol, label_of(right)), self.log)

    def __mul__(self, other):
        return self._apply("*", other, False, lambda a, b: a * b)

    def __rmul__(self, other):
        return self._apply("*", other, True, lambda a, b: a * b)

    def __truediv__(self, other):
        return self._apply("/", other, False, lambda a, b: a / b)

    def __rtruediv__(self, other):
        return self._apply("/", other, True, lambda a, b: a / b)

    __div__, __rdiv__ = __truediv__, __rtruediv__

    def __neg__(self):
        self.log.append(("op", ("-", self.label)))
        return Traced(-float(self), "-" + self.label, self.log)


def label_of(value):
    return value.label if isinstance(value, Traced) else repr(value)


def describe(value, arguments):
    """What a callee can tell about an object: which caller's argument it is, or its type and
    value (a traced float also by the expression that made it)."""
    for index, argument in enumerate(arguments):
        if value is argument:
            return ("argument", index)
    if isinstance(value, Traced):
        return ("traced", value.label, repr(float(value)))
    return (type(value).__name__, re.sub(" at 0x[0-9a-f]+", "", repr(value)))


def entries(tb):
    """(line, routine) of each traceback entry of a routine of either twin, and "callee" for
    each entry of a recording callee, outermost first."""
    found = []
    for filename, line, function, _ in traceback.extract_tb(tb):
        base = os.path.basename(filename)
        if base == MODULE_FILE:
            field = FIELD.match(function)
            found.append((line, field.group(1) if field else function))
        elif base.startswith("reference.py"):
            found.append((line, function))
        elif base.startswith("recording.py") and function == "record":
            found.append("callee")
    return found


def message(error):
    """The exception's text; for NameError only the missing name, which Pelmora gives bare."""
    text = str(error)
    if isinstance(error, NameError):
        found = re.match(r"(?:global )?name '(\w+)' is not defined", text)
        return found.group(1) if found else text
    return text


def bind(module, name, value):
    if value is DELETED:
        if name in module.__dict__:
            delattr(module, name)
    else:
        setattr(module, name, value)


def observe(module, routine, args=(), kwargs=None, fail_at=None, bindings=(), log=None):
    """Everything one call of `routine` of `module` shows: each call its callees received,
    each logged operation, in order, then the result or the exception, its text and the
    traceback entries. Leaves recorders bound in `module`; restore it afterwards."""
    log = [] if log is None else log
    Recorder(GL_CALLEES, module, fail_at, log)
    for name, value in bindings:
        bind(module, name, value)
    arguments = list(args) + list((kwargs or {}).values())
    try:
        result = getattr(module, routine)(*args, **(kwargs or {}))
        outcome = ("returned", describe(result, arguments))
    except Exception as error:
        outcome = ("raised", type(error).__name__, message(error), entries(sys.exc_info()[2]))
    seen = [(name, tuple(describe(item, arguments) for item in items))
            if name != "op" else (name, items) for name, items in log]
    return seen + [outcome]


def traced_bounds(values, log):
    return [Traced(value, label, log) for value, label in
            zip(values, ["left", "right", "bottom", "top", "near", "far"])]


class Restorer(object):
    """Puts back every binding of the given modules' namespaces as it was at creation."""

    def __init__(self, modules):
        self.saved = [(module, dict(module.__dict__)) for module in modules]

    def restore(self):
        missing = object()
        for module, saved in self.saved:
            current = module.__dict__
            for name in [name for name in current if name not in saved]:
                delattr(module, name)
            for name, value in saved.items():
                if current.get(name, missing) is not value:
                    setattr(module, name, value)


# For a fresh interpreter's script: take_watcher_ids() takes every free dictionary watcher id
# (3.12+), free_watcher_ids() counts them by taking all and giving them back (None before 3.12).
WATCHER_IDS = """
import ctypes, sys
def take_watcher_ids():
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object,
                                ctypes.py_object, ctypes.py_object)(lambda *args: 0)
    take_watcher_ids.callbacks = getattr(take_watcher_ids, "callbacks", []) + [callback]
    add = ctypes.pythonapi.PyDict_AddWatcher
    add.argtypes = [ctypes.c_void_p]
    taken = []
    try:
        while True:
            taken.append(add(ctypes.cast(callback, ctypes.c_void_p)))
    except RuntimeError:
        return taken
def free_watcher_ids():
    if sys.version_info < (3, 12):
        return None
    clear = ctypes.pythonapi.PyDict_ClearWatcher
    clear.argtypes = [ctypes.c_int]
    taken = take_watcher_ids()
    for watcher in taken:
        clear(watcher)
    return len(taken)
"""


def module_entries(excinfo):
    """(line, function-name field) of each traceback entry the module added."""
    return [(entry[1], entry[2]) for entry in traceback.extract_tb(excinfo.tb)
            if entry[0] == MODULE_FILE]


def call_with_dict(function, args, kwargs=None):
    """Calls through the C API with `args` itself and `kwargs` (None: no dictionary), so keys
    the interpreter would refuse reach the routine."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, args, ctypes.py_object() if kwargs is None else kwargs)


def set_view(ortho, rotation):
    """An orthographic projection and a rotated modelview, for the real-GL tests."""
    from OpenGL import GL
    GL.glMatrixMode(GL.GL_PROJECTION)
    GL.glLoadIdentity()
    GL.glOrtho(*ortho)
    GL.glMatrixMode(GL.GL_MODELVIEW)
    GL.glLoadIdentity()
    GL.glRotatef(*rotation)


def write_opengl(directory, files):
    """A stand-in OpenGL package of {file name: source} under `directory`; returns the path."""
    for name, text in files.items():
        directory.join("OpenGL", name).write(textwrap.dedent(text), ensure=True)
    return str(directory)


def run(command, paths=(), cwd=None, unset=()):
    """(status, stdout, stderr) of `command`, with `paths`, this build of the module and the
    repository's tools first on PYTHONPATH, and the variables `unset` removed."""
    env = dict((k, v) for k, v in os.environ.items() if k not in unset)
    search = (list(paths) + [os.path.dirname(Pelmora.__file__), ROOT] +
              env.get("PYTHONPATH", "").split(os.pathsep))
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(path) for path in search if path)
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    out, err = process.communicate()
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def run_code(code, **kwargs):
    """`run` of a fresh interpreter on the source `code`."""
    return run([sys.executable, "-c", textwrap.dedent(code)], **kwargs)


def assert_twins(routine, args=(), kwargs=None, fail_at=None, bindings=()):
    """Runs one scenario against Pelmora and its twin and asserts they show the same; returns
    what Pelmora showed. `args` and `bindings` may be functions of the log or module, for
    objects that must be fresh for each twin."""
    seen = []
    for module in TWINS:
        log = []
        made = args(log) if callable(args) else args
        bound = bindings(module) if callable(bindings) else bindings
        seen.append(observe(module, routine, made, kwargs, fail_at, bound, log))
    assert seen[0] == seen[1]
    return seen[0]


def call_count(routine, args=()):
    """How many recorded calls one clean run of the twin's `routine` makes."""
    restorer = Restorer([reference])
    try:
        log = []
        seen = observe(reference, routine, args(log) if callable(args) else args, log=log)
        return len([name for name, _ in seen[:-1] if name != "op"])
    finally:
        restorer.restore()


def assert_every_call_failing(routine, args=()):
    """Each recorded call of `routine` raises once, in turn: both twins stop at the same row
    with the same entries, and each entry Pelmora adds names the implementation line of a
    row that calls what failed."""
    for fail_at in range(1, call_count(routine, args) + 1):
        seen = assert_twins(routine, args, fail_at=fail_at)
        failed = seen[-2][0]
        module_fields = [field for field in _fields(routine, args, fail_at)]
        callees = ["drawSquare"] * (len(module_fields) - 1) + [failed]
        for (source, line), callee in zip(module_fields, callees):
            assert callee in _source_line(source, line), (fail_at, source, line, callee)


def _fields(routine, args, fail_at):
    restorer = Restorer([Pelmora])
    Recorder(GL_CALLEES, Pelmora, fail_at)
    try:
        getattr(Pelmora, routine)(*(args([]) if callable(args) else args))
    except Failure:
        return [(FIELD.match(field).group(2), int(FIELD.match(field).group(3)))
                for field in [entry[2] for entry in traceback.extract_tb(sys.exc_info()[2])
                              if entry[0] == MODULE_FILE]]
    finally:
        restorer.restore()
    raise AssertionError("call %d did not fail" % fail_at)


def _source_line(name, line):
    for folder in ("module", "draw"):
        path = os.path.join(ROOT, "src", folder, name)
        if os.path.exists(path):
            with open(path) as source:
                return source.read().split("\n")[line - 1]
    raise AssertionError("no source file " + name)
