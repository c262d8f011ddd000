"""The test scripts' summary (scripts/summary.sh), which decides CI's verdict: every failure
counts, in this run's legs and in those a Debian root reports back, and the totals add up."""
import os
import subprocess

import pytest

from recording import ROOT

LEGS = "\n".join(["PASS\tbookworm/3.11\tpython3\t80 passed, 4 skipped in 9s",
                  "SKIP\ttrixie/3.13\tpython3\tnot installed",
                  "FAIL\ttesting/3.15\tpython3\tpytest exit 1: 1 failed, 2 errors, 79 passed",
                  ""])


def summarise(script, tmpdir):
    """stdout of bash sourcing summary.sh, then `script`, then print_summary; and `failed`."""
    tmpdir.join("legs.tsv").write(LEGS)
    source = ". scripts/summary.sh\n%s\nprint_summary legs\necho \"failed=$failed\"\n" % script
    # Without the summary file of a run this test is part of: its legs are made up.
    env = dict((k, v) for k, v in os.environ.items() if k != "SUMMARY_FILE")
    env["LEGS"] = str(tmpdir.join("legs.tsv"))
    process = subprocess.Popen(["bash", "-c", source], cwd=ROOT, stdout=subprocess.PIPE, env=env)
    return process.communicate()[0].decode().splitlines()


@pytest.mark.parametrize("script, total, failed", [
    ('add_totals "7 passed, 1 skipped in 2s"; record PASS main py "7 passed, 1 skipped in 2s"',
     "total: 7 passed, 0 failed, 1 skipped", 0),
    # a failure without pytest's counts (an install that failed) counts as one
    ('record FAIL py3.8 py "install failed, see the log"', "total: 0 passed, 1 failed, 0 skipped",
     1),
    ('replay "$LEGS"', "total: 159 passed, 3 failed, 4 skipped", 1),  # a root's failure fails
])
def test_every_failure_counts(tmpdir, script, total, failed):
    lines = summarise(script, tmpdir)
    assert lines[-2:] == [total, "failed=%d" % failed], lines
    assert not [line for line in lines if "trixie" in line]  # a skipped leg is not replayed
