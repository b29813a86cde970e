"""Start-up of c_quorvel.tandril: module identity, the module's namespace, loading the built
file under another name, the one-interpreter rule, the re-initialisation guard and the
PAIR_MARGIN setting read when the native code is loaded.

Everything that depends on what happens at the first load of the native code, or that would
change the shared module object, runs in a fresh interpreter process (sys.executable).
"""

import builtins
import importlib
import importlib.machinery
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import c_quorvel.tandril as tandril

MODULE_NAME = "c_quorvel.tandril"
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
REINITIALISATION = "Module 'tandril' has already been imported. Re-initialisation is not supported."
INVALID_MARGIN = "invalid stoi argument"
MARGIN_OUT_OF_RANGE = "stoi argument out of range"
INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

EXPECTED_NAMESPACE = [
    "__name__",
    "__doc__",
    "__package__",
    "__loader__",
    "__spec__",
    "__file__",
    "__builtins__",
    "PyIntervalSearch",
    "interval_to_dict",
    "match_to_dict",
    "find_intersections",
    "__reduce_cython__",
    "__setstate_cython__",
    "__test__",
]
OWN_FUNCTIONS = ["interval_to_dict", "match_to_dict", "find_intersections", "__reduce_cython__", "__setstate_cython__"]

_UNSET = object()
_CHILD_DIR = os.path.dirname(os.path.abspath(__file__))


def run_child(code, *args, margin=_UNSET, timeout=60):
    """Runs `code` in a fresh interpreter; PAIR_MARGIN is removed unless `margin` gives a value."""
    env = dict(os.environ)
    env.pop("PAIR_MARGIN", None)
    if margin is not _UNSET:
        env["PAIR_MARGIN"] = margin
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        env=env,
        cwd=_CHILD_DIR,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def child_json(code, *args, margin=_UNSET):
    """Runs `code` in a fresh interpreter that must exit with status 0 and print JSON last."""
    proc = run_child(code, *args, margin=margin)
    assert proc.returncode == 0, f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    lines = proc.stdout.strip().splitlines()
    assert lines, f"child printed nothing\nstderr:\n{proc.stderr}"
    return json.loads(lines[-1])


# ---------------------------------------------------------------------------------------------
# Identity of the module object within one interpreter


def test_importing_twice_gives_the_identical_module():
    import c_quorvel.tandril as first
    import c_quorvel.tandril as second

    assert first is second is tandril
    assert importlib.import_module(MODULE_NAME) is tandril
    assert sys.modules[MODULE_NAME] is tandril
    from c_quorvel import tandril as from_package

    assert from_package is tandril


def _restore_registration():
    sys.modules[MODULE_NAME] = tandril


@pytest.mark.parametrize("how", ["import_statement", "import_module", "reload"])
def test_importing_again_returns_the_same_module_without_running_the_exec_step_again(how):
    namespace_before = dict(vars(tandril))
    test_dict = tandril.__test__
    tandril._startup_marker = "kept"
    try:
        if how == "reload":
            again = importlib.reload(tandril)
        else:
            del sys.modules[MODULE_NAME]
            if how == "import_statement":
                import c_quorvel.tandril as again
            else:
                again = importlib.import_module(MODULE_NAME)
        assert again is tandril
        assert sys.modules[MODULE_NAME] is tandril
        # A second exec step would have made new function objects and a new __test__ dict.
        for name in ["PyIntervalSearch", "__builtins__", *OWN_FUNCTIONS]:
            assert vars(tandril)[name] is namespace_before[name], name
        assert tandril.__test__ is test_dict
        assert tandril.__test__ == {}
        assert tandril._startup_marker == "kept"
        assert tandril.find_intersections([], []) == []
    finally:
        if MODULE_NAME not in sys.modules:
            _restore_registration()
        del tandril._startup_marker


def test_namespace_holds_exactly_the_expected_names_in_insertion_order():
    # A fresh process, so that no other code has touched the module's dictionary.
    names = child_json(
        """
        import json
        import c_quorvel.tandril as t
        print(json.dumps(list(vars(t))))
        """
    )
    assert names == EXPECTED_NAMESPACE


