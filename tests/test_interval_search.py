"""The interval index behind PyIntervalSearch, and the PyIntervalSearch type itself.

Queries are checked against the pure-Python model in models/index.py: records sorted by start
(stably), a window widened by the margin on both sides, a scan from the first start at or above
the window's low bound that stops at the first start above its high bound, and the half-length
overlap test, all in exact arithmetic.

Tests in this process rely on the default margin of 1000; other margins run in subprocesses with
PAIR_MARGIN set, since the margin is read once when the native code is loaded.
"""

import builtins
import copy
import functools
import gc
import json
import os
import pickle
import random
import subprocess
import sys
import textwrap
import weakref
from contextlib import contextmanager

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from models import index as index_model
from margin_setting import needs_default_margin

from c_quorvel import tandril
from c_quorvel.tandril import PyIntervalSearch

pytestmark = pytest.mark.skipif(**needs_default_margin)

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
MARGIN = 1000

CINIT = "c_quorvel.tandril.PyIntervalSearch.__cinit__"
FIND = "c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals"
TO_DICT = "c_quorvel.tandril.interval_to_dict"
REDUCE = "c_quorvel.tandril.PyIntervalSearch.__reduce_cython__"
SETSTATE = "c_quorvel.tandril.PyIntervalSearch.__setstate_cython__"
# The module's source file as traceback entries name it: two backslashes between components.
SOURCE_PREFIX = "modules" + "\\" * 2 + "tandril" + "\\" * 2 + "tandril."
STRINGSOURCE = "<stringsource>"
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"
NOT_ITERABLE = "'NoneType' object is not iterable"
KEYS = ["start", "end", "text", "original", "nl"]

ORIGINAL_INTERVAL_TO_DICT = tandril.interval_to_dict

