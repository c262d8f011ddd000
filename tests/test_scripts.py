"""The test scripts' summary (scripts/summary.sh), which decides CI's verdict: every failure
counts, in this run's legs and in those a Debian root reports back, and the totals add up."""
from recording import ROOT, run

LEGS = ("PASS\tbookworm/3.11\tpython3\t80 passed, 4 skipped in 9s\n"
        "SKIP\ttrixie/3.13\tpython3\tnot installed\n"
        "FAIL\ttesting/3.15\tpython3\tpytest exit 1: 1 failed, 2 errors, 79 passed\n"
        "FAIL\tsid/3.14\tpython3\tinstall failed, see the log\n")  # without counts: one


def test_every_failure_counts(tmpdir):
    tmpdir.join("legs.tsv").write(LEGS)
    # Without the summary file of a run this test is part of: these legs are made up.
    status, out, err = run(["bash", "-c", ". scripts/summary.sh; replay %s; print_summary legs; "
                            "echo failed=$failed" % tmpdir.join("legs.tsv")], cwd=ROOT,
                           unset=["SUMMARY_FILE"])
    assert out.splitlines()[-2:] == ["total: 159 passed, 4 failed, 4 skipped", "failed=1"], err
    assert "trixie" not in out  # a skipped leg is not replayed
