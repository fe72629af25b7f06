"""The module's face: attributes, classes, signatures and doc strings."""

import importlib
import sys

import pytest

import _kiln

MODULE_DOC = "Native async backend for mallow (io_uring on Linux, IOCP on Windows)."

SIGNATURES = [
    (_kiln.Iocp, "submit_open",
     "($self, path, write, create, truncate, exclusive, *, append=False, read=True, mode=-1)",
     "Open a file on a worker; the completion's result is the new handle.\n"
     "append: every write lands at the end of the file, whatever its offset.\n"
     "read: ask for read access (False for a file that may only be written).\n"
     "mode: a new file's permission bits on POSIX, less the umask (-1: 0o666)."),
    (_kiln.Iocp, "submit_read", "($self, handle, offset, len)", None),
    (_kiln.Iocp, "submit_write", "($self, handle, offset, data)", None),
    (_kiln.Iocp, "submit_close", "($self, handle)", None),
    (_kiln.Iocp, "shutdown", "($self)", None),
    (_kiln.ProactorIo, "open", "($self, path, write, create, truncate, exclusive)",
     "Open a file with overlapped I/O and associate it with the loop's IOCP.\n"
     "Synchronous (CreateFileW is not an overlapped operation)."),
    (_kiln.ProactorIo, "close", "($self, handle)", None),
    (_kiln.ProactorIo, "submit_read", "($self, handle, offset, len)", None),
    (_kiln.ProactorIo, "submit_write", "($self, handle, offset, data)", None),
    (_kiln.ProactorIo, "take", "($self, addr, transferred)",
     "Reap a completed op: return its bytes (read) or transferred count\n"
     "(write), or raise OSError. Frees the op. Runs on the loop thread."),
    (_kiln.ProactorIo, "discard", "($self, addr)",
     "Free an op whose future was cancelled and whose completion the loop\n"
     "reaped but did not hand to `take` (the future was already done). Safe\n"
     "because the shim that calls this is only dropped after `_poll` has\n"
     "popped the completion, so the kernel is finished with the buffer."),
]


def test_module_attributes():
    assert _kiln.__all__ == ["Iocp", "ProactorIo", "LoopPort", "__doc__"]
    assert _kiln.__doc__ == MODULE_DOC
    assert {name for name in vars(_kiln) if not name.startswith("__")} == {"Iocp", "ProactorIo", "LoopPort"}


@pytest.mark.parametrize("cls, name, signature", [
    (_kiln.Iocp, "Iocp", "(loop_obj, on_complete)"),
    (_kiln.ProactorIo, "ProactorIo", "(iocp)"),
    (_kiln.LoopPort, "LoopPort", "(*, cached_reads=True)"),
])
def test_class_surface(cls, name, signature):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name and cls.__name__ == name
    assert cls.__text_signature__ == signature
    assert not cls.__doc__
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls, method, signature, doc", SIGNATURES,
                         ids=[f"{c.__name__}.{m}" for c, m, _, _ in SIGNATURES])
def test_method_signature_and_doc(cls, method, signature, doc):
    function = getattr(cls, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


def test_method_tables_are_exactly_the_documented_ones():
    own = {name for name in vars(_kiln.Iocp) if not name.startswith("__")}
    assert own == {"submit_open", "submit_read", "submit_write", "submit_close", "submit_size", "submit_truncate",
                   "submit_sync", "cancel", "file_type", "engine", "shutdown",
                   "submit_stat", "submit_stat_handle", "submit_rename", "submit_unlink", "submit_mkdir",
                   "submit_rmdir", "submit_symlink", "submit_link", "submit_readlink", "submit_listdir",
                   "submit_copyfile", "submit_chmod", "submit_utime", "submit_access", "submit_realpath",
                   "submit_stat_many", "submit_unlink_many", "submit_rmdir_many", "submit_listdir_many"}
    own = {name for name in vars(_kiln.ProactorIo) if not name.startswith("__")}
    assert own == {"open", "close", "submit_read", "submit_write", "take", "discard"}


def test_instances_have_no_dict_or_weakrefs():
    proactor = _kiln.ProactorIo(0)
    with pytest.raises(AttributeError):
        proactor.anything = 1
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(proactor)


def test_descriptor_refuses_a_foreign_self_before_the_frame():
    with pytest.raises(TypeError, match="descriptor 'submit_read'"):
        _kiln.Iocp.submit_read(42, 0, 0, 1)


def test_reimport_gives_the_same_type_objects():
    iocp, proactor, loop_port = _kiln.Iocp, _kiln.ProactorIo, _kiln.LoopPort
    saved = sys.modules.pop("_kiln")
    try:
        fresh = importlib.import_module("_kiln")
        assert fresh is not saved
        assert fresh.Iocp is iocp and fresh.ProactorIo is proactor and fresh.LoopPort is loop_port
        assert fresh.__all__ == ["Iocp", "ProactorIo", "LoopPort", "__doc__"]
    finally:
        sys.modules["_kiln"] = saved


def test_type_reference_count_is_stable():
    _kiln.ProactorIo(0)
    before = sys.getrefcount(_kiln.ProactorIo)
    for _ in range(1000):
        _kiln.ProactorIo(0)
    after = sys.getrefcount(_kiln.ProactorIo)
    assert after == before


SUBINTERPRETER_CODE = """
import sys
sys.path[:0] = {path!r}
try:
    import _kiln
except ImportError as exc:
    outcome = "ImportError: " + str(exc)
else:
    outcome = "imported"
with open({out!r}, "w") as f:
    f.write(outcome)
"""


def _run_in_isolated_interpreter(code):
    try:
        import _interpreters as interpreters  # 3.13 and later
        interp = interpreters.create()
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters  # 3.12
        except ImportError:
            pytest.skip("this interpreter offers no sub-interpreters")
        interp = interpreters.create(isolated=True)
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def test_import_in_an_isolated_subinterpreter_fails(tmp_path):
    out = tmp_path / "outcome"
    import os
    _run_in_isolated_interpreter(SUBINTERPRETER_CODE.format(
        path=[os.path.dirname(_kiln.__file__)], out=str(out)))
    assert out.read_text().startswith("ImportError: ")
