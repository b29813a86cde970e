"""Call conventions of every callable of c_quorvel.tandril: argument binding and its messages,
the list test, the 32-bit integer conversion, the function objects' attributes and descriptor
behaviour, and the traceback entries that failures gain on their way through the module."""

import array
import copy
import ctypes
import pickle
import traceback
import types
import warnings
from decimal import Decimal

import pytest

from models.margin import process_margin

from c_quorvel import tandril

# The file name of the module's own entries: two backslash characters between the components.
MODULE_FILE = "modules\\\\tandril\\\\tandril.cpp"
STRINGSOURCE = "<stringsource>"
NATIVE_FILES = (MODULE_FILE, STRINGSOURCE)
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"
DICT_DOC = "\n    Convert Example struct to a Python dictionary\n    "
PAIRING_DOC = "\n    Wrapper for the test function to work with Python dictionaries\n    "
QUERY_DOC = "Wrapper for the find_overlapping_intervals method."
SUBCLASS_WARNING = (
    "__int__ returned non-int (type {}).  The ability to return an instance of a strict subclass "
    "of int is deprecated, and may be removed in a future version of Python."
)

SEARCH = tandril.PyIntervalSearch([])


def byte_interval(start=0, end=10, text=b"t", original=b"o", nl=0):
    return {"start": start, "end": end, "text": text, "original": original, "nl": nl}


def byte_match(start=0, end=10, original=(), reference=()):
    return {"start": start, "end": end, "original": list(original), "reference": list(reference)}


def native_entries(error):
    """(name, file) of each traceback entry the module added, outermost first."""
    return [
        (frame.name, frame.filename)
        for frame in traceback.extract_tb(error.__traceback__)
        if frame.filename in NATIVE_FILES
    ]


def raised(action):
    with pytest.raises(BaseException) as info:
        action()
    return info.value


# ---------------------------------------------------------------------------------------------
# Argument binding


class Callable:
    def __init__(self, label, function, name, parameters, valid):
        self.label = label
        self.function = function  # called with the arguments after the instance
        self.name = name  # the name that binding messages use
        self.parameters = parameters
        self.valid = valid  # one valid value per parameter

    def count_message(self, given):
        k = len(self.parameters)
        plural = "" if k == 1 else "s"
        return f"{self.name}() takes exactly {k} positional argument{plural} ({given} given)"


CALLABLES = [
    Callable("interval_to_dict", tandril.interval_to_dict, "interval_to_dict", ("interval",), (byte_interval(),)),
    Callable("match_to_dict", tandril.match_to_dict, "match_to_dict", ("match",), (byte_match(),)),
    Callable("find_intersections", tandril.find_intersections, "find_intersections",
             ("set_a_dicts", "set_b_dicts"), ([], [])),
    Callable("PyIntervalSearch", tandril.PyIntervalSearch, "__cinit__", ("intervals",), ([],)),
    Callable("find_overlapping_intervals", SEARCH.find_overlapping_intervals, "find_overlapping_intervals",
             ("start_q", "end_q"), (0, 0)),
    Callable("type __reduce__", SEARCH.__reduce__, "__reduce_cython__", (), ()),
    Callable("type __setstate__", SEARCH.__setstate__, "__setstate_cython__", ("__pyx_state",), (None,)),
    Callable("module __reduce_cython__", types.MethodType(tandril.__reduce_cython__, SEARCH),
             "__reduce_cython__", (), ()),
    Callable("module __setstate_cython__", types.MethodType(tandril.__setstate_cython__, SEARCH),
             "__setstate_cython__", ("__pyx_state",), (None,)),
]


