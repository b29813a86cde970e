"""The floor: how close the module's queries, build and pairing come to the least work possible.

Times, in one run and by one rule (``timing.time_once``, best of several repetitions), the floor
extension of ``benchmarks/floor`` (built only for benchmarking, see its CMakeLists.txt) beside
the module and the pure-Python references of the other benchmarks, on the same data:

* per query: a call returning an empty list from the same Python loop; a call returning one
  text-form interval dict built from native data; the floor's query (lower bound over sorted
  starts, acceptance test, a name look-up and a fresh dict per hit), over 80-byte records with
  their texts on the heap and over the packed layout the module keeps; the module; the ``bisect``
  index, and intervaltree with the same rule when it is installed;
* per interval: the floor's build and the module's build against the pure-Python build;
* per input interval: reading both lists and building a one-to-one result (the floor of a
  pairing, without the walk), the module's pairing, the pure-Python pairing and ``pickle.loads``
  of the module's result.

Usage: python benchmarks/bench_floor.py [--size 50000] [--queries 20000] [--repeat 7]
"""

from __future__ import annotations

import argparse
import os
import pickle
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import floor_extension  # noqa: E402
from bench_find_intersections import py_find_intersections  # noqa: E402
from bench_interval_search import PyIndex, TreeIndex, intervaltree  # noqa: E402
from timing import time_once  # noqa: E402
from tracks import derive_track, make_pair, make_queries, make_track, pair_margin  # noqa: E402

from c_quorvel import tandril  # noqa: E402

_floor = floor_extension.load()
if _floor is None:
    sys.exit("the floor extension is not built: cmake -S benchmarks/floor -B build/floor "
             "-DPython_EXECUTABLE=.venv/bin/python && cmake --build build/floor")


def best(call, repeat: int) -> float:
    return min(time_once(call) for _ in range(repeat))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=50_000)
    parser.add_argument("--queries", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args(argv)
    margin = pair_margin()
    if margin != 1000:
        sys.exit("the floor extension widens queries by 1000: run without PAIR_MARGIN")

    track = make_track(args.size, seed=11)
    queries = make_queries(derive_track(track, seed=12), args.queries, seed=13)
    index = tandril.PyIntervalSearch(track)
    py_index = PyIndex(track, margin)
    _floor.use(_floor.build(track))
    for s, e in queries:
        assert len(_floor.query(s, e)) == len(index.find_overlapping_intervals(s, e))

    find, py_find, floor_query = index.find_overlapping_intervals, py_index.find_overlapping_intervals, _floor.query
    packed_query = _floor.packed_query
    for s, e in queries[:2000]:
        assert packed_query(s, e) == floor_query(s, e)
    empty, one_dict = _floor.empty, _floor.one_dict
    per_query = {
        "call returning []": lambda: [empty(s, e) for s, e in queries],
        "call returning one dict": lambda: [one_dict(s, e) for s, e in queries],
        "floor query": lambda: [floor_query(s, e) for s, e in queries],
        "floor query, packed": lambda: [packed_query(s, e) for s, e in queries],
        "module query": lambda: [find(s, e) for s, e in queries],
        "bisect index query": lambda: [py_find(s, e) for s, e in queries],
    }
    if intervaltree is not None:  # optional: pip install '.[bench]'
        tree_find = TreeIndex(track, margin).find_overlapping_intervals
        per_query["intervaltree query"] = lambda: [tree_find(s, e) for s, e in queries]
    per_interval = {
        "floor build": lambda: _floor.build(track),
        "module build": lambda: tandril.PyIntervalSearch(track),
        "pure-Python build": lambda: PyIndex(track, margin),
    }
    a, b = make_pair(args.size, seed=args.size)
    payload = pickle.dumps(tandril.find_intersections(a, b), protocol=5)
    per_input = {
        "floor read and build": lambda: _floor.read_and_build(a, b),
        "module pairing": lambda: tandril.find_intersections(a, b),
        "pure-Python pairing": lambda: py_find_intersections(a, b, margin),
        "pickle.loads of the result": lambda: pickle.loads(payload),
    }
    times: dict[str, float] = {}
    for _ in range(args.repeat):
        for table in (per_query, per_interval, per_input):
            for name, call in table.items():
                times[name] = min(times.get(name, float("inf")), time_once(call))

    print(f"Floor table: {args.size:,} intervals, {len(queries):,} queries, {len(a) + len(b):,} input "
          f"intervals to pair (best of {args.repeat}, collector off in each window)")
    print("Per query:")
    tree = times.get("intervaltree query")
    for name in per_query:
        vs_tree = f", {tree / times[name]:6.2f}x faster than intervaltree" if tree else ""
        print(f"  {name:27s}: {times[name] / len(queries) * 1e6:7.3f} us  "
              f"= {times['bisect index query'] / times[name]:5.2f}x faster than the bisect index{vs_tree}")
    print("Per interval (build):")
    for name in per_interval:
        print(f"  {name:27s}: {times[name] / len(track) * 1e9:7.1f} ns  "
              f"= {times['pure-Python build'] / times[name]:5.2f}x faster than the pure-Python build")
    print("Per input interval (pairing):")
    for name in per_input:
        print(f"  {name:27s}: {times[name] / (len(a) + len(b)) * 1e9:7.1f} ns  "
              f"= {times['pure-Python pairing'] / times[name]:5.2f}x faster than pure Python, "
              f"{times[name] / times['pickle.loads of the result']:5.2f}x pickle.loads")
    print(f"  module query / floor query       : {times['module query'] / times['floor query']:5.2f}x")
    print(f"  module query / packed floor query: {times['module query'] / times['floor query, packed']:5.2f}x")
    print(f"  module build / floor build       : {times['module build'] / times['floor build']:5.2f}x")
    print(f"  module pairing / floor read+build: {times['module pairing'] / times['floor read and build']:5.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
