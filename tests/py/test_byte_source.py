"""Pulling bytes from a Python file-like object into the reader's input window."""
import io

import pytest

from _tovrel_probe import drain


class Chunks:
    """A file-like object returning the given results of read(), recording each call."""

    def __init__(self, *results):
        self.results = list(results)
        self.calls = []

    def read(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if not self.results:
            return b""
        r = self.results.pop(0)
        if isinstance(r, BaseException):
            raise r
        return r


class OneByte:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.calls = 0

    def read(self, n):
        self.calls += 1
        chunk = self.data[self.pos:self.pos + 1]
        self.pos += 1
        return chunk


class MyBytes(bytes):
    pass


def test_reads_in_64k_chunks_and_stops_at_end():
    data = bytes(range(256)) * 1000
    src = Chunks(data[:65536], data[65536:], b"", b"never")
    seen, chunks = drain(src)
    assert seen == data
    assert chunks == 2
    assert [c for c in src.calls] == [((65536,), {})] * 3
    assert src.results == [b"never"], "read must not be called again after end of input"


def test_empty_first_read_is_end_of_input():
    src = Chunks(b"", b"x")
    assert drain(src) == (b"", 0)
    assert len(src.calls) == 1


def test_one_byte_per_read():
    data = b"<worksheet><sheetData/></worksheet>"
    src = OneByte(data)
    assert drain(src) == (data, len(data))
    assert src.calls == len(data) + 1


def test_real_file_object():
    data = b"x" * 200000
    assert drain(io.BytesIO(data)) == (data, 4)


def test_bytes_subclass_accepted():
    assert drain(Chunks(MyBytes(b"abc"), b"def")) == (b"abcdef", 2)


@pytest.mark.parametrize("result, message", [
    ("text", "'str' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
    (bytearray(b"ab"), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"ab"), "'memoryview' object is not an instance of 'bytes'"),
    (3, "'int' object is not an instance of 'bytes'"),
])
def test_wrong_result_type(result, message):
    with pytest.raises(TypeError) as info:
        drain(Chunks(b"ok", result))
    assert str(info.value) == message


def test_wrong_result_type_names_the_qualified_name():
    class Outer:
        class Inner:
            pass
    with pytest.raises(TypeError) as info:
        drain(Chunks(Outer.Inner()))
    assert str(info.value) == (
        "'test_wrong_result_type_names_the_qualified_name.<locals>.Outer.Inner' "
        "object is not an instance of 'bytes'")


def test_exception_from_read_propagates_unchanged():
    err = OSError(5, "disk gone")
    with pytest.raises(OSError) as info:
        drain(Chunks(b"abc", err))
    assert info.value is err


def test_missing_read_method():
    with pytest.raises(AttributeError):
        drain(object())