def binding_cases():
    """(callable, positional, keywords, expected message) for every kind of bad call."""
    for c in CALLABLES:
        k = len(c.parameters)
        valid = list(c.valid)
        extra = valid + ["surplus"]
        cases = [
            ("one too many", extra, {}, c.count_message(k + 1)),
            ("two too many", extra + ["more"], {}, c.count_message(k + 2)),
        ]
        if k == 0:
            cases += [
                ("keyword", [], {"bogus": 1}, f"{c.name}() got an unexpected keyword argument 'bogus'"),
                ("first of two keywords", [], {"alpha": 1, "beta": 2},
                 f"{c.name}() got an unexpected keyword argument 'alpha'"),
                ("positional before keyword", ["surplus"], {"bogus": 1}, c.count_message(1)),
            ]
        else:
            first = c.parameters[0]
            cases += [
                ("none", [], {}, c.count_message(0)),
                ("too many with a keyword", extra, {first: valid[0]}, c.count_message(k + 1)),
                ("only an unknown keyword", [], {"bogus": 1}, c.count_message(0)),
                ("positional and its keyword", valid, {first: valid[0]},
                 f"{c.name}() got multiple values for keyword argument '{first}'"),
                ("unexpected keyword after all", valid, {"bogus": 1},
                 f"{c.name}() got an unexpected keyword argument 'bogus'"),
                ("parameter name in other case", [], {first.upper(): valid[0]}, c.count_message(0)),
                ("unknown keyword before a repeated one", valid, {"bogus": 1, first: valid[0]},
                 f"{c.name}() got an unexpected keyword argument 'bogus'"),
                ("repeated keyword before an unknown one", valid, {first: valid[0], "bogus": 1},
                 f"{c.name}() got multiple values for keyword argument '{first}'"),
            ]
        if k == 2:
            first, second = c.parameters
            cases += [
                ("one short", valid[:1], {}, c.count_message(1)),
                ("only the second keyword", [], {second: valid[1]}, c.count_message(0)),
                ("only the first keyword", [], {first: valid[0]}, c.count_message(1)),
                ("one positional and an unknown keyword", valid[:1], {"bogus": 1}, c.count_message(1)),
                ("all keywords and an unknown one", [], {second: valid[1], first: valid[0], "bogus": 1},
                 f"{c.name}() got an unexpected keyword argument 'bogus'"),
                ("first by position and by keyword, second by keyword", valid[:1],
                 {first: valid[0], second: valid[1]},
                 f"{c.name}() got multiple values for keyword argument '{first}'"),
            ]
        cases.append(("non-string keyword in a dict", valid, {1: 2}, "keywords must be strings"))
        for label, positional, keywords, message in cases:
            yield pytest.param(c, positional, keywords, message, id=f"{c.label}: {label}")


@pytest.mark.parametrize(("target", "positional", "keywords", "message"), list(binding_cases()))
def test_bad_calls_are_refused_with_the_binding_message(target, positional, keywords, message):
    with pytest.raises(TypeError) as info:
        target.function(*positional, **keywords)
    assert str(info.value) == message


def _vectorcall(callable_, arguments, keyword_names):
    """Calls through the vector call protocol with keyword names that Python code cannot make."""
    function = ctypes.pythonapi.PyObject_Vectorcall
    function.restype = ctypes.py_object
    function.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    array = (ctypes.py_object * len(arguments))(*arguments)
    return function(callable_, array, len(arguments) - len(keyword_names), keyword_names)


@pytest.mark.parametrize("target", [c for c in CALLABLES if c.label != "PyIntervalSearch"], ids=lambda c: c.label)
def test_non_string_keyword_names_are_refused_with_the_function_name(target):
    arguments = list(target.valid) + [2]
    with pytest.raises(TypeError) as info:
        _vectorcall(target.function, arguments, (1,))
    assert str(info.value) == f"{target.name}() keywords must be strings"


@pytest.mark.parametrize(
    ("keyword_names", "message"),
    [
        (("bogus", 1), "find_intersections() got an unexpected keyword argument 'bogus'"),
        ((1, "bogus"), "find_intersections() keywords must be strings"),
        (("set_a_dicts", 1), "find_intersections() got multiple values for keyword argument 'set_a_dicts'"),
        ((1, "set_a_dicts"), "find_intersections() keywords must be strings"),
    ],
)
def test_leftover_keywords_are_reported_in_their_order(keyword_names, message):
    with pytest.raises(TypeError) as info:
        _vectorcall(tandril.find_intersections, [[], [], 1, 2], keyword_names)
    assert str(info.value) == message


