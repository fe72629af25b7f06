"""The benchmark suite: it completes, every participant has a figure or a
stated reason, and the report and chart are written. No speed is asserted."""

import importlib.util
import json
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import drivers  # noqa: E402
import participants  # noqa: E402
import runner  # noqa: E402
import stats  # noqa: E402
import workloads  # noqa: E402

PARTICIPANTS = {"floor", "ceiling", "executor", "aiofiles", "anyio", "iocp", "kiln", "kiln-many"}
WORKLOADS = [w.name for w in workloads.sizes(True).workloads]


def run_suite(out, *extra):
    return subprocess.run([sys.executable, os.path.join(BENCH, "bench.py"), "--quick", "--out", str(out), *extra],
                          capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("extra, expected, rounds", [
    ((), WORKLOADS, 1),
    (("--only", "read-4k-d64", "--only", "responsive", "--rounds", "2", "--no-profile"),
     ["read-4k-d64", "responsive"], 2),
])
def test_suite_reports_every_participant(tmp_path, extra, expected, rounds):
    done = run_suite(tmp_path, *extra)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("engine: "), done.stdout[:200]
    with open(tmp_path / "results.json") as f:
        results = json.load(f)["results"]
    assert [r["workload"] for r in results] == expected
    for result in results:
        assert {row["name"] for row in result["rows"]} == PARTICIPANTS
        for row in result["rows"]:
            figures = [figure for figure in row["figures"] if figure]
            if not row["reason"]:
                assert len(figures) == rounds, (result["workload"], row)
                assert all(figure["seconds"] > 0 and figure["ops"] > 0 for figure in figures)
        # The module's own participant runs everywhere.
        assert any(row["name"] == "iocp" and not row["reason"] for row in result["rows"]), result["workload"]
        assert result["workload"] in done.stdout

    markdown = (tmp_path / "report.md").read_text()
    assert "## Machine" in markdown and "## Goals" in markdown
    assert ("## Where the time goes" in markdown) == ("--no-profile" not in extra)
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "report.png").read_bytes().startswith(b"\x89PNG")
    else:
        assert "matplotlib is not installed" in markdown and not (tmp_path / "report.png").exists()


@pytest.fixture
def scratch(tmp_path):
    workloads.make_data_file(str(tmp_path / "data.bin"), workloads.sizes(True).data_file)
    with open(tmp_path / "write.bin", "wb") as f:
        f.truncate(workloads.sizes(True).data_file)
    return str(tmp_path)


def test_a_failing_participant_gets_a_reason_and_the_others_run(scratch, monkeypatch):
    async def broken(self, offset, size):
        raise OSError(5, "injected")

    monkeypatch.setattr(participants.ExecutorFile, "read", broken)
    # Peers whose worker threads outlive the run stay out of this process.
    result = runner.run_workload("read-4k-d8", True, 2, 1, scratch, runner.Progress(open(os.devnull, "w")),
                                 names={"floor", "ceiling", "executor", "iocp"})
    rows = {row["key"]: row for row in result["rows"]}
    assert rows["executor"]["reason"].startswith("failed: OSError")
    assert rows["executor"]["figures"] == [None, None]
    assert all(figure for figure in rows["floor"]["figures"]) and len(rows["floor"]["figures"]) == 2
    summary = {s.key: s for s in stats.summarise(result)}
    assert not summary["executor"].measured and summary["floor"].to_floor == [1.0, 1.0]


def test_ratios_pair_each_round_with_its_own_floor_and_ceiling():
    def figure(rate):
        return {"seconds": 1.0, "ops": rate} if rate else None

    rows = [("floor", [100, 200, 400]), ("ceiling", [50, 100, 100]), ("iocp", [10, None, 40])]
    result = {"kind": "read", "block": 4096, "rows": [
        {"key": key, "name": key, "engine": None, "describe": "", "reason": "", "figures": [figure(r) for r in rates]}
        for key, rates in rows]}
    iocp = next(s for s in stats.summarise(result) if s.key == "iocp")
    assert iocp.to_floor == [0.1, 0.1]        # round 2 is left out, not shifted
    assert iocp.to_ceiling == [0.2, 0.4]
    assert iocp.rate == 25


def test_ceiling_stand_in_reads_back_what_was_written(tmp_path, monkeypatch):
    """The small-files workload verifies the ceiling's data like everyone's."""
    workload = next(w for w in workloads.sizes(True).workloads if w.kind == "files")
    context = drivers.Context(workload, "", "", str(tmp_path), [], workloads.small_file_payloads(workload, 3), 0)
    ceiling = participants.Participant("ceiling", "")
    assert drivers.run(ceiling, context)["ops"] == workload.ops

    # A stand-in that shifted a write would fail the verification.
    original = participants.ResolvedAtOnce.submit_write
    monkeypatch.setattr(participants.ResolvedAtOnce, "submit_write",
                        lambda self, handle, offset, data: original(self, handle, offset + 1, data))
    with pytest.raises(drivers.Mismatch):
        drivers.run(ceiling, context)