def test_namespace_values():
    namespace = vars(tandril)
    assert namespace["__name__"] == MODULE_NAME
    assert namespace["__doc__"] is None
    assert namespace["__package__"] == "c_quorvel"
    assert "__path__" not in namespace
    assert not hasattr(tandril, "__path__")
    assert namespace["__builtins__"] is builtins
    assert type(namespace["__test__"]) is dict and namespace["__test__"] == {}
    spec = namespace["__spec__"]
    assert spec.name == MODULE_NAME
    assert namespace["__loader__"] is spec.loader
    assert isinstance(spec.loader, importlib.machinery.ExtensionFileLoader)
    assert isinstance(tandril.PyIntervalSearch, type)
    assert tandril.PyIntervalSearch.__module__ == MODULE_NAME


def test_file_is_the_built_extension_file():
    path = tandril.__file__
    assert path == tandril.__spec__.origin
    assert os.path.isfile(path)
    base = os.path.basename(path)
    assert any(base == "tandril" + suffix for suffix in importlib.machinery.EXTENSION_SUFFIXES), base
    package_dir = os.path.dirname(importlib.import_module("c_quorvel").__file__)
    assert os.path.samefile(os.path.dirname(path), package_dir)


@pytest.mark.parametrize("name", OWN_FUNCTIONS)
def test_functions_belong_to_the_module_and_use_its_dictionary_as_globals(name):
    function = getattr(tandril, name)
    assert function.__module__ == MODULE_NAME
    assert function.__globals__ is vars(tandril)


def test_find_overlapping_intervals_is_installed_in_the_type_not_the_module():
    method = vars(tandril.PyIntervalSearch)["find_overlapping_intervals"]
    assert method.__globals__ is vars(tandril)
    assert method.__qualname__ == "PyIntervalSearch.find_overlapping_intervals"
    assert "find_overlapping_intervals" not in vars(tandril)


# ---------------------------------------------------------------------------------------------
# The create step: module spec attributes copied into a new module (before any exec step has run)

_CREATE_CHILD = """
import _imp, importlib.util, json, sys, types
request = json.loads(sys.argv[1])
path = importlib.util.find_spec("c_quorvel.tandril").origin
spec = types.SimpleNamespace(name="x.tandril", origin=path, **request)
module = _imp.create_dynamic(spec)
namespace = vars(module)
print(json.dumps({
    "names": list(namespace),
    "name": namespace["__name__"],
    "file_is_origin": namespace["__file__"] == path,
    "values": {key: namespace.get(key, "<absent>") for key in ("__loader__", "__package__", "__path__")},
    "registered": "c_quorvel.tandril" in sys.modules,
}))
"""

_CREATED_NAMES = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]


@pytest.mark.parametrize(
    "spec_attributes, names, values",
    [
        ({}, _CREATED_NAMES, {"__loader__": None, "__package__": None, "__path__": "<absent>"}),
        (
            {"loader": "the loader", "parent": "pkg", "submodule_search_locations": ["/p"]},
            _CREATED_NAMES + ["__path__"],
            {"__loader__": "the loader", "__package__": "pkg", "__path__": ["/p"]},
        ),
        (
            {"loader": None, "parent": None, "submodule_search_locations": None},
            _CREATED_NAMES,
            {"__loader__": None, "__package__": None, "__path__": "<absent>"},
        ),
        (
            {"submodule_search_locations": []},
            _CREATED_NAMES + ["__path__"],
            {"__loader__": None, "__package__": None, "__path__": []},
        ),
        (
            {"parent": ""},
            _CREATED_NAMES,
            {"__loader__": None, "__package__": "", "__path__": "<absent>"},
        ),
    ],
    ids=["missing_attributes_skipped", "all_copied", "none_values", "empty_search_path", "empty_parent"],
)
def test_create_step_copies_module_spec_attributes(spec_attributes, names, values):
    result = child_json(_CREATE_CHILD, json.dumps(spec_attributes))
    assert result["names"] == names
    assert result["name"] == "x.tandril"
    assert result["file_is_origin"] is True
    assert result["values"] == values
    assert result["registered"] is False  # only the exec step registers the module


