"""interval_to_dict and match_to_dict: the text form of a record given in byte form. Their lookup of
the module's dictionary functions by name is checked in test_rebound_converters.py."""

import traceback

import pytest

from c_quorvel import tandril

MODULE_FILE = "modules\\\\tandril\\\\tandril.cpp"
ITD = "c_quorvel.tandril.interval_to_dict"
MTD = "c_quorvel.tandril.match_to_dict"


def byte_interval(start=1, end=2, text=b"t", original=b"o", nl=0):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def text_interval(start=1, end=2, text="t", original="o", nl=0):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def byte_match(start=0, end=9, original=(), reference=()):
    return {"start": start, "end": end, "original": list(original), "reference": list(reference)}


def module_entries(error):
    return [
        frame.name
        for frame in traceback.extract_tb(error.__traceback__)
        if frame.filename == MODULE_FILE
    ]


# ---------------------------------------------------------------------------------------------
# interval_to_dict


def test_interval_to_dict_decodes_the_example_record():
    result = tandril.interval_to_dict(
        {"start": 5, "end": 9, "text": "café".encode("utf-8"), "original": b"", "nl": 1}
    )
    assert result == {"start": 5, "end": 9, "text": "café", "original": "", "nl": 1}
    assert list(result) == ["start", "end", "text", "original", "nl"]
    assert [type(value) for value in result.values()] == [int, int, str, str, int]


@pytest.mark.parametrize(
    "text",
    ["", "plain", "café", "a\x00b", "\U0001f600 emoji", "日本語", "\u0800\uffff", "line\nbreak\r\n"],
)
def test_interval_to_dict_returns_the_exact_utf8_decoding(text):
    result = tandril.interval_to_dict(byte_interval(text=text.encode(), original=text[::-1].encode()))
    assert result["text"] == text
    assert result["original"] == text[::-1]


def test_interval_to_dict_returns_a_new_dict_each_call():
    record = byte_interval()
    first = tandril.interval_to_dict(record)
    second = tandril.interval_to_dict(record)
    assert first == second
    assert first is not second
    assert record == byte_interval()  # the argument is left alone


def test_interval_to_dict_by_keyword_works_like_the_positional_call():
    record = byte_interval(3, 8, b"x", b"y", 4)
    assert tandril.interval_to_dict(interval=record) == tandril.interval_to_dict(record)


def test_interval_to_dict_without_argument_reports_zero_given():
    with pytest.raises(TypeError) as info:
        tandril.interval_to_dict()
    assert str(info.value) == "interval_to_dict() takes exactly 1 positional argument (0 given)"


def test_text_form_is_not_accepted_back():
    result = tandril.interval_to_dict(byte_interval())
    with pytest.raises(TypeError) as info:
        tandril.interval_to_dict(result)
    assert "str" in str(info.value)
    assert module_entries(info.value) == [ITD]


@pytest.mark.parametrize(
    ("text", "original", "failing"),
    [
        (b"\xff", b"", b"\xff"),
        (b"ok", b"\xff", b"\xff"),
        (b"\xff", b"\xfe", b"\xff"),  # text is decoded before original
        (b"caf\xc3", b"", b"caf\xc3"),  # cut-off sequence
        (b"\xed\xa0\x80", b"", b"\xed\xa0\x80"),  # encoded surrogate
        (b"\xc0\x80", b"", b"\xc0\x80"),  # overlong zero byte
        (b"\xf4\x90\x80\x80", b"", b"\xf4\x90\x80\x80"),  # beyond U+10FFFF
        (b"", b"a\x80b", b"a\x80b"),
    ],
)
def test_invalid_utf8_fails_with_unicode_decode_error(text, original, failing):
    with pytest.raises(UnicodeDecodeError) as info:
        tandril.interval_to_dict(byte_interval(text=text, original=original))
    assert info.value.encoding == "utf-8"
    assert info.value.object == failing
    assert module_entries(info.value) == [ITD]


# ---------------------------------------------------------------------------------------------
# match_to_dict


def test_match_with_two_empty_arrays_gives_empty_lists():
    result = tandril.match_to_dict({"start": 4, "end": 6, "original": [], "reference": []})
    assert result == {"start": 4, "end": 6, "original": [], "reference": []}
    assert list(result) == ["start", "end", "original", "reference"]


def test_match_gives_text_form_intervals_in_array_order():
    original = [byte_interval(1, 2, b"a", b"b", 0), byte_interval(3, 4, "é".encode(), b"", 1)]
    reference = [byte_interval(5, 6, b"c", b"d", 2)]
    result = tandril.match_to_dict(byte_match(10, 20, original, reference))
    assert result == {
        "start": 10,
        "end": 20,
        "original": [text_interval(1, 2, "a", "b", 0), text_interval(3, 4, "é", "", 1)],
        "reference": [text_interval(5, 6, "c", "d", 2)],
    }


def test_match_by_keyword_works_like_the_positional_call():
    match = byte_match(original=[byte_interval()])
    assert tandril.match_to_dict(match=match) == tandril.match_to_dict(match)


def test_match_without_reference_is_refused():
    with pytest.raises(ValueError) as info:
        tandril.match_to_dict({"start": 0, "end": 0, "original": []})
    assert str(info.value) == "No value specified for struct attribute 'reference'"


@pytest.mark.parametrize("side", ["original", "reference"])
def test_failing_element_carries_entries_of_both_functions(side):
    match = byte_match(**{side: [byte_interval(), byte_interval(text=b"\xff")]})
    with pytest.raises(UnicodeDecodeError) as info:
        tandril.match_to_dict(match)
    assert module_entries(info.value) == [MTD, ITD]
