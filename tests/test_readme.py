"""Every Python example of the README runs as written, in a fresh directory and interpreter."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.S | re.M)


def test_the_readme_has_examples():
    assert len(EXAMPLES) >= 2


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example{n + 1}" for n in range(len(EXAMPLES))])
def test_a_readme_example_runs_as_written(tmp_path, source):
    result = subprocess.run([sys.executable, "-X", "dev", "-W", "error::ResourceWarning", "-c", source],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