def test_construction_with_a_non_string_keyword_name_is_refused():
    with pytest.raises(TypeError) as info:
        _vectorcall(tandril.PyIntervalSearch, [[], 2], (1,))
    assert str(info.value) == "keywords must be strings"


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        pytest.param(lambda: tandril.interval_to_dict(interval=byte_interval(3, 4, b"x", b"y", 5)),
                     {"start": 3, "end": 4, "text": "x", "original": "y", "nl": 5}, id="interval_to_dict"),
        pytest.param(lambda: tandril.match_to_dict(match=byte_match(1, 2)),
                     {"start": 1, "end": 2, "original": [], "reference": []}, id="match_to_dict"),
        pytest.param(lambda: tandril.interval_to_dict(**{"".join(["inter", "val"]): byte_interval(3, 4)}),
                     {"start": 3, "end": 4, "text": "t", "original": "o", "nl": 0}, id="keyword made at run time"),
        pytest.param(lambda: tandril.interval_to_dict(**{StrSubclass("interval"): byte_interval(5, 6)}),
                     {"start": 5, "end": 6, "text": "t", "original": "o", "nl": 0}, id="keyword of a str subclass"),
        pytest.param(lambda: tandril.find_intersections(set_b_dicts=[], set_a_dicts=[]), [],
                     id="find_intersections, second first"),
        pytest.param(lambda: tandril.find_intersections(set_a_dicts=[], set_b_dicts=[]), [],
                     id="find_intersections, in order"),
        pytest.param(lambda: tandril.find_intersections([], set_b_dicts=[]), [],
                     id="find_intersections, mixed"),
        pytest.param(lambda: type(tandril.PyIntervalSearch(intervals=[])), tandril.PyIntervalSearch,
                     id="construction"),
        pytest.param(lambda: SEARCH.find_overlapping_intervals(end_q=0, start_q=0), [],
                     id="find_overlapping_intervals, second first"),
        pytest.param(lambda: SEARCH.find_overlapping_intervals(0, end_q=0), [],
                     id="find_overlapping_intervals, mixed"),
    ],
)
def test_keyword_arguments_bind_in_any_order(call, expected):
    assert call() == expected


@pytest.mark.parametrize(
    ("call", "reported"),
    [
        (lambda: tandril.find_intersections(set_b_dicts=(), set_a_dicts=[]), "set_b_dicts"),
        (lambda: tandril.find_intersections(set_b_dicts=[], set_a_dicts=()), "set_a_dicts"),
        (lambda: tandril.find_intersections([], set_b_dicts=()), "set_b_dicts"),
        (lambda: tandril.find_intersections((), set_b_dicts=[]), "set_a_dicts"),
    ],
)
def test_keyword_arguments_reach_their_own_parameter(call, reported):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{reported}' has incorrect type (expected list, got tuple)"


class Recorder:
    """An integer-like object that notes when it is converted."""

    def __init__(self, log, label, value=0):
        self.log, self.label, self.value = log, label, value

    def __int__(self):
        self.log.append(self.label)
        return self.value


@pytest.mark.parametrize(
    "call",
    [
        lambda s, e: SEARCH.find_overlapping_intervals(end_q=e, start_q=s),
        lambda s, e: SEARCH.find_overlapping_intervals(start_q=s, end_q=e),
        lambda s, e: SEARCH.find_overlapping_intervals(s, end_q=e),
        lambda s, e: SEARCH.find_overlapping_intervals(s, e),
    ],
    ids=["keywords reversed", "keywords", "mixed", "positional"],
)
def test_query_bounds_bind_by_name_and_convert_start_first(call):
    log = []
    assert call(Recorder(log, "start_q"), Recorder(log, "end_q")) == []
    assert log == ["start_q", "end_q"]


# ---------------------------------------------------------------------------------------------
# Methods called through the class


@pytest.mark.parametrize(
    ("call", "name"),
    [
        (lambda: tandril.PyIntervalSearch.find_overlapping_intervals(), "find_overlapping_intervals"),
        (lambda: tandril.PyIntervalSearch.find_overlapping_intervals(start_q=0, end_q=0),
         "find_overlapping_intervals"),
        (lambda: tandril.__reduce_cython__(), "__reduce_cython__"),
        (lambda: tandril.__setstate_cython__(), "__setstate_cython__"),
        (lambda: tandril.__setstate_cython__(__pyx_state=None), "__setstate_cython__"),
    ],
    ids=["find_overlapping_intervals", "find_overlapping_intervals with keywords only", "__reduce_cython__",
         "__setstate_cython__", "__setstate_cython__ with keyword only"],
)
def test_method_called_without_instance_needs_an_argument(call, name):
    error = raised(call)
    assert type(error) is TypeError
    assert str(error) == f"{name}() needs an argument"


@pytest.mark.parametrize(
    ("name", "method_name"), [("__reduce__", "__reduce_cython__"), ("__setstate__", "__setstate_cython__")]
)
def test_pickling_methods_called_through_the_type_without_instance_are_refused(name, method_name):
    with pytest.raises(TypeError) as info:
        getattr(tandril.PyIntervalSearch, name)()
    message = str(info.value)
    assert "needs an argument" in message
    assert f"{method_name}()" in message


