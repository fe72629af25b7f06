"""The call frame: owner thread, internal failures, unraisable reports."""

import re
import sys

import pytest

import _kiln
from support import on_other_thread

UNSENDABLE = "assertion `left == right` failed: _kiln::iocp::ProactorIo is unsendable, but sent to another thread"


def internal_failure_from(proactor):
    outcome = on_other_thread(lambda: proactor.take(0, 0))
    return outcome["error"]


@pytest.fixture
def proactor():
    return _kiln.ProactorIo(0)


def test_foreign_thread_gets_internal_failure(proactor):
    error = internal_failure_from(proactor)
    assert type(error).__name__ == "InternalFailure"
    assert type(error).__module__ == "_kiln_runtime"
    assert type(error).__bases__ == (BaseException,)
    assert "BaseException" in type(error).__doc__
    assert not isinstance(error, Exception)
    first, left, right = str(error).split("\n")
    assert first == UNSENDABLE
    assert re.fullmatch(r"  left: ThreadId\(\d+\)", left)
    assert re.fullmatch(r" right: ThreadId\(\d+\)", right)
    assert left.split(": ")[1] != right.split(": ")[1]
    assert not hasattr(_kiln, "InternalFailure")


def test_object_still_works_on_its_owner_after_a_foreign_call(proactor):
    internal_failure_from(proactor)
    assert proactor.take(0, 0) is None
    assert proactor.discard(0) is None


def test_except_exception_does_not_catch_internal_failure(proactor):
    def call():
        try:
            proactor.discard(0)
        except Exception:  # noqa: BLE001 - the point of the test
            return "caught by except Exception"
        return "returned"

    outcome = on_other_thread(call)
    assert "value" not in outcome
    assert type(outcome["error"]).__name__ == "InternalFailure"


def test_owner_check_runs_after_matching_but_before_conversion(proactor):
    assert isinstance(on_other_thread(lambda: proactor.take())["error"], TypeError)
    assert type(on_other_thread(lambda: proactor.take("bad", 0))["error"]).__name__ == "InternalFailure"


def test_internal_failure_type_is_one_per_process(proactor):
    first = internal_failure_from(proactor)
    second = internal_failure_from(_kiln.ProactorIo(0))
    assert type(first) is type(second)


def test_drop_on_another_thread_is_reported_and_leaves_the_fields(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    holder = [_kiln.ProactorIo(0)]
    on_other_thread(holder.clear)
    assert len(seen) == 1
    report = seen[0]
    assert type(report.exc_value) is RuntimeError
    assert str(report.exc_value) == "_kiln::iocp::ProactorIo is unsendable, but is being dropped on another thread"
    assert report.object is None


def test_internal_failure_coming_back_through_python_is_resumed(proactor, capfd):
    earlier = internal_failure_from(proactor)

    class Relay:
        def __index__(self):
            raise earlier

    with pytest.raises(BaseException) as caught:
        proactor.take(Relay(), 0)
    resumed = caught.value
    assert type(resumed) is type(earlier)
    assert resumed is not earlier
    assert str(resumed) == str(earlier)
    err = capfd.readouterr().err
    assert "resumed" in err and UNSENDABLE in err
