"""A short run of fuzz/fuzz_pelmora.py, random programs against Pelmora and its twin, in a
subprocess so that a crash fails this test rather than the session. The seed is fixed so that
a failure repeats; `make fuzz` makes long runs with fresh seeds."""
import os
import sys

from recording import ROOT, run


def test_short_fuzz_run():
    command = [sys.executable, os.path.join(ROOT, "fuzz", "fuzz_pelmora.py"),
               "--programs", "3000", "--seconds", "1", "--seed", "1"]
    status, out, err = run(command)
    assert status == 0 and "no difference" in out, "%s\n%s%s" % (" ".join(command), out, err)
