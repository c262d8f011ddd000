"""What each Pelmora routine costs, timed by pyperf and printed as one table of ratios to
targets; bench/README.md says what each row measures. Memory rows come from bench/memory.py.

  bench/run.py [--only overhead,gl,import,memory] [--json PATH] [pyperf options: --fast, ...]
  bench/run.py --all [the same]    under .venv and each .venvs/* env, then one overhead table
"""
from __future__ import print_function

import argparse
import collections
import gc
import glob
import itertools
import json
import os
import re
import subprocess
import sys
import time

import memory  # bench/memory.py
from pelmora_tools.names import GL_CALLEES, ROUTINES, STAR_IMPORTS, TYPICAL_ARGUMENTS
from pelmora_tools.record import Rebinding, record

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Overhead ratio targets by interpreter: (square and cubes, view volume, axes). The axes pass
# 30 fresh floats a call where plain Python passes constants; 2.7's are the figures from
# before the engine's caches.
OVERHEAD_TARGETS = (((3, 12), (0.85, 0.95, 1.35)), ((3, 11), (0.70, 0.80, 1.00)),
                    ((3, 0), (0.70, 0.70, 0.95)), ((2, 0), (0.82, 0.81, 0.94)))
GL_TARGET, IMPORT_TARGET = 1.02, 1.05
# (measure, side timed, baseline side, target); sides are benchmarks of the measure's section.
ROWS = (("overhead", "module", "reference", "by version"),
        ("overhead cython", "cython", "reference", None),
        ("gl", "module", "bare", GL_TARGET), ("gl reference", "reference", "bare", None),
        ("import", "module", "star imports", IMPORT_TARGET))
UNITS = {"overhead": (1e9, "%.0f ns"), "gl": (1e6, "%.2f us"), "import": (1e3, "%.1f ms")}
COLUMNS = ("measure", "routine", "Pelmora", "baseline", "ratio", "target", "verdict")
# The process's CPU time, every thread (Mesa's too), not time spent waiting for a core: on a
# shared machine far steadier than the wall clock. Python 2.7's time.clock counts the same.
CLOCK_NAME = "process_time" if hasattr(time, "process_time") else "clock"


def time_statement(loops, statement, namespace, finish=str):
    """pyperf's time function: CPU seconds of `loops` runs of `statement`, then finish()."""
    source = ("def timed(loops):\n    t0 = _clock()\n    for _ in _repeat(None, loops):\n"
              "        %s\n    _finish()\n    return _clock() - t0\n" % statement)
    scope = dict(namespace, _clock=getattr(time, CLOCK_NAME), _repeat=itertools.repeat,
                 _finish=finish)
    exec(source, scope)
    return scope["timed"](loops)


def call_source(routine):
    return "f(%s)" % ", ".join(repr(a) for a in TYPICAL_ARGUMENTS[routine])


def overhead(loops, module, routine):
    """Calls of `routine` with every OpenGL name bound to a no-op; the bindings put back."""
    with Rebinding([module]):
        for name in GL_CALLEES:
            setattr(module, name, "".format)  # C-level, takes any arguments
        return time_statement(loops, call_source(routine), {"f": getattr(module, routine)})


def bare_calls(pelmora, routine):
    """The PyOpenGL calls Pelmora's `routine` makes, prebuilt, and a C-level loop making them:
    operator.call from 3.11; before it, a starmap a call, which costs more."""
    calls = record(pelmora, routine, TYPICAL_ARGUMENTS[routine])
    scope = dict(_consume=collections.deque(maxlen=0).extend, _starmap=itertools.starmap,
                 _chain=itertools.chain.from_iterable)
    try:
        from operator import call
    except ImportError:
        scope["rows"] = [(pelmora.__dict__[name], (args,)) for name, args in calls]
        return "_consume(_chain(_starmap(_starmap, rows)))", scope
    scope.update(rows=[(pelmora.__dict__[name],) + args for name, args in calls], _call=call)
    return "_consume(_starmap(_call, rows))", scope


CONTEXT = []  # one a worker


def gl(loops, pelmora, module, routine):
    """Drawing into a 64x64 context (module None: the bare calls); glFinish is timed too."""
    from OpenGL import GL
    if not CONTEXT:
        from pelmora_tools.context import make_context
        CONTEXT.append(make_context(64, 64))
        CONTEXT[0].make_current()
        CONTEXT[0].reset_state()
    statement, scope = bare_calls(pelmora, routine) if module is None else (
        call_source(routine), {"f": getattr(module, routine)})
    seconds = time_statement(loops, statement, scope, GL.glFinish)
    if GL.glGetError() != GL.GL_NO_ERROR:
        raise SystemExit("bench: %s left an OpenGL error" % routine)
    return seconds


