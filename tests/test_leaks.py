"""Repeated calls of every callable, on success and on each kind of failure, must not leave
allocated blocks behind; this is the one place where leaks are checked."""

import copy
import pickle
import random
import sys
import types
import warnings

import pytest

from c_quorvel import _align, tandril
from c_quorvel.align import pair_tracks
from leak_check import assert_no_leak

OWN_INTERVAL_TO_DICT = tandril.interval_to_dict
OWN_MATCH_TO_DICT = tandril.match_to_dict


def byte_interval(start=100, end=2000, text=b"text", original=b"orig", nl=1):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def input_interval(start=100, end=2000, text="text", original="orig", nl=1):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def byte_match(original=(), reference=()):
    return {"start": 0, "end": 9, "original": list(original), "reference": list(reference)}


SET_A = [input_interval(100, 2000, "a", "é")]
SET_B = [input_interval(150, 1900, "b", "")]
# Several groups, a record taken into two of them, and records offered to the last group.
SEVERAL_A = [input_interval(s, e, f"a{k}", f"A{k}", k)
             for k, (s, e) in enumerate([(0, 10000), (5500, 7000), (40000, 41000)])]
SEVERAL_B = [input_interval(s, e, f"b{k}", f"B{k}", k)
             for k, (s, e) in enumerate([(0, 100), (5000, 20000), (6000, 6100), (40100, 40900)])]
SEARCH = tandril.PyIntervalSearch([input_interval(0, 10, "x\x00y", "ő"), input_interval(5, 50)])
GOOD_MATCH = byte_match([byte_interval(), byte_interval(text="é".encode())], [byte_interval(text=bytearray(b"ba"))])


class Roster(list):
    pass


class IntSubclass(int):
    pass


class Dunder:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class Raising:
    def __int__(self):
        raise ArithmeticError("from __int__")


class BadEncode:
    """A text whose encode gives bytes that are not valid UTF-8."""

    def encode(self, encoding):
        return b"\xff"


class StopSubclass(StopIteration):
    pass


class StoppingIterator:
    def __init__(self):
        self.left = 1

    def __iter__(self):
        return self

    def __next__(self):
        if self.left == 0:
            raise StopSubclass
        self.left -= 1
        return byte_interval()


def failing_generator():
    yield byte_interval()
    raise ValueError("generator broke")


class Sub(tandril.PyIntervalSearch):
    pass


BAD_SEARCH = tandril.PyIntervalSearch([input_interval(0, 10, BadEncode(), "")])
# The second record's text fails to decode once the first one's result is built.
BAD_SECOND_TEXT = [input_interval(0, 1000, "ok", "o"), input_interval(0, 1000, BadEncode(), "o")]

SUCCESS = {
    "interval_to_dict": lambda: tandril.interval_to_dict(byte_interval(text="ő".encode())),
    "interval_to_dict by keyword": lambda: tandril.interval_to_dict(interval=byte_interval()),
    "interval_to_dict with bytearray": lambda: tandril.interval_to_dict(byte_interval(original=bytearray(b"x"))),
    "interval_to_dict with float": lambda: tandril.interval_to_dict(byte_interval(start=1.5, end=Dunder(4))),
    "match_to_dict": lambda: tandril.match_to_dict(GOOD_MATCH),
    "match_to_dict with generator": lambda: tandril.match_to_dict(
        {"start": 0, "end": 1, "original": (x for x in [byte_interval()]), "reference": ()}),
    "match_to_dict with StopIteration subclass": lambda: tandril.match_to_dict(
        {"start": 0, "end": 1, "original": StoppingIterator(), "reference": ()}),
    "find_intersections with a group": lambda: tandril.find_intersections(SET_A, SET_B),
    "find_intersections with several groups": lambda: tandril.find_intersections(SEVERAL_A, SEVERAL_B),
    "find_intersections empty": lambda: tandril.find_intersections([], []),
    "find_intersections by keyword": lambda: tandril.find_intersections(set_b_dicts=SET_B, set_a_dicts=SET_A),
    "construction": lambda: tandril.PyIntervalSearch(SET_A + SET_B),
    "construction by keyword": lambda: tandril.PyIntervalSearch(intervals=[]),
    "subclass construction": lambda: Sub(SET_A),
    "query with results": lambda: SEARCH.find_overlapping_intervals(0, 10),
    "query through the class": lambda: tandril.PyIntervalSearch.find_overlapping_intervals(SEARCH, 0, 0),
    "query without results": lambda: SEARCH.find_overlapping_intervals(100000, 100001),
    "bound method creation": lambda: SEARCH.find_overlapping_intervals,
}

