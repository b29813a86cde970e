"""Benchmark of ``c_quorvel.tandril.PyIntervalSearch`` on a realistic subtitle-like track.

Builds an index from N realistic intervals (see ``tracks.py``) and runs Q queries of typical
length (windows like a subtitle's span). Prints, all measured in this run, best of several
repetitions, each contender timed with the cyclic collector off inside its window (see ``timing.py``):

* the build time per interval and the time per query;
* the ratio against a pure-Python index (``tests/models/index.py``: records sorted by start in a list of
  tuples, ``bisect`` on a separate list of starts, the same acceptance rule, result dicts built
  in Python), whose results are first checked to equal the module's;
* the ratio against the ``intervaltree`` package (if installed: pip install intervaltree), asked
  for its overlap candidates and filtered in Python with the same rule (``TreeIndex`` below),
  also checked first;
* the peers superintervals and ncls (if installed: pip install '.[bench]'), their raw overlap
  search alone and with the same rule and dicts added in Python;
* when the floor extension is built (see ``bench_floor.py``), its query over the packed layout
  in the same run, so that a missed target can be told from one that lies below the floor.

Usage: python benchmarks/bench_interval_search.py [--size 50000] [--queries 20000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import floor_extension  # noqa: E402
from timing import time_once  # noqa: E402
from tracks import derive_track, make_queries, make_track, pair_margin  # noqa: E402
from models.index import Index as PyIndex, is_accepted as _accepted  # noqa: E402
from models.index import read_record as _record, text_form as _result  # noqa: E402

from c_quorvel import tandril  # noqa: E402

_floor = floor_extension.load()  # optional: without it, the floor's query is left out
try:
    import intervaltree
except ImportError:  # optional: the ratio against it is skipped
    intervaltree = None
try:
    import superintervals
except ImportError:  # optional peer: skipped when missing
    superintervals = None
try:
    import ncls
    import numpy
except ImportError:  # optional peer: skipped when missing
    ncls = None

TARGET_VS_PYTHON = 3.0  # queries at least this many times faster than the pure-Python index
TARGET_VS_TREE = 50.0  # queries at least this many times faster than intervaltree + filtering
TARGET_BUILD_VS_PYTHON = 2.0  # build at least this many times faster than the pure-Python build


class TreeIndex:
    """``intervaltree`` asked for candidates overlapping [lo, hi + 1), filtered with the same rule.

    The module scans exactly the records with lo <= start <= hi; the tree returns every record
    with start <= hi and end > lo, so the filter also drops the records starting before lo. Each
    tree entry carries its position in start order, which orders the results like the module's.
    """

    def __init__(self, intervals: list[dict], margin: int):
        self.margin = margin
        records = sorted((_record(d) for d in intervals), key=lambda r: r[0])
        self.tree = intervaltree.IntervalTree(
            intervaltree.Interval(r[0], r[1], (k, r)) for k, r in enumerate(records))

    def find_overlapping_intervals(self, start_q: int, end_q: int) -> list[dict]:
        lo = start_q - self.margin
        hi = end_q + self.margin
        half_query = 0.5 * (end_q - start_q)
        found = [iv.data for iv in self.tree.overlap(lo, hi + 1)
                 if iv.begin >= lo and _accepted(iv.begin, iv.end, lo, hi, half_query)]
        found.sort()
        return [_result(r) for _, r in found]


class PeerIndex:
    """A fast interval library asked for the candidates overlapping [lo, hi] (ends inclusive),
    filtered with the same rule and ordered by start, as TreeIndex is. ``raw`` is the library's
    own overlap search alone, positions in start order as it returns them."""

    def __init__(self, intervals: list[dict], margin: int):
        self.margin = margin
        self.records = sorted((_record(d) for d in intervals), key=lambda r: r[0])

    def find_overlapping_intervals(self, start_q: int, end_q: int) -> list[dict]:
        lo = start_q - self.margin
        hi = end_q + self.margin
        half_query = 0.5 * (end_q - start_q)
        records = self.records
        found = []
        for k in self.raw(lo, hi):
            r = records[k]
            if r[0] >= lo and _accepted(r[0], r[1], lo, hi, half_query):
                found.append(k)
        found.sort()
        return [_result(records[k]) for k in found]


class SuperIndex(PeerIndex):
    def __init__(self, intervals: list[dict], margin: int):
        super().__init__(intervals, margin)
        self.map = superintervals.IntervalMap()
        for k, r in enumerate(self.records):
            self.map.add(r[0], r[1], k)
        self.map.build()
        self.raw = self.map.search_idxs


class NclsIndex(PeerIndex):
    def __init__(self, intervals: list[dict], margin: int):
        super().__init__(intervals, margin)
        starts = numpy.array([r[0] for r in self.records], dtype=numpy.int64)
        ends = numpy.array([r[1] + 1 for r in self.records], dtype=numpy.int64)  # half-open: end inclusive
        self.tree = ncls.NCLS(starts, ends, numpy.arange(len(self.records), dtype=numpy.int64))

    def raw(self, lo: int, hi: int) -> list[int]:
        return [k for _, _, k in self.tree.find_overlap(lo, hi + 1)]


class FloorIndex:
    """The floor extension's query over the packed layout (bench_floor.py): the least work."""

    def __init__(self):
        self.find_overlapping_intervals = _floor.packed_query


