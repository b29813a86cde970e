"""find_intersections end to end: pairing results, reading of the input lists, hostile inputs.
Its lookup of the module's dictionary functions by name is checked in test_rebound_converters.py."""

import builtins
import contextlib
import copy
import traceback
from collections.abc import Mapping

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from models import pairing as pairing_model
from margin_setting import needs_default_margin
from c_quorvel import tandril

find_intersections = tandril.find_intersections
ORIGINAL_MATCH_TO_DICT = tandril.match_to_dict
ORIGINAL_INTERVAL_TO_DICT = tandril.interval_to_dict

# Every result below is worked out for the default margin.
pytestmark = pytest.mark.skipif(**needs_default_margin)

ENTRY = "c_quorvel.tandril.find_intersections"
MATCH_ENTRY = "c_quorvel.tandril.match_to_dict"
INTERVAL_ENTRY = "c_quorvel.tandril.interval_to_dict"
# The module's source file as its traceback entries name it: two backslashes between components.
MODULE_FILE_PREFIX = "modules\\\\tandril\\\\tandril"
CONVERSION_FILE = "<stringsource>"
INTERVAL_KEYS = ["start", "end", "text", "original", "nl"]
MATCH_KEYS = ["start", "end", "original", "reference"]
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

DELETED = object()


def iv(start, end, text="", original="", nl=0, **extra):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl, **extra}


def labelled(side, spans):
    """Interval dicts with texts and nl that tell the records apart."""
    return [iv(s, e, f"{side}{k}", f"{side.upper()}{k}", k) for k, (s, e) in enumerate(spans)]


@contextlib.contextmanager
def rebound(name, value, namespace=tandril):
    """Sets (or with DELETED removes) an attribute for the duration of the block, then restores it."""
    missing = object()
    saved = getattr(namespace, name, missing)
    try:
        if value is DELETED:
            if saved is not missing:
                delattr(namespace, name)
        else:
            setattr(namespace, name, value)
        yield
    finally:
        if saved is missing:
            if hasattr(namespace, name):
                delattr(namespace, name)
        else:
            setattr(namespace, name, saved)


@pytest.fixture(autouse=True)
def module_functions_restored():
    """Whatever a test does, the module's dictionary functions are back in place afterwards."""
    try:
        yield
    finally:
        tandril.match_to_dict = ORIGINAL_MATCH_TO_DICT
        tandril.interval_to_dict = ORIGINAL_INTERVAL_TO_DICT
        for name in ("match_to_dict", "interval_to_dict"):
            if hasattr(builtins, name):
                delattr(builtins, name)


def module_entries(error):
    """(name, filename) of the traceback entries not belonging to this test file, outermost first."""
    return [(f.name, f.filename) for f in traceback.extract_tb(error.__traceback__) if f.filename != __file__]


def entry_names(error):
    return [name for name, _ in module_entries(error)]


def assert_module_file(filename):
    assert filename.startswith(MODULE_FILE_PREFIX), filename


def assert_same_result(actual, expected):
    assert actual == expected
    assert repr(actual) == repr(expected)  # also key order and exact value types


# ---------------------------------------------------------------------------------------------
# Worked pairings, checked against hand-derived groups


def expected_groups(set_a, set_b, groups):
    """Text-form result from (start, end, indices into set_a, indices into set_b) per group."""
    return [
        {"start": s, "end": e, "original": [dict(set_a[k]) for k in a], "reference": [dict(set_b[k]) for k in b]}
        for s, e, a, b in groups
    ]