@pytest.mark.parametrize("attribute", ["loader", "parent", "submodule_search_locations"])
def test_create_step_passes_on_an_error_from_reading_the_module_spec(attribute):
    result = child_json(
        """
        import _imp, importlib.util, json, sys
        path = importlib.util.find_spec("c_quorvel.tandril").origin
        attribute = sys.argv[1]
        class Spec:
            name = "x.tandril"
            origin = path
        def fail(self):
            raise ValueError("reading " + attribute)
        setattr(Spec, attribute, property(fail))
        try:
            _imp.create_dynamic(Spec())
            outcome = None
        except Exception as error:
            outcome = [type(error).__name__, str(error)]
        # The failure leaves nothing recorded: a normal import still succeeds afterwards.
        import c_quorvel.tandril as t
        print(json.dumps({"outcome": outcome, "works": t.find_intersections([], []) == []}))
        """,
        attribute,
    )
    assert result == {"outcome": ["ValueError", "reading " + attribute], "works": True}


def test_create_step_returns_the_existing_module_after_the_first_import():
    result = child_json(
        """
        import _imp, json, types
        import c_quorvel.tandril as t
        created = _imp.create_dynamic(types.SimpleNamespace(name="x.tandril", origin=t.__file__, parent="x"))
        print(json.dumps({"same": created is t, "name": t.__name__, "package": t.__package__}))
        """
    )
    assert result == {"same": True, "name": MODULE_NAME, "package": "c_quorvel"}


# ---------------------------------------------------------------------------------------------
# Loading the built file under another name

_OTHER_NAME_FIRST_CHILD = """
import importlib, importlib.util, json, sys
other = sys.argv[1]
placeholder = sys.argv[2] == "placeholder"
path = importlib.util.find_spec("c_quorvel.tandril").origin
assert "c_quorvel.tandril" not in sys.modules
sentinel = object()
if placeholder:
    sys.modules["c_quorvel.tandril"] = sentinel
spec = importlib.util.spec_from_file_location(other, path)
module = importlib.util.module_from_spec(spec)
registered_before_exec = "c_quorvel.tandril" in sys.modules and not placeholder
sys.modules[other] = module
spec.loader.exec_module(module)
result = {
    "registered_before_exec": registered_before_exec,
    "registered_by_exec": sys.modules.get("c_quorvel.tandril") is module,
    "placeholder_kept": sys.modules.get("c_quorvel.tandril") is sentinel,
    "name": module.__name__,
    "package": module.__package__,
    "file_is_path": module.__file__ == path,
    "function_module": module.find_intersections.__module__,
    "globals_is_namespace": module.find_intersections.__globals__ is vars(module),
    "works": len(module.find_intersections(
        [{"start": 0, "end": 10, "text": "a", "original": "b", "nl": 1}],
        [{"start": 0, "end": 20, "text": "c", "original": "d", "nl": 2}])) == 1,
}
if not placeholder:
    import c_quorvel.tandril as by_statement
    from c_quorvel import tandril as by_from
    result["import_gives_same"] = (
        by_statement is module and by_from is module and importlib.import_module("c_quorvel.tandril") is module
    )
    result["both_keys_lead_to_it"] = sys.modules[other] is module and sys.modules["c_quorvel.tandril"] is module
print(json.dumps(result))
"""


@pytest.mark.parametrize("other_name, package", [("tandril", ""), ("elsewhere.tandril", "elsewhere")])
def test_loading_under_another_name_first_registers_the_module_under_its_own_name(other_name, package):
    result = child_json(_OTHER_NAME_FIRST_CHILD, other_name, "none")
    assert result == {
        "registered_before_exec": False,
        "registered_by_exec": True,
        "placeholder_kept": False,
        "name": other_name,
        "package": package,
        "file_is_path": True,
        "function_module": MODULE_NAME,
        "globals_is_namespace": True,
        "works": True,
        "import_gives_same": True,
        "both_keys_lead_to_it": True,
    }


def test_loading_under_another_name_leaves_an_existing_registration_alone():
    result = child_json(_OTHER_NAME_FIRST_CHILD, "tandril", "placeholder")
    assert result["registered_by_exec"] is False
    assert result["placeholder_kept"] is True
    assert result["name"] == "tandril"
    assert result["works"] is True


