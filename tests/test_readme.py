"""The README and docs/ as a user types them: every command they show names what exists, the
pytest arguments they pass select tests, and the demo commands write the pictures they say."""
import io
import os
import re
import shlex
import sys

import pytest

from recording import ROOT, run

# The command a user types, where pip installed it beside this interpreter.
SCRIPT = os.path.join(os.path.dirname(sys.executable), "pelmora-demo")
DEMO = [SCRIPT] if os.path.exists(SCRIPT) else [sys.executable, "-m", "pelmora_tools.demo"]
FORMATS = {".png": "PNG", ".jpg": "JPEG"}  # of the pictures the pages' commands write


def read(*path):
    with io.open(os.path.join(ROOT, *path), encoding="utf-8") as handle:
        return handle.read()


def commands(page):
    """The lines of ```sh blocks, and the code spans of the prose that start with a command."""
    text = read(page)
    found = [line.split(" #")[0].strip() for block in re.findall(r"```sh\n(.*?)```", text, re.S)
             for line in block.splitlines()]
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    spans = re.findall(r"`((?:make|bash|pelmora-demo|python) [^`]*)`", prose)
    return [command for command in found + spans if command]


PAGES = ["README.md"] + ["docs/" + name for name in sorted(os.listdir(os.path.join(ROOT, "docs")))
                         if name.endswith(".md")]
COMMANDS = sorted(set(command for page in PAGES for command in commands(page)))
# The demo commands that end by themselves: offscreen, or a window for a number of frames.
DEMO_RUNS = [command for command in COMMANDS if re.search(r"pelmora-demo|pelmora_tools\.demo",
                                                          command) and "--help" not in command
             and ("--window" not in command or "--frames" in command)]


@pytest.fixture(scope="module")
def demo_help():
    return run(DEMO + ["--help"])[1]


@pytest.mark.parametrize("command", COMMANDS)
def test_each_command_names_what_exists(demo_help, command):
    words = shlex.split(command)
    for target in re.findall(r"\bmake ([\w-]+)", command):
        assert re.search(r"^%s:" % target, read("Makefile"), re.M), command
    for script in [word for word in words if word.startswith("scripts/")]:
        options = [w.split("=")[0] for w in words[words.index(script):] if w.startswith("--")]
        assert all(option in read(script) for option in options), command
    for version in re.findall(r"pelmora-(\d[\d.]*\d)", command):
        assert 'version="%s"' % version in read("setup.py"), command
    for module in re.findall(r"python -m (pelmora_tools\.\w+)", command):
        assert os.path.exists(os.path.join(ROOT, module.replace(".", "/") + ".py")), command
    if "pelmora-demo" in words:
        for option in [w for w in words[words.index("pelmora-demo"):] if w.startswith("-")]:
            assert re.search(r"(^|[\s,\[])%s\b" % re.escape(option), demo_help), command
    if words[:2] == ["bash", "scripts/test-all.sh"]:
        # This test's own ids hold the -k words, so it does not count.
        itself = "--deselect=tests/test_readme.py::test_each_command_names_what_exists"
        status, out, err = run([sys.executable, "-m", "pytest", "--collect-only", "-q", itself] +
                               words[2:], cwd=ROOT)
        assert status == 0, (command, "selects no test" if status == 5 else out + err)


@pytest.mark.parametrize("page", PAGES)
def test_links_lead_to_files(page):
    for link in re.findall(r"\]\(((?:docs/)?[\w./-]+)\)", read(page)):
        assert os.path.exists(os.path.join(ROOT, os.path.dirname(page), link)) or \
            os.path.exists(os.path.join(ROOT, link)), link


@pytest.mark.parametrize("command", DEMO_RUNS)
def test_demo_commands_write_their_pictures(tmpdir, command):
    from PIL import Image
    words = shlex.split(command)
    if words[0] == "xvfb-run" and not [d for d in os.environ["PATH"].split(os.pathsep)
                                       if os.path.isfile(os.path.join(d, "xvfb-run"))]:
        pytest.skip("xvfb-run is not installed (Debian package xvfb)")
    programs = {"pelmora-demo": DEMO, "python": [sys.executable]}
    status, out, err = run([part for word in words for part in programs.get(word, [word])],
                           cwd=str(tmpdir))
    if "no offscreen OpenGL backend" in err and os.environ.get("PELMORA_REQUIRE_GL") != "1":
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 0, (command, err)
    path = ([words[i + 1] for i, w in enumerate(words) if w in ("-o", "--output")] or
            ["out/pelmora-demo.png"])[-1]
    picture = Image.open(str(tmpdir.join(path)))
    size = words[words.index("--size") + 1] if "--size" in words else "640x480"
    assert picture.format == FORMATS[os.path.splitext(path)[1]], command
    assert "%dx%d" % picture.size == size, command
    assert len(picture.convert("RGB").getcolors(1 << 20)) > 3, command  # not blank
