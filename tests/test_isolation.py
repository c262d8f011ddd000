"""One module per import and per interpreter: re-import and reload, subinterpreters, threads that
rebind names while routines run, deep re-entry; each in a fresh interpreter on a stand-in
PyOpenGL."""
import platform
import sys
import sysconfig
import textwrap

import pytest

from recording import GL_CALLEES, PY3, WATCHER_IDS, run_code

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# bind() makes drawSquare's callees record which module they were bound in; drawn() says.
RECORD = """
import sys
calls = []
def bind(module, tag):
    for name in ("glBegin", "glVertex3f", "glEnd"):
        setattr(module, name, lambda *args, **kw: calls.append(tag))
def drawn(module):
    del calls[:]
    module.drawSquare(1)
    return sorted(set(calls))
"""


def run_recorded(code, tmpdir):
    status, out, err = run_code(RECORD + textwrap.dedent(code), tmpdir)
    assert status == 0, err
    return out, err


def test_reimport_reads_the_new_module_and_reload_keeps_it(tmpdir):
    # Every module draws before the next one is made, so each has lookups kept. A reload runs
    # no init again: Python 3 gives back the same module, 2.7 refills a copy of the namespace.
    out, err = run_recorded("""
        import Pelmora as first
        bind(first, "first")
        print(drawn(first))
        del sys.modules["Pelmora"]
        import Pelmora as second
        drawn(second)
        bind(second, "second")
        print("%s %s" % (drawn(second), drawn(first)))
        bind(first, "first again")
        print("%s %s" % (drawn(first), drawn(second)))
        third = (getattr(__import__("importlib"), "reload", None) or reload)(second)
        print("%s %s" % (third is second, drawn(third)))
    """, tmpdir)
    assert out.splitlines() == (["['first']", "['second'] ['first']", "['first again'] ['second']",
                                 "True ['second']"] if PY3 else
                                # one module per process: all read the first import's namespace
                                ["['first']", "['first'] ['first']",
                                 "['first again'] ['first again']", "True ['first again']"])


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers are Python 3.12+")
def test_modules_share_one_watcher_id_and_give_it_back(tmpdir):
    out, err = run_recorded(WATCHER_IDS + textwrap.dedent("""
        import gc, Pelmora
        before, modules, wrong = free_watcher_ids(), [], []  # the first module holds one
        for number in range(10):  # more modules than there are watcher ids
            del sys.modules["Pelmora"]
            import Pelmora
            modules.append(Pelmora)
            for tag in (number, -number - 1):
                bind(Pelmora, tag)
                wrong += [seen for seen in (drawn(Pelmora), drawn(Pelmora)) if seen != [tag]]
        taken = before - free_watcher_ids()
        del sys.modules["Pelmora"], Pelmora, modules[:]  # the cycle collector frees the modules
        gc.collect()
        print("%s %d %d" % (wrong, taken, free_watcher_ids() - before))
    """), tmpdir)
    assert out.strip() == "[] 0 %d" % (not FREE_THREADED)  # no cache without a GIL


