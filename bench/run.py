"""What each Pelmora routine costs.

Four measurements, printed as one table and written as JSON with --json PATH:

  overhead  every OpenGL name bound to a C-level no-op (''.format) in Pelmora,
            pelmora_tools/reference.py (the same five routines in plain Python) and, where Cython
            is installed, the same reference compiled by Cython; per-call times and the
            ratios to the plain reference, the median of --runs interleaved races.
  gl        the routines drawing into an offscreen Mesa context, against the bare sequence
            of the same PyOpenGL calls with the same arguments issued from a C-level loop;
            the ratio Pelmora / bare is the module's own share. The plain-Python reference
            is timed too, for information.
  import    `import Pelmora` in a fresh interpreter against the three PyOpenGL star
            imports done in plain Python, also in a fresh interpreter.
  memory    resident size before and after a million calls of each routine (no-op
            bindings), on success and with glEnd unbound so every call raises NameError.

Run it with the interpreter that has Pelmora and PyOpenGL installed, e.g.
`.venv/bin/python bench/run.py --json out/bench.json`; --quick runs fewer and shorter
repeats (a smoke run; its figures are noisier). --all runs it under every interpreter of
the test run (.venv and .venvs/*) that has PyOpenGL and prints one overhead table over
them. Python 2.7 runs the overhead section only.
"""
from __future__ import print_function

import argparse
import collections
import gc
import itertools
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

try:
    from pelmora_tools.context import choose_platform, make_context
except ImportError:  # running from a checkout without the project installed
    sys.path.append(ROOT)
    from pelmora_tools.context import choose_platform, make_context

# The names the five routines call. drawSquare stays bound to each module's own routine.
GL_NAMES = ("glBegin", "glEnd", "glVertex3f", "glVertex3d", "glVertex4d", "glColor4f",
            "glPushMatrix", "glPopMatrix", "glTranslatef", "glRotatef")

# (routine, arguments) as a host calls them.
CASES = (
    ("drawSquare", (1,)),
    ("drawGrayCube", (2,)),
    ("drawColoredCube", (2,)),
    ("draw3DCoordinateAxes", ()),
    ("drawViewVolume", (-0.5, 0.5, -0.5, 0.5, 1.0, 3.0)),
)

# Overhead ratio targets by interpreter: (square and cubes, view volume, axes). Axes pass
# 30 fresh floats per call where plain Python passes constants. 2.7: no slower than the
# figures measured before the engine's caches.
OVERHEAD_TARGETS = (
    ((3, 12), (0.85, 0.95, 1.35)),
    ((3, 11), (0.70, 0.80, 1.00)),
    ((3, 0), (0.70, 0.70, 0.95)),
    ((2, 0), (0.82, 0.81, 0.94)),
)


def overhead_targets(version=sys.version_info[:2]):
    for since, (shapes, view_volume, axes) in OVERHEAD_TARGETS:
        if version >= since:
            return {"drawSquare": shapes, "drawGrayCube": shapes, "drawColoredCube": shapes,
                    "drawViewVolume": view_volume, "draw3DCoordinateAxes": axes}
    raise SystemExit("bench: no targets for Python %d.%d" % version)


GL_TARGET = 1.02
IMPORT_TARGET = 1.05
MEMORY_TARGET_KIB = 1024.0  # growth per million calls
MEMORY_BAIL_OUT = 256 << 20  # resident growth at which a memory run stops and extrapolates

GL_SIZE = 64

# cpu: the process's CPU time, every thread of it (the driver's rendering threads too),
# and none of the time it waits for a core: on a shared machine far steadier than the
# wall clock, and the same on a quiet one. The names are those of the time module.
# Python 2.7 has neither; its time.clock counts CPU time on Linux.
CLOCKS = {"cpu": "process_time", "wall": "perf_counter"}
if not hasattr(time, "process_time"):
    CLOCKS = {"cpu": "clock", "wall": "time"}


