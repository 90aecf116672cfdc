"""Argument binding of the module's functions and constructors: CPython's wording."""
import pytest

from _tovrel_probe import bind, bind_new


@pytest.mark.parametrize("fn", [bind, bind_new])
@pytest.mark.parametrize("args, kwargs, expected", [
    ((1, 2), {}, (1, 2, None, None)),
    ((1, 2, 3, 4), {}, (1, 2, 3, 4)),
    ((), {"parser": 2, "source": 1}, (1, 2, None, None)),
    ((1,), {"extra": 4, "parser": 2}, (1, 2, None, 4)),
])
def test_binds_by_position_and_keyword(fn, args, kwargs, expected):
    assert fn(*args, **kwargs) == expected


@pytest.mark.parametrize("fn", [bind, bind_new])
@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {"bogus": 3}, "{f}() got an unexpected keyword argument 'bogus'"),
    ((1, 2), {"source": 3}, "{f}() got multiple values for argument 'source'"),
    ((1, 2, 3), {"helpers": 3}, "{f}() got multiple values for argument 'helpers'"),
    ((), {}, "{f}() missing 2 required positional arguments: 'source' and 'parser'"),
    ((1,), {}, "{f}() missing 1 required positional argument: 'parser'"),
    ((), {"parser": 1}, "{f}() missing 1 required positional argument: 'source'"),
    ((1, 2, 3, 4, 5), {}, "{f}() takes from 2 to 4 positional arguments but 5 were given"),
])
def test_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message.format(f=fn.__name__)
