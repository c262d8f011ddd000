"""The type stubs as a host's author meets them: mypy and pyright (where installed) accept the
README's host, which star-imports the module, as written and with its keyboard callback
annotated, and report each mistake in a host that has some; the names hold to PyOpenGL's."""
import io
import os
import re
import shutil
import sys

import pytest

from recording import ROOT, run, write_opengl

pytestmark = pytest.mark.skipif(sys.version_info < (3, 8), reason="the checkers need 3.8+")
# Each line between the first and the last is one mistake that a checker must report on that
# line; the last is right.
MISTAKES = """from Pelmora import *
drawSquare(size=1.0)
drawSquare("big")
drawGrayCube()
draw3DCoordinateAxes(1.0)
drawViewVolume(-1.0, 1.0, -1.0, 1.0, 1.0)
drawViewVolume(-1.0, 1.0, -1.0, 1.0, near="1", far=10.0)
glVertex3fff(0.0, 0.0, 0.0)
title: unicode = b"Pelmora"
drawViewVolume(left=-1.0, right=1.0, bottom=-1.0, top=1.0, near=1.0, far=10.0)
"""
# mypy's flag is the one the README names: without it mypy skips unannotated callbacks.
CHECKERS = {"mypy": ["--no-incremental", "--no-error-summary", "--check-untyped-defs"],
            "pyright": ["--pythonversion", "%d.%d" % sys.version_info[:2]]}


def read(*path):
    with io.open(os.path.join(ROOT, *path), encoding="utf-8") as handle:
        return handle.read()


@pytest.mark.parametrize("checker", sorted(CHECKERS))
def test_checker_accepts_the_readme_host_and_reports_each_mistake(tmpdir, checker):
    pytest.importorskip(checker, reason="%s is not installed (the test extra has it)" % checker)
    shutil.copytree(os.path.join(ROOT, "Pelmora-stubs"), str(tmpdir.join("Pelmora")))
    host = [block for block in re.findall(r"```python\n(.*?)```", read("README.md"), re.S)
            if "from Pelmora import *" in block][0]
    annotated = host.replace("def keyboard(key, x, y):",
                             "def keyboard(key: bytes, x: int, y: int) -> None:")
    assert annotated != host, "the README's host has no keyboard callback to annotate"
    for name, text in [("host", host), ("annotated", annotated), ("mistakes", MISTAKES)]:
        tmpdir.join(name + ".py").write_text(text, encoding="utf-8")
    # Run in the folder, so that the stubs there come before any installed copy.
    status, out, err = run([sys.executable, "-m", checker] + CHECKERS[checker] +
                           ["host.py", "annotated.py", "mistakes.py"], cwd=str(tmpdir))
    errors = set(re.findall(r"(\w+)\.py:(\d+)(?::\d+ -|:) error", out))
    assert errors == set(("mistakes", str(line)) for line in range(2, 10)), out + err


def test_stub_names_check_holds_to_pyopengl(tmpdir):
    """--check, the guard before a release, fails for other names and passes for its own."""
    import OpenGL
    before = read("Pelmora-stubs", "_opengl.pyi")
    other = {"__init__.py": "__version__ = '9.9'\n", "GL.py": "", "GLU.py": "", "GLUT.py": ""}
    check = [sys.executable, os.path.join(ROOT, "scripts", "stub-names.py"), "--check"]
    status, out, err = run(check, paths=[write_opengl(tmpdir, other)])
    assert status == 1 and "out of date for this PyOpenGL" in out, out + err
    assert read("Pelmora-stubs", "_opengl.pyi") == before  # checked, not rewritten
    if "PyOpenGL %s defines" % OpenGL.__version__ not in before:
        pytest.skip("the stub lists another PyOpenGL's names than %s's" % OpenGL.__version__)
    assert run(check)[:2] == (0, "")  # the status and what it says