def import_time(loops, code):
    """`code` timed on the CPU clock inside each of `loops` fresh interpreters."""
    child = "import time\nt0 = time.{0}()\n{1}\nprint(repr(time.{0}() - t0))".format(
        CLOCK_NAME, code)
    outputs = [subprocess.check_output([sys.executable, "-c", child], cwd=HERE)
               for _ in range(loops)]
    return sum(float(output.split()[-1]) for output in outputs)


def check_same_programs(pelmora, module):
    """The race is between equal programs: the same calls, values and types."""
    for routine in ROUTINES:
        ours, theirs = [[(name, [(type(a), a) for a in args]) for name, args in record(
            m, routine, TYPICAL_ARGUMENTS[routine])] for m in (pelmora, module)]
        if ours != theirs:
            raise SystemExit("bench: %s differs between Pelmora and %s:\n  %r\n  %r"
                             % (routine, module.__name__, ours, theirs))


def cython_reference(reference, build_it):
    """The reference compiled by Cython into out/cython/, or None. The manager builds it
    before any worker starts; workers only import it."""
    try:
        import Cython
    except ImportError:
        return None
    build = os.path.join(ROOT, "out", "cython", "%s%s-%s" % (
        sys.version.split()[0], getattr(sys, "abiflags", ""), Cython.__version__))
    source = os.path.join(build, "reference_cython.py")
    with open(os.path.splitext(reference.__file__)[0] + ".py") as original:
        text = original.read()
    if build_it and (not os.path.exists(source) or open(source).read() != text):
        if not os.path.isdir(build):
            os.makedirs(build)
        with open(source, "w") as copy:
            copy.write(text)
    # Cythonize rebuilds only what changed; -2 keeps Python 2.7's classic division.
    with open(os.devnull, "w") as quiet:
        if build_it and subprocess.call([sys.executable, "-m", "Cython.Build.Cythonize", "-i",
                                         "-q", "-%d" % sys.version_info[0], source],
                                        stdout=quiet) != 0:
            return None
    sys.path.insert(0, build)
    import reference_cython
    return reference_cython


def target(measure, routine):
    if measure != "overhead":
        return dict((row[0], row[3]) for row in ROWS)[measure]
    for since, (shapes, view_volume, axes) in OVERHEAD_TARGETS:
        if sys.version_info[:2] >= since:
            return {"drawViewVolume": view_volume, "draw3DCoordinateAxes": axes}.get(
                routine, shapes)


def table_rows(times, pelmora):
    """A row for each measure of ROWS and routine whose two sides were timed."""
    rows = []
    for measure, ours, baseline, _ in ROWS:
        section = measure.split()[0]
        for routine in ("median",) if section == "import" else ROUTINES:
            if (section, routine, ours) not in times or (section, routine, baseline) not in times:
                continue
            (scale, form), limit = UNITS[section], target(measure, routine)
            mine, theirs = [times[section, routine, side].median() for side in (ours, baseline)]
            label = routine if measure != "gl" else "%s (%d calls)" % (
                routine, len(record(pelmora, routine, TYPICAL_ARGUMENTS[routine])))
            rows.append(dict(measure=measure, routine=label, Pelmora=form % (mine * scale),
                             baseline=form % (theirs * scale), ratio="%.3f" % (mine / theirs),
                             target="-" if limit is None else "<= %.2f" % limit,
                             verdict="" if limit is None else
                             "ok" if mine / theirs <= limit else "MISS"))
    return rows


