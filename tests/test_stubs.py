"""The type stubs as a host's author meets them: mypy and pyright accept the README's host,
which star-imports the module, as written and with its keyboard callback annotated, and report
each mistake in a host that has some. The checkers run where they are installed (the test
extra)."""
import io
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from recording import ROOT, run, write_opengl

pytestmark = pytest.mark.skipif(sys.version_info < (3, 8), reason="the checkers need 3.8+")
# Each line after the first two is one mistake that a checker must report on that line, but
# the last, which is right.
MISTAKES = """from Pelmora import *
glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT)
drawSquare(1.0, 2.0)
drawSquare(size=1.0)
drawSquare("big")
drawGrayCube()
draw3DCoordinateAxes(1.0)
drawViewVolume(-1.0, 1.0, -1.0, 1.0, 1.0)
drawViewVolume(-1.0, 1.0, -1.0, 1.0, 1.0, 10.0, depth=3.0)
drawViewVolume(-1.0, 1.0, -1.0, 1.0, near="1", far=10.0)
glVertex3fff(0.0, 0.0, 0.0)
title: unicode = b"Pelmora"
drawViewVolume(left=-1.0, right=1.0, bottom=-1.0, top=1.0, near=1.0, far=10.0)
"""
# The files checked: the README's host, the same with its keyboard callback annotated, and
# the mistakes.
HOSTS = ("host.py", "annotated.py", "mistakes.py")
ANNOTATED_KEYBOARD = ("def keyboard(key, x, y):",
                      "def keyboard(key: bytes, x: int, y: int) -> None:")


def mypy():
    pytest.importorskip("mypy", reason="mypy is not installed (the test extra installs it)")
    # the flag the README names: without it mypy skips the bodies of unannotated callbacks
    out = subprocess.Popen([sys.executable, "-m", "mypy", "--no-incremental", "--python-version",
                            "%d.%d" % sys.version_info[:2], "--no-error-summary",
                            "--check-untyped-defs"] + list(HOSTS),
                           stdout=subprocess.PIPE).communicate()[0].decode()
    return [(name, int(n)) for name, n in re.findall(r"^(\w+)\.py:(\d+): error:", out, re.M)], out


def pyright():
    command = shutil.which("pyright", path=os.path.dirname(sys.executable) + os.pathsep +
                           os.environ.get("PATH", ""))
    if command is None:
        pytest.skip("pyright is not installed (the test extra installs it)")
    report = json.loads(subprocess.run([command, "--outputjson", "--pythonversion", "%d.%d" %
                                        sys.version_info[:2]] + list(HOSTS),
                                       stdout=subprocess.PIPE).stdout)["generalDiagnostics"]
    return [(os.path.basename(d["file"])[:-3], d["range"]["start"]["line"] + 1) for d in report
            if d["severity"] == "error"], report


@pytest.mark.parametrize("checker", [mypy, pyright])
def test_checker_accepts_the_readme_host_and_reports_each_mistake(tmpdir, monkeypatch, checker):
    shutil.copytree(os.path.join(ROOT, "Pelmora-stubs"), str(tmpdir.join("Pelmora")))
    with io.open(os.path.join(ROOT, "README.md"), encoding="utf-8") as handle:
        host = [block for block in re.findall(r"```python\n(.*?)```", handle.read(), re.S)
                if "from Pelmora import *" in block][0]
    annotated = host.replace(*ANNOTATED_KEYBOARD)
    assert annotated != host, "the README's host has no keyboard callback to annotate"
    for name, text in zip(HOSTS, (host, annotated, MISTAKES)):
        tmpdir.join(name).write_text(type(u"")(text), encoding="utf-8")
    monkeypatch.chdir(tmpdir)  # the stubs here come before any installed copy
    errors, report = checker()
    assert sorted(set(errors)) == [("mistakes", line) for line in range(3, 13)], report


def test_stub_names_match_this_pyopengl():
    """The listed names are those the module really holds, for the PyOpenGL they name."""
    with io.open(os.path.join(ROOT, "Pelmora-stubs", "_opengl.pyi"), encoding="utf-8") as handle:
        written_for = re.search(r"PyOpenGL (\S+) defines", handle.read()).group(1)
    import OpenGL
    if OpenGL.__version__ != written_for:
        pytest.skip("the stub lists PyOpenGL %s's names; this is %s"
                    % (written_for, OpenGL.__version__))
    process = subprocess.Popen([sys.executable, os.path.join(ROOT, "scripts", "stub-names.py"),
                                "--check"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert process.wait() == 0, process.stdout.read()


def test_stub_check_fails_for_another_pyopengl(tmpdir):
    """--check, the guard before a release, fails when PyOpenGL defines other names."""
    other = {"__init__.py": "__version__ = '9.9'\n", "GL.py": "glBegin = len\nGL_QUADS = 7\n",
             "GLU.py": "", "GLUT.py": ""}
    stub = os.path.join(ROOT, "Pelmora-stubs", "_opengl.pyi")
    with open(stub, "rb") as handle:
        before = handle.read()
    status, out, err = run([sys.executable, os.path.join(ROOT, "scripts", "stub-names.py"),
                            "--check"], paths=[write_opengl(tmpdir, other)])
    assert status == 1 and "out of date for this PyOpenGL" in out, out + err
    with open(stub, "rb") as handle:
        assert handle.read() == before  # checked, not rewritten