@pytest.mark.parametrize(
    "not_instance",
    [None, 7, {}, [], "text", tandril.PyIntervalSearch, object(), tandril.interval_to_dict, array.array("i", [1, 2])],
    ids=repr,
)
@pytest.mark.parametrize(
    "call",
    [
        lambda obj: tandril.PyIntervalSearch.find_overlapping_intervals(obj, 0, 0),
        lambda obj: tandril.PyIntervalSearch.find_overlapping_intervals(obj, start_q=0, end_q=0),
    ],
    ids=["positional", "keywords"],
)
def test_query_through_the_class_refuses_a_non_instance(call, not_instance):
    with pytest.raises(TypeError):
        call(not_instance)


def test_query_through_the_class_accepts_instances_and_subclass_instances():
    class Sub(tandril.PyIntervalSearch):
        pass

    records = [{"start": 0, "end": 0, "text": "a", "original": "b", "nl": 2}]
    expected = [{"start": 0, "end": 0, "text": "a", "original": "b", "nl": 2}]
    query = tandril.PyIntervalSearch.find_overlapping_intervals
    assert query(tandril.PyIntervalSearch(records), 0, 0) == expected
    assert query(Sub(records), 0, 0) == expected
    assert Sub(records).find_overlapping_intervals(0, 0) == expected


# ---------------------------------------------------------------------------------------------
# Function objects


@pytest.mark.parametrize(
    ("function", "name", "qualname", "doc"),
    [
        (tandril.interval_to_dict, "interval_to_dict", "interval_to_dict", DICT_DOC),
        (tandril.match_to_dict, "match_to_dict", "match_to_dict", DICT_DOC),
        (tandril.find_intersections, "find_intersections", "find_intersections", PAIRING_DOC),
        (tandril.PyIntervalSearch.__dict__["find_overlapping_intervals"], "find_overlapping_intervals",
         "PyIntervalSearch.find_overlapping_intervals", QUERY_DOC),
        (tandril.__reduce_cython__, "__reduce_cython__", "PyIntervalSearch.__reduce_cython__", None),
        (tandril.__setstate_cython__, "__setstate_cython__", "PyIntervalSearch.__setstate_cython__", None),
    ],
    ids=lambda value: value if isinstance(value, str) and "\n" not in value else None,
)
def test_function_objects_show_names_docstring_module_and_globals(function, name, qualname, doc):
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__doc__ == doc
    assert function.__module__ == "c_quorvel.tandril"
    assert function.__globals__ is vars(tandril)
    assert callable(function)


@pytest.mark.parametrize(("name", "method_name"),
                         [("__reduce__", "__reduce_cython__"), ("__setstate__", "__setstate_cython__")])
def test_type_pickling_methods_keep_their_own_names_and_no_docstring(name, method_name):
    method = tandril.PyIntervalSearch.__dict__[name]
    assert method.__name__ == method_name
    assert method.__doc__ is None
    assert getattr(SEARCH, name).__name__ == method_name


def test_all_callables_share_one_function_type():
    functions = [
        tandril.interval_to_dict,
        tandril.match_to_dict,
        tandril.find_intersections,
        tandril.PyIntervalSearch.find_overlapping_intervals,
        tandril.__reduce_cython__,
        tandril.__setstate_cython__,
    ]
    assert len({type(function) for function in functions}) == 1


def test_query_method_through_the_class_is_the_function_itself():
    stored = tandril.PyIntervalSearch.__dict__["find_overlapping_intervals"]
    assert tandril.PyIntervalSearch.find_overlapping_intervals is stored

    class Sub(tandril.PyIntervalSearch):
        pass

    assert Sub.find_overlapping_intervals is stored


def test_query_method_through_an_instance_is_bound_to_it():
    bound = SEARCH.find_overlapping_intervals
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is SEARCH
    assert bound.__func__ is tandril.PyIntervalSearch.__dict__["find_overlapping_intervals"]
    assert bound(0, 0) == []


def test_module_function_placed_on_a_python_class_binds_to_instances():
    class Holder:
        convert = tandril.interval_to_dict
        refuse = tandril.__reduce_cython__

    class Record(dict):
        convert = tandril.interval_to_dict

    assert Holder.convert is tandril.interval_to_dict
    holder = Holder()
    assert holder.convert.__self__ is holder
    with pytest.raises(TypeError) as info:
        holder.convert()
    assert str(info.value) == "Expected a mapping, got Holder"
    with pytest.raises(TypeError) as info:
        holder.refuse()
    assert str(info.value) == REFUSAL
    record = Record(byte_interval(1, 2, b"a", b"b", 3))
    assert record.convert() == {"start": 1, "end": 2, "text": "a", "original": "b", "nl": 3}


# ---------------------------------------------------------------------------------------------
# The list test


class Roster(list):
    pass