FAILURES = {
    # argument binding
    "interval_to_dict no argument": (lambda: tandril.interval_to_dict(), TypeError),
    "interval_to_dict two arguments": (lambda: tandril.interval_to_dict({}, {}), TypeError),
    "interval_to_dict multiple values": (lambda: tandril.interval_to_dict({}, interval={}), TypeError),
    "interval_to_dict unexpected keyword": (lambda: tandril.interval_to_dict({}, bogus=1), TypeError),
    "interval_to_dict only unknown keyword": (lambda: tandril.interval_to_dict(bogus=1), TypeError),
    "interval_to_dict non-string keyword": (lambda: tandril.interval_to_dict({}, **{1: 2}), TypeError),
    "match_to_dict three arguments": (lambda: tandril.match_to_dict(1, 2, 3), TypeError),
    "find_intersections one argument": (lambda: tandril.find_intersections([]), TypeError),
    "find_intersections missing keyword": (lambda: tandril.find_intersections(set_b_dicts=[]), TypeError),
    "find_intersections multiple values": (
        lambda: tandril.find_intersections([], set_a_dicts=[], set_b_dicts=[]), TypeError),
    "find_intersections unexpected keyword": (
        lambda: tandril.find_intersections(SET_A, SET_B, set_c_dicts=[]), TypeError),
    "construction no argument": (lambda: tandril.PyIntervalSearch(), TypeError),
    "construction two arguments": (lambda: tandril.PyIntervalSearch(SET_A, SET_A), TypeError),
    "construction unexpected keyword": (lambda: tandril.PyIntervalSearch([], bogus=1), TypeError),
    "construction non-string keyword": (lambda: tandril.PyIntervalSearch(**{1: 2}), TypeError),
    "subclass construction two arguments": (lambda: Sub([], []), TypeError),
    "query one argument": (lambda: SEARCH.find_overlapping_intervals(1), TypeError),
    "query unexpected keyword": (lambda: SEARCH.find_overlapping_intervals(1, 2, x=3), TypeError),
    "query needs an argument": (lambda: tandril.PyIntervalSearch.find_overlapping_intervals(), TypeError),
    "query on a non-instance": (lambda: tandril.PyIntervalSearch.find_overlapping_intervals({}, 1, 2), TypeError),
    "__reduce__ argument": (lambda: SEARCH.__reduce__(1), TypeError),
    "__reduce__ keyword": (lambda: SEARCH.__reduce__(bogus=1), TypeError),
    "__setstate__ no argument": (lambda: SEARCH.__setstate__(), TypeError),
    "module __reduce_cython__ argument": (lambda: tandril.__reduce_cython__(SEARCH, 1), TypeError),
    "module __setstate_cython__ keyword": (lambda: tandril.__setstate_cython__(SEARCH, x=1), TypeError),
    # list test
    "find_intersections tuple": (lambda: tandril.find_intersections((), []), TypeError),
    "find_intersections list subclass": (lambda: tandril.find_intersections([], Roster()), TypeError),
    "construction tuple": (lambda: tandril.PyIntervalSearch(()), TypeError),
    "construction list subclass": (lambda: tandril.PyIntervalSearch(Roster([input_interval()])), TypeError),
    # record conversion
    "interval_to_dict None": (lambda: tandril.interval_to_dict(None), TypeError),
    "interval_to_dict list": (lambda: tandril.interval_to_dict([1]), TypeError),
    "interval_to_dict str text": (lambda: tandril.interval_to_dict(byte_interval(text="s")), TypeError),
    "interval_to_dict bad int": (lambda: tandril.interval_to_dict(byte_interval(nl="1")), TypeError),
    "interval_to_dict overflow": (lambda: tandril.interval_to_dict(byte_interval(end=2**31)), OverflowError),
    "interval_to_dict __int__ non-int": (lambda: tandril.interval_to_dict(byte_interval(start=Dunder("x"))),
                                         TypeError),
    "interval_to_dict __int__ raising": (lambda: tandril.interval_to_dict(byte_interval(start=Raising())),
                                         ArithmeticError),
    "match_to_dict None original": (lambda: tandril.match_to_dict(
        {"start": 0, "end": 0, "original": None, "reference": []}), TypeError),
    "match_to_dict bad element": (lambda: tandril.match_to_dict(
        byte_match([byte_interval()], [byte_interval(), None])), TypeError),
    "match_to_dict generator raising": (lambda: tandril.match_to_dict(
        {"start": 0, "end": 0, "original": failing_generator(), "reference": []}), ValueError),
    # missing keys
    **{
        f"interval_to_dict without {key}": (
            lambda key=key: tandril.interval_to_dict({k: v for k, v in byte_interval().items() if k != key}),
            ValueError,
        )
        for key in ("start", "end", "text", "original", "nl")
    },
    **{
        f"match_to_dict without {key}": (
            lambda key=key: tandril.match_to_dict({k: v for k, v in GOOD_MATCH.items() if k != key}),
            ValueError,
        )
        for key in ("start", "end", "original", "reference")
    },
    "match_to_dict element without nl": (lambda: tandril.match_to_dict(
        byte_match([byte_interval(), {"start": 0, "end": 0, "text": b"", "original": b""}])), ValueError),
    # decoding
    "interval_to_dict invalid UTF-8": (lambda: tandril.interval_to_dict(byte_interval(original=b"\xff")),
                                       UnicodeDecodeError),
    "match_to_dict element invalid UTF-8": (lambda: tandril.match_to_dict(
        byte_match([byte_interval()], [byte_interval(text=b"\xc3")])), UnicodeDecodeError),
    "query result invalid UTF-8": (lambda: BAD_SEARCH.find_overlapping_intervals(0, 10), UnicodeDecodeError),
    # construction
    "construction None": (lambda: tandril.PyIntervalSearch(None), TypeError),
    "construction missing nl": (lambda: tandril.PyIntervalSearch(
        [input_interval(), {"start": 0, "end": 0, "text": "", "original": ""}]), KeyError),
    "construction bytes text": (lambda: tandril.PyIntervalSearch([input_interval(text=b"x")]), AttributeError),
    "construction bad int in second item": (lambda: tandril.PyIntervalSearch(
        [input_interval(), input_interval(end="x")]), TypeError),
    "construction lone surrogate": (lambda: tandril.PyIntervalSearch([input_interval(text="\ud800")]),
                                    UnicodeEncodeError),
    # queries
    "query bad start_q": (lambda: SEARCH.find_overlapping_intervals("1", 0), TypeError),
    "query bad end_q": (lambda: SEARCH.find_overlapping_intervals(0, 2**40), OverflowError),
    "query __int__ raising": (lambda: SEARCH.find_overlapping_intervals(Raising(), 0), ArithmeticError),
    # pickling refusal
    "__reduce__": (lambda: SEARCH.__reduce__(), TypeError),
    "__setstate__": (lambda: SEARCH.__setstate__(None), TypeError),
    "pickle": (lambda: pickle.dumps(SEARCH), TypeError),
    "copy": (lambda: copy.copy(SEARCH), TypeError),
    "module __reduce_cython__": (lambda: tandril.__reduce_cython__(None), TypeError),
    "module __setstate_cython__": (lambda: tandril.__setstate_cython__(1, 2), TypeError),
    # find_intersections
    "find_intersections None": (lambda: tandril.find_intersections(None, []), TypeError),
    "find_intersections second None": (lambda: tandril.find_intersections(SET_A, None), TypeError),
    "find_intersections missing key": (lambda: tandril.find_intersections(SET_A, [{"start": 1}]), KeyError),
    "find_intersections bytes text": (lambda: tandril.find_intersections([input_interval(original=b"")], []),
                                      AttributeError),
    "find_intersections encode giving str": (
        lambda: tandril.find_intersections([input_interval(text=types.SimpleNamespace(encode=str))], []),
        TypeError),
    "find_intersections bad int": (lambda: tandril.find_intersections(SET_A, [input_interval(nl=None)]),
                                   TypeError),
    "find_intersections overflow": (lambda: tandril.find_intersections([input_interval(2**31, 0)], SEVERAL_B),
                                    OverflowError),
    "find_intersections invalid UTF-8 in result": (
        lambda: tandril.find_intersections(BAD_SECOND_TEXT, SEVERAL_B), UnicodeDecodeError),
}