class Settings(object):
    def __init__(self, quick, clock, runs=3):
        self.quick = quick
        self.runs = runs                   # overhead races, median kept
        self.clock_name = CLOCKS[clock]
        self.clock = getattr(time, self.clock_name)
        # Short batches, many of them: on a shared machine the best of many short runs
        # finds the quiet moments that one long run averages away.
        self.batch_seconds = 0.02          # one timed batch
        self.repeats = 5 if quick else 25  # batches per side, best kept
        self.gl_repeats = 5 if quick else 31
        self.import_repeats = 8 if quick else 40
        self.memory_calls = 200000 if quick else 1000000


# --- helpers -----------------------------------------------------------------------------------

def call_source(args):
    """`f(...)` with the arguments written out, as a host would call the routine."""
    return "f(%s)" % ", ".join(repr(a) for a in args)


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2.0


def make_batch(statement, namespace, clock, finish=None):
    """A function timing `statement` run n times with the collector off; returns seconds
    for the whole batch: timeit's loop, and with `finish` one `finish()` inside the timed
    span (glFinish, so the driver's queued work is paid for by the batch that queued it)."""
    source = ("def batch(n, _repeat=_repeat, _timer=_timer):\n"
              "    _gc_was_on = _gc.isenabled()\n"
              "    _gc.disable()\n"
              "    try:\n"
              "        _t0 = _timer()\n"
              "        for _ in _repeat(None, n):\n"
              "%s\n"
              "        _finish()\n"
              "        return _timer() - _t0\n"
              "    finally:\n"
              "        if _gc_was_on:\n"
              "            _gc.enable()\n"
              % "\n".join(" " * 12 + line for line in statement.splitlines()))
    scope = dict(namespace)
    scope.update(_repeat=itertools.repeat, _timer=clock, _gc=gc,
                 _finish=finish or (lambda: None))
    exec(compile(source, "<batch>", "exec"), scope)
    return scope["batch"]


def calibrate(batch, seconds):
    """Calls per batch so that one batch takes about `seconds`."""
    n = 1
    while True:
        elapsed = batch(n)
        if elapsed >= seconds / 10.0 or n >= 1 << 24:
            return max(1, int(n * seconds / max(elapsed, 1e-9)))
        n *= 4


def race(batches, settings, repeats):
    """Interleaves the batches (a, b, c, a, b, c, ...) and keeps each one's best per-call
    time; interleaving spreads any drift of the machine over all sides alike."""
    for _, batch in batches:
        batch(1000)  # first-call costs: caches, free lists, the driver's first flush
    # One count for every side, so a fixed cost per batch (glFinish) weighs the same on each.
    count = max(calibrate(batch, settings.batch_seconds) for _, batch in batches)
    best = dict((key, float("inf")) for key, _ in batches)
    for _ in range(repeats):
        for key, batch in batches:
            best[key] = min(best[key], batch(count) / count)
    return best


def bind(module, names, value):
    """Binds each name to `value`; returns what was bound before, for restore()."""
    saved = {}
    for name in names:
        saved[name] = module.__dict__.get(name)
        setattr(module, name, value)
    return saved


def restore(module, saved):
    for name, value in saved.items():
        if value is None:
            module.__dict__.pop(name, None)
        else:
            setattr(module, name, value)


def record(module, name, args):
    """The flattened (name, args) sequence one call issues, drawSquare's calls inside the
    cubes included."""
    calls = []

    def recorder(called):
        def record_call(*call_args):
            calls.append((called, call_args))
        return record_call

    saved = {}
    for gl_name in GL_NAMES:
        saved.update(bind(module, (gl_name,), recorder(gl_name)))
    try:
        getattr(module, name)(*args)
    finally:
        restore(module, saved)
    return calls


def typed(calls):
    return [(name, tuple((type(a).__name__, a) for a in args)) for name, args in calls]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- the four measurements ---------------------------------------------------------------------

def check_same_programs(pelmora, reference):
    """Both modules issue the same calls with the same arguments, or the race is unfair."""
    for name, args in CASES:
        ours, theirs = record(pelmora, name, args), record(reference, name, args)
        if typed(ours) != typed(theirs):
            raise SystemExit("bench: %s differs between Pelmora and pelmora_tools/reference.py:\n  %r\n  %r"
                             % (name, ours, theirs))