@pytest.mark.parametrize(
    ("call", "parameter", "type_name"),
    [
        (lambda: tandril.find_intersections((), []), "set_a_dicts", "tuple"),
        (lambda: tandril.find_intersections([], ()), "set_b_dicts", "tuple"),
        (lambda: tandril.find_intersections((), {}), "set_a_dicts", "tuple"),
        (lambda: tandril.find_intersections(None, "text"), "set_b_dicts", "str"),
        (lambda: tandril.find_intersections(Roster(), []), "set_a_dicts", "Roster"),
        (lambda: tandril.find_intersections([], Roster([byte_interval()])), "set_b_dicts", "Roster"),
        (lambda: tandril.find_intersections(iter([]), []), "set_a_dicts", "list_iterator"),
        (lambda: tandril.find_intersections({}, []), "set_a_dicts", "dict"),
        (lambda: tandril.find_intersections(0, []), "set_a_dicts", "int"),
        (lambda: tandril.PyIntervalSearch(()), "intervals", "tuple"),
        (lambda: tandril.PyIntervalSearch(Roster()), "intervals", "Roster"),
        (lambda: tandril.PyIntervalSearch(intervals={}), "intervals", "dict"),
    ],
)
def test_list_parameters_refuse_anything_but_an_exact_list(call, parameter, type_name):
    error = raised(call)
    assert type(error) is TypeError
    assert str(error) == f"Argument '{parameter}' has incorrect type (expected list, got {type_name})"
    assert native_entries(error) == []


def test_list_test_names_a_local_class_by_its_bare_name():
    class Inner(list):
        pass

    with pytest.raises(TypeError) as info:
        tandril.find_intersections(Inner(), [])
    assert str(info.value) == "Argument 'set_a_dicts' has incorrect type (expected list, got Inner)"


@pytest.mark.parametrize(
    ("call", "entry"),
    [
        (lambda: tandril.find_intersections(None, None), "c_quorvel.tandril.find_intersections"),
        (lambda: tandril.find_intersections(None, ()), None),
        (lambda: tandril.PyIntervalSearch(None), "c_quorvel.tandril.PyIntervalSearch.__cinit__"),
    ],
    ids=["both None", "None then tuple", "construction"],
)
def test_none_passes_the_list_test(call, entry):
    error = raised(call)
    assert type(error) is TypeError
    if entry is None:  # None passed; the second argument is the one refused
        assert str(error) == "Argument 'set_b_dicts' has incorrect type (expected list, got tuple)"
    else:
        assert str(error) == "'NoneType' object is not iterable"
        assert native_entries(error) == [(entry, MODULE_FILE)]


# ---------------------------------------------------------------------------------------------
# Integer conversion


class IntSubclass(int):
    pass


class OwnDunderInt(int):
    """An int subclass whose __int__ says otherwise: its int value is what counts."""

    def __int__(self):
        return 99


class Dunder:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class OnlyIndex:
    def __index__(self):
        return 4


INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)

INTEGER_VALUES = [
    pytest.param(7, 7, id="int"),
    pytest.param(0, 0, id="zero"),
    pytest.param(-1, -1, id="minus one"),
    pytest.param(True, 1, id="True"),
    pytest.param(False, 0, id="False"),
    pytest.param(IntSubclass(12), 12, id="int subclass"),
    pytest.param(OwnDunderInt(5), 5, id="int subclass with its own __int__"),
    pytest.param(1.9, 1, id="float 1.9"),
    pytest.param(-2.9, -2, id="float -2.9"),
    pytest.param(3.9, 3, id="float 3.9"),
    pytest.param(-3.9, -3, id="float -3.9"),
    pytest.param(-0.5, 0, id="float -0.5"),
    pytest.param(Decimal("8.7"), 8, id="Decimal"),
    pytest.param(Dunder(-1), -1, id="__int__ giving -1"),
    pytest.param(Dunder(11), 11, id="__int__ giving 11"),
    pytest.param(INT32_MAX, INT32_MAX, id="largest"),
    pytest.param(INT32_MIN, INT32_MIN, id="smallest"),
]