@pytest.mark.parametrize("action", SUCCESS.values(), ids=SUCCESS.keys())
def test_successful_calls_do_not_leak(action):
    assert_no_leak(action)


@pytest.mark.parametrize(("action", "expect"), FAILURES.values(), ids=FAILURES.keys())
def test_failing_calls_do_not_leak(action, expect):
    assert_no_leak(action, expect=expect)


@pytest.mark.parametrize(
    ("action", "expect"),
    [
        (lambda: tandril.interval_to_dict(byte_interval(start=Dunder(IntSubclass(3)))), None),
        (lambda: SEARCH.find_overlapping_intervals(Dunder(IntSubclass(0)), 10), None),
    ],
    ids=["record field", "query bound"],
)
@pytest.mark.parametrize("action_on_warning", ["ignore", "error"])
def test_int_subclass_warning_paths_do_not_leak(action, expect, action_on_warning):
    with warnings.catch_warnings():
        warnings.simplefilter(action_on_warning, DeprecationWarning)
        assert_no_leak(action, expect=DeprecationWarning if action_on_warning == "error" else expect)


@pytest.fixture
def module_attributes():
    yield
    tandril.interval_to_dict = OWN_INTERVAL_TO_DICT
    tandril.match_to_dict = OWN_MATCH_TO_DICT