def print_rows(rows):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for i, cells in enumerate(rows):
        print("  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))


def run_one():
    import pyperf
    from pelmora_tools.context import choose_platform
    # Workers start with pyperf's clean environment: they are told what the manager chose.
    runner = pyperf.Runner(processes=10, add_cmdline_args=lambda cmd, args: cmd.extend(
        ["--only", args.only, "--backend", args.backend] + ["--no-cython"] * args.no_cython))
    runner.argparser.add_argument("--only", default="overhead,gl,import,memory")
    runner.argparser.add_argument("--backend", help="offscreen OpenGL backend")
    runner.argparser.add_argument("--no-cython", action="store_true",
                                  help="leave out the reference compiled by Cython")
    runner.argparser.add_argument("--json", metavar="PATH", help="also write the table here")
    args = runner.parse_args()
    sections = args.only.split(",")
    if set(sections) - set(["overhead", "gl", "import", "memory"]):
        runner.argparser.error("--only takes overhead, gl, import and memory")
    if args.worker:
        gc.disable()  # as timeit does
    args.backend = choose_platform(args.backend)  # before anything imports OpenGL
    import Pelmora
    from pelmora_tools import reference
    compiled = None if args.no_cython else cython_reference(reference, not args.worker)
    args.no_cython = compiled is None
    sides = [("module", Pelmora), ("reference", reference)]
    if compiled is not None:
        sides.append(("cython", compiled))
    for _, module in sides[1:]:
        check_same_programs(Pelmora, module)
    benchmarks = []
    if "overhead" in sections:
        benchmarks += [("overhead", r, side, overhead, (module, r))
                       for r in ROUTINES for side, module in sides]
    if "gl" in sections:
        benchmarks += [("gl", r, side, gl, (Pelmora, module, r)) for r in ROUTINES
                       for side, module in sides[:2] + [("bare", None)]]
    if "import" in sections:
        star_imports = "\n".join("from %s import *" % name for name in STAR_IMPORTS)
        benchmarks += [("import", "median", side, import_time, (code,)) for side, code in
                       (("module", "import Pelmora"), ("star imports", star_imports))]
    times = dict((key[:3], runner.bench_time_func(" ".join(key[:3]), key[3], *key[4]))
                 for key in benchmarks)
    if args.worker:
        return 0
    rows = table_rows(times, Pelmora)
    if "memory" in sections:
        rows += memory.rows(200000 if args.fast else 1000000)
    import OpenGL
    print("\nPelmora %s on Python %s, PyOpenGL %s, %s, CPU-time clock, pyperf medians" % (
        Pelmora.__file__, sys.version.split()[0], OpenGL.__version__, args.backend))
    print_rows([COLUMNS[:-1] + ("",)] + [tuple(r[c] for c in COLUMNS) for r in rows])
    print("\nbaseline: overhead = pelmora_tools/reference.py, gl = the bare PyOpenGL calls, "
          "import = the star imports, memory = pymalloc blocks left\nall targets met: %s"
          % ("no" if any(r["verdict"] == "MISS" for r in rows) else "yes"))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(dict(python=sys.version.split()[0], rows=rows), out, indent=1)
    return 0


def bench_requirements():
    """setup.py's bench extra, read from the metadata of the Pelmora installed here."""
    from importlib.metadata import requires
    extra = re.compile(r'\s*(?:and )?extra == "bench"')
    return [extra.sub("", r).rstrip("; ") for r in requires("Pelmora") if extra.search(r)]


def run_all(argv):
    """run.py under .venv and each .venvs/* env, with the bench extra installed there."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", metavar="PATH")
    options, forwarded = parser.parse_known_args(argv)
    out = os.path.join(ROOT, "out", "bench-all")
    if not os.path.isdir(out):
        os.makedirs(out)
    environ = dict((k, v) for k, v in os.environ.items() if k != "PYTHONPATH")
    combined = []
    envs = [os.path.join(ROOT, ".venv")] + sorted(glob.glob(os.path.join(ROOT, ".venvs", "*")))
    for env in envs:
        name = "main" if env.endswith(".venv") else os.path.basename(env)
        python = os.path.join(env, "bin", "python")
        for requirement in bench_requirements():
            subprocess.call([python, "-m", "pip", "install", "-q", requirement], env=environ,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        probe = subprocess.Popen([python, "-c", "import OpenGL, Pelmora, pyperf"], env=environ,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reason = probe.communicate()[1].decode().strip().splitlines()[-1:]
        if probe.returncode != 0:
            print("=== %s: skipped, %s" % (name, reason[0] if reason else "no python"))
            continue
        paths = [os.path.join(out, name + suffix) for suffix in (".json", ".pyperf.json")]
        for path in [p for p in paths if os.path.exists(p)]:
            os.remove(path)
        print("=== %s: %s" % (name, python))
        sys.stdout.flush()
        if subprocess.call([python, os.path.join(HERE, "run.py"), "--json", paths[0], "-o",
                            paths[1]] + forwarded, env=environ) != 0:
            print("=== %s: failed" % name)
            continue
        with open(paths[0]) as figures:
            combined.append(dict(json.load(figures), env=name))
    combined.sort(key=lambda r: [int(p) for p in r["python"].split(".") if p.isdigit()])
    print("\n=== overhead over every interpreter (pyperf medians)")
    table = [("env", "python", "routine", "reference", "Pelmora", "ratio", "target", "",
              "cython")]
    for result in combined:
        cython = dict((r["routine"], r["ratio"]) for r in result["rows"]
                      if r["measure"] == "overhead cython")
        table += [(result["env"], result["python"], r["routine"], r["baseline"], r["Pelmora"],
                   r["ratio"], r["target"], r["verdict"], cython.get(r["routine"], "-"))
                  for r in result["rows"] if r["measure"] == "overhead"]
    print_rows(table)
    if options.json:
        with open(options.json, "w") as out:
            json.dump(combined, out, indent=1)
    return 0


if __name__ == "__main__":
    arguments = sys.argv[1:]
    sys.exit(run_all([a for a in arguments if a != "--all"]) if "--all" in arguments
             else run_one())
