"""Exhausted memory inside a call becomes MemoryError with the callable's traceback entry, and
never ends the process, whichever thread calls and whichever allocation fails first.

Every case runs in a subprocess and calls the module's callable directly where memory runs out,
never through a lambda or another Python function: pushing a Python frame on an exhausted heap
fails in CPython 3.13.0 with a SystemError of its own, which would hide what the module does.
Nor does a case keep the MemoryError past its except block: the interpreter's last-resort
MemoryError is shared, and a traceback kept alive through a frame only grows.

Two ways to run out:
 - A callback run by the call itself (the __int__ of the last value read before the native step)
   lowers the address-space limit, so that what follows (copying records into
   groups, building query results) cannot allocate.
 - A heap wrapper preloaded into the subprocess (failing_heap.c, built by the test) refuses every
   allocation of one thread from the n-th native allocation of the call on, for every n until
   the call succeeds, in the main thread and in a fresh one.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

resource = pytest.importorskip("resource")

PRELUDE = textwrap.dedent(
    """
    import resource, sys, traceback
    from c_quorvel import tandril

    def address_space_in_use():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * resource.getpagesize()

    _, HARD = resource.getrlimit(resource.RLIMIT_AS)

    class LimitMemoryOnRead:
        \"\"\"An integer whose conversion leaves `headroom` bytes of address space.\"\"\"
        def __init__(self, value, headroom):
            self.value, self.headroom = value, headroom
        def __int__(self):
            resource.setrlimit(resource.RLIMIT_AS, (address_space_in_use() + self.headroom, HARD))
            return self.value

    def report(function, *arguments):
        try:
            function(*arguments)
        except MemoryError as error:
            resource.setrlimit(resource.RLIMIT_AS, (HARD, HARD))
            names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
            print("MemoryError", repr(str(error)), names)
        else:
            resource.setrlimit(resource.RLIMIT_AS, (HARD, HARD))
            print("no error")
    """
)


def run_case(body):
    if not sys.platform.startswith("linux"):
        pytest.skip("needs /proc and RLIMIT_AS")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer reserves more address space than the limit leaves")
    completed = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout.strip()


def test_pairing_out_of_memory_raises_memory_error_with_entry():
    output = run_case(
        """
        count = 200000
        set_a = [{"start": 10 * k, "end": 10 * k + 5, "text": "", "original": "", "nl": 0} for k in range(count)]
        set_b = [dict(item) for item in set_a]
        # Reading completes; the pairing's bookkeeping for 200,000 groups does not fit in 1 MB.
        set_b[-1]["nl"] = LimitMemoryOnRead(0, 1024 * 1024)
        report(tandril.find_intersections, set_a, set_b)
        """
    )
    assert output == "MemoryError 'bad allocation' ['report', 'c_quorvel.tandril.find_intersections']"


def test_query_out_of_memory_raises_memory_error_with_entry():
    output = run_case(
        """
        count = 400000
        index = tandril.PyIntervalSearch(
            [{"start": k, "end": k, "text": "", "original": "", "nl": 0} for k in range(count)]
        )
        # Every record qualifies; the result list of 400,000 dicts needs more than 256 kB.
        report(index.find_overlapping_intervals, 0, LimitMemoryOnRead(count, 256 * 1024))
        """
    )
    # The query builds its list while it walks, so either the list's growth or a dict fails
    # first, depending on how much of the interpreter's last arena is still free.
    query = "'c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals'"
    assert output in (
        f"MemoryError '' ['report', {query}]",
        f"MemoryError '' ['report', {query}, 'c_quorvel.tandril.interval_to_dict']",
    )


def test_reading_out_of_memory_raises_memory_error_with_entries():
    output = run_case(
        """
        big = "y" * (64 * 1024 * 1024)
        items = [{"start": LimitMemoryOnRead(0, 1024 * 1024), "end": 1, "text": big, "original": "", "nl": 0}]
        report(tandril.PyIntervalSearch, items)
        """
    )
    assert output == (
        "MemoryError 'bad allocation' "
        "['report', 'c_quorvel.tandril.PyIntervalSearch.__cinit__', 'string_from_py']"
    )


def test_index_store_growth_out_of_memory_raises_memory_error_with_entry():
    output = run_case(
        """
        # The text is read; the index's buffer cannot then grow to hold it.
        big = "y" * (16 * 1024 * 1024)
        items = [{"start": 0, "end": 1, "text": big, "original": "", "nl": LimitMemoryOnRead(0, 1024 * 1024)}]
        report(tandril.PyIntervalSearch, items)
        """
    )
    assert output == "MemoryError 'bad allocation' ['report', 'c_quorvel.tandril.PyIntervalSearch.__cinit__']"


def test_sound_pairing_out_of_memory_raises_memory_error():
    output = run_case(
        """
        from c_quorvel import _align

        class LimitMemoryOnIndex(LimitMemoryOnRead):
            __index__ = LimitMemoryOnRead.__int__

        count = 200000
        original = [{"start": 10 * k, "end": 10 * k + 5, "text": "", "original": "", "nl": 0} for k in range(count)]
        reference = [dict(item) for item in original]
        # Reading completes; ordering and grouping 200,000 cues a side does not fit in 1 MB. The
        # native entry is called directly: c_quorvel.align.pair_tracks is a Python function.
        reference[-1]["nl"] = LimitMemoryOnIndex(0, 1024 * 1024)
        report(_align.pair_tracks, original, reference, 1000)
        """
    )
    assert output == "MemoryError 'bad allocation' ['report']"


def test_time_map_search_out_of_memory_raises_memory_error():
    output = run_case(
        """
        from c_quorvel import _align

        class LimitMemoryOnIndex(LimitMemoryOnRead):
            __index__ = LimitMemoryOnRead.__int__

        original = [{"start": 3000 * k, "end": 3000 * k + 2000} for k in range(50000)]
        reference = [dict(item) for item in original]
        # Reading completes; the search's histograms and ratings do not fit in 256 kB. The native
        # entry is called directly: c_quorvel.align.synchronize is a Python function.
        reference[-1]["end"] = LimitMemoryOnIndex(reference[-1]["end"], 256 * 1024)
        report(_align.synchronize, original, reference, 60000, 2)
        """
    )
    assert output == "MemoryError 'bad allocation' ['report']"


# ---------------------------------------------------------------------------------------------
# A heap that fails from the n-th native allocation of a call on

SWEEP = textwrap.dedent(
    """
    import ctypes, sys, threading
    from c_quorvel import _align, _subrip, tandril

    heap = ctypes.CDLL(sys.argv[1])
    heap.fail_from_native_allocation.argtypes = [ctypes.c_long]
    heap.stop_failing.restype = ctypes.c_long

    # Texts longer than a string's inline buffer, so that copying one allocates.
    TEXT = "a text longer than any inline string buffer"
    def item(start, end):
        return {"start": start, "end": end, "text": TEXT, "original": TEXT, "nl": 1}
    SET_A = [item(0, 10), item(20, 30), item(40, 50)]
    SET_B = [item(1, 9), item(21, 31), item(45, 90)]
    INDEX = tandril.PyIntervalSearch(SET_A)
    BYTE_FORM = {"start": 1, "end": 2, "text": TEXT.encode(), "original": TEXT.encode(), "nl": 3}
    CALLS = {
        "find_intersections": (tandril.find_intersections, (SET_A, SET_B)),
        "PyIntervalSearch": (tandril.PyIntervalSearch, (SET_A,)),
        "find_overlapping_intervals": (INDEX.find_overlapping_intervals, (0, 100)),
        "interval_to_dict": (tandril.interval_to_dict, (BYTE_FORM,)),
        "match_to_dict": (tandril.match_to_dict, ({"start": 0, "end": 5, "original": [BYTE_FORM], "reference": [BYTE_FORM]},)),
        "pair_tracks": (_align.pair_tracks, (SET_A, SET_B, 1000)),
        "synchronize": (_align.synchronize, (SET_A, SET_B, 60000, 2)),
        "bilingual_events": (_subrip.bilingual_events, ([{"start": 0, "end": 10, "original": SET_A[:2], "reference": SET_B[:1]}],
                                                        SET_A[2:], SET_B[1:], False, True, "#ff0000")),
        "bilingual_subrip": (_subrip.bilingual_subrip, ([{"start": 0, "end": 10, "original": SET_A[:2], "reference": SET_B[:1]}],
                                                        SET_A[2:], SET_B[1:], True, "#ff0000")),
    }

    def attempt(function, arguments, count):
        if heap.fail_from_native_allocation(count) != 0:
            return "wrapper not ready"
        try:
            function(*arguments)
        except MemoryError as error:
            refused = heap.stop_failing()
            entries = []
            entry = error.__traceback__
            while entry is not None:
                entries.append(entry.tb_frame.f_code.co_name)
                entry = entry.tb_next
            return f"MemoryError refused={refused > 0} entries={entries[1:]}"
        except BaseException as error:
            heap.stop_failing()
            return f"{type(error).__name__}: {error}"
        heap.stop_failing()
        return "completed"

    def in_fresh_thread(function, arguments, count):
        outcome = []
        worker = threading.Thread(target=lambda: outcome.append(attempt(function, arguments, count)))
        worker.start()
        worker.join()
        return outcome[0]

    function, arguments = CALLS[sys.argv[3]]
    run = attempt if sys.argv[2] == "main thread" else in_fresh_thread
    for count in range(1000):
        outcome = run(function, arguments, count)
        print(outcome, flush=True)
        if outcome == "completed":
            break
    """
)


@pytest.fixture(scope="module")
def failing_heap(tmp_path_factory):
    if not sys.platform.startswith("linux"):
        pytest.skip("the heap wrapper needs the GNU C library's allocator entry points")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer replaces the allocator that the heap wrapper stands in for")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the heap wrapper")
    library = tmp_path_factory.mktemp("failing_heap") / "failing_heap.so"
    source = Path(__file__).with_name("failing_heap.c")
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-fexceptions", "-O1", "-o", str(library), str(source), "-ldl"], check=True
    )
    return library


# The entry each failure of a callable of the module carries; the private module adds none.
ENTRIES = {
    "find_intersections": "c_quorvel.tandril.find_intersections",
    "PyIntervalSearch": "c_quorvel.tandril.PyIntervalSearch.__cinit__",
    "find_overlapping_intervals": "c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals",
    "interval_to_dict": "c_quorvel.tandril.interval_to_dict",
    "match_to_dict": "c_quorvel.tandril.match_to_dict",
    "pair_tracks": None,
    "synchronize": None,
    "bilingual_events": None,
    "bilingual_subrip": None,
}


@pytest.mark.parametrize("thread", ["main thread", "fresh thread"])
@pytest.mark.parametrize("call", list(ENTRIES))
def test_heap_failing_at_any_native_allocation_is_a_memory_error(failing_heap, call, thread):
    # The C++ runtime makes a thread's exception state on the thread's first throw. In the main
    # thread of a fresh process, and in any fresh thread, the first throw of this sweep is the
    # std::bad_alloc of its first step, on a heap that refuses everything.
    environment = {key: value for key, value in os.environ.items() if key not in ("PYTHONMALLOC", "LD_PRELOAD")}
    environment["LD_PRELOAD"] = str(failing_heap)
    completed = subprocess.run(
        [sys.executable, "-c", SWEEP, str(failing_heap), thread, call],
        capture_output=True,
        text=True,
        timeout=120,
        env=environment,
    )
    assert completed.returncode == 0 and completed.stderr == "", (completed.returncode, completed.stderr)
    outcomes = completed.stdout.splitlines()
    assert outcomes[-1] == "completed", outcomes
    if call == "find_overlapping_intervals":
        # The query scans the index in place: its only allocations are the interpreter's.
        assert outcomes == ["completed"], outcomes
        return
    assert len(outcomes) > 1, "the call never needed a native allocation"
    for outcome in outcomes[:-1]:
        assert outcome.startswith("MemoryError refused=True entries=["), outcomes
        if ENTRIES[call] is not None:
            assert f"'{ENTRIES[call]}'" in outcome, outcomes