def _delete(name):
    delattr(tandril, name)


def _raise_from_converter(record):
    raise LookupError("converter failed")


def _through_python(match):
    return OWN_MATCH_TO_DICT(match)


def _interval_through_python(interval):
    return OWN_INTERVAL_TO_DICT(interval)


def _wrap(*names):
    """Rebinds each named dictionary function to a Python function that calls the module's own."""
    wrappers = {"match_to_dict": _through_python, "interval_to_dict": _interval_through_python}
    for name in names:
        setattr(tandril, name, wrappers[name])


WRAPPED = {
    "match_to_dict wrapped": ("match_to_dict",),
    "interval_to_dict wrapped": ("interval_to_dict",),
    "both wrapped": ("match_to_dict", "interval_to_dict"),
}


@pytest.mark.parametrize(
    ("change", "action", "expect"),
    [
        pytest.param(lambda: _delete("interval_to_dict"), lambda: tandril.match_to_dict(GOOD_MATCH), NameError,
                     id="match_to_dict NameError"),
        pytest.param(lambda: _delete("interval_to_dict"), lambda: tandril.match_to_dict(byte_match()), None,
                     id="match_to_dict empty without interval_to_dict"),
        pytest.param(lambda: _delete("interval_to_dict"), lambda: SEARCH.find_overlapping_intervals(0, 10),
                     NameError, id="query NameError"),
        pytest.param(lambda: _delete("match_to_dict"), lambda: tandril.find_intersections(SET_A, SET_B),
                     NameError, id="find_intersections NameError"),
        pytest.param(lambda: _delete("interval_to_dict"), lambda: tandril.find_intersections(SET_A, SET_B),
                     NameError, id="find_intersections NameError inside match_to_dict"),
        pytest.param(lambda: setattr(tandril, "interval_to_dict", lambda record: record),
                     lambda: tandril.match_to_dict(GOOD_MATCH), None, id="match_to_dict byte form"),
        pytest.param(lambda: setattr(tandril, "interval_to_dict", lambda record: record),
                     lambda: SEARCH.find_overlapping_intervals(0, 10), None, id="query byte form"),
        pytest.param(lambda: setattr(tandril, "match_to_dict", lambda match: match),
                     lambda: tandril.find_intersections(SET_A, SET_B), None, id="find_intersections byte form"),
        pytest.param(lambda: setattr(tandril, "interval_to_dict", _raise_from_converter),
                     lambda: tandril.match_to_dict(GOOD_MATCH), LookupError, id="match_to_dict converter raising"),
        pytest.param(lambda: setattr(tandril, "interval_to_dict", _raise_from_converter),
                     lambda: SEARCH.find_overlapping_intervals(0, 10), LookupError, id="query converter raising"),
        pytest.param(lambda: setattr(tandril, "match_to_dict", _raise_from_converter),
                     lambda: tandril.find_intersections(SET_A, SET_B), LookupError,
                     id="find_intersections converter raising"),
        *(pytest.param(lambda names=names: _wrap(*names), lambda: tandril.find_intersections(SEVERAL_A, SEVERAL_B),
                       None, id=f"find_intersections {road}") for road, names in WRAPPED.items()),
        *(pytest.param(lambda names=names: _wrap(*names),
                       lambda: tandril.find_intersections(BAD_SECOND_TEXT, SEVERAL_B), UnicodeDecodeError,
                       id=f"find_intersections invalid UTF-8 {road}") for road, names in WRAPPED.items()),
        pytest.param(lambda: _wrap("interval_to_dict"), lambda: BAD_SEARCH.find_overlapping_intervals(0, 10),
                     UnicodeDecodeError, id="query invalid UTF-8 interval_to_dict wrapped"),
    ],
)
def test_calls_with_changed_module_attributes_do_not_leak(module_attributes, change, action, expect):
    change()
    assert_no_leak(action, expect=expect)


