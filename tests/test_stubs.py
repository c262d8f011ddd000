"""The type stubs as a host's author meets them: mypy and pyright accept the README's host
script, which star-imports the module, and report each mistake in a host that has some.
The checkers run where they are installed (the test extra); the stub's list of OpenGL names
must match the installed PyOpenGL when it is the release the list was written from."""
import io
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from recording import ROOT

pytestmark = pytest.mark.skipif(sys.version_info < (3, 8),
                                reason="the stubs and both checkers need Python 3.8+")
STUBS = os.path.join(ROOT, "Pelmora-stubs")

# Each line is one mistake that a checker must report on that line, and nothing else.
MISTAKES = """\
from Pelmora import *

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
drawViewVolume(left=-1.0, right=1.0, bottom=-1.0, top=1.0, near=1.0, far=10.0)
"""
MISTAKE_LINES = [4, 5, 6, 7, 8, 9, 10, 11, 12]


def readme_host():
    with io.open(os.path.join(ROOT, "README.md"), encoding="utf-8") as handle:
        blocks = re.findall(r"```python\n(.*?)```", handle.read(), re.S)
    hosts = [block for block in blocks if "from Pelmora import *" in block]
    assert hosts, "README.md shows no host script"
    return hosts[0]


@pytest.fixture
def project(tmpdir):
    """A folder holding this tree's stubs as the Pelmora package, which both checkers find
    before any installed copy; returns a function that writes a host there."""
    shutil.copytree(STUBS, str(tmpdir.join("Pelmora")))

    def write(name, text):
        tmpdir.join(name).write_text(text, encoding="utf-8")
        return name
    write.dir = str(tmpdir)
    return write


def mypy_errors(folder, name):
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy is not installed (the test extra installs it)")
    process = subprocess.Popen(
        [sys.executable, "-m", "mypy", "--no-incremental", "--python-version",
         "%d.%d" % sys.version_info[:2], "--show-error-codes", "--no-error-summary", name],
        cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = process.communicate()[0].decode("utf-8", "replace")
    errors = [int(line) for line in re.findall(r"^%s:(\d+): error:" % re.escape(name), out, re.M)]
    assert process.returncode == (1 if errors else 0), out
    return errors, out


def pyright_errors(folder, name):
    command = shutil.which("pyright", path=os.path.dirname(sys.executable) + os.pathsep +
                           os.environ.get("PATH", ""))
    if command is None:
        pytest.skip("pyright is not installed (the test extra installs it)")
    process = subprocess.run([command, "--outputjson", "--pythonversion",
                              "%d.%d" % sys.version_info[:2], name],
                             cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    report = json.loads(process.stdout.decode("utf-8"))
    errors = [d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"]
              if d["severity"] == "error"]
    return errors, json.dumps(report["generalDiagnostics"], indent=1)


@pytest.mark.parametrize("checker", [mypy_errors, pyright_errors], ids=["mypy", "pyright"])
def test_checker_accepts_the_readme_host_and_reports_each_mistake(project, checker):
    errors, report = checker(project.dir, project("host.py", readme_host()))
    assert errors == [], report
    errors, report = checker(project.dir, project("mistakes.py", MISTAKES))
    assert sorted(set(errors)) == MISTAKE_LINES, report


def test_stub_names_match_this_pyopengl():
    """The listed names are those the module really holds, for the PyOpenGL they name."""
    with io.open(os.path.join(STUBS, "_opengl.pyi"), encoding="utf-8") as handle:
        written_for = re.search(r"PyOpenGL (\S+) defines", handle.read()).group(1)
    import OpenGL
    if OpenGL.__version__ != written_for:
        pytest.skip("the stub lists PyOpenGL %s's names; this is %s"
                    % (written_for, OpenGL.__version__))
    process = subprocess.Popen([sys.executable, os.path.join(ROOT, "scripts", "stub-names.py"),
                                "--check"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = process.communicate()[0].decode("utf-8", "replace")
    assert process.returncode == 0, out
