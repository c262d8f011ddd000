"""One module per import and per interpreter: re-import and reload, subinterpreters, threads
that rebind names while routines run, deep re-entry, and errors raised by comparing names.
Each scenario that could take the interpreter down runs in a fresh one."""
import sys
import sysconfig
import textwrap

import pytest

import Pelmora
from recording import (GL_CALLEES, PY3, STUB_OPENGL, WATCHER_IDS, Recorder, module_entries,
                       run_code, write_opengl)

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


def run_stubbed(code, tmpdir, args=()):
    """(status, stdout, stderr) of `code` in a fresh interpreter with the stand-in PyOpenGL."""
    source = RECORD + textwrap.dedent(code)
    return run_code(source, paths=[write_opengl(tmpdir, STUB_OPENGL)])


def test_routines_are_bound_to_their_module():
    for name in ["draw3DCoordinateAxes", "drawViewVolume", "drawSquare", "drawGrayCube",
                 "drawColoredCube"]:
        assert getattr(Pelmora, name).__self__ is (Pelmora if PY3 else None)


# --- one module per import: re-imports, reloads and their kept lookups ---------------------

def test_reimport_and_reload_read_the_new_module(tmpdir):
    # Every module draws before the next one is made, so each has lookups kept.
    status, out, err = run_stubbed("""
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
        assert out.split("\n")[:4] == ["['first']", "['first'] ['first']",
                                       "['first again'] ['first again']",
                                       "['first again'] ['first again']"]


@pytest.mark.skipif(not PY3, reason="Python 2.7 has one module per process")
def test_reimports_give_their_watcher_ids_back(tmpdir):
    status, out, err = run_stubbed(WATCHER_IDS + textwrap.dedent("""
        import gc
        from importlib import reload
        import Pelmora
        before = free_watcher_ids()
        wrong = []
        for number in range(50):
            del sys.modules["Pelmora"]
            import Pelmora
            Pelmora = reload(Pelmora)
            for tag in (number, -number - 1):
                bind(Pelmora, tag)
                wrong += [seen for seen in (drawn(Pelmora), drawn(Pelmora)) if seen != [tag]]
        # Modules waiting for the cycle collector still hold their ids; once it has run, a
        # fresh import finds as many free as the first one did.
        del sys.modules["Pelmora"], Pelmora
        gc.collect()
        import Pelmora
        print("%s %s" % (wrong, free_watcher_ids() == before))
    """), tmpdir)
    assert status == 0, err
    assert out.strip() == "[] True"


def test_legacy_subinterpreters_keep_their_own_module_and_leak_nothing(tmpdir):
    status, out, err = run_stubbed("""
        try:
            import _testcapi
            _testcapi.run_in_subinterp
        except (ImportError, AttributeError):
            print("skip")
            sys.exit(0)
        import Pelmora
        bind(Pelmora, "main")
        # Each subinterpreter binds its own recorders and must see only those.
        code = (%r + "import Pelmora\\nbind(Pelmora, 'sub')\\n"
                "assert drawn(Pelmora) == ['sub'], calls\\n")

        def rss_kib():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4

        def growth(source, count):
            before = rss_kib()
            for _ in range(count):
                assert _testcapi.run_in_subinterp(source) == 0
            return rss_kib() - before
        growth(code, 20)
        # Some interpreters lose memory with every subinterpreter of their own accord.
        baseline = growth("import OpenGL.GL, OpenGL.GLU, OpenGL.GLUT", 300)
        print("%%s %%d" %% (drawn(Pelmora), growth(code, 300) - baseline))
    """ % RECORD, tmpdir)
    assert status == 0, err
    if out.strip() == "skip":
        pytest.skip("this interpreter's _testcapi has no run_in_subinterp")
    calls, growth = out.rsplit(" ", 1)
    assert calls == "['main']"
    if FREE_THREADED:
        return  # each subinterpreter of 3.14t keeps megabytes of its own: growth says nothing
    # A module state that outlived its interpreter cost about 100 KiB each time.
    assert int(growth) < 4096, "RSS grew %s KiB more over 300 imports" % growth


def isolated_interpreter_code():
    """Source that runs `import Pelmora` in an interpreter with a GIL of its own, or None."""
    for module, run in [("_interpreters", "exec"), ("_xxsubinterpreters", "run_string")]:
        try:
            __import__(module)
        except ImportError:
            continue
        return textwrap.dedent("""
            import %s as interpreters
            interpreter = interpreters.create()
            script = "import Pelmora\\nPelmora.drawSquare(1)\\nprint('sub ok')"
            try:
                result = interpreters.%s(interpreter, script)
            except Exception as exc:  # 3.12 raises what failed in the subinterpreter
                result = exc
            sys.stderr.write("@ %%r\\n" %% (result,))
            interpreters.destroy(interpreter)
        """ % (module, run))


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters are 3.12+")
def test_isolated_subinterpreter_leaves_the_main_interpreter_alone(tmpdir):
    code = isolated_interpreter_code()
    if code is None:
        pytest.skip("no low-level subinterpreter module")
    status, out, err = run_stubbed(code + textwrap.dedent("""
        import Pelmora
        bind(Pelmora, "main")
        print("main %s" % drawn(Pelmora))
    """), tmpdir)
    assert status == 0, err
    if sys.version_info < (3, 13):
        # ctypes, and so PyOpenGL, cannot load there: the module says so before it runs.
        assert "does not support loading in subinterpreters" in err
        assert out == "main ['main']\n"
    else:
        assert out in ("main ['main']\n", "sub ok\nmain ['main']\n"), err
        assert "SystemExit" not in err and "ERROR" not in out


STRESS = """
import threading, time
try:
    import faulthandler  # a corrupted interpreter may spin instead of crashing
    faulthandler.dump_traceback_later(60, exit=True)
except (ImportError, AttributeError):
    pass
import Pelmora
CALLEES = %(callees)r + ["drawSquare", "GL_QUADS", "GL_LINES"]
m = Pelmora
square, gray, colored, axes, view = (m.drawSquare, m.drawGrayCube, m.drawColoredCube,
                                     m.draw3DCoordinateAxes, m.drawViewVolume)
routines = [lambda: square(1), lambda: gray(1), lambda: colored(1), axes,
            lambda: view(-1, 1, -1, 1, 1, 10), lambda: view(-1, 1, -1, 1, far=10, near=1)]
stop = time.time() + %(seconds)s
failures, counts = [], [0, 0]

class Callee(object):
    # Instances, unlike functions, are freed as soon as their last reference goes,
    # free-threaded builds included.
    def __call__(self, *args):
        return args

def fresh(name, number):
    if name == "drawSquare" and number %% 3 == 0:
        return square
    return Callee()

def rebind():
    number = 0
    while time.time() < stop:
        name = CALLEES[number %% len(CALLEES)]
        if number %% 4 == 0:
            m.__dict__.pop(name, None)
        elif name.startswith("GL_"):
            setattr(m, name, int("7%%d" %% number))  # a new int, freed on the next rebind
        else:
            setattr(m, name, fresh(name, number))
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
    status, out, err = run_stubbed(STRESS % {"seconds": 3, "callees": GL_CALLEES}, tmpdir)
    assert status == 0, err
    assert out.strip() == "[] True True", err


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded build can run without a GIL")
def test_import_keeps_the_gil_off(tmpdir):
    status, out, err = run_code("import sys, Pelmora\nprint(sys._is_gil_enabled())",
                                paths=[write_opengl(tmpdir, STUB_OPENGL)])
    assert (status, out.strip(), err) == (0, "False", "")


@pytest.mark.parametrize("binding", ["Pelmora.drawSquare",
                                     "lambda *args: Pelmora.drawSquare(1)"])
@pytest.mark.parametrize("stack_mib", [1, 2])
def test_deep_reentry_in_a_thread_raises_recursion_error(tmpdir, binding, stack_mib):
    status, out, err = run_stubbed("""
        import threading
        import Pelmora
        Pelmora.glBegin = %s
        threading.stack_size(%d << 20)
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
    """ % (binding, stack_mib), tmpdir)
    assert status == 0, err
    assert out.strip() == str(["RecursionError" if PY3 else "RuntimeError"])


class Armed(Exception):
    pass


def raising_key(text, error):
    """A str equal in hash to `text` whose comparison raises `error` while `armed` is set."""
    armed = [True]

    class Key(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            if armed[0]:
                raise error("compared")
            return str.__eq__(self, other)
    return Key(text), armed


@pytest.mark.parametrize("error", [Armed, KeyboardInterrupt])
def test_errors_from_comparing_keyword_names(namespace, error):
    recorder = Recorder(["glColor4f", "glBegin", "glVertex3d", "glVertex4d", "glEnd"])
    key, armed = raising_key("far", error)
    try:
        if PY3:
            with pytest.raises(error) as excinfo:
                Pelmora.drawViewVolume(1, 2, 3, 4, 5, **{key: 6})
            assert [line for line, _ in module_entries(excinfo)] == [43]
        else:  # Python 2.7's dictionary lookup counts the error as a missing key
            with pytest.raises(TypeError):
                Pelmora.drawViewVolume(1, 2, 3, 4, 5, **{key: 6})
    finally:
        armed[0] = False
    assert recorder.calls == []


@pytest.mark.parametrize("error", [Armed, KeyboardInterrupt])
def test_errors_from_comparing_namespace_names(namespace, error):
    recorder = Recorder(["glBegin", "glVertex3f"])
    del Pelmora.glEnd
    key, armed = raising_key("glEnd", error)
    Pelmora.__dict__[key] = lambda: None
    try:
        with pytest.raises(error if PY3 else NameError) as excinfo:
            Pelmora.drawSquare(1)
    finally:
        armed[0] = False
    assert [line for line, _ in module_entries(excinfo)] == [100]
    assert recorder.names() == ["glBegin"] + ["glVertex3f"] * 4
