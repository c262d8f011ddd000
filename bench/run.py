"""What each Pelmora routine costs.

Four measurements, printed as one table and written as JSON with --json PATH:

  overhead  every OpenGL name bound to a C-level no-op (''.format) in both Pelmora and
            bench/reference.py (the same five routines in plain Python); per-call time and
            the ratio Pelmora / reference.
  gl        the routines drawing into an offscreen Mesa context, against the bare sequence
            of the same PyOpenGL calls with the same arguments issued from a C-level loop;
            the ratio Pelmora / bare is the module's own share. The plain-Python reference
            is timed too, for information.
  import    `import Pelmora` in a fresh interpreter against the three PyOpenGL star
            imports done in plain Python, also in a fresh interpreter.
  memory    resident size before and after a million calls of each routine (no-op
            bindings), on success and with glEnd unbound so every call raises NameError.

Python 3 only. Run it with the interpreter that has Pelmora and PyOpenGL installed, e.g.
`.venv/bin/python bench/run.py --json out/bench.json`; --quick runs fewer and shorter
repeats (a smoke run; its figures are noisier).
"""
from __future__ import print_function

import argparse
import collections
import gc
import itertools
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit

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

OVERHEAD_TARGETS = {"drawSquare": 1.0, "drawGrayCube": 1.0, "drawColoredCube": 1.0,
                    "draw3DCoordinateAxes": 1.15, "drawViewVolume": 1.0}
GL_TARGET = 1.03
IMPORT_TARGET = 1.05
MEMORY_TARGET_KIB = 1024.0  # growth per million calls
MEMORY_BAIL_OUT = 256 << 20  # resident growth at which a memory run stops and extrapolates

GL_SIZE = 64

# cpu: the process's CPU time, every thread of it (the driver's rendering threads too),
# and none of the time it waits for a core: on a shared machine far steadier than the
# wall clock, and the same on a quiet one. The names are those of the time module.
CLOCKS = {"cpu": "process_time", "wall": "perf_counter"}


class Settings(object):
    def __init__(self, quick, clock):
        self.quick = quick
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


def make_batch(statement, namespace, clock, finish=None):
    """A function timing `statement` run n times with the collector off; returns seconds
    for the whole batch. Without `finish` this is timeit itself; with it, timeit's loop
    followed by one `finish()` inside the timed span (glFinish, so the driver's queued
    work is paid for by the batch that queued it)."""
    if finish is None:
        return timeit.Timer(statement, timer=clock, globals=dict(namespace)).timeit
    source = ("def batch(n, _repeat=_repeat, _timer=_timer):\n"
              "    _gc_was_on = _gc.isenabled()\n"
              "    _gc.disable()\n"
              "    try:\n"
              "        _t0 = _timer()\n"
              "        for _ in _repeat(None, n):\n"
              "            %s\n"
              "        _finish()\n"
              "        return _timer() - _t0\n"
              "    finally:\n"
              "        if _gc_was_on:\n"
              "            _gc.enable()\n"
              % statement)
    scope = dict(namespace)
    scope.update(_repeat=itertools.repeat, _timer=clock, _gc=gc, _finish=finish)
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
            raise SystemExit("bench: %s differs between Pelmora and bench/reference.py:\n  %r\n  %r"
                             % (name, ours, theirs))


def measure_overhead(pelmora, reference, settings):
    noop = "".format  # C-level, takes any positional arguments
    saved = [(module, bind(module, GL_NAMES, noop)) for module in (pelmora, reference)]
    rows = []
    try:
        for name, args in CASES:
            statement = call_source(args)
            batches = [(module.__name__,
                        make_batch(statement, {"f": getattr(module, name)}, settings.clock))
                       for module in (pelmora, reference)]
            best = race(batches, settings, settings.repeats)
            module_time, reference_time = best[pelmora.__name__], best[reference.__name__]
            ratio = module_time / reference_time
            rows.append(dict(routine=name, module_ns=module_time * 1e9,
                             reference_ns=reference_time * 1e9, ratio=ratio,
                             target=OVERHEAD_TARGETS[name],
                             ok=ratio <= OVERHEAD_TARGETS[name]))
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
        return dict(best_ms=min(values) * 1e3, median_ms=statistics.median(values) * 1e3)

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


