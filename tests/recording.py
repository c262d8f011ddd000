"""Test helpers, one of each: the recording callee, traced numbers, the runner that observes a
routine of Pelmora or of its plain-Python twin, the C-level call, fresh interpreters."""
import ctypes
import os
import re
import subprocess
import sys
import textwrap
import traceback
import types

import Pelmora
from pelmora_tools import reference
from pelmora_tools.names import GL_CALLEES, GL_CONSTANTS, ROUTINES  # noqa: F401 (the tests')
from pelmora_tools.record import Failure, Rebinding, Recorder  # noqa: F401

try:
    import builtins
except ImportError:  # Python 2.7
    import __builtin__ as builtins

PY3 = sys.version_info[0] >= 3
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE_FILE, TWINS, DELETED = "Pelmora.py", [Pelmora, reference], object()
FIELD = re.compile(r"^Pelmora\.(\w+) \(((?:module|draw)/\w+\.cpp):(\d+)\)$")
BLOCK_OPENGL = """
import sys
class BlockOpenGL(object):
    def find_module(self, name, path=None, target=None):
        if name.split(".")[0] == "OpenGL":
            raise ImportError("No module named " + name)
    find_spec = find_module
"""
# A stand-in PyOpenGL whose functions accept anything and do nothing.
STUB_OPENGL = {"__init__.py": "", "GLUT.py": "", "GLU.py": "", "GL.py": """
GL_LINES, GL_QUADS = 0x0001, 0x0007
def glBegin(*args): pass
glEnd = glVertex3f = glVertex3d = glVertex4d = glColor4f = glBegin
glPushMatrix = glPopMatrix = glTranslatef = glRotatef = glBegin"""}


class Traced(object):
    """Numbers that log each operation on them: operands in order, and if it was reflected."""

    def __new__(cls, value, label, log):
        self = super(Traced, cls).__new__(cls, value)
        self.label, self.log = label, log
        return self

    def _apply(self, symbol, other, reflected):
        left, right = (other, self) if reflected else (self, other)
        self.log.append(("op", (symbol, label_of(left), label_of(right), reflected)))
        value = float(left) * float(right) if symbol == "*" else float(left) / float(right)
        return traced(value, "(%s%s%s)" % (label_of(left), symbol, label_of(right)), self.log)

    def __neg__(self):
        self.log.append(("op", ("-", self.label)))
        return traced(-float(self), "-" + self.label, self.log)


for _symbol, _name in [("*", "mul"), ("/", "truediv"), ("/", "div")]:
    setattr(Traced, "__%s__" % _name, lambda self, other, s=_symbol: self._apply(s, other, False))
    setattr(Traced, "__r%s__" % _name, lambda self, other, s=_symbol: self._apply(s, other, True))
TracedFloat, TracedInt = [type("Traced", (Traced, kind), {}) for kind in (float, int)]


def traced(value, label, log):
    return (TracedInt if type(value) is int else TracedFloat)(value, label, log)


def label_of(value):
    return value.label if isinstance(value, Traced) else repr(value)


def describe(value, arguments):
    """Which caller's argument a value is, or its type and value (and a traced one's maker)."""
    for index, argument in enumerate(arguments):
        if value is argument:
            return ("argument", index)
    if isinstance(value, Traced):
        return ("traced", value.label, repr(float(value)))
    return (type(value).__name__, re.sub(" at 0x[0-9a-f]+", "", repr(value)))


def entries(tb):
    """(line, routine, callee of the statement) of each entry of either twin, "callee" for a
    recording callee's; Pelmora's callee is read off the implementation line it names."""
    found = []
    for filename, line, function, text in traceback.extract_tb(tb):
        base = os.path.basename(filename)
        if base == MODULE_FILE:
            field = FIELD.match(function)
            site = field and source_line(field.group(2), int(field.group(3)))
            called = re.search(r"call\w*\(__LINE__, [^,]+, Text::(\w+)", site or "")
            function = field.group(1) if field else function
        elif base.startswith("reference.py"):
            called = re.match(r"(\w+)\(", text or "")
        else:
            if base.startswith(("record.py", "recording.py")) and function in ("record",
                                                                               "<lambda>"):
                found.append("callee")
            continue
        found.append((line, function, called and called.group(1)))
    return found


def source_line(path, line):
    with open(os.path.join(ROOT, "src", path)) as source:
        return ([""] + source.read().splitlines() + [""] * line)[line]


def message(error):
    """The twin's exception text, with a NameError's sentence cut to the bare name that
    Pelmora gives."""
    found = re.match(r"(?:global )?name '(\w+)' is not defined", str(error))
    return found.group(1) if isinstance(error, NameError) and found else str(error)