def test_sound_pairing_does_not_leak():
    rng = random.Random(5)
    original = [input_interval(s, s + rng.randint(0, 3000), f"a{s}") for s in rng.sample(range(0, 60000), 60)]
    reference = [input_interval(s, s + rng.randint(0, 3000), f"b{s}") for s in rng.sample(range(0, 60000), 60)]
    assert_no_leak(lambda: pair_tracks(original, reference), calls=100)
    failing = original + [{"start": 0, "end": "x", "text": ""}]
    assert_no_leak(lambda: pair_tracks(failing, reference), expect=TypeError, calls=100)


def test_time_map_search_does_not_leak():
    rng = random.Random(6)
    original = [input_interval(s, s + rng.randint(500, 3000), f"a{s}") for s in range(0, 200000, 5000)]
    reference = [{**cue, "start": cue["start"] + 3000, "end": cue["end"] + 3000} for cue in original]
    assert_no_leak(lambda: _align.synchronize(original, reference, 60000, 2), calls=100)
    failing = reference + [{"start": 0, "end": "x"}]
    assert_no_leak(lambda: _align.synchronize(original, failing, 60000, 2), expect=TypeError, calls=100)


def test_calls_leave_reference_counts_of_existing_objects_unchanged():
    # An extra reference to an object that already exists allocates nothing, so the block count
    # cannot see it; the reference counts of the arguments and of everything they hold can.
    text = "shared text " * 3
    good = {"start": 100, "end": 2000, "text": text, "original": text, "nl": 7}
    bad = {"start": 100, "end": 2000, "text": text, "original": b"bytes", "nl": 7}
    good_list, bad_list = [good, good], [good, bad]
    byte_form = {"start": 5, "end": 9, "text": b"x", "original": b"y", "nl": 1}
    index = tandril.PyIntervalSearch(good_list)
    watched = [text, good, bad, good_list, bad_list, byte_form, index, 100, 2000, 7]

    def exercise():
        tandril.find_intersections(good_list, good_list)
        tandril.interval_to_dict(byte_form)
        tandril.match_to_dict({"start": 1, "end": 2, "original": [byte_form], "reference": (byte_form,)})
        tandril.PyIntervalSearch(good_list)
        index.find_overlapping_intervals(0, 3000)
        for failing in (
            lambda: tandril.find_intersections(good_list, bad_list),
            lambda: tandril.PyIntervalSearch(bad_list),
            lambda: tandril.find_intersections(good_list, (good,)),
            lambda: index.find_overlapping_intervals(text, 1),
            lambda: tandril.interval_to_dict(good),
            lambda: tandril.match_to_dict(byte_form),
        ):
            try:
                failing()
            except (TypeError, AttributeError, ValueError):
                pass
            else:
                raise AssertionError("expected a failure")

    exercise()
    before = [sys.getrefcount(item) for item in watched]
    for _ in range(50):
        exercise()
    assert [sys.getrefcount(item) for item in watched] == before