def measure_memory(pelmora, settings):
    calls = settings.memory_calls
    saved = bind(pelmora, GL_NAMES, "".format)
    rows = []
    try:
        for path in ("success", "NameError"):
            if path == "NameError":
                del pelmora.glEnd  # every routine ends with it, the cubes inside drawSquare
            for name, args in CASES:
                function = getattr(pelmora, name)
                if path == "NameError":
                    try:
                        function(*args)
                    except NameError:
                        pass
                    else:
                        raise SystemExit("bench: %s did not fail with glEnd unbound" % name)
                if path == "success":
                    statement = call_source(args)
                else:
                    statement = "try:\n    %s\nexcept NameError:\n    pass" % call_source(args)
                batch = make_batch(statement, {"f": function}, settings.clock)
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
                per_million = 1e6 / done
                growth = (rss_after - rss_before) / 1024.0 * per_million
                rows.append(dict(routine=name, path=path, calls=done,
                                 rss_before_kib=rss_before / 1024.0,
                                 rss_after_kib=rss_after / 1024.0,
                                 growth_kib_per_million=growth,
                                 blocks_per_million=(blocks_after - blocks_before) * per_million,
                                 ns_per_call=seconds / done * 1e9,
                                 target_kib=MEMORY_TARGET_KIB, ok=growth < MEMORY_TARGET_KIB))
    finally:
        restore(pelmora, saved)
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


def print_table(results, out=sys.stdout):
    header = ("measure", "routine", "Pelmora", "baseline", "ratio", "target", "")
    rows = [header] + table_rows(results)
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    line = "  ".join("%%-%ds" % w for w in widths)
    for i, row in enumerate(rows):
        print((line % row).rstrip(), file=out)
        if i == 0:
            print("  ".join("-" * w for w in widths), file=out)
    print("\nbaseline: overhead = bench/reference.py under the same no-op bindings; gl = the "
          "bare PyOpenGL calls from a C-level loop (gl reference: bench/reference.py against "
          "the same); import/process = the three star imports in plain Python; memory = "
          "pymalloc blocks left per million calls.", file=out)


def environment(pelmora, backend, quick):
    import OpenGL
    return dict(python=sys.version.split()[0], implementation=platform.python_implementation(),
                executable=sys.executable, pelmora=os.path.abspath(pelmora.__file__),
                pyopengl=OpenGL.__version__, backend=backend, machine=platform.machine(),
                processor=cpu_name(), cpus=os.cpu_count(), quick=quick,
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", metavar="PATH", help="also write the figures here")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="what the timings count (default: %(default)s)")
    parser.add_argument("--only", metavar="SECTIONS", default=",".join(SECTIONS),
                        help="comma-separated subset of %s" % ",".join(SECTIONS))
    options = parser.parse_args(argv)
    sections = [s for s in options.only.split(",") if s]
    unknown = set(sections) - set(SECTIONS)
    if unknown:
        parser.error("unknown section(s): %s" % ", ".join(sorted(unknown)))
    settings = Settings(options.quick, options.clock)

    backend = choose_platform()  # before anything imports OpenGL
    import Pelmora
    sys.path.insert(0, HERE)
    from pelmora_tools import reference
    check_same_programs(Pelmora, reference)

    results = dict(environment=environment(Pelmora, backend, options.quick))
    results["environment"]["clock"] = options.clock
    results["environment"]["settings"] = dict(
        (key, value) for key, value in vars(settings).items() if key != "clock")
    if "overhead" in sections:
        results["overhead"] = measure_overhead(Pelmora, reference, settings)
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
