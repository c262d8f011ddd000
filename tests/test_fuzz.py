"""A short run of the property-based fuzzer, fuzz/fuzz_pelmora.py, in a subprocess: a crash of
the interpreter then fails this test instead of ending the session. The seed is fixed so that a
failure repeats; scripts/fuzz.sh makes long runs with fresh seeds."""
import os
import sys

import pytest

from recording import ROOT, run


def test_short_fuzz_run():
    pytest.importorskip("hypothesis")
    command = [sys.executable, os.path.join(ROOT, "fuzz", "fuzz_pelmora.py"),
               "--examples", "300", "--seconds", "40", "--seed", "1"]
    status, out, err = run(command)
    assert status == 0, "%s\n%s%s" % (" ".join(command), out, err)
    assert "no problem found" in out + err, out + err
