"""The benchmark's guards, run small: it refuses to race programs that differ, leaves both
namespaces as it found them, says MISS for a missed target, and writes one JSON row a
routine. No figure it measures is asserted."""
import json
import os
import sys

import pytest

import Pelmora
from pelmora_tools import reference
from recording import ROOT, run

sys.path.insert(0, os.path.join(ROOT, "bench"))
import run as bench  # noqa: E402


def test_refuses_to_race_programs_that_differ(monkeypatch):
    bench.check_same_programs(Pelmora, reference)
    def square(size):  # Pelmora's calls and values, but z a float where it passes the int 0
        reference.glBegin(reference.GL_QUADS)
        for x, y in ((-1, -1), (1, -1), (1, 1), (-1, 1)):
            reference.glVertex3f(0.5 * x * size, 0.5 * y * size, 0.0)
        reference.glEnd()
    monkeypatch.setattr(reference, "drawSquare", square)
    with pytest.raises(SystemExit) as excinfo:
        bench.check_same_programs(Pelmora, reference)
    assert "differs between Pelmora and" in str(excinfo.value)


def test_overhead_leaves_both_namespaces_as_found(monkeypatch):
    monkeypatch.delattr(Pelmora, "glVertex4d")  # unbound before: unbound after
    before = [dict(module.__dict__) for module in (Pelmora, reference)]
    settings = bench.Settings(quick=True, clock="cpu", runs=1)
    settings.repeats, settings.batch_seconds = 1, 0.001
    rows = bench.measure_overhead(Pelmora, reference, settings)
    assert [row["routine"] for row in rows] == [name for name, _ in bench.CASES]
    for module, saved in zip((Pelmora, reference), before):
        assert sorted(module.__dict__) == sorted(saved)
        assert all(module.__dict__[name] is value for name, value in saved.items())


def test_missed_target_reads_miss_and_the_json_has_a_row_a_routine(tmpdir):
    row = dict(routine="drawSquare", module_ns=9.0, reference_ns=10.0, ratio=0.9, target=0.85)
    rows = bench.table_rows({"overhead": [dict(row, ok=False), dict(row, ratio=0.8, ok=True)]})
    assert [r[-1] for r in rows] == ["MISS", "ok"]
    path = str(tmpdir.join("bench.json"))
    status, out, err = run([sys.executable, os.path.join(ROOT, "bench", "run.py"), "--quick",
                            "--only", "overhead", "--runs", "1", "--no-cython", "--json", path])
    assert status == 0, err
    with open(path) as handle:
        figures = json.load(handle)
    assert [r["routine"] for r in figures["overhead"]] == [name for name, _ in bench.CASES]
    assert all(r["module_ns"] > 0 and r["reference_ns"] > 0 for r in figures["overhead"])
