"""The README and docs/ as a user types them: each command names what exists, selects tests,
or writes the picture it says; each link leads to a file."""
import io
import os
import re
import shlex
import sys

import pytest

from recording import ROOT, run

# The command a user types, where pip installed it beside this interpreter.
SCRIPT = os.path.join(os.path.dirname(sys.executable), "pelmora-demo")
PROGRAMS = {"pelmora-demo": [SCRIPT] if os.path.exists(SCRIPT) else
            [sys.executable, "-m", "pelmora_tools.demo"], "python": [sys.executable]}


def read(path):
    with io.open(os.path.join(ROOT, path), encoding="utf-8") as handle:
        return handle.read()


PAGES = ["README.md"] + ["docs/" + name for name in sorted(os.listdir(os.path.join(ROOT, "docs")))
                         if name.endswith(".md")]


def commands(text):
    """The lines of ```sh blocks, and the code spans of the prose that start with a command."""
    lines = [line.split(" #")[0].strip() for block in re.findall(r"```sh\n(.*?)```", text, re.S)
             for line in block.splitlines()]
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    return lines + re.findall(r"`((?:make|bash|pelmora-demo|python) [^`]*)`", prose)


COMMANDS = sorted(set(command for page in PAGES for command in commands(read(page)) if command))


@pytest.mark.parametrize("command", COMMANDS)
def test_command_works_as_shown(tmpdir, command):
    from pelmora_tools.demo import build_parser
    words = shlex.split(command)
    for target in re.findall(r"\bmake ([\w-]+)", command):
        assert re.search(r"^%s:" % target, read("Makefile"), re.M), command
    for script in [word for word in words if word.startswith("scripts/")]:
        options = [w.split("=")[0] for w in words[words.index(script):] if w.startswith("--")]
        assert all(option in read(script) for option in options), command
    for version in re.findall(r"pelmora-(\d[\d.]*\d)", command):
        assert 'version="%s"' % version in read("setup.py"), command
    if words[:2] == ["bash", "scripts/test-all.sh"]:
        # This test's own ids hold the -k words, so it does not count.
        itself = "--deselect=tests/test_readme.py::test_command_works_as_shown"
        status, out, err = run([sys.executable, "-m", "pytest", "--collect-only", "-q", itself] +
                               words[2:], cwd=ROOT)
        assert status == 0, (command, "selects no test" if status == 5 else out + err)
    demo = [words[i + 1:] for i, word in enumerate(words)
            if word in ("pelmora-demo", "pelmora_tools.demo")]
    options = demo and build_parser().parse_args([w for w in demo[0] if w != "--help"])
    if not options or "--help" in words or options.window and not options.frames:
        return  # only the demo commands that end by themselves are run
    if words[0] == "xvfb-run" and not [d for d in os.environ["PATH"].split(os.pathsep)
                                       if os.path.isfile(os.path.join(d, "xvfb-run"))]:
        pytest.skip("xvfb-run is not installed (Debian package xvfb)")
    status, out, err = run([part for word in words for part in PROGRAMS.get(word, [word])],
                           cwd=str(tmpdir))
    # OSMesa is optional where EGL draws (Mesa 25.1 and later have none).
    if "no offscreen OpenGL backend" in err and (os.environ.get("PELMORA_REQUIRE_GL") != "1" or
                                                  options.backend == "osmesa"):
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 0, (command, err)
    from PIL import Image
    picture = Image.open(str(tmpdir.join(options.output)))
    assert picture.format == {".png": "PNG", ".jpg": "JPEG"}[os.path.splitext(options.output)[1]]
    assert picture.size == options.size and len(picture.convert("RGB").getcolors(1 << 20)) > 3


def test_links_lead_to_files():
    for page in PAGES:
        for link in re.findall(r"\]\(((?:docs/)?[\w./-]+)\)", read(page)):
            assert os.path.exists(os.path.join(ROOT, os.path.dirname(page), link)) or \
                os.path.exists(os.path.join(ROOT, link)), (page, link)