def cython_reference():
    """pelmora_tools/reference.py compiled by Cython for this interpreter (built once into
    out/cython/), or (None, why not)."""
    try:
        import Cython
    except ImportError:
        return None, "Cython not installed (pip install cython)"
    tag = "%s-%s-cython-%s" % (platform.python_implementation(), sys.version.split()[0],
                               Cython.__version__)
    build = os.path.join(ROOT, "out", "cython", tag)
    source = os.path.join(build, "reference_cython.py")
    if not os.path.isdir(build):
        os.makedirs(build)
    with open(os.path.join(ROOT, "pelmora_tools", "reference.py")) as original:
        text = original.read()
    if not os.path.exists(source) or open(source).read() != text:
        with open(source, "w") as copy:
            copy.write(text)
    script = ("from setuptools import setup\n"
              "from Cython.Build import cythonize\n"
              "setup(ext_modules=cythonize(['reference_cython.py'], quiet=True,\n"
              "      compiler_directives={'language_level': %d}),\n"
              "      script_args=['-q', 'build_ext', '--inplace'])\n" % sys.version_info[0])
    process = subprocess.Popen([sys.executable, "-c", script], cwd=build,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = process.communicate()[0].decode("utf-8", "replace")
    if process.returncode != 0:
        return None, "Cython build failed: %s" % output.strip().splitlines()[-1:]
    sys.path.insert(0, build)
    import reference_cython
    return reference_cython, "Cython %s" % Cython.__version__


def measure_overhead(pelmora, reference, settings, compiled=None):
    """Per routine: the median over settings.runs races of each side's best per-call time
    and of its ratio to the plain reference, one race interleaving every side."""
    noop = "".format  # C-level, takes any positional arguments
    sides = [("module", pelmora), ("reference", reference)]
    if compiled is not None:
        sides.append(("cython", compiled))
    saved = [(module, bind(module, GL_NAMES, noop)) for _, module in sides]
    targets = overhead_targets()
    rows = []
    try:
        for name, args in CASES:
            statement = call_source(args)
            batches = [(key, make_batch(statement, {"f": getattr(module, name)}, settings.clock))
                       for key, module in sides]
            runs = [race(batches, settings, settings.repeats) for _ in range(settings.runs)]
            row = dict(routine=name, target=targets[name], runs=settings.runs)
            for key, _ in sides:
                row[key + "_ns"] = median([run[key] for run in runs]) * 1e9
                row[key + "_ratio"] = median([run[key] / run["reference"] for run in runs])
            row["reference_ns"] = median([run["reference"] for run in runs]) * 1e9
            row["ratio"] = row["module_ratio"]
            row["ok"] = row["ratio"] <= row["target"]
            rows.append(row)
    finally:
        for module, bound in saved:
            restore(module, bound)
    return rows


def bare_caller():
    """A C-level way to call rows of (function, *arguments): operator.call from 3.11; before
    that, each row becomes a one-call starmap chained into the consumer."""
    import operator
    from itertools import chain, starmap
    if hasattr(operator, "call"):
        def prepare(calls, functions):
            return [(functions[name],) + args for name, args in calls]
        return prepare, "_consume(_starmap(_call, rows))", dict(_call=operator.call,
                                                                 _starmap=starmap)

    def prepare_old(calls, functions):
        return [(functions[name], (args,)) for name, args in calls]
    return prepare_old, "_consume(_chain(_starmap(_starmap, rows)))", dict(
        _chain=chain.from_iterable, _starmap=starmap)


def measure_gl(pelmora, reference, settings):
    from OpenGL import GL
    context = make_context(GL_SIZE, GL_SIZE)
    context.make_current()
    context.reset_state()
    info = dict(renderer=GL.glGetString(GL.GL_RENDERER).decode("ascii", "replace"),
                version=GL.glGetString(GL.GL_VERSION).decode("ascii", "replace"))
    functions = dict((name, getattr(pelmora, name)) for name in GL_NAMES)
    prepare, bare_statement, bare_scope = bare_caller()
    bare_scope["_consume"] = collections.deque(maxlen=0).extend
    rows = []
    try:
        for name, args in CASES:
            calls = record(pelmora, name, args)
            bare_scope["rows"] = prepare(calls, functions)
            statement = call_source(args)
            batches = [
                ("module", make_batch(statement, {"f": getattr(pelmora, name)}, settings.clock,
                                      GL.glFinish)),
                ("reference", make_batch(statement, {"f": getattr(reference, name)},
                                         settings.clock, GL.glFinish)),
                ("bare", make_batch(bare_statement, bare_scope, settings.clock, GL.glFinish)),
            ]
            best = race(batches, settings, settings.gl_repeats)
            ratio = best["module"] / best["bare"]
            rows.append(dict(routine=name, gl_calls=len(calls), module_us=best["module"] * 1e6,
                             reference_us=best["reference"] * 1e6, bare_us=best["bare"] * 1e6,
                             ratio=ratio, reference_ratio=best["reference"] / best["bare"],
                             target=GL_TARGET, ok=ratio <= GL_TARGET))
            if GL.glGetError() != GL.GL_NO_ERROR:
                raise SystemExit("bench: %s left an OpenGL error" % name)
    finally:
        context.destroy()
    return rows, info


IMPORT_CHILD = ("import time\n"
                "t0 = time.%(clock)s()\n"
                "%(code)s\n"
                "print(repr(time.%(clock)s() - t0))\n")
IMPORTS = (
    ("module", "import Pelmora"),
    ("star imports", "from OpenGL.GLUT import *\nfrom OpenGL.GL import *\nfrom OpenGL.GLU import *"),
)


def measure_import(pelmora, settings):
    env = dict(os.environ)
    where = os.path.dirname(os.path.abspath(pelmora.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (where, env.get("PYTHONPATH")) if p)
    inside = dict((key, []) for key, _ in IMPORTS)
    process = dict((key, []) for key, _ in IMPORTS)
    for run in range(settings.import_repeats + 1):
        for key, code in IMPORTS:
            start = time.perf_counter()
            child = IMPORT_CHILD % dict(clock=settings.clock_name, code=code)
            output = subprocess.check_output([sys.executable, "-c", child], env=env, cwd=HERE)
            elapsed = time.perf_counter() - start
            if run == 0:
                continue  # warms the file cache and the bytecode caches
            inside[key].append(float(output.decode().strip().splitlines()[-1]))
            process[key].append(elapsed)

    def summary(values):
        return dict(best_ms=min(values) * 1e3, median_ms=median(values) * 1e3)

    result = dict(repeats=settings.import_repeats)
    for label, table in (("import", inside), ("process", process)):
        module, plain = summary(table["module"]), summary(table["star imports"])
        result[label] = dict(module=module, star_imports=plain,
                             ratio_best=module["best_ms"] / plain["best_ms"],
                             ratio_median=module["median_ms"] / plain["median_ms"])
    result["target"] = IMPORT_TARGET
    result["ok"] = (result["import"]["ratio_best"] <= IMPORT_TARGET and
                    result["import"]["ratio_median"] <= IMPORT_TARGET)
    return result


def raise_key_error():
    return {}.popitem()  # raises KeyError


# Failure paths for the memory run: (label, routines, how to break them, what they raise).
# Every routine ends with glEnd (the cubes inside drawSquare), so an unbound or raising glEnd
# fails them all; a string operand fails the arithmetic of drawSquare and drawViewVolume.
FAILURES = (
    ("NameError", None, lambda module: module.__dict__.pop("glEnd"), NameError),
    ("raising callee", None, lambda module: setattr(module, "glEnd", {}.popitem), KeyError),
    ("bad operand", ("drawSquare", "drawViewVolume"), None, TypeError),
)
BAD_OPERAND_ARGS = {"drawSquare": ("x",), "drawViewVolume": ("x",) * 6}


def memory_cases():
    """(path, routine, arguments, error or None, break) for every success and failure path."""
    for name, args in CASES:
        yield "success", name, args, None, None
    for label, routines, breaker, error in FAILURES:
        for name, args in CASES:
            if routines is None or name in routines:
                yield label, name, BAD_OPERAND_ARGS.get(name, args) if breaker is None else args, \
                    error, breaker


def measure_memory(pelmora, settings):
    calls = settings.memory_calls
    rows = []
    for path, name, args, error, breaker in memory_cases():
        saved = bind(pelmora, GL_NAMES, "".format)
        try:
            if breaker is not None:
                breaker(pelmora)
            function = getattr(pelmora, name)
            if error is None:
                statement = call_source(args)
            else:
                try:
                    function(*args)
                except error:
                    pass
                else:
                    raise SystemExit("bench: %s did not fail on the %s path" % (name, path))
                statement = "try:\n    %s\nexcept _error:\n    pass" % call_source(args)
            batch = make_batch(statement, {"f": function, "_error": error}, settings.clock)
            batch(calls // 20)  # free lists and arenas reach their working size
            gc.collect()
            blocks_before, rss_before = sys.getallocatedblocks(), resident_bytes()
            # In tenths, so that a leaking build stops early instead of filling memory.
            done, seconds = 0, 0.0
            while done < calls:
                seconds += batch(calls // 10)
                done += calls // 10
                if resident_bytes() - rss_before > MEMORY_BAIL_OUT:
                    break
            gc.collect()
            blocks_after, rss_after = sys.getallocatedblocks(), resident_bytes()
        finally:
            restore(pelmora, saved)
        per_million = 1e6 / done
        growth = (rss_after - rss_before) / 1024.0 * per_million
        rows.append(dict(routine=name, path=path, calls=done,
                         rss_before_kib=rss_before / 1024.0, rss_after_kib=rss_after / 1024.0,
                         growth_kib_per_million=growth,
                         blocks_per_million=(blocks_after - blocks_before) * per_million,
                         ns_per_call=seconds / done * 1e9,
                         target_kib=MEMORY_TARGET_KIB, ok=growth < MEMORY_TARGET_KIB))
    return rows


# --- report ------------------------------------------------------------------------------------

def verdict(ok):
    return "ok" if ok else "MISS"


def table_rows(results):
    rows = []
    for row in results.get("overhead", ()):
        rows.append(("overhead", row["routine"], "%.0f ns" % row["module_ns"],
                     "%.0f ns" % row["reference_ns"], "%.3f" % row["ratio"],
                     "<= %.2f" % row["target"], verdict(row["ok"])))
    for row in results.get("overhead", ()):
        if "cython_ns" in row:
            rows.append(("overhead cython", row["routine"], "%.0f ns" % row["cython_ns"],
                         "%.0f ns" % row["reference_ns"], "%.3f" % row["cython_ratio"], "-", ""))
    for row in results.get("gl", ()):
        rows.append(("gl", "%s (%d calls)" % (row["routine"], row["gl_calls"]),
                     "%.2f us" % row["module_us"], "%.2f us" % row["bare_us"],
                     "%.3f" % row["ratio"], "<= %.2f" % row["target"], verdict(row["ok"])))
    for row in results.get("gl", ()):
        rows.append(("gl reference", row["routine"], "%.2f us" % row["reference_us"],
                     "%.2f us" % row["bare_us"], "%.3f" % row["reference_ratio"], "-", ""))
    imported = results.get("import")
    if imported:
        for label, target in (("import", True), ("process", False)):
            part = imported[label]
            for stat in ("best", "median"):
                rows.append((label, stat, "%.1f ms" % part["module"][stat + "_ms"],
                             "%.1f ms" % part["star_imports"][stat + "_ms"],
                             "%.3f" % part["ratio_" + stat],
                             "<= %.2f" % imported["target"] if target else "-",
                             verdict(part["ratio_" + stat] <= imported["target"])
                             if target else ""))
    for row in results.get("memory", ()):
        rows.append(("memory " + row["path"], row["routine"],
                     "%+.0f KiB/M" % row["growth_kib_per_million"],
                     "%+.0f blk/M" % row["blocks_per_million"], "-",
                     "< %.0f KiB/M" % row["target_kib"], verdict(row["ok"])))
    return rows


def print_rows(rows, out=sys.stdout):
    """`rows` in columns, the first a header underlined with dashes."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    line = "  ".join("%%-%ds" % w for w in widths)
    for i, row in enumerate(rows):
        print((line % row).rstrip(), file=out)
        if i == 0:
            print("  ".join("-" * w for w in widths), file=out)


def print_table(results, out=sys.stdout):
    header = ("measure", "routine", "Pelmora", "baseline", "ratio", "target", "")
    print_rows([header] + table_rows(results), out)
    print("\nbaseline: overhead = pelmora_tools/reference.py under the same no-op bindings (overhead "
          "cython: the reference compiled by Cython, in the Pelmora column); gl = the "
          "bare PyOpenGL calls from a C-level loop (gl reference: pelmora_tools/reference.py against "
          "the same); import/process = the three star imports in plain Python; memory = "
          "pymalloc blocks left per million calls.", file=out)


def environment(pelmora, backend, quick):
    import OpenGL
    return dict(python=sys.version.split()[0], version=list(sys.version_info[:2]), implementation=platform.python_implementation(),
                executable=sys.executable, pelmora=os.path.abspath(pelmora.__file__),
                pyopengl=OpenGL.__version__, backend=backend, machine=platform.machine(),
                processor=cpu_name(), cpus=getattr(os, "cpu_count", lambda: None)(), quick=quick,
                when=time.strftime("%Y-%m-%dT%H:%M:%S%z"))


def cpu_name():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


SECTIONS = ("overhead", "gl", "import", "memory")


def test_run_interpreters():
    """(name, python, environment) for .venv and each .venvs/* env of the test run, with
    Python 2.7's layout (scripts/install.sh)."""
    envs = [("main", os.path.join(ROOT, ".venv"))]
    venvs = os.path.join(ROOT, ".venvs")
    if os.path.isdir(venvs):
        envs += [(name, os.path.join(venvs, name)) for name in sorted(os.listdir(venvs))]
    for name, env in envs:
        python = os.path.join(env, "bin", "python")
        if not os.path.exists(python):
            continue
        variables = dict(os.environ)
        variables.pop("PYTHONPATH", None)
        if os.path.isdir(os.path.join(env, "ext")):
            variables["PYTHONPATH"] = os.pathsep.join([os.path.join(env, "ext"), ROOT])
            variables["LD_LIBRARY_PATH"] = os.pathsep.join(
                p for p in (os.path.join(env, "glut"), os.environ.get("LD_LIBRARY_PATH")) if p)
        yield name, python, variables


def run_all(options, forwarded):
    """bench/run.py under every interpreter of the test run that has PyOpenGL and Pelmora;
    one overhead table over them, and every figure in one JSON file."""
    out_dir = os.path.join(ROOT, "out", "bench-all")
    if not os.path.isdir(out_dir):
        os.makedirs(out_dir)
    combined = {}
    for name, python, variables in test_run_interpreters():
        probe = subprocess.call([python, "-c", "import OpenGL, Pelmora"], env=variables,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if probe != 0:
            print("=== %s: skipped, no PyOpenGL or no Pelmora" % name)
            continue
        version = subprocess.check_output(
            [python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], env=variables)
        sections = options.only if not version.startswith(b"2.") else "overhead"
        path = os.path.join(out_dir, name + ".json")
        print("=== %s: %s" % (name, python))
        sys.stdout.flush()
        status = subprocess.call([python, os.path.join(HERE, "run.py"), "--json", path,
                                  "--only", sections] + forwarded, env=variables)
        if status != 0:
            print("=== %s: failed (exit %d)" % (name, status))
            continue
        with open(path) as figures:
            combined[name] = json.load(figures)
    print("\n=== overhead over every interpreter (ratio to plain Python, median of runs)")
    header = ("python", "routine", "reference", "Pelmora", "ratio", "target", "", "cython")
    rows = [header]
    def version(item):
        return [int(part) for part in item[1]["environment"]["python"].split(".")[:3]
                if part.isdigit()]
    for name, results in sorted(combined.items(), key=version):
        for row in results.get("overhead", ()):
            rows.append((results["environment"]["python"], row["routine"],
                         "%.0f ns" % row["reference_ns"], "%.0f ns" % row["module_ns"],
                         "%.3f" % row["ratio"], "<= %.2f" % row["target"], verdict(row["ok"]),
                         "%.3f" % row["cython_ratio"] if "cython_ratio" in row else "-"))
    print_rows(rows)
    if options.json:
        with open(options.json, "w") as out:
            json.dump(combined, out, indent=2, sort_keys=True)
            out.write("\n")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", metavar="PATH", help="also write the figures here")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="what the timings count (default: %(default)s)")
    parser.add_argument("--only", metavar="SECTIONS", default=",".join(SECTIONS),
                        help="comma-separated subset of %s" % ",".join(SECTIONS))
    parser.add_argument("--runs", type=int, default=3,
                        help="overhead races per routine, median kept (default: %(default)s)")
    parser.add_argument("--no-cython", action="store_true",
                        help="leave the Cython-compiled reference out")
    parser.add_argument("--all", action="store_true",
                        help="every interpreter of the test run that has PyOpenGL")
    options = parser.parse_args(argv)
    sections = [s for s in options.only.split(",") if s]
    unknown = set(sections) - set(SECTIONS)
    if unknown:
        parser.error("unknown section(s): %s" % ", ".join(sorted(unknown)))
    if options.all:
        forwarded = ["--clock", options.clock, "--runs", str(options.runs)]
        forwarded += ["--no-cython"] if options.no_cython else []
        return run_all(options, forwarded + (["--quick"] if options.quick else []))
    if sys.version_info[0] < 3 and sections != ["overhead"]:
        parser.error("Python 2 runs the overhead section only (--only overhead)")
    settings = Settings(options.quick, options.clock, options.runs)

    backend = choose_platform()  # before anything imports OpenGL
    import Pelmora
    from pelmora_tools import reference
    check_same_programs(Pelmora, reference)
    compiled, compiled_note = None, "overhead section not run"
    if "overhead" in sections and options.no_cython:
        compiled_note = "left out (--no-cython)"
    elif "overhead" in sections:
        compiled, compiled_note = cython_reference()
        if compiled is not None:
            check_same_programs(compiled, reference)

    results = dict(environment=environment(Pelmora, backend, options.quick))
    results["environment"]["clock"] = options.clock
    results["environment"]["settings"] = dict(
        (key, value) for key, value in vars(settings).items() if key != "clock")
    if "overhead" in sections:
        results["overhead"] = measure_overhead(Pelmora, reference, settings, compiled)
    results["environment"]["cython"] = compiled_note
    if "gl" in sections:
        results["gl"], results["environment"]["gl"] = measure_gl(Pelmora, reference, settings)
    if "import" in sections:
        results["import"] = measure_import(Pelmora, settings)
    if "memory" in sections:
        results["memory"] = measure_memory(Pelmora, settings)
    oks = [row["ok"] for key in ("overhead", "gl", "memory") for row in results.get(key, ())]
    if "import" in results:
        oks.append(results["import"]["ok"])
    results["all_targets_met"] = all(oks)

    env = results["environment"]
    print("Pelmora %s on Python %s, PyOpenGL %s, %s%s%s" % (
        env["pelmora"], env["python"], env["pyopengl"], backend,
        " (%s)" % env["gl"]["renderer"] if "gl" in env else "",
        ", %s clock%s" % (options.clock, ", quick" if options.quick else "")))
    print_table(results)
    print("\nall targets met: %s" % ("yes" if results["all_targets_met"] else "no"))
    if options.json:
        directory = os.path.dirname(os.path.abspath(options.json))
        if not os.path.isdir(directory):
            os.makedirs(directory)
        with open(options.json, "w") as out:
            json.dump(results, out, indent=2, sort_keys=True)
            out.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
