"""Matching arguments to parameters and converting them, with exact messages."""

import sys

import pytest

import _kiln
import support

OUT_OF_RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def numpy_like(name="bool_", **namespace):
    """A stand-in for numpy's boolean type: only its type's module and name matter."""
    return type(name, (), {"__module__": "numpy", **namespace})


def true_bool(self):
    return True


NumpyTrue = numpy_like(__bool__=true_bool)


@pytest.fixture
def port(plat):
    port = plat.create_port()
    yield port
    plat.close_handle(port)


@pytest.fixture
def proactor(port):
    return _kiln.ProactorIo(port)


@pytest.fixture(scope="module")
def iocp():
    iocp = _kiln.Iocp(object(), object())
    yield iocp
    iocp.shutdown()


def drain(plat, port, proactor, count):
    for _ in range(count):
        packet = plat.dequeue(port)
        assert packet is not None
        proactor.discard(packet[2])


MATCHING = [
    # (target, method, args, kwargs, message)
    ("iocp", "submit_read", (1, 2), {}, "Iocp.submit_read() missing 1 required positional argument: 'len'"),
    ("iocp", "submit_read", (1,), {"len": 5},
     "Iocp.submit_read() missing 1 required positional argument: 'offset'"),
    ("iocp", "submit_read", (1,), {}, "Iocp.submit_read() missing 2 required positional arguments: 'offset' and 'len'"),
    ("iocp", "submit_read", (), {},
     "Iocp.submit_read() missing 3 required positional arguments: 'handle', 'offset', and 'len'"),
    ("iocp", "submit_open", ("a", True), {},
     "Iocp.submit_open() missing 3 required positional arguments: 'create', 'truncate', and 'exclusive'"),
    ("iocp", "submit_read", (1, 2, 3, 4), {"foo": 1},
     "Iocp.submit_read() takes 3 positional arguments but 4 were given"),
    ("iocp", "submit_read", (1, 2, 3), {"handle": 1},
     "Iocp.submit_read() got multiple values for argument 'handle'"),
    ("iocp", "submit_close", (), {"handle": 1, "fd": 2},
     "Iocp.submit_close() got an unexpected keyword argument 'fd'"),
    ("proactor", "close", (1, 2), {}, "ProactorIo.close() takes 1 positional arguments but 2 were given"),
    ("proactor", "take", (), {"transferred": 0, "addr": 0, "size": 1},
     "ProactorIo.take() got an unexpected keyword argument 'size'"),
    ("proactor", "discard", (), {"addr": 0, "address": 0},
     "ProactorIo.discard() got an unexpected keyword argument 'address'"),
    ("proactor", "take", (1,), {"addr": 1}, "ProactorIo.take() got multiple values for argument 'addr'"),
]


@pytest.mark.parametrize("target, method, args, kwargs, message", MATCHING)
def test_vector_matching_messages(request, target, method, args, kwargs, message):
    obj = request.getfixturevalue(target)
    with pytest.raises(TypeError) as caught:
        getattr(obj, method)(*args, **kwargs)
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