def test_legacy_subinterpreters_keep_their_own_module_and_leak_nothing(tmpdir):
    out, err = run_recorded("""
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            sys.stdout.write("skip")
            sys.exit()
        import Pelmora
        bind(Pelmora, "main")
        # Each subinterpreter binds its own recorders and must see only those.
        code = %r + "import Pelmora\\nbind(Pelmora, 'sub')\\nassert drawn(Pelmora) == ['sub']\\n"
        def growth(source, count):
            before = int(open("/proc/self/statm").read().split()[1])
            assert [run_in_subinterp(source) for _ in range(count)] == [0] * count
            return (int(open("/proc/self/statm").read().split()[1]) - before) * 4
        growth(code, 10)
        # Some interpreters lose memory with every subinterpreter of their own accord.
        baseline = growth("import OpenGL.GL, OpenGL.GLU, OpenGL.GLUT", 40)
        print("%%s %%d" %% (drawn(Pelmora), growth(code, 40) - baseline))
    """ % RECORD, tmpdir)
    if out.strip() == "skip":
        pytest.skip("this interpreter's _testcapi has no run_in_subinterp")
    calls, growth = out.rsplit(" ", 1)
    # A module state that outlived its interpreter cost about 100 KiB each time (4 MB here); each
    # subinterpreter of a free-threaded build keeps megabytes of its own.
    assert calls == "['main']" and (FREE_THREADED or int(growth) < 1536), out


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters are 3.12+")
def test_isolated_subinterpreter_leaves_the_main_interpreter_alone(tmpdir):
    out, err = run_recorded("""
        try:
            import _interpreters as interpreters
            run = interpreters.exec
        except ImportError:
            import _xxsubinterpreters as interpreters
            run = interpreters.run_string
        interpreter = interpreters.create()
        try:  # 3.12 raises what failed in the subinterpreter
            run(interpreter, "import Pelmora\\nPelmora.drawSquare(1)\\nprint('sub ok')")
        except Exception as exc:
            sys.stderr.write("%r\\n" % exc)
        interpreters.destroy(interpreter)
        import Pelmora
        bind(Pelmora, "main")
        print("main %s" % drawn(Pelmora))
    """, tmpdir)
    if sys.version_info < (3, 13):
        # ctypes, and so PyOpenGL, cannot load there: the module says so before it runs.
        assert "does not support loading in subinterpreters" in err
    assert out in ("main ['main']\n", "sub ok\nmain ['main']\n") and "SystemExit" not in err, err


# Runs `work(slot)` in each thread until every thread has gone round at least ROUNDS times: the
# threads start together on a gate and stop on an event, each counting in its own slot.
THREADS = """
import threading
try:
    __import__("faulthandler").dump_traceback_later(120, exit=True)  # if it hangs instead
except ImportError:
    pass
ROUNDS = 20
def run_threads(works):
    gate, stop, failures = threading.Event(), threading.Event(), []
    counts, ready = [0] * len(works), [threading.Event() for _ in works]
    def loop(slot):
        gate.wait()
        while not stop.is_set():
            try:
                works[slot](counts[slot])
            except Exception as exc:
                failures.append(repr(exc))
                break
            counts[slot] += 1
            if counts[slot] >= ROUNDS:
                ready[slot].set()
        ready[slot].set()
    threads = [threading.Thread(target=loop, args=(slot,)) for slot in range(len(works))]
    [thread.start() for thread in threads]
    gate.set()
    [event.wait() for event in ready]
    stop.set()
    [thread.join() for thread in threads]
    return failures[:3], min(counts) >= ROUNDS or failures
"""


def test_threads_rebinding_names_while_routines_run(tmpdir):
    # On a free-threaded build this runs without a GIL; elsewhere the GIL switches threads.
    out, err = run_recorded(THREADS + """
import Pelmora as m
names = %r + ("drawSquare", "GL_QUADS", "GL_LINES")
square, view = m.drawSquare, m.drawViewVolume
routines = [lambda: square(1), lambda: m.drawGrayCube(1), lambda: m.drawColoredCube(1),
            m.draw3DCoordinateAxes, lambda: view(-1, 1, -1, 1, far=10, near=1)]
Callee = type("Callee", (object,), {"__call__": lambda self, *args: args})  # freed at once
def rebind(number):
    for step in range(len(names)):
        name, number = names[(number + step) %% len(names)], number + step
        if number %% 4 == 0:
            m.__dict__.pop(name, None)
        else:  # a callee, or a new int freed on the next rebind
            setattr(m, name, int("7%%d" %% number) if name[:3] == "GL_" else
                    square if name == "drawSquare" and number %% 3 == 0 else Callee())
def call(number):
    for routine in routines:
        try:
            routine()
        except (NameError, TypeError):
            pass  # a name deleted, or a constant where a callee was wanted
print(run_threads([call] * 3 + [rebind] * 2))
""" % (GL_CALLEES,), tmpdir)
    assert out.strip() == "([], True)", err


