"""Record conversion between Python mappings and the native records, exercised through
interval_to_dict and match_to_dict, which accept the byte form of a record."""

from collections.abc import Mapping

import pytest

from c_quorvel import tandril

INTERVAL_KEYS = ["start", "end", "text", "original", "nl"]
MATCH_KEYS = ["start", "end", "original", "reference"]


def byte_interval(start=1, end=2, text=b"text", original=b"orig", nl=3):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def text_interval(start=1, end=2, text="text", original="orig", nl=3):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def byte_match(start=0, end=9, original=(), reference=()):
    return {"start": start, "end": end, "original": original, "reference": reference}


def missing_message(key):
    return f"No value specified for struct attribute '{key}'"


def own_error(action):
    """The exception that the interpreter itself raises for `action`."""
    try:
        action()
    except Exception as error:  # noqa: BLE001 - the exact type and text are what is compared
        return type(error), str(error)
    raise AssertionError("expected a failure")


@pytest.fixture
def restore_module_attributes():
    """Puts interval_to_dict and match_to_dict back however a test changed them."""
    saved = {name: vars(tandril)[name] for name in ("interval_to_dict", "match_to_dict")}
    yield
    for name, value in saved.items():
        setattr(tandril, name, value)


class LoggingMapping(Mapping):
    """A mapping that is not a dict and notes every key looked up."""

    def __init__(self, data, log=None):
        self.data = dict(data)
        self.log = [] if log is None else log

    def __getitem__(self, key):
        self.log.append(key)
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class OnlyGetitem:
    """Subscriptable, but neither a dict nor a registered Mapping."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]


class HashableMapping(LoggingMapping):
    def __hash__(self):
        return id(self)


# ---------------------------------------------------------------------------------------------
# What converts


@pytest.mark.parametrize(
    ("mapping", "expected"),
    [
        pytest.param(byte_interval(), text_interval(), id="byte-form dict"),
        pytest.param({**byte_interval(), "extra": object(), 7: None}, text_interval(), id="extra keys ignored"),
        pytest.param({"nl": 3, "original": b"orig", "text": b"text", "end": 2, "start": 1}, text_interval(),
                     id="keys in another order"),
        pytest.param(byte_interval(text=bytearray(b"ba")), text_interval(text="ba"), id="bytearray text"),
        pytest.param(byte_interval(original=bytearray()), text_interval(original=""), id="empty bytearray"),
        pytest.param(byte_interval(text=type("B", (bytes,), {})(b"sub")), text_interval(text="sub"),
                     id="bytes subclass"),
        pytest.param(byte_interval(original=type("BA", (bytearray,), {})(b"sub")), text_interval(original="sub"),
                     id="bytearray subclass"),
        pytest.param(byte_interval(text=b"a\x00b\x00", original=b"\x00"), text_interval(text="a\x00b\x00",
                                                                                       original="\x00"),
                     id="zero bytes"),
        pytest.param(byte_interval(text=b"", original=b""), text_interval(text="", original=""), id="empty texts"),
        pytest.param(byte_interval(start=-5, end=2**31 - 1, nl=-(2**31)),
                     text_interval(start=-5, end=2**31 - 1, nl=-(2**31)), id="32-bit extremes"),
        pytest.param(LoggingMapping(byte_interval()), text_interval(), id="custom Mapping"),
        pytest.param(OnlyGetitem(byte_interval()), text_interval(), id="object with only __getitem__"),
    ],
)
def test_interval_mappings_convert(mapping, expected):
    result = tandril.interval_to_dict(mapping)
    assert result == expected
    assert list(result) == INTERVAL_KEYS


def test_dict_subclass_missing_hook_supplies_absent_keys():
    class Defaults(dict):
        def __missing__(self, key):
            return b"filled" if key in ("text", "original") else 42

    assert tandril.interval_to_dict(Defaults(start=5)) == text_interval(5, 42, "filled", "filled", 42)


def test_dict_subclass_getitem_override_takes_part():
    class Shifted(dict):
        def __getitem__(self, key):
            value = super().__getitem__(key)
            return value + 100 if isinstance(value, int) else value

    assert tandril.interval_to_dict(Shifted(byte_interval(1, 2, nl=3))) == text_interval(101, 102, nl=103)


def test_keys_are_looked_up_in_field_order():
    interval = LoggingMapping(byte_interval())
    tandril.interval_to_dict(interval)
    assert interval.log == INTERVAL_KEYS

    log = []
    match = LoggingMapping(byte_match(original=[LoggingMapping(byte_interval(), log)]), log)
    tandril.match_to_dict(match)
    assert log == ["start", "end", "original", *INTERVAL_KEYS, "reference"]


@pytest.mark.parametrize(
    ("bad_key", "bad_value", "looked_up"),
    [
        ("start", "x", ["start"]),
        ("end", None, ["start", "end"]),
        ("text", "str", ["start", "end", "text"]),
        ("original", 5, ["start", "end", "text", "original"]),
    ],
)
def test_first_failing_field_ends_the_conversion(bad_key, bad_value, looked_up):
    interval = LoggingMapping({**byte_interval(), bad_key: bad_value})
    with pytest.raises(TypeError):
        tandril.interval_to_dict(interval)
    assert interval.log == looked_up


# ---------------------------------------------------------------------------------------------
# Missing keys


def _without(record, *keys):
    return {key: value for key, value in record.items() if key not in keys}


@pytest.mark.parametrize(
    ("convert", "record", "key"),
    [
        (tandril.interval_to_dict, _without(byte_interval(), "start"), "start"),
        (tandril.interval_to_dict, _without(byte_interval(), "end"), "end"),
        (tandril.interval_to_dict, _without(byte_interval(), "text"), "text"),
        (tandril.interval_to_dict, _without(byte_interval(), "original"), "original"),
        (tandril.interval_to_dict, _without(byte_interval(), "nl"), "nl"),
        (tandril.match_to_dict, _without(byte_match(), "start"), "start"),
        (tandril.match_to_dict, _without(byte_match(), "end"), "end"),
        (tandril.match_to_dict, _without(byte_match(), "original"), "original"),
        (tandril.match_to_dict, _without(byte_match(), "reference"), "reference"),
        (tandril.match_to_dict, byte_match(original=[_without(byte_interval(), "nl")]), "nl"),
        (tandril.match_to_dict, byte_match(reference=(_without(byte_interval(), "text"),)), "text"),
    ],
)
@pytest.mark.parametrize("wrap", [dict, LoggingMapping, OnlyGetitem], ids=["dict", "Mapping", "__getitem__ only"])
def test_missing_key_raises_value_error_with_key_error_context(convert, record, key, wrap):
    with pytest.raises(ValueError) as info:
        convert(wrap(record))
    error = info.value
    assert type(error) is ValueError
    assert str(error) == missing_message(key)
    assert type(error.__context__) is KeyError
    assert error.__context__.args == (key,)
    assert error.__cause__ is None


@pytest.mark.parametrize(
    ("record", "reported"),
    [
        ({}, "start"),
        ({"end": 1, "text": b"", "original": b""}, "start"),
        (_without(byte_interval(), "start", "nl"), "start"),
        (_without(byte_interval(), "end", "text", "nl"), "end"),
        (_without(byte_interval(), "text", "original"), "text"),
        (_without(byte_interval(), "original", "nl"), "original"),
    ],
)
def test_first_missing_key_in_field_order_is_reported(record, reported):
    with pytest.raises(ValueError) as info:
        tandril.interval_to_dict(record)
    assert str(info.value) == missing_message(reported)


@pytest.mark.parametrize(
    ("record", "reported"),
    [
        ({}, "start"),
        ({"reference": [], "original": []}, "start"),
        ({"start": 0, "original": []}, "end"),
        ({"start": 0, "end": 0}, "original"),
    ],
)
def test_first_missing_match_key_in_field_order_is_reported(record, reported):
    with pytest.raises(ValueError) as info:
        tandril.match_to_dict(record)
    assert str(info.value) == missing_message(reported)


def test_key_error_subclass_from_a_mapping_counts_as_missing():
    class Absent(KeyError):
        pass

    raised_error = Absent("nl")

    class Raising(LoggingMapping):
        def __getitem__(self, key):
            if key == "nl":
                raise raised_error
            return super().__getitem__(key)

    with pytest.raises(ValueError) as info:
        tandril.interval_to_dict(Raising(byte_interval()))
    assert str(info.value) == missing_message("nl")
    assert info.value.__context__ is raised_error


@pytest.mark.parametrize("failure", [IndexError("no such key"), RuntimeError("broken"), LookupError("lookup")],
                         ids=type)
@pytest.mark.parametrize("at", ["start", "text", "nl"])
def test_other_lookup_errors_pass_unchanged(failure, at):
    class Raising(Mapping):
        def __getitem__(self, key):
            if key == at:
                raise failure
            return byte_interval()[key]

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

    with pytest.raises(type(failure)) as info:
        tandril.interval_to_dict(Raising())
    assert info.value is failure


def test_missing_key_error_context_from_direct_dict_lookup_carries_the_key():
    with pytest.raises(ValueError) as info:
        tandril.match_to_dict({"start": 0, "end": 0, "original": []})
    assert isinstance(info.value.__context__, KeyError)
    assert info.value.__context__.args == ("reference",)


# ---------------------------------------------------------------------------------------------
# Values and objects that do not convert


class NamedThing:
    pass


@pytest.mark.parametrize(
    ("convert", "value", "type_name"),
    [
        (tandril.interval_to_dict, None, "NoneType"),
        (tandril.interval_to_dict, 5, "int"),
        (tandril.interval_to_dict, object(), "object"),
        (tandril.interval_to_dict, {1, 2}, "set"),
        (tandril.interval_to_dict, NamedThing(), "NamedThing"),
        (tandril.interval_to_dict, iter([]), "list_iterator"),
        (tandril.interval_to_dict, dict, "type"),  # subscriptable class, yet no mapping
        (tandril.match_to_dict, None, "NoneType"),
        (tandril.match_to_dict, 2.5, "float"),
        (lambda v: tandril.match_to_dict(byte_match(original=[v])), None, "NoneType"),
        (lambda v: tandril.match_to_dict(byte_match(reference=[byte_interval(), v])), 0, "int"),
    ],
)
def test_non_mapping_is_refused_naming_its_type(convert, value, type_name):
    with pytest.raises(TypeError) as info:
        convert(value)
    assert str(info.value) == f"Expected a mapping, got {type_name}"


@pytest.mark.parametrize(
    "value",
    [[], [1, 2, 3], (), ("a",), "abc", b"bytes", bytearray(b"ba")],
    ids=repr,
)
@pytest.mark.parametrize(
    "convert", [tandril.interval_to_dict, tandril.match_to_dict], ids=["interval", "match"]
)
def test_sequences_pass_the_mapping_test_and_fail_with_their_own_subscription_error(convert, value):
    expected = own_error(lambda: value["start"])
    error_type, message = own_error(lambda: convert(value))
    assert (error_type, message) == expected
    assert message != f"Expected a mapping, got {type(value).__name__}"


@pytest.mark.parametrize("key", ["text", "original"])
@pytest.mark.parametrize(
    ("value", "type_name"),
    [("str", "str"), ("", "str"), (memoryview(b"mv"), "memoryview"), (5, "int"), (None, "NoneType"),
     ([104], "list")],
    ids=["str", "empty str", "memoryview", "int", "None", "list"],
)
def test_text_fields_accept_only_bytes_or_bytearray(key, value, type_name):
    with pytest.raises(TypeError) as info:
        tandril.interval_to_dict({**byte_interval(), key: value})
    assert type_name in str(info.value)


@pytest.mark.parametrize("key", ["start", "end", "nl"])
def test_exception_from_int_passes_unchanged(key):
    failure = ArithmeticError("from __int__")

    class Failing:
        def __int__(self):
            raise failure

    with pytest.raises(ArithmeticError) as info:
        tandril.interval_to_dict({**byte_interval(), key: Failing()})
    assert info.value is failure


# ---------------------------------------------------------------------------------------------
# Interval lists of a match


class Iterable:
    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class StopSubclass(StopIteration):
    pass


class StoppingIterator:
    """Yields its items, then ends with a StopIteration subclass."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopSubclass("done")
        return self.items.pop(0)


