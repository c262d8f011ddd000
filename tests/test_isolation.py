"""One module per import and per interpreter: re-import and reload, subinterpreters, threads
that rebind names while routines run, and deep re-entry. Each case runs in a fresh
interpreter with a stand-in PyOpenGL."""
import sys
import sysconfig
import textwrap

import pytest

from recording import GL_CALLEES, PY3, WATCHER_IDS, run_code

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Binds the callees of drawSquare to recorders that note which module they were bound in.
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
    return run_code(RECORD + textwrap.dedent(code), tmpdir)


def test_reimport_and_reload_read_the_new_module(tmpdir):
    # Every module draws before the next one is made, so each has lookups kept.
    status, out, err = run_recorded("""
        try:
            from importlib import reload
        except ImportError:
            reload = reload  # Python 2.7's builtin
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
        third = reload(second)
        drawn(third)
        bind(third, "reloaded")
        print("%s %s" % (drawn(third), drawn(first)))
    """, tmpdir)
    assert status == 0, err
    if PY3:
        assert out.split("\n")[:4] == ["['first']", "['second'] ['first']",
                                       "['first again'] ['second']",
                                       "['reloaded'] ['first again']"]
    else:  # one module per process: every routine reads the first import's namespace
        assert out.split("\n")[:4] == ["['first']", "['first'] ['first']"] + [
            "['first again'] ['first again']"] * 2


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers are Python 3.12+")
def test_reimports_give_their_watcher_ids_back(tmpdir):
    status, out, err = run_recorded(WATCHER_IDS + """
        import gc
        from importlib import reload
        import Pelmora
        before, wrong = free_watcher_ids(), []
        for number in range(10):  # more imports than there are watcher ids
            del sys.modules["Pelmora"]
            import Pelmora
            Pelmora = reload(Pelmora)
            for tag in (number, -number - 1):
                bind(Pelmora, tag)
                wrong += [seen for seen in (drawn(Pelmora), drawn(Pelmora)) if seen != [tag]]
        # Modules waiting for the cycle collector still hold their ids.
        del sys.modules["Pelmora"], Pelmora
        gc.collect()
        import Pelmora
        print("%s %s" % (wrong, free_watcher_ids() == before))
    """, tmpdir)
    assert (status, out.strip()) == (0, "[] True"), err


def test_legacy_subinterpreters_keep_their_own_module_and_leak_nothing(tmpdir):
    status, out, err = run_recorded("""
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            print("skip")
            sys.exit(0)
        import Pelmora
        bind(Pelmora, "main")
        # Each subinterpreter binds its own recorders and must see only those.
        code = %r + "import Pelmora\\nbind(Pelmora, 'sub')\\nassert drawn(Pelmora) == ['sub']\\n"

        def growth(source, count):
            with open("/proc/self/statm") as statm:
                before = int(statm.read().split()[1])
            for _ in range(count):
                assert run_in_subinterp(source) == 0
            with open("/proc/self/statm") as statm:
                return (int(statm.read().split()[1]) - before) * 4
        growth(code, 10)
        # Some interpreters lose memory with every subinterpreter of their own accord.
        baseline = growth("import OpenGL.GL, OpenGL.GLU, OpenGL.GLUT", 60)
        print("%%s %%d" %% (drawn(Pelmora), growth(code, 60) - baseline))
    """ % RECORD, tmpdir)
    assert status == 0, err
    if out.strip() == "skip":
        pytest.skip("this interpreter's _testcapi has no run_in_subinterp")
    calls, growth = out.rsplit(" ", 1)
    assert calls == "['main']"
    # A module state that outlived its interpreter cost about 100 KiB each time; each
    # subinterpreter of a free-threaded build keeps megabytes of its own.
    assert FREE_THREADED or int(growth) < 2048, "RSS grew %s KiB more over 60 imports" % growth


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters are 3.12+")
def test_isolated_subinterpreter_leaves_the_main_interpreter_alone(tmpdir):
    status, out, err = run_recorded("""
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
    assert status == 0 and out in ("main ['main']\n", "sub ok\nmain ['main']\n"), err
    assert "SystemExit" not in err and "ERROR" not in out


STRESS = """
import threading, time
try:
    import faulthandler  # a corrupted interpreter may spin instead of crashing
    faulthandler.dump_traceback_later(60, exit=True)
except ImportError:
    pass
import Pelmora as m
CALLEES = %(callees)r + ["drawSquare", "GL_QUADS", "GL_LINES"]
square, view = m.drawSquare, m.drawViewVolume
routines = [lambda: square(1), lambda: m.drawGrayCube(1), lambda: m.drawColoredCube(1),
            m.draw3DCoordinateAxes, lambda: view(-1, 1, -1, 1, 1, 10),
            lambda: view(-1, 1, -1, 1, far=10, near=1)]
stop = time.time() + %(seconds)s
failures, counts = [], [0, 0]

class Callee(object):
    # Instances, unlike functions, are freed as soon as their last reference goes.
    def __call__(self, *args):
        return args

def rebind():
    number = 0
    while time.time() < stop:
        name = CALLEES[number %% len(CALLEES)]
        if number %% 4 == 0:
            m.__dict__.pop(name, None)
        elif name.startswith("GL_"):
            setattr(m, name, int("7%%d" %% number))  # a new int, freed on the next rebind
        else:
            setattr(m, name, square if name == "drawSquare" and number %% 3 == 0 else Callee())
        number += 1
    counts[1] = number

def call():
    done = 0
    while time.time() < stop:
        for routine in routines:
            try:
                routine()
            except (NameError, TypeError):
                pass  # a name deleted, or a constant where a callee was wanted
            except Exception as exc:
                failures.append(repr(exc))
                return
            done += 1
    counts[0] += done

threads = ([threading.Thread(target=call) for _ in range(3)] +
           [threading.Thread(target=rebind) for _ in range(2)])
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print("%%s %%s %%s" %% (failures[:3], counts[0] > 0, counts[1] > 0))
"""


def test_threads_rebinding_names_while_routines_run(tmpdir):
    # On a free-threaded build this runs without a GIL; elsewhere the GIL switches threads.
    status, out, err = run_code(STRESS % {"seconds": 1, "callees": GL_CALLEES}, tmpdir)
    assert (status, out.strip()) == (0, "[] True True"), err


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded build can run without a GIL")
def test_import_keeps_the_gil_off(tmpdir):
    status, out, err = run_code("import sys, Pelmora\nprint(sys._is_gil_enabled())", tmpdir)
    assert (status, out.strip(), err) == (0, "False", "")


@pytest.mark.parametrize("binding", ["Pelmora.drawSquare", "lambda *args: Pelmora.drawSquare(1)"])
def test_deep_reentry_in_a_thread_raises_recursion_error(tmpdir, binding):
    status, out, err = run_code("""
import threading
import Pelmora
Pelmora.glBegin = %s
threading.stack_size(1 << 20)
outcome = []
def reenter():
    try:
        Pelmora.drawSquare(1)
    except RuntimeError as exc:  # RecursionError on Python 3
        outcome.append(type(exc).__name__)
thread = threading.Thread(target=reenter)
thread.start()
thread.join()
print(outcome)
""" % binding, tmpdir)
    assert (status, out.strip()) == (0, str(["RecursionError" if PY3 else "RuntimeError"])), err