@pytest.mark.skipif(not PY3, reason="a Python 2.7 class call keeps no argument tuple as `args`")
def test_threads_keep_their_own_argument_tuples(tmpdir):
    # Callees that keep the tuple they are given and let other threads run mid-call: no kept
    # tuple may take another call's items, whatever the engine makes again meanwhile.
    out, err = run_recorded(THREADS + """
import time, Pelmora
kept = []
class Keep(Exception):  # a class call keeps its argument tuple as `args`
    def __init__(self, *args):
        self.given = args  # a copy of the items, made here
        kept.append(self)
        time.sleep(0)
for name in ("glBegin", "glVertex3f", "glEnd"):
    setattr(Pelmora, name, Keep)
def draw(size):
    def work(number):
        Pelmora.drawSquare(size)
        del kept[:-50]  # those let go are made again
    return work
print(run_threads([draw(size) for size in (2, 4, 6)]))
vertices = [k.args for k in kept if len(k.args) == 3]
print(len(vertices) > 0 and all(k.args == k.given for k in kept) and
      all(abs(x) == abs(y) and z == 0 and type(z) is int for x, y, z in vertices))
""", tmpdir)
    assert out.split() == ["([],", "True)", "True"], err


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded build can run without a GIL")
def test_import_keeps_the_gil_off(tmpdir):
    assert run_recorded("import Pelmora\nprint(sys._is_gil_enabled())", tmpdir) == ("False\n", "")


DEEP = "\ndeep = []\nfor _ in range(1200):\n    deep = [deep]\n"


@pytest.mark.parametrize("binding, limit, stack", [
    ("Pelmora.drawSquare", None, 1024),
    ("lambda *args: Pelmora.drawSquare(1)", None, 1024),
    # A callee that needs more stack than a routine entry: the interpreter's own recursion
    # limit is lifted, so the routines must leave it room to fail cleanly.
    ("lambda *args: [repr(deep), Pelmora.drawSquare(1)]", 10 ** 6, 512),
])
def test_deep_reentry_in_a_thread_raises_recursion_error(tmpdir, binding, limit, stack):
    out, err = run_recorded(DEEP + """
import threading, Pelmora
Pelmora.glBegin, outcome = %s, []
if %r:
    sys.setrecursionlimit(%r)
def reenter():
    try:
        Pelmora.drawSquare(1)
    except RuntimeError as exc:  # RecursionError on Python 3
        outcome.append(type(exc).__name__)
threading.stack_size(%d << 10)
thread = threading.Thread(target=reenter)
thread.start()
thread.join()
print(outcome)
""" % (binding, limit, limit, stack), tmpdir)
    assert out.strip() == str(["RecursionError" if PY3 else "RuntimeError"]), err


@pytest.mark.skipif(platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc",
                    reason="the fiber is set up with glibc's x86_64 ucontext_t layout")
def test_routines_on_a_stack_of_their_own(tmpdir):
    # A fiber on a mapped stack that is not the thread's: the routines run there as plain
    # Python does.
    out, err = run_recorded("""
import ctypes, mmap, Pelmora
from pelmora_tools import reference
libc, size = ctypes.CDLL(None), 1 << 20
here, fiber = ctypes.create_string_buffer(4096), ctypes.create_string_buffer(4096)
stack = mmap.mmap(-1, size)
for module in (Pelmora, reference):
    bind(module, module.__name__)
    @ctypes.CFUNCTYPE(None)
    def body():
        try:
            print(drawn(module))
        except Exception as exc:
            print(repr(exc))
    assert libc.getcontext(fiber) == 0
    ctypes.c_void_p.from_buffer(fiber, 8).value = ctypes.addressof(here)  # uc_link
    ctypes.c_void_p.from_buffer(fiber, 16).value = ctypes.addressof(
        ctypes.c_char.from_buffer(stack))  # uc_stack.ss_sp
    ctypes.c_size_t.from_buffer(fiber, 32).value = size  # uc_stack.ss_size
    libc.makecontext(fiber, body, 0)
    assert libc.swapcontext(here, fiber) == 0
""", tmpdir)
    assert out.split("\n")[:2] == ["['Pelmora']", "['pelmora_tools.reference']"], err
