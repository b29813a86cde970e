"""Exhausted memory inside a call becomes MemoryError with the callable's traceback entry.

Each case runs in a subprocess: a callback run by the call itself (the __int__ of the last value
read before the native step) lowers the address-space limit, so that the native step that
follows (copying records into groups, collecting query results) cannot allocate.
"""

import os
import subprocess
import sys
import textwrap

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

    def report(action):
        try:
            action()
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
        report(lambda: tandril.find_intersections(set_a, set_b))
        """
    )
    assert output == "MemoryError 'bad allocation' ['report', '<lambda>', 'c_quorvel.tandril.find_intersections']"


def test_query_out_of_memory_raises_memory_error_with_entry():
    output = run_case(
        """
        count = 400000
        index = tandril.PyIntervalSearch(
            [{"start": k, "end": k, "text": "", "original": "", "nl": 0} for k in range(count)]
        )
        # Every record qualifies; collecting 400,000 positions needs more than 256 kB.
        report(lambda: index.find_overlapping_intervals(0, LimitMemoryOnRead(count, 256 * 1024)))
        """
    )
    # Whether the native positions or the Python result list fail first depends on what the
    # allocator still has free; either way the query reports MemoryError with its own entry.
    assert output.startswith("MemoryError ")
    assert output.endswith("['report', '<lambda>', 'c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals']")


def test_reading_out_of_memory_raises_memory_error_with_entries():
    output = run_case(
        """
        big = "y" * (64 * 1024 * 1024)
        items = [{"start": LimitMemoryOnRead(0, 1024 * 1024), "end": 1, "text": big, "original": "", "nl": 0}]
        report(lambda: tandril.PyIntervalSearch(items))
        """
    )
    assert output == (
        "MemoryError 'bad allocation' "
        "['report', '<lambda>', 'c_quorvel.tandril.PyIntervalSearch.__cinit__', 'string_from_py']"
    )


def test_sound_pairing_out_of_memory_raises_memory_error():
    output = run_case(
        """
        from c_quorvel.align import pair_tracks

        class LimitMemoryOnIndex(LimitMemoryOnRead):
            __index__ = LimitMemoryOnRead.__int__

        count = 200000
        original = [{"start": 10 * k, "end": 10 * k + 5, "text": ""} for k in range(count)]
        reference = [dict(item) for item in original]
        # Reading completes; ordering and grouping 200,000 cues a side does not fit in 1 MB.
        reference[-1]["nl"] = LimitMemoryOnIndex(0, 1024 * 1024)
        report(lambda: pair_tracks(original, reference))
        """
    )
    assert output == "MemoryError 'bad allocation' ['report', '<lambda>', 'pair_tracks']"


def test_time_map_search_out_of_memory_raises_memory_error():
    output = run_case(
        """
        from c_quorvel.align import synchronize

        class LimitMemoryOnIndex(LimitMemoryOnRead):
            __index__ = LimitMemoryOnRead.__int__

        original = [{"start": 3000 * k, "end": 3000 * k + 2000} for k in range(50000)]
        reference = [dict(item) for item in original]
        # Reading completes; the search's histograms and ratings do not fit in 256 kB.
        reference[-1]["end"] = LimitMemoryOnIndex(reference[-1]["end"], 256 * 1024)
        report(lambda: synchronize(original, reference))
        """
    )
    assert output == "MemoryError 'bad allocation' ['report', '<lambda>', 'synchronize']"