def test_loading_under_another_name_after_the_import_gives_the_same_module():
    result = child_json(
        """
        import importlib.util, json, sys
        import c_quorvel.tandril as t
        functions = [t.interval_to_dict, t.match_to_dict, t.find_intersections]
        test_dict = t.__test__
        spec = importlib.util.spec_from_file_location("tandril", t.__file__)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(json.dumps({
            "same": module is t,
            "name": t.__name__,
            "package": t.__package__,
            "functions_kept": all(
                a is b for a, b in zip([t.interval_to_dict, t.match_to_dict, t.find_intersections], functions)),
            "test_dict_kept": t.__test__ is test_dict,
            "registered": sys.modules["c_quorvel.tandril"] is t,
        }))
        """
    )
    assert result == {
        "same": True,
        "name": MODULE_NAME,
        "package": "c_quorvel",
        "functions_kept": True,
        "test_dict_kept": True,
        "registered": True,
    }


# ---------------------------------------------------------------------------------------------
# Re-initialisation guard of the exec step


def test_exec_step_on_a_second_module_object_raises_runtime_error():
    result = child_json(
        """
        import importlib.util, json, sys
        spec = importlib.util.find_spec("c_quorvel.tandril")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        distinct = first is not second
        spec.loader.exec_module(first)
        names_before = list(vars(second))
        try:
            spec.loader.exec_module(second)
            outcome = None
        except BaseException as error:
            outcome = [type(error).__name__, str(error)]
        first.marker = 1
        spec.loader.exec_module(first)   # the recorded module: nothing is done again
        import c_quorvel.tandril as t
        print(json.dumps({
            "distinct": distinct,
            "outcome": outcome,
            "second_unchanged": list(vars(second)) == names_before and "__builtins__" not in vars(second),
            "first_kept": t is first and first.marker == 1,
            "works": first.find_intersections([], []) == [],
        }))
        """
    )
    assert result == {
        "distinct": True,
        "outcome": ["RuntimeError", REINITIALISATION],
        "second_unchanged": True,
        "first_kept": True,
        "works": True,
    }


# ---------------------------------------------------------------------------------------------
# A start-up retried after a failed exec step

_TYPE_STATE = """
import gc, importlib.util, json, pickle, sys

def outcome(call):
    try:
        call()
    except Exception as error:
        return [type(error).__name__, str(error)]
    return "no error"

def type_state(search):
    instance = search([])
    return {
        "dictionary": [[repr(key), type(value).__name__, getattr(value, "__qualname__", None)]
                       for key, value in vars(search).items()],
        "__setstate__": outcome(lambda: instance.__setstate__(1)),
        "__reduce_ex__": outcome(lambda: instance.__reduce_ex__(2)),
        "pickle": outcome(lambda: pickle.dumps(instance)),
    }
"""


def test_start_up_retried_after_a_failure_in_the_pickling_set_up_leaves_the_type_as_a_first_one_does():
    first = child_json(_TYPE_STATE + """
import c_quorvel.tandril as tandril
print(json.dumps(type_state(tandril.PyIntervalSearch)))
""")
    # The exec step stores the readied type in the module's dictionary just before the pickling
    # set-up; a key of equal hash met there finds the type among object's subclasses and plants
    # in the type's own dictionary a key that fails the comparison made when __setstate__ is stored.
    retried = child_json(_TYPE_STATE + """
class Collider:
    def __init__(self, name, on_compare):
        self.name, self.on_compare = name, on_compare
    def __hash__(self):
        return hash(self.name)
    def __eq__(self, other):
        return self.on_compare()

def fail_set_up():
    raise RuntimeError("storing __setstate__ failed")

planted = []
def plant_in_type():
    if planted:
        return False
    (search,) = [t for t in object.__subclasses__() if t.__module__ == "c_quorvel.tandril"]
    type_dictionary = gc.get_referents(search.__dict__)[0]
    type_dictionary[Collider("__setstate__", fail_set_up)] = None
    planted.append((search, type_dictionary))
    return False

spec = importlib.util.find_spec("c_quorvel.tandril")
module = importlib.util.module_from_spec(spec)
module.__dict__[Collider("PyIntervalSearch", plant_in_type)] = None
failure = outcome(lambda: spec.loader.exec_module(module))
[(search, type_dictionary)] = planted
for key in [key for key in type_dictionary if isinstance(key, Collider)]:
    del type_dictionary[key]
left = [name for name in ("__reduce__", "__setstate__") if name in type_dictionary]
# What the import system does when an exec step fails.
del sys.modules["c_quorvel.tandril"]
import c_quorvel.tandril as tandril
print(json.dumps({"failure": failure, "left": left, "same type": tandril.PyIntervalSearch is search,
                  "state": type_state(tandril.PyIntervalSearch)}))
""")
    # The first attempt failed inside the set-up: __reduce__ stored, __setstate__ not.
    assert retried["failure"] == ["RuntimeError", "storing __setstate__ failed"]
    assert retried["left"] == ["__reduce__"]
    assert retried["same type"]
    assert retried["state"] == first
    assert first["__setstate__"] == ["TypeError", "no default __reduce__ due to non-trivial __cinit__"]


