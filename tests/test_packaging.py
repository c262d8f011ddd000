"""The sdist as an index and a user receive it: built from this tree by setup.py, it holds
what building, testing and reading the project need (the tests with their helpers and
configuration, the licence, the README's picture) and no build outputs, and its metadata
says what an index shows."""
import email
import glob
import os
import re
import subprocess
import sys
import tarfile

import pytest

from recording import ROOT


@pytest.fixture(scope="module")
def sdist(tmpdir_factory):
    """(member names relative to the top folder, PKG-INFO message) of a fresh sdist."""
    out = tmpdir_factory.mktemp("sdist")
    process = subprocess.Popen(
        [sys.executable, "setup.py", "-q", "egg_info", "--egg-base", str(out),
         "sdist", "--dist-dir", str(out)], cwd=ROOT, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT)
    log = process.communicate()[0].decode("utf-8", "replace")
    assert process.returncode == 0, log
    assert not re.search(r"licen[cs]e.*deprecat|deprecat.*licen[cs]e", log, re.I | re.S), log
    archives = glob.glob(str(out.join("*.tar.gz")))
    assert len(archives) == 1, archives
    with tarfile.open(archives[0]) as archive:
        names = archive.getnames()
        top = names[0].split("/")[0]
        info = email.message_from_string(
            archive.extractfile(top + "/PKG-INFO").read().decode("utf-8"))
    # Older setuptools keep the requirements out of PKG-INFO, in the egg-info.
    with open(str(out.join("Pelmora.egg-info", "requires.txt"))) as handle:
        info["X-Requires"] = handle.read().split("[")[0]
    return set(name[len(top) + 1:] for name in names if "/" in name), info


def tree_files(*patterns):
    found = []
    for pattern in patterns:
        found += [os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, pattern))]
    assert found, patterns
    return found


def test_sdist_holds_sources_tests_and_their_helpers(sdist):
    members, _ = sdist
    wanted = (["LICENSE", "README.md", "setup.py", "pyproject.toml", "MANIFEST.in",
               "pytest.ini", "Makefile", "scripts/stub-names.py"] +
              tree_files("tests/*.py", "src/*/*.cpp", "src/*/*.h", "Pelmora-stubs/*.pyi",
                         "pelmora_tools/*.py", "fuzz/*.py", "scripts/*.sh") +
              # the README's pictures
              re.findall(r"!\[[^\]]*\]\(([^)]+)\)", open(os.path.join(ROOT, "README.md")).read()))
    assert sorted(set(wanted) - members) == []
    assert [m for m in members if re.search(r"\.(so|o|pyc)$|__pycache__|^\.venv", m)] == []


def test_sdist_metadata_says_what_an_index_shows(sdist):
    _, info = sdist
    assert info["Name"] == "Pelmora" and "\n" not in info["Summary"].strip()
    classifiers = info.get_all("Classifier")
    for wanted in ["Programming Language :: Python :: 2.7",
                   "Programming Language :: Python :: 3.8",
                   "Programming Language :: Python :: 3", "Operating System :: POSIX :: Linux"]:
        assert wanted in classifiers
    licence = (info["License-Expression"] or info["License"],
               [c for c in classifiers if c.startswith("License ::")])
    assert licence in [("MIT", []), ("MIT", ["License :: OSI Approved :: MIT License"])]
    with open(os.path.join(ROOT, "LICENSE")) as handle:
        assert handle.readline().strip() == "MIT License"
    # The installed pelmora-demo command needs both to run.
    requires = set(re.split(r"[<>=;\s]", line)[0] for line in info["X-Requires"].split())
    assert requires == set(["PyOpenGL", "Pillow"])