def _generator(items):
    yield from items


FIRST = byte_interval(1, 2, b"first", b"a", 0)
SECOND = byte_interval(3, 4, b"second", b"b", 1)
FIRST_TEXT = text_interval(1, 2, "first", "a", 0)
SECOND_TEXT = text_interval(3, 4, "second", "b", 1)


@pytest.mark.parametrize(
    ("make", "expected"),
    [
        pytest.param(lambda: [FIRST, SECOND], [FIRST_TEXT, SECOND_TEXT], id="list"),
        pytest.param(lambda: (FIRST, SECOND), [FIRST_TEXT, SECOND_TEXT], id="tuple"),
        pytest.param(lambda: _generator([FIRST, SECOND]), [FIRST_TEXT, SECOND_TEXT], id="generator"),
        pytest.param(lambda: Iterable([SECOND, FIRST]), [SECOND_TEXT, FIRST_TEXT], id="iterable"),
        pytest.param(lambda: iter([FIRST]), [FIRST_TEXT], id="iterator"),
        pytest.param(lambda: StoppingIterator([FIRST, SECOND]), [FIRST_TEXT, SECOND_TEXT],
                     id="StopIteration subclass ends it"),
        pytest.param(lambda: StoppingIterator([]), [], id="StopIteration subclass at once"),
        pytest.param(lambda: {HashableMapping(FIRST): "ignored value"}, [FIRST_TEXT], id="dict keys"),
        pytest.param(lambda: [], [], id="empty list"),
        pytest.param(lambda: (), [], id="empty tuple"),
        pytest.param(lambda: {}, [], id="empty dict"),
        pytest.param(lambda: range(0), [], id="empty range"),
        pytest.param(lambda: type("L", (list,), {})([FIRST]), [FIRST_TEXT], id="list subclass"),
        pytest.param(lambda: type("T", (tuple,), {})((SECOND,)), [SECOND_TEXT], id="tuple subclass"),
    ],
)
@pytest.mark.parametrize("side", ["original", "reference"])
def test_interval_lists_of_a_match_accept_any_iterable(make, expected, side):
    result = tandril.match_to_dict({**byte_match(), side: make()})
    assert result[side] == expected
    other = "reference" if side == "original" else "original"
    assert result[other] == []