INTEGER_FAILURES = [
    pytest.param(2**31, OverflowError, None, id="2**31"),
    pytest.param(INT32_MIN - 1, OverflowError, None, id="-2**31-1"),
    pytest.param(2**64, OverflowError, None, id="2**64"),
    pytest.param(1e10, OverflowError, None, id="float 1e10"),
    pytest.param(Dunder(2**31), OverflowError, None, id="__int__ giving 2**31"),
    pytest.param(float("inf"), OverflowError, None, id="float infinity"),
    pytest.param(float("nan"), ValueError, "cannot convert float NaN to integer", id="float NaN"),
    pytest.param("1", TypeError, "an integer is required", id="str of digits"),
    pytest.param(b"1", TypeError, "an integer is required", id="bytes"),
    pytest.param(None, TypeError, "an integer is required", id="None"),
    pytest.param([], TypeError, "an integer is required", id="list"),
    pytest.param(OnlyIndex(), TypeError, "an integer is required", id="__index__ only"),
    pytest.param(Dunder("5"), TypeError, "__int__ returned non-int (type str)", id="__int__ giving str"),
    pytest.param(Dunder(5.0), TypeError, "__int__ returned non-int (type float)", id="__int__ giving float"),
    pytest.param(Dunder(None), TypeError, "__int__ returned non-int (type NoneType)", id="__int__ giving None"),
]


@pytest.mark.parametrize("key", ["start", "end", "nl"])
@pytest.mark.parametrize(("value", "expected"), INTEGER_VALUES)
def test_record_integer_fields_convert_like_int_from_py(key, value, expected):
    record = byte_interval(start=1, end=2, nl=3)
    record[key] = value
    assert tandril.interval_to_dict(record)[key] == expected


@pytest.mark.parametrize("key", ["start", "end", "nl"])
@pytest.mark.parametrize(("value", "error_type", "message"), INTEGER_FAILURES)
def test_record_integer_fields_refuse_what_int_from_py_refuses(key, value, error_type, message):
    record = byte_interval()
    record[key] = value
    error = raised(lambda: tandril.interval_to_dict(record))
    assert type(error) is error_type
    if message is not None:
        assert str(error) == message


def _boundary_index(start_q, end_q):
    """Zero-length records around both ends of the widened window of (start_q, end_q)."""
    margin = process_margin()
    low, high = start_q - margin, end_q + margin
    starts = sorted({low + d for d in range(-2, 3)} | {high + d for d in range(-2, 3)})
    records = [{"start": s, "end": s, "text": str(s), "original": "", "nl": 0} for s in starts]
    inside = [s for s in starts if low <= s <= high]
    return tandril.PyIntervalSearch(records), inside


@pytest.mark.parametrize(
    ("start_value", "end_value", "start_q", "end_q"),
    [
        (1.9, -2.9, 1, -2),
        (True, 5, 1, 5),
        (IntSubclass(40), Decimal("60.9"), 40, 60),
        (Dunder(-1), Dunder(-1), -1, -1),
        (-0.9, 0.9, 0, 0),
    ],
)
def test_query_bounds_convert_like_int_from_py(start_value, end_value, start_q, end_q):
    search, inside = _boundary_index(start_q, end_q)
    found = search.find_overlapping_intervals(start_value, end_value)
    assert [record["start"] for record in found] == inside
    assert found == search.find_overlapping_intervals(start_q, end_q)


def test_query_bounds_accept_the_ends_of_the_32_bit_range():
    assert SEARCH.find_overlapping_intervals(INT32_MIN, INT32_MAX) == []
    assert SEARCH.find_overlapping_intervals(INT32_MAX, INT32_MIN) == []


@pytest.mark.parametrize("position", ["start_q", "end_q"])
@pytest.mark.parametrize(("value", "error_type", "message"), INTEGER_FAILURES)
def test_query_bounds_refuse_what_int_from_py_refuses(position, value, error_type, message):
    arguments = {"start_q": 0, "end_q": 0, position: value}
    error = raised(lambda: SEARCH.find_overlapping_intervals(**arguments))
    assert type(error) is error_type
    if message is not None:
        assert str(error) == message
    assert native_entries(error) == [("c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals", MODULE_FILE)]


def test_bad_start_q_is_reported_before_end_q_is_converted():
    log = []
    with pytest.raises(TypeError) as info:
        SEARCH.find_overlapping_intervals("x", Recorder(log, "end_q"))
    assert str(info.value) == "an integer is required"
    assert log == []


@pytest.mark.parametrize(
    "call",
    [
        lambda value: SEARCH.find_overlapping_intervals(value, value),
        lambda value: SEARCH.find_overlapping_intervals(0, value),
    ],
    ids=["start_q", "end_q"],
)
def test_exception_raised_by_int_passes_unchanged(call):
    failure = ZeroDivisionError("from __int__")
    with pytest.raises(ZeroDivisionError) as info:
        call(Dunder(failure))
    assert info.value is failure