WORKED_CASES = {
    "both_empty": ([], [], []),
    "first_set_empty": ([], [(0, 100)], []),
    "second_set_empty": ([(0, 100)], [], []),
    "nested_pair_first_anchors": ([(100, 2000)], [(150, 1900)], [(100, 2000, [0], [0])]),
    "nested_pair_second_longer_anchors": ([(150, 1900)], [(100, 2000)], [(100, 2000, [0], [0])]),
    # A tie goes to the record of the first set: it takes the second set's record alone, and the
    # later first-set record joins as a leftover, leaving the group's end at 100.
    "equal_lengths_first_set_anchors": ([(0, 100), (10, 5000)], [(0, 100)], [(0, 100, [0, 1], [0])]),
    "equal_starts_nest_whatever_the_lengths": ([(0, 100)], [(0, 5_000_000)], [(0, 5_000_000, [0], [0])]),
    "starts_exactly_margin_apart_are_close": ([(0, 10)], [(1000, 5000)], [(0, 5000, [0], [0])]),
    "starts_margin_plus_one_apart_do_not_pair": ([(0, 10)], [(1001, 5000)], []),
    "ends_exactly_margin_apart_are_close": ([(-5000, 0)], [(-200, 1000)], [(-5000, 1000, [0], [0])]),
    "ends_margin_plus_one_apart_do_not_pair": ([(-5000, 0)], [(-200, 1001)], []),
    "records_before_the_first_group_are_dropped": (
        [(0, 10), (50000, 51000)],
        [(20000, 20010), (50100, 50900)],
        [(50000, 51000, [1], [1])],
    ),
    "leftover_with_no_group_is_dropped_although_nested": ([(0, 10), (2050, 2090)], [(2000, 2100)], []),
    # B[1] is passed over inside the candidate walk, B[2] taken; A runs out and B[2] is met again.
    "passed_over_candidate_and_record_taken_twice": (
        [(0, 10000)],
        [(0, 100), (5000, 20000), (6000, 6100)],
        [(0, 10000, [0], [0, 2, 2])],
    ),
    "main_walk_meets_a_record_already_taken": (
        [(0, 10000), (5500, 7000)],
        [(0, 100), (5000, 20000), (6000, 6100)],
        [(0, 10000, [0], [0, 2]), (5500, 7000, [1], [2])],
    ),
    "offer_of_first_set_record_joins_last_group": (
        [(0, 1000), (1500, 1600), (5000, 5100)],
        [(0, 900), (3000, 3100)],
        [(0, 1000, [0, 1], [0])],
    ),
    "offer_of_second_set_record_joins_last_group": (
        [(0, 500), (5000, 5100)],
        [(0, 1000), (400, 600)],
        [(0, 1000, [0], [0, 1])],
    ),
    # Leftovers are compared with the group's last reference record only; the span stays.
    "leftovers_match_last_reference_and_keep_span": (
        [(0, 10000), (5000, 5100), (50, 60), (-500, 20000)],
        [(0, 100)],
        [(0, 10000, [0, 2, 3], [0])],
    ),
    # The walk stops at B[1] (starts after the anchor's end, not close); B[2] joins later as a
    # leftover and so does not widen the group's end to 3500.
    "candidate_walk_stops_at_first_far_candidate": (
        [(0, 3000)],
        [(0, 100), (4500, 9000), (2500, 3500)],
        [(0, 3000, [0], [0, 2])],
    ),
    "group_span_covers_taken_candidates": ([(100, 5000)], [(50, 200), (300, 5100)], [(50, 5100, [0], [0, 1])]),
    "negative_and_zero_lengths": ([(500, 100)], [(600, 600)], [(500, 600, [0], [0])]),
    "extreme_times_far_apart_do_not_pair": ([(INT32_MIN, INT32_MIN + 10)], [(INT32_MAX - 10, INT32_MAX)], []),
    "extreme_times_nested": (
        [(INT32_MIN, INT32_MAX)],
        [(INT32_MIN + 5, INT32_MAX - 5)],
        [(INT32_MIN, INT32_MAX, [0], [0])],
    ),
}


@pytest.mark.parametrize("case", list(WORKED_CASES), ids=list(WORKED_CASES))
def test_worked_pairings_give_the_expected_groups(case):
    spans_a, spans_b, groups = WORKED_CASES[case]
    set_a = labelled("a", spans_a)
    set_b = labelled("b", spans_b)
    expected = expected_groups(set_a, set_b, groups)
    assert_same_result(find_intersections(set_a, set_b), expected)
    assert_same_result(pairing_model.pair(set_a, set_b), expected)


def test_record_taken_twice_appears_as_two_distinct_equal_dicts():
    set_a = labelled("a", [(0, 10000)])
    set_b = labelled("b", [(0, 100), (5000, 20000), (6000, 6100)])
    reference = find_intersections(set_a, set_b)[0]["reference"]
    assert reference[1] == reference[2] == set_b[2]
    assert reference[1] is not reference[2]


def test_no_group_means_match_to_dict_is_never_looked_up():
    with rebound("match_to_dict", DELETED), rebound("interval_to_dict", DELETED):
        assert find_intersections([], []) == []
        assert find_intersections(labelled("a", [(0, 10)]), labelled("b", [(5000, 6000)])) == []


# ---------------------------------------------------------------------------------------------
# Differential tests against the model

INT32 = st.integers(INT32_MIN, INT32_MAX)
TEXTS = st.one_of(
    st.text(st.characters(codec="utf-8"), max_size=6),
    st.sampled_from(["", "\x00", "a\x00b", "café", "日本語\x00", "😀", "\u200b\U0010ffff"]),
)


def clamp(value):
    return max(INT32_MIN, min(INT32_MAX, value))


@st.composite
def timed(draw, starts, lengths):
    start = draw(starts)
    return iv(clamp(start), clamp(start + draw(lengths)), draw(TEXTS), draw(TEXTS), draw(INT32))


@st.composite
def free_timed(draw, times):
    return iv(draw(times), draw(times), draw(TEXTS), draw(TEXTS), draw(INT32))


@st.composite
def interval_sets(draw, intervals, max_size=12):
    sets = []
    for _ in range(2):
        items = draw(st.lists(intervals, max_size=max_size))
        if draw(st.booleans()):
            items.sort(key=lambda item: item["start"])
        sets.append(items)
    return tuple(sets)


EXTREME_TIMES = st.one_of(
    st.integers(INT32_MIN, INT32_MIN + 3000),
    st.integers(INT32_MAX - 3000, INT32_MAX),
    st.sampled_from([INT32_MIN, INT32_MAX, 0, -1, 1]),
    INT32,
)