def test_dict_given_as_interval_list_is_iterated_over_its_keys():
    key = "key"
    with pytest.raises(TypeError) as info:
        tandril.match_to_dict(byte_match(original={key: FIRST}))
    assert (TypeError, str(info.value)) == own_error(lambda: key["start"])


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (None, own_error(lambda: iter(None))),
        (5, own_error(lambda: iter(5))),
        (NamedThing(), own_error(lambda: iter(NamedThing()))),
    ],
    ids=["None", "int", "object"],
)
@pytest.mark.parametrize("side", ["original", "reference"])
def test_non_iterable_interval_list_fails_with_the_interpreters_error(value, expected, side):
    error_type, message = own_error(lambda: tandril.match_to_dict({**byte_match(), side: value}))
    assert (error_type, message) == expected


def test_exception_raised_by_a_generator_passes_unchanged():
    failure = ValueError("generator broke")

    def failing():
        yield FIRST
        raise failure

    with pytest.raises(ValueError) as info:
        tandril.match_to_dict(byte_match(reference=failing()))
    assert info.value is failure


def test_exception_raised_by_an_iterator_passes_unchanged():
    failure = OSError("iterator broke")

    class Failing:
        def __iter__(self):
            return self

        def __next__(self):
            raise failure

    with pytest.raises(OSError) as info:
        tandril.match_to_dict(byte_match(original=Failing()))
    assert info.value is failure


