"""The module's dictionary functions looked up by name, per element, at the moment each element is
built: match_to_dict and the query look up interval_to_dict, find_intersections looks up
match_to_dict (and, through the module's own match_to_dict, interval_to_dict). Whatever the name is
bound to then builds the element; rebinding or deleting it during a call takes effect at the next
element; a name missing from the module is looked up among the builtins. Every behaviour below is
checked once for each of these four lookups."""

import builtins
import traceback
from dataclasses import dataclass
from typing import Callable

import pytest

from c_quorvel import tandril
from margin_setting import needs_default_margin
from models import pairing as pairing_model

# The pairing's groups below are worked out by the model for the default margin.
pytestmark = pytest.mark.skipif(**needs_default_margin)

OWN = {"interval_to_dict": tandril.interval_to_dict, "match_to_dict": tandril.match_to_dict}
MATCH_ENTRY = "c_quorvel.tandril.match_to_dict"
QUERY_ENTRY = "c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals"
PAIRING_ENTRY = "c_quorvel.tandril.find_intersections"
# The module's source file as its traceback entries name it: two backslashes between components.
MODULE_FILE_PREFIX = "modules\\\\tandril\\\\tandril"


def text_interval(start, end, text, original, nl):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def byte_interval(start, end, text, original, nl):
    return {"start": start, "end": end, "text": text.encode(), "original": original.encode(), "nl": nl}


@dataclass
class Lookup:
    """One callable of the module and the name it looks up for each element of its result."""

    name: str
    call: Callable[[], object]
    elements: Callable[[object], list]  # the per-element results within the call's result
    byte_forms: list  # what the function bound to `name` receives, in order
    own: list  # the elements the module's own function builds
    entries: list  # the module's traceback entries above the looked-up function, outermost first
    call_without_elements: Callable[[], object]  # needs no lookup, so works without the name


def match_to_dict_lookup():
    original = [byte_interval(1, 2, "café", "", 1), byte_interval(2, 3, "x\x00", "y", -(2**31))]
    reference = [byte_interval(3, 2**31 - 1, "z", "w", 3)]
    match = {"start": 0, "end": 5, "original": original, "reference": reference}
    return Lookup(
        name="interval_to_dict",
        call=lambda: tandril.match_to_dict(match),
        elements=lambda result: result["original"] + result["reference"],
        byte_forms=original + reference,
        own=[pairing_model.text_form(tuple(record.values())) for record in original + reference],
        entries=[MATCH_ENTRY],
        call_without_elements=lambda: tandril.match_to_dict({"start": 1, "end": 2, "original": [], "reference": ()}),
    )


def query_lookup():
    records = [text_interval(start, 10, f"r{start}", f"o{start}", start) for start in range(3)]
    index = tandril.PyIntervalSearch(records)
    return Lookup(
        name="interval_to_dict",
        call=lambda: index.find_overlapping_intervals(0, 10),
        elements=lambda result: result,
        byte_forms=[pairing_model.interval_byte_form(record) for record in records],
        own=records,
        entries=[QUERY_ENTRY],
        call_without_elements=lambda: index.find_overlapping_intervals(50000, 60000),
    )


# Three groups of one record a side, each record told apart by its texts and nl.
SET_A = [text_interval(20000 * k, 20000 * k + 3000, f"a{k}", f"A{k}", k) for k in range(3)]
SET_B = [text_interval(20000 * k + 100, 20000 * k + 2900, f"b{k}", f"B{k}", 10 + k) for k in range(3)]
GROUPS = pairing_model.pair(SET_A, SET_B)


def pairing_match_lookup():
    return Lookup(
        name="match_to_dict",
        call=lambda: tandril.find_intersections(SET_A, SET_B),
        elements=lambda result: result,
        byte_forms=[pairing_model.match_byte_form(group) for group in GROUPS],
        own=GROUPS,
        entries=[PAIRING_ENTRY],
        call_without_elements=lambda: tandril.find_intersections(SET_A, []),
    )


def pairing_interval_lookup():
    def intervals(groups):
        return [interval for group in groups for side in ("original", "reference") for interval in group[side]]

    return Lookup(
        name="interval_to_dict",
        call=lambda: tandril.find_intersections(SET_A, SET_B),
        elements=intervals,
        byte_forms=[pairing_model.interval_byte_form(interval) for interval in intervals(GROUPS)],
        own=intervals(GROUPS),
        entries=[PAIRING_ENTRY, MATCH_ENTRY],
        call_without_elements=lambda: tandril.find_intersections([], SET_B),
    )


LOOKUPS = {
    "match_to_dict looks up interval_to_dict": match_to_dict_lookup,
    "query looks up interval_to_dict": query_lookup,
    "find_intersections looks up match_to_dict": pairing_match_lookup,
    "find_intersections looks up interval_to_dict": pairing_interval_lookup,
}