@st.composite
def subtitle_tracks(draw):
    """A first track of consecutive cues, and a second one made from it: shifted, with cues split,
    merged, dropped or jittered."""
    cues = []
    time = draw(st.integers(0, 5000))
    for _ in range(draw(st.integers(0, 12))):
        time += draw(st.integers(0, 3000))
        duration = draw(st.integers(200, 6000))
        cues.append((time, time + duration))
        time += duration
    shift = draw(st.integers(-2500, 2500))
    derived = []
    k = 0
    while k < len(cues):
        start, end = cues[k]
        operation = draw(st.sampled_from(["keep", "keep", "split", "merge", "drop", "jitter"]))
        if operation == "merge" and k + 1 < len(cues):
            end = cues[k + 1][1]
            k += 1
        if operation == "split":
            middle = draw(st.integers(start, end))
            derived += [(start, middle), (middle, end)]
        elif operation == "jitter":
            derived.append((start + draw(st.integers(-900, 900)), end + draw(st.integers(-900, 900))))
        elif operation != "drop":
            derived.append((start, end))
        k += 1
    track_a = [iv(s, e, draw(TEXTS), draw(TEXTS), n) for n, (s, e) in enumerate(cues)]
    track_b = [iv(s + shift, e + shift, draw(TEXTS), draw(TEXTS), n) for n, (s, e) in enumerate(derived)]
    if draw(st.booleans()):
        track_a, track_b = track_b, track_a
    return track_a, track_b


STRATEGIES = {
    "dense": interval_sets(timed(st.integers(0, 4000), st.integers(-300, 2500))),
    "sparse": interval_sets(timed(st.integers(0, 300_000), st.integers(-2000, 8000))),
    "grid_of_equal_starts_and_margin_steps": interval_sets(
        timed(
            st.sampled_from(range(0, 6001, 250)),
            st.sampled_from([-1000, -1, 0, 1, 250, 999, 1000, 1001, 2500]),
        )
    ),
    "extreme_times": interval_sets(free_timed(EXTREME_TIMES)),
    "subtitle_tracks": subtitle_tracks(),
}

DIFFERENTIAL = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
ROADS = settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("strategy", list(STRATEGIES), ids=list(STRATEGIES))
def test_results_agree_with_the_model(strategy):
    @DIFFERENTIAL
    @given(STRATEGIES[strategy])
    def check(sets):
        set_a, set_b = sets
        assert_same_result(find_intersections(set_a, set_b), pairing_model.pair(set_a, set_b))

    check()


class PlainMapping(Mapping):
    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class SubscriptOnly:
    """Not a Mapping: only supports item lookup."""

    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]


class StrWithOwnEncode(str):
    def encode(self, encoding="utf-8", errors="strict"):
        return str.encode(self, encoding, errors)


@DIFFERENTIAL
@given(STRATEGIES["dense"], st.data())
def test_subscriptable_elements_and_integer_like_values_read_like_dicts(sets, data):
    """Elements of other kinds, int subclasses, floats, str subclasses and dicts with their keys in
    another order, extra keys or keys equal to the field names give the same result."""
    set_a, set_b = sets

    def disguise(item):
        start = item["start"]
        start_value = data.draw(st.sampled_from([start, float(start) + 0.5 * (1 if start >= 0 else -1), IntLike(start)]))
        fields = dict(item, start=start_value, text=StrWithOwnEncode(item["text"]))
        return data.draw(st.sampled_from([PlainMapping, SubscriptOnly, dict]))(fields)

    def reshape(item):
        # Plain dicts of exact values, but not with exactly the field names in field order.
        shapes = [
            lambda fields: dict(reversed(list(fields.items()))),
            lambda fields: {**fields, "extra": None},
            lambda fields: {"".join(list(key)): value for key, value in fields.items()},  # equal, not the same keys
        ]
        return data.draw(st.sampled_from(shapes))(item)

    def either(item):
        return data.draw(st.sampled_from([disguise, reshape]))(item)

    assert_same_result(
        find_intersections([either(item) for item in set_a], [either(item) for item in set_b]),
        pairing_model.pair(set_a, set_b),
    )


# ---------------------------------------------------------------------------------------------
# The module's own dictionary functions versus the same functions called through Python


def call_match_to_dict(match):
    return ORIGINAL_MATCH_TO_DICT(match)


def call_interval_to_dict(interval):
    return ORIGINAL_INTERVAL_TO_DICT(interval)


WRAPPED_ROADS = {
    "match_to_dict_wrapped": {"match_to_dict": call_match_to_dict},
    "interval_to_dict_wrapped": {"interval_to_dict": call_interval_to_dict},
    "both_wrapped": {"match_to_dict": call_match_to_dict, "interval_to_dict": call_interval_to_dict},
}


@contextlib.contextmanager
def road(replacements):
    with contextlib.ExitStack() as stack:
        for name, value in replacements.items():
            stack.enter_context(rebound(name, value))
        yield


@pytest.mark.parametrize("road_name", list(WRAPPED_ROADS), ids=list(WRAPPED_ROADS))
def test_wrapped_dictionary_functions_give_identical_results(road_name):
    @ROADS
    @given(st.one_of(STRATEGIES["dense"], STRATEGIES["subtitle_tracks"], STRATEGIES["extreme_times"]))
    def check(sets):
        set_a, set_b = sets
        direct = find_intersections(set_a, set_b)
        with road(WRAPPED_ROADS[road_name]):
            wrapped = find_intersections(set_a, set_b)
        assert_same_result(wrapped, direct)

    check()


