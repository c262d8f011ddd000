"""The sdist as an index and a user receive it: built from this tree by setup.py, it holds what
building, testing and reading the project need and no build outputs; its metadata says what an
index shows."""
import email
import glob
import os
import re
import subprocess
import sys
import tarfile

from recording import ROOT


def test_sdist_contents_and_metadata(tmpdir):
    process = subprocess.Popen([sys.executable, "setup.py", "-q", "egg_info", "--egg-base",
                                str(tmpdir), "sdist", "--dist-dir", str(tmpdir)], cwd=ROOT,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    log = process.communicate()[0].decode("utf-8", "replace")
    assert process.returncode == 0, log
    assert not re.search(r"licen[cs]e.*deprecat|deprecat.*licen[cs]e", log, re.I | re.S), log
    with tarfile.open(glob.glob(str(tmpdir.join("*.tar.gz")))[0]) as archive:
        top, names = archive.getnames()[0].split("/")[0], archive.getnames()
        info = email.message_from_string(
            archive.extractfile(top + "/PKG-INFO").read().decode("utf-8"))
    members = set(name[len(top) + 1:] for name in names)
    wanted = ["LICENSE", "README.md", "setup.py", "pyproject.toml", "MANIFEST.in", "pytest.ini",
              "Makefile", "docs/pelmora-demo.png"]
    for pattern in ["tests/*.py", "src/*/*.cpp", "src/*/*.h", "Pelmora-stubs/*.pyi",
                    "pelmora_tools/*.py", "scripts/*"]:
        wanted += [os.path.relpath(path, ROOT) for path in glob.glob(os.path.join(ROOT, pattern))]
    assert sorted(set(wanted) - members) == []
    assert [m for m in members if re.search(r"\.(so|o|pyc)$|__pycache__|^\.venv", m)] == []
    classifiers = info.get_all("Classifier")
    assert info["Name"] == "Pelmora" and "\n" not in info["Summary"].strip()
    for version in ["2.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]:
        assert "Programming Language :: Python :: " + version in classifiers
    assert (info["License-Expression"] or info["License"]) == "MIT"
    with open(str(tmpdir.join("Pelmora.egg-info", "requires.txt"))) as handle:
        # older setuptools keep them out of PKG-INFO
        requires = handle.read().split("[")[0].split()
    assert set(re.split(r"[<>=;]", line)[0] for line in requires) == set(["PyOpenGL", "Pillow"])