# ---------------------------------------------------------------------------------------------
# One interpreter per process

_RUN_IN_SUBINTERPRETER = """
import _interpreters, json, sys

def run(interpreter, code):
    # Returns None when the code ran cleanly, else [exception type name, message].
    try:
        snapshot = _interpreters.run_string(interpreter, code)
    except Exception as error:  # some versions raise instead of returning a snapshot
        return ["<raised>", type(error).__name__, str(error)]
    if snapshot is None:
        return None
    return [snapshot.type.__name__, snapshot.msg]

def import_in_main():
    try:
        import c_quorvel.tandril as t
    except ImportError as error:
        return [type(error).__name__, str(error)]
    return None
"""


@pytest.fixture(scope="module")
def subinterpreters_available():
    pytest.importorskip("_interpreters")


def test_second_interpreter_cannot_import_after_the_main_interpreter(subinterpreters_available):
    result = child_json(
        _RUN_IN_SUBINTERPRETER
        + """
import c_quorvel.tandril as t
sub = _interpreters.create("legacy")
failed = run(sub, "import c_quorvel.tandril")
left_nothing = run(sub, "import sys; assert 'c_quorvel.tandril' not in sys.modules")
failed_again = run(sub, "import c_quorvel.tandril")
_interpreters.destroy(sub)
import c_quorvel.tandril as again
print(json.dumps({
    "failed": failed,
    "left_nothing": left_nothing,
    "failed_again": failed_again,
    "main_unaffected": again is t and t.find_intersections([], []) == [],
}))
"""
    )
    assert result == {
        "failed": ["ImportError", INTERPRETER_CHANGE],
        "left_nothing": None,
        "failed_again": ["ImportError", INTERPRETER_CHANGE],
        "main_unaffected": True,
    }


def test_no_other_interpreter_can_import_after_the_first_one_is_gone(subinterpreters_available):
    result = child_json(
        _RUN_IN_SUBINTERPRETER
        + """
first = _interpreters.create("legacy")
first_import = run(first, "import c_quorvel.tandril as t, sys; assert sys.modules['c_quorvel.tandril'] is t; "
                          "assert t.find_intersections([], []) == []")
_interpreters.destroy(first)
main_import = import_in_main()
second = _interpreters.create("legacy")
second_import = run(second, "import c_quorvel.tandril")
_interpreters.destroy(second)
print(json.dumps({
    "first": first_import,
    "main": main_import,
    "main_again": import_in_main(),
    "second": second_import,
    "registered_in_main": "c_quorvel.tandril" in sys.modules,
}))
"""
    )
    assert result == {
        "first": None,
        "main": ["ImportError", INTERPRETER_CHANGE],
        "main_again": ["ImportError", INTERPRETER_CHANGE],
        "second": ["ImportError", INTERPRETER_CHANGE],
        "registered_in_main": False,
    }


def test_isolated_interpreter_refusal_records_no_interpreter(subinterpreters_available):
    # Without a multiple-interpreter slot the interpreter's defaults refuse an isolated
    # interpreter before the create step runs; the main interpreter can still import afterwards.
    result = child_json(
        _RUN_IN_SUBINTERPRETER
        + """
isolated = _interpreters.create("isolated")
refused = run(isolated, "import c_quorvel.tandril")
_interpreters.destroy(isolated)
print(json.dumps({"refused": refused, "main": import_in_main()}))
"""
    )
    assert result["refused"] is not None and result["refused"][0] == "ImportError"
    assert result["refused"][1] != INTERPRETER_CHANGE
    assert result["main"] is None