def Restorer(modules=(Pelmora, reference, builtins)):
    """Puts back the namespaces of the twins and the builtins as they are now."""
    return Rebinding(modules)


def observe(module, routine, args=(), kwargs=None, fail_at=None, bindings=(), instance=False):
    """What one call shows, in order: its callees' calls, traced operations, the result or the
    exception, its text and entries. `args` and `bindings` may be functions of the log and the
    module (objects fresh for each twin); DELETED deletes a name."""
    log, restorer = [], Restorer([module, builtins])
    try:
        Recorder(module, GL_CALLEES, fail_at, log, instance)
        for name, value in (bindings(module) if callable(bindings) else bindings):
            if value is not DELETED:
                setattr(module, name, value)
            elif name in module.__dict__:
                delattr(module, name)
        args = args(log) if callable(args) else args
        arguments = list(args) + list((kwargs or {}).values())
        try:
            outcome = ("returned", describe(getattr(module, routine)(*args, **(kwargs or {})),
                                            arguments))
        except Exception as error:
            text = str(error) if module is Pelmora else message(error)
            outcome = ("raised", type(error).__name__, text, entries(sys.exc_info()[2]))
    finally:
        restorer.restore()
    return [(name, tuple(describe(item, arguments) for item in items))
            if name != "op" else (name, items) for name, items in log] + [outcome]


def assert_twins(routine, args=(), kwargs=None, fail_at=None, bindings=(), instance=False):
    """Asserts that Pelmora and its twin show the same in one scenario; returns what it was."""
    seen = [observe(module, routine, args, kwargs, fail_at, bindings, instance)
            for module in TWINS]
    assert seen[0] == seen[1], (routine, args, kwargs, fail_at, bindings)
    return seen[0]


def fresh_twin():
    """A new module run from the twin's source: code no call has warmed yet."""
    twin = types.ModuleType(reference.__name__)
    twin.__file__ = reference.__file__
    with open(reference.__file__.replace(".pyc", ".py")) as source:
        exec(compile(source.read(), twin.__file__, "exec"), twin.__dict__)
    return twin


def module_entries(excinfo):
    """(line, function-name field) of each traceback entry the module added."""
    return [entry[1:3] for entry in traceback.extract_tb(excinfo.tb) if entry[0] == MODULE_FILE]


def call_with_dict(function, args, kwargs=None):
    """Calls through the C API with `args` itself and `kwargs` (None: no dictionary)."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
    return call(function, args, ctypes.py_object() if kwargs is None else kwargs)


# For a fresh interpreter (3.12+): take every free dictionary watcher id, or count them.
WATCHER_IDS = """
import ctypes
api = ctypes.pythonapi
api.PyDict_AddWatcher.argtypes = [ctypes.c_void_p]
api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]
callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, *[ctypes.py_object] * 3)(lambda *a: 0)
def take_watcher_ids():
    taken = []
    try:
        while True:
            taken.append(api.PyDict_AddWatcher(ctypes.cast(callback, ctypes.c_void_p)))
    except RuntimeError:
        return taken
def free_watcher_ids():
    return len([api.PyDict_ClearWatcher(watcher) for watcher in take_watcher_ids()])
"""


def write_opengl(directory, files):
    """A stand-in OpenGL package of {file name: source} under `directory`; returns the path."""
    for name, text in files.items():
        directory.join("OpenGL", name).write(textwrap.dedent(text), ensure=True)
    return str(directory)


def run(command, paths=(), cwd=None, unset=(), environment=None):
    """(status, stdout, stderr) of `command` with `paths`, this build, tests/ and the tree first
    on PYTHONPATH, the variables `unset` removed and those of `environment` set."""
    env = dict((k, v) for k, v in os.environ.items() if k not in unset)
    env.update(environment or {})
    search = list(paths) + [os.path.dirname(Pelmora.__file__), os.path.join(ROOT, "tests"),
                            ROOT] + env.get("PYTHONPATH", "").split(os.pathsep)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(path) for path in search if path)
    process = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    out, err = process.communicate()
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def run_code(code, tmpdir=None, paths=(), **kwargs):
    """`run` of a fresh interpreter on `code`; with `tmpdir`, on the stand-in PyOpenGL."""
    paths = list(paths) + ([write_opengl(tmpdir, STUB_OPENGL)] if tmpdir else [])
    return run([sys.executable, "-c", textwrap.dedent(code)], paths=paths, **kwargs)