CONSTRUCTOR_MATCHING = [
    (_kiln.Iocp, (), {},
     "Iocp.__new__() missing 2 required positional arguments: 'loop_obj' and 'on_complete'"),
    (_kiln.Iocp, (1,), {}, "Iocp.__new__() missing 1 required positional argument: 'on_complete'"),
    (_kiln.Iocp, (1, 2, 3), {}, "Iocp.__new__() takes 2 positional arguments but 3 were given"),
    (_kiln.Iocp, (1, 2), {"loop_obj": 3}, "Iocp.__new__() got multiple values for argument 'loop_obj'"),
    (_kiln.ProactorIo, (), {"port": 1}, "ProactorIo.__new__() got an unexpected keyword argument 'port'"),
    (_kiln.ProactorIo, (1, 2), {}, "ProactorIo.__new__() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("cls, args, kwargs, message", CONSTRUCTOR_MATCHING)
def test_tuple_matching_messages(cls, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        cls(*args, **kwargs)
    assert str(caught.value) == message


def test_keyword_arguments_match_like_positional(proactor):
    assert proactor.take(transferred=0, addr=0) is None
    assert proactor.discard(addr=0) is None
    assert type(_kiln.ProactorIo(iocp=0)) is _kiln.ProactorIo


def test_unprintable_unknown_keyword_is_reported(proactor, monkeypatch):
    class Shy(str):
        def __str__(self):
            raise ValueError("no")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(TypeError) as caught:
        proactor.discard(**{Shy("addr2"): 1})
    assert str(caught.value) == "ProactorIo.discard() got an unexpected keyword argument '<unprintable Shy object>'"
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)
    assert isinstance(seen[0].object, Shy)


BITS = support.POINTER_BITS
HANDLE_TOO_BIG = 2 ** (BITS - 1)

CONVERSION_FAILURES = [
    # (method, args, exception, message or None for the host's own, parameter)
    ("open", (None, True, True, False, False), TypeError, "'None' is not an instance of 'str'", "path"),
    ("open", (b"f", True, True, False, False), TypeError, "'bytes' object is not an instance of 'str'", "path"),
    ("open", ("a\0b", True, True, False, False), ValueError, "embedded null character in path", "path"),
    ("open", ("\ud800", False, False, False, False), UnicodeEncodeError, None, "path"),
    ("open", ("f", 1, False, False, False), TypeError, "'int' object is not an instance of 'bool'", "write"),
    ("open", ("f", True, None, False, False), TypeError, "'None' is not an instance of 'bool'", "create"),
    ("open", ("f", True, True, numpy_like("int8")(), False), TypeError,
     "'int8' object is not an instance of 'bool'", "truncate"),
    ("open", ("f", True, True, False, numpy_like()()), TypeError,
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion", "exclusive"),
    ("open", ("f", True, True, False, numpy_like(__bool__=lambda self: 1)()), TypeError,
     "'int' object is not an instance of 'bool'", "exclusive"),
    ("open", ("f", True, True, False, type("bool_", (), {"__bool__": true_bool})()), TypeError,
     "'bool_' object is not an instance of 'bool'", "exclusive"),
    ("close", ("1",), TypeError, None, "handle"),
    ("close", (HANDLE_TOO_BIG,), OverflowError, OUT_OF_RANGE if BITS == 32 else None, "handle"),
    ("close", (-HANDLE_TOO_BIG - 1,), OverflowError, OUT_OF_RANGE if BITS == 32 else None, "handle"),
    ("submit_read", (-1, -1, 1), OverflowError, None, "offset"),
    ("submit_read", (-1, 2 ** 64, 1), OverflowError, None, "offset"),
    ("submit_read", (-1, 1.5, 1), TypeError, None, "offset"),
    ("submit_read", (-1, 0, 2 ** 32), OverflowError, OUT_OF_RANGE, "len"),
    ("submit_read", (-1, 0, -1), OverflowError, None, "len"),
    ("submit_write", (-1, 0, bytearray(b"x")), TypeError, "'bytearray' object is not an instance of 'bytes'", "data"),
    ("submit_write", (-1, 0, memoryview(b"x")), TypeError, "'memoryview' object is not an instance of 'bytes'", "data"),
    ("submit_write", (-1, 0, "x"), TypeError, "'str' object is not an instance of 'bytes'", "data"),
    ("take", (2 ** BITS, 0), OverflowError, OUT_OF_RANGE if BITS == 32 else None, "addr"),
    ("take", (0, -1), OverflowError, None, "transferred"),
    ("discard", (Index(-5),), OverflowError, None, "addr"),
]


@pytest.mark.parametrize("method, args, exc_type, message, parameter", CONVERSION_FAILURES)
def test_conversion_failures_are_noted(proactor, method, args, exc_type, message, parameter):
    with pytest.raises(exc_type) as caught:
        getattr(proactor, method)(*args)
    if message is not None:
        assert str(caught.value) == message
    assert type(caught.value) is exc_type
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_constructor_conversion_is_noted():
    with pytest.raises(TypeError) as caught:
        _kiln.ProactorIo("port")
    assert caught.value.__notes__ == ["while processing 'iocp'"]


def test_first_failing_parameter_is_the_one_named(proactor):
    with pytest.raises(TypeError) as caught:
        proactor.open(None, None, None, None, None)
    assert caught.value.__notes__ == ["while processing 'path'"]


def test_exception_raised_by_index_keeps_its_type(proactor):
    class Broken:
        def __index__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError) as caught:
        proactor.take(Broken(), 0)
    assert caught.value.__notes__ == ["while processing 'addr'"]


@pytest.mark.parametrize("handle", [-1, True, False, Index(7), 2 ** (BITS - 1) - 1, -2 ** (BITS - 1)])
def test_signed_pointer_values_accepted(proactor, handle):
    assert proactor.close(handle) is None


@pytest.mark.parametrize("addr", [0, Index(0), 2 ** BITS - 1, True])
def test_unsigned_pointer_values_accepted(proactor, addr):
    assert proactor.take(addr, Index(3)) is None


@pytest.mark.parametrize("offset", [0, 2 ** 63, 2 ** 64 - 1, Index(2 ** 40)])
def test_offset_values_accepted(plat, port, proactor, offset):
    assert isinstance(proactor.submit_read(-1, offset, 1), int)
    drain(plat, port, proactor, 1)


def test_bytes_subclass_and_foreign_bool_accepted(plat, port, proactor, tmp_path):
    class Payload(bytes):
        pass

    assert isinstance(proactor.submit_write(-1, 0, Payload(b"abc")), int)
    drain(plat, port, proactor, 1)
    handle = proactor.open(str(tmp_path / "f"), NumpyTrue(), True, numpy_like(__bool__=lambda s: False)(), False)
    try:
        assert handle > 0
    finally:
        proactor.close(handle)


def test_path_above_the_basic_plane_opens_its_own_file(proactor, tmp_path):
    path = tmp_path / "note-\U0001F600.txt"
    handle = proactor.open(str(path), True, True, False, False)
    proactor.close(handle)
    assert path.exists()