FRESH_BUILD = """
import sys
sys.path.insert(0, {here!r})
from timing import time_once
from tracks import make_track, pair_margin
from bench_interval_search import PyIndex
from c_quorvel import tandril
track = make_track({size}, seed=11)
build = tandril.PyIntervalSearch if {contender!r} == "module" else (lambda t: PyIndex(t, pair_margin()))
print(time_once(lambda: build(track)))
"""


def _time_fresh_build(contender: str, size: int) -> float:
    """The first build in a new process, where the allocator has not yet grown its heap."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = FRESH_BUILD.format(here=here, size=size, contender=contender)
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(completed.stdout)


def _time_queries(index, queries) -> float:
    find = index.find_overlapping_intervals
    return time_once(lambda: [find(s, e) for s, e in queries])


def _time_build(factory) -> float:
    return time_once(factory)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=50_000, help="intervals in the index (default: 50000)")
    parser.add_argument("--queries", type=int, default=20_000, help="number of queries (default: 20000)")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions, best is kept (default: 5)")
    args = parser.parse_args(argv)
    margin = pair_margin()

    track = make_track(args.size, seed=11)
    # Query windows: spans of lines of a second track of the same film, and random windows.
    other = derive_track(track, seed=12)
    queries = make_queries(other, args.queries, seed=13)

    print(f"PyIntervalSearch benchmark: {len(track):,} intervals, {len(queries):,} queries "
          f"(margin {margin}, best of {args.repeat}, collector off in each window)")

    module_index = tandril.PyIntervalSearch(track)
    py_index = PyIndex(track, margin)
    tree_index = TreeIndex(track, margin) if intervaltree is not None else None
    peers = {}
    if superintervals is not None:
        peers["superintervals"] = SuperIndex(track, margin)
    if ncls is not None:
        peers["ncls"] = NclsIndex(track, margin)

    # Same results first.
    hits = 0
    for s, e in queries:
        expected = module_index.find_overlapping_intervals(s, e)
        assert py_index.find_overlapping_intervals(s, e) == expected, f"pure-Python index differs at ({s}, {e})"
        if tree_index is not None:
            assert tree_index.find_overlapping_intervals(s, e) == expected, f"intervaltree differs at ({s}, {e})"
        for name, peer in peers.items():
            assert peer.find_overlapping_intervals(s, e) == expected, f"{name} differs at ({s}, {e})"
        hits += len(expected)
    print(f"results checked equal; {hits / len(queries):.2f} intervals per query on average")

    builds = {"module": lambda: tandril.PyIntervalSearch(track), "python": lambda: PyIndex(track, margin)}
    indexes = {"module": module_index, "python": py_index}
    if tree_index is not None:
        builds["intervaltree"] = lambda: TreeIndex(track, margin)
        indexes["intervaltree"] = tree_index

    for name, peer in peers.items():
        indexes[f"{name} + rule"] = peer
    if _floor is not None and margin == 1000:  # the floor widens queries by 1000
        _floor.use(_floor.build(track))
        floor_index = FloorIndex()
        for s, e in queries:
            assert floor_index.find_overlapping_intervals(s, e) == module_index.find_overlapping_intervals(s, e)
        indexes["floor, packed"] = floor_index
    windows = [(s - margin, e + margin) for s, e in queries]
    raw_searches = {name: peer.raw for name, peer in peers.items()}
    t_raw = dict.fromkeys(raw_searches, float("inf"))

    t_build = dict.fromkeys(builds, float("inf"))
    t_query = dict.fromkeys(indexes, float("inf"))
    for rep in range(args.repeat):
        for name, factory in builds.items():
            # intervaltree's build takes seconds; once is enough to show its order of magnitude.
            if name != "intervaltree" or rep == 0:
                t_build[name] = min(t_build[name], _time_build(factory))
        for name, index in indexes.items():
            if name != "intervaltree" or rep < 2:
                t_query[name] = min(t_query[name], _time_queries(index, queries))
        for name, raw in raw_searches.items():
            t_raw[name] = min(t_raw[name], time_once(lambda: [raw(lo, hi) for lo, hi in windows]))

    t_fresh = {"module": float("inf"), "python": float("inf")}
    for _ in range(args.repeat):
        for name in t_fresh:
            t_fresh[name] = min(t_fresh[name], _time_fresh_build(name, args.size))

    n, q = len(track), len(queries)
    print()
    print("Build (per interval):")
    for name, t in t_build.items():
        print(f"  {name:13s}: {t * 1e3:9.2f} ms  = {t / n * 1e9:8.1f} ns per interval")
    for name, t in t_fresh.items():
        print(f"  {name + ', fresh process':21s}: {t * 1e3:9.2f} ms  = {t / n * 1e9:8.1f} ns per interval")
    print("Queries (per query):")
    for name, t in t_query.items():
        print(f"  {name:21s}: {t * 1e3:9.2f} ms  = {t / q * 1e6:8.2f} us per query")
    if raw_searches:
        print("Peers' raw overlap search alone (candidates of the widened window, no rule, no dicts):")
        for name, t in t_raw.items():
            print(f"  {name:21s}: {t * 1e3:9.2f} ms  = {t / q * 1e6:8.2f} us per query")
        for name in peers:
            print(f"  query speed-up vs {name} + rule: {t_query[f'{name} + rule'] / t_query['module']:6.2f}x")
    else:
        print("  superintervals and ncls are not installed (pip install '.[bench]'): peers skipped")

    vs_py = t_query["python"] / t_query["module"]
    print()
    build_vs_py = t_build["python"] / t_build["module"]
    print(f"  build speed-up vs pure Python  : {build_vs_py:6.2f}x   (target >= {TARGET_BUILD_VS_PYTHON}x)  "
          f"{'OK' if build_vs_py >= TARGET_BUILD_VS_PYTHON else 'MISSED'}")
    fresh_vs_py = t_fresh["python"] / t_fresh["module"]
    print(f"  build speed-up, fresh process  : {fresh_vs_py:6.2f}x   (target >= {TARGET_BUILD_VS_PYTHON}x)  "
          f"{'OK' if fresh_vs_py >= TARGET_BUILD_VS_PYTHON else 'MISSED'}")
    print(f"  query speed-up vs pure Python  : {vs_py:6.2f}x   (target >= {TARGET_VS_PYTHON}x)  "
          f"{'OK' if vs_py >= TARGET_VS_PYTHON else 'MISSED'}")
    if "floor, packed" in t_query:
        print(f"    the floor's query in this run: {t_query['python'] / t_query['floor, packed']:6.2f}x "
              f"(module / floor {t_query['module'] / t_query['floor, packed']:.2f}x)")
    if tree_index is not None:
        vs_tree = t_query["intervaltree"] / t_query["module"]
        print(f"  build speed-up vs intervaltree : {t_build['intervaltree'] / t_build['module']:6.2f}x")
        print(f"  query speed-up vs intervaltree : {vs_tree:6.2f}x   (target >= {TARGET_VS_TREE}x)  "
              f"{'OK' if vs_tree >= TARGET_VS_TREE else 'MISSED'}")
        if "floor, packed" in t_query:
            print(f"    the floor's query in this run: {t_query['intervaltree'] / t_query['floor, packed']:6.2f}x")
    else:
        print("  intervaltree is not installed (pip install intervaltree): ratio against it skipped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
