"""Writes Pelmora-stubs/_opengl.pyi: the names that `import Pelmora` star-imports from
OpenGL.GLUT, OpenGL.GL and OpenGL.GLU, as the installed PyOpenGL defines them. A name bound to
a builtin class (PyOpenGL re-exports `bytes`, and `long` and `unicode` as int and str) is that
class, so hosts can annotate with it; every other name is typed Any. Module objects (such as
`sys`) and private names are left out, as are the module's own routines. Run it again when
PyOpenGL changes, before a release:

    python scripts/stub-names.py            rewrite the file from this interpreter's PyOpenGL
    python scripts/stub-names.py --check    exit 1 if the file differs from what it would write
"""
from __future__ import print_function

import argparse
import io
import os
import sys
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET = os.path.join(ROOT, "Pelmora-stubs", "_opengl.pyi")
sys.path.insert(0, ROOT)
from pelmora_tools.names import ROUTINES, STAR_IMPORTS  # noqa: E402


def star_imported_names():
    """(PyOpenGL version, {name: builtin class name, or None}) for the names that the module's
    three star imports bind."""
    from pelmora_tools.context import ContextError, choose_platform
    try:
        choose_platform()  # PyOpenGL must not fall back to GLX, which needs a display
    except ContextError:
        pass
    import OpenGL
    namespace = {}
    exec("".join("from %s import *\n" % name for name in STAR_IMPORTS), namespace)
    names = dict((name, value.__name__ if is_builtin_class(value) else None)
                 for name, value in namespace.items()
                 if not name.startswith("_") and name not in ROUTINES
                 and not isinstance(value, types.ModuleType))
    return OpenGL.__version__, names


def is_builtin_class(value):
    return isinstance(value, type) and value.__module__ == "builtins"


def stub_line(name, builtin):
    if builtin is None:
        return "%s: Any" % name
    if builtin == name:
        return "from builtins import %s as %s" % (name, name)  # the form a stub re-exports
    return "%s = %s" % (name, builtin)


def stub_text(version, names):
    lines = ["# The names the module star-imports from %s," % ", ".join(STAR_IMPORTS),
             "# as PyOpenGL %s defines them." % version,
             "# Written by scripts/stub-names.py; run it again rather than editing this file.",
             "from typing import Any", ""]
    lines += [stub_line(name, names[name]) for name in sorted(names)]
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the file instead of writing it")
    options = parser.parse_args(argv)
    text = stub_text(*star_imported_names())
    if options.check:
        with io.open(TARGET, encoding="utf-8") as handle:
            if handle.read() != text:
                print("%s is out of date for this PyOpenGL; run scripts/stub-names.py" % TARGET)
                return 1
        return 0
    with io.open(TARGET, "w", encoding="utf-8") as handle:
        handle.write(text)
    print(TARGET)
    return 0


if __name__ == "__main__":
    sys.exit(main())