# ---------------------------------------------------------------------------------------------
# PAIR_MARGIN, read once when the native code is loaded

_MARGIN_CHILD = """
import importlib, json, os, sys
request = json.loads(sys.argv[1])
if request.get("env_before_import") is not None:
    os.environ["PAIR_MARGIN"] = request["env_before_import"]
try:
    import c_quorvel.tandril as t
except ImportError as error:
    try:
        import c_quorvel.tandril
        again = None
    except ImportError as second:
        again = [type(second).__name__, str(second)]
    print(json.dumps({
        "error": [type(error).__name__, str(error), type(error) is ImportError],
        "again": again,
        "registered": "c_quorvel.tandril" in sys.modules,
    }))
    sys.exit(0)
if request.get("env_after_import") is not None:
    os.environ["PAIR_MARGIN"] = request["env_after_import"]
    del sys.modules["c_quorvel.tandril"]
    import c_quorvel.tandril as reimported
    assert reimported is t
    assert importlib.reload(t) is t

def record(start, end):
    return {"start": start, "end": end, "text": "", "original": "", "nl": 0}

pairs = [len(t.find_intersections([record(*a)], [record(*b)])) for a, b in request["pairs"]]
windows = [
    [found["start"] for found in
     t.PyIntervalSearch([record(s, s) for s in starts]).find_overlapping_intervals(*query)]
    for starts, query in request["windows"]
]
print(json.dumps({"pairs": pairs, "windows": windows}))
"""


def margin_probes(margin):
    """Probes whose outcome pins down the margin in effect, with their expected outcomes.

    Pairing: [0, 10] against [d, d + 10] (d > 0) is never nested, and both its start and end
    differences are d, so the two records group exactly when d <= margin.
    Index: zero-length records are accepted whenever they are scanned, so a query reports
    exactly the records whose start lies in [start_q - margin, end_q + margin].
    """
    pairs, grouped, windows, found = [], [], [], []

    def pair(a, b, expect_group):
        pairs.append([a, b])
        grouped.append(1 if expect_group else 0)

    def window(starts, query, expected):
        windows.append([starts, query])
        found.append(expected)

    pair((0, 10), (2, 8), True)  # nested: groups whatever the margin
    if margin >= 1:
        base = 0 if margin <= 10**9 else INT32_MIN
        pair((base, base + 10), (base + margin, base + margin + 10), True)
        if margin < INT32_MAX:
            pair((base, base + 10), (base + margin + 1, base + margin + 11), False)
    else:
        pair((0, 10), (1, 11), False)  # one apart: close only under a positive margin
    if margin >= 0:
        starts = [s for s in (-margin - 1, -margin, margin, margin + 1) if INT32_MIN <= s <= INT32_MAX]
        window(starts, (0, 0), [-margin, margin])
    elif margin >= INT32_MIN + 10:
        # A negative margin narrows the window to [-10, 10] for this query.
        window([-11, -10, 10, 11], (margin - 10, 10 - margin), [-10, 10])
    else:
        # Margins near INT32_MIN, with the widest query: the window is [low, high], empty for
        # INT32_MIN itself (low 0, high -1).
        low, high = INT32_MIN - margin, INT32_MAX + margin
        starts = sorted({low - 1, low, high, high + 1})
        window(starts, (INT32_MIN, INT32_MAX), [s for s in starts if low <= s <= high])
    return {"pairs": pairs, "windows": windows}, {"pairs": grouped, "windows": found}


@pytest.mark.parametrize(
    "value, margin",
    [
        (_UNSET, 1000),
        ("1000", 1000),
        ("250ms", 250),
        ("  42", 42),
        ("\t\n\v\f\r 42", 42),
        ("+7", 7),
        ("-5", -5),
        ("0", 0),
        ("-0", 0),
        ("0x10", 0),
        ("12 34", 12),
        ("0001", 1),
        ("2147483647", 2147483647),
        ("-2147483648", -2147483648),
        ("-2147483647", -2147483647),
    ],
    ids=lambda v: "unset" if v is _UNSET else repr(v),
)
def test_valid_margin_values_load_and_set_the_margin_in_effect(value, margin):
    request, expected = margin_probes(margin)
    result = child_json(_MARGIN_CHILD, json.dumps(request), margin=value)
    assert result == expected


