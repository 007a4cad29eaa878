"""The benchmarks' verdict lines: what `make bench` and the emulated runs
show of every target, and what they gather from several benchmarks."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "benchmarks"))

import harness  # noqa: E402

VERDICTS = [
    # (value, op, limit, line)
    (1.23456, ">=", 1.0, "target t: 1.23 (goal >= 1.0) ok"),
    (0.84, ">=", 1.0, "target t: 0.84 (goal >= 1.0) MISS"),
    (2.0, ">=", 2.0, "target t: 2.00 (goal >= 2.0) ok"),
    (1.08, "<=", 1.08, "target t: 1.08 (goal <= 1.08) ok"),
    (1.3001, "<=", 1.3, "target t: 1.30 (goal <= 1.3) MISS"),
    (1.12, "<=", 1.3, "target t: 1.12 (goal <= 1.3) ok"),
]


@pytest.mark.parametrize("value, op, limit, line", VERDICTS)
def test_verdict_line(value, op, limit, line):
    targets = harness.Targets()
    assert targets.add("t", value, op, limit) == line.endswith(" ok")
    assert targets.lines == [line]


def test_unknown_comparison_is_refused():
    with pytest.raises(KeyError):
        harness.Targets().add("t", 1.0, ">", 1.0)


def test_lines_come_after_the_figures_and_gather_in_one_file(tmp_path, monkeypatch, capsys):
    gathered = tmp_path / "targets.txt"
    monkeypatch.setenv("NALO_BENCH_TARGETS", str(gathered))
    for name, value in (("first", 1.5), ("second", 0.5)):
        targets = harness.Targets()
        targets.add(name, value, ">=", 1.0)
        print(f"figures of {name}")
        targets.report()
    out = capsys.readouterr().out.splitlines()
    assert out == [
        "figures of first",
        "",
        "target first: 1.50 (goal >= 1.0) ok",
        "figures of second",
        "",
        "target second: 0.50 (goal >= 1.0) MISS",
    ]
    assert gathered.read_text().splitlines() == [out[2], out[5]]