@pytest.mark.parametrize(
    ("convert", "read"),
    [
        (lambda v: tandril.interval_to_dict(byte_interval(start=v)), lambda result: result["start"]),
        (lambda v: tandril.interval_to_dict(byte_interval(nl=v)), lambda result: result["nl"]),
        (lambda v: tandril.match_to_dict(byte_match(end=v)), lambda result: result["end"]),
    ],
    ids=["interval start", "interval nl", "match end"],
)
def test_int_returning_an_int_subclass_warns_and_is_used(convert, read):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = convert(Dunder(IntSubclass(77)))
    assert read(result) == 77
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, SUBCLASS_WARNING.format("IntSubclass"))
    ]


def test_int_returning_bool_warns_naming_bool():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert tandril.interval_to_dict(byte_interval(end=Dunder(True)))["end"] == 1
    assert [str(w.message) for w in caught] == [SUBCLASS_WARNING.format("bool")]


def test_query_bound_whose_int_returns_an_int_subclass_warns_and_is_used():
    search, inside = _boundary_index(0, 0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        found = search.find_overlapping_intervals(Dunder(IntSubclass(0)), 0)
    assert [record["start"] for record in found] == inside
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, SUBCLASS_WARNING.format("IntSubclass"))
    ]


@pytest.mark.parametrize(
    ("call", "entry"),
    [
        (lambda v: tandril.interval_to_dict(byte_interval(start=v)), "c_quorvel.tandril.interval_to_dict"),
        (lambda v: SEARCH.find_overlapping_intervals(v, 0),
         "c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals"),
    ],
    ids=["record field", "query bound"],
)
def test_int_subclass_warning_raised_as_error_fails_the_call(call, entry):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        error = raised(lambda: call(Dunder(IntSubclass(3))))
    assert type(error) is DeprecationWarning
    assert str(error) == SUBCLASS_WARNING.format("IntSubclass")
    assert native_entries(error)[0] == (entry, MODULE_FILE)


# ---------------------------------------------------------------------------------------------
# Traceback entries

