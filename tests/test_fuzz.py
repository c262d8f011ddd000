"""A short run of the property-based fuzzer, fuzz/fuzz_pelmora.py, in a subprocess: a crash of
the interpreter then fails this test instead of ending the session. The seed is fixed so that a
failure repeats; scripts/fuzz.sh makes long runs with fresh seeds."""
import os
import subprocess
import sys

import pytest

import Pelmora

HERE = os.path.dirname(os.path.abspath(__file__))


def test_short_fuzz_run():
    pytest.importorskip("hypothesis")
    paths = [os.path.dirname(Pelmora.__file__), os.path.dirname(HERE),
             os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path for path in paths if path))
    command = [sys.executable, os.path.join(os.path.dirname(HERE), "fuzz", "fuzz_pelmora.py"),
               "--examples", "300", "--seconds", "40", "--seed", "1"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               env=env)
    out = process.communicate()[0].decode("utf-8", "replace")
    assert process.returncode == 0, "%s\n%s" % (" ".join(command), out)
    assert "no problem found" in out, out