@pytest.fixture(params=list(LOOKUPS.values()), ids=list(LOOKUPS))
def lookup(request):
    """Each lookup in turn; the module's functions, and the builtins, are as they were afterwards."""
    had = {name: hasattr(builtins, name) for name in OWN}
    yield request.param()
    for name, function in OWN.items():
        setattr(tandril, name, function)
        if not had[name] and hasattr(builtins, name):
            delattr(builtins, name)


def module_entries(error):
    """(name, filename) of the traceback entries the module added, outermost first."""
    return [(frame.name, frame.filename) for frame in traceback.extract_tb(error.__traceback__)
            if frame.name.startswith("c_quorvel.tandril.")]


def raised_by(action):
    try:
        action()
    except Exception as error:  # noqa: BLE001 - the exact exception is what the tests compare
        return error
    raise AssertionError("expected a failure")


def test_each_element_is_what_the_bound_function_returns_for_a_fresh_byte_form(lookup):
    received, as_received, returned = [], [], []

    def keep(*args, **kwargs):
        assert len(args) == 1 and kwargs == {}
        received.append(args[0])
        as_received.append(repr(args[0]))
        args[0]["start"] = -1  # the function may change what it gets: later elements do not see it
        returned.append(object())
        return returned[-1]

    setattr(tandril, lookup.name, keep)
    elements = lookup.elements(lookup.call())
    assert len(elements) == len(returned) and all(got is made for got, made in zip(elements, returned))
    # Equal and of the same types, keys in the same order: texts as bytes, never decoded first.
    assert as_received == [repr(byte_form) for byte_form in lookup.byte_forms]
    assert all(type(form) is dict for form in received) and len({id(form) for form in received}) == len(received)


@pytest.mark.parametrize("then", ["own function", "another function"])
def test_rebinding_during_a_call_takes_effect_at_the_next_element(lookup, then):
    def another(byte_form):
        return ("another", byte_form["start"])

    def first(byte_form):
        setattr(tandril, lookup.name, OWN[lookup.name] if then == "own function" else another)
        return "first"

    setattr(tandril, lookup.name, first)
    rest = lookup.own[1:] if then == "own function" else [("another", form["start"]) for form in lookup.byte_forms[1:]]
    assert repr(lookup.elements(lookup.call())) == repr(["first", *rest])


def test_a_deleted_name_fails_the_first_element_that_needs_it(lookup):
    delattr(tandril, lookup.name)
    assert lookup.call_without_elements() in ([], {"start": 1, "end": 2, "original": [], "reference": []})
    error = raised_by(lookup.call)
    assert type(error) is NameError and str(error) == f"name '{lookup.name}' is not defined"
    entries = module_entries(error)
    assert [name for name, _ in entries] == lookup.entries
    assert all(filename.startswith(MODULE_FILE_PREFIX) for _, filename in entries), entries
    setattr(tandril, lookup.name, OWN[lookup.name])
    assert repr(lookup.elements(lookup.call())) == repr(lookup.own)


def test_deleting_the_name_during_a_call_fails_the_next_element(lookup):
    calls = []

    def delete_itself(byte_form):
        calls.append(byte_form)
        delattr(tandril, lookup.name)
        return "first"

    setattr(tandril, lookup.name, delete_itself)
    error = raised_by(lookup.call)
    assert type(error) is NameError and str(error) == f"name '{lookup.name}' is not defined"
    assert len(calls) == 1


def test_a_name_missing_from_the_module_is_found_among_the_builtins(lookup):
    setattr(builtins, lookup.name, lambda byte_form: ("builtin", byte_form["start"]))
    setattr(tandril, lookup.name, lambda byte_form: ("module", byte_form["start"]))
    assert lookup.elements(lookup.call()) == [("module", form["start"]) for form in lookup.byte_forms]
    delattr(tandril, lookup.name)
    assert lookup.elements(lookup.call()) == [("builtin", form["start"]) for form in lookup.byte_forms]


@pytest.mark.parametrize("when", ["first element", "second element, after a rebinding"])
def test_the_bound_function_s_exception_passes_unchanged(lookup, when):
    failure = LookupError("from the bound function")

    def raising(byte_form):
        raise failure

    def switching(byte_form):
        setattr(tandril, lookup.name, raising)
        return "first"

    setattr(tandril, lookup.name, raising if when == "first element" else switching)
    error = raised_by(lookup.call)
    assert error is failure
    assert [name for name, _ in module_entries(error)] == lookup.entries
    names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    assert names.index(lookup.entries[-1]) < names.index("raising")


def test_a_name_bound_to_a_non_callable_fails_with_type_error(lookup):
    setattr(tandril, lookup.name, 42)
    error = raised_by(lookup.call)
    assert type(error) is TypeError and "not callable" in str(error)
    assert [name for name, _ in module_entries(error)] == lookup.entries