class CollidingKey:
    """A dict key that a lookup of "text" compares against, and whose comparison raises once armed."""

    armed = False

    def __hash__(self):
        return hash("text")

    def __eq__(self, other):
        if self.armed:
            raise LookupError("compared")
        return False


def test_bilingual_building_and_utf8_writing_do_not_leak():
    from c_quorvel import _subrip

    text = "shared line\nsecond -->"
    members = [input_interval(s, s + 1500, text, "") for s in range(0, 20000, 1000)]
    raw = [input_interval(s, s + 900, "a b", "a\\hb") for s in range(500, 20000, 2000)]
    groups = [{"start": s, "end": s + 3000, "original": members[k:k + 2], "reference": raw[k // 2:k // 2 + 1]}
              for k, s in enumerate(range(0, 20000, 2000))]
    declined = members[:5] + [input_interval(0, 10, "x", "{\\i1}x")]
    colliding = CollidingKey()
    failing = members[:5] + [{"start": 1, "end": 2, colliding: 0, "text": "x"}]
    colliding.armed = True
    watched = [text, *members[:3], *raw[:3], groups, declined, failing]
    before = [sys.getrefcount(item) for item in watched]
    for vtt, split, colour in [(False, False, None), (True, True, "#ff0000"), (False, True, "#00ff00")]:
        assert_no_leak(lambda: _subrip.bilingual_events(groups, members, raw, vtt, split, colour), calls=100)
    assert_no_leak(lambda: _subrip.bilingual_events(groups, declined, [], False, False, None), calls=100)
    assert _subrip.bilingual_events(groups, declined, [], False, False, None) is None
    assert_no_leak(lambda: _subrip.bilingual_events(groups, failing, [], False, False, None), expect=LookupError, calls=100)
    # The same events written as a SubRip file's bytes, and JSON written as UTF-8 bytes.
    assert_no_leak(lambda: _subrip.bilingual_subrip(groups, members, raw, True, "#ff0000"), calls=100)
    assert_no_leak(lambda: _subrip.bilingual_subrip(groups, failing, [], False, None), expect=LookupError, calls=100)
    assert_no_leak(lambda: _subrip.indented_json({"groups": groups, "lone": "\udc80"}, True, True), calls=100)
    assert_no_leak(lambda: _subrip.indented_json(groups, True, True), calls=100)
    assert [sys.getrefcount(item) for item in watched] == before
