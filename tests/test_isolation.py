"""One module per import and per interpreter: re-import and reload, subinterpreters, threads that
rebind names while routines run, deep re-entry; each in a fresh interpreter on a stand-in
PyOpenGL."""
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


def test_reimport_and_reload_read_the_new_module(tmpdir):
    # Every module draws before the next one is made, so each has lookups kept.
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
        drawn(third)
        bind(third, "reloaded")
        print("%s %s" % (drawn(third), drawn(first)))
    """, tmpdir)
    assert out.splitlines() == (["['first']", "['second'] ['first']", "['first again'] ['second']",
                                 "['reloaded'] ['first again']"] if PY3 else
                                # one module per process: all read the first import's namespace
                                ["['first']", "['first'] ['first']"] +
                                ["['first again'] ['first again']"] * 2)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers are Python 3.12+")
def test_reimports_give_their_watcher_ids_back(tmpdir):
    out, err = run_recorded(WATCHER_IDS + textwrap.dedent("""
        import gc, importlib, Pelmora
        before, wrong = free_watcher_ids(), []
        for number in range(10):  # more imports than there are watcher ids
            del sys.modules["Pelmora"]
            import Pelmora
            Pelmora = importlib.reload(Pelmora)
            for tag in (number, -number - 1):
                bind(Pelmora, tag)
                wrong += [seen for seen in (drawn(Pelmora), drawn(Pelmora)) if seen != [tag]]
        del sys.modules["Pelmora"], Pelmora  # the cycle collector frees the modules' ids
        gc.collect()
        import Pelmora  # as many left as with the first import
        print("%s %s" % (wrong, free_watcher_ids() == before))
    """), tmpdir)
    assert out.strip() == "[] True"


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


STRESS = """
import threading, time
try:
    __import__("faulthandler").dump_traceback_later(60, exit=True)  # if it spins instead
except ImportError:
    pass
import Pelmora as m
names, square, view = %r + ["drawSquare", "GL_QUADS", "GL_LINES"], m.drawSquare, m.drawViewVolume
routines = [lambda: square(1), lambda: m.drawGrayCube(1), lambda: m.drawColoredCube(1),
            m.draw3DCoordinateAxes, lambda: view(-1, 1, -1, 1, far=10, near=1)]
stop, failures, counts = time.time() + 0.5, [], [0, 0]
Callee = type("Callee", (object,), {"__call__": lambda self, *args: args})  # freed at once
def rebind(number=0):
    while time.time() < stop:
        name, number = names[number %% len(names)], number + 1
        if number %% 4 == 0:
            m.__dict__.pop(name, None)
        else:  # a callee, or a new int freed on the next rebind
            setattr(m, name, int("7%%d" %% number) if name[:3] == "GL_" else
                    square if name == "drawSquare" and number %% 3 == 0 else Callee())
    counts[1] = number
def call(done=0):
    while time.time() < stop and not failures:
        for routine in routines:
            try:
                routine()
            except (NameError, TypeError):
                pass  # a name deleted, or a constant where a callee was wanted
            except Exception as exc:
                failures.append(repr(exc))
            done += 1
    counts[0] += done
threads = [threading.Thread(target=target) for target in [call] * 3 + [rebind] * 2]
[thread.start() for thread in threads] + [thread.join() for thread in threads]
print("%%s %%s" %% (failures[:3], min(counts) > 0))
"""


def test_threads_rebinding_names_while_routines_run(tmpdir):
    # On a free-threaded build this runs without a GIL; elsewhere the GIL switches threads.
    assert run_recorded(STRESS % GL_CALLEES, tmpdir)[0].strip() == "[] True"


@pytest.mark.skipif(not PY3, reason="a Python 2.7 class call keeps no argument tuple as `args`")
def test_threads_keep_their_own_argument_tuples(tmpdir):
    # Callees that keep the tuple they are given and let other threads run mid-call: no kept
    # tuple may take another call's items, whatever the engine makes again meanwhile.
    out, err = run_recorded("""
        import threading, time, Pelmora
        kept = []
        class Keep(Exception):  # a class call keeps its argument tuple as `args`
            def __init__(self, *args):
                self.given = args  # a copy of the items, made here
                kept.append(self)
                time.sleep(0)
        for name in ("glBegin", "glVertex3f", "glEnd"):
            setattr(Pelmora, name, Keep)
        def draw(size):
            for _ in range(200):
                Pelmora.drawSquare(size)
                del kept[:-50]  # those let go are made again
        threads = [threading.Thread(target=draw, args=(size,)) for size in (2, 4, 6)]
        [thread.start() for thread in threads] + [thread.join() for thread in threads]
        vertices = [k.args for k in kept if len(k.args) == 3]
        print(len(vertices) > 0 and all(k.args == k.given for k in kept) and
              all(abs(x) == abs(y) and z == 0 and type(z) is int for x, y, z in vertices))
    """, tmpdir)
    assert out.strip() == "True", err


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded build can run without a GIL")
def test_import_keeps_the_gil_off(tmpdir):
    assert run_recorded("import Pelmora\nprint(sys._is_gil_enabled())", tmpdir) == ("False\n", "")


@pytest.mark.parametrize("binding", ["Pelmora.drawSquare", "lambda *args: Pelmora.drawSquare(1)"])
def test_deep_reentry_in_a_thread_raises_recursion_error(tmpdir, binding):
    out, err = run_recorded("""
        import threading, Pelmora
        Pelmora.glBegin, outcome = %s, []
        def reenter():
            try:
                Pelmora.drawSquare(1)
            except RuntimeError as exc:  # RecursionError on Python 3
                outcome.append(type(exc).__name__)
        threading.stack_size(1 << 20)
        thread = threading.Thread(target=reenter)
        thread.start()
        thread.join()
        print(outcome)
    """ % binding, tmpdir)
    assert out.strip() == str(["RecursionError" if PY3 else "RuntimeError"]), err
