"""The README as a user types it: every make target, script and demo option that it or the
pages under docs/ name exists, and the README's offscreen demo commands run and write what
they say."""
import io
import os
import re
import shlex
import sys

import pytest

from recording import ROOT, run

README = os.path.join(ROOT, "README.md")
DOCS = os.path.join(ROOT, "docs")
DEMO = [sys.executable, "-m", "pelmora_tools.demo"]


def read(path):
    with io.open(path, encoding="utf-8") as handle:
        return handle.read()


def commands(text):
    """Each shell command: the lines of ```sh blocks and the code spans in the prose that
    start with a command, comments dropped."""
    found = []
    for block in re.findall(r"```sh\n(.*?)```", text, re.S):
        found += [line.split(" #")[0].strip() for line in block.splitlines()]
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    found += re.findall(r"`((?:make|bash|pelmora-demo|python) [^`]*)`", prose)
    return [command for command in found if command]


def documents():
    pages = [README] + sorted(os.path.join(DOCS, name) for name in os.listdir(DOCS)
                              if name.endswith(".md"))
    return [(os.path.relpath(page, ROOT), commands(read(page))) for page in pages]


def makefile_targets():
    return set(re.findall(r"^([\w-]+):", read(os.path.join(ROOT, "Makefile")), re.M))


def test_readme_is_short_and_shows_its_picture():
    text = read(README)
    assert len(text.splitlines()) < 160
    pictures = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", text)
    assert pictures and all(os.path.isfile(os.path.join(ROOT, p)) for p in pictures), pictures
    for link in re.findall(r"\]\(((?:docs/)?[\w./-]+)\)", text):
        assert os.path.exists(os.path.join(ROOT, link)), link


MAKE_TARGETS = sorted(set(match.group(1) for _, found in documents() for command in found
                          for match in [re.match(r"make ([\w-]+)", command)] if match))


@pytest.mark.parametrize("target", MAKE_TARGETS)
def test_named_make_target_exists(target):
    pages = [page for page, found in documents() if "make " + target in found]
    assert target in makefile_targets(), "make %s, named in %s" % (target, ", ".join(pages))


def test_named_scripts_and_their_options_exist():
    for page, found in documents():
        for command in [c for c in found if re.search(r"scripts/\S+", c)]:
            words = shlex.split(command)
            script = [w for w in words if w.startswith("scripts/")][0]
            path = os.path.join(ROOT, script)
            assert os.path.isfile(path), (page, command)
            source = read(path)
            for option in [w.split("=")[0] for w in words[words.index(script) + 1:]
                           if w.startswith("--")]:
                assert option in source, (page, command, option)


@pytest.fixture(scope="module")
def demo_help():
    status, out, err = run(DEMO + ["--help"])
    assert status == 0, err
    return out


def demo_commands(pages=None):
    return [(page, shlex.split(c)) for page, found in documents() if page in (pages or [page])
            for c in found if c.startswith("pelmora-demo") or " pelmora-demo " in c]


def test_named_demo_options_exist(demo_help):
    named = demo_commands()
    assert len(named) >= 5
    for page, words in named:
        for option in [w for w in words if w.startswith("-") and w != "-a"]:  # xvfb-run's
            assert re.search(r"(^|[\s,\[])%s\b" % re.escape(option), demo_help), (page, option)


def test_readme_offscreen_demo_commands_write_their_pictures(tmpdir):
    ran = 0
    for _, words in demo_commands(["README.md"]):
        if "--window" in words:
            continue
        args = words[words.index("pelmora-demo") + 1:]
        status, out, err = run(DEMO + args, cwd=str(tmpdir))
        if "no offscreen OpenGL backend" in err and os.environ.get("PELMORA_REQUIRE_GL") != "1":
            pytest.skip("no offscreen OpenGL here: " + err.strip())
        assert status == 0, (words, err)
        ran += 1
        if "--help" in args:
            continue
        output = args[args.index("-o") + 1]
        size = args[args.index("--size") + 1] if "--size" in args else "640x480"
        from PIL import Image
        picture = Image.open(str(tmpdir.join(output)))
        assert picture.format == "PNG" and "%dx%d" % picture.size == size, words
        colours = picture.convert("RGB").getcolors(picture.size[0] * picture.size[1])
        assert len(colours) > 3, words  # not blank
    assert ran >= 3