ITD = "c_quorvel.tandril.interval_to_dict"
MTD = "c_quorvel.tandril.match_to_dict"
FI = "c_quorvel.tandril.find_intersections"
CINIT = "c_quorvel.tandril.PyIntervalSearch.__cinit__"
FOI = "c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals"
REDUCE = "c_quorvel.tandril.PyIntervalSearch.__reduce_cython__"
SETSTATE = "c_quorvel.tandril.PyIntervalSearch.__setstate_cython__"
ANY_CONVERSION = object()  # a conversion's entry: any name, file "<stringsource>"


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        pytest.param(lambda: tandril.interval_to_dict(), [(ITD, MODULE_FILE)], id="interval_to_dict binding"),
        pytest.param(lambda: tandril.match_to_dict(bogus=1), [(MTD, MODULE_FILE)], id="match_to_dict binding"),
        pytest.param(lambda: tandril.find_intersections([]), [(FI, MODULE_FILE)], id="find_intersections binding"),
        pytest.param(lambda: tandril.PyIntervalSearch(), [(CINIT, MODULE_FILE)], id="construction binding"),
        pytest.param(lambda: SEARCH.find_overlapping_intervals(1), [(FOI, MODULE_FILE)], id="query binding"),
        pytest.param(lambda: tandril.PyIntervalSearch.find_overlapping_intervals(), [(FOI, MODULE_FILE)],
                     id="query through the class without an instance"),
        pytest.param(lambda: tandril.__setstate_cython__(), [(SETSTATE, STRINGSOURCE)],
                     id="module __setstate_cython__ without an instance"),
        pytest.param(lambda: tandril.__reduce_cython__(), [], id="module __reduce_cython__ without an instance"),
        pytest.param(lambda: SEARCH.__reduce__(1), [], id="__reduce__ binding"),
        pytest.param(lambda: SEARCH.__reduce__(bogus=1), [], id="__reduce__ keyword"),
        pytest.param(lambda: tandril.__reduce_cython__(SEARCH, 1), [], id="module __reduce_cython__ binding"),
        pytest.param(lambda: SEARCH.__setstate__(), [(SETSTATE, STRINGSOURCE)], id="__setstate__ binding"),
        pytest.param(lambda: tandril.__setstate_cython__(SEARCH, 1, 2), [(SETSTATE, STRINGSOURCE)],
                     id="module __setstate_cython__ binding"),
        pytest.param(lambda: SEARCH.__reduce__(), [(REDUCE, STRINGSOURCE)], id="__reduce__ refusal"),
        pytest.param(lambda: SEARCH.__setstate__({}), [(SETSTATE, STRINGSOURCE)], id="__setstate__ refusal"),
        pytest.param(lambda: tandril.__reduce_cython__(None), [(REDUCE, STRINGSOURCE)],
                     id="module __reduce_cython__ refusal"),
        pytest.param(lambda: pickle.dumps(SEARCH), [(REDUCE, STRINGSOURCE)], id="pickling"),
        pytest.param(lambda: copy.copy(SEARCH), [(REDUCE, STRINGSOURCE)], id="copying"),
        pytest.param(lambda: tandril.interval_to_dict({}), [(ITD, MODULE_FILE), ANY_CONVERSION],
                     id="interval_to_dict missing key"),
        pytest.param(lambda: tandril.interval_to_dict(None), [(ITD, MODULE_FILE), ANY_CONVERSION],
                     id="interval_to_dict not a mapping"),
        pytest.param(lambda: tandril.interval_to_dict(byte_interval(text="str")),
                     [(ITD, MODULE_FILE), ANY_CONVERSION, ANY_CONVERSION], id="interval_to_dict str text"),
        pytest.param(lambda: tandril.interval_to_dict(byte_interval(text=b"\xff")), [(ITD, MODULE_FILE)],
                     id="interval_to_dict decoding"),
        pytest.param(lambda: tandril.match_to_dict({"start": 0}), [(MTD, MODULE_FILE), ANY_CONVERSION],
                     id="match_to_dict missing key"),
        pytest.param(lambda: tandril.match_to_dict(byte_match(original=[{}])),
                     [(MTD, MODULE_FILE), ANY_CONVERSION, ANY_CONVERSION, ANY_CONVERSION],
                     id="match_to_dict bad interval"),
        pytest.param(lambda: tandril.match_to_dict(byte_match(reference=[byte_interval(text=b"\xff")])),
                     [(MTD, MODULE_FILE), (ITD, MODULE_FILE)], id="match_to_dict element decoding"),
        pytest.param(lambda: tandril.find_intersections([{}], []), [(FI, MODULE_FILE)],
                     id="find_intersections missing key"),
        pytest.param(lambda: tandril.PyIntervalSearch([{}]), [(CINIT, MODULE_FILE)], id="construction missing key"),
        pytest.param(lambda: SEARCH.find_overlapping_intervals("x", 0), [(FOI, MODULE_FILE)],
                     id="query bound"),
        pytest.param(lambda: tandril.find_intersections((), []), [], id="list test"),
    ],
)
def test_failures_carry_the_module_entries_in_order(call, expected):
    error = raised(call)
    entries = native_entries(error)
    assert len(entries) == len(expected), entries
    for entry, wanted in zip(entries, expected):
        if wanted is ANY_CONVERSION:
            assert entry[1] == STRINGSOURCE
        else:
            assert entry == wanted


def test_interval_to_dict_entry_stands_above_the_conversion_entry_under_the_caller():
    error = raised(lambda: tandril.interval_to_dict({}))
    frames = traceback.extract_tb(error.__traceback__)
    assert frames[0].filename == __file__  # the caller's frame comes first
    assert [(frame.name, frame.filename) for frame in frames[-2:]][0] == (ITD, MODULE_FILE)
    assert frames[-1].filename == STRINGSOURCE
    assert frames[-1].name != ITD


@pytest.mark.parametrize(
    "call",
    [
        lambda: tandril.interval_to_dict({}),
        lambda: tandril.match_to_dict(byte_match(original=[byte_interval(text="s")])),
        lambda: tandril.find_intersections(None, []),
        lambda: tandril.PyIntervalSearch(),
        lambda: SEARCH.find_overlapping_intervals(None, 0),
        lambda: SEARCH.__setstate__(),
        lambda: pickle.dumps(SEARCH),
    ],
)
def test_module_entries_have_positive_lines_and_the_module_globals(call):
    error = raised(call)
    tb = error.__traceback__
    seen = 0
    while tb is not None:
        if tb.tb_frame.f_code.co_filename in NATIVE_FILES:
            seen += 1
            assert tb.tb_lineno > 0
            assert tb.tb_frame.f_globals is vars(tandril)
        tb = tb.tb_next
    assert seen > 0


def test_printed_traceback_names_the_module_file_with_doubled_backslashes():
    error = raised(lambda: tandril.interval_to_dict({}))
    text = "".join(traceback.format_exception(error))
    assert 'File "modules\\\\tandril\\\\tandril.cpp", line ' in text
    assert ", in c_quorvel.tandril.interval_to_dict\n" in text
    assert text.index("c_quorvel.tandril.interval_to_dict") < text.index('File "<stringsource>"')
