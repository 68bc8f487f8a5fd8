"""Argument binding: every message template, both input forms, and argument_extraction_error."""

import pytest

m = pytest.importorskip("_binding_testing")


def type_error(call, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


# (args, kwargs, message) for simple(asn); the same messages from the fastcall and dict binders.
SIMPLE_CASES = [
    ((), {}, "simple() missing 1 required positional argument: 'asn'"),
    ((1, 2), {}, "simple() takes 1 positional arguments but 2 were given"),
    ((1, 2, 3), {}, "simple() takes 1 positional arguments but 3 were given"),
    ((1,), {"asn": 2}, "simple() got multiple values for argument 'asn'"),
    ((), {"x": 1}, "simple() got an unexpected keyword argument 'x'"),
    # Of several bad keywords only the first in call order is reported.
    ((), {"y": 1, "x": 2}, "simple() got an unexpected keyword argument 'y'"),
    ((), {"x": 1, "asn": 1, "y": 2}, "simple() got an unexpected keyword argument 'x'"),
    ((), {"ASN": 1}, "simple() got an unexpected keyword argument 'ASN'"),
]


@pytest.mark.parametrize("binder", [m.simple, m.simple_td], ids=["fastcall", "tuple_dict"])
@pytest.mark.parametrize(("args", "kwargs", "message"), SIMPLE_CASES)
def test_simple_messages(binder, args, kwargs, message):
    assert type_error(binder, *args, **kwargs) == message


@pytest.mark.parametrize("binder", [m.simple, m.simple_td], ids=["fastcall", "tuple_dict"])
def test_simple_binds_by_position_or_keyword(binder):
    marker = object()
    assert binder(marker)[0] is marker
    assert binder(asn=marker)[0] is marker


# general(a, b, /, c, d=None, *, e, f=None) as "general()" (fastcall) and "Holder.method()"
# (tuple and dict).
GENERAL_CASES = [
    ((), {}, "{F} missing 3 required positional arguments: 'a', 'b', and 'c'"),
    ((1,), {}, "{F} missing 2 required positional arguments: 'b' and 'c'"),
    ((1, 2), {"e": 5}, "{F} missing 1 required positional argument: 'c'"),
    ((1, 2, 3), {}, "{F} missing 1 required keyword argument: 'e'"),
    ((1, 2, 3, 4, 5), {}, "{F} takes from 3 to 4 positional arguments but 5 were given"),
    # Too many positional arguments is reported before any keyword is looked at.
    ((1, 2, 3, 4, 5, 6), {"zz": 1}, "{F} takes from 3 to 4 positional arguments but 6 were given"),
    ((1, 2, 3), {"e": 1, "c": 2}, "{F} got multiple values for argument 'c'"),
    ((1, 2, 3, 4), {"d": 1, "e": 1}, "{F} got multiple values for argument 'd'"),
    ((), {"a": 1, "b": 2, "c": 3, "e": 4},
     "{F} got some positional-only arguments passed as keyword arguments: 'a' and 'b'"),
    ((1,), {"b": 2, "c": 3, "e": 4},
     "{F} got some positional-only arguments passed as keyword arguments: 'b'"),
    # Misuse is reported after all keywords were looked at, so an unexpected keyword wins...
    ((1, 2, 3), {"a": 1, "zz": 2, "e": 3}, "{F} got an unexpected keyword argument 'zz'"),
    # ...and it is reported before missing arguments.
    ((), {"b": 1}, "{F} got some positional-only arguments passed as keyword arguments: 'b'"),
    ((1, 2), {"c": 3, "e": 4, "g": 5}, "{F} got an unexpected keyword argument 'g'"),
]


@pytest.mark.parametrize(
    ("binder", "full_name"),
    [(m.general, "general()"), (m.general_td, "Holder.method()")],
    ids=["fastcall", "tuple_dict"],
)
@pytest.mark.parametrize(("args", "kwargs", "message"), GENERAL_CASES)
def test_general_messages(binder, full_name, args, kwargs, message):
    assert type_error(binder, *args, **kwargs) == message.format(F=full_name)


@pytest.mark.parametrize("binder", [m.general, m.general_td], ids=["fastcall", "tuple_dict"])
def test_general_fills_slots_and_leaves_optional_ones_empty(binder):
    assert binder(1, 2, 3, e=5) == (1, 2, 3, None, 5, None)
    assert binder(1, 2, c=3, d=4, f=6, e=5) == (1, 2, 3, 4, 5, 6)
    assert binder(1, 2, 3, 4, e=5, f=6) == (1, 2, 3, 4, 5, 6)


def test_keyword_only_messages():
    assert type_error(m.kwonly) == "kwonly() missing 3 required keyword arguments: 'x', 'y', and 'z'"
    assert type_error(m.kwonly, x=1, w=2) == "kwonly() missing 2 required keyword arguments: 'y' and 'z'"
    assert type_error(m.kwonly, 1) == "kwonly() takes 0 positional arguments but 1 was given"
    assert m.kwonly(z=3, y=2, x=1) == (1, 2, 3, None)


def test_class_call_slot_messages():
    probe = m.CallProbe()
    assert type_error(probe) == (
        "CallProbe.__call__() missing 3 required positional arguments: "
        "'future', 'complete', and 'value'"
    )
    assert type_error(probe, 1, 2) == "CallProbe.__call__() missing 1 required positional argument: 'value'"
    assert type_error(probe, 1, 2, 3, 4) == (
        "CallProbe.__call__() takes 3 positional arguments but 4 were given"
    )
    assert probe(1, 2, value=3) == (1, 2, 3)


@pytest.mark.parametrize("binder", [m.simple, m.simple_td], ids=["fastcall", "tuple_dict"])
def test_unexpected_keyword_that_utf8_cannot_encode(binder):
    # A lone surrogate cannot be compared as UTF-8; the message still names the keyword.
    assert type_error(binder, **{"\udc80x": 1}) == "simple() got an unexpected keyword argument '\udc80x'"


class Index:
    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.result


def test_conversion_accepts_the_int32_range():
    assert m.convert_asn(2147483647) == 2147483647
    assert m.convert_asn(-2147483648) == -2147483648
    assert m.convert_asn(True) == 1
    assert m.convert_asn(-1) == -1
    assert m.convert_asn(asn=Index(65000)) == 65000


@pytest.mark.parametrize("value", [2147483648, -2147483649])
def test_conversion_out_of_int32_range(value):
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        m.convert_asn(value)


def test_conversion_beyond_c_long_keeps_interpreters_error():
    with pytest.raises(OverflowError) as info:
        m.convert_asn(2**63)
    assert str(info.value) != "out of range integral type conversion attempted"


def test_exact_type_error_gets_prefix():
    with pytest.raises(TypeError) as info:
        m.convert_asn("64496")
    assert str(info.value) == "argument 'asn': 'str' object cannot be interpreted as an integer"
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__


def test_exact_type_error_keeps_its_cause():
    cause = ValueError("root")
    error = TypeError("inner")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        m.convert_asn(Index(error=error))
    assert info.value is not error
    assert str(info.value) == "argument 'asn': inner"
    assert info.value.__cause__ is cause
    assert info.value.__suppress_context__


def test_type_error_subclass_and_other_errors_pass_through_unchanged():
    class Special(TypeError):
        pass

    for error in (Special("special"), ValueError("value"), KeyboardInterrupt()):
        with pytest.raises(BaseException) as info:
            m.convert_asn(Index(error=error))
        assert info.value is error
        assert str(info.value) == str(error)