class EncodesTo:
    """A text value whose encode returns fixed bytes (or whatever it is given)."""

    def __init__(self, encoded):
        self.encoded = encoded
        self.calls = []

    def encode(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.encoded


INVALID_UTF8_CASES = {
    "text_of_first_set": (
        [iv(0, 1000, EncodesTo(b"\xff"), "ok")],
        [iv(0, 1000, "x", "y")],
        b"\xff",
    ),
    "original_of_second_set": (
        [iv(0, 1000, "x", "y")],
        [iv(0, 1000, "x", EncodesTo(b"ok\xfe"))],
        b"ok\xfe",
    ),
    # Both texts invalid: "text" is decoded first and is the one reported.
    "text_reported_before_original": (
        [iv(0, 1000, EncodesTo(b"\xc3"), EncodesTo(b"\xff"))],
        [iv(0, 1000, "x", "y")],
        b"\xc3",
    ),
    # The failing interval is in the second group, after a group that converted fine.
    "second_group": (
        [iv(0, 1000, "a", "b"), iv(50000, 51000, "c", "d")],
        [iv(0, 1000, "x", "y"), iv(50000, 51000, EncodesTo(b"\xed\xa0\x80"), "z")],
        b"\xed\xa0\x80",
    ),
}


def raised_by(action):
    with pytest.raises(Exception) as info:
        action()
    return info.value


@pytest.mark.parametrize("case", list(INVALID_UTF8_CASES), ids=list(INVALID_UTF8_CASES))
@pytest.mark.parametrize("road_name", [None, *WRAPPED_ROADS], ids=["own_functions", *WRAPPED_ROADS])
def test_invalid_utf8_in_result_fails_the_same_way_on_every_road(case, road_name):
    set_a, set_b, bad_bytes = INVALID_UTF8_CASES[case]
    direct = raised_by(lambda: find_intersections(set_a, set_b))
    assert type(direct) is UnicodeDecodeError
    assert direct.object == bad_bytes
    assert direct.__context__ is None
    assert entry_names(direct) == [ENTRY, MATCH_ENTRY, INTERVAL_ENTRY]
    for _, filename in module_entries(direct):
        assert_module_file(filename)
    if road_name is None:
        return
    with road(WRAPPED_ROADS[road_name]):
        wrapped = raised_by(lambda: find_intersections(set_a, set_b))
    assert type(wrapped) is UnicodeDecodeError
    assert wrapped.args == direct.args
    assert wrapped.__context__ is None
    assert module_entries(wrapped) == module_entries(direct)


# ---------------------------------------------------------------------------------------------
# Results are new objects; inputs stay as they were


def test_results_are_new_objects_and_inputs_are_unchanged():
    set_a = labelled("a", [(0, 10000), (5500, 7000)])
    set_b = labelled("b", [(0, 100), (5000, 20000), (6000, 6100)])
    set_a[0]["extra"] = ["kept"]
    before_a, before_b = copy.deepcopy(set_a), copy.deepcopy(set_b)
    elements = [*set_a, *set_b]
    key_orders = [list(item) for item in elements]

    first = find_intersections(set_a, set_b)
    second = find_intersections(set_a, set_b)

    assert first == second and first is not second
    assert set_a == before_a and set_b == before_b
    assert [*set_a, *set_b] == elements and all(x is y for x, y in zip([*set_a, *set_b], elements))
    assert [list(item) for item in elements] == key_orders
    inputs = {id(item) for item in elements}
    seen = set()
    for match_a, match_b in zip(first, second):
        assert match_a is not match_b
        assert type(match_a) is dict and list(match_a) == MATCH_KEYS
        for side in ("original", "reference"):
            assert type(match_a[side]) is list and match_a[side] is not match_b[side]
            for interval in match_a[side]:
                assert type(interval) is dict and list(interval) == INTERVAL_KEYS
                assert id(interval) not in inputs and id(interval) not in seen
                seen.add(id(interval))
    assert first[0]["original"][0] == {k: v for k, v in set_a[0].items() if k != "extra"}


def test_result_values_have_exact_types_whatever_the_input_types():
    class IntSub(int):
        pass

    class StrSub(str):
        pass

    set_a = [iv(IntSub(0), True, StrSub("t"), StrSub("o"), IntSub(7))]
    set_b = [iv(0.9, 2.5, "x", "y", False)]
    [match] = find_intersections(set_a, set_b)
    assert match == {
        "start": 0,
        "end": 2,
        "original": [iv(0, 1, "t", "o", 7)],
        "reference": [iv(0, 2, "x", "y", 0)],
    }
    values = [match["start"], match["end"]]
    for interval in match["original"] + match["reference"]:
        values += interval.values()
    assert [type(v) for v in values] == [int, int] + [int, int, str, str, int] * 2


# ---------------------------------------------------------------------------------------------
# Reading of the elements


@pytest.mark.parametrize("missing", INTERVAL_KEYS)
@pytest.mark.parametrize("in_set", ["a", "b"])
def test_key_missing_from_a_dict_raises_key_error_carrying_the_key(missing, in_set):
    element = iv(0, 100)
    del element[missing]
    sets = {"a": [iv(0, 100)], "b": [iv(0, 100)]}
    sets[in_set].append(element)
    error = raised_by(lambda: find_intersections(sets["a"], sets["b"]))
    assert type(error) is KeyError
    assert error.args == (missing,)
    assert entry_names(error) == [ENTRY]


def test_first_missing_key_in_read_order_is_reported():
    element = {"text": "t", "original": "o", "end": 5}
    error = raised_by(lambda: find_intersections([element], []))
    assert type(error) is KeyError and error.args == ("start",)


def test_further_keys_are_ignored_and_missing_dict_subclass_key_uses_missing_hook():
    class WithDefaults(dict):
        def __missing__(self, key):
            return {"text": "dflt", "original": "", "nl": 42}[key]

    class Doubling(dict):
        def __getitem__(self, key):
            value = dict.__getitem__(self, key)
            return value * 2 if key in ("start", "end") else value

    set_a = [WithDefaults(start=0, end=100), iv(40000, 40100, "x", "y", 1, extra=object(), more=None)]
    set_b = [iv(0, 100), Doubling(iv(20000, 20050, "d", "e", 2))]
    expected = pairing_model.pair(
        [iv(0, 100, "dflt", "", 42), iv(40000, 40100, "x", "y", 1)],
        [iv(0, 100), iv(40000, 40100, "d", "e", 2)],
    )
    assert len(expected) == 2
    assert_same_result(find_intersections(set_a, set_b), expected)


class Raising:
    """A subscriptable element whose lookup of one key raises a given exception."""

    def __init__(self, key, error):
        self.key = key
        self.error = error

    def __getitem__(self, key):
        if key == self.key:
            raise self.error
        return iv(0, 100)[key]


class IntLike:
    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __int__(self):
        if self.action is not None:
            action, self.action = self.action, None
            action()
        return self.value


class IntRaising:
    def __init__(self, error):
        self.error = error

    def __int__(self):
        raise self.error


class EncodeRaising:
    def __init__(self, error):
        self.error = error

    def encode(self, *args):
        raise self.error


def own_error_cases():
    return {
        "subscription_of_end": lambda e: Raising("end", e),
        "subscription_of_nl": lambda e: Raising("nl", e),
        "mapping_subscription_of_text": lambda e: PlainRaisingMapping("text", e),
        "int_conversion_error": lambda e: iv(IntRaising(e), 100),
        "encode_error": lambda e: iv(0, 100, "t", EncodeRaising(e)),
    }


class PlainRaisingMapping(PlainMapping):
    def __init__(self, key, error):
        super().__init__(iv(0, 100))
        self.key = key
        self.error = error

    def __getitem__(self, key):
        if key == self.key:
            raise self.error
        return super().__getitem__(key)


@pytest.mark.parametrize("case", list(own_error_cases()))
@pytest.mark.parametrize(
    "error_type", [IndexError, KeyError, ZeroDivisionError, LookupError, RuntimeError], ids=lambda t: t.__name__
)
def test_element_callbacks_errors_pass_through_unchanged(case, error_type):
    error = error_type("own message")
    element = own_error_cases()[case](error)
    caught = raised_by(lambda: find_intersections([iv(0, 100), element], [iv(0, 100)]))
    assert caught is error
    assert caught.args == ("own message",)
    assert entry_names(caught) == [ENTRY]


@pytest.mark.parametrize(
    "element",
    [5, None, "text", b"bytes", [1, 2], 3.5, object()],
    ids=["int", "None", "str", "bytes", "list", "float", "object"],
)
def test_elements_that_cannot_be_subscripted_by_key_fail_like_python_subscription(element):
    with pytest.raises(Exception) as expected:
        element["start"]
    error = raised_by(lambda: find_intersections([iv(0, 10)], [iv(0, 10), element]))
    assert type(error) is type(expected.value)
    assert str(error) == str(expected.value)
    assert entry_names(error) == [ENTRY]


class StrOverridingEncode(str):
    def encode(self, *args, **kwargs):
        return b"overridden:" + str.encode(self, *args, **kwargs)


class BytesSub(bytes):
    pass


class BytearraySub(bytearray):
    pass


TEXT_READINGS = {
    "plain_ascii": ("hello", "hello"),
    "non_ascii": ("café ☕ 日本 😀", "café ☕ 日本 😀"),
    "nul_characters": ("a\x00b\x00", "a\x00b\x00"),
    "empty": ("", ""),
    "str_subclass_own_encode_honoured": (StrOverridingEncode("x"), "overridden:x"),
    "str_subclass_default_encode": (StrWithOwnEncode("é"), "é"),
    "object_encode_returning_bytes": (lambda: EncodesTo(b"from bytes"), "from bytes"),
    "encode_returning_bytearray": (lambda: EncodesTo(bytearray(b"from bytearray")), "from bytearray"),
    "encode_returning_bytes_subclass": (lambda: EncodesTo(BytesSub(b"sub")), "sub"),
    "encode_returning_bytearray_subclass": (lambda: EncodesTo(BytearraySub(b"subarray\x00")), "subarray\x00"),
}


@pytest.mark.parametrize("field", ["text", "original"])
@pytest.mark.parametrize("case", list(TEXT_READINGS))
def test_texts_are_read_through_the_values_own_encode(field, case):
    value, expected = TEXT_READINGS[case]
    value = value() if callable(value) else value
    element = iv(0, 100, **{field: value}) if field == "text" else iv(0, 100, original=value)
    [match] = find_intersections([element], [iv(0, 100)])
    assert match["original"][0][field] == expected
    assert type(match["original"][0][field]) is str
    if isinstance(value, EncodesTo):
        assert value.calls == [(("utf-8",), {})]


def test_encode_is_called_once_per_text_with_utf8():
    text, original = EncodesTo(b"t"), EncodesTo(b"o")
    find_intersections([], [iv(0, 1, text, original)])
    assert text.calls == [(("utf-8",), {})] and original.calls == [(("utf-8",), {})]


# (value, exception, whether the bytes conversion of the encode result adds an entry)
TEXT_FAILURES = {
    "bytes_value": (b"raw", AttributeError, False),
    "bytearray_value": (bytearray(b"raw"), AttributeError, False),
    "int_value": (5, AttributeError, False),
    "none_value": (None, AttributeError, False),
    "lone_surrogate": ("a\ud800b", UnicodeEncodeError, False),
    "lone_surrogate_in_str_subclass": (StrWithOwnEncode("\udfff"), UnicodeEncodeError, False),
    "encode_returning_str": (EncodesTo("not bytes"), TypeError, True),
    "encode_returning_int": (EncodesTo(7), TypeError, True),
    "encode_returning_memoryview": (EncodesTo(memoryview(b"x")), TypeError, True),
}


@pytest.mark.parametrize("field", ["text", "original"])
@pytest.mark.parametrize("case", list(TEXT_FAILURES))
def test_text_values_that_do_not_encode_to_bytes_fail(field, case):
    value, error_type, conversion_entry = TEXT_FAILURES[case]
    element = iv(0, 100)
    element[field] = value
    error = raised_by(lambda: find_intersections([iv(0, 100)], [element]))
    assert type(error) is error_type
    entries = module_entries(error)
    assert [name for name, _ in entries][0] == ENTRY
    assert_module_file(entries[0][1])
    if conversion_entry:
        # The bytes conversion of the encode result adds an entry of its own, innermost.
        assert len(entries) == 2 and entries[1][1] == CONVERSION_FILE
    else:
        assert len(entries) == 1


def test_encode_returning_str_is_reported_by_the_bytes_conversion():
    error = raised_by(lambda: find_intersections([iv(0, 1, EncodesTo("str"))], []))
    assert type(error) is TypeError
    assert str(error) == "expected bytes, str found"


INTEGER_READINGS = {
    "float_truncated": (3.9, 3),
    "negative_float_truncated_toward_zero": (-3.9, -3),
    "true": (True, 1),
    "false": (False, 0),
    "int_like_object": (IntLike(12), 12),
    "int32_max": (INT32_MAX, INT32_MAX),
    "int32_min": (INT32_MIN, INT32_MIN),
}


@pytest.mark.parametrize("field", ["start", "end", "nl"])
@pytest.mark.parametrize("case", list(INTEGER_READINGS))
def test_integer_fields_are_converted_to_32_bit_values(field, case):
    value, expected = INTEGER_READINGS[case]
    element = iv(0, 10, nl=5)
    element[field] = value
    # A second-set record spanning everything nests with any first-set record.
    [match] = find_intersections([element], [iv(INT32_MIN, INT32_MAX)])
    read = match["original"][0]
    assert read[field] == expected and type(read[field]) is int


INTEGER_FAILURES = {
    "above_int32": (2**31, OverflowError, None),
    "below_int32": (-(2**31) - 1, OverflowError, None),
    "huge": (10**30, OverflowError, None),
    "digit_string": ("5", TypeError, "an integer is required"),
    "none": (None, TypeError, "an integer is required"),
    "list": ([1], TypeError, "an integer is required"),
    "int_returning_float": (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
    "int_returning_too_big": (IntLike(2**40), OverflowError, None),
}


@pytest.mark.parametrize("field", ["start", "end", "nl"])
@pytest.mark.parametrize("case", list(INTEGER_FAILURES))
def test_integer_fields_outside_32_bits_or_not_integers_fail(field, case):
    value, error_type, message = INTEGER_FAILURES[case]
    element = iv(0, 10)
    element[field] = value
    error = raised_by(lambda: find_intersections([element], []))
    assert type(error) is error_type
    if message is not None:
        assert str(error) == message
    assert entry_names(error) == [ENTRY]


# ---------------------------------------------------------------------------------------------
# Argument checks and the order of reading


def test_each_first_failure_ends_the_call_before_later_fields_and_elements():
    later = EncodesTo(b"never")
    error = raised_by(
        lambda: find_intersections([iv(0, 1, "t", later), iv("bad", 1), iv(0, 1, later)], [iv(0, 1, later)])
    )
    assert type(error) is TypeError and str(error) == "an integer is required"
    assert later.calls == [(("utf-8",), {})]  # the first element only


def test_none_second_set_is_refused_only_after_the_whole_first_set_is_read():
    texts = [EncodesTo(b"t") for _ in range(3)]
    error = raised_by(lambda: find_intersections([iv(k, k + 1, texts[k]) for k in range(3)], None))
    assert type(error) is TypeError and str(error) == "'NoneType' object is not iterable"
    assert entry_names(error) == [ENTRY]
    assert all(text.calls for text in texts)


def test_bad_first_set_element_is_reported_even_when_second_set_is_none():
    error = raised_by(lambda: find_intersections([iv(0, 1), iv(0, 1, b"bytes")], None))
    assert type(error) is AttributeError
    assert entry_names(error) == [ENTRY]


def test_none_first_set_is_refused_before_the_second_set_is_read():
    spy = EncodesTo(b"t")
    error = raised_by(lambda: find_intersections(None, [iv(0, 1, spy)]))
    assert type(error) is TypeError and str(error) == "'NoneType' object is not iterable"
    assert entry_names(error) == [ENTRY]
    assert spy.calls == []


@pytest.mark.parametrize("arguments", [([], None), (None, None), (None, [])], ids=["second", "both", "first"])
def test_none_arguments_fail_in_the_body(arguments):
    error = raised_by(lambda: find_intersections(*arguments))
    assert type(error) is TypeError and str(error) == "'NoneType' object is not iterable"
    assert entry_names(error) == [ENTRY]
    assert_module_file(module_entries(error)[0][1])


class ListSubclass(list):
    pass


LIST_TEST_FAILURES = {
    "tuple_first": (((), []), "set_a_dicts", "tuple"),
    "tuple_second": (([], ()), "set_b_dicts", "tuple"),
    "list_subclass_first": ((ListSubclass(), []), "set_a_dicts", "ListSubclass"),
    "list_subclass_second": (([], ListSubclass([iv(0, 1)])), "set_b_dicts", "ListSubclass"),
    "both_bad_first_reported": (((), {}), "set_a_dicts", "tuple"),
    "none_then_tuple": ((None, (iv(0, 1),)), "set_b_dicts", "tuple"),
    "dict": (({}, []), "set_a_dicts", "dict"),
    "generator": (((x for x in []), []), "set_a_dicts", "generator"),
    "str": (("abc", None), "set_a_dicts", "str"),
}


@pytest.mark.parametrize("case", list(LIST_TEST_FAILURES))
def test_arguments_other_than_exact_lists_or_none_are_refused(case):
    arguments, parameter, type_name = LIST_TEST_FAILURES[case]
    error = raised_by(lambda: find_intersections(*arguments))
    assert type(error) is TypeError
    assert str(error) == f"Argument '{parameter}' has incorrect type (expected list, got {type_name})"
    assert module_entries(error) == []


def test_refused_argument_is_not_read():
    spy = EncodesTo(b"t")
    raised_by(lambda: find_intersections([iv(0, 1, spy)], ()))
    assert spy.calls == []


BINDING_FAILURES = {
    "three_positional": (([], [], []), {}, "find_intersections() takes exactly 2 positional arguments (3 given)"),
    "one_positional": (([],), {}, "find_intersections() takes exactly 2 positional arguments (1 given)"),
    "none_given": ((), {}, "find_intersections() takes exactly 2 positional arguments (0 given)"),
    "second_missing_with_keywords": (
        ([],),
        {"set_a_dicts": []},
        "find_intersections() takes exactly 2 positional arguments (1 given)",
    ),
    "first_missing_with_keywords": (
        (),
        {"set_b_dicts": []},
        "find_intersections() takes exactly 2 positional arguments (0 given)",
    ),
    "repeated_by_keyword": (
        ([],),
        {"set_b_dicts": [], "set_a_dicts": []},
        "find_intersections() got multiple values for keyword argument 'set_a_dicts'",
    ),
    "unexpected_keyword": (
        ([], []),
        {"set_c_dicts": []},
        "find_intersections() got an unexpected keyword argument 'set_c_dicts'",
    ),
}


@pytest.mark.parametrize("case", list(BINDING_FAILURES))
def test_argument_binding_failures(case):
    args, kwargs, message = BINDING_FAILURES[case]
    error = raised_by(lambda: find_intersections(*args, **kwargs))
    assert type(error) is TypeError and str(error) == message
    assert entry_names(error) == [ENTRY]


@pytest.mark.parametrize(
    "call",
    [
        lambda a, b: find_intersections(set_a_dicts=a, set_b_dicts=b),
        lambda a, b: find_intersections(set_b_dicts=b, set_a_dicts=a),
        lambda a, b: find_intersections(a, set_b_dicts=b),
    ],
    ids=["keywords_in_order", "keywords_reversed", "positional_then_keyword"],
)
def test_arguments_bind_by_keyword_in_either_order(call):
    set_a = labelled("a", [(100, 2000)])
    set_b = labelled("b", [(150, 1900), (60000, 61000)])
    assert_same_result(call(set_a, set_b), pairing_model.pair(set_a, set_b))
    assert call(set_a, []) == [] and call([], set_b) == []


# ---------------------------------------------------------------------------------------------
# Callbacks that change the lists while they are read


def plain(element):
    """The element as a plain dict of plain values, as the pairing reads it."""
    return {key: (int(v) if key in ("start", "end", "nl") else v) for key, v in element.items()}


class HookMapping(SubscriptOnly):
    """Runs an action once, when `key` is looked up."""

    def __init__(self, data, key, action):
        super().__init__(data)
        self.hook_key = key
        self.action = action

    def __getitem__(self, key):
        if key == self.hook_key and self.action is not None:
            action, self.action = self.action, None
            action()
        return super().__getitem__(key)


class HookText(str):
    """A str whose encode runs an action once."""

    def __new__(cls, value, action):
        self = super().__new__(cls, value)
        self.action = action
        return self

    def encode(self, *args, **kwargs):
        if self.action is not None:
            action, self.action = self.action, None
            action()
        return str.encode(self, *args, **kwargs)


HOOKS = {
    "int_conversion": lambda fields, action: dict(fields, start=IntLike(fields["start"], action)),
    "subscription": lambda fields, action: HookMapping(fields, "end", action),
    "encode": lambda fields, action: dict(fields, original=HookText(fields["original"], action)),
    "int_conversion_of_nl": lambda fields, action: dict(fields, nl=IntLike(fields["nl"], action)),
}

# Every first-set record pairs with the second-set record of the same start, so which records
# were read shows in the result.
SPANS = [(0, 1000), (10000, 11000), (20000, 21000), (30000, 31000)]


def first_set_record(k):
    return iv(*SPANS[k], f"a{k}", f"A{k}", k)


def second_set():
    return [iv(s + 100, e - 100, f"b{k}", f"B{k}", k) for k, (s, e) in enumerate(SPANS)]


def mutation_cases():
    """(set_a, set_b, records the call is expected to read into the two sets)."""

    def clear_own_list(hook):
        set_a = [None, first_set_record(1), "never read"]
        set_a[0] = HOOKS[hook](first_set_record(0), set_a.clear)
        return set_a, second_set(), [plain(first_set_record(0))], second_set()

    def extend_own_list(hook):
        set_a = [None, first_set_record(1)]
        set_a[0] = HOOKS[hook](first_set_record(0), lambda: set_a.extend([first_set_record(2), first_set_record(3)]))
        return set_a, second_set(), [plain(first_set_record(k)) for k in range(4)], second_set()

    def delete_current_item(hook):
        # The element being read is removed; the walk's next position then holds the element
        # that came two places after it, so the one right after it is skipped.
        set_a = [first_set_record(0), None, first_set_record(2), first_set_record(3)]
        set_a[1] = HOOKS[hook](first_set_record(1), lambda: set_a.pop(1))
        expected = [plain(first_set_record(k)) for k in (0, 1, 3)]
        return set_a, second_set(), expected, second_set()

    def replace_all_items(hook):
        set_a = [None, first_set_record(1)]
        replacement = [first_set_record(2), first_set_record(3), first_set_record(1)]
        set_a[0] = HOOKS[hook](first_set_record(0), lambda: set_a.__setitem__(slice(None), replacement))
        expected = [plain(first_set_record(k)) for k in (0, 3, 1)]
        return set_a, second_set(), expected, second_set()

    def clear_second_set_while_first_is_read(hook):
        set_b = second_set()
        set_a = [HOOKS[hook](first_set_record(0), set_b.clear), first_set_record(1)]
        return set_a, set_b, [plain(first_set_record(0)), plain(first_set_record(1))], []

    def grow_second_set_while_it_is_read(hook):
        set_b = second_set()[:1]
        set_b[0] = HOOKS[hook](second_set()[0], lambda: set_b.extend(second_set()[1:]))
        set_a = [first_set_record(k) for k in range(4)]
        return set_a, set_b, [plain(x) for x in set_a], [plain(x) for x in second_set()]

    def clear_second_set_while_it_is_read(hook):
        set_b = second_set()
        set_b[1] = HOOKS[hook](second_set()[1], set_b.clear)
        set_a = [first_set_record(k) for k in range(4)]
        return set_a, set_b, [plain(x) for x in set_a], [plain(x) for x in second_set()[:2]]

    return {
        "clear_own_list": clear_own_list,
        "extend_own_list": extend_own_list,
        "delete_current_item": delete_current_item,
        "replace_all_items": replace_all_items,
        "clear_second_set_while_first_is_read": clear_second_set_while_first_is_read,
        "grow_second_set_while_it_is_read": grow_second_set_while_it_is_read,
        "clear_second_set_while_it_is_read": clear_second_set_while_it_is_read,
    }


@pytest.mark.parametrize("hook", list(HOOKS))
@pytest.mark.parametrize("case", list(mutation_cases()))
def test_lists_changed_by_callbacks_are_walked_by_index_with_fresh_length(case, hook):
    set_a, set_b, read_a, read_b = mutation_cases()[case](hook)
    expected = pairing_model.pair(read_a, read_b)
    assert_same_result(find_intersections(set_a, set_b), expected)


def test_list_extended_with_a_non_subscriptable_fails_on_the_new_element():
    set_a = [None]
    set_a[0] = iv(IntLike(0, lambda: set_a.extend([42])), 10)
    error = raised_by(lambda: find_intersections(set_a, []))
    assert type(error) is TypeError and "not subscriptable" in str(error)
    assert entry_names(error) == [ENTRY]


def test_element_dropping_its_last_reference_while_read_is_still_read_whole():
    set_a = [None]

    class SelfRemoving(SubscriptOnly):
        def __getitem__(self, key):
            if key == "start":
                set_a.clear()  # the list held the only other reference
            return super().__getitem__(key)

    set_a[0] = SelfRemoving(iv(0, 1000, "gone", "still here", 3))
    [match] = find_intersections(set_a, [iv(0, 1000)])
    assert match["original"] == [iv(0, 1000, "gone", "still here", 3)]
