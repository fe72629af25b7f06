"""Every Python program of the README runs as written, in a fresh directory and interpreter.

The fragments of "Files by name" run inside one scenario in test_fs_tree."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
_TEXT = README.read_text(encoding="utf-8")
_FRAGMENTS = _TEXT[_TEXT.index("## Files by name"):_TEXT.index("## Using Iocp from asyncio")]
EXAMPLES = re.findall(r"^```python\n(.*?)^```$", _TEXT.replace(_FRAGMENTS, ""), re.S | re.M)


def test_the_readme_has_examples():
    assert len(EXAMPLES) >= 2


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example{n + 1}" for n in range(len(EXAMPLES))])
def test_a_readme_example_runs_as_written(tmp_path, source):
    result = subprocess.run([sys.executable, "-X", "dev", "-W", "error::ResourceWarning", "-c", source],
                            cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
