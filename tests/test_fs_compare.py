"""The standard library and kiln give the same answers on one tree, on every engine (see fs_compare.py)."""

import ast
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

from support import EMULATED, IO_DEFERRED, IO_INLINE, IO_POOL, IO_SYSTEM

pytestmark = pytest.mark.skipif(not EMULATED, reason="the tree has POSIX links, modes and FIFOs")

TESTS = os.path.dirname(os.path.abspath(__file__))
NOBODY = 65534


@pytest.fixture
def shared_dir():
    """A directory an unprivileged child may write in; removed with what it made."""
    base = tempfile.mkdtemp(prefix="kiln-compare-")
    os.chmod(base, 0o777)
    yield base
    shutil.rmtree(base, ignore_errors=True)


# The loop's own port by default; the system engine also through a completion thread.
@pytest.mark.parametrize("mode, completions",
                         [(IO_INLINE, "loop"), (IO_DEFERRED, "loop"), (IO_SYSTEM, "loop"), (IO_POOL, "loop"),
                          (IO_SYSTEM, "thread")],
                         ids=["inline", "deferred", "system", "pool", "system-thread"])
def test_kiln_answers_as_the_standard_library(shared_dir, mode, completions):
    # As root nothing is unreadable: the comparison runs as an ordinary user.
    become = f"os.setgid({NOBODY}); os.setuid({NOBODY})" if os.geteuid() == 0 else ""
    source = textwrap.dedent(f"""
        import asyncio, grp, os, pwd, sys
        sys.path.insert(0, {TESTS!r})
        import fs_compare, support
        support.Emulation().set_io_mode({mode})
        # Everything is imported first: the interpreter's own files may be
        # out of the other user's reach.
        {become}
        print(repr(asyncio.run(fs_compare.compare({shared_dir!r}))))
    """)
    env = dict(os.environ, KILN_COMPLETIONS=completions)
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    mismatches, checked = ast.literal_eval(done.stdout.strip().splitlines()[-1])
    assert checked > 1500
    assert not mismatches, "\n".join(mismatches)