QUICK = settings(
    max_examples=120,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


# ---------------------------------------------------------------------------------------------
# Helpers


def record(start, end, text="", original="", nl=0):
    """An interval in the input form (texts as str)."""
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def numbered(spans):
    """Input-form records for (start, end) pairs, each with its own text and nl."""
    return [record(start, end, f"r{position}", f"o{position}", position) for position, (start, end) in enumerate(spans)]


def texts_of(results):
    return [result["text"] for result in results]


def traceback_entries(error):
    """(function name, file name, line) of every traceback entry, outermost first."""
    entries = []
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def module_entries(error):
    """The traceback entries that the module added, outermost first."""
    return [entry for entry in traceback_entries(error) if entry[0].startswith("c_quorvel.tandril.")]


def module_entry_names(error):
    return [name for name, _, _ in module_entries(error)]


@pytest.fixture(autouse=True)
def restore_module_functions():
    """Every test leaves the module's interval_to_dict, and the builtins, as it found them."""
    had_builtin = hasattr(builtins, "interval_to_dict")
    yield
    tandril.interval_to_dict = ORIGINAL_INTERVAL_TO_DICT
    if not had_builtin and hasattr(builtins, "interval_to_dict"):
        del builtins.interval_to_dict


@contextmanager
def converter(replacement):
    """Rebinds the module attribute interval_to_dict for the duration of the block."""
    tandril.interval_to_dict = replacement
    try:
        yield
    finally:
        tandril.interval_to_dict = ORIGINAL_INTERVAL_TO_DICT


def run_python(script, *, margin, stdin_text="", timeout=120):
    """Runs `script` in a fresh interpreter with PAIR_MARGIN set to `margin`; returns its stdout."""
    environment = dict(os.environ)
    environment["PAIR_MARGIN"] = margin
    completed = subprocess.run(
        [sys.executable, "-c", script],
        input=stdin_text,
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


QUERY_SCRIPT = textwrap.dedent(
    """
    import json, sys
    from c_quorvel.tandril import PyIntervalSearch
    results = []
    for records, queries in json.load(sys.stdin):
        index = PyIntervalSearch(records)
        results.append([index.find_overlapping_intervals(start_q, end_q) for start_q, end_q in queries])
    json.dump(results, sys.stdout)
    """
)


def query_in_subprocess(margin, cases):
    """Builds one index per case in a subprocess with the given margin and runs its queries."""
    return json.loads(run_python(QUERY_SCRIPT, margin=margin, stdin_text=json.dumps(cases)))


class RawText:
    """A text value whose encode returns fixed bytes, recording how it was called."""

    def __init__(self, raw):
        self.raw = raw
        self.calls = []

    def encode(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.raw


# ---------------------------------------------------------------------------------------------
# Query semantics with the default margin


def test_worked_example_reports_records_by_own_and_query_half_length():
    index = PyIntervalSearch(numbered([(3900, 6000), (4000, 4100), (5500, 9000), (6900, 20000), (7001, 7002)]))
    assert index.find_overlapping_intervals(5000, 6000) == [
        record(4000, 4100, "r1", "o1", 1),
        record(5500, 9000, "r2", "o2", 2),
    ]


QUERY_CASES = [
    # name, records given in ascending order of start, (start_q, end_q), positions reported
    ("empty query length accepts every scanned record",
     [(3999, 10000), (4000, 100000), (6000, 9000), (6001, 6001)], (5000, 5000), [1, 2]),
    ("reversed query with lo equal to hi",
     [(5999, 6000), (6000, 6000), (6000, 90000), (6001, 6001)], (7000, 5000), [1, 2]),
    ("reversed query wider than twice the margin is empty",
     [(5999, 6000), (6000, 6000), (6000, 90000), (6001, 6001)], (7001, 5000), []),
    ("zero-length and reversed records are accepted when scanned",
     [(4500, 4500), (4600, 4400), (6900, 6900), (7000, 6000), (7000, 7000)], (5000, 6000), [0, 1, 2, 3, 4]),
    ("start at lo is included, just below lo is not",
     [(3999, 4001), (4000, 4001)], (5000, 6000), [1]),
    ("start at hi is scanned with overlap zero",
     [(7000, 7000), (7000, 7001), (7000, 6999)], (5000, 6000), [0, 2]),
    ("start at hi with an empty query is accepted",
     [(7000, 7001), (7000, 90000), (7001, 7001)], (6000, 6000), [0, 1]),
    ("record reaching into the window from below lo is never reported",
     [(3000, 5500), (3999, 100000)], (5000, 6000), []),
    ("scan stops above hi",
     [(7001, 7002), (7001, 7001)], (5000, 6000), []),
    ("equal starts are each judged and kept in given order",
     [(8600, 8700), (8600, 30000), (8600, 8600), (8600, 8700)], (5000, 8000), [0, 2, 3]),
    ("odd own length needs overlap of at least half, rounded up",
     [(6997, 7002), (6998, 7003), (6998, 7002)], (5000, 6000), [0, 2]),
    ("own half length equal to the overlap accepts",
     [(8000, 10000), (8001, 10001)], (5000, 8000), [0]),
    ("odd query length needs overlap of at least its half",
     [(6002, 100000), (6003, 100000)], (5000, 5005), [0]),
    ("query half length equal to the overlap accepts",
     [(6002, 100000), (6003, 100000)], (5000, 5004), [0]),
    ("query test uses the query's length without the margin",
     [(6500, 100000), (6501, 100000)], (5000, 6000), [0]),
    ("top of the range: hi beyond the largest 32-bit value",
     [(INT32_MAX - 1001, INT32_MAX), (INT32_MAX - 1000, INT32_MAX), (INT32_MAX, INT32_MAX)],
     (INT32_MAX, INT32_MAX), [1, 2]),
    ("bottom of the range: lo below the smallest 32-bit value",
     [(INT32_MIN, INT32_MIN), (INT32_MIN, INT32_MAX), (INT32_MIN + 1000, 0), (INT32_MIN + 1001, 0)],
     (INT32_MIN, INT32_MIN), [0, 1, 2]),
    ("own length beyond 32 bits is not wrapped",
     [(INT32_MIN, INT32_MAX), (-(2**29), INT32_MAX), (-(2**29), 1000)], (INT32_MIN + 1000, 0), [0, 2]),
    ("query length beyond 32 bits is not wrapped",
     [(-1_500_001_000, INT32_MAX), (1_000_000_000, 1_000_000_010), (1_000_000_000, INT32_MAX)],
     (-1_500_000_000, 1_500_000_000), [0, 1]),
    ("whole 32-bit range as the query",
     [(INT32_MIN, INT32_MIN), (INT32_MIN, INT32_MAX), (0, 10), (INT32_MAX, INT32_MIN), (INT32_MAX, INT32_MAX)],
     (INT32_MIN, INT32_MAX), [0, 1, 2, 3, 4]),
    ("whole 32-bit range reversed as the query is empty",
     [(INT32_MIN, INT32_MIN), (0, 10), (INT32_MAX, INT32_MAX)], (INT32_MAX, INT32_MIN), []),
]


@pytest.mark.parametrize(
    "spans, query, positions", [case[1:] for case in QUERY_CASES], ids=[case[0] for case in QUERY_CASES]
)
def test_query_reports_exactly_the_qualifying_records(spans, query, positions):
    records = numbered(spans)
    expected = [records[position] for position in positions]
    assert PyIntervalSearch(records).find_overlapping_intervals(*query) == expected
    # The model agrees with the hand-made expectation, so it can stand in for it elsewhere.
    assert index_model.expected_results(records, *query) == expected


@pytest.mark.parametrize(
    "start_q, end_q",
    [(0, 0), (5000, 6000), (6000, 5000), (INT32_MIN, INT32_MAX), (INT32_MAX, INT32_MIN), (INT32_MIN, INT32_MIN)],
)
def test_empty_index_returns_a_new_empty_list_for_every_query(start_q, end_q):
    index = PyIntervalSearch([])
    first = index.find_overlapping_intervals(start_q, end_q)
    second = index.find_overlapping_intervals(start_q, end_q)
    assert first == [] and second == []
    assert type(first) is list and first is not second


def test_identical_records_are_each_reported():
    same = record(5000, 5100, "same", "copy", 7)
    index = PyIntervalSearch([dict(same), dict(same), dict(same)])
    assert index.find_overlapping_intervals(5000, 6000) == [same, same, same]


def test_unsorted_records_are_found_and_reported_in_order_of_start():
    records = [
        record(9000, 9100, "late"),
        record(5000, 5100, "equal-first"),
        record(3000, 3100, "early"),
        record(5000, 5050, "equal-second"),
        record(4500, 4600, "middle"),
        record(6999, 7000, "edge"),
    ]
    results = PyIntervalSearch(records).find_overlapping_intervals(5000, 6000)
    assert texts_of(results) == ["middle", "equal-first", "equal-second", "edge"]


def test_many_unsorted_records_with_equal_starts_keep_their_given_order():
    generator = random.Random(2024)
    starts = [generator.choice([100, 200, 300, 5000]) for _ in range(200)]
    records = [record(start, start + 10, f"r{position}", "", position) for position, start in enumerate(starts)]
    results = PyIntervalSearch(records).find_overlapping_intervals(100, 300)
    expected = sorted((item for item in records if item["start"] <= 1300), key=lambda item: item["start"])
    assert [result["nl"] for result in results] == [item["nl"] for item in expected]


def test_record_with_start_before_a_larger_one_is_not_missed():
    # Given in descending order, the small record sits behind one that starts above hi.
    records = [record(8000, 8100, "far"), record(5000, 5100, "near")]
    assert texts_of(PyIntervalSearch(records).find_overlapping_intervals(5000, 6000)) == ["near"]


def test_query_bounds_accept_keywords():
    index = PyIntervalSearch(numbered([(0, 10)]))
    expected = index.find_overlapping_intervals(0, 10)
    assert expected
    assert index.find_overlapping_intervals(start_q=0, end_q=10) == expected
    assert index.find_overlapping_intervals(end_q=10, start_q=0) == expected
    assert PyIntervalSearch.find_overlapping_intervals(index, 0, end_q=10) == expected


# ---------------------------------------------------------------------------------------------
# The index against the model, on generated inputs

REGIONS = [INT32_MIN, -1_500_000_000, -(2**30), 0, 2**30, 1_500_000_000, INT32_MAX]


def clamp(value):
    return max(INT32_MIN, min(INT32_MAX, value))


@st.composite
def coordinates(draw, region):
    """A 32-bit time, mostly close to the example's region, sometimes anywhere."""
    if draw(st.integers(0, 9)) == 0:
        return draw(st.integers(INT32_MIN, INT32_MAX))
    return clamp(region + draw(st.integers(-4000, 4000)))


TEXTS = st.text(alphabet=st.characters(exclude_categories=("Cs",)), max_size=5)


@st.composite
def interval_records(draw, region):
    start = draw(coordinates(region))
    if draw(st.booleans()):
        end = clamp(start + draw(st.integers(-50, 3000)))
    else:
        end = draw(coordinates(region))
    return record(start, end, draw(TEXTS), draw(TEXTS), draw(st.integers(INT32_MIN, INT32_MAX)))


@st.composite
def queries(draw, region):
    start_q = draw(coordinates(region))
    if draw(st.booleans()):
        end_q = clamp(start_q + draw(st.integers(-2500, 4000)))
    else:
        end_q = draw(coordinates(region))
    return start_q, end_q


@st.composite
def index_inputs(draw):
    region = draw(st.sampled_from(REGIONS))
    records = draw(st.lists(interval_records(region), max_size=25))
    asked = draw(st.lists(queries(region), min_size=1, max_size=6))
    return records, asked


@QUICK
@given(index_inputs())
def test_sorted_input_matches_the_model(inputs):
    records, asked = inputs
    records = sorted(records, key=lambda item: item["start"])
    index = PyIntervalSearch(records)
    for start_q, end_q in asked:
        assert index.find_overlapping_intervals(start_q, end_q) == index_model.expected_results(records, start_q, end_q)


@QUICK
@given(index_inputs())
def test_unsorted_input_matches_the_model(inputs):
    records, asked = inputs
    index = PyIntervalSearch(records)
    for start_q, end_q in asked:
        assert index.find_overlapping_intervals(start_q, end_q) == index_model.expected_results(records, start_q, end_q)


# ---------------------------------------------------------------------------------------------
# Other margins, in subprocesses

NEGATIVE_MARGIN_CASES = [
    # records (ascending), queries, expected positions per query; margin -100
    (
        [(1050, 1150), (1100, 1200), (1200, 1900), (1500, 5000), (1850, 1950), (1900, 1900), (1900, 1950), (1901, 1901)],
        [(1000, 2000), (1000, 1150), (1200, 1200)],
        [[1, 2, 4, 5], [], []],
    ),
    (
        [(1100, 1100), (1100, 1300)],
        [(1000, 1200)],
        [[0]],
    ),
]


def test_negative_margin_narrows_the_window():
    cases = [(numbered(spans), asked) for spans, asked, _ in NEGATIVE_MARGIN_CASES]
    answers = query_in_subprocess("-100", cases)
    for (records, asked), expected_positions, answer in zip(
        cases, [case[2] for case in NEGATIVE_MARGIN_CASES], answers
    ):
        for (start_q, end_q), positions, results in zip(asked, expected_positions, answer):
            expected = [records[position] for position in positions]
            assert results == expected, (start_q, end_q)
            assert index_model.expected_results(records, start_q, end_q, margin=-100) == expected


def test_unsorted_records_are_found_with_margin_zero():
    cases = [
        ([record(5000, 5100, "later"), record(1000, 1100, "earlier")], [(900, 1200)]),
        ([record(1000, 1000, "a"), record(999, 5000, "before"), record(1000, 2000, "b")], [(1000, 1000)]),
    ]
    answers = query_in_subprocess("0", cases)
    assert answers == [[[record(1000, 1100, "earlier")]], [[record(1000, 1000, "a"), record(1000, 2000, "b")]]]


def generated_cases(seed, count):
    """Seeded random indexes (sorted or shuffled) with queries, clustered around one region each."""
    generator = random.Random(seed)
    cases = []
    for _ in range(count):
        region = generator.choice(REGIONS)

        def near():
            if generator.random() < 0.1:
                return generator.randint(INT32_MIN, INT32_MAX)
            return clamp(region + generator.randint(-1500, 1500))

        def span(start, shortest, longest):
            if generator.random() < 0.3:
                return start, near()
            return start, clamp(start + generator.randint(shortest, longest))

        records = [
            record(*span(near(), -30, 800), f"t{position}", "", position)
            for position in range(generator.randint(0, 20))
        ]
        if generator.random() < 0.5:
            generator.shuffle(records)
        else:
            records.sort(key=lambda item: item["start"])
        asked = [span(near(), -300, 900) for _ in range(8)]
        cases.append((records, asked))
    return cases


@pytest.mark.parametrize("margin", [-100, 0, 7, 2**31 - 1, -(2**31)])
def test_other_margins_match_the_model(margin):
    cases = generated_cases(seed=margin, count=60)
    answers = query_in_subprocess(str(margin), cases)
    for (records, asked), answer in zip(cases, answers):
        for (start_q, end_q), results in zip(asked, answer):
            assert results == index_model.expected_results(records, start_q, end_q, margin), (start_q, end_q)


# ---------------------------------------------------------------------------------------------
# Shape of the type


def test_type_names_and_docstring():
    assert PyIntervalSearch.__name__ == "PyIntervalSearch"
    assert PyIntervalSearch.__qualname__ == "PyIntervalSearch"
    assert PyIntervalSearch.__module__ == "c_quorvel.tandril"
    assert PyIntervalSearch.__doc__ is None
    assert PyIntervalSearch.__bases__ == (object,)
    assert tandril.PyIntervalSearch is PyIntervalSearch


@pytest.mark.parametrize(
    "change",
    [
        lambda: setattr(PyIntervalSearch, "extra", 1),
        lambda: setattr(PyIntervalSearch, "find_overlapping_intervals", None),
        lambda: delattr(PyIntervalSearch, "find_overlapping_intervals"),
        lambda: delattr(PyIntervalSearch, "__reduce__"),
        lambda: setattr(PyIntervalSearch, "__reduce__", None),
    ],
    ids=["set new", "set existing", "delete method", "delete reduce", "set reduce"],
)
def test_type_is_immutable(change):
    method = PyIntervalSearch.__dict__["find_overlapping_intervals"]
    reduce = PyIntervalSearch.__dict__["__reduce__"]
    with pytest.raises(TypeError):
        change()
    assert not hasattr(PyIntervalSearch, "extra")
    assert PyIntervalSearch.__dict__["find_overlapping_intervals"] is method
    assert PyIntervalSearch.__dict__["__reduce__"] is reduce


def test_instances_have_no_attribute_dictionary():
    index = PyIntervalSearch([])
    with pytest.raises(AttributeError):
        index.extra = 1
    assert not hasattr(index, "__dict__")


def test_instances_cannot_be_weakly_referenced():
    with pytest.raises(TypeError):
        weakref.ref(PyIntervalSearch([]))


def test_instances_are_not_gc_tracked():
    assert gc.is_tracked(PyIntervalSearch([])) is False
    assert gc.is_tracked(PyIntervalSearch(numbered([(0, 1)]))) is False


def test_default_identity_hash_and_repr():
    first = PyIntervalSearch([])
    second = PyIntervalSearch([])
    assert first == first and first != second
    assert hash(first) == object.__hash__(first)
    assert repr(first).startswith("<c_quorvel.tandril.PyIntervalSearch object at ")


def test_method_in_type_dictionary_has_its_names_and_docstring():
    method = PyIntervalSearch.__dict__["find_overlapping_intervals"]
    assert method.__name__ == "find_overlapping_intervals"
    assert method.__qualname__ == "PyIntervalSearch.find_overlapping_intervals"
    assert method.__doc__ == "Wrapper for the find_overlapping_intervals method."
    assert method.__module__ == "c_quorvel.tandril"
    assert PyIntervalSearch.find_overlapping_intervals is method


def test_pickling_hooks_are_installed_under_reduce_and_setstate():
    # Their names and docstrings are those of the function objects (test_call_conventions.py).
    assert not hasattr(PyIntervalSearch, "__reduce_cython__")
    assert not hasattr(PyIntervalSearch, "__setstate_cython__")
    assert "__reduce_cython__" not in PyIntervalSearch.__dict__
    assert "__setstate_cython__" not in PyIntervalSearch.__dict__
    assert "__reduce__" in PyIntervalSearch.__dict__
    assert "__setstate__" in PyIntervalSearch.__dict__


class SubSearch(PyIntervalSearch):
    created = []

    def __init__(self, intervals):
        SubSearch.created.append(len(intervals))


class PermissiveSubSearch(PyIntervalSearch):
    def __init__(self, *args, **kwargs):
        pass


def test_subclass_with_its_own_initialiser_can_query():
    SubSearch.created.clear()
    records = numbered([(0, 10), (20, 30)])
    positional = SubSearch(records)
    by_keyword = SubSearch(intervals=records)
    assert SubSearch.created == [2, 2]
    for index in (positional, by_keyword):
        assert isinstance(index, PyIntervalSearch)
        assert index.find_overlapping_intervals(0, 30) == records
        assert PyIntervalSearch.find_overlapping_intervals(index, 0, 30) == records


@pytest.mark.parametrize("subclass", [SubSearch, PermissiveSubSearch])
def test_subclass_creation_binds_arguments_like_the_type(subclass):
    with pytest.raises(TypeError) as caught:
        subclass([], [])
    assert str(caught.value) == "__cinit__() takes exactly 1 positional argument (2 given)"
    assert module_entry_names(caught.value) == [CINIT]


def test_subclass_creation_reads_the_list():
    with pytest.raises(TypeError) as caught:
        PermissiveSubSearch(None)
    assert str(caught.value) == NOT_ITERABLE


def test_subclass_instances_refuse_pickling():
    with pytest.raises(TypeError) as caught:
        pickle.dumps(SubSearch([]))
    assert str(caught.value) == REFUSAL


class Watched(PyIntervalSearch):
    """A subclass with an attribute dictionary, so that its instances are the collector's."""


def instances_of(cls):
    return [found for found in gc.get_objects() if type(found) is cls]


@pytest.mark.parametrize("construction_fails", [False, True], ids=["completes", "fails"])
def test_subclass_instance_is_out_of_the_collectors_reach_until_ready(construction_fails):
    seen = []

    class Spy:
        """An "nl" value whose conversion looks for the instance being built."""

        def __int__(self):
            seen.extend(instances_of(Watched))
            seen.extend(found for found in gc.get_referrers(Watched) if type(found) is Watched)
            if construction_fails:
                raise ValueError("refused")
            return 0

    assert instances_of(Watched) == []
    items = [record(0, 10), record(20, 30, nl=Spy())]
    if construction_fails:
        with pytest.raises(ValueError, match="^refused$"):
            Watched(items)
        assert seen == [] and instances_of(Watched) == []
        return
    index = Watched(items)
    assert seen == []
    # Once ready the instance is tracked, so a cycle through it is collected.
    assert gc.is_tracked(index)
    index.myself = index
    probe = weakref.ref(index)
    del index
    gc.collect()
    assert probe() is None


# ---------------------------------------------------------------------------------------------
# Pickling refusal


@pytest.mark.parametrize(
    "action",
    [functools.partial(pickle.dumps, protocol=protocol) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    + [copy.copy, copy.deepcopy, lambda index: index.__reduce__(), lambda index: index.__reduce_ex__(2)],
    ids=[f"pickle protocol {protocol}" for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    + ["copy", "deepcopy", "__reduce__", "__reduce_ex__"],
)
def test_pickling_and_copying_are_refused(action):
    with pytest.raises(TypeError) as caught:
        action(PyIntervalSearch(numbered([(0, 10)])))
    assert str(caught.value) == REFUSAL
    assert [(name, file) for name, file, _ in module_entries(caught.value)] == [(REDUCE, STRINGSOURCE)]


@pytest.mark.parametrize(
    "call, message, entries",
    [
        (lambda index: index.__setstate__(), "__setstate_cython__() takes exactly 1 positional argument (0 given)",
         [SETSTATE]),
        (lambda index: index.__setstate__({}, {}), "__setstate_cython__() takes exactly 1 positional argument (2 given)",
         [SETSTATE]),
        (lambda index: index.__setstate__({}), REFUSAL, [SETSTATE]),
        (lambda index: index.__setstate__(__pyx_state=None), REFUSAL, [SETSTATE]),
        (lambda index: index.__reduce__(1), "__reduce_cython__() takes exactly 0 positional arguments (1 given)", []),
        (lambda index: index.__reduce__(x=1), "__reduce_cython__() got an unexpected keyword argument 'x'", []),
        (lambda index: tandril.__reduce_cython__(index), REFUSAL, [REDUCE]),
        (lambda index: tandril.__reduce_cython__(None), REFUSAL, [REDUCE]),
        (lambda index: tandril.__setstate_cython__(object(), None), REFUSAL, [SETSTATE]),
        (lambda index: tandril.__setstate_cython__({}, __pyx_state=1), REFUSAL, [SETSTATE]),
        (lambda index: tandril.__reduce_cython__(5), REFUSAL, [REDUCE]),
    ],
    ids=["setstate no argument", "setstate two arguments", "setstate refusal", "setstate keyword",
         "reduce with argument", "reduce with keyword", "module reduce", "module reduce on None",
         "module setstate on object", "module setstate keyword on a dict", "module reduce on an int"],
)
def test_pickling_methods_bind_then_refuse(call, message, entries):
    with pytest.raises(TypeError) as caught:
        call(PyIntervalSearch([]))
    assert str(caught.value) == message
    assert module_entry_names(caught.value) == entries
    assert all(file == STRINGSOURCE for _, file, _ in module_entries(caught.value))


# ---------------------------------------------------------------------------------------------
# Construction: reading the input list


class RecordList(list):
    pass


class Raising:
    """A mapping whose every subscription raises IndexError."""

    def __getitem__(self, key):
        raise IndexError("no such field")


CONSTRUCTION_FAILURES = [
    # name, call, exception type, exact message (or None), whether the __cinit__ entry is added
    ("no argument", lambda: PyIntervalSearch(), TypeError,
     "__cinit__() takes exactly 1 positional argument (0 given)", True),
    ("two arguments", lambda: PyIntervalSearch([], []), TypeError,
     "__cinit__() takes exactly 1 positional argument (2 given)", True),
    ("unknown keyword alone", lambda: PyIntervalSearch(items=[]), TypeError,
     "__cinit__() takes exactly 1 positional argument (0 given)", True),
    ("unknown keyword besides", lambda: PyIntervalSearch([], items=[]), TypeError,
     "__cinit__() got an unexpected keyword argument 'items'", True),
    ("repeated by keyword", lambda: PyIntervalSearch([], intervals=[]), TypeError,
     "__cinit__() got multiple values for keyword argument 'intervals'", True),
    ("None", lambda: PyIntervalSearch(None), TypeError, NOT_ITERABLE, True),
    ("None by keyword", lambda: PyIntervalSearch(intervals=None), TypeError, NOT_ITERABLE, True),
    ("tuple", lambda: PyIntervalSearch((record(0, 1),)), TypeError,
     "Argument 'intervals' has incorrect type (expected list, got tuple)", False),
    ("list subclass", lambda: PyIntervalSearch(RecordList([record(0, 1)])), TypeError,
     "Argument 'intervals' has incorrect type (expected list, got RecordList)", False),
    ("dict", lambda: PyIntervalSearch({}), TypeError,
     "Argument 'intervals' has incorrect type (expected list, got dict)", False),
    ("generator", lambda: PyIntervalSearch(item for item in [record(0, 1)]), TypeError,
     "Argument 'intervals' has incorrect type (expected list, got generator)", False),
    ("item without nl", lambda: PyIntervalSearch([record(0, 1), {"start": 0, "end": 1, "text": "", "original": ""}]),
     KeyError, None, True),
    ("bytes text", lambda: PyIntervalSearch([record(0, 1, b"bytes")]), AttributeError, None, True),
    ("bytes original", lambda: PyIntervalSearch([record(0, 1, "", b"bytes")]), AttributeError, None, True),
    ("str start", lambda: PyIntervalSearch([record("1", 2)]), TypeError, "an integer is required", True),
    ("None end", lambda: PyIntervalSearch([record(1, None)]), TypeError, "an integer is required", True),
    ("start too large", lambda: PyIntervalSearch([record(2**31, 2)]), OverflowError, None, True),
    ("nl too small", lambda: PyIntervalSearch([record(0, 2, nl=-(2**31) - 1)]), OverflowError, None, True),
    ("encode returns str", lambda: PyIntervalSearch([record(0, 1, RawText("str"))]), TypeError, None, True),
    ("lone surrogate", lambda: PyIntervalSearch([record(0, 1, "\ud800")]), UnicodeEncodeError, None, True),
    ("item is an int", lambda: PyIntervalSearch([5]), TypeError, None, True),
    ("item is None", lambda: PyIntervalSearch([None]), TypeError, None, True),
    ("item raises IndexError", lambda: PyIntervalSearch([Raising()]), IndexError, "no such field", True),
]


@pytest.mark.parametrize(
    "call, exception, message, has_entry",
    [case[1:] for case in CONSTRUCTION_FAILURES],
    ids=[case[0] for case in CONSTRUCTION_FAILURES],
)
def test_construction_failures(call, exception, message, has_entry):
    with pytest.raises(exception) as caught:
        call()
    assert type(caught.value) is exception
    if message is not None:
        assert str(caught.value) == message
    entries = module_entries(caught.value)
    if has_entry:
        assert entries[0][0] == CINIT
        assert entries[0][1].startswith(SOURCE_PREFIX)
        assert [name for name, _, _ in entries].count(CINIT) == 1
        assert all(name == CINIT or file == STRINGSOURCE for name, file, _ in entries)
    else:
        assert entries == []


@pytest.mark.parametrize("missing", KEYS)
def test_missing_key_of_a_dict_item_is_a_key_error_naming_it(missing):
    item = record(0, 1)
    del item[missing]
    with pytest.raises(KeyError) as caught:
        PyIntervalSearch([item])
    assert caught.value.args == (missing,)
    assert module_entry_names(caught.value) == [CINIT]


class Subscriptable:
    """Not a dict: read through its own __getitem__."""

    def __init__(self, values):
        self.values = values
        self.asked = []

    def __getitem__(self, key):
        self.asked.append(key)
        return self.values[key]


def test_fields_are_read_in_order_and_any_subscriptable_item_works():
    item = Subscriptable({**record(3, 9, "t", "o", 4), "extra": object()})
    index = PyIntervalSearch([item])
    assert item.asked == KEYS
    assert index.find_overlapping_intervals(3, 9) == [record(3, 9, "t", "o", 4)]


def test_first_bad_value_ends_the_reading():
    item = Subscriptable(record(0, "bad", "t", "o", 4))
    with pytest.raises(TypeError):
        PyIntervalSearch([item, Subscriptable(record(0, 1))])
    assert item.asked == ["start", "end"]


def test_intervals_keyword_is_accepted():
    records = numbered([(0, 10), (5, 15)])
    assert PyIntervalSearch(intervals=records).find_overlapping_intervals(0, 15) == records


def test_float_times_are_truncated():
    index = PyIntervalSearch([record(1.9, 5.5, "f", "", -2.9)])
    assert index.find_overlapping_intervals(0, 10) == [record(1, 5, "f", "", -2)]


@pytest.mark.parametrize(
    "text",
    ["", "a\x00b", "\x00", "café", "日本語", "emoji \U0001f600", "\x00é\x00", "x" * 1000],
    ids=["empty", "inner NUL", "only NUL", "accented", "CJK", "astral", "NUL and accent", "long"],
)
def test_texts_round_trip_exactly(text):
    index = PyIntervalSearch([record(0, 10, text, text[::-1], 3)])
    assert index.find_overlapping_intervals(0, 10) == [record(0, 10, text, text[::-1], 3)]


def test_text_encode_is_called_with_utf_8():
    text = RawText(b"plain")
    original = RawText(bytearray(b"array"))
    index = PyIntervalSearch([record(0, 10, text, original)])
    assert text.calls == [(("utf-8",), {})]
    assert original.calls == [(("utf-8",), {})]
    assert index.find_overlapping_intervals(0, 10) == [record(0, 10, "plain", "array")]


def test_equal_queries_give_equal_but_distinct_lists():
    index = PyIntervalSearch(numbered([(0, 10), (5, 20)]))
    first = index.find_overlapping_intervals(0, 20)
    second = index.find_overlapping_intervals(0, 20)
    assert first == second and len(first) == 2
    assert first is not second
    assert all(left is not right for left, right in zip(first, second))


def test_results_are_text_form_dicts_with_keys_in_order():
    results = PyIntervalSearch([record(0, 10, "t", "o", 1)]).find_overlapping_intervals(0, 10)
    assert [list(result) for result in results] == [KEYS]
    assert type(results[0]) is dict and type(results[0]["text"]) is str


@pytest.mark.parametrize(
    "text_raw, original_raw, bad_bytes",
    [(b"\xff", b"fine", b"\xff"), (b"fine", b"a\xc3", b"a\xc3"), (b"\xfe", b"\xff", b"\xfe")],
    ids=["bad text", "bad original", "both bad: text first"],
)
def test_invalid_utf8_from_encode_fails_every_query_that_returns_it(text_raw, original_raw, bad_bytes):
    index = PyIntervalSearch([record(0, 10, "good"), record(5000, 5010, RawText(text_raw), RawText(original_raw))])
    assert texts_of(index.find_overlapping_intervals(0, 10)) == ["good"]
    for query in [(5000, 5010), (4000, 6000), (0, 5000)]:
        with pytest.raises(UnicodeDecodeError) as caught:
            index.find_overlapping_intervals(*query)
        assert caught.value.object == bad_bytes
        assert module_entry_names(caught.value) == [FIND, TO_DICT]
        assert all(file.startswith(SOURCE_PREFIX) for _, file, _ in module_entries(caught.value))


def test_construction_failure_does_not_disturb_later_constructions():
    with pytest.raises(KeyError):
        PyIntervalSearch([record(0, 1), {"start": 0}])
    assert PyIntervalSearch(numbered([(0, 1)])).find_overlapping_intervals(0, 1) == numbered([(0, 1)])


# ---------------------------------------------------------------------------------------------
# Hostile input during construction: callbacks that change the list being read


def list_emptied_by_int():
    items = []

    class Emptier:
        def __int__(self):
            items.clear()
            return 10

    items.extend([record(0, Emptier(), "first"), record(20, 30, "second"), record(40, 50, "third")])
    return items, ["first"]


def list_extended_by_getitem():
    items = []

    class Extending(dict):
        done = False

        def __getitem__(self, key):
            if key == "nl" and not Extending.done:
                Extending.done = True
                items.append(record(60, 70, "added"))
            return super().__getitem__(key)

    items.extend([Extending(record(0, 10, "first")), record(20, 30, "second")])
    return items, ["first", "second", "added"]


def list_shortened_by_encode():
    items = []

    class Deleting(str):
        def encode(self, *args):
            del items[0]
            return b"deleter"

    items.extend([record(0, 10, Deleting("x")), record(20, 30, "skipped"), record(40, 50, "third")])
    return items, ["deleter", "third"]


def list_item_replaced_by_int():
    items = []

    class Replacing:
        def __int__(self):
            items[1] = record(25, 35, "replaced")
            items[0] = None
            return 5

    items.extend([record(0, Replacing(), "first"), record(20, 30, "second"), record(40, 50, "third")])
    return items, ["first", "replaced", "third"]


def list_emptied_by_getitem_of_last_item():
    items = []

    class Clearing(dict):
        def __getitem__(self, key):
            items.clear()
            return super().__getitem__(key)

    items.extend([record(0, 10, "first"), Clearing(record(20, 30, "last"))])
    return items, ["first", "last"]


def list_emptied_by_encode_and_refilled():
    items = []

    class Refilling(str):
        def encode(self, *args):
            items[:] = [record(90, 95, "gone"), record(96, 99, "new")]
            return b"refiller"

    items.extend([record(0, 10, Refilling("x")), record(20, 30, "replaced away")])
    return items, ["refiller", "new"]


@pytest.mark.parametrize(
    "make",
    [
        list_emptied_by_int,
        list_extended_by_getitem,
        list_shortened_by_encode,
        list_item_replaced_by_int,
        list_emptied_by_getitem_of_last_item,
        list_emptied_by_encode_and_refilled,
    ],
)
def test_list_changed_while_read_is_walked_by_index(make):
    items, expected_texts = make()
    index = PyIntervalSearch(items)
    assert texts_of(index.find_overlapping_intervals(0, 100)) == expected_texts


def test_callback_that_empties_the_list_and_raises_fails_cleanly():
    items = []

    class EmptyThenFail:
        def __int__(self):
            items.clear()
            raise ValueError("gone")

    items.extend([record(0, 1), record(0, EmptyThenFail()), record(3, 4)])
    with pytest.raises(ValueError, match="^gone$") as caught:
        PyIntervalSearch(items)
    assert module_entry_names(caught.value) == [CINIT]
    assert items == []


def test_index_keeps_its_records_when_the_input_changes_afterwards():
    records = numbered([(0, 10), (20, 30)])
    index = PyIntervalSearch(records)
    expected = copy.deepcopy(records)
    records[0]["start"] = 500
    records[1]["text"] = "changed"
    records.append(record(5, 6, "late"))
    records.reverse()
    assert index.find_overlapping_intervals(0, 30) == expected
    records.clear()
    assert index.find_overlapping_intervals(0, 30) == expected


# ---------------------------------------------------------------------------------------------
# Results built directly by the module's own converter equal those of the literal call


def through_lambda(interval):
    return ORIGINAL_INTERVAL_TO_DICT(interval)


LITERAL_ROADS = {
    "python wrapper": lambda: (lambda interval: ORIGINAL_INTERVAL_TO_DICT(interval)),
    "partial": lambda: functools.partial(ORIGINAL_INTERVAL_TO_DICT),
}


@QUICK
@given(index_inputs())
def test_direct_results_equal_those_of_the_literal_call(inputs):
    records, asked = inputs
    index = PyIntervalSearch(records)
    direct = [index.find_overlapping_intervals(start_q, end_q) for start_q, end_q in asked]
    for make_road in LITERAL_ROADS.values():
        with converter(make_road()):
            literal = [index.find_overlapping_intervals(start_q, end_q) for start_q, end_q in asked]
        assert literal == direct
        assert [[list(item) for item in results] for results in literal] == [
            [list(item) for item in results] for results in direct
        ]


def decode_failure(index):
    with pytest.raises(UnicodeDecodeError) as caught:
        index.find_overlapping_intervals(0, 100)
    error = caught.value
    return error, (type(error), str(error), error.args, error.object, error.start, error.end, error.reason)


@pytest.mark.parametrize(
    "text_raw, original_raw",
    [(b"\xff", b"ok"), (b"ok", b"\xc3("), (b"ab\xe2\x82", b"\xff")],
    ids=["bad text", "bad original", "both bad"],
)
def test_decode_failure_is_the_same_on_both_roads(text_raw, original_raw):
    index = PyIntervalSearch([record(0, 10, "fine"), record(20, 30, RawText(text_raw), RawText(original_raw))])
    direct_error, direct = decode_failure(index)
    with converter(functools.partial(ORIGINAL_INTERVAL_TO_DICT)):
        partial_error, partial = decode_failure(index)
    with converter(through_lambda):
        wrapper_error, wrapper = decode_failure(index)
    assert direct == partial == wrapper
    # No Python frame stands between the query and the module's function on these two roads.
    assert module_entries(direct_error) == module_entries(partial_error)
    assert [(name, file) for name, file, _ in module_entries(direct_error)] == [
        (name, file) for name, file, _ in module_entries(wrapper_error)
    ]
    assert [name for name, _, _ in module_entries(direct_error)] == [FIND, TO_DICT]
    assert all(file.startswith(SOURCE_PREFIX) for _, file, _ in module_entries(direct_error))
    assert traceback_entries(wrapper_error)[2][0] == "through_lambda"
    for error in (direct_error, partial_error, wrapper_error):
        assert all(
            tb_frame_globals is tandril.__dict__ for tb_frame_globals in module_frame_globals(error)
        )


def module_frame_globals(error):
    found = []
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name.startswith("c_quorvel.tandril."):
            found.append(tb.tb_frame.f_globals)
        tb = tb.tb_next
    return found