@pytest.mark.parametrize(
    "value, text",
    [
        ("abc", INVALID_MARGIN),
        ("", INVALID_MARGIN),
        ("   ", INVALID_MARGIN),
        ("-", INVALID_MARGIN),
        ("+-1", INVALID_MARGIN),
        ("ms250", INVALID_MARGIN),
        ("2147483648", MARGIN_OUT_OF_RANGE),
        ("-2147483649", MARGIN_OUT_OF_RANGE),
        ("4294967296", MARGIN_OUT_OF_RANGE),
        ("99999999999999999999", MARGIN_OUT_OF_RANGE),
        ("-99999999999999999999999999999999", MARGIN_OUT_OF_RANGE),
    ],
    ids=repr,
)
def test_unusable_margin_makes_the_import_fail_in_an_orderly_way(value, text):
    result = child_json(_MARGIN_CHILD, json.dumps({"pairs": [], "windows": []}), margin=value)
    name, message, exactly_import_error = result["error"]
    assert name == "ImportError" and exactly_import_error
    assert "PAIR_MARGIN" in message
    assert text in message
    other = MARGIN_OUT_OF_RANGE if text == INVALID_MARGIN else INVALID_MARGIN
    assert other not in message
    # The failure repeats on the next attempt, and no module is left registered.
    assert result["again"] == ["ImportError", message]
    assert result["registered"] is False


@pytest.mark.parametrize("value, text", [("abc", INVALID_MARGIN), ("2147483648", MARGIN_OUT_OF_RANGE)])
def test_unhandled_margin_failure_ends_the_process_through_the_python_exception(value, text):
    proc = run_child("import c_quorvel.tandril", margin=value)
    assert proc.returncode == 1, proc.stderr  # not killed by a signal (negative) nor aborted
    assert "ImportError" in proc.stderr
    assert text in proc.stderr


@pytest.mark.parametrize(
    "value, env_before_import, env_after_import, margin",
    [
        ("250", None, "5000", 250),
        (_UNSET, None, "abc", 1000),
        (_UNSET, None, "7", 1000),
        ("-5", None, "", -5),
        # Setting the variable from Python before the first import counts: it is read at load.
        (_UNSET, "250", "5000", 250),
    ],
    ids=["250_then_5000", "unset_then_invalid", "unset_then_7", "negative_then_empty", "set_in_process_before_load"],
)
def test_changing_the_margin_variable_after_import_has_no_effect(value, env_before_import, env_after_import, margin):
    request, expected = margin_probes(margin)
    request["env_before_import"] = env_before_import
    request["env_after_import"] = env_after_import
    result = child_json(_MARGIN_CHILD, json.dumps(request), margin=value)
    assert result == expected


def test_changing_the_margin_variable_in_this_process_has_no_effect():
    """The margin of the already loaded module stays whatever it was at load time."""
    before = tandril.find_intersections(
        [{"start": 0, "end": 10, "text": "", "original": "", "nl": 0}],
        [{"start": 1, "end": 11, "text": "", "original": "", "nl": 0}],
    )
    saved = os.environ.get("PAIR_MARGIN")
    os.environ["PAIR_MARGIN"] = "-1" if before else "1000"
    try:
        del sys.modules[MODULE_NAME]
        assert importlib.import_module(MODULE_NAME) is tandril
        after = tandril.find_intersections(
            [{"start": 0, "end": 10, "text": "", "original": "", "nl": 0}],
            [{"start": 1, "end": 11, "text": "", "original": "", "nl": 0}],
        )
    finally:
        if MODULE_NAME not in sys.modules:
            _restore_registration()
        if saved is None:
            os.environ.pop("PAIR_MARGIN", None)
        else:
            os.environ["PAIR_MARGIN"] = saved
    assert after == before


# ---------------------------------------------------------------------------------------------
# The built file's exports


def test_the_built_file_exports_only_its_entry_point():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("reading the dynamic symbol table needs nm (binutils)")
    listing = subprocess.run([nm, "-D", "--defined-only", tandril.__file__], capture_output=True, text=True, check=True)
    exported = [line.split()[-1] for line in listing.stdout.splitlines() if line.strip()]
    assert exported == ["PyInit_tandril"]
