"""The README and docs/ as a user types them: every make target, script option and demo option
they name exists, and the README's offscreen demo commands write what they say."""
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


@pytest.mark.parametrize("page", PAGES)
def test_named_targets_scripts_and_options_exist(page):
    targets = set(re.findall(r"^([\w-]+):", read("Makefile"), re.M))
    status, demo_help, err = run(DEMO + ["--help"])
    for command in commands(page):
        words = shlex.split(command)
        for target in re.findall(r"^make ([\w-]+)", command):
            assert target in targets, command
        for script in [w for w in words if w.startswith("scripts/")]:
            options = [w.split("=")[0] for w in words[words.index(script):] if w.startswith("--")]
            assert all(option in read(script) for option in options), command
        if "pelmora-demo" in words:
            for option in [w for w in words if w.startswith("-") and w != "-a"]:  # xvfb-run's
                assert re.search(r"(^|[\s,\[])%s\b" % re.escape(option), demo_help), command
    for link in re.findall(r"\]\(((?:docs/)?[\w./-]+)\)", read(page)):
        assert os.path.exists(os.path.join(ROOT, os.path.dirname(page), link)) or \
            os.path.exists(os.path.join(ROOT, link)), link


def test_readme_offscreen_demo_commands_write_their_pictures(tmpdir):
    from PIL import Image
    ran = [c for c in commands("README.md") if c.startswith("pelmora-demo") and "-o" in c and
           "--window" not in c]
    assert len(ran) >= 2
    for command in ran:
        args = shlex.split(command)[1:]
        status, out, err = run(DEMO + args, cwd=str(tmpdir))
        if "no offscreen OpenGL backend" in err and os.environ.get("PELMORA_REQUIRE_GL") != "1":
            pytest.skip("no offscreen OpenGL here: " + err.strip())
        assert status == 0, (command, err)
        picture = Image.open(str(tmpdir.join(args[args.index("-o") + 1])))
        size = args[args.index("--size") + 1] if "--size" in args else "640x480"
        assert picture.format == "PNG" and "%dx%d" % picture.size == size, command
        assert len(picture.convert("RGB").getcolors(1 << 20)) > 3, command  # not blank
