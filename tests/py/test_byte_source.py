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


class MyBytes(bytes):
    pass


class Outer:
    class Inner:
        pass


DATA = bytes(range(256)) * 1000


@pytest.mark.parametrize("results, seen, chunks, calls", [
    ((DATA[:65536], DATA[65536:], b"", b"never"), DATA, 2, 3),  # read is not called after the end
    ((b"", b"x"), b"", 0, 1),  # an empty first read is the end of input
    ((MyBytes(b"abc"), b"def"), b"abcdef", 2, 3),
    (tuple(bytes([b]) for b in DATA[:300]), DATA[:300], 300, 301),
])
def test_reads_64k_at_a_time_until_an_empty_read(results, seen, chunks, calls):
    src = Chunks(*results)
    assert drain(src) == (seen, chunks)
    assert src.calls == [((65536,), {})] * calls


def test_real_file_object():
    data = b"x" * 200000
    assert drain(io.BytesIO(data)) == (data, 4)


@pytest.mark.parametrize("result, message", [
    ("text", "'str' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
    (bytearray(b"ab"), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"ab"), "'memoryview' object is not an instance of 'bytes'"),
    (3, "'int' object is not an instance of 'bytes'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'bytes'"),  # the qualified name
])
def test_wrong_result_type(result, message):
    with pytest.raises(TypeError) as info:
        drain(Chunks(b"ok", result))
    assert str(info.value) == message


def test_read_errors_propagate_unchanged():
    err = OSError(5, "disk gone")
    with pytest.raises(OSError) as info:
        drain(Chunks(b"abc", err))
    assert info.value is err
    with pytest.raises(AttributeError):
        drain(object())
