"""The sdist as users download it: built from this tree by setup.py without a warning on its
licence, it holds what building, testing and reading the project need, and no build outputs."""
import glob
import os
import platform
import re
import sys
import tarfile

from recording import ROOT, run


def test_sdist_holds_the_sources_and_no_build_outputs(tmpdir):
    status, out, err = run([sys.executable, "setup.py", "-q", "egg_info", "--egg-base",
                            str(tmpdir), "sdist", "--dist-dir", str(tmpdir)], cwd=ROOT)
    assert status == 0, out + err
    assert not re.search(r"licen[cs]e.*deprecat|deprecat.*licen[cs]e", out + err, re.I | re.S)
    with tarfile.open(glob.glob(str(tmpdir.join("*.tar.gz")))[0]) as archive:
        members = set(name.split("/", 1)[-1] for name in archive.getnames())
    wanted = ["LICENSE", "README.md", "setup.py", "pyproject.toml", "MANIFEST.in", "pytest.ini",
              "Makefile", "docs/pelmora-demo.png"]
    for pattern in ["tests/*.py", "src/*/*.cpp", "src/*/*.h", "Pelmora-stubs/*.pyi",
                    "pelmora_tools/*.py", "scripts/*"]:
        wanted += [os.path.relpath(path, ROOT) for path in glob.glob(os.path.join(ROOT, pattern))]
    assert sorted(set(wanted) - members) == []
    assert [m for m in members if re.search(r"\.(so|o|pyc)$|__pycache__|^\.venv", m)] == []


def test_other_interpreters_are_told_what_to_use_instead():
    status, out, err = run([sys.executable, "-c", "import platform, sys\n"
                            "platform.python_implementation = lambda: 'PyPy'\n"
                            "sys.argv = ['setup.py', 'build_ext']\n"
                            "exec(compile(open('setup.py').read(), 'setup.py', 'exec'))"],
                           cwd=ROOT)
    assert status == 1 and out == "" and err.strip().splitlines() == [
        "Pelmora is a C++ extension written against CPython's own C API, which PyPy (for Python"
        " %s) does not provide; install it under CPython 3.8 or later (or 2.7)."
        % platform.python_version()]