def test_exception_raised_by_iter_passes_unchanged():
    failure = KeyError("from __iter__")

    class Failing:
        def __iter__(self):
            raise failure

    with pytest.raises(KeyError) as info:
        tandril.match_to_dict(byte_match(original=Failing()))
    assert info.value is failure


def test_list_grown_during_the_walk_is_read_to_its_new_end():
    items = []

    class Growing(LoggingMapping):
        def __getitem__(self, key):
            if key == "nl" and len(items) < 4:
                items.append(Growing(byte_interval(start=len(items))))
            return super().__getitem__(key)

    items.append(Growing(byte_interval(start=0)))
    result = tandril.match_to_dict(byte_match(original=items))
    assert [interval["start"] for interval in result["original"]] == [0, 1, 2, 3]


def test_list_emptied_during_the_walk_ends_it_early():
    items = []

    class Clearing(LoggingMapping):
        def __getitem__(self, key):
            if key == "nl":
                items.clear()
            return super().__getitem__(key)

    items.extend([Clearing(FIRST), Clearing(SECOND), Clearing(SECOND)])
    result = tandril.match_to_dict(byte_match(reference=items))
    assert result["reference"] == [FIRST_TEXT]


# ---------------------------------------------------------------------------------------------
# Records back to the byte form


def test_byte_form_round_trip_yields_equal_new_dicts_in_key_order(restore_module_attributes):
    received = []

    def keep(byte_form):
        received.append(byte_form)
        return byte_form

    tandril.interval_to_dict = keep
    original = [
        byte_interval(-7, 2**31 - 1, b"a\x00b", b"\xff\xfe", -(2**31)),
        byte_interval(0, 0, b"", b"", 0),
    ]
    reference = [byte_interval(5, 9, "café".encode(), b"\x00", 1)]
    result = tandril.match_to_dict(byte_match(original=original, reference=reference))
    assert result["original"] == original
    assert result["reference"] == reference
    for given, got in zip(original + reference, received):
        assert got is not given
        assert type(got) is dict
        assert list(got) == INTERVAL_KEYS
        assert [type(got[key]) for key in INTERVAL_KEYS] == [int, int, bytes, bytes, int]


def test_bytearray_texts_come_back_as_bytes(restore_module_attributes):
    tandril.interval_to_dict = lambda byte_form: byte_form
    source = byte_interval(text=bytearray(b"arr\x00"), original=type("B", (bytes,), {})(b"sub"))
    (got,) = tandril.match_to_dict(byte_match(original=[source]))["original"]
    assert type(got["text"]) is bytes and got["text"] == b"arr\x00"
    assert type(got["original"]) is bytes and got["original"] == b"sub"


def test_text_form_results_have_keys_in_order():
    match = tandril.match_to_dict(byte_match(original=[FIRST], reference=[SECOND]))
    assert list(match) == MATCH_KEYS
    assert [list(interval) for interval in match["original"] + match["reference"]] == [INTERVAL_KEYS] * 2
