"""The programs in examples/: the copy demo and a user program on the kiln API."""

import os
import subprocess
import sys

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def run_example(name, *args):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args], capture_output=True, text=True,
                          timeout=120)


def test_demo_copies_and_verifies(tmp_path):
    result = run_example("copy_demo.py", "--size", "2", "--block", "64", "--depth", "4",
                         "--path", str(tmp_path / "src.bin"))
    assert result.returncode == 0, result.stderr
    first = result.stdout.splitlines()[0]
    assert first.startswith("kiln ") and "I/O engine: " in first  # says what carries the I/O first
    assert "both copies match" in result.stdout
    assert "MB/s" in result.stdout and "kiln / executor" in result.stdout


def test_file_stats_counts_and_reports_failures(tmp_path):
    text = tmp_path / "text.txt"
    text.write_text("one two\nthree\n" * 1000)
    result = run_example("file_stats.py", str(text), str(tmp_path / "missing"), str(tmp_path))
    assert result.returncode == 1
    lines, words, size = result.stdout.split()[:3]
    assert (int(lines), int(words), int(size)) == (2000, 3000, len(text.read_bytes()))
    assert f"{tmp_path / 'missing'}: No such file or directory" in result.stderr
    assert f"{tmp_path}: Is a directory" in result.stderr


def test_the_comparison_runs_every_program_it_can():
    result = run_example(os.path.join("compare", "compare.py"), "--size", "2", "--runs", "1")
    assert result.returncode == 0, result.stderr
    kiln_rows = [line for line in result.stdout.splitlines() if " kiln " in line]
    assert len(kiln_rows) == 3 and not any("failed" in row for row in kiln_rows), result.stdout
